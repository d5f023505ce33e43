#include "CommandOutput.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& list,
                          linkType type) {
    const char* typeName = type == LINK_USB ? "USB" : type == LINK_TCPIP ? "TCPIP" : "Unknown";
    display.message(UpdaterDisplayInterface::Info, "Discovered Devices: (%s)", typeName);
    if (list.empty()) {
        display.message(UpdaterDisplayInterface::Info, "    No devices found.");
        return;
    }
    if (type == LINK_USB)
        display.message(UpdaterDisplayInterface::Info,
                        "    Device    Module   Router  Model          Firmware Version (Build)    "
                        "Device Name");
    else
        display.message(UpdaterDisplayInterface::Info,
                        "    Device    Module   Router  Model          Firmware Version (Build)   "
                        "[IP address]       Device Name");

    for (const DeviceInfo& device : list) {
        const linkSpec& spec = device.spec;
        const char* model = aDefs_GetModelName(spec.model);
        if (!model) model = "Unknown";
        if (spec.type == LINK_TCPIP) {
            uint8_t ip[4];
            std::memcpy(ip, &spec.t.ip.ipAddress, sizeof(ip));
            char address[20];
            std::snprintf(address, sizeof(address), "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(
                UpdaterDisplayInterface::Info,
                "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                spec.serialNumber, spec.moduleAddress, spec.routerAddress, model,
                device.versionMajor, device.versionMinor, static_cast<int>(device.versionPatch),
                device.build, address, device.deviceName.c_str());
        } else if (device.error != aErrNone) {
            display.message(UpdaterDisplayInterface::Info,
                            "    %08X  [Error (%d): Is someone else connected to this device?]",
                            spec.serialNumber, static_cast<int>(device.error));
        } else {
            display.message(UpdaterDisplayInterface::Info,
                            "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                            spec.serialNumber, spec.moduleAddress, spec.routerAddress, model,
                            device.versionMajor, device.versionMinor,
                            static_cast<int>(device.versionPatch), device.build,
                            device.deviceName.c_str());
        }
    }
}

void _display_builds(UpdaterDisplayInterface& display, unsigned serial,
                     const std::vector<std::pair<std::string, std::string>>& builds) {
    if (builds.empty()) {
        display.message(UpdaterDisplayInterface::Info, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(UpdaterDisplayInterface::Info, "Build List for device [%08X]:\n", serial);
    display.message(UpdaterDisplayInterface::Info, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& entry : builds)
        display.message(UpdaterDisplayInterface::Info, "%-15.15s\t%-15.15s", entry.first.c_str(),
                        entry.second.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
    display.message(UpdaterDisplayInterface::Info, "[ %08X %08X %08X %08X ]", fingerprint.words[0],
                    fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
}
