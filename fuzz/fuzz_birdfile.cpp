// libFuzzer target for the BIRD file reader. An input that starts with "bird"
// is taken as a whole file; any other input is taken as block content and
// compressed first, so the fuzzer reaches the block parser directly instead
// of stopping at the zlib check.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "app/Log.h"
#include "firmware/BirdFile.h"

namespace {

// Keeps the fuzzer's memory use low; real images are far below this.
constexpr size_t kFuzzContentLimit = 16u * 1024u * 1024u;

std::vector<uint8_t> WrapContent(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out(6 + compressBound(uLong(size)));
    memcpy(out.data(), "bird\x01\x01", 6);
    uLongf length = out.size() - 6;
    if (compress2(out.data() + 6, &length, data, uLong(size), 1) != Z_OK) return {};
    out.resize(6 + length);
    return out;
}

void Exercise(const std::vector<uint8_t>& bytes) {
    BirdFile::VerifyHeader(bytes.data(), bytes.size());
    try {
        BirdFile file(bytes.data(), bytes.size(), "<fuzz>", kFuzzContentLimit);
        for (uint8_t type = 0; type < 8; ++type) file.FindBlocks(type);
        file.GetBuild();
        file.GetVersion();
        file.GetSerialNumber();
        file.GetModel();
        file.GetLoaderStart();
        file.ValidateModel("LV");
        file.ValidateSerialNumber(0x40F5849A);
        file.ReplaceSerialNumber(0x1234ABCD);
        const uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
        file.DecodeFirmwareBlocks(key);
        file.ReplaceVectorChecksum();
        const uint8_t pattern[] = {0xFF, 0x00};
        file.ValidateData(pattern, sizeof(pattern));
        static FILE* sink = fopen("/dev/null", "w");
        if (sink) file.DumpBlocks(BLOCK_INFO, sink);
        BirdFile moved(std::move(file));
        for (const BirdBlock& block : moved.Blocks()) {
            // Touch the first and last payload byte so ASan checks the bounds.
            if (block.length > 0) {
                volatile uint8_t first = block.data[0];
                volatile uint8_t last = block.data[block.length - 1];
                (void)first;
                (void)last;
            }
        }
    } catch (const std::runtime_error&) {
        // Rejected input: the reader reports it as an error, which is fine.
    }
}

}  // namespace

// Every diagnostic line is formatted (into /dev/null), so the log formats
// see the hostile fields too.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Log::SetOutput(fopen("/dev/null", "w"));
    Log::ActivatePackage(0xFFFFFFFFu);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 4 && memcmp(data, "bird", 4) == 0) {
        Exercise(std::vector<uint8_t>(data, data + size));
    } else {
        std::vector<uint8_t> wrapped = WrapContent(data, size);
        if (!wrapped.empty()) Exercise(wrapped);
    }
    return 0;
}
