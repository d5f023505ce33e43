#include "aDefs.h"

#include <cstdlib>
#include <cstring>
#include <new>

linkSpec* aLinkSpec_Create(linkType type) {
    auto* spec = static_cast<linkSpec*>(std::calloc(1, sizeof(linkSpec)));
    if (spec) spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec) {
    auto* copy = static_cast<linkSpec*>(std::malloc(sizeof(linkSpec)));
    if (copy) std::memcpy(copy, &spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
    if (!spec || !*spec) return aErrParam;
    std::free(*spec);
    *spec = nullptr;
    return aErrNone;
}

namespace {

void sPutLE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

uint32_t sGetLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool sIsIpType(linkType type) {
    return type == LINK_TCPIP || aLinkType_IsANet(type);
}

}  // namespace

void aLinkSpec_ToBytes(const linkSpec& spec, uint8_t out[128]) {
    std::memset(out, 0, 128);
    sPutLE32(out + 0, spec.type);
    sPutLE32(out + 4, spec.serialNumber);
    sPutLE32(out + 8, spec.moduleAddress);
    sPutLE32(out + 12, spec.routerAddress);
    sPutLE32(out + 16, spec.routerSerialNumber);
    sPutLE32(out + 20, spec.model);
    if (spec.type == LINK_SERIAL) {
        sPutLE32(out + 24, spec.t.serial.baudRate);
        std::memcpy(out + 28, spec.t.serial.portName, LINKSPEC_PORTNAME_SIZE);
    } else if (sIsIpType(spec.type)) {
        // The IP address is kept in network byte order in memory: copy bytes.
        std::memcpy(out + 24, &spec.t.ip.ipAddress, 4);
        sPutLE32(out + 28, spec.t.ip.ipPort);
        std::memcpy(out + 32, reinterpret_cast<const uint8_t*>(&spec) + 32, 96);
    } else {
        sPutLE32(out + 24, spec.t.usb.usbId);
        std::memcpy(out + 28, reinterpret_cast<const uint8_t*>(&spec) + 28, 100);
    }
}

void aLinkSpec_FromBytes(const uint8_t in[128], linkSpec* spec) {
    std::memset(spec, 0, sizeof(*spec));
    spec->type = sGetLE32(in + 0);
    spec->serialNumber = sGetLE32(in + 4);
    spec->moduleAddress = sGetLE32(in + 8);
    spec->routerAddress = sGetLE32(in + 12);
    spec->routerSerialNumber = sGetLE32(in + 16);
    spec->model = sGetLE32(in + 20);
    if (spec->type == LINK_SERIAL) {
        spec->t.serial.baudRate = sGetLE32(in + 24);
        std::memcpy(spec->t.serial.portName, in + 28, LINKSPEC_PORTNAME_SIZE);
        spec->t.serial.portName[LINKSPEC_PORTNAME_SIZE - 1] = '\0';
    } else if (sIsIpType(spec->type)) {
        std::memcpy(&spec->t.ip.ipAddress, in + 24, 4);
        spec->t.ip.ipPort = sGetLE32(in + 28);
        std::memcpy(reinterpret_cast<uint8_t*>(spec) + 32, in + 32, 96);
    } else {
        spec->t.usb.usbId = sGetLE32(in + 24);
        std::memcpy(reinterpret_cast<uint8_t*>(spec) + 28, in + 28, 100);
    }
}

namespace {

struct ModelEntry {
    uint8_t code;
    const char* name;
};

// Model codes of the product family and their display names. The name is what
// a firmware image's identity record carries for the model, so keep it within
// 16 characters.
constexpr ModelEntry sModels[] = {
    {0x01, "LV-Hub2"},    {0x02, "LV-Hub4"},    {0x03, "LV-Hub8"},      {0x04, "LV-Switch2"},
    {0x05, "LV-Switch4"}, {0x06, "LV-Router"},  {0x07, "LV-EtherLink"}, {0x08, "LV-SerialLink"},
    {0x10, "LV-Meter1"},  {0x11, "LV-Power2"},  {0x12, "LV-Relay8"},    {0x13, "LV-Digital16"},
    {0x14, "LV-Analog8"}, {0x15, "LV-Thermo4"}, {0x20, "LV-Loader"},
};

}  // namespace

const char* aDefs_GetModelName(uint32_t modelCode) {
    for (const ModelEntry& entry : sModels)
        if (entry.code == modelCode) return entry.name;
    return "Unknown";
}
