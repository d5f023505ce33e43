// Module: connect paths (from a specifier over loopback TCP, through a router
// module's link, reconnect), address learning, and the 0x49 module queries
// and echo test against a scripted device.
#include <gtest/gtest.h>

#include <string>

#include "Lumivance2/common/aLink.h"
#include "Module.h"
#include "SystemClass.h"
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

linkSpec tcpSpec(uint32_t serial, uint16_t port) {
    linkSpec spec{};
    spec.type = LINK_TCPIP;
    spec.serialNumber = serial;
    spec.t.ip.ipAddress = objtest::loopbackAddress();
    spec.t.ip.ipPort = port;
    return spec;
}

void expectClean(ScriptedPeer& peer) {
    peer.stop();
    for (const std::string& f : peer.failures()) ADD_FAILURE() << f;
    EXPECT_EQ(peer.pending(), 0u);
}

}  // namespace

TEST(ModuleConnect, SerialNumberZeroIsRefusedWithoutDiscovery) {
    Module m(2);
    EXPECT_EQ(m.connect(LINK_USB, 0), aErrParam);
    EXPECT_EQ(m.connect(LINK_TCPIP, 0), aErrParam);
    EXPECT_EQ(m.getStatus(), kLinkStatusNoLink);
    aNetConfig c;
    EXPECT_EQ(m.getConfig(nullptr), aErrParam);
    EXPECT_EQ(m.getConfig(&c), aErrNone);
    EXPECT_TRUE(c.enabled);
    linkSpec spec;
    EXPECT_EQ(m.getLinkSpecifier(&spec), aErrNotFound);
    EXPECT_EQ(m.enablePacketLog("/dev/null"), aErrConfiguration);
}

TEST(ModuleConnect, NetworkingEnabledFailsCleanly) {
    Module m(2);
    EXPECT_EQ(m.connectFromSpec(tcpSpec(0x5151, 1)), aErrUnimplemented);
    EXPECT_FALSE(m.isConnected());
    EXPECT_EQ(m.getStatus(), kLinkStatusNoLink);
}

