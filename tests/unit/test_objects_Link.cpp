// Link object: connection rules, raw packets, UEI encoding and reply
// matching, the module-address query and the packet log, against a scripted
// device at the far end of an in-memory stream pair or a loopback TCP socket.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Link.h"
#include "Lumivance2/common/aLink.h"
#include "Lumivance2/common/aMulticast.h"
#include "Lumivance2/common/discover.h"
#include "private_network.h"
#include "test_objects_peer.h"

using namespace Morvanex::Lumivance;
using objtest::Bytes;
using objtest::pkt;
using objtest::ScriptedPeer;

namespace {

aNetConfig directConfig() {
    aNetConfig c;
    c.enabled = false;
    c.fallback = false;
    return c;
}

uei message(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier) {
    uei m;
    std::memset(&m, 0, sizeof m);
    m.module = module;
    m.command = command;
    m.option = option;
    m.specifier = specifier;
    m.type = UEI_TYPE_VOID;
    return m;
}

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        aStream* s = peer.startMemory();
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(link.connectStream(s), aErrNone);
        ASSERT_TRUE(link.isConnected());
    }
    void TearDown() override {
        link.disconnect();
        peer.stop();
        for (const std::string& f : peer.failures()) ADD_FAILURE() << f;
    }
    ScriptedPeer peer{0x06};
    Link link{"test link"};
};

}  // namespace

TEST(LinkUnconnected, EveryRequestRefusesWithItsCode) {
    Link link("idle");
    uint8_t address = 0x55;
    const uint8_t data[2] = {1, 2};
    uint8_t length = 1;
    uint8_t reply[28];
    uei m = message(2, 3, 8, 0);
    linkSpec spec;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
    EXPECT_EQ(link.sendPacket(2, 9, 2, data), aErrConnection);
    EXPECT_EQ(link.receivePacket(2, data, &length, reply), aErrConnection);
    EXPECT_EQ(link.sendUEI(m), aErrConnection);
    EXPECT_EQ(link.sendUEI(m, 1), aErrConnection);
    EXPECT_EQ(link.receiveUEI(2, 3, 8, 0, &m), aErrConnection);
    EXPECT_EQ(link.dropMatchingUEIPackets(2, 3, 8, 0), aErrConnection);
    EXPECT_EQ(link.enablePacketLog("/dev/null"), aErrConfiguration);
    EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
    EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNotFound);
    EXPECT_EQ(link.connect(), aErrConfiguration);
    EXPECT_EQ(link.getStatus(), kLinkStatusNoLink);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.disconnect(), aErrNone);
    EXPECT_EQ(link.reset(), aErrNone);
}

TEST(LinkConfig, DefaultsAndNameAndNullOutput) {
    Link link("0123456789");
    aNetConfig c;
    c.port = 99;
    ASSERT_EQ(link.getConfig(&c), aErrNone);
    EXPECT_TRUE(c.enabled);
    EXPECT_TRUE(c.fallback);
    EXPECT_TRUE(c.localOnly);
    EXPECT_EQ(c.port, 0);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&c.networkInterface);
    EXPECT_EQ(b[0], 127);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[2], 0);
    EXPECT_EQ(b[3], 1);
    EXPECT_EQ(link.getConfig(nullptr), aErrParam);
    EXPECT_STREQ(link.getName(), "0123456789");

    std::string longName(1500, 'n');
    Link named(longName.c_str());
    EXPECT_EQ(std::strlen(named.getName()), 1024u);
}

TEST(LinkConfig, SpecifierIsACopy) {
    linkSpec spec{};
    spec.type = LINK_TCPIP;
    spec.serialNumber = 0x1234;
    Link link(spec, "x");
    spec.serialNumber = 0;
    linkSpec out{};
    ASSERT_EQ(link.getLinkSpecifier(&out), aErrNone);
    EXPECT_EQ(out.type, static_cast<linkType>(LINK_TCPIP));
    EXPECT_EQ(out.serialNumber, 0x1234u);
}

