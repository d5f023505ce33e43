// BirdFile: loading, hostile input, identity fields, patching and decoding.
// Images are built in the test with BirdWriter.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Log.h"
#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t size, uint8_t seed = 3) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + seed);
    return bytes;
}

Bytes Be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

// Block content assembled byte by byte, for shapes BirdWriter is not asked to make.
struct Content {
    Bytes bytes;
    Content& u32(uint32_t v) {
        Bytes b = Be32(v);
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    Content& u8(uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Content& raw(const Bytes& b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    Content& block(uint8_t typeByte, const Bytes& payload) {
        return u8(typeByte).u32(uint32_t(payload.size())).raw(payload);
    }
};

BirdFile FromBytes(const Bytes& bytes, size_t limit = BirdFile::kMaxContentSize) {
    return BirdFile(bytes.data(), bytes.size(), "<test>", limit);
}

// Captures the debug log of the BIRD file package.
class LogCapture {
  public:
    LogCapture() : file(tmpfile()) {
        saved = Log::fh;
        savedMask = Log::package_bitmask;
        Log::SetOutput(file);
        Log::ActivatePackage(DEBUG_BirdFile);
    }
    ~LogCapture() {
        Log::fh = saved;
        Log::package_bitmask = savedMask;
        fclose(file);
    }
    std::string Text() {
        fflush(file);
        std::string text;
        rewind(file);
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, n);
        return text;
    }

  private:
    FILE* file;
    FILE* saved;
    uint32_t savedMask;
};

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/birdfile-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string Write(const std::string& name, const Bytes& bytes) const {
        std::string full = path + "/" + name;
        std::ofstream(full, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return full;
    }
    std::string path;
};

BirdWriter FullImage() {
    BirdWriter w;
    w.AddInfo(1234, "2.12.3", 0x40F5849A, "LV-Hub8");
    w.AddSerialOffsets(0x1010, 0x1020);
    w.AddLoaderStart(0x20000800);
    w.AddImage(BLOCK_LOADER, 0x20000000, Pattern(40), 1);
    w.AddImage(BLOCK_FIRMWARE, 0x1000, Pattern(300, 9), 2);
    w.AddImage(BLOCK_FIRMWARE, 0x8000, Pattern(70, 5), 7);
    return w;
}

TEST(BirdFile, RoundTripFromFileAndFromMemory) {
    TempDir dir;
    BirdWriter writer = FullImage();
    Bytes bytes = writer.Build();
    std::string path = dir.Write("1234.bird", bytes);
    BirdFile fromFile(path);
    BirdFile fromMemory = FromBytes(bytes);
    for (BirdFile* f : {&fromFile, &fromMemory}) {
        EXPECT_EQ(f->Signature(), 0x62697264u);
        EXPECT_EQ(f->Version(), 0x0101u);
        EXPECT_TRUE(f->ScanComplete());
        EXPECT_EQ(f->BlockCount(), 6u);
        EXPECT_EQ(f->GetBuild(), 1234u);
        EXPECT_EQ(f->GetVersion(), "2.12.3");
        EXPECT_EQ(f->GetSerialNumber(), 0x40F5849Au);
        EXPECT_TRUE(f->ValidateSerialNumber(0x40F5849A));
        EXPECT_TRUE(f->ValidateModel("LV-Hub8"));
        EXPECT_TRUE(f->HasSerialOffsets());
        EXPECT_EQ(f->SerialNumberOffset(), 0x1010u);
        EXPECT_EQ(f->DescriptorOffset(), 0x1020u);
        EXPECT_EQ(f->GetLoaderStart(), 0x20000800u);
        Bytes content = writer.Content();
        ASSERT_EQ(f->DataSize(), content.size());
        EXPECT_EQ(0, memcmp(f->Data(), content.data(), content.size()));
        EXPECT_EQ(f->FileChecksum(), uint32_t(content[content.size() - 4]) << 24 |
                                         uint32_t(content[content.size() - 3]) << 16 |
                                         uint32_t(content[content.size() - 2]) << 8 |
                                         content[content.size() - 1]);

        std::vector<BirdBlock> firmware = f->FindBlocks(BLOCK_FIRMWARE);
        ASSERT_EQ(firmware.size(), 2u);
        EXPECT_EQ(firmware[0].address, 0x1000u);
        EXPECT_EQ(firmware[0].flags, 2);
        EXPECT_EQ(firmware[0].length, 304u);
        EXPECT_EQ(firmware[1].address, 0x8000u);
        EXPECT_EQ(firmware[1].flags, 7);
        Bytes image = Pattern(70, 5);
        EXPECT_EQ(0, memcmp(firmware[1].data + 4, image.data(), image.size()));
        std::vector<BirdBlock> loader = f->FindBlocks(BLOCK_LOADER);
        ASSERT_EQ(loader.size(), 1u);
        EXPECT_EQ(loader[0].address, 0x20000000u);
        EXPECT_EQ(loader[0].flags, 1);
        EXPECT_EQ(f->FindBlocks(BLOCK_SERIAL_OFFSETS)[0].address, 0u);
        EXPECT_TRUE(f->FindBlocks(3).empty());
    }
}

TEST(BirdFile, EmptyContentLoadsWithoutIdentity) {
    BirdWriter w;
    BirdFile f = FromBytes(w.Build());
    EXPECT_EQ(f.BlockCount(), 0u);
    EXPECT_TRUE(f.ScanComplete());
    EXPECT_EQ(f.GetBuild(), 0u);
    EXPECT_EQ(f.GetVersion(), "");
    EXPECT_EQ(f.GetSerialNumber(), 0u);
    EXPECT_FALSE(f.ValidateModel("ABCD"));
    EXPECT_FALSE(f.HasSerialOffsets());
    EXPECT_FALSE(f.ReplaceSerialNumber(0x1234));
    EXPECT_EQ(f.GetLoaderStart(), BIRD_DEFAULT_LOADER_START);
}

TEST(BirdFile, VerifyChecksOnlyTheHeader) {
    TempDir dir;
    struct Case {
        Bytes bytes;
        bool valid;
    } cases[] = {
        {{'b', 'i', 'r', 'd', 1, 0}, false},    {{'b', 'i', 'r', 'd', 0, 1}, false},
        {{'b', 'i', 'r', 'd', 1}, false},       {{'b', 'i', 'r', 'd', 2, 7}, true},
        {{'b', 'i', 'r', 'x', 1, 1, 0}, false}, {{}, false},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::string path = dir.Write("v" + std::to_string(i++), c.bytes);
        EXPECT_EQ(BirdFile::VerifyFile(path), c.valid) << path;
        EXPECT_EQ(BirdFile::VerifyHeader(c.bytes.data(), c.bytes.size()), c.valid) << path;
    }
    EXPECT_FALSE(BirdFile::VerifyFile(dir.path + "/missing.bird"));
    EXPECT_TRUE(BirdFile::VerifyFile(dir.Write("full.bird", FullImage().Build())));
}

TEST(BirdFile, WrongSignatureStillLoadsThroughTheConstructor) {
    BirdWriter w = FullImage();
    w.SetSignature("BAD!");
    Bytes bytes = w.Build();
    EXPECT_FALSE(BirdFile::VerifyHeader(bytes.data(), bytes.size()));
    BirdFile f = FromBytes(bytes);
    EXPECT_EQ(f.Signature(), 0x42414421u);
    EXPECT_EQ(f.GetBuild(), 1234u);
}

TEST(BirdFile, MissingOrUnreadableFileThrows) {
    TempDir dir;
    try {
        BirdFile f(dir.path + "/nothing.bird");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
    LogCapture log;
    EXPECT_THROW(BirdFile f(dir.path), std::runtime_error);  // a directory
    EXPECT_NE(log.Text().find("BIRD file not found"), std::string::npos);
}

// Flash images padded with 0xFF compress far beyond 8:1 and must still load.
TEST(BirdFile, HighlyCompressibleImageLoads) {
    BirdWriter w;
    w.AddInfo(7, "1.0", 0, "M");
    Bytes image(2 * 1024 * 1024, 0xFF);
    image[12345] = 0x5A;
    w.AddImage(BLOCK_FIRMWARE, 0, image);
    Bytes bytes = w.Build();
    ASSERT_LT(bytes.size() * 8, image.size());
    BirdFile f = FromBytes(bytes);
    ASSERT_EQ(f.FindBlocks(BLOCK_FIRMWARE).size(), 1u);
    EXPECT_EQ(f.FindBlocks(BLOCK_FIRMWARE)[0].length, image.size() + 4);
    EXPECT_EQ(f.FindBlocks(BLOCK_FIRMWARE)[0].data[4 + 12345], 0x5A);
}

TEST(BirdFile, ContentAboveTheBoundFailsWithBufferError) {
    BirdWriter w;
    w.AddImage(BLOCK_FIRMWARE, 0, Bytes(200000, 0xFF));
    Bytes bytes = w.Build();
    LogCapture log;
    EXPECT_THROW(FromBytes(bytes, 100000), std::runtime_error);
    EXPECT_NE(log.Text().find("BIRDFILE: Error (-5) decompressing bird file."), std::string::npos);
    // Exactly at the bound is accepted.
    BirdFile f = FromBytes(bytes, w.Content().size());
    EXPECT_EQ(f.BlockCount(), 1u);
}

TEST(BirdFile, BrokenCompressedBodyFails) {
    Bytes good = FullImage().Build();
    Bytes corrupt = good;
    corrupt[20] ^= 0xFF;
    corrupt[21] ^= 0x55;
    Bytes truncated(good.begin(), good.begin() + good.size() / 2);
    Bytes headerOnly(good.begin(), good.begin() + 6);
    Bytes trailingGarbage = good;
    const Bytes* cases[] = {&corrupt, &truncated, &headerOnly};
    for (const Bytes* bytes : cases) {
        LogCapture log;
        EXPECT_THROW(FromBytes(*bytes), std::runtime_error);
        EXPECT_NE(log.Text().find("decompressing bird file"), std::string::npos);
    }
    EXPECT_THROW(FromBytes(Bytes{}), std::runtime_error);
}

// Hostile block content: the parser keeps the blocks before the damage, never
// reads past the content, and reports the mismatch without failing the load.
TEST(BirdFile, HostileBlockContentIsBounded) {
    Bytes fw = Be32(0x1000);
    fw.insert(fw.end(), {1, 2, 3, 4});
    struct Case {
        const char* name;
        Bytes content;
        uint32_t blocks;
        const char* logText;
    } cases[] = {
        {"count larger than blocks", Content().u32(3).block(0x01, fw).block(0x01, fw).u32(0).bytes,
         2, "mismatch in number of blocks. (2 != 3)"},
        {"count smaller than blocks", Content().u32(1).block(0x01, fw).block(0x01, fw).u32(0).bytes,
         2, "(2 != 1)"},
        {"huge count", Content().u32(0xFFFFFFFF).u32(0).bytes, 0, "File reports -1 blocks"},
        {"length past the end",
         Content().u32(2).block(0x01, fw).u8(0x01).u32(0xFFFFFFF0).raw(fw).bytes, 1, "claims"},
        {"length one past the end", Content().u32(1).u8(0x01).u32(13).raw(fw).u32(0).bytes, 0,
         "claims 13 bytes"},
        {"no checksum", Content().u32(1).block(0x01, fw).bytes, 1, "File reports 1 blocks"},
        {"short checksum", Content().u32(1).block(0x01, fw).u8(1).u8(2).bytes, 1,
         "(2 bytes remaining)"},
        {"bytes after the checksum", Content().u32(0).u32(0).u8(9).u8(9).bytes, 0,
         "(2 bytes remaining)"},
        {"count cut short", Content().u8(0).u8(0).bytes, 0, "mismatch in data size"},
        {"empty content", Bytes{}, 0, "mismatch in data size"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        BirdFile f = FromBytes(BirdWriter::Wrap(c.content));
        EXPECT_EQ(f.BlockCount(), c.blocks) << c.name;
        EXPECT_EQ(f.Blocks().size(), c.blocks) << c.name;
        EXPECT_FALSE(f.ScanComplete()) << c.name;
        EXPECT_NE(log.Text().find(c.logText), std::string::npos) << c.name << "\n" << log.Text();
        for (const BirdBlock& b : f.Blocks()) {
            EXPECT_GE(b.data, f.Data());
            EXPECT_LE(b.data + b.length, f.Data() + f.DataSize()) << c.name;
        }
    }
}

TEST(BirdFile, ShortRecordsAreTreatedAsAbsent) {
    Bytes shortInfo(40, ' ');
    memcpy(shortInfo.data(), "1234", 4);
    Content c;
    c.u32(4)
        .block(BLOCK_INFO, shortInfo)
        .block(BLOCK_SERIAL_OFFSETS, Be32(0x1000))
        .block(BLOCK_FIRMWARE, {0x00, 0x00})  // shorter than its address
        .block(BLOCK_LOADER_START, {0x20, 0x00})
        .u32(0);
    BirdFile f = FromBytes(BirdWriter::Wrap(c.bytes));
    EXPECT_TRUE(f.ScanComplete());
    EXPECT_FALSE(f.HasInfo());
    EXPECT_EQ(f.GetBuild(), 0u);
    EXPECT_EQ(f.GetVersion(), "");
    EXPECT_EQ(f.GetSerialNumber(), 0u);
    EXPECT_FALSE(f.ValidateModel("1234"));
    EXPECT_FALSE(f.HasSerialOffsets());
    EXPECT_EQ(f.SerialNumberOffset(), 0u);
    EXPECT_EQ(f.FindBlocks(BLOCK_FIRMWARE)[0].address, 0u);
    EXPECT_FALSE(f.ReplaceSerialNumber(0x12345678));
    EXPECT_TRUE(f.DecodeFirmwareBlocks(Fingerprint{{1, 2, 3, 4}}));
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    EXPECT_EQ(f.GetLoaderStart(), BIRD_DEFAULT_LOADER_START);
    uint8_t pattern[] = {0, 0, 0};
    EXPECT_FALSE(f.ValidateData(pattern, sizeof(pattern)));
}

TEST(BirdFile, IdentityFieldConversions) {
    struct Case {
        std::string build, version, serial, model;
        uint32_t wantBuild;
        std::string wantVersion;
        uint32_t wantSerial;
    } cases[] = {
        {"0000000000001234", "2.12.2 beta", "0000ABCD", "ABCD", 123, "2.12.2", 0xABCD},
        {"42", "1.0", "40F5849A", "X", 42, "1.0", 0x40F5849A},
        {"  77abc", "0123456789abcdefXYZ", "zz", "", 77, "0123456789abcdef", 0},
        {"99999999999999", "", "1", "", 0, "", 1},  // does not fit 32 bits
    };
    for (const Case& c : cases) {
        BirdWriter w;
        w.AddInfoFields(c.build, c.version, c.serial, c.model);
        BirdFile f = FromBytes(w.Build());
        EXPECT_EQ(f.GetBuild(), c.wantBuild) << c.build;
        EXPECT_EQ(f.GetVersion(), c.wantVersion) << c.version;
        EXPECT_EQ(f.GetSerialNumber(), c.wantSerial) << c.serial;
        EXPECT_TRUE(f.ValidateSerialNumber(c.wantSerial));
    }
}

TEST(BirdFile, ModelMatchesLeadingPartOfStoredName) {
    BirdWriter w;
    w.AddInfo(1, "1", 1, "ABCD");
    w.AddRaw(BLOCK_INFO, Bytes(64, 'Z'));  // only the first info block counts
    BirdFile f = FromBytes(w.Build());
    EXPECT_EQ(f.GetModel(), "ABCD");
    EXPECT_TRUE(f.ValidateModel("ABCD"));
    EXPECT_TRUE(f.ValidateModel("AB"));
    EXPECT_FALSE(f.ValidateModel("ABCDE"));
    EXPECT_FALSE(f.ValidateModel("BCD"));
    EXPECT_FALSE(f.ValidateModel(""));
    EXPECT_FALSE(f.ValidateModel(nullptr));
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

TEST(BirdFile, ReplaceSerialNumberPatchesOnlyTheBlockHoldingTheAddress) {
    BirdWriter w;
    w.AddSerialOffsets(0x2010, 0x2020);
    w.AddImage(BLOCK_LOADER, 0x2000, Pattern(64, 1));  // loaders are never patched
    w.AddImage(BLOCK_FIRMWARE, 0x1000, Pattern(64, 2));
    w.AddImage(BLOCK_FIRMWARE, 0x2000, Pattern(64, 3));
    BirdFile f = FromBytes(w.Build());
    ASSERT_TRUE(f.ReplaceSerialNumber(0x1234ABCD));

    std::vector<BirdBlock> fw = f.FindBlocks(BLOCK_FIRMWARE);
    Bytes first = Pattern(64, 2);
    EXPECT_EQ(0, memcmp(fw[0].data + 4, first.data(), first.size()));
    EXPECT_EQ(0, memcmp(f.FindBlocks(BLOCK_LOADER)[0].data + 4, Pattern(64, 1).data(), 64));

    const uint8_t* image = fw[1].data + 4;
    Bytes plain = Pattern(64, 3);
    EXPECT_EQ(Le32(image + 0x10), 0x1234ABCDu);
    const char digits[] = "1234ABCD";
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(image[0x20 + 2 * i], uint8_t(digits[i]));
        EXPECT_EQ(image[0x20 + 2 * i + 1], plain[0x20 + 2 * i + 1]);  // high bytes untouched
    }
    for (size_t k = 0; k < 64; ++k) {
        if (k < 0x10 || (k >= 0x14 && k < 0x20) || k >= 0x30) {
            EXPECT_EQ(image[k], plain[k]) << k;
        }
    }
}

TEST(BirdFile, ReplaceSerialNumberRespectsImageBounds) {
    struct Case {
        uint32_t serialAddress, descriptorAddress;
        bool result;
        int patchedAt;  // image offset of the serial, -1 for none
    } cases[] = {
        {0x100C, 0, true, 12},      // last four bytes of the image
        {0x100D, 0, true, -1},      // straddles the end
        {0x0FFE, 0, true, -1},      // starts before the image
        {0, 0x1000, true, -1},      // descriptor fits exactly
        {0, 0x1001, false, -1},     // descriptor runs past the end
        {0, 0, false, -1},          // no offsets
        {0xFFFFFFFE, 0, true, -1},  // no wrap-around
    };
    for (const Case& c : cases) {
        BirdWriter w;
        w.AddSerialOffsets(c.serialAddress, c.descriptorAddress);
        w.AddImage(BLOCK_FIRMWARE, 0x1000, Bytes(16, 0xEE));
        w.AddImage(BLOCK_FIRMWARE, 0xFFFFFFF0, Bytes(8, 0xEE));
        BirdFile f = FromBytes(w.Build());
        EXPECT_EQ(f.ReplaceSerialNumber(0xA1B2C3D4), c.result) << std::hex << c.serialAddress;
        for (const BirdBlock& b : f.FindBlocks(BLOCK_FIRMWARE)) {
            for (uint32_t k = 0; k + 4 < b.length; ++k) {
                bool inSerial = c.patchedAt >= 0 && b.address == 0x1000 &&
                                k >= uint32_t(c.patchedAt) && k < uint32_t(c.patchedAt) + 4;
                bool inDescriptor =
                    c.descriptorAddress == 0x1000 && b.address == 0x1000 && k < 16 && k % 2 == 0;
                if (!inSerial && !inDescriptor) {
                    EXPECT_EQ(b.data[4 + k], 0xEE) << k;
                }
            }
        }
        if (c.patchedAt >= 0) {
            EXPECT_EQ(Le32(f.FindBlocks(BLOCK_FIRMWARE)[0].data + 4 + c.patchedAt), 0xA1B2C3D4u);
        }
    }
}

TEST(BirdFile, DecodeFollowsTheKeyAndChainRule) {
    const uint32_t key[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
    Bytes encoded = Pattern(40, 17);
    BirdWriter w;
    w.AddImage(BLOCK_FIRMWARE, 0xABCD0000, encoded);
    w.AddImage(BLOCK_LOADER, 0x10, encoded);
    w.AddImage(BLOCK_FIRMWARE, 0x20, encoded);
    BirdFile f = FromBytes(w.Build());
    ASSERT_TRUE(f.DecodeFirmwareBlocks(key));
    for (const BirdBlock& b : f.FindBlocks(BLOCK_FIRMWARE)) {
        const uint8_t* d = b.data + 4;
        EXPECT_EQ(d[0], encoded[0] ^ 0x11);  // chain restarts for every block
        EXPECT_EQ(d[1], encoded[1] ^ 0x22 ^ d[0]);
        EXPECT_EQ(d[4], encoded[4] ^ 0x55 ^ d[3]);
        EXPECT_EQ(d[15], encoded[15] ^ 0x00 ^ d[14]);
        EXPECT_EQ(d[16], encoded[16] ^ 0x11 ^ d[15]);
    }
    EXPECT_EQ(f.FindBlocks(BLOCK_FIRMWARE)[0].address, 0xABCD0000u);
    EXPECT_EQ(f.FindBlocks(BLOCK_FIRMWARE)[0].data[0], 0xAB);
    EXPECT_EQ(0, memcmp(f.FindBlocks(BLOCK_LOADER)[0].data + 4, encoded.data(), encoded.size()));

    // The writer's encoding is the inverse.
    Bytes plain = Pattern(100, 1);
    Bytes image = plain;
    BirdWriter::EncodeImage(image, key);
    BirdWriter w2;
    w2.AddImage(BLOCK_FIRMWARE, 0, image);
    BirdFile g = FromBytes(w2.Build());
    g.DecodeFirmwareBlocks(Fingerprint{{key[0], key[1], key[2], key[3]}});
    EXPECT_EQ(0, memcmp(g.FindBlocks(BLOCK_FIRMWARE)[0].data + 4, plain.data(), plain.size()));
}

TEST(BirdFile, VectorChecksumOnlyForImageAtZero) {
    Bytes image(48, 0);
    uint32_t words[8] = {0x20001000, 0x101, 0x203, 0x305, 0x407, 0x509, 0x60B, 0xDEADBEEF};
    for (int i = 0; i < 8; ++i)
        for (int b = 0; b < 4; ++b) image[4 * i + b] = uint8_t(words[i] >> (8 * b));
    BirdWriter w;
    w.AddImage(BLOCK_FIRMWARE, 0x4000, image);
    w.AddImage(BLOCK_FIRMWARE, 0, image);
    BirdFile f = FromBytes(w.Build());
    ASSERT_TRUE(f.ReplaceVectorChecksum());
    uint32_t sum = words[0] + words[1] + words[2] + words[3] + words[4] + words[6];
    EXPECT_EQ(Le32(f.FindBlocks(BLOCK_FIRMWARE)[1].data + 4 + 28), 0u - sum);
    EXPECT_EQ(Le32(f.FindBlocks(BLOCK_FIRMWARE)[0].data + 4 + 28), 0xDEADBEEFu);
}

TEST(BirdFile, ValidateDataFindsPatternsInFirmwarePayloads) {
    BirdWriter w;
    w.AddImage(BLOCK_LOADER, 0, {0xCA, 0xFE, 0xBA, 0xBE});
    w.AddImage(BLOCK_FIRMWARE, 0x00CAFE00, {1, 2, 0xCA, 0xFE});
    BirdFile f = FromBytes(w.Build());
    LogCapture log;
    const uint8_t cafe[] = {0xCA, 0xFE};
    EXPECT_TRUE(f.ValidateData(cafe, 2));
    EXPECT_NE(log.Text().find("Found data at 1\n"), std::string::npos);  // in the address
    EXPECT_NE(log.Text().find("Found data at 6\n"), std::string::npos);
    const uint8_t babe[] = {0xBA, 0xBE};  // only in the loader
    EXPECT_FALSE(f.ValidateData(babe, 2));
    const uint8_t tooLong[9] = {};
    EXPECT_FALSE(f.ValidateData(tooLong, sizeof(tooLong)));
}

TEST(BirdFile, DumpPrintsFiftyBytesPerRow) {
    BirdWriter w;
    Bytes payload(120, 'A');
    payload[0] = 0x01;
    w.AddRaw(7, payload);
    w.AddRaw(7, {'h', 'i'});
    w.AddRaw(8, {'x'});
    BirdFile f = FromBytes(w.Build());
    FILE* out = tmpfile();
    ASSERT_TRUE(f.DumpBlocks(7, out));
    fflush(out);
    rewind(out);
    std::string text;
    char buffer[8192];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), out)) > 0) text.append(buffer, n);
    fclose(out);
    EXPECT_EQ(text.find("BIRDFILE: BLOCK DUMP [<test>]\n"), 0u);
    EXPECT_NE(text.find("\r\n000000: 01 41 41"), std::string::npos);
    EXPECT_NE(text.find(" " + std::string(" ") + std::string(49, 'A') + "\r\n000050: 41"),
              std::string::npos);
    EXPECT_NE(text.find("\r\n000100: "), std::string::npos);
    EXPECT_EQ(text.find("000150"), std::string::npos);
    EXPECT_NE(text.find("\r\n000000: 68 69  hi\n"), std::string::npos);
    EXPECT_EQ(text.find("78 "), std::string::npos);  // other types are not dumped
    EXPECT_EQ(text.back(), '\n');
}

TEST(BirdFile, MoveKeepsBlocksValid) {
    BirdFile target;
    EXPECT_EQ(target.BlockCount(), 0u);
    EXPECT_EQ(target.Data(), nullptr);
    {
        BirdFile source = FromBytes(FullImage().Build());
        const uint8_t* data = source.Data();
        target = std::move(source);
        EXPECT_EQ(target.Data(), data);
        EXPECT_EQ(source.BlockCount(), 0u);
        EXPECT_TRUE(source.Blocks().empty());
        EXPECT_EQ(source.Data(), nullptr);
    }
    BirdFile moved(std::move(target));
    EXPECT_EQ(moved.GetBuild(), 1234u);
    std::vector<BirdBlock> fw = moved.FindBlocks(BLOCK_FIRMWARE);
    ASSERT_EQ(fw.size(), 2u);
    EXPECT_EQ(0, memcmp(fw[1].data + 4, Pattern(70, 5).data(), 70));
    EXPECT_TRUE(moved.ReplaceSerialNumber(0x01020304));
}

}  // namespace

