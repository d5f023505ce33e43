#include "DeviceQueries.h"

#include <cstring>
#include <string>

#include "Log.h"
#include "Lumivance2/common/aVersion.h"
#include "Lumivance2/common/discover.h"
#include "objects/SystemClass.h"

using Morvanex::Lumivance::Module;
using Morvanex::Lumivance::SystemClass;

namespace {

constexpr uint8_t kBuildQuery[] = {0x49, 0xFF};
const unsigned int kLoopbackInterface = [] {
    const uint8_t bytes[4] = {127, 0, 0, 1};
    unsigned int value;
    std::memcpy(&value, bytes, 4);
    return value;
}();

struct LinkTypeSearch {
    uint32_t serial;
    linkType found;
};

bool _discovered_link(const linkSpec* spec, bool* counted, void* reference) {
    auto* search = static_cast<LinkTypeSearch*>(reference);
    if (spec->serialNumber != search->serial) return true;
    search->found = spec->type;
    *counted = true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             int(spec->type));
    return false;
}

}  // namespace

aErr _disableNet(Module& module, UpdaterDisplayInterface& display) {
    Morvanex::Lumivance::aNetConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    config.port = 0;
    config.networkInterface = kLoopbackInterface;
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(UpdaterDisplayInterface::Error, "Failed to SET network configuration");
    return err;
}

uint32_t _get_build_number(Module& module) {
    Morvanex::Lumivance::Link* link = module.getLink();
    if (!link) return 0;
    const unsigned char address = module.getModuleAddress();
    if (link->sendPacket(address, kBuildQuery[0], 1, &kBuildQuery[1]) != aErrNone) return 0;
    unsigned char reply[32] = {0};
    unsigned char length = sizeof(kBuildQuery);
    if (link->receivePacket(address, kBuildQuery, &length, reply) != aErrNone) return 0;
    if (length != 6) return 0;
    return uint32_t(reply[2]) << 24 | uint32_t(reply[3]) << 16 | uint32_t(reply[4]) << 8 | reply[5];
}

aErr _get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    aErr err = system.init(&module, 0);
    if (err != aErrNone) return err;
    unsigned int version = 0;
    if ((err = system.getVersion(&version)) != aErrNone) return err;
    info.versionMajor = aVersion_ParseMajor(version);
    info.versionMinor = aVersion_ParseMinor(version);
    info.versionPatch = aVersion_ParsePatch(version);
    unsigned char address = 0;
    if ((err = system.getModule(&address)) != aErrNone) return err;
    info.spec.moduleAddress = address;
    if ((err = system.getRouter(&address)) != aErrNone) return err;
    info.spec.routerAddress = address;
    return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& info) {
    if (!aVersion_IsAtLeastCompare(info.versionMajor, info.versionMinor, uint8_t(info.versionPatch),
                                   2, 10, 4))
        return aErrNone;
    SystemClass system;
    aErr err = system.init(&module, 0);
    if (err != aErrNone) return err;
    unsigned char name[32] = {0};
    size_t count = 0;
    err = system.getName(name, sizeof(name), &count);
    if (err == aErrNone) {
        if (count > sizeof(name)) count = sizeof(name);
        // The stored name may be padded with NULs: show the text before them.
        info.deviceName.assign(reinterpret_cast<const char*>(name),
                               strnlen(reinterpret_cast<const char*>(name), count));
    }
    return err;
}

linkType _discover_link_type(uint32_t serial) {
    LinkTypeSearch search{serial, LINK_INVALID};
    aDiscovery_EnumerateModules(LINK_USB, _discovered_link, &search, kLoopbackInterface);
    if (search.found == LINK_INVALID)
        aDiscovery_EnumerateModules(LINK_TCPIP, _discovered_link, &search, kLoopbackInterface);
    return search.found;
}
