// A TCP/IP link against the device simulator process: queries, heartbeats,
// route packets, and a device that drops the connection and comes back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

#include "aLink.h"
#include "aTime.h"
#include "test_common_aLink_simulator.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

bool waitForStatus(int32_t id, int32_t status, unsigned timeoutMs) {
    const uint64_t start = aTime_GetMSTicks();
    while (aLink_GetStatus(id) != status && aTime_GetMSTicks() - start < timeoutMs) {
        aTime_MSSleep(10);
    }
    return aLink_GetStatus(id) == status;
}

class aLinkSimulator : public testing::Test {
  protected:
    void SetUp() override {
        if (!SimulatorProcess::available()) {
            GTEST_SKIP() << "simulator not built: " << SimulatorProcess::binaryPath();
        }
    }
    void TearDown() override {
        if (id) aLink_Destroy(&id);
    }
    int32_t id = 0;
    SimulatorProcess sim;
};

}  // namespace

TEST_F(aLinkSimulator, QueriesHeartbeatsAndRoutePackets) {
    ASSERT_TRUE(sim.start(
        {"--module", "serial=40F5849A,address=6,model=13,hb=200", "--max-seconds", "30"}));
    id = aLink_CreateTCPIP(0x40F5849A, kLoopback, sim.port);
    ASSERT_NE(0, id);

    uint8_t address = 0;
    uint8_t model = 0;
    EXPECT_EQ(aErrNone, _aLink_GetModuleAddress(id, &address));
    EXPECT_EQ(6, address);
    EXPECT_EQ(aErrNone, _aLink_GetModel(id, address, &model));
    EXPECT_EQ(13, model);

    // Heartbeats every 200 ms, each answered by the link and none queued.
    EXPECT_TRUE(sim.waitForEvents({"\"kind\":\"heartbeat_answer\""}, 4, 5000));
    EXPECT_EQ(0, sim.countEvents({"heartbeat_missed"}));
    EXPECT_EQ(0, sim.countEvents({"heartbeat_unexpected"}));
    EXPECT_EQ(nullptr, aLink_GetPacket(id));
    EXPECT_EQ(1, sim.countEvents({"\"kind\":\"route\"", "\"data\":\"01\""}));

    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    EXPECT_TRUE(sim.waitForEvents({"\"kind\":\"route\"", "\"data\":\"00\""}, 1, 3000));
}

// The device drops the connection after its third reply and refuses
// connections for 700 ms. The link reports an I/O error; a reset once the
// device is back reconnects it.
TEST_F(aLinkSimulator, DeviceThatDisconnectsAndComesBack) {
    ASSERT_TRUE(sim.start({"--module", "serial=40F5849A,address=6,hb=0", "--fault",
                           "serial=40F5849A,disconnect=3,down=700", "--max-seconds", "30"}));
    id = aLink_CreateTCPIP(0x40F5849A, kLoopback, sim.port);
    ASSERT_NE(0, id);

    uint8_t address = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(aErrNone, _aLink_GetModuleAddress(id, &address)) << i;
    }
    EXPECT_TRUE(sim.waitForEvents({"\"event\":\"down\""}, 1, 3000));
    EXPECT_TRUE(waitForStatus(id, LINK_STATUS_IO_ERROR, 3000));
    EXPECT_EQ(aErrTimeout, _aLink_GetModuleAddress(id, &address));

    ASSERT_TRUE(sim.waitForEvents({"\"event\":\"up\""}, 1, 5000));
    EXPECT_EQ(aErrNone, aLink_Reset(id));
    EXPECT_EQ(LINK_STATUS_RUNNING, aLink_GetStatus(id));
    address = 0;
    EXPECT_EQ(aErrNone, _aLink_GetModuleAddress(id, &address));
    EXPECT_EQ(6, address);
    EXPECT_EQ(2, sim.countEvents({"\"kind\":\"route\"", "\"data\":\"01\""}))
        << "one route packet per start";
}

// A reset while the device is still away keeps trying (20 attempts, 100 ms
// apart) and succeeds once it is back.
TEST_F(aLinkSimulator, ResetRetriesUntilTheDeviceIsBack) {
    ASSERT_TRUE(sim.start({"--module", "serial=40F5849A,address=6,hb=0", "--fault",
                           "serial=40F5849A,disconnect=1,down=800", "--max-seconds", "30"}));
    id = aLink_CreateTCPIP(0x40F5849A, kLoopback, sim.port);
    ASSERT_NE(0, id);
    uint8_t address = 0;
    ASSERT_EQ(aErrNone, _aLink_GetModuleAddress(id, &address));
    ASSERT_TRUE(sim.waitForEvents({"\"event\":\"down\""}, 1, 3000));
    EXPECT_EQ(aErrNone, aLink_Reset(id));
    EXPECT_TRUE(sim.countEvents({"\"event\":\"up\""}) >= 1);
    EXPECT_EQ(aErrNone, _aLink_GetModuleAddress(id, &address));
}
