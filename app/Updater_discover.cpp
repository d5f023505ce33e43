// The discover command: lists the modules reachable over USB or TCP/IP, or
// walks the I2C network behind one router module.
#include <cstring>
#include <memory>

#include "DeviceQueries.h"
#include "Log.h"
#include "Lumivance2/common/discover.h"
#include "Updater.h"
#include "objects/I2CClass.h"
#include "objects/SystemClass.h"

using Morvanex::Lumivance::I2CClass;
using Morvanex::Lumivance::Module;
using Morvanex::Lumivance::SystemClass;

namespace {

const unsigned int kLoopbackInterface = [] {
    const uint8_t bytes[4] = {127, 0, 0, 1};
    unsigned int value;
    std::memcpy(&value, bytes, 4);
    return value;
}();

constexpr unsigned char kDefaultModuleAddress = 2;
constexpr unsigned char kFirstNetworkAddress = 2;
constexpr unsigned char kLastNetworkAddress = 252;
constexpr unsigned char kI2CSpeed = 3;

bool _discovered_device(const linkSpec* spec, bool* counted, void* reference) {
    auto* list = static_cast<std::vector<DeviceInfo>*>(reference);
    DeviceInfo info;
    std::memcpy(&info.spec, spec, sizeof(linkSpec));
    list->push_back(info);
    *counted = true;
    return true;
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<DeviceInfo> list;
    std::vector<linkType> types;
    if (type == LINK_INVALID)
        types = {LINK_USB, LINK_TCPIP};
    else
        types = {type};
    for (linkType t : types)
        aDiscovery_EnumerateModules(t, _discovered_device, &list, kLoopbackInterface);

    for (DeviceInfo& info : list) {
        info.modelName = aDefs_GetModelName(info.spec.model);
        auto module =
            std::make_unique<Module>(kDefaultModuleAddress, static_cast<unsigned char>(0));
        if (_disableNet(*module, display) != aErrNone) continue;
        info.error = module->connectFromSpec(info.spec);
        if (info.error == aErrNone) {
            info.build = _get_build_number(*module);
            info.error = _get_version(*module, info);
            if (info.error == aErrNone) info.error = _get_device_name(*module, info);
        }
        module->disconnect();
    }
    return list;
}

std::vector<DeviceInfo> Updater::Discover_LVNetwork_Devices(unsigned routerSerial, linkType type) {
    std::vector<DeviceInfo> list;
    if (type == LINK_INVALID) type = _discover_link_type(routerSerial);
    linkSpec* found = aDiscovery_FindModule(type, routerSerial, kLoopbackInterface);
    if (!found) return list;
    linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);

    Log::log(DEBUG_Updater, "Found Link Module");
    Module router(kDefaultModuleAddress, static_cast<unsigned char>(0));
    if (_disableNet(router, display) != aErrNone) return list;
    aErr err = router.connectFromSpec(routerSpec);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::Error, "Error %d on connectFromSpec", err);
        return list;
    }
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    err = routerSystem.routeToMe(1);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::Error, "Error %d on route to me", err);
        router.disconnect();
        return list;
    }
    I2CClass i2c;
    i2c.init(&router, 0);
    i2c.setSpeed(kI2CSpeed);

    const unsigned char routerAddress = router.getModuleAddress();
    for (unsigned address = kFirstNetworkAddress; address <= kLastNetworkAddress; address += 2) {
        if (address == routerAddress) continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        const unsigned char probe[2] = {0, 0};
        if (i2c.write(static_cast<unsigned char>(address), sizeof(probe), probe) != aErrNone)
            continue;

        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
        auto module = std::make_unique<Module>(static_cast<unsigned char>(address), false,
                                               static_cast<unsigned char>(0));
        _disableNet(*module, display);
        if (module->connectThroughLinkModule(&router) != aErrNone) continue;

        SystemClass system;
        system.init(module.get(), 0);
        unsigned int serial = 0;
        if (system.getSerialNumber(&serial) != aErrNone) {
            module->disconnect();
            continue;
        }
        Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
        DeviceInfo info;
        info.spec.type = type;
        info.spec.serialNumber = serial;
        info.spec.routerAddress = routerAddress;
        info.spec.routerSerialNumber = routerSerial;
        // Everything from the transport fields on comes from the router's specifier.
        std::memcpy(&info.spec.t, &routerSpec.t, sizeof(routerSpec.t));
        info.spec.moduleAddress = 0;
        info.networkAddress = static_cast<uint16_t>(address);
        info.build = _get_build_number(*module);
        info.error = _get_version(*module, info);
        unsigned char model = 0;
        aErr modelErr = system.getModel(&model);
        if (modelErr == aErrNone) {
            info.spec.model = model;
            info.modelName = aDefs_GetModelName(model);
        } else {
            info.error = modelErr;
        }
        module->disconnect();
        list.push_back(info);
    }
    routerSystem.routeToMe(0);
    router.disconnect();
    return list;
}
