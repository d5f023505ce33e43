// The transport streams against the device simulator, a separate process
// that implements the device side of every transport itself: the TCP socket,
// the serial line with its framing, and the USB driver node.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "aStream.h"
#include "lvusb_driver.h"
#include "test_common_aLink_simulator.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The text value of "key":"..." in the ready line, for the module at `serial`.
std::string ModuleField(const std::string& ready, const std::string& serial,
                        const std::string& key) {
    size_t at = ready.find("\"serial\":\"" + serial + "\"");
    if (at == std::string::npos) return "";
    size_t end = ready.find('}', at);
    std::string tag = "\"" + key + "\":\"";
    size_t k = ready.find(tag, at);
    if (k == std::string::npos || k > end) return "";
    k += tag.size();
    return ready.substr(k, ready.find('"', k) - k);
}

// Sends the address query (0xAD, length 0) and collects the two-byte answer
// (module address, 0), allowing about three seconds of "not ready".
Bytes AskAddress(aStream* s) {
    const uint8_t query[2] = {0xAD, 0x00};
    EXPECT_EQ(aStream_Write(s, query, sizeof(query)), aErrNone);
    Bytes answer(2);
    aErr err = aErrNotReady;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int i = 0; i < 300 && err != aErrNone && std::chrono::steady_clock::now() < deadline;
         ++i) {
        err = aStream_Read(s, answer.data(), answer.size());
        if (err != aErrNone && err != aErrNotReady) break;
    }
    EXPECT_EQ(err, aErrNone);
    return answer;
}

class StreamsAgainstSimulator : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!SimulatorProcess::available()) GTEST_SKIP() << "simulator not built";
        char tmpl[] = "/tmp/simdevXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        deviceDir = tmpl;
        setenv(LVUSB_DEVICE_DIR_ENV, deviceDir.c_str(), 1);
        ASSERT_TRUE(sim.start({"--module", "serial=00C0FFEE,address=6,hb=0,tcp=127.0.0.1:0,pty,usb",
                               "--device-dir", deviceDir, "--max-seconds", "60"}));
    }
    void TearDown() override {
        sim.stop();
        unsetenv(LVUSB_DEVICE_DIR_ENV);
        if (!deviceDir.empty()) {
            unlink((deviceDir + "/lumivance.00C0FFEE").c_str());
            rmdir(deviceDir.c_str());
        }
    }
    SimulatorProcess sim;
    std::string deviceDir;
};

TEST_F(StreamsAgainstSimulator, EveryTransportCarriesAnExchange) {
    {
        SCOPED_TRACE("TCP");
        aStream* s = nullptr;
        ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), sim.port, &s), aErrNone);
        EXPECT_EQ(AskAddress(s), (Bytes{0x06, 0x00}));
        aStream_Destroy(&s);
    }
    {
        SCOPED_TRACE("serial line with framing");
        std::string pty = ModuleField(sim.ready, "00C0FFEE", "pty");
        ASSERT_FALSE(pty.empty()) << sim.ready;
        aStream* s = nullptr;
        ASSERT_EQ(aStream_CreateSerial_Packetized(pty.c_str(), 6, 0, 0, 0, &s), aErrNone);
        EXPECT_EQ(AskAddress(s), (Bytes{0x06, 0x00}));
        aStream_Destroy(&s);
    }
    {
        SCOPED_TRACE("USB driver node");
        ASSERT_TRUE(lvusb_is_kernel_driver_installed(0x00C0FFEE));
        aStream* s = nullptr;
        ASSERT_EQ(aStream_CreateUSB(0x00C0FFEE, &s), aErrNone);
        EXPECT_EQ(AskAddress(s), (Bytes{0x06, 0x00}));
        aStream_Destroy(&s);
    }
}

// Reads until a failure comes (skipping bytes and "not ready"), for about
// three seconds.
aErr NextFailure(aStream* s) {
    aErr err = aErrNotReady;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int i = 0; i < 300 && (err == aErrNotReady || err == aErrNone) &&
                    std::chrono::steady_clock::now() < deadline;
         ++i) {
        uint8_t b;
        err = aStream_Read(s, &b, 1);
    }
    return err;
}

TEST(StreamsAgainstDroppingSimulator, DroppedLinksAreReportedNotSilent) {
    if (!SimulatorProcess::available()) GTEST_SKIP() << "simulator not built";
    char tmpl[] = "/tmp/simdevXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    setenv(LVUSB_DEVICE_DIR_ENV, dir.c_str(), 1);
    SimulatorProcess sim;
    // Each link drops after its first packet to the host and stays away.
    ASSERT_TRUE(
        sim.start({"--module", "serial=00C0FFEE,address=6,hb=0,tcp=127.0.0.1:0,usb", "--fault",
                   "disconnect=1,down=20000", "--device-dir", dir, "--max-seconds", "60"}));
    {
        SCOPED_TRACE("TCP: the reconnect is refused");
        aStream* s = nullptr;
        ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), sim.port, &s), aErrNone);
        const uint8_t query[2] = {0xAD, 0x00};
        ASSERT_EQ(aStream_Write(s, query, sizeof(query)), aErrNone);
        EXPECT_EQ(NextFailure(s), aErrConnection);
        aStream_Destroy(&s);
    }
    {
        SCOPED_TRACE("USB: the node hangs up");
        aStream* s = nullptr;
        ASSERT_EQ(aStream_CreateUSB(0x00C0FFEE, &s), aErrNone);
        // The answer may be lost with the terminal that carried it; what
        // matters is that the hang-up is reported.
        const uint8_t query[2] = {0xAD, 0x00};
        ASSERT_EQ(aStream_Write(s, query, sizeof(query)), aErrNone);
        EXPECT_EQ(NextFailure(s), aErrIO);
        aStream_Destroy(&s);
    }
    sim.stop();
    unsetenv(LVUSB_DEVICE_DIR_ENV);
    unlink((dir + "/lumivance.00C0FFEE").c_str());
    rmdir(dir.c_str());
}

}  // namespace
