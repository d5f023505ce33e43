// birdtool: packs BIRD firmware files from images and prints or dumps
// existing ones. See README.md for the command line.
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Log.h"
#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"
#include "store/AtomicFile.h"

namespace {

const char* kUsage =
    "usage:\n"
    "  birdtool pack -o OUT [--model TEXT] [--version TEXT] [--build N] [--serial HEX]\n"
    "               [--info-raw BUILD,VERSION,SERIAL,MODEL] [--no-info]\n"
    "               [--serial-offsets SERIAL_ADDR,DESCRIPTOR_ADDR] [--loader-start ADDR]\n"
    "               [--loader SRC@ADDR[/FLAGS]]... [--firmware SRC@ADDR[/FLAGS]]...\n"
    "               [--block TYPE[/FLAGS]=SRC[#LEN]]... [--encode W0,W1,W2,W3]\n"
    "               [--count N] [--checksum HEX] [--trailing HEXBYTES]\n"
    "               [--signature TEXT] [--format-version HEX] [--level 0-9]\n"
    "               [--content-only] [--truncate N]\n"
    "     SRC is a file path, hex:BYTES, fill:SIZE:BYTE or pattern:SIZE\n"
    "  birdtool print [--log] [--content] FILE\n"
    "  birdtool dump [--log] [--content] [--type N] FILE\n"
    "  birdtool verify FILE\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

unsigned long long ParseNumber(const std::string& text, const char* what,
                               unsigned long long max = 0xFFFFFFFFull, int base = 0) {
    if (text.empty()) throw UsageError(std::string("missing ") + what);
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, base);
    if (errno != 0 || end == text.c_str() || *end != '\0' || text[0] == '-' || value > max)
        throw UsageError(std::string("invalid ") + what + " '" + text + "'");
    return value;
}

std::vector<uint8_t> ParseHexBytes(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != ':' && c != '_') digits.push_back(c);
    if (digits.size() % 2 != 0) throw UsageError("odd number of hex digits in '" + text + "'");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(uint8_t(ParseNumber(digits.substr(i, 2), "hex byte", 0xFF, 16)));
    return bytes;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open '" + path + "': " + strerror(errno));
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) throw std::runtime_error("cannot read '" + path + "'");
    return bytes;
}

// hex:0102, fill:SIZE:BYTE, pattern:SIZE, or a file path.
std::vector<uint8_t> LoadSource(const std::string& source) {
    if (source.rfind("hex:", 0) == 0) return ParseHexBytes(source.substr(4));
    if (source.rfind("fill:", 0) == 0) {
        std::string rest = source.substr(5);
        size_t colon = rest.find(':');
        if (colon == std::string::npos) throw UsageError("fill needs SIZE:BYTE");
        size_t size = ParseNumber(rest.substr(0, colon), "fill size", 0x10000000);
        uint8_t byte = uint8_t(ParseNumber(rest.substr(colon + 1), "fill byte", 0xFF));
        return std::vector<uint8_t>(size, byte);
    }
    if (source.rfind("pattern:", 0) == 0) {
        size_t size = ParseNumber(source.substr(8), "pattern size", 0x10000000);
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + 3);
        return bytes;
    }
    return ReadWholeFile(source);
}

