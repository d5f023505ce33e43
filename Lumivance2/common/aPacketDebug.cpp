#include "aPacketDebug.h"

#include <cstdio>
#include <new>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aMutex.h"
#include "aPacket.h"

namespace {

uint32_t sUsed(const aPacketLog* log) {
    return (log->tail - log->head + log->size) % log->size;
}

void sDropOldest(aPacketLog* log) {
    uint32_t length = log->buffer[(log->head + 1) % log->size];
    log->head = (log->head + 2 + length) % log->size;
}

// Holds a link's log mutex for one scope.
class LogLock {
  public:
    explicit LogLock(aMutex* mutex) : mutex_(mutex) {
        if (mutex_) aMutex_Lock(mutex_);
    }
    ~LogLock() {
        if (mutex_) aMutex_Unlock(mutex_);
    }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;

  private:
    aMutex* mutex_;
};

aLink* sLinkOf(int32_t id) {
    aLink* link = sGetLink(id);
    return aVALIDLINK(link) ? link : nullptr;
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t size) {
    if (size == 0) return nullptr;
    aPacketLog* log = new (std::nothrow) aPacketLog();
    if (!log) return nullptr;
    log->buffer = new (std::nothrow) uint8_t[size];
    if (!log->buffer) {
        delete log;
        return nullptr;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Put(aPacketLog* log, int type, unsigned length, const uint8_t* bytes) {
    if (!log || !log->buffer || length > aPACKETLOG_MAXENTRY || (length > 0 && !bytes)) {
        return aErrParam;
    }
    const uint32_t need = length + 2;
    uint32_t free = log->size - sUsed(log);
    while (log->size > need && free <= need) {
        sDropOldest(log);
        free = log->size - sUsed(log);
    }
    if (free <= need) return aErrOverrun;

    log->buffer[log->tail] = static_cast<uint8_t>(type);
    log->tail = (log->tail + 1) % log->size;
    log->buffer[log->tail] = static_cast<uint8_t>(length);
    log->tail = (log->tail + 1) % log->size;
    for (unsigned i = 0; i < length; ++i) {
        log->buffer[log->tail] = bytes[i];
        log->tail = (log->tail + 1) % log->size;
    }
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, int* type, unsigned* length, uint8_t* buffer) {
    if (!log || !log->buffer || !type || !length) return aErrParam;
    if (log->head == log->tail) return aErrNotFound;
    const unsigned capacity = *length;
    const unsigned entryLength = log->buffer[(log->head + 1) % log->size];
    *type = log->buffer[log->head];
    *length = entryLength;
    if (entryLength > capacity) return aErrOverrun;
    if (entryLength > 0 && !buffer) return aErrParam;
    uint32_t at = (log->head + 2) % log->size;
    for (unsigned i = 0; i < entryLength; ++i) {
        buffer[i] = log->buffer[at];
        at = (at + 1) % log->size;
    }
    log->head = at;
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
    if (log && *log) {
        delete[](*log)->buffer;
        delete *log;
        *log = nullptr;
    }
    return aErrNone;
}

void aPacketDebug_LogPacket(aLink* link, int type, const aPacket* packet) {
    aPacketLog* log = link->packetLog.load(std::memory_order_acquire);
    if (!log || !log->enabled.load(std::memory_order_relaxed)) return;
    uint8_t bytes[aPACKET_MAXWIRE];
    size_t written = 0;
    if (aPacket_GetBytes(packet, bytes, sizeof bytes, &written) != aErrNone) return;
    LogLock lock(link->logMutex.load(std::memory_order_acquire));
    aPacketLog_Put(log, type, static_cast<unsigned>(written), bytes);
}

void aPacketDebug_Release(aLink* link) {
    aPacketLog* log = link->packetLog.exchange(nullptr);
    aPacketLog_Destroy(&log);
    aMutex* mutex = link->logMutex.exchange(nullptr);
    if (mutex) aMutex_Destroy(&mutex);
}

aErr aLink_PacketDebug_SetLogSize(int32_t id, long size) {
    aLink* link = sLinkOf(id);
    if (!link) return aErrParam;
    if (size > aPACKETLOG_MAXSIZE) return aErrParam;
    if (link->packetLog.load()) return aErrBusy;
    link->logSize = size < 0 ? 0u : static_cast<uint32_t>(size);
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(int32_t id) {
    aLink* link = sLinkOf(id);
    if (!link) return aErrParam;
    // The mutex is published before the log, so a thread that sees the log
    // also sees its mutex.
    if (!link->logMutex.load()) {
        char name[64];
        std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
        aMutex* mutex = aMutex_Create(name);
        if (!mutex) return aErrResource;
        link->logMutex.store(mutex, std::memory_order_release);
    }
    aPacketLog* log = link->packetLog.load();
    if (!log) {
        const uint32_t size = link->logSize ? link->logSize.load() : aPACKETLOG_DEFAULTSIZE;
        log = aPacketLog_Create(size);
        if (!log) return aErrResource;
        link->packetLog.store(log, std::memory_order_release);
    }
    log->enabled = true;
    return aErrNone;
}

aErr aLink_PacketDebug_Disable(int32_t id) {
    aLink* link = sLinkOf(id);
    if (!link) return aErrParam;
    aPacketLog* log = link->packetLog.load();
    if (!log) return aErrNotReady;
    log->enabled = false;
    return aErrNone;
}

aErr aLink_PacketDebug_Read(int32_t id, int* type, unsigned* length, uint8_t* buffer) {
    aLink* link = sLinkOf(id);
    if (!link) return aErrParam;
    aPacketLog* log = link->packetLog.load(std::memory_order_acquire);
    if (!log) return aErrNotReady;
    LogLock lock(link->logMutex.load(std::memory_order_acquire));
    return aPacketLog_Get(log, type, length, buffer);
}

aErr aLink_PacketDebug_Write(int32_t id, int type, unsigned length, const uint8_t* bytes) {
    aLink* link = sLinkOf(id);
    if (!link) return aErrParam;
    aPacketLog* log = link->packetLog.load(std::memory_order_acquire);
    if (!log) return aErrNotReady;
    LogLock lock(link->logMutex.load(std::memory_order_acquire));
    return aPacketLog_Put(log, type, length, bytes);
}