// Connecting from a specifier that cannot be made: every case ends without
// a link, with the code that says why.
TEST(LinkConnect, FailuresLeaveNoLink) {
    struct Case {
        const char* what;
        linkType type;
        bool networking;
        aErr expected;
    } cases[] = {
        {"USB shared through a server", LINK_USB, true, aErrUnimplemented},
        {"TCP/IP shared through a server", LINK_TCPIP, true, aErrUnimplemented},
        {"aNet client", LINK_ANET_USB, true, aErrUnimplemented},
        {"aNet without networking", LINK_ANET, false, aErrConfiguration},
        {"invalid type", LINK_INVALID, false, aErrMode},
        {"type above the aNet types", 9, false, aErrMode},
        {"serial at an unsupported rate", LINK_SERIAL, false, aErrConnection},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        linkSpec spec{};
        spec.type = c.type;
        spec.serialNumber = 0x01020304;
        spec.t.serial.baudRate = 14400;
        std::snprintf(spec.t.serial.portName, sizeof spec.t.serial.portName, "/dev/null");
        Link link(spec, "x");
        aNetConfig config = directConfig();
        config.enabled = c.networking;
        ASSERT_EQ(link.setConfig(config), aErrNone);
        EXPECT_EQ(link.connect(), c.expected);
        EXPECT_FALSE(link.isConnected());
        EXPECT_EQ(link.getStatus(), kLinkStatusNoLink);
    }
}

// A TCP/IP device that refuses the connection: no link is left behind and
// the object can try again.
TEST(LinkConnect, RefusedTcpConnection) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);  // nobody listens on that port now
    linkSpec spec{};
    spec.type = LINK_TCPIP;
    spec.serialNumber = 0x7003;
    spec.t.ip.ipAddress = objtest::loopbackAddress();
    spec.t.ip.ipPort = ntohs(a.sin_port);
    Link link(spec, "refused");
    ASSERT_EQ(link.setConfig(directConfig()), aErrNone);
    EXPECT_EQ(link.connect(), aErrConnection);
    EXPECT_EQ(link.getStatus(), kLinkStatusNoLink);
    EXPECT_EQ(link.connect(), aErrConnection);
    EXPECT_EQ(link.getStatus(), kLinkStatusNoLink);
}

TEST(LinkConnect, TcpConnectRefusesSecondConnectAndChangesWhileConnected) {
    ScriptedPeer peer(0x06);
    uint16_t port = peer.startTcp();
    ASSERT_NE(port, 0);
    linkSpec spec{};
    spec.type = LINK_TCPIP;
    spec.serialNumber = 0x7001;
    spec.t.ip.ipAddress = objtest::loopbackAddress();
    spec.t.ip.ipPort = port;
    Link link(spec, "tcp");
    ASSERT_EQ(link.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(link.connect(), aErrNone);
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(link.getStatus(), LINK_STATUS_RUNNING);
    EXPECT_EQ(link.connect(), aErrConnection);
    EXPECT_EQ(link.setConfig(directConfig()), aErrMode);
    EXPECT_EQ(link.setLinkSpecifier(spec), aErrBusy);
    uint8_t address = 0;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 0x06);
    EXPECT_EQ(link.disconnect(), aErrNone);
    EXPECT_FALSE(link.isConnected());
    // The specifier and configuration stay: the object connects again.
    ASSERT_EQ(link.connect(), aErrNone);
    EXPECT_TRUE(link.isConnected());
    link.disconnect();
    peer.stop();
    EXPECT_EQ(peer.connections(), 2u);
    EXPECT_TRUE(peer.failures().empty());
}