std::vector<std::string> SplitList(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t at = text.find(separator, start);
        parts.push_back(
            text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

struct ImageSpec {
    uint8_t type;
    std::vector<uint8_t> image;
    uint32_t address;
    uint8_t flags;
    bool raw;                     // --block: payload taken as is
    int64_t declaredLength = -1;  // --block ...#LEN: length written instead of the size
};

// SRC@ADDR[/FLAGS]
ImageSpec ParseImage(uint8_t type, const std::string& text) {
    size_t at = text.rfind('@');
    if (at == std::string::npos) throw UsageError("image '" + text + "' needs @ADDRESS");
    std::string where = text.substr(at + 1);
    uint8_t flags = 0;
    size_t slash = where.find('/');
    if (slash != std::string::npos) {
        flags = uint8_t(ParseNumber(where.substr(slash + 1), "flags", 7));
        where = where.substr(0, slash);
    }
    return ImageSpec{type, LoadSource(text.substr(0, at)), uint32_t(ParseNumber(where, "address")),
                     flags, false};
}

// TYPE[/FLAGS]=SRC
ImageSpec ParseRawBlock(const std::string& text) {
    size_t eq = text.find('=');
    if (eq == std::string::npos) throw UsageError("--block needs TYPE[/FLAGS]=SRC");
    std::string head = text.substr(0, eq);
    uint8_t flags = 0;
    size_t slash = head.find('/');
    if (slash != std::string::npos) {
        flags = uint8_t(ParseNumber(head.substr(slash + 1), "flags", 7));
        head = head.substr(0, slash);
    }
    uint8_t type = uint8_t(ParseNumber(head, "block type", 31));
    std::string source = text.substr(eq + 1);
    int64_t declared = -1;
    size_t hash = source.rfind('#');
    if (hash != std::string::npos) {
        declared = int64_t(ParseNumber(source.substr(hash + 1), "declared length"));
        source = source.substr(0, hash);
    }
    ImageSpec spec{type, LoadSource(source), 0, flags, true};
    spec.declaredLength = declared;
    return spec;
}

int Pack(const std::vector<std::string>& args) {
    std::string out;
    std::string model, version;
    uint32_t build = 0, serial = 0;
    bool info = true;
    std::vector<std::string> infoRaw;
    bool haveOffsets = false, haveStart = false, contentOnly = false, haveKey = false;
    uint32_t serialAddress = 0, descriptorAddress = 0, loaderStart = 0;
    uint32_t key[4] = {0, 0, 0, 0};
    std::vector<ImageSpec> images;
    BirdWriter writer;
    int level = 9;
    long long truncateTo = -1;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(opt + " needs a value");
            return args[++i];
        };
        if (opt == "-o" || opt == "--output")
            out = value();
        else if (opt == "--model")
            model = value();
        else if (opt == "--version")
            version = value();
        else if (opt == "--build")
            build = uint32_t(ParseNumber(value(), "build", 0xFFFFFFFF, 10));
        else if (opt == "--serial")
            serial = uint32_t(ParseNumber(value(), "serial", 0xFFFFFFFF, 16));
        else if (opt == "--info-raw") {
            infoRaw = SplitList(value(), ',');
            if (infoRaw.size() != 4) throw UsageError("--info-raw needs four fields");
        } else if (opt == "--no-info")
            info = false;
        else if (opt == "--serial-offsets") {
            std::vector<std::string> parts = SplitList(value(), ',');
            if (parts.size() != 2)
                throw UsageError("--serial-offsets needs SERIAL_ADDR,DESCRIPTOR_ADDR");
            serialAddress = uint32_t(ParseNumber(parts[0], "serial address"));
            descriptorAddress = uint32_t(ParseNumber(parts[1], "descriptor address"));
            haveOffsets = true;
        } else if (opt == "--loader-start") {
            loaderStart = uint32_t(ParseNumber(value(), "loader start"));
            haveStart = true;
        } else if (opt == "--loader")
            images.push_back(ParseImage(BLOCK_LOADER, value()));
        else if (opt == "--firmware")
            images.push_back(ParseImage(BLOCK_FIRMWARE, value()));
        else if (opt == "--block")
            images.push_back(ParseRawBlock(value()));
        else if (opt == "--encode") {
            std::vector<std::string> parts = SplitList(value(), ',');
            if (parts.size() != 4) throw UsageError("--encode needs four words");
            for (int w = 0; w < 4; ++w)
                key[w] = uint32_t(ParseNumber(parts[w], "key word", 0xFFFFFFFF, 16));
            haveKey = true;
        } else if (opt == "--count")
            writer.SetDeclaredCount(uint32_t(ParseNumber(value(), "count")));
        else if (opt == "--checksum")
            writer.SetChecksum(uint32_t(ParseNumber(value(), "checksum", 0xFFFFFFFF, 16)));
        else if (opt == "--trailing")
            writer.SetTrailing(ParseHexBytes(value()));
        else if (opt == "--signature")
            writer.SetSignature(value());
        else if (opt == "--format-version")
            writer.SetFormatVersion(uint16_t(ParseNumber(value(), "format version", 0xFFFF, 16)));
        else if (opt == "--level")
            level = int(ParseNumber(value(), "level", 9));
        else if (opt == "--content-only")
            contentOnly = true;
        else if (opt == "--truncate")
            truncateTo = (long long)ParseNumber(value(), "truncate length", 0xFFFFFFFF);
        else
            throw UsageError("unknown option '" + opt + "'");
    }
    if (out.empty()) throw UsageError("pack needs -o OUT");

    if (info && !infoRaw.empty())
        writer.AddInfoFields(infoRaw[0], infoRaw[1], infoRaw[2], infoRaw[3]);
    else if (info)
        writer.AddInfo(build, version, serial, model);
    if (haveOffsets) writer.AddSerialOffsets(serialAddress, descriptorAddress);
    if (haveStart) writer.AddLoaderStart(loaderStart);
    for (ImageSpec& spec : images) {
        if (spec.raw) {
            writer.AddRaw(spec.type, spec.image, spec.flags, spec.declaredLength);
            continue;
        }
        if (haveKey && spec.type == BLOCK_FIRMWARE) BirdWriter::EncodeImage(spec.image, key);
        writer.AddImage(spec.type, spec.address, spec.image, spec.flags);
    }

    std::vector<uint8_t> bytes = contentOnly ? writer.Content() : writer.Build(level);
    if (truncateTo >= 0 && size_t(truncateTo) < bytes.size()) bytes.resize(size_t(truncateTo));
    int error = 0;
    if (AtomicFile_Write(out, bytes.data(), bytes.size(), &error) != aErrNone)
        throw std::runtime_error("cannot write '" + out + "': " + strerror(error));
    return 0;
}

