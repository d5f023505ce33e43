// One device packet: a module address, a length of 0 to 28 and the data bytes.
// Wire form: address, length, data[0 .. length-1] (2 to 30 bytes).
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aPACKET_CHECK 0xBEEF
#define aPACKET_MAXDATA 28
#define aPACKET_MAXWIRE (aPACKET_MAXDATA + 2)

struct aPacket {
    uint16_t checkWord;  // aPACKET_CHECK in every live packet
    uint8_t byteCount;   // wire bytes taken in so far (address and length included)
    uint8_t address;     // destination (outgoing) or sender (incoming) module address
    uint8_t length;      // number of data bytes, 0 to 28
    uint8_t data[aPACKET_MAXDATA];
};

// A packet filter: non-zero means that the packet matches.
typedef uint8_t (*aPacketFilter)(const aPacket* packet, void* reference);

// True when packet is not nullptr and carries the check word.
inline bool aVALIDPACKET(const aPacket* packet) {
    return packet != nullptr && packet->checkWord == aPACKET_CHECK;
}

// A fresh, empty packet; nullptr when memory is exhausted.
aPacket* aPacket_Create(void);
// A complete packet of address and the first length bytes of data; nullptr for
// no data, a length above 28, or no memory.
aPacket* aPacket_CreateWithData(uint8_t address, size_t length, const uint8_t* data);
// A new complete packet with the same address, length and data.
aPacket* aPacket_Copy(const aPacket* packet);
// Clears the byte count, address, length and data.
aErr aPacket_Reset(aPacket* packet);
// Takes the next wire byte of an incoming packet. aErrPacket for an address of
// 0, a length above 28 or a data byte past the end; aErrOverrun past 30 bytes.
// Test aPacket_IsComplete after every byte.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
// True when the packet is valid and holds all length + 2 wire bytes.
bool aPacket_IsComplete(const aPacket* packet);
// Writes the wire form into buffer; aErrOverrun when size < length + 2.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written);
// data[0]; aErrPacket when there is none.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
// data[1] & 0x3F; aErrPacket with fewer than 2 data bytes.
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
// data[2] & 0x1F; aErrPacket with fewer than 3 data bytes.
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
// Frees *packet and sets it to nullptr; aErrParam when it is already nullptr.
aErr aPacket_Destroy(aPacket** packet);
