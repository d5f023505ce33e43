// Small wire codecs of the device side: packets, CRC-8, COBS, big-endian
// numbers and the packed firmware version. Independent of the host's link core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr size_t kMaxData = 28;

struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> data;

    std::vector<uint8_t> wire() const;  // address, length, data
};

// Assembles packets from a raw byte stream as a device would. A zero address
// byte is skipped; a length above 28 discards the partial packet.
class PacketParser {
  public:
    // Feeds one byte; returns true and fills `out` when a packet completes.
    bool feed(uint8_t byte, Packet& out);
    bool partial() const { return state_ != 0; }
    void reset() { state_ = 0; }
    // Counts bytes thrown away because they could not start or form a packet.
    uint64_t discarded() const { return discarded_; }

  private:
    int state_ = 0;  // 0 address, 1 length, 2 data
    Packet cur_;
    size_t want_ = 0;
    uint64_t discarded_ = 0;
};

uint8_t crc8(const uint8_t* data, size_t length);

// Standard COBS; the result holds no zero byte (delimiter not included).
std::vector<uint8_t> cobsEncode(const uint8_t* data, size_t length);
// Decodes one frame (without its delimiter); false when a code byte points
// past the end or the frame holds a zero.
bool cobsDecode(const uint8_t* data, size_t length, std::vector<uint8_t>& out);

// The serial frame of one packet: COBS(wire bytes + CRC-8) followed by 0x00.
std::vector<uint8_t> frameSerial(const Packet& p);
// Checks and unpacks a decoded-and-delimited frame body; false for a bad CRC
// or a length that does not match.
bool unframeSerial(const std::vector<uint8_t>& encoded, Packet& out);

inline void putBE16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
inline void putBE32(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x >> 24));
    v.push_back(uint8_t(x >> 16));
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
inline uint32_t getBE32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint16_t getBE16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

// Packed firmware version: 0x2F, major, minor, patch for 2.15 and later;
// the legacy nibble layout below that.
uint32_t packVersion(unsigned major, unsigned minor, unsigned patch);

std::string hex(const uint8_t* data, size_t length);  // "04 02 11 22"

}  // namespace sim
