// Placeholder until device discovery lands: reports that it is not available.
#include "Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    display.message(UpdaterDisplayInterface::Error, "Device discovery is not available in this version");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_LVNetwork_Devices(unsigned, linkType) {
    display.message(UpdaterDisplayInterface::Error, "Device discovery is not available in this version");
    return {};
}
