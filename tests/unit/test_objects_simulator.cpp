// The object layer end to end against the device simulator process over TCP
// on 127.0.0.1: connect by specifier, read the device's identity, device
// error replies, module queries, and a module behind a router.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "I2CClass.h"
#include "Lumivance2/common/aVersion.h"
#include "Module.h"
#include "SystemClass.h"
#include "test_objects_peer.h"

using namespace Morvanex::Lumivance;

namespace {

// The simulator binary of this build tree (tests/ and tools/ are siblings).
std::string simulatorPath() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../tools/simulator/simulator";
}

// One simulator process for the test, stopped on destruction.
class Simulator {
  public:
    explicit Simulator(const std::vector<std::string>& args) {
        std::string path = simulatorPath();
        if (access(path.c_str(), X_OK) != 0) return;
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv{const_cast<char*>(path.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        fd_ = out[0];
        readReady();
    }
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    bool available() const { return !ready_.empty(); }
    // TCP port of the module with that serial text (as in the ready line).
    uint16_t port(const std::string& serial) const {
        size_t at = ready_.find("\"serial\":\"" + serial + "\"");
        if (at == std::string::npos) return 0;
        size_t end = ready_.find('}', at);
        size_t p = ready_.find("\"port\":", at);
        if (p == std::string::npos || p > end) return 0;
        return static_cast<uint16_t>(std::atoi(ready_.c_str() + p + 7));
    }

  private:
    void readReady() {
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[512];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return;
            text.append(buf, static_cast<size_t>(n));
            size_t at = text.find("READY ");
            if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
                ready_ = text.substr(at, text.find('\n', at) - at);
                return;
            }
        }
    }
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string ready_;
};

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

class SimulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sim.available()) GTEST_SKIP() << "simulator not built at " << simulatorPath();
        ASSERT_NE(sim.port("40F5849A"), 0);
        ASSERT_EQ(router.setConfig(directConfig()), aErrNone);
        ASSERT_EQ(router.connectFromSpec(tcpSpec(0x40F5849A, sim.port("40F5849A"))), aErrNone);
    }
    Simulator sim{{"--module",
                   "serial=40F5849A,model=13,version=2.10.4,build=123,name=Bench,address=6,"
                   "tcp=127.0.0.1:0",
                   "--module", "serial=0000AAAA,router=40F5849A,address=10,model=5",
                   "--max-seconds", "60"}};
    Module router{2, 0};
};

}  // namespace

TEST_F(SimulatorTest, IdentityOfADirectDevice) {
    EXPECT_TRUE(router.isConnected());
    EXPECT_EQ(router.getModuleAddress(), 6);  // learned from the device
    SystemClass sys;
    sys.init(&router, 0);
    unsigned int serial = 0, version = 0, build = 0;
    unsigned char model = 0, module = 0;
    ASSERT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
    ASSERT_EQ(sys.getModel(&model), aErrNone);
    EXPECT_EQ(model, 13);
    ASSERT_EQ(sys.getModule(&module), aErrNone);
    EXPECT_EQ(module, 6);
    ASSERT_EQ(sys.getVersion(&version), aErrNone);
    EXPECT_EQ(aVersion_ParseMajor(version), 2);
    EXPECT_EQ(aVersion_ParseMinor(version), 10);
    EXPECT_EQ(aVersion_ParsePatch(version), 4u);
    ASSERT_EQ(router.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 123u);
    ASSERT_EQ(sys.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 123u);
    unsigned char name[32];
    size_t count = 0;
    ASSERT_EQ(sys.getName(name, sizeof name, &count), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), count), "Bench");

    const std::string longName = "a name longer than one chunk";
    ASSERT_EQ(sys.setName(reinterpret_cast<const unsigned char*>(longName.data()), longName.size()),
              aErrNone);
    ASSERT_EQ(sys.getName(name, sizeof name, &count), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), count), longName);

    const unsigned char echo[] = {9, 8, 7, 6};
    EXPECT_EQ(router.debug(echo, sizeof echo), aErrNone);
}

TEST_F(SimulatorTest, DeviceErrorReplies) {
    SystemClass sys;
    sys.init(&router, 0);
    unsigned char v8 = 0x5A;
    EXPECT_EQ(sys.getUEI8(60, &v8), aErrInvalidOption);
    EXPECT_EQ(v8, 0x5A);
    EXPECT_EQ(sys.setUEI32(9, 1), aErrPermission);  // the serial number is read-only
    EntityClass unknown;
    unknown.init(&router, 0x30, 0);
    EXPECT_EQ(unknown.getUEI8(1, &v8), aErrInvalidEntity);
    EXPECT_EQ(router.hasUEI(3, 9, 0, kHasUEISet), aErrPermission);
    EXPECT_EQ(router.hasUEI(3, 32, 0, kHasUEISet), aErrNone);
    // The link is still in step after the errors.
    unsigned int serial = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
}

TEST_F(SimulatorTest, ModuleBehindRouter) {
    SystemClass routerSys;
    routerSys.init(&router, 0);
    ASSERT_EQ(routerSys.routeToMe(1), aErrNone);
    I2CClass bus;
    bus.init(&router, 0);
    ASSERT_EQ(bus.setSpeed(3), aErrNone);
    const unsigned char zeros[2] = {0, 0};
    EXPECT_EQ(bus.write(10, 2, zeros), aErrNone);  // someone answers at 10
    EXPECT_NE(bus.write(12, 2, zeros), aErrNone);  // nobody at 12

    Module behind(10, false, 0);
    ASSERT_EQ(behind.setConfig(directConfig()), aErrNone);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    SystemClass sys;
    sys.init(&behind, 0);
    unsigned int serial = 0;
    unsigned char model = 0, routerAddress = 0;
    ASSERT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0000AAAAu);
    ASSERT_EQ(sys.getModel(&model), aErrNone);
    EXPECT_EQ(model, 5);
    ASSERT_EQ(sys.getRouter(&routerAddress), aErrNone);
    EXPECT_EQ(routerAddress, 6);
    unsigned int build = 0;
    EXPECT_EQ(behind.getBuild(&build), aErrNone);
    behind.disconnect();
    EXPECT_TRUE(router.isConnected());
    EXPECT_EQ(routerSys.routeToMe(0), aErrNone);
}
