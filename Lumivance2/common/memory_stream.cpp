// Two aStream ends joined in memory: what one end writes the other reads.
#include "memory_stream.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>

namespace {

// One direction of the pair: bytes written by one end for the other.
struct Channel {
    std::deque<uint8_t> bytes;
    std::condition_variable ready;
    bool writerGone = false;  // the writing end has been destroyed
    bool readerGone = false;  // the reading end has been destroyed
};

struct Shared {
    std::mutex lock;
    Channel channel[2];  // channel[i]: written by end i, read by end 1 - i
};

struct MemoryEnd {
    std::shared_ptr<Shared> shared;
    int side;
    uint32_t readWaitMS;
    std::atomic<size_t> writeCount{0};
    std::atomic<aErr> failNextRead{aErrNone};
};

aErr sMemoryGet(uint8_t* out, void* reference) {
    MemoryEnd* end = static_cast<MemoryEnd*>(reference);
    if (!end || !out) return aErrParam;
    aErr injected = end->failNextRead.exchange(aErrNone);
    if (injected != aErrNone) return injected;

    Channel& in = end->shared->channel[1 - end->side];
    std::unique_lock<std::mutex> guard(end->shared->lock);
    if (in.bytes.empty() && !in.writerGone && end->readWaitMS > 0) {
        in.ready.wait_for(guard, std::chrono::milliseconds(end->readWaitMS),
                          [&in] { return !in.bytes.empty() || in.writerGone; });
    }
    if (in.bytes.empty()) return in.writerGone ? aErrEOF : aErrNotReady;
    *out = in.bytes.front();
    in.bytes.pop_front();
    return aErrNone;
}

aErr sMemoryWrite(const uint8_t* data, size_t length, void* reference) {
    MemoryEnd* end = static_cast<MemoryEnd*>(reference);
    if (!end || !data) return aErrParam;
    end->writeCount++;
    Channel& outChannel = end->shared->channel[end->side];
    {
        std::lock_guard<std::mutex> guard(end->shared->lock);
        if (outChannel.readerGone) return aErrConnection;
        outChannel.bytes.insert(outChannel.bytes.end(), data, data + length);
    }
    outChannel.ready.notify_all();
    return aErrNone;
}

aErr sMemoryPut(const uint8_t* byte, void* reference) {
    return sMemoryWrite(byte, 1, reference);
}

aErr sMemoryDelete(void* reference) {
    MemoryEnd* end = static_cast<MemoryEnd*>(reference);
    if (!end) return aErrParam;
    {
        std::lock_guard<std::mutex> guard(end->shared->lock);
        end->shared->channel[end->side].writerGone = true;
        end->shared->channel[1 - end->side].readerGone = true;
        end->shared->channel[1 - end->side].bytes.clear();
    }
    // Wake a reader of the other end waiting for our bytes: it sees EOF now.
    end->shared->channel[end->side].ready.notify_all();
    delete end;
    return aErrNone;
}

MemoryEnd* sEnd(aStream* stream) {
    return static_cast<MemoryEnd*>(aStream_TransportReference(stream, sMemoryGet));
}

}  // namespace

aErr aStream_CreateMemoryPair(aStream** first, aStream** second, uint32_t readWaitMS) {
    if (first) *first = nullptr;
    if (second) *second = nullptr;
    if (!first || !second) return aErrParam;

    std::shared_ptr<Shared> shared(new (std::nothrow) Shared);
    if (!shared) return aErrMemory;
    MemoryEnd* ends[2] = {new (std::nothrow) MemoryEnd, new (std::nothrow) MemoryEnd};
    aStream* streams[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        if (!ends[i]) continue;
        ends[i]->shared = shared;
        ends[i]->side = i;
        ends[i]->readWaitMS = readWaitMS;
        streams[i] = aStream_Create(sMemoryGet, sMemoryPut, sMemoryWrite, sMemoryDelete, ends[i]);
    }
    if (!streams[0] || !streams[1]) {
        for (int i = 0; i < 2; ++i) {
            if (streams[i]) {
                aStream_Destroy(&streams[i]);
            } else {
                delete ends[i];
            }
        }
        return aErrMemory;
    }
    *first = streams[0];
    *second = streams[1];
    return aErrNone;
}

size_t aStream_MemoryWriteCount(aStream* end) {
    MemoryEnd* e = sEnd(end);
    return e ? e->writeCount.load() : 0;
}

size_t aStream_MemoryPending(aStream* end) {
    MemoryEnd* e = sEnd(end);
    if (!e) return 0;
    std::lock_guard<std::mutex> guard(e->shared->lock);
    return e->shared->channel[e->side].bytes.size();
}

aErr aStream_MemoryFailNextRead(aStream* end, aErr code) {
    MemoryEnd* e = sEnd(end);
    if (!e) return aErrParam;
    e->failNextRead = code;
    return aErrNone;
}
