// What discovery learns about one device.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "Lumivance2/common/aDefs.h"

struct DeviceInfo {
    linkSpec spec;
    uint16_t networkAddress = 0;
    uint32_t build = 0;
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName;
    std::string deviceName;
    aErr error = aErrNone;

    DeviceInfo() { std::memset(&spec, 0, sizeof(spec)); }
};
