// Thread-safe packet queues named by 64-bit ids (0 means none). A FIFO may be
// destroyed while other threads still hold its id: they then find nothing, and
// their waits return nullptr. Packets go in and come out by copy; a packet that
// comes out belongs to the caller (aPacket_Destroy). A nullptr filter matches
// every packet.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

typedef uint64_t aPacketFifoId;

// Most packets a FIFO holds; a put beyond it empties the FIFO.
#define aPACKETFIFO_CAPACITY 1000

// A new FIFO's id; 0 when it cannot be created.
aPacketFifoId aPacketFifo_Create(void);
// Discards the FIFO and its packets, wakes its waiters and sets *id to 0.
// aErrParam for nullptr, aErrNotFound for an unknown id.
aErr aPacketFifo_Destroy(aPacketFifoId* id);
// Queues a copy of packet. aErrParam for an unknown id or an invalid packet.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);
// The oldest packet, removed; nullptr when empty or unknown. Never blocks.
aPacket* aPacketFifo_Get(aPacketFifoId id);
// The oldest packet, waiting up to timeoutMs for one; nullptr on time-out,
// for an unknown id, or when the FIFO is destroyed during the wait.
aPacket* aPacketFifo_Await(aPacketFifoId id, unsigned long timeoutMs);
// The oldest packet that filter accepts, removed; nullptr when none does.
// Never blocks. The filter runs under the FIFO's lock: it must not call
// operations on the same FIFO.
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, void* reference);
// As aPacketFifo_GetFirst, waiting up to timeoutMs for a matching packet. Each
// packet is shown to the filter at most once per call.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, void* reference,
                                unsigned long timeoutMs);
// Removes and destroys every packet that filter accepts; returns their number.
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, void* reference);
// The number of queued packets (0 for an unknown id).
size_t aPacketFifo_GetLength(aPacketFifoId id);
