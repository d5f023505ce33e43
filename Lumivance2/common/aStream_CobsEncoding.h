// Packet framing stream: wraps any stream procedures so that every packet
// written goes out as one frame, COBS(packet wire bytes + CRC-8) followed by
// a 0x00 delimiter, and incoming frames are checked and unpacked back into
// packet bytes. Used over serial ports (aStream_CreateSerial_Packetized).
//
// Writing: bytes are assembled into packets; each complete packet is sent as
// one frame through the inner write procedure. A partial packet waits for the
// bytes of the next write. Bytes that cannot start or continue a packet (an
// address of 0, a length above 28) are dropped with the rest of that write and
// the write answers aErrPacket. A single-byte put goes to the inner put
// unframed.
//
// Reading one byte: the next byte of the last good packet, if one is pending.
// Otherwise inner bytes are taken while the inner stream has them, until a
// frame ends: a good frame's first byte is returned at once, a bad frame
// (bad length, bad CRC, bad COBS, more than 32 encoded bytes) answers
// aErrPacket and is dropped. When the inner stream has nothing more (or
// fails) before a frame ends, the answer is aErrNotReady and the partial
// frame is kept for the next read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aStream.h"

#define aCOBS_CHECK 0xC0B5
// Longest encoded frame without its delimiter: COBS of 30 wire bytes + CRC.
#define aCOBS_MAXFRAME 32

// Declared in aStream.h:
// aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
//                                 aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
//                                 void* reference, aStream** out);

// Encodes one packet's wire bytes (2 to 30) as a frame with its CRC and the
// trailing 0x00 into frame (at least aCOBS_MAXFRAME + 1 bytes); returns the
// frame length, or 0 for a length outside 2..30.
size_t aCobs_EncodePacketFrame(const uint8_t* wire, size_t length, uint8_t* frame);

// Decodes one received frame (encoded bytes without the delimiter) into the
// packet's wire bytes (out: at least aCOBS_MAXFRAME bytes). aErrNone and
// *length on a good frame; aErrPacket otherwise.
aErr aCobs_DecodePacketFrame(const uint8_t* frame, size_t frameLength, uint8_t* out,
                             size_t* length);