const char* TypeName(uint8_t type) {
    switch (type) {
        case BLOCK_LOADER:
            return "loader";
        case BLOCK_FIRMWARE:
            return "firmware";
        case BLOCK_SERIAL_OFFSETS:
            return "serial_offsets";
        case BLOCK_INFO:
            return "info";
        case BLOCK_LOADER_START:
            return "loader_start";
        default:
            return "other";
    }
}

void EnableLog(bool on) {
    Log::SetOutput(stderr);
    if (on) Log::ActivatePackage(DEBUG_BirdFile);
}

// A BIRD file, or with `content` set a file of bare block content.
BirdFile Open(const std::string& path, bool content) {
    if (!content) return BirdFile(path);
    std::vector<uint8_t> bytes = BirdWriter::Wrap(ReadWholeFile(path));
    return BirdFile(bytes.data(), bytes.size(), path);
}

int Print(const std::string& path, bool content) {
    BirdFile file = Open(path, content);
    printf("file: %s\n", path.c_str());
    printf("header_ok: %s\n", BirdFile::VerifyFile(path) ? "yes" : "no");
    printf("signature: %08X\n", file.Signature());
    printf("format_version: %04X\n", file.Version());
    printf("content_size: %u\n", file.DataSize());
    uint32_t declared = 0;
    if (file.DataSize() >= 4) {
        const uint8_t* d = file.Data();
        declared = (uint32_t(d[0]) << 24) | (uint32_t(d[1]) << 16) | (uint32_t(d[2]) << 8) | d[3];
    }
    printf("declared_blocks: %u\n", declared);
    printf("blocks: %u\n", file.BlockCount());
    printf("scan: %s\n", file.ScanComplete() ? "ok" : "mismatch");
    uint32_t crc = 0;
    if (file.DataSize() >= 4) crc = uint32_t(crc32(0L, file.Data(), uInt(file.DataSize() - 4)));
    printf("checksum: %08X (%s)\n", file.FileChecksum(),
           file.ScanComplete() && crc == file.FileChecksum() ? "crc32 ok" : "not crc32");
    if (file.HasInfo()) {
        printf("build: %u\n", file.GetBuild());
        printf("version: %s\n", file.GetVersion().c_str());
        printf("serial: %08X\n", file.GetSerialNumber());
        printf("model: %s\n", file.GetModel().c_str());
    } else {
        printf("info: none\n");
    }
    if (file.HasSerialOffsets())
        printf("serial_offsets: 0x%08X,0x%08X\n", file.SerialNumberOffset(),
               file.DescriptorOffset());
    else
        printf("serial_offsets: none\n");
    printf("loader_start: 0x%08X\n", file.GetLoaderStart());
    unsigned index = 0;
    for (const BirdBlock& block : file.Blocks()) {
        printf("block %u: type=%u (%s) flags=%u length=%u", index++, block.type,
               TypeName(block.type), block.flags, block.length);
        if (block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE)
            printf(" address=0x%08X image=%u crc32=%08X", block.address,
                   block.length >= 4 ? block.length - 4 : 0,
                   block.length > 4 ? uint32_t(crc32(0L, block.data + 4, uInt(block.length - 4)))
                                    : 0u);
        printf("\n");
    }
    return 0;
}

int Dump(const std::string& path, bool content, long type) {
    BirdFile file = Open(path, content);
    if (type >= 0) return file.DumpBlocks(uint8_t(type)) ? 0 : 1;
    for (uint8_t t = 0; t < 32; ++t)
        if (!file.FindBlocks(t).empty()) file.DumpBlocks(t);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "-h" || args[0] == "--help") {
        fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "pack") return Pack(args);
        bool log = false, content = false;
        long type = -1;
        std::string path;
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "--content" && command != "verify")
                content = true;
            else if (args[i] == "--log")
                log = true;
            else if (args[i] == "--type" && command == "dump" && i + 1 < args.size())
                type = long(ParseNumber(args[++i], "block type", 31));
            else if (path.empty() && (args[i].empty() || args[i][0] != '-'))
                path = args[i];
            else
                throw UsageError("unexpected argument '" + args[i] + "'");
        }
        if (path.empty()) throw UsageError(command + " needs a FILE");
        EnableLog(log);
        if (command == "print") return Print(path, content);
        if (command == "dump") return Dump(path, content, type);
        if (command == "verify") {
            bool ok = BirdFile::VerifyFile(path);
            printf("%s: %s\n", path.c_str(), ok ? "valid header" : "invalid header");
            return ok ? 0 : 1;
        }
        throw UsageError("unknown command '" + command + "'");
    } catch (const UsageError& e) {
        fprintf(stderr, "birdtool: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const std::exception& e) {
        fprintf(stderr, "birdtool: %s\n", e.what());
        return 1;
    }
}
