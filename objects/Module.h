// Module: one device module, its module address on the device network and
// the Link through which it is reached. Connects by serial number, from a
// discovered specifier, or through another module's link (a module behind a
// router), and answers the module queries of command 0x49.
#pragma once

#include <cstdint>

#include "Link.h"
#include "Lumivance2/common/aDefs.h"
#include "Lumivance2/common/aError.h"

namespace Morvanex {
namespace Lumivance {

// Command byte of the module queries.
constexpr unsigned char kModuleQueryCommand = 0x49;
// Command byte of the link echo test.
constexpr unsigned char kEchoCommand = 23;

// hasUEI flags.
constexpr unsigned char kHasUEIExists = 0x00;
constexpr unsigned char kHasUEIGet = 0x40;
constexpr unsigned char kHasUEISet = 0x80;

class Module {
  public:
    // Networking mode on: the module learns its address after each connect.
    explicit Module(unsigned char address, unsigned char model = 0);
    Module(unsigned char address, bool networking, unsigned char model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Connection.
    aErr connect(linkType type, unsigned int serialNumber);
    aErr discoverAndConnect(linkType type, unsigned int serialNumber);
    aErr connectFromSpec(linkSpec spec);
    aErr connectThroughLinkModule(Module* other);
    aErr reconnect();
    aErr disconnect();
    bool isConnected() const;
    int getStatus() const;

    unsigned char getModuleAddress() const;
    void setModuleAddress(unsigned char address);
    Link* getLink() const;
    aErr getLinkSpecifier(linkSpec* spec) const;
    aErr getConfig(aNetConfig* config) const;
    aErr setConfig(aNetConfig config);
    void setNetworkingMode(bool networking);

    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Module queries (command 0x49).
    aErr getBuild(unsigned int* build);
    // The device's answer: aErrNone when supported, else its error code.
    // flags: 0 (exists), 0x40 (can be read) or 0x80 (can be set).
    aErr hasUEI(unsigned char command, unsigned char option, unsigned char index,
                unsigned char flags);
    aErr classQuantity(unsigned char command, unsigned char* quantity);
    aErr subClassQuantity(unsigned char command, unsigned char subClass, unsigned char* quantity);
    aErr entityGroup(unsigned char command, unsigned char subClass, unsigned char* group);
    // Echo test of the link: the device repeats the bytes.
    aErr debug(const unsigned char* data, unsigned char length);

  private:
    aErr _autoNetwork();
    // One 0x49 query: sends `request`, takes the reply matched on its first
    // `matchLength` bytes into reply/replyLength.
    aErr _query(const unsigned char* request, unsigned char requestLength,
                unsigned char matchLength, unsigned char* reply, unsigned char* replyLength);

    Link* m_link;
    unsigned char m_moduleAddress;
    bool m_networkingMode;
    unsigned char m_model;
};

}  // namespace Lumivance
}  // namespace Morvanex