TEST(ModuleConnect, FromSpecLearnsAddressAndRefusesSecondConnect) {
    ScriptedPeer peer(0x06);
    uint16_t port = peer.startTcp();
    ASSERT_NE(port, 0);
    Module m(2, 0);
    ASSERT_EQ(m.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(m.connectFromSpec(tcpSpec(0x5152, port)), aErrNone);
    EXPECT_TRUE(m.isConnected());
    EXPECT_EQ(m.getModuleAddress(), 0x06);
    EXPECT_EQ(m.setConfig(directConfig()), aErrMode);
    // A second connect leaves the running link alone.
    EXPECT_EQ(m.connectFromSpec(tcpSpec(0x9999, 1)), aErrBusy);
    EXPECT_TRUE(m.isConnected());
    linkSpec spec;
    ASSERT_EQ(m.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.serialNumber, 0x5152u);
    // Reconnect reuses the stored specifier.
    m.setModuleAddress(2);
    EXPECT_EQ(m.disconnect(), aErrNone);
    EXPECT_FALSE(m.isConnected());
    ASSERT_EQ(m.reconnect(), aErrNone);
    EXPECT_EQ(m.getModuleAddress(), 0x06);
    m.disconnect();
    EXPECT_EQ(peer.connections(), 2u);
    EXPECT_EQ(peer.addressQueries(), 2u);
    expectClean(peer);
}

TEST(ModuleConnect, SilentAddressQueryGivesNotReadyWithLinkUp) {
    ScriptedPeer peer(0x06);
    peer.answerAddressQuery(false);
    uint16_t port = peer.startTcp();
    ASSERT_NE(port, 0);
    Module m(2, 0);
    ASSERT_EQ(m.setConfig(directConfig()), aErrNone);
    EXPECT_EQ(m.connectFromSpec(tcpSpec(0x5153, port)), aErrNotReady);
    EXPECT_TRUE(m.isConnected());
    EXPECT_EQ(m.getModuleAddress(), 2);
    m.disconnect();
    EXPECT_EQ(peer.addressQueries(), 4u);
    expectClean(peer);
}

TEST(ModuleConnect, NetworkingModeOffKeepsTheGivenAddress) {
    ScriptedPeer peer(0x06);
    uint16_t port = peer.startTcp();
    ASSERT_NE(port, 0);
    Module m(4, false, 0);
    ASSERT_EQ(m.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(m.connectFromSpec(tcpSpec(0x5154, port)), aErrNone);
    EXPECT_EQ(m.getModuleAddress(), 4);
    m.disconnect();
    EXPECT_EQ(peer.addressQueries(), 0u);
    expectClean(peer);
}

// A module behind a router: it shares the router's link, keeps its own
// address, and releasing it leaves the router connected.
TEST(ModuleConnect, ThroughRouterModule) {
    ScriptedPeer peer(0x06);
    uint16_t port = peer.startTcp();
    ASSERT_NE(port, 0);
    Module router(2, 0);
    ASSERT_EQ(router.setConfig(directConfig()), aErrNone);
    Module behind(0x10, false, 0);
    ASSERT_EQ(behind.setConfig(directConfig()), aErrNone);
    EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNotFound);  // router has no specifier
    EXPECT_EQ(behind.connectThroughLinkModule(nullptr), aErrInitialization);
    ASSERT_EQ(router.connectFromSpec(tcpSpec(0x5155, port)), aErrNone);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    EXPECT_TRUE(behind.isConnected());
    EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNone);  // already connected
    EXPECT_EQ(behind.getModuleAddress(), 0x10);

    peer.expect(pkt(0x10, {3, 0x49, 0x20}), {pkt(0x10, {3, 9, 0, 0x40, 0xF5, 0x84, 0x9A})});
    peer.expect(pkt(0x06, {3, 0x49, 0x20}), {pkt(0x06, {3, 9, 0, 0x11, 0x22, 0x33, 0x44})});
    SystemClass sysBehind, sysRouter;
    sysBehind.init(&behind, 0);
    sysRouter.init(&router, 0);
    unsigned int serial = 0;
    ASSERT_EQ(sysBehind.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
    ASSERT_EQ(sysRouter.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x11223344u);

    // Reconnecting the routed module goes through the same link.
    behind.disconnect();
    EXPECT_FALSE(behind.isConnected());
    EXPECT_TRUE(router.isConnected());
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    behind.disconnect();
    router.disconnect();
    EXPECT_EQ(peer.connections(), 1u);
    EXPECT_EQ(peer.addressQueries(), 1u);
    expectClean(peer);
}

class ModuleQueryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        aStream* s = peer.startMemory();
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(module.getLink()->connectStream(s), aErrNone);
    }
    void TearDown() override {
        module.disconnect();
        expectClean(peer);
    }
    ScriptedPeer peer{0x08};
    Module module{0x08, false, 0};
};

TEST_F(ModuleQueryTest, BuildNumber) {
    peer.expect(pkt(8, {0x49, 0xFF}), {pkt(8, {0x49, 0xFF, 0x00, 0x01, 0x02, 0x03})});
    peer.expect(pkt(8, {0x49, 0xFF}), {pkt(8, {0x49, 0xFF, 0x00, 0x01, 0x02})});
    peer.expect(pkt(8, {0x49, 0xFF}), {});
    unsigned int build = 7;
    EXPECT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 0x010203u);
    build = 7;
    EXPECT_EQ(module.getBuild(&build), aErrSize);
    EXPECT_EQ(module.getBuild(&build), aErrTimeout);
    EXPECT_EQ(build, 7u);
    EXPECT_EQ(module.getBuild(nullptr), aErrParam);
}

