#include "BirdWriter.h"

#include <zlib.h>

#include <cstdio>
#include <stdexcept>

namespace {

void PutInt(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(uint8_t(value >> 24));
    out.push_back(uint8_t(value >> 16));
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

void PutField(std::vector<uint8_t>& out, const std::string& text) {
    for (size_t i = 0; i < BIRD_INFO_FIELD; ++i)
        out.push_back(i < text.size() ? uint8_t(text[i]) : ' ');
}

}  // namespace

void BirdWriter::AddInfo(uint32_t build, const std::string& version, uint32_t serial,
                         const std::string& model) {
    char serialText[16];
    snprintf(serialText, sizeof(serialText), "%08X", serial);
    AddInfoFields(std::to_string(build), version, serialText, model);
}

void BirdWriter::AddInfoFields(const std::string& build, const std::string& version,
                               const std::string& serial, const std::string& model) {
    std::vector<uint8_t> payload;
    PutField(payload, build);
    PutField(payload, version);
    PutField(payload, serial);
    PutField(payload, model);
    AddRaw(BLOCK_INFO, payload);
}

void BirdWriter::AddSerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress) {
    std::vector<uint8_t> payload;
    PutInt(payload, serialAddress);
    PutInt(payload, descriptorAddress);
    AddRaw(BLOCK_SERIAL_OFFSETS, payload);
}

void BirdWriter::AddLoaderStart(uint32_t address) {
    std::vector<uint8_t> payload;
    PutInt(payload, address);
    AddRaw(BLOCK_LOADER_START, payload);
}

void BirdWriter::AddImage(uint8_t type, uint32_t address, const std::vector<uint8_t>& image,
                          uint8_t flags) {
    std::vector<uint8_t> payload;
    payload.reserve(image.size() + 4);
    PutInt(payload, address);
    payload.insert(payload.end(), image.begin(), image.end());
    AddRaw(type, payload, flags);
}

void BirdWriter::AddRaw(uint8_t type, const std::vector<uint8_t>& payload, uint8_t flags,
                        int64_t declaredLength) {
    uint8_t typeByte = uint8_t((type & BIRD_FILE_TYPE_MASK) | ((flags << 5) & BIRD_FILE_FLAG_MASK));
    blocks.push_back(Block{typeByte, payload, declaredLength});
}

std::vector<uint8_t> BirdWriter::Content() const {
    std::vector<uint8_t> out;
    PutInt(out, declaredCount >= 0 ? uint32_t(declaredCount) : uint32_t(blocks.size()));
    for (const Block& block : blocks) {
        out.push_back(block.typeByte);
        PutInt(out, block.declaredLength >= 0 ? uint32_t(block.declaredLength)
                                              : uint32_t(block.payload.size()));
        out.insert(out.end(), block.payload.begin(), block.payload.end());
    }
    uint32_t sum =
        checksum >= 0 ? uint32_t(checksum) : uint32_t(crc32(0L, out.data(), uInt(out.size())));
    PutInt(out, sum);
    out.insert(out.end(), trailing.begin(), trailing.end());
    return out;
}

std::vector<uint8_t> BirdWriter::Build(int level) const {
    return Wrap(Content(), level, signature, formatVersion);
}

std::vector<uint8_t> BirdWriter::Wrap(const std::vector<uint8_t>& content, int level,
                                      const std::string& signature, uint16_t formatVersion) {
    std::vector<uint8_t> out(BIRD_FILE_HEADER_SIZE, 0);
    for (size_t i = 0; i < 4; ++i) out[i] = i < signature.size() ? uint8_t(signature[i]) : 0;
    out[4] = uint8_t(formatVersion >> 8);
    out[5] = uint8_t(formatVersion);
    uLongf bound = compressBound(uLong(content.size()));
    out.resize(BIRD_FILE_HEADER_SIZE + bound);
    int result = compress2(out.data() + BIRD_FILE_HEADER_SIZE, &bound, content.data(),
                           uLong(content.size()), level);
    if (result != Z_OK) throw std::runtime_error("BirdWriter: compression failed");
    out.resize(BIRD_FILE_HEADER_SIZE + bound);
    return out;
}

void BirdWriter::EncodeImage(std::vector<uint8_t>& image, const uint32_t key[4]) {
    uint8_t keyBytes[16];
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b) keyBytes[4 * w + b] = uint8_t(key[w] >> (24 - 8 * b));
    uint8_t previousPlain = 0;
    for (size_t j = 0; j < image.size(); ++j) {
        uint8_t plain = image[j];
        image[j] = uint8_t(plain ^ keyBytes[j % 16] ^ previousPlain);
        previousPlain = plain;
    }
}
