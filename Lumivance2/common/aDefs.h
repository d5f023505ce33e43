// Link types and the 128-byte link specifier. The specifier is also a wire
// format (network servers publish it byte for byte), so its layout is fixed:
// little-endian, no padding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

typedef uint32_t linkType;

enum : linkType {
    LINK_INVALID = 0,
    LINK_USB = 1,
    LINK_TCPIP = 2,
    LINK_SERIAL = 3,
    LINK_ANET = 4,
    LINK_ANET_USB = 5,
    LINK_ANET_TCPIP = 6,
    LINK_ANET_SERIAL = 7,
};

// True for the types reached through a local network server (4 to 7).
inline bool aLinkType_IsANet(linkType type) {
    return type >= LINK_ANET && type <= LINK_ANET_SERIAL;
}

#define LINKSPEC_PORTNAME_SIZE 100

struct linkSpec {
    linkType type;
    uint32_t serialNumber;
    uint32_t moduleAddress;
    uint32_t routerAddress;
    uint32_t routerSerialNumber;
    uint32_t model;
    union {
        struct {
            uint32_t usbId;
        } usb;
        struct {
            uint32_t ipAddress;  // address bytes in network order in memory
            uint32_t ipPort;
        } ip;
        struct {
            uint32_t baudRate;
            char portName[LINKSPEC_PORTNAME_SIZE];
        } serial;
    } t;
};

static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");
static_assert(offsetof(linkSpec, type) == 0, "linkSpec layout");
static_assert(offsetof(linkSpec, serialNumber) == 4, "linkSpec layout");
static_assert(offsetof(linkSpec, moduleAddress) == 8, "linkSpec layout");
static_assert(offsetof(linkSpec, routerAddress) == 12, "linkSpec layout");
static_assert(offsetof(linkSpec, routerSerialNumber) == 16, "linkSpec layout");
static_assert(offsetof(linkSpec, model) == 20, "linkSpec layout");
static_assert(offsetof(linkSpec, t.usb.usbId) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.ip.ipAddress) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.ip.ipPort) == 28, "linkSpec layout");
static_assert(offsetof(linkSpec, t.serial.baudRate) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.serial.portName) == 28, "linkSpec layout");

// A new zeroed heap specifier of the given type; nullptr when memory is exhausted.
linkSpec* aLinkSpec_Create(linkType type);
// A new heap copy of spec; nullptr when memory is exhausted.
linkSpec* aLinkSpec_Copy(linkSpec spec);
// Frees *spec and sets it to nullptr; aErrParam when it is already nullptr.
aErr aLinkSpec_Destroy(linkSpec** spec);

// The 128 bytes of a specifier in wire order (little-endian), and back. On a
// big-endian host these swap every 32-bit field; the port name is bytes.
void aLinkSpec_ToBytes(const linkSpec& spec, uint8_t out[128]);
void aLinkSpec_FromBytes(const uint8_t in[128], linkSpec* spec);

// Display name of a device's model code; "Unknown" for a code not in the table.
const char* aDefs_GetModelName(uint32_t modelCode);
