// Link creation, sharing, destruction and reset, with a scripted TCP device on
// the loopback interface and a pseudo-terminal standing in for a serial port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aTime.h"
#include "memory_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr uint8_t kModuleAddress = 6;
constexpr uint8_t kModel = 0x2A;

// A device on 127.0.0.1 that answers the module-address query (0xAD) and the
// model query, one connection at a time. It runs at most 30 s.
class TcpDevice {
  public:
    enum Mode { kAnswer, kSilent, kGarbled };

    explicit TcpDevice(Mode mode = kAnswer) : mode_(mode) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = kLoopback;
        address.sin_port = 0;
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(listener_, 4) == 0) {
            socklen_t length = sizeof address;
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
            port = ntohs(address.sin_port);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~TcpDevice() {
        stop_ = true;
        thread_.join();
        if (client_ >= 0) close(client_);
        close(listener_);
    }

    // Waits until `count` route packets with `value` have arrived.
    bool waitForRoute(uint8_t value, int count, unsigned timeoutMs = 3000) {
        const uint64_t start = aTime_GetMSTicks();
        while (aTime_GetMSTicks() - start < timeoutMs) {
            if (routes(value) >= count) return true;
            aTime_MSSleep(5);
        }
        return false;
    }
    int routes(uint8_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (uint8_t v : routes_) n += v == value;
        return n;
    }

    uint16_t port = 0;
    std::atomic<int> connections{0};
    std::atomic<int> disconnections{0};

  private:
    void run() {
        const uint64_t start = aTime_GetMSTicks();
        Bytes pending;
        while (!stop_ && aTime_GetMSTicks() - start < 30000) {
            pollfd fds[2] = {{listener_, POLLIN, 0}, {client_, POLLIN, 0}};
            if (poll(fds, client_ >= 0 ? 2 : 1, 50) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                int accepted = accept(listener_, nullptr, nullptr);
                if (accepted >= 0) {
                    if (client_ >= 0) close(client_);
                    client_ = accepted;
                    pending.clear();
                    ++connections;
                }
                continue;
            }
            if (client_ < 0 || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            uint8_t buffer[512];
            ssize_t n = recv(client_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                close(client_);
                client_ = -1;
                ++disconnections;
                continue;
            }
            pending.insert(pending.end(), buffer, buffer + n);
            while (pending.size() >= 2 && pending.size() >= size_t(pending[1]) + 2) {
                Bytes packet(pending.begin(), pending.begin() + pending[1] + 2);
                pending.erase(pending.begin(), pending.begin() + pending[1] + 2);
                answer(packet);
            }
        }
    }

    void answer(const Bytes& packet) {
        if (packet[0] == 0xAF && packet[1] == 1) {
            std::lock_guard<std::mutex> lock(mutex_);
            routes_.push_back(packet[2]);
            return;
        }
        if (mode_ == kSilent) return;
        Bytes reply;
        if (packet == Bytes({0xAD, 0})) {
            reply = mode_ == kGarbled ? Bytes({kModuleAddress, 1, 0}) : Bytes({kModuleAddress, 0});
        } else if (packet == Bytes({kModuleAddress, 3, 3, 0x48, 0x20})) {
            reply = mode_ == kGarbled ? Bytes({kModuleAddress, 3, 3, 0x48, 0x20})
                                      : Bytes({kModuleAddress, 4, 3, 0x48, 0x20, kModel});
        }
        if (!reply.empty()) send(client_, reply.data(), reply.size(), MSG_NOSIGNAL);
    }

    Mode mode_;
    int listener_ = -1;
    int client_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<uint8_t> routes_;
};

uint8_t consumeAll(const aPacket*, void*) {
    return 1;
}

int gServerDestroyed = 0;
void destroyServer(void* server) {
    ++gServerDestroyed;
    *static_cast<int*>(server) = -1;
}

// A pseudo-terminal whose slave side stands in for a serial port.
class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            path = ptsname(master_);
        }
    }
    ~Pty() {
        if (master_ >= 0) close(master_);
    }
    std::string path;

  private:
    int master_ = -1;
};

int32_t memoryLink(aStream** device) {
    aStream* end = nullptr;
    if (aStream_CreateMemoryPair(&end, device, 20) != aErrNone) return 0;
    return aLink_Create(end);
}

}  // namespace

