#include "discover.h"

#include <czmq.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "aDebug.h"
#include "aMulticast.h"
#include "zBeaconInterface.h"

namespace {

unsigned int sLoopback() {
    const uint8_t bytes[4] = {127, 0, 0, 1};
    unsigned int value;
    std::memcpy(&value, bytes, 4);
    return value;
}

unsigned int sAddress(const char* dotted) {
    unsigned int a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
        return 0;
    const uint8_t bytes[4] = {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
    unsigned int value;
    std::memcpy(&value, bytes, 4);
    return value;
}

bool sIsNewSpec(const std::vector<linkSpec>& seen, const linkSpec& spec) {
    for (const linkSpec& s : seen)
        if (s.type == spec.type && s.serialNumber == spec.serialNumber &&
            s.t.ip.ipAddress == spec.t.ip.ipAddress && s.t.ip.ipPort == spec.t.ip.ipPort)
            return false;
    return true;
}

struct Search {
    aDiscoveryModuleFoundProc callback;
    void* reference;
    uint8_t count = 0;
    bool stopped = false;

    void report(const linkSpec& spec) {
        bool counted = false;
        bool more = callback(&spec, &counted, reference);
        if (counted) ++count;
        if (!more) stopped = true;
    }
};

// Asks each network server on the loopback interface for its specifier. A
// server holds its request port, so a port we can bind has no server.
void _findLinkSpecs_multicast(Search& search, bool localMode) {
    const unsigned int group = sAddress(aDISCOVERY_LOOPBACK_GROUP);
    std::vector<linkSpec> seen;
    for (int k = 0; k < aDISCOVERY_SERVER_SLOTS && !search.stopped; ++k) {
        const auto serverPort = static_cast<unsigned short>(aDISCOVERY_SERVER_BASE_PORT + k);
        const auto replyPort = static_cast<unsigned short>(aDISCOVERY_CLIENT_BASE_PORT + k);
        aMulticast* probe = aMulticast_Create(0, group, serverPort, aMulticast_Receiver);
        if (probe) {
            aMulticast_Destroy(&probe);
            continue;
        }
        aMulticast* receiver = aMulticast_Create(0, group, replyPort, aMulticast_Receiver);
        aMulticast* sender = aMulticast_Create(0, group, serverPort, aMulticast_Sender);
        if (receiver && sender) {
            const uint32_t request = aDISCOVERY_MULTICAST_REQUEST;
            if (aMulticast_Send(sender, &request, sizeof(request)) == sizeof(request)) {
                uint8_t reply[129];
                int got = aMulticast_Receive(receiver, reply, sizeof(reply));
                if (got == 128) {
                    linkSpec spec;
                    aLinkSpec_FromBytes(reply, &spec);
                    if (sIsNewSpec(seen, spec) &&
                        (!localMode || spec.t.ip.ipAddress == sLoopback())) {
                        seen.push_back(spec);
                        search.report(spec);
                    } else if (aDebug_IsOn(0x10)) {
                        std::printf("We are in local mode, ignoring(2)\n");
                    }
                }
            }
        }
        aMulticast_Destroy(&receiver);
        aMulticast_Destroy(&sender);
    }
}

// Publishes the discovery text on the beacon port and collects the
// specifiers that serving processes beacon back.
void _findLinkSpecs_beacon(Search& search, bool localMode, unsigned int ownAddress) {
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (!beacon) return;
    zsock_send(beacon, "si", "CONFIGURE", int(aDISCOVERY_BEACON_PORT));
    char* hostname = zstr_recv(beacon);  // the interface's own address text, empty on failure
    bool usable = hostname && *hostname;
    zstr_free(&hostname);
    std::vector<linkSpec> seen;
    if (usable) {
        zsock_send(beacon, "sbi", "PUBLISH", aDISCOVERY_BEACON_FILTER,
                   int(std::strlen(aDISCOVERY_BEACON_FILTER)), 100);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", 0);
        zsock_set_rcvtimeo(beacon, 100);
        for (int attempt = 0; attempt < 22 && !search.stopped; ++attempt) {
            char* sender = zstr_recv(beacon);
            if (!sender) continue;
            zframe_t* payload = zframe_recv(beacon);
            if (payload && zframe_size(payload) == 128) {
                linkSpec spec;
                aLinkSpec_FromBytes(zframe_data(payload), &spec);
                bool addressOk = !localMode || spec.t.ip.ipAddress == sLoopback() ||
                                 spec.t.ip.ipAddress == ownAddress;
                if (sIsNewSpec(seen, spec) && addressOk) {
                    seen.push_back(spec);
                    search.report(spec);
                }
            }
            zframe_destroy(&payload);
            zstr_free(&sender);
        }
        zstr_sendx(beacon, "SILENCE", nullptr);
        zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    }
    zactor_destroy(&beacon);
}

}  // namespace

bool cbSNCallback(const linkSpec* spec, bool* counted, void* reference) {
    auto* wanted = static_cast<linkSpec*>(reference);
    if (spec->serialNumber != wanted->serialNumber) return true;
    std::memcpy(wanted, spec, sizeof(linkSpec));
    *counted = true;
    return false;
}

bool cbFirstCallback(const linkSpec* spec, bool* counted, void* reference) {
    if (spec->serialNumber == 0) return true;
    std::memcpy(reference, spec, sizeof(linkSpec));
    *counted = true;
    return false;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                    void* reference, unsigned int networkInterface) {
    if (!callback) return 0;
    switch (type) {
        case LINK_USB:
            return aDiscovery_EnumerateUSB(callback, reference);
        case LINK_TCPIP:
            return aDiscovery_EnumerateTCPIP(callback, reference, networkInterface);
        case LINK_ANET:
        case LINK_ANET_USB:
        case LINK_ANET_TCPIP:
        case LINK_ANET_SERIAL:
            return aDiscovery_Enumerate_aNetModules(callback, reference, networkInterface);
        default:
            return 0;
    }
}

static linkSpec* sFind(linkType type, linkSpec& wanted, aDiscoveryModuleFoundProc callback,
                       unsigned int networkInterface) {
    if (aDiscovery_EnumerateModules(type, callback, &wanted, networkInterface) == 0) return nullptr;
    return aLinkSpec_Copy(wanted);
}

linkSpec* aDiscovery_FindModule(linkType type, unsigned int serialNumber,
                                unsigned int networkInterface) {
    linkSpec wanted;
    std::memset(&wanted, 0, sizeof(wanted));
    wanted.serialNumber = serialNumber;
    return sFind(type, wanted, cbSNCallback, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, unsigned int networkInterface) {
    linkSpec wanted;
    std::memset(&wanted, 0, sizeof(wanted));
    return sFind(type, wanted, cbFirstCallback, networkInterface);
}

uint8_t aDiscovery_Enumerate_aNetModules(aDiscoveryModuleFoundProc callback, void* reference,
                                         unsigned int networkInterface) {
    if (!callback) return 0;
    Search search{callback, reference};
    const bool localMode = networkInterface == 0 || networkInterface == sLoopback();
    unsigned int interfaces[50];
    const int interfaceCount = aDiscovery_GetIPv4Interfaces(interfaces, 50);
    if (localMode || interfaceCount == 0) {
        _findLinkSpecs_multicast(search, true);
        return search.count;
    }
    char text[32];
    if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof(text)) == 0) return 0;
    if (zBeaconInterface_backupSetAndLock(text)) {
        _findLinkSpecs_beacon(search, localMode, networkInterface);
        zBeaconInterface_restoreAndUnlock();
    }
    return search.count;
}

int aDiscovery_ConvertIPv4Interface(unsigned int address, char* buffer, int length) {
    if (!buffer || length <= 15) return 0;
    std::memset(buffer, 0, static_cast<size_t>(length));
    uint8_t bytes[4];
    std::memcpy(bytes, &address, 4);
    int written = std::snprintf(buffer, static_cast<size_t>(length), "%u.%u.%u.%u", bytes[0],
                                bytes[1], bytes[2], bytes[3]);
    if (written <= 0 || written >= length) {
        std::memset(buffer, 0, static_cast<size_t>(length));
        return 0;
    }
    return written;
}
