// UpdaterEntity: the upgrade exchanges against a scripted device on an
// in-memory stream pair: request layouts, chunking into DATA packets, resends
// after a short count (and their bound), checksum checks, PREPARE refusals and
// a block size of 0, UEI byte runs, the reboot wait, and the loader sequence
// stopping at a failed block.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Log.h"
#include "UpdaterEntity.h"
#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"
#include "objects/Module.h"
#include "test_objects_peer.h"

using Morvanex::Lumivance::Module;
using objtest::Bytes;
using objtest::pkt;
using objtest::ScriptedPeer;

namespace {

constexpr uint8_t kAddr = 0x06;

class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool show) override { events.push_back(show ? "show" : "hide"); }
    void update_progress(double fraction, const char*) override { fractions.push_back(fraction); }
    void update_spinner(bool on, const char*) override { spins += on ? 1 : 0; }
    void info_message(const char* text) override { info.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }
    std::vector<std::string> events, info, errors;
    std::vector<double> fractions;
    int spins = 0;
};

// Captures the debug log (every package) for one test.
class LogCapture {
  public:
    LogCapture() : file_(std::tmpfile()), mask_(Log::package_bitmask) {
        Log::SetOutput(file_);
        Log::package_bitmask = 0xFFFFFFFFu;
    }
    ~LogCapture() {
        Log::SetOutput(stderr);
        Log::package_bitmask = mask_;
        std::fclose(file_);
    }
    std::string text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) s.append(buf, n);
        return s;
    }

  private:
    FILE* file_;
    uint32_t mask_;
};

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + seed);
    return b;
}

uint32_t sumOf(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t v : b) s += v;
    return s;
}

Bytes with(Bytes head, const Bytes& tail, size_t from = 0, size_t n = SIZE_MAX) {
    if (n == SIZE_MAX) n = tail.size() - from;
    head.insert(head.end(), tail.begin() + long(from), tail.begin() + long(from + n));
    return head;
}

Bytes status(uint8_t st, std::initializer_list<uint8_t> more = {}) {
    Bytes r{0x5F, 0x07, st};
    for (uint8_t b : more) r.push_back(b);
    return r;
}

Bytes sumReply(uint8_t st, uint32_t sum) {
    return status(st, {uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)});
}

class UpgradeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        aStream* s = peer.startMemory();
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(module.getLink()->connectStream(s), aErrNone);
        entity.init(&module, 0, true, false);
    }
    void TearDown() override {
        module.disconnect();
        peer.stop();
        for (const std::string& f : peer.failures()) ADD_FAILURE() << f;
        EXPECT_EQ(peer.pending(), 0u) << "scripted requests never sent";
    }
    // DATA packets of `bytes` (26 at most each), each accepted in full.
    void expectData(const Bytes& bytes) {
        for (size_t at = 0; at < bytes.size(); at += 26) {
            size_t n = std::min<size_t>(26, bytes.size() - at);
            peer.expect(pkt(kAddr, with({0x5F, 0x01}, bytes, at, n)),
                        {pkt(kAddr, {0x5F, 0x01, uint8_t(n)})});
        }
    }
    void expectPrepare(uint8_t flags, uint32_t address, Bytes reply) {
        peer.expect(pkt(kAddr, {0x5F, 0x03, flags, uint8_t(address >> 24), uint8_t(address >> 16),
                                uint8_t(address >> 8), uint8_t(address)}),
                    {pkt(kAddr, reply)});
    }
    ScriptedPeer peer{kAddr};
    Module module{kAddr, false, 0};
    UpdaterEntity entity;
    RecordingDisplay display;
};

Bytes block(uint32_t address, const Bytes& image) {
    Bytes b{uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
            uint8_t(address)};
    return with(b, image);
}

}  // namespace

TEST_F(UpgradeTest, InitNeedsTheLoadBase) {
    peer.expect(pkt(kAddr, {0x5F, 0x00}), {pkt(kAddr, {0x5F, 0x00, 0x20, 0, 0, 0})});
    EXPECT_EQ(entity.LoaderInit(), aErrNone);
    peer.expect(pkt(kAddr, {0x5F, 0x00}), {pkt(kAddr, {0x5F, 0x00, 0x20, 0, 0})});
    EXPECT_EQ(entity.LoaderInit(), aErrPacket);
}

TEST_F(UpgradeTest, PrepareSendsFlagsAndAddressAndReadsTheBlockSize) {
    Bytes b = block(0x12345678, pattern(10, 1));
    uint16_t size = 0;
    expectPrepare(5, 0x12345678, status(0, {0x01, 0x00}));
    EXPECT_EQ(entity.TransferPrepare(b.data(), unsigned(b.size()), 5, size), aErrNone);
    EXPECT_EQ(size, 256);
    // A refusal, and a reply too short to carry a block size.
    expectPrepare(5, 0x12345678, status(1, {0x01, 0x00}));
    EXPECT_EQ(entity.TransferPrepare(b.data(), unsigned(b.size()), 5, size), aErrInvalidOption);
    expectPrepare(5, 0x12345678, status(0));
    EXPECT_EQ(entity.TransferPrepare(b.data(), unsigned(b.size()), 5, size), aErrInvalidOption);
}

