#include "BirdFile.h"

#include <zlib.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "Lumivance2/common/aFile.h"
#include "app/Log.h"

namespace {

// Big-endian unsigned 32-bit from 4 bytes.
uint32_t GetInt(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Big-endian 16-bit from 2 bytes.
uint16_t GetShort(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}

uint32_t GetLittleInt(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void PutLittleInt(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// True when [target, target + size) lies wholly inside the image of a
// loader/firmware block (target addresses address .. address + length - 4).
bool InsideImage(const BirdBlock& block, uint32_t target, uint32_t size) {
    if (block.length < 4) return false;
    uint64_t begin = block.address;
    uint64_t end = begin + (uint64_t(block.length) - 4);
    return uint64_t(target) >= begin && uint64_t(target) + size <= end;
}

// One 16-byte field of the identity record as text (stops at a NUL).
std::string InfoFieldText(const uint8_t* field) {
    char text[BIRD_INFO_FIELD + 1];
    memcpy(text, field, BIRD_INFO_FIELD);
    text[BIRD_INFO_FIELD] = '\0';
    return text;
}

constexpr size_t kInitialCapacity = 64 * 1024;

}  // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const std::string& filePath) : path(filePath) {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(const uint8_t* bytes, size_t length, const std::string& label, size_t maxContent)
    : path(label), maxContentSize(maxContent < kMaxContentSize ? maxContent : kMaxContentSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if ((bytes == nullptr && length != 0) || !LoadBytes(bytes, length))
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this == &other) return *this;
    path = std::move(other.path);
    signature = other.signature;
    version = other.version;
    fileChecksum = other.fileChecksum;
    blockCount = other.blockCount;
    blocks = std::move(other.blocks);  // pointers stay valid: the array moves with them
    hasSerialOffsets = other.hasSerialOffsets;
    serialNumberOffset = other.serialNumberOffset;
    descriptorOffset = other.descriptorOffset;
    data = std::move(other.data);
    dataSize = other.dataSize;
    maxContentSize = other.maxContentSize;
    scanComplete = other.scanComplete;

    other.path.clear();
    other.signature = other.version = other.fileChecksum = other.blockCount = 0;
    other.blocks.clear();
    other.hasSerialOffsets = false;
    other.serialNumberOffset = other.descriptorOffset = 0;
    other.dataSize = 0;
    other.scanComplete = false;
    return *this;
}

BirdFile::~BirdFile() = default;

bool BirdFile::VerifyHeader(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr || length < BIRD_FILE_HEADER_SIZE) return false;
    return memcmp(bytes, BIRD_FILE_SIGNATURE, 4) == 0 && bytes[4] != 0 && bytes[5] != 0;
}

bool BirdFile::VerifyFile(const std::string& filePath) {
    aFile* file = aFile_Open(filePath.c_str(), aFileModeReadOnly);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 filePath.c_str());
        return false;
    }
    uint8_t header[BIRD_FILE_HEADER_SIZE];
    size_t got = 0;
    size_t total = 0;
    // A short read is not the end of the file: keep reading until 6 bytes or EOF.
    while (total < sizeof(header) &&
           aFile_Read(file, header + total, sizeof(header) - total, &got) == aErrNone && got > 0)
        total += got;
    aFile_Close(&file);
    return VerifyHeader(header, total);
}

bool BirdFile::Load() {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    aFile* file = aFile_Open(path.c_str(), aFileModeReadOnly);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err,
                 path.c_str());
        aFile_Close(&file);
        return false;
    }
    // The compressed body can never be larger than the content bound.
    if (size > maxContentSize) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", aErrSize, path.c_str());
        aFile_Close(&file);
        return false;
    }
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size > 0 ? size : 1]);
    size_t total = 0;
    err = aErrNone;
    while (total < size) {
        size_t got = 0;
        err = aFile_Read(file, buffer.get() + total, size - total, &got);
        if (err != aErrNone || got == 0) break;
        total += got;
    }
    aFile_Close(&file);
    if (err != aErrNone && err != aErrEOF) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
        return false;
    }
    if (total < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 path.c_str(), total, size);
        return false;
    }
    return LoadBytes(buffer.get(), total);
}

bool BirdFile::LoadBytes(const uint8_t* bytes, size_t length) {
    hasSerialOffsets = false;
    serialNumberOffset = descriptorOffset = 0;
    if (length > BIRD_FILE_HEADER_SIZE) {
        signature = GetInt(bytes);
        version = GetShort(bytes + 4);
    }
    const uint8_t* body = length > BIRD_FILE_HEADER_SIZE ? bytes + BIRD_FILE_HEADER_SIZE : nullptr;
    size_t bodyLength = length > BIRD_FILE_HEADER_SIZE ? length - BIRD_FILE_HEADER_SIZE : 0;
    if (!DecompressData(body, bodyLength)) return false;
    scanComplete = ScanBlocks(data.get(), dataSize);
    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) hasSerialOffsets = FindSerialNumberOffsets();
    return true;
}