TEST_F(ModuleQueryTest, HasUEI) {
    for (uint8_t flags : {0xC0, 0x01, 0x3F, 0x41})
        EXPECT_EQ(module.hasUEI(0x5F, 10, 0, flags), aErrParam);
    peer.expect(pkt(8, {0x49, 1, 0x5F, 10, 0, 0x80}), {pkt(8, {0x49, 1, 0x5F, 10, 0, 0})});
    peer.expect(pkt(8, {0x49, 1, 0x5F, 11, 0, 0x40}), {pkt(8, {0x49, 1, 0x5F, 11, 0, 29})});
    peer.expect(pkt(8, {0x49, 1, 0x5F, 12, 0, 0x00}), {pkt(8, {0x49, 1, 0x5F, 99, 0, 0})});
    peer.expect(pkt(8, {0x49, 1, 0x5F, 12, 0, 0x00}), {pkt(8, {0x49, 1, 0x5F, 12, 0})});
    EXPECT_EQ(module.hasUEI(0x5F, 10, 0, 0x80), aErrNone);
    EXPECT_EQ(module.hasUEI(0x5F, 11, 0, 0x40), aErrInvalidOption);
    EXPECT_EQ(module.hasUEI(0x5F, 12, 0, 0x00), aErrUnknown);  // wrong echo
    EXPECT_EQ(module.hasUEI(0x5F, 12, 0, 0x00), aErrUnknown);  // too short
}

TEST_F(ModuleQueryTest, QuantitiesAndGroup) {
    peer.expect(pkt(8, {0x49, 4, 3}), {pkt(8, {0x49, 4, 3, 2})});
    peer.expect(pkt(8, {0x49, 5, 3, 1}), {pkt(8, {0x49, 5, 3, 1, 6})});
    peer.expect(pkt(8, {0x49, 6, 3, 1}), {pkt(8, {0x49, 6, 3, 1, 9})});
    peer.expect(pkt(8, {0x49, 4, 3}), {pkt(8, {0x49, 4, 4, 2})});
    peer.expect(pkt(8, {0x49, 5, 3, 1}), {pkt(8, {0x49, 5, 3, 1, 6, 0})});
    peer.expect(pkt(8, {0x49, 6, 3, 1}), {});
    uint8_t q = 0xFF;
    EXPECT_EQ(module.classQuantity(3, &q), aErrNone);
    EXPECT_EQ(q, 2);
    EXPECT_EQ(module.subClassQuantity(3, 1, &q), aErrNone);
    EXPECT_EQ(q, 6);
    EXPECT_EQ(module.entityGroup(3, 1, &q), aErrNone);
    EXPECT_EQ(q, 9);
    EXPECT_EQ(module.classQuantity(3, &q), aErrUnknown);
    EXPECT_EQ(q, 0);
    q = 0xFF;
    EXPECT_EQ(module.subClassQuantity(3, 1, &q), aErrUnknown);
    EXPECT_EQ(q, 0);
    q = 0xFF;
    EXPECT_EQ(module.entityGroup(3, 1, &q), aErrTimeout);
    EXPECT_EQ(q, 0);
}

TEST_F(ModuleQueryTest, EchoTest) {
    const uint8_t data[] = {1, 2, 3};
    peer.expect(pkt(8, {23, 1, 2, 3}), {pkt(8, {23, 1, 2, 3})});
    peer.expect(pkt(8, {23, 1, 2, 3}), {pkt(8, {23, 1, 2, 4})});
    peer.expect(pkt(8, {23, 1, 2, 3}), {pkt(8, {23, 1, 2})});
    EXPECT_EQ(module.debug(data, 3), aErrNone);
    EXPECT_EQ(module.debug(data, 3), aErrIO);
    EXPECT_EQ(module.debug(data, 3), aErrIO);
    uint8_t big[28] = {};
    EXPECT_EQ(module.debug(big, 28), aErrParam);
}

TEST(ModuleQueryUnconnected, GiveConnectionError) {
    Module m(2);
    unsigned int build;
    uint8_t q;
    EXPECT_EQ(m.getBuild(&build), aErrConnection);
    EXPECT_EQ(m.hasUEI(3, 1, 0, 0), aErrConnection);
    EXPECT_EQ(m.classQuantity(3, &q), aErrConnection);
    EXPECT_EQ(m.subClassQuantity(3, 1, &q), aErrConnection);
    EXPECT_EQ(m.entityGroup(3, 1, &q), aErrConnection);
    EXPECT_EQ(m.debug(nullptr, 0), aErrConnection);
}
