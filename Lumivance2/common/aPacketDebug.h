// Packet log: a byte ring of entries (type byte, length byte, data) in which a
// link's reader and writer threads record every packet that passes, and into
// which callers may write text. A full log drops its oldest entries.
//
// The per-link operations (aLink_PacketDebug_*) are declared in aLink.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "aError.h"

struct aLink;
struct aPacket;

// Entry types.
enum : int {
    aPACKETLOG_SENT = 1,      // a packet sent to the device (wire bytes)
    aPACKETLOG_RECEIVED = 2,  // a packet received from the device (wire bytes)
    aPACKETLOG_TEXT = 3,      // a text written by a caller
};

// Longest entry data, in bytes (the length byte is 8 bits).
#define aPACKETLOG_MAXENTRY 255
// Size of a link's log when none was set.
#define aPACKETLOG_DEFAULTSIZE 65536u
// Largest log size a link accepts (64 MiB).
#define aPACKETLOG_MAXSIZE 0x4000000

// The ring is empty when head == tail; bytes in use are
// (tail - head + size) % size, so at least one byte always stays free.
struct aPacketLog {
    std::atomic<bool> enabled{false};
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    uint32_t head = 0;
    uint32_t tail = 0;
};

// A new empty log of `size` bytes; nullptr for size 0 or when memory is
// exhausted.
aPacketLog* aPacketLog_Create(uint32_t size);

// Appends an entry, dropping the oldest entries as needed. aErrOverrun when
// the entry cannot fit even in an empty log (the log is unchanged); aErrParam
// for no log, a length above 255 or no bytes with a non-zero length.
aErr aPacketLog_Put(aPacketLog* log, int type, unsigned length, const uint8_t* bytes);

// Takes the oldest entry. *length holds buffer's capacity on entry and the
// entry's length on return. aErrNotFound when the log is empty; aErrOverrun
// when the entry is longer than the capacity (it stays in the log; *type and
// *length are still filled in); aErrParam for a missing argument.
aErr aPacketLog_Get(aPacketLog* log, int* type, unsigned* length, uint8_t* buffer);

// Frees the log and sets *log to nullptr; always aErrNone.
aErr aPacketLog_Destroy(aPacketLog** log);

// Records a packet's wire bytes as an entry of `type` in the link's log, under
// the log's mutex, when the link has a log and it is enabled. Used by the
// link's reader and writer threads.
void aPacketDebug_LogPacket(aLink* link, int type, const aPacket* packet);

// Destroys the link's log and its mutex (the threads must be stopped).
void aPacketDebug_Release(aLink* link);