bool BirdFile::DecompressData(const uint8_t* source, size_t length) {
    data.reset();
    dataSize = 0;

    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    int result = inflateInit(&stream);
    if (result != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", result);
        return false;
    }

    // Inflate into a growing buffer bounded by maxContentSize.
    size_t capacity = length * 8;
    if (capacity < kInitialCapacity) capacity = kInitialCapacity;
    if (capacity > maxContentSize) capacity = maxContentSize;
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity > 0 ? capacity : 1]);
    size_t produced = 0;
    // zlib counts in uInt; feed the input in pieces so any size works.
    const uint8_t* next = source;
    size_t remaining = length;
    result = Z_OK;
    while (true) {
        if (stream.avail_in == 0 && remaining > 0) {
            uInt piece = remaining > 0x40000000u ? 0x40000000u : uInt(remaining);
            stream.next_in = const_cast<Bytef*>(next);
            stream.avail_in = piece;
            next += piece;
            remaining -= piece;
        }
        if (produced == capacity) {
            if (capacity >= maxContentSize) {
                // Full at the bound: only the end of the stream may follow.
                uint8_t probe;
                stream.next_out = &probe;
                stream.avail_out = 1;
                result = inflate(&stream, Z_NO_FLUSH);
                if (result != Z_STREAM_END || stream.avail_out == 0) result = Z_BUF_ERROR;
                break;
            }
            size_t grown = capacity * 2 > maxContentSize ? maxContentSize : capacity * 2;
            std::unique_ptr<uint8_t[]> bigger(new uint8_t[grown]);
            memcpy(bigger.get(), out.get(), produced);
            out = std::move(bigger);
            capacity = grown;
        }
        size_t room = capacity - produced;
        uInt chunk = room > 0x40000000u ? 0x40000000u : uInt(room);
        stream.next_out = out.get() + produced;
        stream.avail_out = chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        produced += chunk - stream.avail_out;
        if (result == Z_STREAM_END) break;
        if (result == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0) {
            result = Z_DATA_ERROR;  // the stream ends before its end marker
            break;
        }
        if (result != Z_OK && result != Z_BUF_ERROR) {
            if (result == Z_NEED_DICT) result = Z_DATA_ERROR;
            break;
        }
        if (stream.avail_in == 0 && remaining == 0 && stream.avail_out != 0) {
            result = Z_DATA_ERROR;  // input used up without an end marker
            break;
        }
    }
    inflateEnd(&stream);

    if (result != Z_STREAM_END) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", result);
        return false;
    }
    data = std::move(out);
    dataSize = uint32_t(produced);
    return true;
}

bool BirdFile::ScanBlocks(const uint8_t* content, size_t size) {
    blockCount = 0;
    blocks.clear();
    fileChecksum = 0;
    if (size < 4) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%zu bytes of content)\n", size);
        return false;
    }
    uint32_t declared = GetInt(content);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(declared));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    size_t pos = 4;
    bool truncated = false;
    while (size - pos > 4) {
        uint8_t typeByte = content[pos];
        uint32_t length = GetInt(content + pos + 1);
        size_t payload = pos + 5;
        if (length > size - payload) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Block at offset %zu claims %u bytes, only %zu remain\n", pos,
                     length, size - payload);
            truncated = true;
            break;
        }
        BirdBlock block;
        block.type = typeByte & BIRD_FILE_TYPE_MASK;
        block.flags = uint8_t((typeByte & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = length;
        block.data = content + payload;
        if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && length >= 4)
            block.address = GetInt(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 int(length));
        if (block.type == BLOCK_INFO && length >= BIRD_INFO_SIZE) {
            for (size_t f = 0; f < BIRD_INFO_SIZE; f += BIRD_INFO_FIELD)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         InfoFieldText(block.data + f).c_str());
        }
        blocks.push_back(block);
        ++blockCount;
        pos = payload + length;
    }

    bool ok = !truncated;
    if (size - pos >= 4) {
        fileChecksum = GetInt(content + pos);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum);
        pos += 4;
    } else {
        Log::log(DEBUG_BirdFile, "BIRDFILE: File checksum missing (%d bytes left)\n",
                 int(size - pos));
        ok = false;
    }
    if (pos < size) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(size - pos));
        ok = false;
    }
    if (blockCount != declared) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(blockCount), int(declared));
        ok = false;
    }
    return ok;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount == 0) return false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_SERIAL_OFFSETS) continue;
        // Only the first such block counts; a short one is treated as absent.
        if (block.length < 8) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Serial offsets block of %u bytes is too short, ignored\n",
                     block.length);
            return false;
        }
        serialNumberOffset = GetInt(block.data);
        descriptorOffset = GetInt(block.data + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 int(serialNumberOffset), int(descriptorOffset));
        return true;
    }
    return false;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks)
        if (block.type == type) found.push_back(block);
    return found;
}

const BirdBlock* BirdFile::InfoBlock() const {
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_INFO) continue;
        // Only the first info block counts; one shorter than the record is absent.
        return block.length >= BIRD_INFO_SIZE ? &block : nullptr;
    }
    return nullptr;
}