TEST(LinkConnect, ThroughLinkModuleSharesTheLink) {
    ScriptedPeer peer(0x06);
    uint16_t port = peer.startTcp();
    ASSERT_NE(port, 0);
    linkSpec spec{};
    spec.type = LINK_TCPIP;
    spec.serialNumber = 0x7002;
    spec.t.ip.ipAddress = objtest::loopbackAddress();
    spec.t.ip.ipPort = port;
    Link router(spec, "router");
    Link behind("behind");
    EXPECT_EQ(behind.connectThroughLinkModule(router), aErrInitialization);
    ASSERT_EQ(router.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(router.connect(), aErrNone);
    ASSERT_EQ(behind.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(behind.setLinkSpecifier(spec), aErrNone);
    ASSERT_EQ(behind.connectThroughLinkModule(router), aErrNone);
    EXPECT_TRUE(behind.isConnected());
    // Releasing one user leaves the other's link running.
    behind.disconnect();
    EXPECT_TRUE(router.isConnected());
    router.disconnect();
    peer.stop();
    EXPECT_EQ(peer.connections(), 1u);
}

TEST(LinkHelpers, ANetTypesAndFallbackRule) {
    for (linkType t = 0; t < 10; ++t) EXPECT_EQ(isANET(t), t >= 4 && t <= 7) << t;
    struct Case {
        aErr result;
        linkType type;
        bool fallback;
        bool expected;
    } cases[] = {
        {aErrNotFound, LINK_USB, true, true},
        {aErrInitialization, LINK_TCPIP, true, true},
        {aErrConnection, LINK_ANET, true, true},
        {aErrConnection, LINK_ANET_SERIAL, true, true},
        {aErrNotFound, LINK_USB, false, false},
        {aErrNotFound, LINK_SERIAL, true, false},
        {aErrTimeout, LINK_USB, true, false},
        {aErrNone, LINK_USB, true, false},
        {aErrConfiguration, LINK_TCPIP, true, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(_fallbackHelper(c.result, c.type, c.fallback), c.expected)
            << c.result << " " << c.type << " " << c.fallback;
}

// Serial links are never discovered and never fall back; a USB search with
// fallback off makes no network traffic either.
TEST(LinkDiscover, NothingFoundGivesNotFound) {
    Link link("d");
    ASSERT_EQ(link.setConfig(directConfig()), aErrNone);
    EXPECT_EQ(link.discoverAndConnect(LINK_SERIAL, 0x11223344, 0), aErrNotFound);
    EXPECT_EQ(link.discoverAndConnect(LINK_USB, 0x11223344, 0), aErrNotFound);
    EXPECT_FALSE(link.isConnected());
}

TEST_F(LinkTest, SendPacketChecksAndLayout) {
    uint8_t data[28];
    for (int i = 0; i < 28; ++i) data[i] = static_cast<uint8_t>(0x40 + i);
    EXPECT_EQ(link.sendPacket(6, 0x30, 28, data), aErrParam);
    EXPECT_EQ(link.sendPacket(0, 0x30, 1, data), aErrPacket);
    EXPECT_EQ(link.sendPacket(3, 0x30, 1, data), aErrPacket);
    Bytes full{0x30};
    full.insert(full.end(), data, data + 27);
    peer.expect(pkt(6, full), {});
    peer.expect(pkt(6, {0x31}), {});
    EXPECT_EQ(link.sendPacket(6, 0x30, 27, data), aErrNone);
    EXPECT_EQ(link.sendPacket(6, 0x31, 0, nullptr), aErrNone);
    EXPECT_TRUE(peer.waitScriptDone());
}

TEST_F(LinkTest, ReceivePacketMatchesLeadingBytesAndLeavesOthersQueued) {
    peer.expect(pkt(6, {0x49, 0xFF}),
                {pkt(6, {0x50, 1}), pkt(8, {0x49, 0xFF, 1, 2, 3, 4}), pkt(6, {0x49, 0x01})});
    ASSERT_EQ(link.sendPacket(6, 0x49, 1, Bytes{0xFF}.data()), aErrNone);
    const uint8_t match[] = {0x49, 0xFF};
    uint8_t length = 2;
    uint8_t data[28] = {};
    // The sender's address is not compared: the reply from 8 matches.
    ASSERT_EQ(link.receivePacket(6, match, &length, data), aErrNone);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(Bytes(data, data + 6), (Bytes{0x49, 0xFF, 1, 2, 3, 4}));
    // The earlier packet is still queued and is taken by a one-byte match.
    length = 1;
    const uint8_t other[] = {0x50};
    ASSERT_EQ(link.receivePacket(6, other, &length, data), aErrNone);
    EXPECT_EQ(length, 2);
    // Nothing more matches 49 FF.
    length = 2;
    EXPECT_EQ(link.receivePacket(6, match, &length, data), aErrTimeout);
    EXPECT_EQ(link.receivePacket(5, match, &length, data), aErrPacket);
}

TEST_F(LinkTest, SendUEIEncodesEachValueType) {
    uint8_t run48[48], run24[24];
    for (int i = 0; i < 48; ++i) run48[i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 24; ++i) run24[i] = static_cast<uint8_t>(0xA0 + i);
    Bytes first{0x0C, 0x8A, 0x21};
    first.insert(first.end(), run48, run48 + 24);
    first.push_back(0x80);
    Bytes second{0x0C, 0x8A, 0x21};
    second.insert(second.end(), run48 + 24, run48 + 48);
    second.push_back(0x01);
    Bytes single{0x0C, 0x8A, 0x21};
    single.insert(single.end(), run24, run24 + 24);
    single.push_back(0x00);
    peer.expect(pkt(6, {0x0C, 0x41, 0x21}), {});
    peer.expect(pkt(6, {0x0C, 0x81, 0x21, 0x7E}), {});
    peer.expect(pkt(6, {0x0C, 0x81, 0x21, 0x12, 0x34}), {});
    peer.expect(pkt(6, {0x0C, 0x81, 0x21, 0xDE, 0xAD, 0xBE, 0xEF}), {});
    peer.expect(pkt(6, first), {});
    peer.expect(pkt(6, second), {});
    peer.expect(pkt(6, single), {});
    peer.expect(pkt(6, {0x0C, 0x8A, 0x21, 0x00}), {});
    peer.expect(pkt(6, {0x0C, 0x81, 0x21, 0x05}), {});
    peer.expect(pkt(6, {0x0C, 0x81, 0x21, 0x05, 0x7E}), {});
    peer.expect(pkt(6, {0x0C, 0x81, 0x21, 0x05, 0x12, 0x34}), {});
    peer.expect(pkt(6, {0x0C, 0x81, 0x21, 0x05, 0xDE, 0xAD, 0xBE, 0xEF}), {});

    uei m = message(6, 0x0C, 0x41, 0x21);
    EXPECT_EQ(link.sendUEI(m), aErrNone);
    m.option = 0x81;
    m.type = UEI_TYPE_BYTE;
    m.value.byteVal = 0x7E;
    EXPECT_EQ(link.sendUEI(m), aErrNone);
    m.type = UEI_TYPE_SHORT;
    m.value.shortVal = 0x1234;
    EXPECT_EQ(link.sendUEI(m), aErrNone);
    m.type = UEI_TYPE_INT;
    m.value.intVal = 0xDEADBEEF;
    EXPECT_EQ(link.sendUEI(m), aErrNone);
    uei bytes = message(6, 0x0C, 0x8A, 0x21);
    bytes.type = UEI_TYPE_BYTES;
    bytes.value.bytes = run48;
    bytes.size = 48;
    EXPECT_EQ(link.sendUEI(bytes), aErrNone);
    bytes.value.bytes = run24;
    bytes.size = 24;
    EXPECT_EQ(link.sendUEI(bytes), aErrNone);
    bytes.value.bytes = nullptr;
    bytes.size = 0;
    EXPECT_EQ(link.sendUEI(bytes), aErrNone);

    m.type = UEI_TYPE_VOID;
    EXPECT_EQ(link.sendUEI(m, 5), aErrNone);
    m.type = UEI_TYPE_BYTE;
    m.value.raw = 0;
    m.value.byteVal = 0x7E;
    EXPECT_EQ(link.sendUEI(m, 5), aErrNone);
    m.type = UEI_TYPE_SHORT;
    m.value.shortVal = 0x1234;
    EXPECT_EQ(link.sendUEI(m, 5), aErrNone);
    m.value.intVal = 0xDEADBEEF;
    m.type = UEI_TYPE_INT;
    EXPECT_EQ(link.sendUEI(m, 5), aErrNone);
    EXPECT_TRUE(peer.waitScriptDone());

    // Refused before anything is sent.
    EXPECT_EQ(link.sendUEI(bytes, 5), aErrParam);
    bytes.size = 3;
    EXPECT_EQ(link.sendUEI(bytes), aErrParam);  // a run with no bytes behind it
    m.module = 7;
    EXPECT_EQ(link.sendUEI(m), aErrPacket);
    m.module = 0;
    EXPECT_EQ(link.sendUEI(m, 1), aErrPacket);
}

TEST_F(LinkTest, ReceiveUEIReplyShapes) {
    struct Case {
        const char* what;
        Bytes reply;  // data bytes from module 6
        aErr result;
        ueiType type;
        uint32_t value;
        uint8_t specifier;
    } cases[] = {
        {"void", {0x0C, 0x05, 0x02}, aErrNone, UEI_TYPE_VOID, 0x99, 0x02},
        {"byte", {0x0C, 0x05, 0x02, 0xAB}, aErrNone, UEI_TYPE_BYTE, 0xAB, 0x02},
        {"short", {0x0C, 0x05, 0x02, 0xAB, 0xCD}, aErrNone, UEI_TYPE_SHORT, 0xABCD, 0x02},
        {"int", {0x0C, 0x05, 0x02, 1, 2, 3, 4}, aErrNone, UEI_TYPE_INT, 0x01020304, 0x02},
        // Six data bytes match but leave the message as it was.
        {"six bytes", {0x0C, 0x05, 0x02, 1, 2, 3}, aErrNone, UEI_TYPE_INT, 0x99, 0x02},
        {"error reply", {0x0C, 0x05, 0x82, 18}, aErrNone, UEI_TYPE_BYTE, 18, 0x82},
        // Index compared in its low 5 bits only: request bit 0x20 is ignored.
        {"index bits", {0x0C, 0x05, 0x22, 7}, aErrNone, UEI_TYPE_BYTE, 7, 0x02},
        {"other option", {0x0C, 0x45, 0x02, 7}, aErrTimeout, UEI_TYPE_INT, 0x99, 0x02},
        {"other index", {0x0C, 0x05, 0x03, 7}, aErrTimeout, UEI_TYPE_INT, 0x99, 0x02},
        {"other command", {0x0D, 0x05, 0x02, 7}, aErrTimeout, UEI_TYPE_INT, 0x99, 0x02},
        {"too short", {0x0C, 0x05}, aErrTimeout, UEI_TYPE_INT, 0x99, 0x02},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        peer.expect(pkt(6, {0x0C, 0x45, 0x22}), {pkt(6, c.reply)});
        uei request = message(6, 0x0C, 0x45, 0x22);
        ASSERT_EQ(link.sendUEI(request), aErrNone);
        ASSERT_TRUE(peer.waitScriptDone());
        uei m = message(6, 0x0C, 0x05, 0x02);
        m.type = UEI_TYPE_INT;
        m.value.intVal = 0x99;
        EXPECT_EQ(link.receiveUEI(6, 0x0C, 0x05, 0x02, &m), c.result);
        EXPECT_EQ(m.type, c.type);
        EXPECT_EQ(c.type == UEI_TYPE_BYTE    ? m.value.byteVal
                  : c.type == UEI_TYPE_SHORT ? m.value.shortVal
                                             : m.value.intVal,
                  c.value);
        EXPECT_EQ(m.specifier, c.specifier);
        link.dropMatchingUEIPackets(6, 0x0C, 0x45, 0x02);
        link.dropMatchingUEIPackets(6, 0x0C, 0x05, 0x03);
        link.dropMatchingUEIPackets(6, 0x0D, 0x05, 0x02);
    }
}

TEST_F(LinkTest, ReplyFromAnotherModuleIsNotTaken) {
    peer.expect(pkt(6, {0x0C, 0x45, 0x22}), {pkt(8, {0x0C, 0x05, 0x02, 1})});
    ASSERT_EQ(link.sendUEI(message(6, 0x0C, 0x45, 0x22)), aErrNone);
    uei m = message(6, 0x0C, 0x05, 0x02);
    EXPECT_EQ(link.receiveUEI(6, 0x0C, 0x05, 0x02, &m), aErrTimeout);
    m.module = 8;
    EXPECT_EQ(link.receiveUEI(8, 0x0C, 0x05, 0x02, &m), aErrNone);
    EXPECT_EQ(m.type, static_cast<ueiType>(UEI_TYPE_BYTE));
}

TEST_F(LinkTest, DropMatchingRemovesOnlyThatEntity) {
    peer.expect(pkt(6, {0x0C, 0x45, 0x22}),
                {pkt(6, {0x0C, 0x05, 0x02, 1}), pkt(6, {0x0C, 0x05, 0x02, 2}),
                 pkt(6, {0x0C, 0x05, 0x01, 3})});
    ASSERT_EQ(link.sendUEI(message(6, 0x0C, 0x45, 0x22)), aErrNone);
    ASSERT_TRUE(peer.waitScriptDone());
    // Let the replies arrive before draining.
    uei probe = message(6, 0x0C, 0x05, 0x01);
    ASSERT_EQ(link.receiveUEI(6, 0x0C, 0x05, 0x01, &probe), aErrNone);
    EXPECT_EQ(link.dropMatchingUEIPackets(6, 0x0C, 0x05, 0x02), aErrNone);
    uei m = message(6, 0x0C, 0x05, 0x02);
    EXPECT_EQ(link.receiveUEI(6, 0x0C, 0x05, 0x02, &m), aErrTimeout);
    EXPECT_EQ(link.dropMatchingUEIPackets(4, 0x0C, 0x05, 0x02), aErrNone);
    EXPECT_EQ(link.dropMatchingUEIPackets(5, 0x0C, 0x05, 0x02), aErrPacket);
}

TEST_F(LinkTest, ModuleAddressQuery) {
    uint8_t address = 0;
    ASSERT_EQ(link.getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 0x06);
    peer.answerAddressQuery(false);
    address = 0x33;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
    EXPECT_EQ(peer.addressQueries(), 2u);
}

// Garbage from the device costs the request in flight, never a false
// success; the link resynchronises and the next request goes through.
TEST_F(LinkTest, GarbageReplyThenRecovery) {
    peer.expect(pkt(6, {0x0C, 0x45, 0x22}), {Bytes{0x07, 0x01, 0x02}});
    peer.expect(pkt(6, {0x0C, 0x45, 0x22}), {pkt(6, {0x0C, 0x05, 0x02, 0x42})});
    ASSERT_EQ(link.sendUEI(message(6, 0x0C, 0x45, 0x22)), aErrNone);
    uei m = message(6, 0x0C, 0x05, 0x02);
    EXPECT_NE(link.receiveUEI(6, 0x0C, 0x05, 0x02, &m), aErrNone);
    for (int i = 0; i < 300 && !link.isConnected(); ++i) usleep(10000);
    ASSERT_TRUE(link.isConnected());
    EXPECT_GE(peer.addressQueries(), 1u);
    ASSERT_EQ(link.sendUEI(message(6, 0x0C, 0x45, 0x22)), aErrNone);
    m = message(6, 0x0C, 0x05, 0x02);
    ASSERT_EQ(link.receiveUEI(6, 0x0C, 0x05, 0x02, &m), aErrNone);
    EXPECT_EQ(m.value.byteVal, 0x42);
}

TEST_F(LinkTest, PacketLogWritesLines) {
    char path[] = "/tmp/objects_packetlog_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(link.enablePacketLog(path), aErrNone);
    peer.expect(pkt(6, {0x31, 0x01}), {pkt(6, {0x31, 0x02})});
    ASSERT_EQ(link.sendPacket(6, 0x31, 1, Bytes{0x01}.data()), aErrNone);
    const uint8_t match[] = {0x31};
    uint8_t length = 1;
    uint8_t data[28];
    ASSERT_EQ(link.receivePacket(6, match, &length, data), aErrNone);
    std::string text;
    for (int i = 0; i < 200; ++i) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        text = ss.str();
        if (text.find("4 < ") != std::string::npos) break;
        usleep(10000);
    }
    EXPECT_EQ(link.disablePacketLog(), aErrNone);
    std::remove(path);
    EXPECT_NE(text.find(std::string("6 < START") + '\0' + "\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("4 > 0x6 0x2 0x31 0x1 \r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("4 < 0x6 0x2 0x31 0x2 \r\n"), std::string::npos) << text;
}

// Discovery by serial number and by model, and the fallback to served (aNet)
// devices, with a stand-in network server that answers the loopback multicast
// search with one specifier. Runs inside a private network namespace.
static std::string discoverFallbackBody() {
    const unsigned int group = inet_addr(aDISCOVERY_LOOPBACK_GROUP);
    aMulticast* rx = aMulticast_Create(0, group, aDISCOVERY_SERVER_BASE_PORT, aMulticast_Receiver);
    if (!rx) return std::string("stand-in server could not hold its port");
    linkSpec served{};
    served.type = LINK_ANET_USB;
    served.serialNumber = 0x0BADCAFE;
    served.model = 7;
    served.t.ip.ipAddress = objtest::loopbackAddress();
    served.t.ip.ipPort = 9999;
    uint8_t wire[128];
    aLinkSpec_ToBytes(served, wire);
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread server([&] {
        for (int i = 0; i < 40 && !stop; ++i) {  // 1 s receive wait each
            uint32_t request = 0;
            if (aMulticast_Receive(rx, &request, sizeof request) != 4) continue;
            if (request != aDISCOVERY_MULTICAST_REQUEST) continue;
            aMulticast* tx =
                aMulticast_Create(0, group, aDISCOVERY_CLIENT_BASE_PORT, aMulticast_Sender);
            if (tx && aMulticast_Send(tx, wire, sizeof wire) == 128) ++answered;
            aMulticast_Destroy(&tx);
        }
    });
    struct Case {
        const char* what;
        linkType type;
        unsigned serial;
        unsigned char model;
        bool enabled, fallback;
        aErr expected;
    } cases[] = {
        {"USB falls back, aNet needs networking", LINK_USB, 0x0BADCAFE, 0, false, true,
         aErrConfiguration},
        {"no fallback", LINK_USB, 0x0BADCAFE, 0, false, false, aErrNotFound},
        {"client links not available", LINK_USB, 0x0BADCAFE, 0, true, true, aErrUnimplemented},
        {"by model", LINK_ANET, 0, 7, false, false, aErrConfiguration},
        {"any model", LINK_ANET, 0, 0, false, false, aErrConfiguration},
        {"other model, then USB", LINK_ANET, 0, 8, false, true, aErrNotFound},
        {"other serial", LINK_ANET, 0x0BADCAFF, 0, false, false, aErrNotFound},
    };
    std::string result;
    for (const Case& c : cases) {
        Link link("discover");
        aNetConfig config;
        config.enabled = c.enabled;
        config.fallback = c.fallback;
        link.setConfig(config);
        aErr err = link.discoverAndConnect(c.type, c.serial, c.model);
        linkSpec stored{};
        bool haveSpec = link.getLinkSpecifier(&stored) == aErrNone;
        bool expectSpec = c.expected != aErrNotFound;
        if (err != c.expected)
            result += std::string(c.what) + ": got " + std::to_string(err) + "; ";
        else if (haveSpec != expectSpec || (haveSpec && stored.serialNumber != served.serialNumber))
            result += std::string(c.what) + ": stored specifier wrong; ";
    }
    stop = true;
    server.join();
    aMulticast_Destroy(&rx);
    if (answered == 0) result += "the stand-in server was never asked; ";
    return result;
}

// The namespace test runs in a fresh process (this program again, with only
// this test), so that no thread of an earlier test is inherited by the fork.
TEST(LinkDiscover, FallbackToServedDevices) {
    if (std::getenv("OBJECTS_NETNS_CHILD")) {
        ASSERT_EQ(unshare(CLONE_NEWNET), 0);
        ASSERT_TRUE(private_network::bringUp("lo"));
        EXPECT_EQ(discoverFallbackBody(), "");
        return;
    }
    if (!private_network::available()) GTEST_SKIP() << "network namespaces are not available";
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("OBJECTS_NETNS_CHILD", "1", 1);
        char filter[] = "--gtest_filter=LinkDiscover.FallbackToServedDevices";
        char* argv[] = {self, filter, nullptr};
        execv(self, argv);
        _exit(127);
    }
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 6000 && !ended; ++i) {  // at most 60 s
        ended = waitpid(child, &status, WNOHANG) == child;
        if (!ended) usleep(10000);
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended) << "the namespace run did not end";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the namespace run failed (its output is above)";
}

static std::string readFile(const char* path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Waits (at most 2 s) until the file contains the text.
static bool waitForText(const char* path, const char* text) {
    for (int i = 0; i < 200; ++i) {
        if (readFile(path).find(text) != std::string::npos) return true;
        usleep(10000);
    }
    return false;
}

// The packet log follows the object to the link it holds now: after a
// reconnect the new link's packets are logged, not those of the old id.
TEST(LinkPacketLog, FollowsReconnect) {
    char path[] = "/tmp/objects_packetlog_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    Link link("logged");
    ScriptedPeer first(0x06), second(0x06);
    first.expect(pkt(6, {0x31, 0xA1}), {});
    second.expect(pkt(6, {0x31, 0xB2}), {});
    ASSERT_EQ(link.connectStream(first.startMemory()), aErrNone);
    ASSERT_EQ(link.enablePacketLog(path), aErrNone);
    ASSERT_EQ(link.sendPacket(6, 0x31, 1, Bytes{0xA1}.data()), aErrNone);
    ASSERT_TRUE(first.waitScriptDone());
    // The logger drains asynchronously; entries still in a link's log when
    // that link is released go with it, so wait for the line first.
    ASSERT_TRUE(waitForText(path, "0x31 0xA1"));
    link.disconnect();
    ASSERT_EQ(link.connectStream(second.startMemory()), aErrNone);
    ASSERT_EQ(link.enablePacketLog(path), aErrNone);
    ASSERT_EQ(link.sendPacket(6, 0x31, 1, Bytes{0xB2}.data()), aErrNone);
    ASSERT_TRUE(second.waitScriptDone());
    EXPECT_TRUE(waitForText(path, "0x31 0xB2"));
    std::string text = readFile(path);
    link.disconnect();
    std::remove(path);
    // Enabling the log again may start the file afresh, so the first link's
    // line (seen above) is not looked for here.
    EXPECT_NE(text.find("4 > 0x6 0x2 0x31 0xB2 \r\n"), std::string::npos) << text;
    for (ScriptedPeer* p : {&first, &second}) {
        p->stop();
        for (const std::string& f : p->failures()) ADD_FAILURE() << f;
    }
}
