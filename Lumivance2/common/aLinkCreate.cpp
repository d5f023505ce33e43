// Link creation for each transport, sharing by use count, destruction,
// reset, and the module-address and model queries.
#include <atomic>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aStream.h"
#include "aTime.h"
#include "packetfifo.h"

namespace {

constexpr int kResetAttempts = 20;
constexpr unsigned long kResetRetryMs = 100;
constexpr unsigned long kQueryWaitMs = 1000;

std::atomic<aLinkClientStreamProc> sClientStreamFactory{nullptr};

// The sharing rule: an existing link of the same type and serial number gets
// one more user. Returns its id, -1 when it must not be shared (it is served
// by a network server), or 0 when there is none.
int32_t sShare(uint32_t serialNumber, linkType type, bool refuseServed) {
    aLinkEntry* entry = sLookupEntryByIdentifier(serialNumber, type);
    if (!entry) return 0;
    if (refuseServed && sGetServer(entry)) return -1;
    sChangeUseCount(entry, 1);
    return entry->id;
}

// Common tail of the transport creations: prepare the entry's link with the
// stream (whose creation result is streamErr), count the first user, start
// and, when asked, synchronise. Any failure destroys the half-made link.
int32_t sFinish(int32_t id, aErr streamErr, aStream* stream, bool sync) {
    aErr err = streamErr;
    if (aLink_Init(id, err == aErrNone ? stream : nullptr) != id && err == aErrNone) {
        err = aErrConnection;
    }
    if (err == aErrNone) {
        sChangeUseCount(sLookupEntryByID(id), 1);
        err = aLink_Start(id);
    }
    if (err == aErrNone && sync) err = aLink_Sync(id);
    if (err != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

bool sRateCode(uint32_t baudRate, uint32_t* code) {
    static const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (uint32_t i = 0; i < sizeof kRates / sizeof kRates[0]; ++i) {
        if (kRates[i] == baudRate) {
            *code = i;
            return true;
        }
    }
    return false;
}

// Makes a fresh stream for a link of the entry's type.
aErr sRemakeStream(const aLinkEntry* entry, aStream** out) {
    *out = nullptr;
    switch (entry->type) {
        case LINK_USB:
            return aStream_CreateUSB(entry->identifier0, out);
        case LINK_TCPIP:
            return aStream_CreateSocket(entry->identifier1,
                                        static_cast<uint16_t>(entry->identifier2), out);
        case LINK_ANET:
        case LINK_ANET_USB:
        case LINK_ANET_TCPIP:
        case LINK_ANET_SERIAL: {
            aLinkClientStreamProc factory = sClientStreamFactory.load();
            if (!factory) return aErrParam;
            return factory(entry->identifier0, static_cast<uint16_t>(entry->identifier1), out);
        }
        default:
            return aErrParam;
    }
}

aErr aLink_ResetLink(aLinkEntry* entry) {
    aLink* link = entry->link;
    if (!aVALIDLINK(link)) return aErrParam;
    aLink_Stop(link);
    sLinkRelease(link, false);

    aStream* stream = nullptr;
    aErr err = aErrParam;
    for (int attempt = 0; attempt < kResetAttempts; ++attempt) {
        err = sRemakeStream(entry, &stream);
        if (err == aErrNone && stream) break;
        stream = nullptr;
        aTime_MSSleep(kResetRetryMs);
    }
    if (!stream) return err == aErrNone ? aErrConnection : err;

    err = sLinkInitRecord(link, entry->id, stream, true);
    if (err != aErrNone) return err;
    return aLink_Start(entry->id);
}

// Sends one packet and waits for the oldest received one.
aErr sQuery(int32_t id, uint8_t address, size_t length, const uint8_t* data, aPacket** reply) {
    *reply = nullptr;
    aPacket* request = aPacket_CreateWithData(address, length, data);
    if (!request) return aErrMemory;
    aErr err = aLink_PutPacket(id, request);
    aPacket_Destroy(&request);
    if (err != aErrNone) return err;
    *reply = aLink_AwaitPacket(id, kQueryWaitMs);
    return *reply ? aErrNone : aErrTimeout;
}

}  // namespace

int32_t aLink_CreateUSB(uint32_t serialNumber) {
    const int32_t shared = sShare(serialNumber, LINK_USB, true);
    if (shared) return shared > 0 ? shared : 0;
    int32_t id = sCreate(serialNumber, 0, LINK_USB);
    if (!id) return 0;
    aStream* stream = nullptr;
    const aErr err = aStream_CreateUSB(serialNumber, &stream);
    return sFinish(id, err, stream, true);
}

int32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t ipAddress, uint16_t port) {
    const int32_t shared = sShare(serialNumber, LINK_TCPIP, true);
    if (shared) return shared > 0 ? shared : 0;
    int32_t id = sCreate2(serialNumber, ipAddress, port, LINK_TCPIP);
    if (!id) return 0;
    aStream* stream = nullptr;
    const aErr err = aStream_CreateSocket(ipAddress, port, &stream);
    return sFinish(id, err, stream, false);
}

int32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
    const int32_t shared = sShare(serialNumber, LINK_SERIAL, false);
    if (shared) return shared;
    int32_t id = sCreate(serialNumber, 0, LINK_SERIAL);
    if (!id) return 0;
    uint32_t code = 0;
    if (!sRateCode(baudRate, &code)) {
        aLink_Destroy(&id);
        return 0;
    }
    aStream* stream = nullptr;
    const aErr err = aStream_CreateSerial_Packetized(portName, code, 0, 0, 0, &stream);
    return sFinish(id, err, stream, false);
}