std::string BirdFile::InfoField(size_t offset, size_t count) const {
    const BirdBlock* info = InfoBlock();
    if (info == nullptr) return std::string();
    char text[BIRD_INFO_FIELD + 1];
    memcpy(text, info->data + offset, count);
    text[count] = '\0';
    return text;  // stops at an embedded NUL
}

bool BirdFile::HasInfo() const {
    return InfoBlock() != nullptr;
}

uint32_t BirdFile::GetBuild() const {
    // Only the first 15 characters of the build field take part.
    std::string text = InfoField(0, BIRD_INFO_FIELD - 1);
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
    uint64_t value = 0;
    for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + uint64_t(text[i] - '0');
        if (value > UINT32_MAX) return 0;  // not a build number
    }
    return uint32_t(value);
}

std::string BirdFile::GetVersion() const {
    std::string text = InfoField(BIRD_INFO_FIELD, BIRD_INFO_FIELD);
    size_t space = text.find(' ');
    return space == std::string::npos ? text : text.substr(0, space);
}

uint32_t BirdFile::GetSerialNumber() const {
    std::string text = InfoField(2 * BIRD_INFO_FIELD, 8);
    if (text.empty()) return 0;
    return uint32_t(strtoul(text.c_str(), nullptr, 16));
}

std::string BirdFile::GetModel() const {
    std::string text = InfoField(3 * BIRD_INFO_FIELD, BIRD_INFO_FIELD);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const {
    return GetSerialNumber() == serial;
}

bool BirdFile::ValidateModel(const char* modelName) const {
    // An empty name would match every model; it never validates a file.
    if (modelName == nullptr || modelName[0] == '\0' || !HasInfo()) return false;
    std::string model = GetModel();
    size_t length = strlen(modelName);
    if (model.size() < length || model.compare(0, length, modelName) != 0) return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", model.c_str(),
             modelName);
    return true;
}

uint32_t BirdFile::GetLoaderStart(uint32_t fallback) const {
    for (const BirdBlock& block : blocks)
        if (block.type == BLOCK_LOADER_START && block.length >= 4) return GetInt(block.data);
    return fallback;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    char digits[9];
    snprintf(digits, sizeof(digits), "%08X", serial);
    bool result = false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) continue;
        uint8_t* image = data.get() + (block.data - data.get()) + 4;
        if (serialNumberOffset != 0) {
            result = true;
            if (InsideImage(block, serialNumberOffset, 4)) {
                uint8_t* at = image + (serialNumberOffset - block.address);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         GetLittleInt(at), serial);
                PutLittleInt(at, serial);
            }
        }
        if (descriptorOffset != 0 && InsideImage(block, descriptorOffset, 16)) {
            uint8_t* at = image + (descriptorOffset - block.address);
            for (int i = 0; i < 8; ++i) at[2 * i] = uint8_t(digits[i]);
            result = true;
        }
    }
    return result;
}

bool BirdFile::DecodeFirmwareBlocks(const Fingerprint& key) {
    return DecodeFirmwareBlocks(key.words);
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
    uint8_t keyBytes[16];
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b) keyBytes[4 * w + b] = uint8_t(key[w] >> (24 - 8 * b));
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length <= 4) continue;
        uint8_t* image = data.get() + (block.data - data.get()) + 4;
        uint8_t previous = 0;
        for (uint32_t j = 0; j < block.length - 4; ++j) {
            uint8_t decoded = image[j] ^ keyBytes[j % 16] ^ previous;
            image[j] = decoded;
            previous = decoded;
        }
    }
    return true;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length < 4 + 32) continue;
        if (GetInt(block.data) != 0) continue;
        uint8_t* image = data.get() + (block.data - data.get()) + 4;
        uint32_t sum = 0;
        for (int word : {0, 1, 2, 3, 4, 6}) sum += GetLittleInt(image + 4 * word);
        uint32_t old = GetLittleInt(image + 28);
        uint32_t fresh = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", old,
                 fresh);
        PutLittleInt(image + 28, fresh);
    }
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, size_t count) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern != nullptr && count > 0) {
        for (const BirdBlock& block : blocks) {
            if (block.type != BLOCK_FIRMWARE || block.length < count) continue;
            for (size_t pos = 0; pos + count <= block.length; ++pos) {
                if (memcmp(block.data + pos, pattern, count) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", int(pos));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::DumpBlocks(uint8_t type, FILE* out) const {
    fprintf(out, "BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& block : blocks) {
        if (block.type != type) continue;
        std::string text;
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % 50 == 0) {
                fprintf(out, " %s\r\n%06u: ", text.c_str(), i);
                text.clear();
            }
            uint8_t byte = block.data[i];
            text.push_back(isprint(byte) ? char(byte) : ' ');
            fprintf(out, "%02X ", byte);
        }
        fprintf(out, " %s\n", text.c_str());
    }
    fprintf(out, "\n");
    return true;
}