TEST(aLinkCreate, TcpLinksAreSharedPerSerialNumberUntilTheLastUserLeaves) {
    TcpDevice device;
    ASSERT_NE(0, device.port);
    int32_t first = aLink_CreateTCPIP(0x40F5849A, kLoopback, device.port);
    ASSERT_NE(0, first);
    EXPECT_EQ(LINK_STATUS_RUNNING, aLink_GetStatus(first));
    EXPECT_TRUE(device.waitForRoute(1, 1));
    int32_t second = aLink_CreateTCPIP(0x40F5849A, kLoopback, device.port);
    EXPECT_EQ(first, second);
    EXPECT_EQ(1, device.connections.load());
    TcpDevice otherDevice;  // a device serves one connection at a time
    int32_t other = aLink_CreateTCPIP(0x12345678, kLoopback, otherDevice.port);
    EXPECT_NE(0, other);
    EXPECT_NE(first, other);

    const int32_t id = first;
    EXPECT_EQ(aErrNone, aLink_Destroy(&first));
    EXPECT_EQ(0, first);
    EXPECT_EQ(LINK_STATUS_RUNNING, aLink_GetStatus(id)) << "one user left";
    uint8_t address = 0;
    EXPECT_EQ(aErrNone, _aLink_GetModuleAddress(second, &address));
    EXPECT_EQ(kModuleAddress, address);

    EXPECT_EQ(aErrNone, aLink_Destroy(&second));
    EXPECT_EQ(LINK_STATUS_INVALID, aLink_GetStatus(id));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(0x40F5849A, LINK_TCPIP));
    EXPECT_TRUE(device.waitForRoute(0, 1)) << "the route packet 0 is sent before closing";
    aLink_Destroy(&other);
    EXPECT_EQ(aErrParam, aLink_Destroy(&other)) << "already gone";
}

TEST(aLinkCreate, ModuleAddressAndModelQueries) {
    struct Case {
        TcpDevice::Mode mode;
        aErr addressResult;
        aErr modelResult;
    };
    const Case cases[] = {
        {TcpDevice::kAnswer, aErrNone, aErrNone},
        {TcpDevice::kGarbled, aErrIO, aErrIO},
        {TcpDevice::kSilent, aErrTimeout, aErrTimeout},
    };
    uint32_t serial = 0x1000;
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.mode));
        TcpDevice device(c.mode);
        int32_t id = aLink_CreateTCPIP(++serial, kLoopback, device.port);
        ASSERT_NE(0, id);
        uint8_t address = 0;
        uint8_t model = 0;
        EXPECT_EQ(c.addressResult, _aLink_GetModuleAddress(id, &address));
        EXPECT_EQ(c.modelResult, _aLink_GetModel(id, kModuleAddress, &model));
        if (c.mode == TcpDevice::kAnswer) {
            EXPECT_EQ(kModuleAddress, address);
            EXPECT_EQ(kModel, model);
            // Nothing answers for another module address.
            EXPECT_EQ(aErrTimeout, _aLink_GetModel(id, 8, &model));
        }
        aLink_Destroy(&id);
    }
    EXPECT_EQ(aErrParam, _aLink_GetModuleAddress(99999, nullptr));
}

TEST(aLinkCreate, FailedCreationsLeaveNothingBehind) {
    // Nothing listens on a port that a closed listener just gave up.
    uint16_t closedPort = 0;
    {
        TcpDevice device;
        closedPort = device.port;
    }
    EXPECT_EQ(0, aLink_CreateTCPIP(0x2222, kLoopback, closedPort));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(0x2222, LINK_TCPIP));

    EXPECT_EQ(0, aLink_CreateUSB(0x3333)) << "no such USB device";
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(0x3333, LINK_USB));

    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    EXPECT_EQ(0, aLink_CreateSerial(0x4444, pty.path.c_str(), 14400)) << "not a supported rate";
    EXPECT_EQ(0, aLink_CreateSerial(0x4444, "/dev/nonexistent-serial-port", 115200));
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(0x4444, LINK_SERIAL));

    EXPECT_EQ(0, aLink_Create(nullptr));
}

