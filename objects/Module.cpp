// Module: connection paths, address learning and the module queries.
#include "Module.h"

#include <cstdio>
#include <cstring>

#include "Lumivance2/common/aDebug.h"
#include "Lumivance2/common/aTime.h"

namespace Morvanex {
namespace Lumivance {

namespace {

constexpr int kAutoNetworkAttempts = 4;
constexpr unsigned long kAutoNetworkPauseMs = 5;
constexpr uint32_t kModuleDebugBit = 0x40;

// Module query selectors (second byte of a 0x49 request).
constexpr unsigned char kQueryHasUEI = 1;
constexpr unsigned char kQueryClassQuantity = 4;
constexpr unsigned char kQuerySubClassQuantity = 5;
constexpr unsigned char kQueryEntityGroup = 6;
constexpr unsigned char kQueryBuild = 0xFF;

}  // namespace

Module::Module(unsigned char address, unsigned char model) : Module(address, true, model) {}

Module::Module(unsigned char address, bool networking, unsigned char model)
    : m_link(new Link("Link")),
      m_moduleAddress(address),
      m_networkingMode(networking),
      m_model(model) {}

Module::~Module() {
    delete m_link;
}

// ---- Connection -------------------------------------------------------------

aErr Module::connect(linkType type, unsigned int serialNumber) {
    if (serialNumber == 0) return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, unsigned int serialNumber) {
    if (!m_link) return aErrInitialization;
    aErr err = m_link->discoverAndConnect(type, serialNumber, m_model);
    if (err != aErrNone) return err;
    return _autoNetwork();
}

aErr Module::connectFromSpec(linkSpec spec) {
    if (!m_link) return aErrInitialization;
    if (m_link->isConnected()) return aErrBusy;
    aErr err = m_link->setLinkSpecifier(spec);
    if (err == aErrNone) err = m_link->connect();
    if (err != aErrNone) return err;
    err = _autoNetwork();
    if (aDebug_IsOn(kModuleDebugBit)) std::printf("Post autoNetwork err: %d\n", err);
    return err;
}

aErr Module::connectThroughLinkModule(Module* other) {
    if (!m_link) return aErrInitialization;
    if (m_link->isConnected()) return aErrNone;
    if (!other || !other->m_link) return aErrInitialization;
    linkSpec spec;
    if (other->m_link->getLinkSpecifier(&spec) != aErrNone) return aErrNotFound;
    aNetConfig config;
    aErr err = other->m_link->getConfig(&config);
    if (err == aErrNone) err = m_link->setConfig(config);
    if (err != aErrNone) return err;
    if (config.enabled) {
        // Reach the device through the server that the other module's connect
        // made.
        spec.type = LINK_ANET;
        spec.t.ip.ipAddress = config.networkInterface;
        spec.t.ip.ipPort = config.port;
    }
    err = m_link->setLinkSpecifier(spec);
    if (err == aErrNone) err = m_link->connectThroughLinkModule(*other->m_link);
    if (err != aErrNone) return err;
    // Keep the address of the module behind the router instead of learning
    // the address of the device at the other end of the shared link.
    m_networkingMode = false;
    return aErrNone;
}

aErr Module::reconnect() {
    if (!m_link) return aErrInitialization;
    aErr err = m_link->connect();
    if (err != aErrNone) return err;
    return _autoNetwork();
}

aErr Module::disconnect() {
    if (!m_link) return aErrInitialization;
    return m_link->disconnect();
}

bool Module::isConnected() const {
    return m_link && m_link->isConnected();
}

int Module::getStatus() const {
    return m_link ? m_link->getStatus() : kLinkStatusNoLink;
}

aErr Module::_autoNetwork() {
    if (!m_networkingMode || !m_link) return aErrNone;
    unsigned char address = 0;
    aErr err = aErrNotReady;
    for (int attempt = 0; attempt < kAutoNetworkAttempts && err == aErrNotReady; ++attempt) {
        err = m_link->getModuleAddress(&address);
        if (err != aErrNone) aTime_MSSleep(kAutoNetworkPauseMs);
    }
    if (err != aErrNone && aDebug_IsOn(kModuleDebugBit)) std::printf("BOO! Failed to autoNetwork");
    if (address != 0 && address != m_moduleAddress) m_moduleAddress = address;
    return err;
}

// ---- Identity and configuration -------------------------------------------

unsigned char Module::getModuleAddress() const {
    return m_moduleAddress;
}

void Module::setModuleAddress(unsigned char address) {
    m_moduleAddress = address;
}

Link* Module::getLink() const {
    return m_link;
}

aErr Module::getLinkSpecifier(linkSpec* spec) const {
    if (!m_link) return aErrNotReady;
    return m_link->getLinkSpecifier(spec);
}

aErr Module::getConfig(aNetConfig* config) const {
    if (!m_link) return aErrNotReady;
    if (!config) return aErrParam;
    return m_link->getConfig(config);
}

aErr Module::setConfig(aNetConfig config) {
    if (!m_link) return aErrNotReady;
    return m_link->setConfig(config);
}

void Module::setNetworkingMode(bool networking) {
    m_networkingMode = networking;
}

aErr Module::enablePacketLog(const char* path) {
    if (!m_link) return aErrConfiguration;
    return m_link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
    if (!m_link) return aErrConfiguration;
    return m_link->disablePacketLog();
}

// ---- Module queries ---------------------------------------------------------

aErr Module::_query(const unsigned char* request, unsigned char requestLength,
                    unsigned char matchLength, unsigned char* reply, unsigned char* replyLength) {
    if (!m_link || !m_link->isConnected()) return aErrConnection;
    // request[0] is the command byte; the rest are its data.
    aErr err = m_link->sendPacket(m_moduleAddress, request[0], requestLength - 1, request + 1);
    if (err != aErrNone) return err;
    *replyLength = matchLength;
    return m_link->receivePacket(m_moduleAddress, request, replyLength, reply);
}

aErr Module::getBuild(unsigned int* build) {
    if (!build) return aErrParam;
    if (!m_link) return aErrInitialization;
    const unsigned char request[] = {kModuleQueryCommand, kQueryBuild};
    unsigned char reply[aPACKET_MAXDATA];
    unsigned char length = 0;
    aErr err = _query(request, sizeof request, 2, reply, &length);
    if (err != aErrNone) return err;
    if (length != 6) return aErrSize;
    *build = aUEI_RetrieveInt(&reply[2]);
    return aErrNone;
}

aErr Module::hasUEI(unsigned char command, unsigned char option, unsigned char index,
                    unsigned char flags) {
    if ((flags & 0x3F) != 0 || flags == (kHasUEIGet | kHasUEISet)) return aErrParam;
    const unsigned char request[] = {
        kModuleQueryCommand, kQueryHasUEI, command, option, index, flags};
    unsigned char reply[aPACKET_MAXDATA];
    unsigned char length = 0;
    aErr err = _query(request, sizeof request, 1, reply, &length);
    if (err != aErrNone) return err;
    if (length != 6 || std::memcmp(reply, request, 5) != 0) return aErrUnknown;
    return reply[5];
}

aErr Module::classQuantity(unsigned char command, unsigned char* quantity) {
    if (!quantity) return aErrParam;
    *quantity = 0;
    const unsigned char request[] = {kModuleQueryCommand, kQueryClassQuantity, command};
    unsigned char reply[aPACKET_MAXDATA];
    unsigned char length = 0;
    aErr err = _query(request, sizeof request, 1, reply, &length);
    if (err != aErrNone) return err;
    if (length != 4 || std::memcmp(reply, request, 3) != 0) return aErrUnknown;
    *quantity = reply[3];
    return aErrNone;
}

aErr Module::subClassQuantity(unsigned char command, unsigned char subClass,
                              unsigned char* quantity) {
    if (!quantity) return aErrParam;
    *quantity = 0;
    const unsigned char request[] = {kModuleQueryCommand, kQuerySubClassQuantity, command,
                                     subClass};
    unsigned char reply[aPACKET_MAXDATA];
    unsigned char length = 0;
    aErr err = _query(request, sizeof request, 1, reply, &length);
    if (err != aErrNone) return err;
    if (length != 5 || std::memcmp(reply, request, 4) != 0) return aErrUnknown;
    *quantity = reply[4];
    return aErrNone;
}

aErr Module::entityGroup(unsigned char command, unsigned char subClass, unsigned char* group) {
    if (!group) return aErrParam;
    *group = 0;
    const unsigned char request[] = {kModuleQueryCommand, kQueryEntityGroup, command, subClass};
    unsigned char reply[aPACKET_MAXDATA];
    unsigned char length = 0;
    aErr err = _query(request, sizeof request, 1, reply, &length);
    if (err != aErrNone) return err;
    if (length != 5 || std::memcmp(reply, request, 4) != 0) return aErrUnknown;
    *group = reply[4];
    return aErrNone;
}

aErr Module::debug(const unsigned char* data, unsigned char length) {
    if (!m_link || !m_link->isConnected()) return aErrConnection;
    aErr err = m_link->sendPacket(m_moduleAddress, kEchoCommand, length, data);
    if (err != aErrNone) return err;
    const unsigned char match[] = {kEchoCommand};
    unsigned char reply[aPACKET_MAXDATA];
    unsigned char replyLength = 1;
    err = m_link->receivePacket(m_moduleAddress, match, &replyLength, reply);
    if (err != aErrNone || replyLength != length + 1u ||
        (length && std::memcmp(&reply[1], data, length) != 0))
        return aErrIO;
    return aErrNone;
}

}  // namespace Lumivance
}  // namespace Morvanex