namespace {

// The fuzz seeds and the kept regression inputs, read the way the fuzzer
// reads them: a file starting with "bird" as is, anything else as block content.
std::vector<std::string> FuzzInputs(const char* kind) {
    std::filesystem::path dir =
        std::filesystem::path(__FILE__).parent_path() / "../../fuzz" / kind / "birdfile";
    std::vector<std::string> files;
    if (std::filesystem::is_directory(dir))
        for (auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.is_regular_file()) files.push_back(entry.path().string());
    return files;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes AsFuzzerInput(const Bytes& bytes) {
    if (bytes.size() >= 4 && memcmp(bytes.data(), "bird", 4) == 0) return bytes;
    return BirdWriter::Wrap(bytes, 1);
}

TEST(BirdFile, FuzzSeedsLoadAndRegressionInputsStayBounded) {
    std::vector<std::string> seeds = FuzzInputs("corpus");
    EXPECT_FALSE(seeds.empty());
    for (const std::string& path : seeds) {
        Bytes bytes = AsFuzzerInput(ReadFileBytes(path));
        EXPECT_NO_THROW(FromBytes(bytes)) << path;
    }
    for (const std::string& path : FuzzInputs("regressions")) {
        Bytes bytes = AsFuzzerInput(ReadFileBytes(path));
        try {
            BirdFile f = FromBytes(bytes);
            f.ReplaceSerialNumber(0x1234ABCD);
            f.DecodeFirmwareBlocks(Fingerprint{{1, 2, 3, 4}});
            f.ReplaceVectorChecksum();
            for (const BirdBlock& b : f.Blocks()) {
                EXPECT_GE(b.data, f.Data()) << path;
                EXPECT_LE(b.data + b.length, f.Data() + f.DataSize()) << path;
            }
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Failed to load bird data") << path;
        }
    }
}

}  // namespace

namespace {

// The seeds are packed by birdtool (fuzz/make_seeds.sh): its output must read
// back with the fields it was given.
TEST(BirdFile, BirdtoolSeedsCarryTheirFields) {
    std::filesystem::path dir =
        std::filesystem::path(__FILE__).parent_path() / "../../fuzz/corpus/birdfile";
    BirdFile full((dir / "full.bird").string());
    EXPECT_TRUE(BirdFile::VerifyFile((dir / "full.bird").string()));
    EXPECT_TRUE(full.ScanComplete());
    EXPECT_EQ(full.GetBuild(), 1234u);
    EXPECT_EQ(full.GetVersion(), "2.12.3");
    EXPECT_EQ(full.GetSerialNumber(), 0x40F5849Au);
    EXPECT_EQ(full.GetModel(), "LV-Hub8");
    EXPECT_EQ(full.SerialNumberOffset(), 0x1010u);
    EXPECT_EQ(full.DescriptorOffset(), 0x1020u);
    EXPECT_EQ(full.GetLoaderStart(), 0x20000400u);
    ASSERT_EQ(full.FindBlocks(BLOCK_LOADER).size(), 1u);
    EXPECT_EQ(full.FindBlocks(BLOCK_LOADER)[0].address, 0x20000000u);
    EXPECT_EQ(full.FindBlocks(BLOCK_LOADER)[0].length, 4u + 48u);
    ASSERT_EQ(full.FindBlocks(BLOCK_FIRMWARE).size(), 1u);
    BirdBlock fw = full.FindBlocks(BLOCK_FIRMWARE)[0];
    EXPECT_EQ(fw.address, 0x1000u);
    EXPECT_EQ(fw.flags, 2);
    EXPECT_EQ(0, memcmp(fw.data + 4, Pattern(96).data(), 96));

    BirdFile encoded((dir / "encoded.bird").string());
    encoded.DecodeFirmwareBlocks(Fingerprint{{0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10}});
    ASSERT_EQ(encoded.FindBlocks(BLOCK_FIRMWARE).size(), 1u);
    EXPECT_EQ(0, memcmp(encoded.FindBlocks(BLOCK_FIRMWARE)[0].data + 4, Pattern(64).data(), 64));
}

}  // namespace
