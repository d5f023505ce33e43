// A BIRD firmware image held in memory: the 6-byte header ("bird" and a
// two-byte format version), then one zlib stream with the block content:
//   u32 count | count x (u8 type|flags, u32 length, payload) | u32 checksum
// All numbers are big-endian. The object reads and decompresses the whole
// file once; patching (serial number, recovery decoding, vector checksum)
// changes only the copy in memory, never the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "recovery/Fingerprint.h"

enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,          // u32 load address + boot loader image
    BLOCK_FIRMWARE = 1,        // u32 load address + firmware image
    BLOCK_SERIAL_OFFSETS = 2,  // u32 serial-number address, u32 descriptor address
    BLOCK_INFO = 4,            // 4 x 16 ASCII: build, version, serial (8 hex), model
    BLOCK_LOADER_START = 5,    // u32 start address of a recovery loader
};

constexpr char BIRD_FILE_SIGNATURE[5] = "bird";
constexpr uint8_t BIRD_FILE_VERSION[2] = {0x01, 0x01};
constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
constexpr size_t BIRD_FILE_HEADER_SIZE = 6;
constexpr size_t BIRD_INFO_SIZE = 64;
constexpr size_t BIRD_INFO_FIELD = 16;
// Start address of a recovery loader when the file names none.
constexpr uint32_t BIRD_DEFAULT_LOADER_START = 0x20000400;

// One parsed block. `data` points at the first payload byte inside the
// owning BirdFile's content; the record does not own it.
struct BirdBlock {
    uint8_t type = 0;      // 0-31
    uint8_t flags = 0;     // 0-7, carried to the device unchanged
    uint32_t length = 0;   // payload length
    uint32_t address = 0;  // load address for loader and firmware blocks, else 0
    const uint8_t* data = nullptr;
};

class BirdFile {
  public:
    // Upper bound of the decompressed content. Flash images padded with 0xFF
    // compress far better than 8:1, so the bound is a fixed size rather than
    // a multiple of the compressed length.
    static constexpr size_t kMaxContentSize = 256u * 1024u * 1024u;

    // Empty placeholder: no path, no blocks, every number 0.
    BirdFile();
    // Loads the file; throws std::runtime_error("Failed to load bird data")
    // when it cannot be read or its compressed body does not inflate.
    explicit BirdFile(const std::string& path);
    // Loads an image already in memory (e.g. downloaded content); `label`
    // stands in for the path in log lines. Same errors as the path form.
    // `maxContent` lowers the decompression bound (never above the default).
    BirdFile(const uint8_t* bytes, size_t length, const std::string& label = "<memory>",
             size_t maxContent = kMaxContentSize);

    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile();

    // Header check only: at least 6 bytes, "bird", both version bytes non-zero.
    static bool VerifyFile(const std::string& path);
    static bool VerifyHeader(const uint8_t* bytes, size_t length);

    // Reads, decompresses and parses the file named by Path(). Called by the
    // path constructor; returns false (after logging why) on failure.
    bool Load();

    // Copies of every block of `type`, in file order.
    std::vector<BirdBlock> FindBlocks(uint8_t type) const;

    // Identity record (first BLOCK_INFO block of 64 bytes or more);
    // 0 / "" / false when the file has none.
    uint32_t GetSerialNumber() const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    std::string GetModel() const;  // model field without its trailing spaces
    bool HasInfo() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    // True when the stored model starts with `modelName`.
    bool ValidateModel(const char* modelName) const;
    // Address of the first BLOCK_LOADER_START block, else `fallback`.
    uint32_t GetLoaderStart(uint32_t fallback = BIRD_DEFAULT_LOADER_START) const;

    // Writes the serial number (u32 little-endian at the serial address,
    // 8 hex digits into the UTF-16LE descriptor) into the firmware blocks
    // that hold those addresses. False when the file has no offsets or no
    // firmware block.
    bool ReplaceSerialNumber(uint32_t serial);
    // Decodes recovery images in place with the device's fingerprint;
    // apply exactly once.
    bool DecodeFirmwareBlocks(const Fingerprint& key);
    bool DecodeFirmwareBlocks(const uint32_t key[4]);
    // Recomputes word 7 of the vector table of a firmware block loaded at 0.
    bool ReplaceVectorChecksum();
    // Diagnostic: logs every payload position of a firmware block that holds
    // `pattern`; true when any matched.
    bool ValidateData(const uint8_t* pattern, size_t count) const;
    // Hex dump of every block of `type`, 50 bytes per row.
    bool DumpBlocks(uint8_t type, FILE* out = stdout) const;

    const std::string& Path() const { return path; }
    uint32_t Signature() const { return signature; }
    uint32_t Version() const { return version; }
    uint32_t FileChecksum() const { return fileChecksum; }
    uint32_t BlockCount() const { return blockCount; }
    const std::vector<BirdBlock>& Blocks() const { return blocks; }
    bool HasSerialOffsets() const { return hasSerialOffsets; }
    uint32_t SerialNumberOffset() const { return serialNumberOffset; }
    uint32_t DescriptorOffset() const { return descriptorOffset; }
    const uint8_t* Data() const { return data.get(); }
    uint32_t DataSize() const { return dataSize; }
    // True when the block scan found exactly the declared count and no
    // bytes after the checksum. A mismatch does not fail the load.
    bool ScanComplete() const { return scanComplete; }

  private:
    bool LoadBytes(const uint8_t* bytes, size_t length);
    bool DecompressData(const uint8_t* source, size_t length);
    bool ScanBlocks(const uint8_t* content, size_t size);
    bool FindSerialNumberOffsets();
    const BirdBlock* InfoBlock() const;
    std::string InfoField(size_t offset, size_t count) const;

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t fileChecksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    std::unique_ptr<uint8_t[]> data;
    uint32_t dataSize = 0;
    size_t maxContentSize = kMaxContentSize;
    bool scanComplete = false;
};
