// Standard base64 (A-Z, a-z, 0-9, '+', '/', '=' padding) decoding of the BIRD
// files that the update server sends as one line of text, whole or as a
// stream while the text arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Base64 {

// Decodes text that arrives in pieces. The text is malformed at the first
// character outside the alphabet or a padding '=' anywhere but in the last
// one or two places, and, at Finish(), when its length is not a multiple of 4.
class StreamDecoder {
  public:
    // Decodes the next `length` characters into `out` (room for
    // MaxOutput(length) bytes; nullptr only checks) and returns the number of
    // bytes written. Nothing more is written once the text is malformed.
    size_t Feed(const char* text, size_t length, uint8_t* out);
    // True when everything fed so far is complete, well-formed base64.
    bool Finish();

    bool Failed() const { return failed_; }
    // Why the text is malformed, e.g. "character '*' at offset 12 is not base64".
    const std::string& Error() const { return error_; }
    static size_t MaxOutput(size_t length) { return length / 4 * 3 + 3; }

  private:
    void fail(const std::string& text);

    uint32_t bits_ = 0;       // characters of the current group, 6 bits each
    unsigned count_ = 0;      // characters in the current group (0-3)
    unsigned padding_ = 0;    // '=' seen in the current group, or 3 after a padded group
    uint64_t offset_ = 0;     // characters consumed
    uint64_t padOffset_ = 0;  // offset of the first '='
    bool failed_ = false;
    std::string error_;
};

// Number of bytes that a well-formed text of `length` characters ending in
// `text` decodes to (0 when the length is not a multiple of 4).
size_t DecodedLength(const char* text, size_t length);

// Decodes `length` characters into `out`, which must hold DecodedLength()
// bytes; `out` may equal `text` (decoding in place only ever writes behind
// the read position). Returns false, with the reason in `error` when given,
// for malformed text. The whole text is checked before anything is written,
// so `out` is untouched on failure.
bool Decode(const char* text, size_t length, uint8_t* out, std::string* error = nullptr);

// Convenience form: decodes `text` into a new vector.
bool Decode(const std::string& text, std::vector<uint8_t>& out, std::string* error = nullptr);

// Decodes `text` in place: on success it holds the decoded bytes; on failure
// it is left unchanged.
bool DecodeInPlace(std::string& text, std::string* error = nullptr);

// Encoding, used by tests and the reference update server. The second form
// appends to `out`.
std::string Encode(const uint8_t* data, size_t length);
void EncodeAppend(const uint8_t* data, size_t length, std::string& out);

}  // namespace Base64
