// Consistent Overhead Byte Stuffing: turns a run of bytes into one with no
// zero byte, so that 0x00 can delimit frames on a byte stream.
//
// Each zero-free run of the data is preceded by a code byte of its length + 1;
// a code of 0xFF marks a run of 254 bytes not followed by a zero. The encoded
// form of n bytes takes at most n + n / 254 + 1 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// Room that encoding `length` bytes needs at most.
constexpr size_t cobs_max_encoded_length(size_t length) {
    return length + length / 254 + 1;
}

// Encodes `length` bytes of source into destination (which must hold
// cobs_max_encoded_length(length) bytes); returns the encoded length. The two
// buffers must not overlap; use cobs_encode_inplace for that.
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);

// Encodes the first `length` bytes of buffer in place; buffer must hold
// cobs_max_encoded_length(length) bytes. Returns the encoded length.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);

// Decodes `length` encoded bytes (without the frame delimiter) into
// destination, which needs `length` bytes at most; returns the decoded length,
// or 0 when the input is malformed (a code byte pointing past the end, or a
// zero byte inside the encoded data). destination may equal source.
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);

// cobs_decode with the result written over the input.
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);
