// aStream: the byte stream behind every transport of the link core.
//
// A stream is a small record of four procedures and an opaque reference that
// each procedure receives. Every transport (USB, TCP socket, serial port, COBS
// framing, network client, files, the in-memory pair) is a stream made by its
// own creation function with its own procedures. The link engine reads and
// writes only through this interface.
//
// The procedure contract, for every transport:
//
//   getProc(byte* out, reference)
//       Reads one byte into *out. aErrNone with a byte; aErrNotReady when no
//       byte is available now (a transport may wait a short, bounded time
//       before saying so, never longer than 1000 ms); aErrEOF at the end of
//       the data; any other code is a failure. nullptr for a write-only
//       stream.
//   putProc(const byte* in, reference)
//       Writes one byte. nullptr for a read-only stream.
//   writeProc(const byte* data, size_t length, reference)
//       Writes a run of bytes as one transport operation (one USB transfer
//       series, one socket send loop, one COBS frame per packet). May be
//       nullptr. A stream that has a writeProc also has a putProc.
//   deleteProc(reference)
//       Releases the transport and the reference. May be nullptr. Its result
//       becomes the result of aStream_Destroy.
//
// The stream owns its reference from aStream_Create on. A stream has no lock:
// one thread reads and one thread writes at a time, and every transport
// allows one read and one write to run at the same time.
//
// On top of the procedures the stream keeps a push-back buffer: bytes taken
// from the transport by a read that could not be completed are returned by
// the next read, before the transport is asked again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aSTREAM_CHECK 0x4321
// Growth step (and initial size) of the push-back buffer, in bytes.
#define aSTREAMBUFCHUNK 512

typedef aErr (*aStreamGetProc)(uint8_t* out, void* reference);
typedef aErr (*aStreamPutProc)(const uint8_t* in, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);

// Opaque; only the functions below touch its fields.
struct aStream;

// A new valid stream owning `reference`, or nullptr when memory is exhausted
// (the reference is then still the caller's).
aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* reference);

// Calls deleteProc (its result is the result), frees the push-back buffer,
// clears the check word, frees the record and sets *stream to nullptr.
// aErrParam for an invalid stream; *stream is set to nullptr in that case too.
aErr aStream_Destroy(aStream** stream);

// True when stream is not nullptr and carries the check word 0x4321.
bool aVALIDSTREAM(const aStream* stream);

// All-or-nothing read of exactly `length` bytes.
//   aErrNone: all bytes copied to buffer.
//   aErrNotReady: fewer bytes were available; those taken are pushed back,
//     buffer is untouched.
//   aErrEOF: the bytes before the end are copied, the rest of buffer untouched.
//   aErrParam (invalid stream or no buffer), aErrMode (no getProc),
//   aErrResource (no working memory), or the transport's failure code (the
//   bytes taken are then lost).
aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t length);

// Writes `length` bytes: one writeProc call for a run of more than one byte
// when the stream has one, otherwise putProc per byte until one fails (the
// first failure is returned). aErrParam for an invalid stream or no data,
// aErrMode with neither writeProc nor putProc.
aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length);

// Reads until the delimiter has been read (it is not stored) or `size` bytes
// are stored. On aErrNone the bytes are in buffer and their number in *count
// (when count is given). aErrNotReady pushes the stored bytes back. aErrEOF
// after at least one stored byte completes the record (aErrNone); with none
// stored it is returned. aErrParam for an invalid stream, no buffer, no
// delimiter or delimiterLength 0; aErrResource without working memory.
// A partly matched multi-byte delimiter followed by another byte: the
// matched bytes are stored as data and the new byte is matched afresh (it may
// begin the delimiter). Bytes that no longer fit the record are kept for the
// next read.
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* count, size_t size,
                        const uint8_t* delimiter, size_t delimiterLength);

// Writes data then the delimiter (two aStream_Write calls); the first failure
// is returned. aErrParam for an invalid stream, no data, no delimiter or a
// delimiter length of 0.
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* delimiter, size_t delimiterLength);

// A NUL-delimited record of at most size - 1 bytes, stored NUL-terminated.
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
// The bytes of text followed by one NUL byte.
aErr aStream_WriteCString(aStream* stream, const char* text);
// A record delimited by the bytes of delimiterText (without its NUL), at most
// size - 1 bytes, stored NUL-terminated.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size,
                               const char* delimiterText);
// The bytes of text, then the bytes of delimiterText including its NUL.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiterText);

// Copies bytes one at a time from source's getProc to destination's putProc
// until the source answers non-zero: aErrEOF gives aErrNone, any other source
// code is returned; a destination failure ends the copy with its code.
// aErrParam unless both streams are valid; aErrMode when the source has no
// getProc or the destination no putProc. The source's push-back buffer is
// not consulted.
aErr aStream_Flush(aStream* source, aStream* destination);

// The reference of a stream made with the given getProc, or nullptr for an
// invalid stream or one made by another transport. Lets a transport's own
// helper functions reach their state through the stream they were handed.
void* aStream_TransportReference(const aStream* stream, aStreamGetProc getProc);

// Pushes one byte back; it comes out before any transport byte, in push
// order. aErrParam for no stream, aErrMemory when the buffer cannot grow.
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

// ---- File streams ---------------------------------------------------------
// Read-only stream over a file opened for reading (aErrEOF at its end), and a
// write-only stream over a file opened for writing (truncated or created).
// Every failure gives aErrResource; *out is nullptr then.
aErr aStream_CreateFileInput(const char* path, aStream** out);
aErr aStream_CreateFileOutput(const char* path, aStream** out);

// ---- Transport streams ----------------------------------------------------
// USB device by serial number (kernel driver node when present, else libusb).
// aErrParam for serial 0 or no output, aErrMemory, aErrResource, or the open's
// code (aErrNotFound when no such device is attached). See lvusb_driver.h.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);

// TCP connection to ipAddress (IPv4, address bytes in network order in memory,
// as in linkSpec) and port. Every failure gives aErrResource. See
// aStreamsocket.h.
aErr aStream_CreateSocket(uint32_t ipAddress, uint16_t port, aStream** out);

// Serial port rate codes 0..7: 2400, 4800, 9600, 19200, 38400, 57600, 115200,
// 230400 bits per second; any other code sets speed 0.
// Plain serial stream: bytes pass through unchanged. parity: 0 off, else even;
// dataBitsOption 0 = 8 bits, 1 = 7; stopBitsOption 0 = 1 stop bit, 1 = 2.
// aErrResource for no path, no output, an option above 1 or no memory;
// aErrNotFound / aErrPermission / aErrIO when the port cannot be opened.
// A read with no byte waiting answers aErrNotReady at once.
aErr aStream_CreateSerial(const char* portPath, uint32_t rateCode, uint32_t parity,
                          uint32_t dataBitsOption, uint32_t stopBitsOption, aStream** out);
// The same port wrapped in COBS + CRC-8 packet framing (see
// aStream_CobsEncoding.h), for links: a read waits up to 100 ms for a byte
// before it answers aErrNotReady.
aErr aStream_CreateSerial_Packetized(const char* portPath, uint32_t rateCode, uint32_t parity,
                                     uint32_t dataBitsOption, uint32_t stopBitsOption,
                                     aStream** out);

// Packet framing stream over the given inner procedures and reference; the
// framing stream owns the inner reference (its deleteProc is called on
// destroy). aErrParam for no output, aErrMemory, aErrResource.
aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
                                aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
                                void* reference, aStream** out);
