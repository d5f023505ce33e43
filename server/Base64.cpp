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

void setError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

size_t padding(const char* text, size_t length) {
    if (length == 0) return 0;
    if (text[length - 1] != '=') return 0;
    return (length >= 2 && text[length - 2] == '=') ? 2 : 1;
}

// Checks every character; returns the padding count or -1.
int validate(const char* text, size_t length, std::string* error) {
    if (length % 4 != 0) {
        setError(error, "length " + std::to_string(length) + " is not a multiple of 4");
        return -1;
    }
    const size_t pad = padding(text, length);
    const Table& t = table();
    for (size_t i = 0; i < length - pad; ++i) {
        const uint8_t v = t.value[static_cast<uint8_t>(text[i])];
        if (v == kInvalid || v == kPad) {
            char buffer[96];
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (v == kPad)
                snprintf(buffer, sizeof buffer, "padding '=' inside the text at offset %zu", i);
            else if (c >= 0x20 && c < 0x7F)
                snprintf(buffer, sizeof buffer, "character '%c' at offset %zu is not base64", c, i);
            else
                snprintf(buffer, sizeof buffer, "byte 0x%02X at offset %zu is not base64", c, i);
            setError(error, buffer);
            return -1;
        }
    }
    return static_cast<int>(pad);
}

}  // namespace

namespace Base64 {

size_t DecodedLength(const char* text, size_t length) {
    if (length % 4 != 0) return 0;
    return length / 4 * 3 - padding(text, length);
}

bool Decode(const char* text, size_t length, uint8_t* out, std::string* error) {
    const int pad = validate(text, length, error);
    if (pad < 0) return false;
    const Table& t = table();
    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        // Padding reads as zero bits; the bytes it stands for are not written.
        uint32_t quad = 0;
        for (size_t k = 0; k < 4; ++k) {
            const uint8_t v = t.value[static_cast<uint8_t>(text[i + k])];
            quad = (quad << 6) | (v == kPad ? 0u : v);
        }
        const size_t bytes = (i + 4 == length) ? 3 - static_cast<size_t>(pad) : 3;
        const uint8_t b[3] = {static_cast<uint8_t>(quad >> 16), static_cast<uint8_t>(quad >> 8),
                              static_cast<uint8_t>(quad)};
        for (size_t k = 0; k < bytes; ++k) out[o++] = b[k];
    }
    return true;
}

bool Decode(const std::string& text, std::vector<uint8_t>& out, std::string* error) {
    if (validate(text.data(), text.size(), error) < 0) return false;
    out.resize(DecodedLength(text.data(), text.size()));
    return Decode(text.data(), text.size(), out.data(), error);
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
    out.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < length) {
        const bool two = (length - i) == 2;
        const uint32_t v = (uint32_t(data[i]) << 16) | (two ? uint32_t(data[i + 1]) << 8 : 0u);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += two ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace Base64
