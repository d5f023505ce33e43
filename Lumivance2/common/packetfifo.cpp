// Packet FIFOs: a registry of id -> queue, one mutex and condition variable per
// queue. Lookups hand out shared references, so a queue removed from the
// registry lives on until the last operation that found it has finished. The
// registry mutex and a queue's mutex are never held together.
#include "packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;

// One queued entry: its sequence id within the FIFO and the packet it owns.
struct SerialPacket {
    int64_t id;
    PacketPtr packet;
};

struct packetFifo {
    std::deque<SerialPacket> queue;
    std::condition_variable cv;
    std::mutex mutex;
    std::atomic<bool> active{true};
    // Id of the oldest queued entry, or of the next entry when empty.
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};

    // The following run with mutex held.
    void syncWindow() { windowStart = queue.empty() ? nextId.load() : queue.front().id; }
    void clearAndSyncWindow() {
        queue.clear();
        syncWindow();
    }
    // Hands the entry's packet to the caller and removes the entry.
    aPacket* stealPacket(std::deque<SerialPacket>::iterator entry) {
        aPacket* packet = entry->packet.release();
        queue.erase(entry);
        syncWindow();
        return packet;
    }
};

using FifoRef = std::shared_ptr<packetFifo>;
using Clock = std::chrono::steady_clock;

struct Registry {
    std::map<uint64_t, FifoRef> gpPacketFifoDictionary;
    std::mutex gpPacketFifoDictionaryMutex;
    std::atomic<uint64_t> gpSequentialId{1};
};

// Built on first use, so FIFOs may be created from other static initialisers;
// never destroyed, so threads still running at exit find a valid registry.
Registry& sRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

FifoRef sGetFifo(aPacketFifoId id) {
    if (id == 0) return nullptr;
    Registry& r = sRegistry();
    std::lock_guard<std::mutex> lock(r.gpPacketFifoDictionaryMutex);
    auto it = r.gpPacketFifoDictionary.find(id);
    return it == r.gpPacketFifoDictionary.end() ? nullptr : it->second;
}

FifoRef sExtractFifo(aPacketFifoId id) {
    if (id == 0) return nullptr;
    Registry& r = sRegistry();
    std::lock_guard<std::mutex> lock(r.gpPacketFifoDictionaryMutex);
    auto it = r.gpPacketFifoDictionary.find(id);
    if (it == r.gpPacketFifoDictionary.end()) return nullptr;
    FifoRef fifo = std::move(it->second);
    r.gpPacketFifoDictionary.erase(it);
    return fifo;
}

bool sMatches(aPacketFilter filter, const aPacket* packet, void* reference) {
    return !filter || filter(packet, reference) != 0;
}

// Longest wait honoured (a year); keeps the deadline arithmetic from overflowing.
constexpr unsigned long kMaxWaitMs = 365ul * 24 * 3600 * 1000;

Clock::time_point sDeadline(unsigned long timeoutMs) {
    const unsigned long ms = timeoutMs < kMaxWaitMs ? timeoutMs : kMaxWaitMs;
    return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(ms));
}

}  // namespace

aPacketFifoId aPacketFifo_Create(void) {
    try {
        auto fifo = std::make_shared<packetFifo>();
        Registry& r = sRegistry();
        std::lock_guard<std::mutex> lock(r.gpPacketFifoDictionaryMutex);
        uint64_t id = r.gpSequentialId++;
        if (id == 0) id = r.gpSequentialId++;  // after wrap-around: 0 means none
        r.gpPacketFifoDictionary.emplace(id, std::move(fifo));
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
    if (!id) return aErrParam;
    try {
        FifoRef fifo = sExtractFifo(*id);
        if (!fifo) return aErrNotFound;
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->active = false;
            fifo->clearAndSyncWindow();
        }
        fifo->cv.notify_all();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
    if (!aVALIDPACKET(packet)) return aErrParam;
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return aErrParam;
    PacketPtr copy(aPacket_Copy(packet));
    if (!copy) return aErrParam;
    {
        std::lock_guard<std::mutex> lock(fifo->mutex);
        if (!fifo->active) return aErrParam;  // destroyed since the lookup
        try {
            fifo->queue.push_back(SerialPacket{fifo->nextId, std::move(copy)});
        } catch (...) {
            return aErrResource;
        }
        ++fifo->nextId;
        fifo->syncWindow();
        if (fifo->queue.size() > aPACKETFIFO_CAPACITY) {
            // Nobody is reading: drop the backlog rather than grow without bound.
            fifo->clearAndSyncWindow();
            return aErrNone;
        }
    }
    fifo->cv.notify_all();
    return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoId id) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->queue.empty()) return nullptr;
    return fifo->stealPacket(fifo->queue.begin());
}

aPacket* aPacketFifo_Await(aPacketFifoId id, unsigned long timeoutMs) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return nullptr;
    const auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    fifo->cv.wait_until(lock, deadline, [&] { return !fifo->queue.empty() || !fifo->active; });
    if (fifo->queue.empty()) return nullptr;
    return fifo->stealPacket(fifo->queue.begin());
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, void* reference) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it)
        if (sMatches(filter, it->packet.get(), reference)) return fifo->stealPacket(it);
    return nullptr;
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, void* reference,
                                unsigned long timeoutMs) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return nullptr;
    const auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    // Entries up to lastExamined have been shown to the filter already in this
    // call; a wake-up only shows it the entries that arrived since.
    int64_t lastExamined = fifo->windowStart - 1;
    auto found = fifo->queue.end();
    auto satisfied = [&] {
        found = fifo->queue.end();
        for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
            if (it->id <= lastExamined) continue;
            lastExamined = it->id;
            if (sMatches(filter, it->packet.get(), reference)) {
                found = it;
                return true;
            }
        }
        return !fifo->active.load();
    };
    fifo->cv.wait_until(lock, deadline, satisfied);
    if (found == fifo->queue.end()) return nullptr;
    return fifo->stealPacket(found);
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, void* reference) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    const size_t before = fifo->queue.size();
    // Keeps the non-matching entries in order; the matching packets are
    // destroyed as their entries are overwritten or erased.
    auto tail = std::remove_if(
        fifo->queue.begin(), fifo->queue.end(),
        [&](const SerialPacket& entry) { return sMatches(filter, entry.packet.get(), reference); });
    fifo->queue.erase(tail, fifo->queue.end());
    fifo->syncWindow();
    return before - fifo->queue.size();
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
    FifoRef fifo = sGetFifo(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->queue.size();
}