TEST_F(UpgradeTest, FirmwareChunksGoAs26ByteDataPacketsWithSumAndWrite) {
    // 100 image bytes with a block size of 60: chunks of 60 (26, 26, 8) and 40 (26, 14).
    Bytes image = pattern(100, 3);
    Bytes b = block(0x1000, image);
    Bytes first(image.begin(), image.begin() + 60), second(image.begin() + 60, image.end());
    expectData(first);
    peer.expect(pkt(kAddr, {0x5F, 0x04}), {pkt(kAddr, sumReply(0, sumOf(first)))});
    peer.expect(pkt(kAddr, {0x5F, 0x05, 0x00, 60}), {pkt(kAddr, status(0))});
    expectData(second);
    peer.expect(pkt(kAddr, {0x5F, 0x04}), {pkt(kAddr, sumReply(0, sumOf(second)))});
    peer.expect(pkt(kAddr, {0x5F, 0x05, 0x00, 40}), {pkt(kAddr, status(0))});
    EXPECT_EQ(entity.FirmwareTransfer(b.data(), unsigned(b.size()), 60, display), aErrNone);
    EXPECT_EQ(display.events, (std::vector<std::string>{"show", "hide"}));
    ASSERT_EQ(display.fractions.size(), 2u);
    EXPECT_DOUBLE_EQ(display.fractions[0], 64.0 / 104.0);
    EXPECT_DOUBLE_EQ(display.fractions[1], 1.0);
}

TEST_F(UpgradeTest, AddressOnlyBlockSendsNothing) {
    Bytes b = block(0x2000, {});
    EXPECT_EQ(entity.FirmwareTransfer(b.data(), unsigned(b.size()), 0, display), aErrNone);
    EXPECT_TRUE(peer.received().empty());
}

TEST_F(UpgradeTest, BlockSizeZeroFailsInsteadOfLooping) {
    LogCapture log;
    Bytes b = block(0x2000, pattern(30, 1));
    EXPECT_EQ(entity.FirmwareTransfer(b.data(), unsigned(b.size()), 0, display), aErrInvalidOption);
    EXPECT_TRUE(peer.received().empty());
    EXPECT_NE(log.text().find("NETWORK: Failed to transfer firmware\n"), std::string::npos);
}

TEST_F(UpgradeTest, ShortCountResendsTheSameBytes) {
    Bytes image = pattern(30, 7);
    Bytes b = block(0x1000, image);
    Bytes p1 = with({0x5F, 0x01}, image, 0, 26);
    peer.expect(pkt(kAddr, p1), {pkt(kAddr, {0x5F, 0x01, 25})});
    peer.expect(pkt(kAddr, p1), {pkt(kAddr, {0x5F, 0x01, 26})});
    peer.expect(pkt(kAddr, with({0x5F, 0x01}, image, 26, 4)), {pkt(kAddr, {0x5F, 0x01, 4})});
    peer.expect(pkt(kAddr, {0x5F, 0x04}), {pkt(kAddr, sumReply(0, sumOf(image)))});
    EXPECT_EQ(entity.LoaderTransfer(b.data(), unsigned(b.size())), aErrNone);
}

TEST_F(UpgradeTest, ShortCountResendsAreBounded) {
    Bytes image = pattern(10, 7);
    Bytes b = block(0x1000, image);
    for (unsigned i = 0; i <= kUpgradeMaxDataResends; ++i)
        peer.expect(pkt(kAddr, with({0x5F, 0x01}, image)), {pkt(kAddr, {0x5F, 0x01, 9})});
    EXPECT_EQ(entity.LoaderTransfer(b.data(), unsigned(b.size())), aErrPacket);
}

TEST_F(UpgradeTest, ChecksumMismatchIsAlwaysLogged) {
    LogCapture log;
    Log::package_bitmask = 0;  // only the lines printed whatever the mask
    Bytes image = pattern(5, 9);
    Bytes b = block(0x1000, image);
    expectData(image);
    peer.expect(pkt(kAddr, {0x5F, 0x04}), {pkt(kAddr, sumReply(0, sumOf(image) + 1))});
    EXPECT_EQ(entity.LoaderTransfer(b.data(), unsigned(b.size())), aErrInvalidOption);
    char line[128];
    std::snprintf(line, sizeof line,
                  "\nNETWORK: Unable to validate transfer [00] [%08X != %08X].\n", sumOf(image),
                  sumOf(image) + 1);
    EXPECT_EQ(log.text(), line);
}

