// Fuzzes the serial link framing: arbitrary line bytes are read through the
// framing stream, and arbitrary data goes through the COBS codec, checking
// what each promises.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Lumivance2/common/aStream.h"
#include "Lumivance2/common/aStream_CobsEncoding.h"
#include "Lumivance2/common/cobs.h"
#include "Lumivance2/common/crc8.h"

namespace {

void check(bool condition) {
    if (!condition) abort();
}

struct Line {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

aErr LineGet(uint8_t* out, void* ref) {
    Line* line = static_cast<Line*>(ref);
    if (line->pos >= line->size) return aErrNotReady;
    *out = line->data[line->pos++];
    return aErrNone;
}

aErr LineWrite(const uint8_t*, size_t, void*) {
    return aErrNone;
}
aErr LinePut(const uint8_t*, void*) {
    return aErrNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // 1. The line as received by a link: every byte handed out belongs to a
    //    frame that passed its checks, packet by packet.
    Line line = {data, size, 0};
    aStream* framed = nullptr;
    check(aStream_CreateCobsEncoding(LineGet, LinePut, LineWrite, nullptr, &line, &framed) ==
          aErrNone);
    size_t handedOut = 0;
    for (size_t i = 0; i < 2 * size + 4; ++i) {
        uint8_t b;
        aErr err = aStream_Read(framed, &b, 1);
        if (err == aErrNone) {
            handedOut++;
            continue;
        }
        check(err == aErrNotReady || err == aErrPacket);
        if (err == aErrNotReady && line.pos >= line.size) break;
    }
    check(handedOut <= size);
    check(aStream_Destroy(&framed) == aErrNone);

    // 2. COBS round trip of the input, and no zero byte in the encoding.
    std::vector<uint8_t> encoded(cobs_max_encoded_length(size));
    size_t n = cobs_encode(data, size, encoded.data());
    check(n <= encoded.size());
    for (size_t i = 0; i < n; ++i) check(encoded[i] != 0);
    std::vector<uint8_t> decoded(n + 1);
    size_t m = cobs_decode(encoded.data(), n, decoded.data());
    check(m == size || (size == 0 && m == 0));
    for (size_t i = 0; i < size; ++i) check(decoded[i] == data[i]);

    // 3. Decoding arbitrary input never writes more than its length.
    std::vector<uint8_t> out(size + 1, 0xEE);
    size_t k = cobs_decode(data, size, out.data());
    check(k <= size);
    check(out[size] == 0xEE);

    // 4. A packet frame of the first bytes decodes back to them.
    if (size >= 2) {
        size_t wireLength = 2 + (data[1] % 29);
        if (wireLength <= size) {
            std::vector<uint8_t> wire(data, data + wireLength);
            wire[1] = static_cast<uint8_t>(wireLength - 2);
            uint8_t frame[aCOBS_MAXFRAME + 1];
            size_t f = aCobs_EncodePacketFrame(wire.data(), wire.size(), frame);
            check(f >= 5 && f <= aCOBS_MAXFRAME + 1 && frame[f - 1] == 0);
            uint8_t back[aCOBS_MAXFRAME];
            size_t length = 0;
            check(aCobs_DecodePacketFrame(frame, f - 1, back, &length) == aErrNone);
            check(length == wireLength);
            for (size_t i = 0; i < length; ++i) check(back[i] == wire[i]);
        }
    }
    return 0;
}
