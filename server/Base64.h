// Standard base64 (A-Z, a-z, 0-9, '+', '/', '=' padding) decoding of the BIRD
// files that the update server sends as one line of text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Base64 {

// Number of bytes that a well-formed text of `length` characters ending in
// `text` decodes to (0 when the length is not a multiple of 4).
size_t DecodedLength(const char* text, size_t length);

// Decodes `length` characters into `out`, which must hold DecodedLength()
// bytes; `out` may equal `text` (decoding in place only ever writes behind
// the read position). Returns false, with a reason in `error` when given, for
// a length that is not a multiple of 4, a character outside the alphabet, or
// padding anywhere but in the last one or two places. The whole text is
// checked before anything is written, so `out` is untouched on failure.
bool Decode(const char* text, size_t length, uint8_t* out, std::string* error = nullptr);

// Convenience form: decodes `text` into a new vector.
bool Decode(const std::string& text, std::vector<uint8_t>& out, std::string* error = nullptr);

// Decodes `text` in place: on success it holds the decoded bytes; on failure
// it is left unchanged.
bool DecodeInPlace(std::string& text, std::string* error = nullptr);

// Encoding, used by tests and the reference update server.
std::string Encode(const uint8_t* data, size_t length);

}  // namespace Base64