TEST_F(UpgradeTest, MissingRepliesAreBounded) {
    Bytes image = pattern(5, 9);
    Bytes b = block(0x1000, image);
    peer.expect(pkt(kAddr, with({0x5F, 0x01}, image)), {});
    EXPECT_EQ(entity.LoaderTransfer(b.data(), unsigned(b.size())), aErrPacket);
    peer.expect(pkt(kAddr, {0x5F, 0x05, 0x00, 0x05}), {});
    EXPECT_EQ(entity.FirmwareWrite(5), aErrInvalidOption);
    peer.expect(pkt(kAddr, {0x5F, 0x05, 0x00, 0x05}), {pkt(kAddr, status(3))});
    EXPECT_EQ(entity.FirmwareWrite(5), aErrInvalidOption);
}

TEST_F(UpgradeTest, UEIDataGoesAsOneByteRun) {
    peer.expect(pkt(kAddr, {0x49, 0x01, 0x5F, 10, 0, 0x80}),
                {pkt(kAddr, {0x49, 0x01, 0x5F, 10, 0, 0})});
    EXPECT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    ASSERT_TRUE(entity.ueiData());
    Bytes image = pattern(50, 2);
    Bytes b = block(0x1000, image);
    peer.expect(pkt(kAddr, with(with({0x5F, 0x8A, 0x20}, image, 0, 24), {0x80})), {});
    peer.expect(pkt(kAddr, with(with({0x5F, 0x8A, 0x20}, image, 24, 24), {0x81})), {});
    peer.expect(pkt(kAddr, with(with({0x5F, 0x8A, 0x20}, image, 48, 2), {0x02})),
                {pkt(kAddr, {0x5F, 0xCA, 0x00})});
    peer.expect(pkt(kAddr, {0x5F, 0x04}), {pkt(kAddr, sumReply(0, sumOf(image)))});
    peer.expect(pkt(kAddr, {0x5F, 0x05, 0x00, 50}), {pkt(kAddr, status(0))});
    EXPECT_EQ(entity.FirmwareTransfer(b.data(), unsigned(b.size()), 1024, display), aErrNone);
}

TEST_F(UpgradeTest, UEIDataRefusedByTheDevice) {
    peer.expect(pkt(kAddr, {0x49, 0x01, 0x5F, 10, 0, 0x80}),
                {pkt(kAddr, {0x49, 0x01, 0x5F, 10, 0, uint8_t(aErrInvalidOption)})});
    EXPECT_EQ(entity.CheckUEIDataSupport(), aErrInvalidOption);
    EXPECT_FALSE(entity.ueiData());
}

TEST_F(UpgradeTest, RebootThroughRouterWaitsOnePass) {
    entity.init(&module, 0, true, true);
    peer.expect(pkt(kAddr, {0x5F, 0x06}), {});
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_EQ(display.spins, 1);
}

TEST_F(UpgradeTest, RebootWaitForADirectLinkIsBounded) {
    // The device never drops the link: the wait ends by itself.
    peer.expect(pkt(kAddr, {0x5F, 0x06}), {});
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_EQ(display.spins, int(kUpgradeMaxRebootPasses));
    EXPECT_TRUE(module.isConnected());
}

TEST_F(UpgradeTest, LoaderSequenceStopsAtAFailedBlock) {
    // Two loader blocks; the first one's checksum is wrong. The second still
    // goes out, but LOAD never does.
    Bytes a = pattern(10, 1), b = pattern(12, 2);
    BirdWriter w;
    w.AddImage(BLOCK_LOADER, 0x20000000, a);
    w.AddImage(BLOCK_LOADER, 0x20001000, b);
    Bytes bytes = w.Build();
    BirdFile file(bytes.data(), bytes.size());
    peer.expect(pkt(kAddr, {0x5F, 0x00}), {pkt(kAddr, {0x5F, 0x00, 0x20, 0, 0, 0})});
    expectPrepare(0, 0x20000000, status(0, {0x04, 0x00}));
    expectData(a);
    peer.expect(pkt(kAddr, {0x5F, 0x04}), {pkt(kAddr, sumReply(0, sumOf(a) + 1))});
    expectPrepare(0, 0x20001000, status(0, {0x04, 0x00}));
    expectData(b);
    peer.expect(pkt(kAddr, {0x5F, 0x04}), {pkt(kAddr, sumReply(0, sumOf(b)))});
    EXPECT_EQ(_transfer_loader(display, module, file), aErrInvalidOption);
    EXPECT_EQ(display.info, (std::vector<std::string>{"Transferring loader to device",
                                                      "Transferring loader block 1 of 2, 14 bytes",
                                                      "Transferring loader block 1 of 2, 16 bytes",
                                                      "Transferred 1 blocks, 16 total bytes"}));
}
