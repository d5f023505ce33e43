// Builds BIRD files: the packing side of BirdFile. Used by the BIRD tool, by
// tests that need images (well-formed or deliberately broken) and by the
// fuzz corpus generator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"

class BirdWriter {
  public:
    // Identity record: each field is padded with spaces (or cut) to 16 bytes.
    void AddInfo(uint32_t build, const std::string& version, uint32_t serial,
                 const std::string& model);
    void AddInfoFields(const std::string& build, const std::string& version,
                       const std::string& serial, const std::string& model);
    void AddSerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress);
    void AddLoaderStart(uint32_t address);
    // Loader or firmware block: u32 address followed by the image.
    void AddImage(uint8_t type, uint32_t address, const std::vector<uint8_t>& image,
                  uint8_t flags = 0);
    // Any block with its payload as given. `declaredLength`, when not
    // negative, is written as the length instead of the payload's size.
    void AddRaw(uint8_t type, const std::vector<uint8_t>& payload, uint8_t flags = 0,
                int64_t declaredLength = -1);

    // Overrides for broken fixtures.
    void SetDeclaredCount(uint32_t count) { declaredCount = int64_t(count); }
    void SetChecksum(uint32_t value) { checksum = int64_t(value); }
    void SetTrailing(const std::vector<uint8_t>& bytes) { trailing = bytes; }

    size_t BlockCount() const { return blocks.size(); }

    // The decompressed block content: count, blocks, checksum (CRC-32 of
    // everything before it unless overridden), trailing bytes.
    std::vector<uint8_t> Content() const;
    // Header ("bird" + version unless overridden) and the zlib-compressed content.
    std::vector<uint8_t> Build(int level = 9) const;
    void SetSignature(const std::string& fourBytes) { signature = fourBytes; }
    void SetFormatVersion(uint16_t value) { formatVersion = value; }

    static std::vector<uint8_t> Wrap(const std::vector<uint8_t>& content, int level = 9,
                                     const std::string& signature = "bird",
                                     uint16_t formatVersion = 0x0101);
    // Encodes an image for one device: out[j] = in[j] ^ key[j % 16] ^ in[j-1].
    static void EncodeImage(std::vector<uint8_t>& image, const uint32_t key[4]);

  private:
    struct Block {
        uint8_t typeByte;
        std::vector<uint8_t> payload;
        int64_t declaredLength;
    };
    std::vector<Block> blocks;
    int64_t declaredCount = -1;
    int64_t checksum = -1;
    std::vector<uint8_t> trailing;
    std::string signature = "bird";
    uint16_t formatVersion = 0x0101;
};
