#include "aStream_CobsEncoding.h"

#include <cstring>
#include <new>

#include "aPacket.h"
#include "cobs.h"
#include "crc8.h"

namespace {

// Inner bytes one framing read takes at most before it answers aErrNotReady,
// so a line that streams garbage without delimiters cannot hold the reader.
constexpr size_t kMaxInnerBytesPerRead = 2 * (aCOBS_MAXFRAME + 1);

struct CobsStream {
    uint16_t checkWord = aCOBS_CHECK;
    aStreamGetProc innerGet = nullptr;
    aStreamPutProc innerPut = nullptr;
    aStreamWriteProc innerWrite = nullptr;
    aStreamDeleteProc innerDelete = nullptr;
    void* innerReference = nullptr;

    // Reader side.
    uint8_t rxFrame[aCOBS_MAXFRAME] = {};
    size_t rxLength = 0;
    bool rxOverflow = false;  // the frame grew beyond aCOBS_MAXFRAME bytes
    uint8_t decoded[aCOBS_MAXFRAME] = {};
    size_t decodedLength = 0;
    size_t decodedPos = 0;
    bool pending = false;

    // Writer side.
    aPacket* sendPacket = nullptr;
    uint8_t sendFrame[aCOBS_MAXFRAME + 1] = {};
    size_t sendFrameLength = 0;
};

CobsStream* sValid(void* reference) {
    CobsStream* c = static_cast<CobsStream*>(reference);
    return (c && c->checkWord == aCOBS_CHECK) ? c : nullptr;
}

// Hands out the next byte of the pending packet.
aErr sTakePending(CobsStream* c, uint8_t* out) {
    *out = c->decoded[c->decodedPos++];
    if (c->decodedPos >= c->decodedLength) {
        c->pending = false;
        c->decodedPos = c->decodedLength = 0;
    }
    return aErrNone;
}

aErr sCobsStreamGet(uint8_t* out, void* reference) {
    CobsStream* c = sValid(reference);
    if (!c || !out) return aErrParam;
    if (c->pending) return sTakePending(c, out);
    if (!c->innerGet) return aErrMode;

    for (size_t taken = 0; taken < kMaxInnerBytesPerRead; ++taken) {
        uint8_t byte = 0;
        if (c->innerGet(&byte, c->innerReference) != aErrNone) return aErrNotReady;
        if (byte != 0) {
            if (c->rxLength < aCOBS_MAXFRAME) {
                c->rxFrame[c->rxLength++] = byte;
            } else {
                c->rxOverflow = true;
            }
            continue;
        }
        if (c->rxLength == 0 && !c->rxOverflow) continue;  // stray delimiter

        size_t length = 0;
        aErr err = c->rxOverflow
                       ? aErrPacket
                       : aCobs_DecodePacketFrame(c->rxFrame, c->rxLength, c->decoded, &length);
        c->rxLength = 0;
        c->rxOverflow = false;
        if (err != aErrNone) return aErrPacket;
        c->decodedLength = length;
        c->decodedPos = 0;
        c->pending = true;
        return sTakePending(c, out);
    }
    return aErrNotReady;
}

aErr sSendPacket(CobsStream* c) {
    uint8_t wire[aPACKET_MAXWIRE];
    size_t length = 0;
    aErr err = aPacket_GetBytes(c->sendPacket, wire, sizeof(wire), &length);
    aPacket_Reset(c->sendPacket);
    if (err != aErrNone) return err;
    c->sendFrameLength = aCobs_EncodePacketFrame(wire, length, c->sendFrame);
    if (c->sendFrameLength == 0) return aErrPacket;
    if (c->innerWrite) return c->innerWrite(c->sendFrame, c->sendFrameLength, c->innerReference);
    for (size_t i = 0; i < c->sendFrameLength; ++i) {
        err = c->innerPut(&c->sendFrame[i], c->innerReference);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr sCobsStreamWrite(const uint8_t* data, size_t length, void* reference) {
    CobsStream* c = sValid(reference);
    if (!c || !data) return aErrParam;
    if (!c->innerWrite && !c->innerPut) return aErrMode;
    aErr result = aErrNone;
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(c->sendPacket, data[i]) != aErrNone) {
            aPacket_Reset(c->sendPacket);
            return aErrPacket;
        }
        if (aPacket_IsComplete(c->sendPacket)) {
            aErr err = sSendPacket(c);
            if (err != aErrNone) result = err;
        }
    }
    return result;
}

aErr sCobsStreamPut(const uint8_t* byte, void* reference) {
    CobsStream* c = sValid(reference);
    if (!c || !byte) return aErrParam;
    if (!c->innerPut) return aErrMode;
    return c->innerPut(byte, c->innerReference);
}

aErr sCobsStreamDelete(void* reference) {
    CobsStream* c = sValid(reference);
    if (!c) return aErrParam;
    aErr err = aErrNone;
    if (c->innerDelete) err = c->innerDelete(c->innerReference);
    aPacket_Destroy(&c->sendPacket);
    c->checkWord = 0;
    delete c;
    return err;
}

}  // namespace

size_t aCobs_EncodePacketFrame(const uint8_t* wire, size_t length, uint8_t* frame) {
    if (!wire || !frame || length < 2 || length > aPACKET_MAXWIRE) return 0;
    uint8_t raw[aPACKET_MAXWIRE + 1];
    memcpy(raw, wire, length);
    raw[length] = crc8_create(wire, length);
    size_t encoded = cobs_encode(raw, length + 1, frame);
    frame[encoded] = 0x00;
    return encoded + 1;
}

aErr aCobs_DecodePacketFrame(const uint8_t* frame, size_t frameLength, uint8_t* out,
                             size_t* length) {
    if (!frame || !out || !length || frameLength == 0 || frameLength > aCOBS_MAXFRAME) {
        return aErrPacket;
    }
    size_t decoded = cobs_decode(frame, frameLength, out);
    // Good: address, length byte, that many data bytes and the CRC.
    if (decoded <= 2 || decoded != static_cast<size_t>(out[1]) + 3) return aErrPacket;
    if (!crc8_check(out, decoded - 1, out[decoded - 1])) return aErrPacket;
    *length = decoded - 1;
    return aErrNone;
}

aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
                                aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
                                void* reference, aStream** out) {
    if (!out) return aErrParam;
    *out = nullptr;
    CobsStream* c = new (std::nothrow) CobsStream;
    if (!c) return aErrMemory;
    c->sendPacket = aPacket_Create();
    if (!c->sendPacket) {
        delete c;
        return aErrMemory;
    }
    c->innerGet = getProc;
    c->innerPut = putProc;
    c->innerWrite = writeProc;
    c->innerDelete = deleteProc;
    c->innerReference = reference;
    aStream* s = aStream_Create(getProc ? sCobsStreamGet : nullptr, sCobsStreamPut,
                                sCobsStreamWrite, sCobsStreamDelete, c);
    if (!s) {
        // The inner reference stays the caller's.
        aPacket_Destroy(&c->sendPacket);
        delete c;
        return aErrResource;
    }
    *out = s;
    return aErrNone;
}
