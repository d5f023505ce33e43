#include "cobs.h"

#include <cstring>

namespace {

// Forward encoder that reads each input byte before it writes at or behind
// that position, so it also works when the input lies at the end of the
// output buffer, shifted right by the maximum overhead.
size_t sEncode(const uint8_t* source, size_t length, uint8_t* destination) {
    size_t codePos = 0;
    size_t out = 1;
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        uint8_t byte = source[i];
        if (byte == 0) {
            destination[codePos] = code;
            codePos = out++;
            code = 1;
            continue;
        }
        destination[out++] = byte;
        if (++code == 0xFF && i + 1 < length) {
            // A full run of 254 bytes; a new run starts only if data follows.
            destination[codePos] = code;
            codePos = out++;
            code = 1;
        }
    }
    destination[codePos] = code;
    return out;
}

}  // namespace

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
    return sEncode(source, length, destination);
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length) {
    size_t shift = cobs_max_encoded_length(length) - length;
    memmove(buffer + shift, buffer, length);
    return sEncode(buffer + shift, length, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination) {
    size_t in = 0;
    size_t out = 0;
    while (in < length) {
        uint8_t code = source[in];
        if (code == 0 || in + code > length) return 0;
        ++in;
        for (uint8_t i = 1; i < code; ++i) {
            uint8_t byte = source[in++];
            if (byte == 0) return 0;
            destination[out++] = byte;
        }
        if (code != 0xFF && in < length) destination[out++] = 0;
    }
    return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) {
    return cobs_decode(buffer, length, buffer);
}
