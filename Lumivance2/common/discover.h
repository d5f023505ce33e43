// Device discovery: finds the devices reachable by a link type and hands one
// link specifier per device to a callback. USB devices come from libusb, TCP/IP
// devices answer a UDP multicast probe, served (aNet) devices answer the
// loopback multicast search or network beacons. Serial links are not discovered.
#pragma once

#include <cstdint>

#include "aDefs.h"

// Called once per device. The specifier is valid only during the call. Set
// *counted to count the device; return false to stop the search.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* counted, void* reference);

// Interface addresses are IPv4 addresses in network byte order; 0 and
// 127.0.0.1 mean that no particular interface is chosen.

// The number of counted devices.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                    void* reference, unsigned int networkInterface);
// A new specifier (destroy with aLinkSpec_Destroy) of the first device with
// that serial number, or nullptr.
linkSpec* aDiscovery_FindModule(linkType type, unsigned int serialNumber,
                                unsigned int networkInterface);
// A new specifier of the first device with a non-zero serial number, or nullptr.
linkSpec* aDiscovery_FindFirstModule(linkType type, unsigned int networkInterface);
uint8_t aDiscovery_Enumerate_aNetModules(aDiscoveryModuleFoundProc callback, void* reference,
                                         unsigned int networkInterface);
// Number of IPv4 interface addresses written (at most capacity).
int aDiscovery_GetIPv4Interfaces(unsigned int* addresses, int capacity);
// Length of the dotted text written into buffer (cleared first); 0 when length
// is 15 or less or the conversion fails.
int aDiscovery_ConvertIPv4Interface(unsigned int address, char* buffer, int length);

// The finder callbacks: each copies the 128-byte specifier into reference (a
// linkSpec), counts the device and stops the search.
bool cbSNCallback(const linkSpec* spec, bool* counted, void* reference);
bool cbFirstCallback(const linkSpec* spec, bool* counted, void* reference);

// Ports and texts of the discovery protocols.
enum : unsigned short {
    aDISCOVERY_PROBE_PORT = 9888,        // devices listen for the TCP/IP probe here
    aDISCOVERY_REPLY_PORT = 9889,        // and answer to this port of the sender
    aDISCOVERY_SERVER_BASE_PORT = 9850,  // loopback multicast: servers hold 9850 + k
    aDISCOVERY_CLIENT_BASE_PORT = 9950,  // and answer to 9950 + k
    aDISCOVERY_BEACON_PORT = 8585,
};
#define aDISCOVERY_PROBE_GROUP "232.2.2.2"
#define aDISCOVERY_LOOPBACK_GROUP "224.0.0.7"
#define aDISCOVERY_BEACON_FILTER "Lumivance2-Discovery"
#define aDISCOVERY_MULTICAST_REQUEST 0xABCDDCBAu
#define aDISCOVERY_SERVER_SLOTS 50

// Platform halves (unix_discovery.cpp).
uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference);
uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference,
                                  unsigned int networkInterface);
// Decodes one TCP/IP probe reply of 16 bytes from a device at sourceAddress
// (network byte order); false for a datagram of any other length.
bool aDiscovery_DecodeProbeReply(const uint8_t* datagram, int length, unsigned int sourceAddress,
                                 linkSpec* spec);