TEST(aLinkCreate, SerialLinksShareAndCannotBeReset) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    int32_t first = aLink_CreateSerial(0x5555, pty.path.c_str(), 115200);
    ASSERT_NE(0, first);
    EXPECT_EQ(LINK_STATUS_RUNNING, aLink_GetStatus(first));
    int32_t second = aLink_CreateSerial(0x5555, "/any/other/name", 9600);
    EXPECT_EQ(first, second) << "shared by serial number";

    EXPECT_EQ(aErrParam, aLink_Reset(first));
    EXPECT_EQ(LINK_STATUS_STOPPED, aLink_GetStatus(first));
    aPacket* packet = aPacket_CreateWithData(6, 0, Bytes{0}.data());
    EXPECT_NE(aErrNone, aLink_PutPacket(first, packet)) << "its FIFOs went with the reset";
    aPacket_Destroy(&packet);
    EXPECT_EQ(aErrNone, aLink_Destroy(&first));
    EXPECT_EQ(aErrNone, aLink_Destroy(&second));
    EXPECT_EQ(aErrParam, aLink_Reset(99999));
}

TEST(aLinkCreate, ResetReconnectsATcpLink) {
    TcpDevice device;
    int32_t id = aLink_CreateTCPIP(0x6666, kLoopback, device.port);
    ASSERT_NE(0, id);
    ASSERT_TRUE(device.waitForRoute(1, 1));
    // A filter that swallows everything; the reset drops it.
    ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(id, consumeAll, nullptr));
    EXPECT_EQ(aErrNone, aLink_Reset(id));
    EXPECT_EQ(LINK_STATUS_RUNNING, aLink_GetStatus(id));
    EXPECT_TRUE(device.waitForRoute(0, 1));
    EXPECT_TRUE(device.waitForRoute(1, 2));
    EXPECT_EQ(2, device.connections.load());
    uint8_t address = 0;
    EXPECT_EQ(aErrNone, _aLink_GetModuleAddress(id, &address));
    EXPECT_EQ(kModuleAddress, address);
    aLink_Destroy(&id);
}

TEST(aLinkCreate, ServedLinksAreNotSharedAndTheirServerGoesWithThem) {
    TcpDevice device;
    int32_t id = aLink_CreateTCPIP(0x7777, kLoopback, device.port);
    ASSERT_NE(0, id);
    int server = 1;
    gServerDestroyed = 0;
    ASSERT_EQ(aErrNone, sSetServer(id, &server, destroyServer));
    EXPECT_EQ(0, aLink_CreateTCPIP(0x7777, kLoopback, device.port));
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    EXPECT_EQ(1, gServerDestroyed);
    EXPECT_EQ(-1, server);
}

// A client link made over a device link releases the device link with it.
TEST(aLinkCreate, DestroyingAClientLinkReleasesItsDeviceLink) {
    aStream* deviceEnd = nullptr;
    aStream* clientEnd = nullptr;
    int32_t deviceLink = memoryLink(&deviceEnd);
    int32_t clientLink = memoryLink(&clientEnd);
    ASSERT_NE(0, deviceLink);
    ASSERT_NE(0, clientLink);
    ASSERT_EQ(aErrNone, sSetDeviceLinkId(clientLink, deviceLink));
    const int32_t deviceId = deviceLink;
    EXPECT_EQ(aErrNone, aLink_Destroy(&clientLink));
    EXPECT_EQ(LINK_STATUS_INVALID, aLink_GetStatus(deviceId));
    aStream_Destroy(&deviceEnd);
    aStream_Destroy(&clientEnd);
}

TEST(aLinkCreate, CallerStreamLinksAreNeverShared) {
    aStream* a = nullptr;
    aStream* b = nullptr;
    int32_t first = memoryLink(&a);
    int32_t second = memoryLink(&b);
    ASSERT_NE(0, first);
    ASSERT_NE(0, second);
    EXPECT_NE(first, second);
    EXPECT_EQ(aErrParam, aLink_Reset(first)) << "a caller's stream cannot be remade";
    EXPECT_EQ(LINK_STATUS_STOPPED, aLink_GetStatus(first));
    aLink_Destroy(&first);
    aLink_Destroy(&second);
    aStream_Destroy(&a);
    aStream_Destroy(&b);
}