int32_t aLink_Create(aStream* stream) {
    int32_t id = sCreate(0xFFFFFFFFu, 0, LINK_INVALID);
    if (!id) {
        aStream_Destroy(&stream);
        return 0;
    }
    if (aLink_Init(id, stream) != id || aLink_Start(id) != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    sChangeUseCount(sLookupEntryByID(id), 1);
    return id;
}

aErr aLink_Destroy(int32_t* id) {
    if (!id) return aErrParam;
    aLinkEntry* entry = sLookupEntryByID(*id);
    if (!entry) {
        *id = 0;
        return aErrParam;
    }
    if (sChangeUseCount(entry, -1) > 0) {
        *id = 0;
        return aErrNone;
    }

    aLink* link = entry->link;
    if (aVALIDLINK(link)) aLink_InstallUserPacketFilter(entry->id, nullptr, nullptr);
    entry = sExtractEntry(entry->id);
    *id = 0;
    if (!entry) return aErrParam;

    aErr result = aErrUnknown;
    if (link) {
        if (aVALIDLINK(link)) aLink_Stop(link);
        if (entry->server && entry->serverDestroy) entry->serverDestroy(entry->server);
        entry->server = nullptr;
        if (entry->deviceLinkId) {
            int32_t deviceLinkId = entry->deviceLinkId;
            aLink_Destroy(&deviceLinkId);
        }
        result = sLinkRelease(link, true);
        link->checkWord = 0;
        delete link;
        entry->link = nullptr;
    }
    sFreeEntry(&entry);
    return result;
}

aErr aLink_Reset(int32_t id) {
    aLinkEntry* entry = sLookupEntryByID(id);
    if (!entry) return aErrParam;
    return aLink_ResetLink(entry);
}

void aLink_SetClientStreamFactory(aLinkClientStreamProc proc) {
    sClientStreamFactory = proc;
}

aErr _aLink_GetModuleAddress(int32_t id, uint8_t* address) {
    if (!address) return aErrParam;
    static const uint8_t kNoData = 0;
    aPacket* reply = nullptr;
    aErr err = sQuery(id, aLINK_SYNC_ADDRESS, 0, &kNoData, &reply);
    if (err != aErrNone) return err;
    if (reply->length == 0 && reply->address != 0) {
        *address = reply->address;
    } else {
        err = aErrIO;
    }
    aPacket_Destroy(&reply);
    return err;
}

aErr _aLink_GetModel(int32_t id, uint8_t moduleAddress, uint8_t* model) {
    if (!model) return aErrParam;
    // System entity (command 3), get of option 8 (0x48), index 0 with the
    // request bit (0x20).
    static const uint8_t kModelQuery[3] = {3, 0x48, 0x20};
    aPacket* reply = nullptr;
    aErr err = sQuery(id, moduleAddress, sizeof kModelQuery, kModelQuery, &reply);
    if (err != aErrNone) return err;
    if (reply->length == 4 && reply->address == moduleAddress && reply->data[0] == 3) {
        *model = reply->data[3];
    } else {
        err = aErrIO;
    }
    aPacket_Destroy(&reply);
    return err;
}
