#include "Codec.h"

#include <cstdio>

namespace sim {

std::vector<uint8_t> Packet::wire() const {
    std::vector<uint8_t> w;
    w.reserve(data.size() + 2);
    w.push_back(address);
    w.push_back(uint8_t(data.size()));
    w.insert(w.end(), data.begin(), data.end());
    return w;
}

bool PacketParser::feed(uint8_t b, Packet& out) {
    switch (state_) {
        case 0:
            if (b == 0) {
                ++discarded_;
                return false;
            }
            cur_.address = b;
            cur_.data.clear();
            state_ = 1;
            return false;
        case 1:
            if (b > kMaxData) {
                discarded_ += 2;
                state_ = 0;
                return false;
            }
            want_ = b;
            if (want_ == 0) {
                state_ = 0;
                out = cur_;
                return true;
            }
            state_ = 2;
            return false;
        default:
            cur_.data.push_back(b);
            if (cur_.data.size() == want_) {
                state_ = 0;
                out = cur_;
                return true;
            }
            return false;
    }
}

namespace {
struct Crc8Table {
    uint8_t t[256];
    Crc8Table() {
        // Reflected polynomial 0x8C (x^8 + x^5 + x^4 + 1), initial value 0.
        for (int i = 0; i < 256; ++i) {
            uint8_t c = uint8_t(i);
            for (int k = 0; k < 8; ++k) c = (c & 1) ? uint8_t((c >> 1) ^ 0x8C) : uint8_t(c >> 1);
            t[i] = c;
        }
    }
};
const Crc8Table kCrc;
}  // namespace

uint8_t crc8(const uint8_t* data, size_t length) {
    uint8_t c = 0;
    for (size_t i = 0; i < length; ++i) c = kCrc.t[c ^ data[i]];
    return c;
}

std::vector<uint8_t> cobsEncode(const uint8_t* data, size_t length) {
    std::vector<uint8_t> out;
    out.reserve(length + length / 254 + 2);
    size_t codeAt = 0;
    out.push_back(0);
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        if (data[i] == 0) {
            out[codeAt] = code;
            codeAt = out.size();
            out.push_back(0);
            code = 1;
        } else {
            out.push_back(data[i]);
            if (++code == 0xFF) {
                out[codeAt] = code;
                codeAt = out.size();
                out.push_back(0);
                code = 1;
            }
        }
    }
    out[codeAt] = code;
    return out;
}

bool cobsDecode(const uint8_t* data, size_t length, std::vector<uint8_t>& out) {
    out.clear();
    size_t i = 0;
    while (i < length) {
        uint8_t code = data[i];
        if (code == 0 || i + code > length) return false;
        for (size_t k = 1; k < code; ++k) {
            if (data[i + k] == 0) return false;
            out.push_back(data[i + k]);
        }
        i += code;
        if (code != 0xFF && i < length) out.push_back(0);
    }
    return true;
}

std::vector<uint8_t> frameSerial(const Packet& p) {
    std::vector<uint8_t> w = p.wire();
    w.push_back(crc8(w.data(), w.size()));
    std::vector<uint8_t> f = cobsEncode(w.data(), w.size());
    f.push_back(0);
    return f;
}

bool unframeSerial(const std::vector<uint8_t>& encoded, Packet& out) {
    std::vector<uint8_t> d;
    if (!cobsDecode(encoded.data(), encoded.size(), d)) return false;
    if (d.size() < 3 || d.size() != size_t(d[1]) + 3 || d[1] > kMaxData) return false;
    if (crc8(d.data(), d.size() - 1) != d.back()) return false;
    out.address = d[0];
    out.data.assign(d.begin() + 2, d.end() - 1);
    return true;
}

uint32_t packVersion(unsigned major, unsigned minor, unsigned patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return 0x2F000000u | (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (patch & 0xFF);
    return (major & 0xF) << 28 | (minor & 0xF) << 24 | (patch & 0xFF);
}

std::string hex(const uint8_t* data, size_t length) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        s += b;
    }
    return s;
}

}  // namespace sim
