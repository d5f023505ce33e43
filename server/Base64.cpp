#include "Base64.h"

#include <cstdio>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;
constexpr uint8_t kPad = 0xFE;

struct Table {
    uint8_t value[256];
    Table() {
        for (auto& v : value) v = kInvalid;
        for (int i = 0; i < 64; ++i)
            value[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
        value[static_cast<uint8_t>('=')] = kPad;
    }
};

const Table& table() {
    static const Table t;
    return t;
}

size_t padding(const char* text, size_t length) {
    if (length == 0) return 0;
    if (text[length - 1] != '=') return 0;
    return (length >= 2 && text[length - 2] == '=') ? 2 : 1;
}

}  // namespace

namespace Base64 {

void StreamDecoder::fail(const std::string& text) {
    failed_ = true;
    error_ = text;
}

size_t StreamDecoder::Feed(const char* text, size_t length, uint8_t* out) {
    if (failed_) return 0;
    const Table& t = table();
    size_t written = 0;
    for (size_t i = 0; i < length; ++i, ++offset_) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const uint8_t v = t.value[c];
        char buffer[96];
        if (v == kInvalid) {
            if (c >= 0x20 && c < 0x7F)
                snprintf(buffer, sizeof buffer, "character '%c' at offset %llu is not base64", c,
                         static_cast<unsigned long long>(offset_));
            else
                snprintf(buffer, sizeof buffer, "byte 0x%02X at offset %llu is not base64", c,
                         static_cast<unsigned long long>(offset_));
            fail(buffer);
            return written;
        }
        if (v == kPad) {
            // '=' may stand only in the third and fourth place of the last group.
            if (padding_ == 0) padOffset_ = offset_;
            if (count_ < 2 || padding_ == 3 || (padding_ == 1 && count_ != 3)) {
                snprintf(buffer, sizeof buffer, "padding '=' inside the text at offset %llu",
                         static_cast<unsigned long long>(padOffset_));
                fail(buffer);
                return written;
            }
            ++padding_;
            bits_ <<= 6;
        } else {
            if (padding_ != 0) {
                snprintf(buffer, sizeof buffer, "padding '=' inside the text at offset %llu",
                         static_cast<unsigned long long>(padOffset_));
                fail(buffer);
                return written;
            }
            bits_ = (bits_ << 6) | v;
        }
        if (++count_ == 4) {
            const unsigned bytes = 3 - padding_;
            if (out) {
                const uint8_t b[3] = {static_cast<uint8_t>(bits_ >> 16),
                                      static_cast<uint8_t>(bits_ >> 8),
                                      static_cast<uint8_t>(bits_)};
                for (unsigned k = 0; k < bytes; ++k) out[written + k] = b[k];
            }
            written += bytes;
            count_ = 0;
            bits_ = 0;
            if (padding_ != 0) padding_ = 3;  // the text must end here
        }
    }
    return written;
}

bool StreamDecoder::Finish() {
    if (failed_) return false;
    if (count_ != 0) {
        fail("length " + std::to_string(offset_) + " is not a multiple of 4");
        return false;
    }
    return true;
}

size_t DecodedLength(const char* text, size_t length) {
    if (length % 4 != 0) return 0;
    return length / 4 * 3 - padding(text, length);
}

bool Decode(const char* text, size_t length, uint8_t* out, std::string* error) {
    StreamDecoder check;
    check.Feed(text, length, nullptr);
    if (!check.Finish()) {
        if (error) *error = check.Error();
        return false;
    }
    StreamDecoder decoder;
    decoder.Feed(text, length, out);
    return true;
}

bool Decode(const std::string& text, std::vector<uint8_t>& out, std::string* error) {
    std::vector<uint8_t> decoded(DecodedLength(text.data(), text.size()));
    if (!Decode(text.data(), text.size(), decoded.data(), error)) return false;
    out.swap(decoded);
    return true;
}

bool DecodeInPlace(std::string& text, std::string* error) {
    const size_t size = DecodedLength(text.data(), text.size());
    if (!Decode(text.data(), text.size(), reinterpret_cast<uint8_t*>(&text[0]), error))
        return false;
    text.resize(size);
    return true;
}

std::string Encode(const uint8_t* data, size_t length) {
    std::string out;
    EncodeAppend(data, length, out);
    return out;
}

void EncodeAppend(const uint8_t* data, size_t length, std::string& out) {
    const size_t start = out.size();
    out.resize(start + (length + 2) / 3 * 4);
    char* o = &out[start];
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (i < length) {
        const bool two = (length - i) == 2;
        const uint32_t v = (uint32_t(data[i]) << 16) | (two ? uint32_t(data[i + 1]) << 8 : 0u);
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = two ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
}

}  // namespace Base64
