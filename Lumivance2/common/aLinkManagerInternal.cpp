#include "aLinkManagerInternal.h"

#include <mutex>
#include <new>

#include "aMutex.h"

namespace {

// The registry: a singly linked list of entries, newest first.
struct Registry {
    aLinkEntry* head = nullptr;
    int32_t nextId = 1;
    aMutex* mutex = nullptr;
};

Registry _links;
std::once_flag sRegistryOnce;
std::atomic<uint32_t> _clientCount{0};

aMutex* sRegistryMutex() {
    std::call_once(sRegistryOnce, [] { _links.mutex = aMutex_Create("aLink_Managed"); });
    return _links.mutex;
}

// Holds the registry mutex for one scope.
class RegistryLock {
  public:
    RegistryLock() : mutex_(sRegistryMutex()) {
        if (mutex_) aMutex_Lock(mutex_);
    }
    ~RegistryLock() {
        if (mutex_) aMutex_Unlock(mutex_);
    }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

  private:
    aMutex* mutex_;
};

template <typename Match>
aLinkEntry* sFind(Match match) {
    RegistryLock lock;
    for (aLinkEntry* entry = _links.head; entry; entry = entry->next) {
        if (match(*entry)) return entry;
    }
    return nullptr;
}

}  // namespace

int32_t sCreate(uint32_t identifier0, uint32_t identifier1, linkType type) {
    return sCreate2(identifier0, identifier1, 0, type);
}

int32_t sCreate2(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2, linkType type) {
    aLinkEntry* entry = new (std::nothrow) aLinkEntry();
    aLink* link = new (std::nothrow) aLink();
    if (!entry || !link) {
        delete entry;
        delete link;
        return 0;
    }
    entry->identifier0 = identifier0;
    entry->identifier1 = identifier1;
    entry->identifier2 = identifier2;
    entry->type = type;
    entry->link = link;

    RegistryLock lock;
    entry->id = _links.nextId++;
    link->id = entry->id;
    entry->next = _links.head;
    _links.head = entry;
    return entry->id;
}

aLinkEntry* sLookupEntryByID(int32_t id) {
    if (id == 0) return nullptr;
    return sFind([id](const aLinkEntry& e) { return e.id == id; });
}

aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier0, linkType type) {
    return sFind(
        [=](const aLinkEntry& e) { return e.identifier0 == identifier0 && e.type == type; });
}

aLinkEntry* sLookupEntryByTrident(uint32_t identifier0, uint32_t identifier1,
                                  uint32_t identifier2) {
    return sFind([=](const aLinkEntry& e) {
        return e.identifier0 == identifier0 && e.identifier1 == identifier1 &&
               e.identifier2 == identifier2;
    });
}

aLinkEntry* sExtractEntry(int32_t id) {
    RegistryLock lock;
    for (aLinkEntry** at = &_links.head; *at; at = &(*at)->next) {
        if ((*at)->id == id) {
            aLinkEntry* entry = *at;
            *at = entry->next;
            entry->next = nullptr;
            return entry;
        }
    }
    return nullptr;
}

void sFreeEntry(aLinkEntry** entry) {
    if (!entry) return;
    delete *entry;
    *entry = nullptr;
}

int16_t sChangeUseCount(aLinkEntry* entry, int16_t delta) {
    if (!entry) return 0;
    RegistryLock lock;
    entry->useCount = static_cast<int16_t>(entry->useCount + delta);
    return entry->useCount;
}

int16_t sGetUseCount(aLinkEntry* entry) {
    if (!entry) return 0;
    RegistryLock lock;
    return entry->useCount;
}

aLink* sGetLink(int32_t id) {
    aLinkEntry* entry = sLookupEntryByID(id);
    return entry ? entry->link : nullptr;
}

aErr sSetServer(int32_t id, void* server, aLinkServerDestroyProc destroy) {
    RegistryLock lock;
    for (aLinkEntry* entry = _links.head; entry; entry = entry->next) {
        if (entry->id == id) {
            entry->server = server;
            entry->serverDestroy = server ? destroy : nullptr;
            return aErrNone;
        }
    }
    return aErrParam;
}

void* sGetServer(aLinkEntry* entry) {
    if (!entry) return nullptr;
    RegistryLock lock;
    return entry->server;
}

aErr sSetDeviceLinkId(int32_t id, int32_t deviceLinkId) {
    RegistryLock lock;
    for (aLinkEntry* entry = _links.head; entry; entry = entry->next) {
        if (entry->id == id) {
            entry->deviceLinkId = deviceLinkId;
            return aErrNone;
        }
    }
    return aErrParam;
}

uint32_t sNextClientNumber(void) {
    return _clientCount.fetch_add(1);
}
