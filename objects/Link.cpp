// Link: connection management and request/reply exchanges over the engine
// link's packet queues.
#include "Link.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "Lumivance2/common/aDebug.h"
#include "Lumivance2/common/aLink.h"
#include "Lumivance2/common/aLogger.h"
#include "Lumivance2/common/aPacketDebug.h"
#include "Lumivance2/common/aStream.h"
#include "Lumivance2/common/aTime.h"
#include "Lumivance2/common/discover.h"

namespace Morvanex {
namespace Lumivance {

namespace {

// Held for the whole of every link creation: no two links of this process
// are created at the same time, so two creations for one device cannot both
// miss the other's registry entry.
std::mutex linkCreateHelperSerializer;

constexpr unsigned long kReplyWaitMs = 1000;
constexpr unsigned long kLargeReplyWaitMs = 4000;
constexpr uint64_t kLargePayload = 1000;
constexpr unsigned char kMaxCommandData = aPACKET_MAXDATA - 1;  // command byte + 27
constexpr size_t kBytesChunk = 24;  // command, option, specifier, 24 bytes, sequence
constexpr int kLinkPolls = 200;
constexpr unsigned long kLinkPollMs = 10;
constexpr unsigned kLogReadBuffer = 64;
constexpr unsigned long kLogIdleMs = 5;

bool debugOn() {
    return aDebug_IsOn(0x1);
}

bool badModule(unsigned char module) {
    return module == 0 || (module & 1) != 0;
}

// Accepts the first packet with no data bytes: the answer to a 0xAD query.
uint8_t MatchMagic(const aPacket* packet, void*) {
    return aVALIDPACKET(packet) && packet->length == 0;
}

struct CommandMatch {
    const unsigned char* match;
    unsigned char length;
};

// Accepts the first packet whose leading data bytes equal the match.
uint8_t sCommandFilter(const aPacket* packet, void* reference) {
    const CommandMatch* m = static_cast<const CommandMatch*>(reference);
    if (!aVALIDPACKET(packet) || packet->length < m->length) return 0;
    return m->length == 0 || std::memcmp(packet->data, m->match, m->length) == 0;
}

// Accepts the reply to a UEI message and copies its value into the message.
// The message carries the option and bare index expected back.
uint8_t sUEIFilter(const aPacket* packet, void* reference) {
    uei* message = static_cast<uei*>(reference);
    if (!aVALIDPACKET(packet) || packet->address != message->module || packet->length <= 2)
        return 0;
    const uint8_t* d = packet->data;
    if (d[0] != message->command || d[1] != message->option ||
        (d[2] & aUEI_INDEX_MASK) != message->specifier)
        return 0;
    if (d[2] & aUEI_SPEC_ERROR) {
        // Error reply: the first value byte is the device's error code. The
        // message now holds a byte, so a byte-run pointer is not half-kept.
        message->specifier = d[2];
        message->value.raw = 0;
        message->value.byteVal = packet->length > 3 ? d[3] : 0;
        message->type = UEI_TYPE_BYTE;
        return 1;
    }
    switch (packet->length) {
        case 3:
            message->type = UEI_TYPE_VOID;
            break;
        case 4:
            message->value.raw = 0;
            message->value.byteVal = d[3];
            message->type = UEI_TYPE_BYTE;
            break;
        case 5:
            message->value.raw = 0;
            message->value.shortVal = aUEI_RetrieveShort(&d[3]);
            message->type = UEI_TYPE_SHORT;
            break;
        case 7:
            message->value.raw = 0;
            message->value.intVal = aUEI_RetrieveInt(&d[3]);
            message->type = UEI_TYPE_INT;
            break;
        default:
            break;  // accepted, message unchanged
    }
    return 1;
}

// Enumeration callback of discovery by model: takes the first device whose
// model matches (any model for 0).
bool cbModelCallback(const linkSpec* spec, bool* counted, void* reference) {
    linkSpec* wanted = static_cast<linkSpec*>(reference);
    if (wanted->model != 0 && spec->model != wanted->model) return true;
    *wanted = *spec;
    *counted = true;
    return false;
}

aErr putPacket(int32_t id, unsigned char module, const uint8_t* data, size_t length) {
    static const uint8_t none[1] = {0};
    aPacket* packet = aPacket_CreateWithData(module, length, length ? data : none);
    if (!packet) return aErrResource;
    aErr err = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return err;
}

}  // namespace

uint32_t aNetLoopbackInterface() {
    const uint8_t bytes[4] = {127, 0, 0, 1};
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

bool isANET(linkType type) {
    return type >= LINK_ANET && type <= LINK_ANET_SERIAL;
}

bool _fallbackHelper(aErr result, linkType type, bool fallback) {
    if (!fallback) return false;
    if (result != aErrNotFound && result != aErrInitialization && result != aErrConnection)
        return false;
    return type == LINK_USB || type == LINK_TCPIP || isANET(type);
}

struct Link::impl {
    explicit impl(Link& o, const char* n) : owner(o) {
        if (n) name.assign(n, strnlen(n, kMaxName));
    }

    static constexpr size_t kMaxName = 1024;

    Link& owner;
    std::atomic<int32_t> linkId{0};
    aLogger* logger = nullptr;
    int32_t loggerLinkId = 0;
    aNetConfig config;
    std::string name;
    linkSpec* specifier = nullptr;
    bool created = false;          // the last linkCreateHelper called a creation function
    mutable std::mutex stateLock;  // guards specifier, config and logger

    bool connected() const {
        int32_t id = linkId.load();
        return id != 0 && aLink_GetStatus(id) == LINK_STATUS_RUNNING;
    }

    aErr connectHelper();
    aErr linkCreateHelper(linkSpec& spec);
    aErr waitForLink(int maxPolls);
    aErr discoveryAndConnectHelper(linkType type, unsigned int serialNumber, unsigned char model);
    aErr awaitUEI(uei* message, aPacketFilter filter);
    static aErr readDebugBuffer(aFile* file, int32_t linkId);
};

aErr Link::impl::connectHelper() {
    created = false;
    linkSpec copy;
    {
        std::lock_guard<std::mutex> g(stateLock);
        if (!specifier) return aErrConfiguration;
        copy = *specifier;
    }
    aErr err = linkCreateHelper(copy);
    if (err != aErrNone) return err;
    if (linkId.load() == 0) return aErrConnection;
    return waitForLink(kLinkPolls);
}

aErr Link::impl::linkCreateHelper(linkSpec& spec) {
    std::lock_guard<std::mutex> serial(linkCreateHelperSerializer);
    created = false;
    aNetConfig cfg;
    {
        std::lock_guard<std::mutex> g(stateLock);
        cfg = config;
    }
    if (cfg.enabled && spec.type != LINK_INVALID && spec.type <= LINK_ANET_SERIAL) {
        // Sharing a device through a local network server, and client links to
        // such a server, are not available in this build: refuse before any
        // link is made, so that nothing is left half-made.
        return aErrUnimplemented;
    }
    switch (spec.type) {
        case LINK_USB:
            linkId = aLink_CreateUSB(spec.serialNumber);
            break;
        case LINK_TCPIP:
            linkId = aLink_CreateTCPIP(spec.serialNumber, spec.t.ip.ipAddress,
                                       static_cast<uint16_t>(spec.t.ip.ipPort));
            break;
        case LINK_SERIAL: {
            char port[LINKSPEC_PORTNAME_SIZE + 1];
            std::memcpy(port, spec.t.serial.portName, LINKSPEC_PORTNAME_SIZE);
            port[LINKSPEC_PORTNAME_SIZE] = '\0';
            linkId = aLink_CreateSerial(spec.serialNumber, port, spec.t.serial.baudRate);
            break;
        }
        case LINK_ANET:
        case LINK_ANET_USB:
        case LINK_ANET_TCPIP:
        case LINK_ANET_SERIAL:
            return aErrConfiguration;  // aNet links need networking enabled
        default:
            return aErrMode;
    }
    created = true;
    return aErrNone;
}

aErr Link::impl::waitForLink(int maxPolls) {
    int32_t id = linkId.load();
    switch (aLink_GetStatus(id)) {
        case LINK_STATUS_STOPPED:
        case LINK_STATUS_INITIALIZING:
        case LINK_STATUS_SYNCING:
            for (int i = 0; i < maxPolls && aLink_GetStatus(id) != LINK_STATUS_RUNNING; ++i)
                aTime_MSSleep(kLinkPollMs);
            return aLink_GetStatus(id) == LINK_STATUS_RUNNING ? aErrNone : aErrConnection;
        case LINK_STATUS_RUNNING:
            return aErrNone;
        case LINK_STATUS_STOPPING:
            return aErrBusy;
        case LINK_STATUS_INVALID:
        case LINK_STATUS_IO_ERROR:
        case LINK_STATUS_PACKET_ERROR:
            return aErrConnection;
        default:
            return aErrDuplicate;
    }
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, unsigned int serialNumber,
                                           unsigned char model) {
    uint32_t iface;
    {
        std::lock_guard<std::mutex> g(stateLock);
        iface = config.networkInterface;
    }
    linkSpec* found = nullptr;
    if (serialNumber != 0) {
        found = aDiscovery_FindModule(type, serialNumber, iface);
    } else {
        found = aLinkSpec_Create(type);
        if (!found) return aErrMemory;
        found->model = model;
        if (aDiscovery_EnumerateModules(type, cbModelCallback, found, iface) == 0)
            aLinkSpec_Destroy(&found);
    }
    if (!found) return aErrNotFound;
    aErr err = owner.setLinkSpecifier(*found);
    aLinkSpec_Destroy(&found);
    if (err != aErrNone) return err;
    return owner.connect();
}

aErr Link::impl::awaitUEI(uei* message, aPacketFilter filter) {
    unsigned long wait = kReplyWaitMs;
    if (message->type == UEI_TYPE_BYTES && message->size > kLargePayload) {
        wait = kLargeReplyWaitMs;
        if (debugOn()) std::printf("receiveUEI - Expanding timeout for large payload: %lu\n", wait);
    }
    aPacket* reply = aLink_AwaitFirst(linkId.load(), filter, message, wait);
    if (!reply) return aErrTimeout;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::impl::readDebugBuffer(aFile* file, int32_t linkId) {
    int type = 0;
    unsigned length = kLogReadBuffer;
    uint8_t buffer[kLogReadBuffer];
    aErr err = aLink_PacketDebug_Read(linkId, &type, &length, buffer);
    if (err != aErrNone) {
        // Nothing logged, no log, or the link is gone: wait instead of spinning.
        aTime_MSSleep(kLogIdleMs);
        return err;
    }
    aFile_Printf(file, "%d %s ", static_cast<int>(length), type == aPACKETLOG_SENT ? ">" : "<");
    for (unsigned i = 0; i < length; ++i) {
        if (type == aPACKETLOG_TEXT)
            aFile_Printf(file, "%c", buffer[i]);
        else
            aFile_Printf(file, "0x%X ", buffer[i]);
    }
    aFile_Printf(file, "\r\n");
    return aErrNone;
}

// ---- Construction and identity --------------------------------------------

Link::Link(linkSpec spec, const char* name) : m_pImpl(new impl(*this, name)) {
    setLinkSpecifier(spec);
}

Link::Link(const char* name) : m_pImpl(new impl(*this, name)) {}

Link::~Link() {
    aLogger_Destroy(&m_pImpl->logger);
    disconnect();
    aLinkSpec_Destroy(&m_pImpl->specifier);
    delete m_pImpl;
}

const char* Link::getName() const {
    return m_pImpl->name.c_str();
}

aErr Link::getLinkSpecifier(linkSpec* out) const {
    std::lock_guard<std::mutex> g(m_pImpl->stateLock);
    if (!m_pImpl->specifier) return aErrNotFound;
    if (!out) return aErrParam;
    *out = *m_pImpl->specifier;
    return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec) {
    if (isConnected()) return aErrBusy;
    linkSpec* copy = aLinkSpec_Copy(spec);
    if (!copy) return aErrMemory;
    std::lock_guard<std::mutex> g(m_pImpl->stateLock);
    if (m_pImpl->specifier) aLinkSpec_Destroy(&m_pImpl->specifier);
    m_pImpl->specifier = copy;
    return aErrNone;
}

aErr Link::getConfig(aNetConfig* out) const {
    if (!out) return aErrParam;
    std::lock_guard<std::mutex> g(m_pImpl->stateLock);
    *out = m_pImpl->config;
    return aErrNone;
}

aErr Link::setConfig(aNetConfig config) {
    if (isConnected()) return aErrMode;
    std::lock_guard<std::mutex> g(m_pImpl->stateLock);
    m_pImpl->config = config;
    return aErrNone;
}

// ---- Connection -------------------------------------------------------------

aErr Link::connect() {
    if (m_pImpl->linkId.load() != 0) return aErrConnection;
    return m_pImpl->connectHelper();
}

aErr Link::discoverAndConnect(linkType type, unsigned int serialNumber, unsigned char model) {
    aErr err = m_pImpl->discoveryAndConnectHelper(type, serialNumber, model);
    aNetConfig cfg;
    getConfig(&cfg);
    if (_fallbackHelper(err, type, cfg.fallback)) {
        linkType other =
            isANET(type) ? static_cast<linkType>(LINK_USB) : static_cast<linkType>(LINK_ANET);
        if (debugOn())
            std::printf("Executing Fallback - old type: %d - new type: %d\n",
                        static_cast<int>(type), static_cast<int>(other));
        err = m_pImpl->discoveryAndConnectHelper(other, serialNumber, model);
    }
    return err;
}

aErr Link::connectThroughLinkModule(Link& other) {
    int32_t otherId = other.m_pImpl->linkId.load();
    if (otherId == 0) return aErrInitialization;
    if (m_pImpl->linkId.load() != 0) return aErrConnection;
    m_pImpl->linkId = otherId;
    aErr err = m_pImpl->connectHelper();
    if (!m_pImpl->created) {
        // No creation took a user of the shared link: drop the borrowed id so
        // that disconnecting cannot release the other object's user.
        m_pImpl->linkId = 0;
    }
    return err;
}

aErr Link::connectStream(aStream* stream) {
    if (m_pImpl->linkId.load() != 0) {
        aStream_Destroy(&stream);
        return aErrConnection;
    }
    {
        std::lock_guard<std::mutex> serial(linkCreateHelperSerializer);
        m_pImpl->linkId = aLink_Create(stream);
    }
    if (m_pImpl->linkId.load() == 0) return aErrConnection;
    return m_pImpl->waitForLink(kLinkPolls);
}

bool Link::isConnected() const {
    return m_pImpl->connected();
}

int Link::getStatus() const {
    int32_t id = m_pImpl->linkId.load();
    if (id == 0) return kLinkStatusNoLink;
    return aLink_GetStatus(id);
}

aErr Link::disconnect() {
    int32_t id = m_pImpl->linkId.exchange(0);
    if (id != 0) aLink_Destroy(&id);
    return aErrNone;
}

aErr Link::reset() {
    int32_t id = m_pImpl->linkId.load();
    if (id != 0) aLink_Reset(id);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable) {
    return aLink_EnablePooledPackets(m_pImpl->linkId.load(), enable);
}

// ---- Module address ---------------------------------------------------------

aErr Link::getModuleAddress(unsigned char* address) {
    if (!address) return aErrParam;
    *address = 0;
    if (!isConnected()) return aErrNotReady;
    int32_t id = m_pImpl->linkId.load();
    if (debugOn()) std::printf("getModuleAddress\n");
    if (putPacket(id, aLINK_SYNC_ADDRESS, nullptr, 0) != aErrNone) return aErrNotReady;
    if (debugOn()) std::printf("getModuleAddress wait\n");
    aPacket* reply = aLink_AwaitFirst(id, MatchMagic, nullptr, kReplyWaitMs);
    if (!reply) return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

// ---- Raw command packets ----------------------------------------------------

aErr Link::sendPacket(unsigned char module, unsigned char command, unsigned char length,
                      const unsigned char* data) {
    if (!isConnected()) return aErrConnection;
    if (length > kMaxCommandData) return aErrParam;
    if (badModule(module)) return aErrPacket;
    if (length > 0 && !data) return aErrParam;
    uint8_t bytes[aPACKET_MAXDATA];
    bytes[0] = command;
    if (length) std::memcpy(&bytes[1], data, length);
    return putPacket(m_pImpl->linkId.load(), module, bytes, length + 1u);
}

aErr Link::receivePacket(unsigned char module, const unsigned char* match, unsigned char* length,
                         unsigned char* data) {
    if (!isConnected()) return aErrConnection;
    if (badModule(module)) return aErrPacket;
    if (!length || !data || (*length > 0 && !match) || *length > aPACKET_MAXDATA) return aErrParam;
    CommandMatch m{match, *length};
    aPacket* reply = aLink_AwaitFirst(m_pImpl->linkId.load(), sCommandFilter, &m, kReplyWaitMs);
    if (!reply) return aErrTimeout;
    *length = reply->length;
    std::memcpy(data, reply->data, reply->length);
    aPacket_Destroy(&reply);
    return aErrNone;
}

// ---- UEI messages -----------------------------------------------------------

aErr Link::sendUEI(uei message) {
    if (!isConnected()) return aErrConnection;
    if (badModule(message.module)) return aErrPacket;
    int32_t id = m_pImpl->linkId.load();
    uint8_t d[aPACKET_MAXDATA] = {message.command, message.option, message.specifier};
    switch (message.type) {
        case UEI_TYPE_VOID:
            return putPacket(id, message.module, d, 3);
        case UEI_TYPE_BYTE:
            d[3] = message.value.byteVal;
            return putPacket(id, message.module, d, 4);
        case UEI_TYPE_SHORT:
            aUEI_StoreShort(&d[3], message.value.shortVal);
            return putPacket(id, message.module, d, 5);
        case UEI_TYPE_INT:
            aUEI_StoreInt(&d[3], message.value.intVal);
            return putPacket(id, message.module, d, 7);
        case UEI_TYPE_BYTES:
            break;
        default:
            return aErrParam;
    }
    if (message.size > 0 && !message.value.bytes) return aErrParam;
    aErr err = aErrNone;
    uint64_t offset = 0;
    unsigned chunk = 0;
    do {
        size_t n = static_cast<size_t>(message.size - offset < kBytesChunk ? message.size - offset
                                                                           : kBytesChunk);
        bool more = offset + n < message.size;
        if (n) std::memcpy(&d[3], message.value.bytes + offset, n);
        d[3 + n] = static_cast<uint8_t>((chunk % 128) | (more ? aUEI_BYTES_CONTINUE : 0));
        err = putPacket(id, message.module, d, n + 4);
        offset += n;
        ++chunk;
    } while (err == aErrNone && offset < message.size);
    return err;
}

aErr Link::sendUEI(uei message, unsigned char subindex) {
    if (!isConnected()) return aErrConnection;
    if (badModule(message.module)) return aErrPacket;
    uint8_t d[aPACKET_MAXDATA] = {message.command, message.option, message.specifier, subindex};
    size_t length;
    switch (message.type) {
        case UEI_TYPE_VOID:
            length = 4;
            break;
        case UEI_TYPE_BYTE:
            d[4] = message.value.byteVal;
            length = 5;
            break;
        case UEI_TYPE_SHORT:
            aUEI_StoreShort(&d[4], message.value.shortVal);
            length = 6;
            break;
        case UEI_TYPE_INT:
            aUEI_StoreInt(&d[4], message.value.intVal);
            length = 8;
            break;
        default:
            return aErrParam;  // a byte run has no subindexed layout
    }
    return putPacket(m_pImpl->linkId.load(), message.module, d, length);
}

aErr Link::receiveUEI(unsigned char module, unsigned char command, unsigned char option,
                      unsigned char specifier, uei* message) {
    return receiveUEI(module, command, option, specifier, message, sUEIFilter);
}

aErr Link::receiveUEI(unsigned char module, unsigned char, unsigned char, unsigned char,
                      uei* message, aPacketFilter filter) {
    if (!isConnected()) return aErrConnection;
    if (badModule(module)) return aErrPacket;
    if (!message || !filter) return aErrParam;
    return m_pImpl->awaitUEI(message, filter);
}

aErr Link::dropMatchingUEIPackets(unsigned char module, unsigned char command, unsigned char option,
                                  unsigned char specifier) {
    if (!isConnected()) return aErrConnection;
    if (badModule(module)) return aErrPacket;
    uei message{};
    message.module = module;
    message.command = command;
    message.option = option;
    message.specifier = specifier;
    aLink_DrainPackets(m_pImpl->linkId.load(), sUEIFilter, &message);
    return aErrNone;
}

// ---- Packet log -------------------------------------------------------------

aErr Link::enablePacketLog(const char* path) {
    int32_t id = m_pImpl->linkId.load();
    if (id == 0) return aErrConfiguration;
    aErr err = aLink_PacketDebug_Enable(id);
    if (err != aErrNone) return err;
    std::lock_guard<std::mutex> g(m_pImpl->stateLock);
    if (m_pImpl->logger && m_pImpl->loggerLinkId != id) {
        // The logger drains one link id; after a reconnect it follows the new one.
        aLogger_Destroy(&m_pImpl->logger);
    }
    if (!m_pImpl->logger) {
        m_pImpl->logger = aLogger_Create(id, impl::readDebugBuffer, path);
        m_pImpl->loggerLinkId = id;
    }
    if (!m_pImpl->logger) return aErrNone;
    err = aLogger_Enable(m_pImpl->logger);
    if (err == aErrNone) {
        static const uint8_t start[] = "START";
        aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, sizeof start, start);
    }
    return err;
}

aErr Link::disablePacketLog() {
    int32_t id = m_pImpl->linkId.load();
    if (id == 0) return aErrConfiguration;
    aLink_PacketDebug_Disable(id);
    std::lock_guard<std::mutex> g(m_pImpl->stateLock);
    return m_pImpl->logger ? aLogger_Disable(m_pImpl->logger) : aErrNone;
}

}  // namespace Lumivance
}  // namespace Morvanex
