// The link engine: reader and writer threads, synchronisation with the
// device, heartbeats, the user filter and the callers' packet operations.
#include "aLink.h"

#include <cstdio>
#include <cstring>

#include "aLinkManagerInternal.h"
#include "aMutex.h"
#include "aPacketDebug.h"
#include "aStream.h"
#include "aThread.h"
#include "aTime.h"
#include "packetfifo.h"

namespace {

// Synchronisation machine states: the reader looks for A, 0, A, 0 (the
// device's answers to 0xAD packets, A its even, non-zero module address).
enum : int {
    kSyncStateDone = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

// Heartbeat states.
enum : int {
    kHeartbeatIdle = 0,
    kHeartbeatAnswering0 = 2,
    kHeartbeatAnswering1 = 3,
};

constexpr int kSyncPackets = 6;
constexpr int kStartPolls = 200;
constexpr unsigned long kPollMs = 10;
constexpr unsigned long kReadFailureMs = 100;
constexpr unsigned long kSyncSettleMs = 100;
constexpr unsigned long kWriterWaitMs = 1000;
constexpr size_t kPoolSize = 4096;
constexpr size_t kPoolFill = kPoolSize - aPACKET_MAXWIRE;  // 4066
// A silent stream restarts a synchronisation at most this often; a transport
// that answers "not ready" at once would otherwise flood the device with
// 0xAD packets.
constexpr uint64_t kSyncRetryMs = 100;
// After this many consecutive "not ready" answers that took no measurable
// time, the reader naps between reads, 1 ms at first and doubling up to
// 16 ms, so that a transport that never waits cannot make an idle link spin
// a core. Any byte, or a read that did wait, ends the napping.
constexpr int kFastNotReadyLimit = 8;
constexpr unsigned long kFirstNapMs = 1;
constexpr unsigned long kLongestNapMs = 16;
// The final drain of the outgoing FIFO writes at most this many packets.
constexpr int kMaxDrain = aPACKETFIFO_CAPACITY + 16;

uint8_t sMatchAll(const aPacket*, void*) {
    return 1;
}

aLink* sLinkOf(int32_t id) {
    aLink* link = sGetLink(id);
    return aVALIDLINK(link) ? link : nullptr;
}

// Queues a packet of the given bytes into the outgoing FIFO.
aErr sQueue(aLink* link, uint8_t address, size_t length, const uint8_t* data) {
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (!packet) return aErrMemory;
    aErr err = aPacketFifo_Put(link->outFifo.load(), packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr sQueueRoute(aLink* link, uint8_t value) {
    return sQueue(link, aLINK_ROUTE_ADDRESS, 1, &value);
}

// Writes one packet's wire bytes to the stream; a failure drops the packet.
void sWriteSingle(aLink* link, const aPacket* packet) {
    uint8_t bytes[aPACKET_MAXWIRE];
    size_t written = 0;
    // Recorded before the write, so that the log holds every packet the
    // device may already have seen.
    aPacketDebug_LogPacket(link, aPACKETLOG_SENT, packet);
    if (aPacket_GetBytes(packet, bytes, sizeof bytes, &written) == aErrNone) {
        aStream_Write(link->stream, bytes, written);
    }
}

// ---- Reader ----------------------------------------------------------------

void sStartSync(aLink* link) {
    link->status = LINK_STATUS_SYNCING;
    link->syncState = kSyncStateStart;
    link->lastSyncStartMs = aTime_GetMSTicks();
    aPacket_Reset(link->rxPacket);
    static const uint8_t kNoData = 0;
    aErr err = aErrMemory;
    for (int i = 0; i < kSyncPackets; ++i) err = sQueue(link, aLINK_SYNC_ADDRESS, 0, &kNoData);
    if (err == aErrNone) link->syncState = kSyncStateByte1;
}

void sSyncByte(aLink* link, uint8_t byte) {
    switch (link->syncState) {
        case kSyncStateByte1:
            if (byte != 0 && (byte & 1) == 0) {
                link->syncByte = byte;
                link->syncState = kSyncStateByte2;
            } else {
                sStartSync(link);
            }
            break;
        case kSyncStateByte2:
            link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
            break;
        case kSyncStateByte3:
            link->syncState = byte == link->syncByte ? kSyncStateByte4 : kSyncStateStart;
            break;
        case kSyncStateByte4:
            if (byte == 0) {
                link->syncState = kSyncStateDone;
                link->status = LINK_STATUS_RUNNING;
            } else {
                link->syncState = kSyncStateStart;
            }
            break;
        default:  // kSyncStateStart, kSyncStateDone or anything else
            sStartSync(link);
            break;
    }
}

// Answers a heartbeat (length 2, data[0] 0) with data[1] + 2. Returns false
// when the packet is not to be treated as a heartbeat; otherwise *result is
// the result of queuing the answer.
bool sHandleHBBackChannel(aLink* link, aErr* result) {
    const aPacket* packet = link->rxPacket;
    if (packet->length != 2 || packet->data[0] != 0) return false;
    const int state = link->heartbeatState;
    if (state == kHeartbeatAnswering0 || state == kHeartbeatAnswering1) return false;
    const uint8_t value = packet->data[1];
    if (value == 0) link->heartbeatState = kHeartbeatAnswering0;
    if (value == 1) link->heartbeatState = kHeartbeatAnswering1;
    const uint8_t answer[2] = {0, static_cast<uint8_t>(value + 2)};
    *result = sQueue(link, packet->address, 2, answer);
    if (*result == aErrNone) link->heartbeatState = kHeartbeatIdle;
    return true;
}

aErr sHandlePacket(aLink* link) {
    aPacket* packet = link->rxPacket;
    if (!aPacket_IsComplete(packet)) return aErrNone;
    aPacketDebug_LogPacket(link, aPACKETLOG_RECEIVED, packet);

    bool consumed = false;
    aMutex_Lock(link->userFilterMutex);
    if (link->userFilter) consumed = link->userFilter(packet, link->userFilterReference) == 1;
    aMutex_Unlock(link->userFilterMutex);

    aErr result = aErrNone;
    if (!consumed && !sHandleHBBackChannel(link, &result)) {
        result = aPacketFifo_Put(link->inFifo.load(), packet);
    }
    aPacket_Reset(packet);
    return result;
}

int sInPipeProcess(void* argument) {
    aLink* link = static_cast<aLink*>(argument);
    link->heartbeatState = kHeartbeatIdle;
    link->syncByte = 1;
    link->syncState = kSyncStateDone;
    link->lastSyncStartMs = 0;
    link->inStarted = true;
    link->status = LINK_STATUS_RUNNING;

    int fastNotReady = 0;
    unsigned long napMs = kFirstNapMs;
    while (link->running.load()) {
        uint8_t byte = 0;
        const uint64_t before = aTime_GetMSTicks();
        const aErr err = aStream_Read(link->stream, &byte, 1);

        if (err == aErrNotReady) {
            const uint64_t now = aTime_GetMSTicks();
            const int32_t status = link->status;
            if ((status == LINK_STATUS_SYNCING || status == LINK_STATUS_IO_ERROR) &&
                (link->lastSyncStartMs == 0 || now - link->lastSyncStartMs >= kSyncRetryMs)) {
                sStartSync(link);
            }
            if (now != before) {
                fastNotReady = 0;
                napMs = kFirstNapMs;
            } else if (++fastNotReady >= kFastNotReadyLimit) {
                aTime_MSSleep(napMs);
                if (napMs < kLongestNapMs) napMs *= 2;
            }
            continue;
        }
        fastNotReady = 0;
        napMs = kFirstNapMs;
        if (err != aErrNone) {
            link->status = LINK_STATUS_IO_ERROR;
            aTime_MSSleep(kReadFailureMs);
            continue;
        }
        if (link->status == LINK_STATUS_SYNCING) {
            sSyncByte(link, byte);
            continue;
        }
        if (aPacket_AddByte(link->rxPacket, byte) != aErrNone || (link->rxPacket->address & 1)) {
            sStartSync(link);
            continue;
        }
        if (sHandlePacket(link) != aErrNone) link->status = LINK_STATUS_PACKET_ERROR;
    }
    return 0;
}

// ---- Writer ----------------------------------------------------------------

// Appends the packet's wire bytes to the pool; returns the new fill.
size_t sAppend(uint8_t* pool, size_t fill, const aPacket* packet) {
    size_t written = 0;
    if (aPacket_GetBytes(packet, pool + fill, kPoolSize - fill, &written) != aErrNone) return fill;
    return fill + written;
}

void sWritePooled(aLink* link, const aPacket* first) {
    uint8_t pool[kPoolSize];
    size_t fill = sAppend(pool, 0, first);
    const aPacketFifoId out = link->outFifo.load();
    while (fill <= kPoolFill) {
        aPacket* next = aPacketFifo_Get(out);
        if (!next) break;
        fill = sAppend(pool, fill, next);
        aPacket_Destroy(&next);
    }
    aPacketDebug_LogPacket(link, aPACKETLOG_SENT, first);
    if (fill > 0) aStream_Write(link->stream, pool, fill);
}

// Writes every packet still queued, one write each, so that what was queued
// before a stop (the route packet with value 0) reaches the device.
void sDrainOutgoing(aLink* link) {
    const aPacketFifoId out = link->outFifo.load();
    for (int i = 0; i < kMaxDrain; ++i) {
        aPacket* packet = aPacketFifo_Get(out);
        if (!packet) break;
        sWriteSingle(link, packet);
        aPacket_Destroy(&packet);
    }
}

int sOutPipeProcess(void* argument) {
    aLink* link = static_cast<aLink*>(argument);
    link->outStarted = true;
    const aPacketFifoId out = link->outFifo.load();
    while (link->running.load()) {
        aPacket* packet = aPacketFifo_Await(out, kWriterWaitMs);
        if (!packet) continue;
        if (link->pooled.load()) {
            sWritePooled(link, packet);
        } else {
            sWriteSingle(link, packet);
        }
        aPacket_Destroy(&packet);
    }
    sDrainOutgoing(link);
    return 0;
}

}  // namespace

// ---- Record preparation and release ------------------------------------------

aErr sLinkInitRecord(aLink* link, int32_t id, aStream* stream, bool keepLog) {
    link->id = id;
    link->checkWord = aLINK_CHECK;
    link->running = false;
    link->stream = stream;
    link->status = stream ? LINK_STATUS_STOPPED : LINK_STATUS_INVALID;
    link->inThread = nullptr;
    link->outThread = nullptr;
    link->inFifo = aPacketFifo_Create();
    link->outFifo = aPacketFifo_Create();
    link->inStarted = false;
    link->outStarted = false;
    link->heartbeatState = kHeartbeatIdle;
    link->syncState = kSyncStateDone;
    link->rxPacket = aPacket_Create();
    if (!keepLog) {
        link->packetLog = nullptr;
        link->logSize = 0;
        link->logMutex = nullptr;
    }
    link->pooled = false;
    if (!link->userFilterMutex) {
        char name[256];
        std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
        name[253] = '\0';
        link->userFilterMutex = aMutex_Create(name);
    }
    if (link->userFilterMutex) {
        aMutex_Lock(link->userFilterMutex);
        link->userFilter = nullptr;
        link->userFilterReference = nullptr;
        aMutex_Unlock(link->userFilterMutex);
    }
    if (!link->inFifo.load() || !link->outFifo.load() || !link->rxPacket ||
        !link->userFilterMutex) {
        link->status = LINK_STATUS_INVALID;
        return aErrResource;
    }
    return aErrNone;
}

aErr sLinkRelease(aLink* link, bool all) {
    aPacketFifoId in = link->inFifo.exchange(0);
    aPacketFifoId out = link->outFifo.exchange(0);
    if (in) aPacketFifo_Destroy(&in);
    aErr result = aErrNone;
    if (out) result = aPacketFifo_Destroy(&out);
    if (link->rxPacket) aPacket_Destroy(&link->rxPacket);
    if (all) {
        aPacketDebug_Release(link);
        if (link->userFilterMutex) aMutex_Destroy(&link->userFilterMutex);
    }
    if (link->stream) aStream_Destroy(&link->stream);
    return result;
}

// ---- Public operations ---------------------------------------------------------

int32_t aLink_Init(int32_t id, aStream* stream) {
    aLinkEntry* entry = sLookupEntryByID(id);
    if (!entry || !entry->link) return 0;
    aLink* link = entry->link;
    bool keep = false;
    if (aVALIDLINK(link)) {
        if (link->running.load()) return 0;
        // Re-preparing a stopped link: release what the old preparation made.
        if (link->stream == stream) link->stream = nullptr;
        sLinkRelease(link, false);
        keep = true;
    }
    if (sLinkInitRecord(link, id, stream, keep) != aErrNone) return 0;
    return id;
}

aErr aLink_Start(int32_t id) {
    aLink* link = sLinkOf(id);
    if (!link) return aErrParam;
    if (link->running.load()) return aErrNone;
    if (!link->stream || !link->inFifo.load() || !link->outFifo.load() || !link->rxPacket) {
        return aErrParam;
    }

    link->running = true;
    link->status = LINK_STATUS_INITIALIZING;
    link->heartbeatState = kHeartbeatIdle;
    link->inStarted = false;
    link->outStarted = false;

    link->inThread = aThread_Create(sInPipeProcess, link);
    if (link->inThread) link->outThread = aThread_Create(sOutPipeProcess, link);
    if (!link->inThread || !link->outThread) {
        // Never leave one thread running on a link that reports failure.
        link->running = false;
        if (link->inThread) aThread_Destroy(&link->inThread);
        link->inStarted = false;
        link->status = LINK_STATUS_STOPPED;
        return aErrResource;
    }

    bool up = false;
    for (int poll = 0; poll < kStartPolls && !up; ++poll) {
        up = link->inStarted.load() && link->outStarted.load() &&
             link->status.load() == LINK_STATUS_RUNNING;
        if (!up) aTime_MSSleep(kPollMs);
    }
    if (!up) return aErrIndexRange;
    return sQueueRoute(link, 1);
}

aErr aLink_Stop(aLink* link) {
    if (!aVALIDLINK(link)) return aErrParam;
    const int32_t previous = link->status.load();
    if (previous == LINK_STATUS_STOPPED || previous == LINK_STATUS_STOPPING) return aErrNone;
    link->status = LINK_STATUS_STOPPING;
    if (!link->inThread || !link->outThread) {
        link->status = previous;
        return aErrNone;
    }

    // The flag is cleared before the route packet is queued, so the put wakes
    // a writer that waits on its FIFO and it ends at once instead of after its
    // 1000 ms wait. A writer that has already ended leaves the route packet
    // queued; it is written below, once both threads are gone and this thread
    // is the only writer.
    link->running = false;
    aErr result = sQueueRoute(link, 0);
    if (aThread_Destroy(&link->inThread) != 0) result = aErrUnknown;
    if (aThread_Destroy(&link->outThread) != 0) result = aErrUnknown;
    link->inThread = nullptr;
    link->outThread = nullptr;
    sDrainOutgoing(link);
    link->inStarted = false;
    link->outStarted = false;
    aPacket_Reset(link->rxPacket);
    link->status = LINK_STATUS_STOPPED;
    link->heartbeatState = kHeartbeatIdle;
    return result;
}

aErr aLink_Sync(int32_t id) {
    aLink* link = sLinkOf(id);
    if (!link) return aErrParam;
    if (!link->running.load()) return aErrNotReady;
    link->status = LINK_STATUS_SYNCING;
    bool synced = false;
    for (int poll = 0; poll < kStartPolls && !synced; ++poll) {
        aTime_MSSleep(kPollMs);
        synced = link->status.load() == LINK_STATUS_RUNNING;
    }
    aPacketFifo_DrainPackets(link->outFifo.load(), sMatchAll, nullptr);
    aTime_MSSleep(kSyncSettleMs);
    aPacketFifo_DrainPackets(link->inFifo.load(), sMatchAll, nullptr);
    return synced ? aErrNone : aErrNotReady;
}

int32_t aLink_GetStatus(int32_t id) {
    aLink* link = sLinkOf(id);
    return link ? link->status.load() : LINK_STATUS_INVALID;
}

aErr aLink_PutPacket(int32_t id, const aPacket* packet) {
    aLink* link = sLinkOf(id);
    if (!link) return aErrParam;
    return aPacketFifo_Put(link->outFifo.load(), packet);
}

aPacket* aLink_GetPacket(int32_t id) {
    aLink* link = sLinkOf(id);
    return link ? aPacketFifo_Get(link->inFifo.load()) : nullptr;
}

aPacket* aLink_AwaitPacket(int32_t id, unsigned long timeoutMs) {
    aLink* link = sLinkOf(id);
    return link ? aPacketFifo_Await(link->inFifo.load(), timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(int32_t id, aPacketFilter filter, void* reference) {
    aLink* link = sLinkOf(id);
    return link ? aPacketFifo_GetFirst(link->inFifo.load(), filter, reference) : nullptr;
}

aPacket* aLink_AwaitFirst(int32_t id, aPacketFilter filter, void* reference,
                          unsigned long timeoutMs) {
    aLink* link = sLinkOf(id);
    if (!link) return nullptr;
    const uint64_t start = aTime_GetMSTicks();
    aPacket* found = nullptr;
    // The FIFO wait returns early only when the FIFO goes away, so one pass
    // normally settles it; the bound keeps a vanished FIFO from spinning.
    for (int pass = 0; pass < 2 && !found; ++pass) {
        if (!link->running.load() || link->status.load() != LINK_STATUS_RUNNING) break;
        const uint64_t elapsed = aTime_GetMSTicks() - start;
        if (elapsed >= timeoutMs) break;
        found = aPacketFifo_AwaitFirst(link->inFifo.load(), filter, reference,
                                       timeoutMs - static_cast<unsigned long>(elapsed));
    }
    return found;
}

size_t aLink_DrainPackets(int32_t id, aPacketFilter filter, void* reference) {
    aLink* link = sLinkOf(id);
    return link ? aPacketFifo_DrainPackets(link->inFifo.load(), filter, reference) : 0;
}

aErr aLink_InstallUserPacketFilter(int32_t id, aPacketFilter filter, void* reference) {
    aLink* link = sLinkOf(id);
    if (!link || !link->userFilterMutex) return aErrParam;
    aMutex_Lock(link->userFilterMutex);
    link->userFilter = filter;
    link->userFilterReference = filter ? reference : nullptr;
    aMutex_Unlock(link->userFilterMutex);
    return aErrNone;
}

aErr aLink_EnablePooledPackets(int32_t id, bool enable) {
    aLink* link = sLinkOf(id);
    if (!link) return aErrParam;
    link->pooled = enable;
    return aErrNone;
}

aErr aLink_ForceRoute(int32_t id, uint8_t value) {
    aLinkEntry* entry = sLookupEntryByID(id);
    if (!entry) return aErrNotFound;
    if (!aVALIDLINK(entry->link)) return aErrParam;
    return sQueueRoute(entry->link, value);
}
