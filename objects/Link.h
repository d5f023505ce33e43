// Link: the object through which everything above the link core talks to one
// device. It owns a copy of the device's link specifier, creates and destroys
// the engine link from it, and offers request/reply operations on top of the
// engine's packet queues: raw command packets, UEI messages, the module
// address query and the packet log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Lumivance2/common/aDefs.h"
#include "Lumivance2/common/aError.h"
#include "Lumivance2/common/aPacket.h"
#include "Lumivance2/common/aUEI.h"

struct aStream;

namespace Morvanex {
namespace Lumivance {

// The loopback interface 127.0.0.1 as an address held in network byte order
// (bytes 127, 0, 0, 1 in memory), whatever the host's byte order.
uint32_t aNetLoopbackInterface();

// Networking configuration of one link.
struct aNetConfig {
    // Share a real transport through a local network server and talk to the
    // device as a client of it; allow links of the aNet types.
    bool enabled = true;
    // discoverAndConnect retries once with the other transport family.
    bool fallback = true;
    // The server binds to loopback only (announced by loopback multicast).
    bool localOnly = true;
    // Frontend port of the server; 0 lets it choose. Written back on connect.
    uint16_t port = 0;
    // Interface (network byte order) for the server and for network discovery.
    uint32_t networkInterface = aNetLoopbackInterface();
};

// Link status reported when no engine link is held.
constexpr int kLinkStatusNoLink = 8;

class Link {
  public:
    Link(linkSpec spec, const char* name);
    explicit Link(const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Identity and configuration.
    const char* getName() const;
    aErr getLinkSpecifier(linkSpec* out) const;
    aErr setLinkSpecifier(linkSpec spec);
    aErr getConfig(aNetConfig* out) const;
    aErr setConfig(aNetConfig config);

    // Connection.
    aErr connect();
    aErr discoverAndConnect(linkType type, unsigned int serialNumber, unsigned char model);
    aErr connectThroughLinkModule(Link& other);
    // Connects over a byte stream that the caller made (an in-process peer);
    // the engine link owns the stream from then on, also when this fails.
    aErr connectStream(aStream* stream);
    bool isConnected() const;
    int getStatus() const;
    aErr disconnect();
    aErr reset();
    aErr enablePooledPackets(bool enable);

    // Asks the device for its module address (0 when none answers).
    aErr getModuleAddress(unsigned char* address);

    // Raw command packets: data bytes are command then `length` bytes.
    aErr sendPacket(unsigned char module, unsigned char command, unsigned char length,
                    const unsigned char* data);
    // `*length` is the number of leading bytes of `match` to compare on entry
    // and the reply's data length on return; `data` gets the reply's bytes.
    aErr receivePacket(unsigned char module, const unsigned char* match, unsigned char* length,
                       unsigned char* data);

    // UEI messages.
    aErr sendUEI(uei message);
    aErr sendUEI(uei message, unsigned char subindex);
    aErr receiveUEI(unsigned char module, unsigned char command, unsigned char option,
                    unsigned char specifier, uei* message);
    aErr receiveUEI(unsigned char module, unsigned char command, unsigned char option,
                    unsigned char specifier, uei* message, aPacketFilter filter);
    aErr dropMatchingUEIPackets(unsigned char module, unsigned char command, unsigned char option,
                                unsigned char specifier);

    // Packet log written by a logger thread into `path`.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    struct impl;

  private:
    impl* m_pImpl;
};

// True for the four link types reached through a network server.
bool isANET(linkType type);
// True when discoverAndConnect is to retry with the other transport family.
bool _fallbackHelper(aErr result, linkType type, bool fallback);

}  // namespace Lumivance
}  // namespace Morvanex
