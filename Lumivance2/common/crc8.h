// CRC-8 of the serial link frames: the 1-Wire CRC (polynomial
// x^8 + x^5 + x^4 + 1, bit-reflected, initial value 0, no final XOR).
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC after one more byte.
uint8_t crc8_update(uint8_t crc, uint8_t byte);
// CRC of `length` bytes; 0 for no data.
uint8_t crc8_create(const uint8_t* data, size_t length);
// True when the CRC of the data equals expected.
bool crc8_check(const uint8_t* data, size_t length, uint8_t expected);
