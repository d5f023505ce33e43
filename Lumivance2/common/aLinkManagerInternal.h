// Link registry: maps link ids to link records, finds an existing link for a
// device so that several users share one link, and counts the users. Also
// holds the link record itself, which the engine (aLink.cpp), link creation
// (aLinkCreate.cpp) and the packet log (aPacketDebug.cpp) all work on.
//
// Internal to the link core: callers above it use only aLink.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"
#include "packetfifo.h"

struct aStream;
struct aThread;
struct aMutex;
struct aPacketLog;

#define aLINK_CHECK 0xCEED

// The live state of one link, owned by its registry entry. A freshly created
// record is value-initialised (check word 0); aLink_Init makes it usable.
// Fields read by more than one thread are atomics; the rest belong to one
// thread (the reader's assembly state) or are set only while the threads are
// stopped (stream, threads).
struct aLink {
    uint16_t checkWord = 0;
    int32_t id = 0;
    std::atomic<bool> running{false};
    std::atomic<int32_t> status{0};
    std::atomic<aPacketFifoId> inFifo{0};
    std::atomic<aPacketFifoId> outFifo{0};
    aPacket* rxPacket = nullptr;
    aThread* inThread = nullptr;
    aThread* outThread = nullptr;
    std::atomic<bool> inStarted{false};
    std::atomic<bool> outStarted{false};
    aStream* stream = nullptr;
    std::atomic<int> heartbeatState{0};
    int syncState = 0;
    uint8_t syncByte = 0;
    // Time (aTime_GetMSTicks) of the last synchronisation the reader started.
    uint64_t lastSyncStartMs = 0;
    std::atomic<aPacketLog*> packetLog{nullptr};
    std::atomic<uint32_t> logSize{0};
    std::atomic<aMutex*> logMutex{nullptr};
    aPacketFilter userFilter = nullptr;
    void* userFilterReference = nullptr;
    aMutex* userFilterMutex = nullptr;
    std::atomic<bool> pooled{false};
};

// True for a record that aLink_Init has prepared.
inline bool aVALIDLINK(const aLink* link) {
    return link != nullptr && link->checkWord == aLINK_CHECK;
}

// Destroys a network server recorded in a registry entry. The server code
// registers its own procedure with the server (sSetServer), so the registry
// needs to know nothing about servers.
typedef void (*aLinkServerDestroyProc)(void* server);

// One registry entry. identifier0..2 and type say what the link was created
// for; deviceLinkId, server and useCount change under the registry mutex.
struct aLinkEntry {
    int32_t id = 0;
    int32_t deviceLinkId = 0;
    void* server = nullptr;
    aLinkServerDestroyProc serverDestroy = nullptr;
    uint32_t identifier0 = 0;
    uint32_t identifier1 = 0;
    uint32_t identifier2 = 0;
    linkType type = LINK_INVALID;
    int16_t useCount = 0;
    aLink* link = nullptr;
    aLinkEntry* next = nullptr;
};

// A new entry with a zeroed link record, both given the next id (ids start at
// 1 and are never reused); the entry goes to the head of the list with use
// count 0. 0 when memory is exhausted.
int32_t sCreate(uint32_t identifier0, uint32_t identifier1, linkType type);
int32_t sCreate2(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2, linkType type);

// Lookups walk the list newest first under the registry mutex. The entry they
// return stays valid until its link's last user destroys it.
aLinkEntry* sLookupEntryByID(int32_t id);
aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier0, linkType type);
aLinkEntry* sLookupEntryByTrident(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2);

// Unlinks the entry with that id from the list and returns it; the caller
// frees it (sFreeEntry). nullptr when no entry has the id.
aLinkEntry* sExtractEntry(int32_t id);
// Frees an extracted entry (not its link record) and sets *entry to nullptr.
void sFreeEntry(aLinkEntry** entry);

// Adds delta to the entry's use count under the registry mutex and returns
// the new count.
int16_t sChangeUseCount(aLinkEntry* entry, int16_t delta);
// The use count, read under the registry mutex; 0 for nullptr.
int16_t sGetUseCount(aLinkEntry* entry);

// The link record of the entry with that id, or nullptr.
aLink* sGetLink(int32_t id);

// Records (or, with nullptr, forgets) the network server that shares the
// link with that id, and the procedure that destroys it when the link goes.
// aErrParam when no entry has the id.
aErr sSetServer(int32_t id, void* server, aLinkServerDestroyProc destroy);
// The recorded server of the entry, read under the registry mutex.
void* sGetServer(aLinkEntry* entry);
// Records the device link that a client link releases when it goes.
// aErrParam when no entry has the id.
aErr sSetDeviceLinkId(int32_t id, int32_t deviceLinkId);

// The process-wide client number: returns the current value and advances it.
uint32_t sNextClientNumber(void);

// ---- Engine helpers shared by the link sources ---------------------------

// Prepares a link record (aLink_Init without the registry lookup). With
// keepLog the record's packet log, its mutex and the user filter mutex are
// kept (a reset); otherwise the record must be fresh. aErrResource when a
// FIFO, the packet or a mutex cannot be made (the status is then invalid).
aErr sLinkInitRecord(aLink* link, int32_t id, aStream* stream, bool keepLog);
// Frees what a stopped link record holds: FIFOs, the packet being assembled
// and the stream; with all, also the packet log and both mutexes. Returns the
// result of destroying the outgoing FIFO (aErrNone when it had none).
aErr sLinkRelease(aLink* link, bool all);
