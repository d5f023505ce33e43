// UEI messages: command (entity class), option, index and a big-endian value
// inside one packet's data bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aPacket.h"

// Option byte: bits 0-5 the option number, 0x40 a get request, 0x80 a set
// request (a set is answered with 0xC0, a get with neither bit).
#define aUEI_OPTION_MASK 0x3F
#define aUEI_OPTION_GET 0x40
#define aUEI_OPTION_SET 0x80
// Index (specifier) byte: bits 0-4 the entity index, 0x20 set in requests,
// 0x40 a stream packet, 0x80 an error reply (first value byte is an aErr).
#define aUEI_INDEX_MASK 0x1F
#define aUEI_SPEC_REQUEST 0x20
#define aUEI_SPEC_STREAM 0x40
#define aUEI_SPEC_ERROR 0x80
// Byte-run chunks: the last data byte holds the chunk number and a "more" bit.
#define aUEI_BYTES_SEQUENCE_MASK 0x7F
#define aUEI_BYTES_CONTINUE 0x80

// Command bytes this system gives a meaning.
#define aUEI_CMD_HEARTBEAT 0x00
#define aUEI_CMD_SYSTEM 0x03
#define aUEI_CMD_SLOT 0x04
#define aUEI_CMD_I2C 0x08
#define aUEI_CMD_ECHO 0x17
#define aUEI_CMD_MODULE 0x49
#define aUEI_CMD_FACTORY 0x5E
#define aUEI_CMD_UPGRADE 0x5F
#define aUEI_CMD_SYNC 0xAD
#define aUEI_CMD_ROUTE 0xAF

// Value types of a uei record.
typedef uint32_t ueiType;
enum : ueiType {
    UEI_TYPE_VOID = 0,
    UEI_TYPE_BYTE = 1,
    UEI_TYPE_SHORT = 2,
    UEI_TYPE_INT = 4,
    UEI_TYPE_BYTES = 5,
};

// One UEI message as the object layer handles it.
struct uei {
    uint8_t module;     // module address
    uint8_t command;    // entity class
    uint8_t option;     // option byte as sent or received
    uint8_t specifier;  // index byte as sent or received
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bytes;  // byte run (size bytes)
        uint64_t raw;
    } value;
    uint64_t size;  // length of a byte run
    ueiType type;
};

// 16-bit and 32-bit big-endian store and load.
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
// Converts count words in place from big-endian bytes to numbers.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Bits 0-6 of the last data byte (0 for none).
uint8_t aUEI_getBytesSequence(const aPacket* packet);
// Bit 7 of the last data byte (0 for none).
uint8_t aUEI_getBytesContinue(const aPacket* packet);
// True when the packet has 27 or 28 data bytes.
bool aUEI_getBytesFullPacket(const aPacket* packet);

// True for the command bytes that are not UEI classes (0, 1, 2, 4, 8, 9, 23,
// 24, 0x49, 0x5E, 0x5F, 0xAD, 0xAF); false for nullptr.
bool aUEI_isNotUEIPayload(const aPacket* packet);
// The negation of aUEI_isNotUEIPayload (so nullptr counts as a UEI payload).
bool aUEI_isUEIPayload(const aPacket* packet);
// A packet a device sends on its own: more than 4 data bytes, a UEI payload,
// option below 0x40 and bit 6 of the index set.
bool aUEI_isStreamPacket(const aPacket* packet);
