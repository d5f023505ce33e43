// Discovery: probe-reply decoding, dispatch by link type, and the TCP/IP and
// loopback multicast searches against fake devices and servers. Everything
// that sends multicast runs inside a private network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Lumivance2/common/aMulticast.h"
#include "Lumivance2/common/discover.h"
#include "private_network.h"

namespace {

unsigned int ipv4(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

struct Collected {
    std::vector<linkSpec> specs;
    size_t stopAfter = 1000;
};

bool collect(const linkSpec* spec, bool* counted, void* reference) {
    auto* c = static_cast<Collected*>(reference);
    c->specs.push_back(*spec);
    *counted = true;
    return c->specs.size() < c->stopAfter;
}

bool neverCalled(const linkSpec*, bool*, void* reference) {
    *static_cast<bool*>(reference) = true;
    return true;
}

}  // namespace

TEST(Discovery, TypesWithoutSearchReturnZeroAtOnce) {
    for (linkType type : std::vector<linkType>{LINK_INVALID, LINK_SERIAL, 8, 0xFFFFFFFF}) {
        bool called = false;
        EXPECT_EQ(aDiscovery_EnumerateModules(type, neverCalled, &called, 0), 0) << type;
        EXPECT_FALSE(called) << type;
    }
}

TEST(Discovery, ProbeReplyDecodingAcceptsOnlySixteenBytes) {
    const uint8_t reply[17] = {0, 0x06, 0x34, 0x12, 0x9A, 0x84, 0xF5, 0x40, 9,
                               9, 9,    9,    0x11, 7,    7,    7,    7};
    linkSpec spec;
    const unsigned int source = ipv4("10.77.0.2");
    ASSERT_TRUE(aDiscovery_DecodeProbeReply(reply, 16, source, &spec));
    EXPECT_EQ(spec.type, LINK_TCPIP);
    EXPECT_EQ(spec.moduleAddress, 6u);
    EXPECT_EQ(spec.routerAddress, 6u);
    EXPECT_EQ(spec.serialNumber, 0x40F5849Au);
    EXPECT_EQ(spec.routerSerialNumber, 0x40F5849Au);
    EXPECT_EQ(spec.model, 0x11u);
    EXPECT_EQ(spec.t.ip.ipPort, 0x1234u);
    EXPECT_EQ(spec.t.ip.ipAddress, source);
    for (int length : {0, 1, 15, 17})
        EXPECT_FALSE(aDiscovery_DecodeProbeReply(reply, length, source, &spec)) << length;
}

TEST(Discovery, ConvertIPv4InterfaceNeedsSixteenBytes) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("10.77.0.2"), buffer, 15), 0);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("255.255.255.255"), buffer, 16), 15);
    EXPECT_STREQ(buffer, "255.255.255.255");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("127.0.0.1"), buffer, 32), 9);
    EXPECT_STREQ(buffer, "127.0.0.1");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0, nullptr, 32), 0);
}

TEST(Discovery, FinderCallbacksCopyAndStop) {
    linkSpec found;
    std::memset(&found, 0, sizeof(found));
    found.type = LINK_TCPIP;
    found.serialNumber = 0x1234;
    found.model = 9;
    linkSpec wanted;
    std::memset(&wanted, 0, sizeof(wanted));
    wanted.serialNumber = 0x9999;
    bool counted = false;
    EXPECT_TRUE(cbSNCallback(&found, &counted, &wanted));  // other serial: go on
    EXPECT_FALSE(counted);
    wanted.serialNumber = 0x1234;
    EXPECT_FALSE(cbSNCallback(&found, &counted, &wanted));
    EXPECT_TRUE(counted);
    EXPECT_EQ(std::memcmp(&wanted, &found, sizeof(found)), 0);

    linkSpec zero;
    std::memset(&zero, 0, sizeof(zero));
    linkSpec first;
    counted = false;
    EXPECT_TRUE(cbFirstCallback(&zero, &counted, &first));  // serial 0 is passed over
    EXPECT_FALSE(counted);
    EXPECT_FALSE(cbFirstCallback(&found, &counted, &first));
    EXPECT_TRUE(counted);
    EXPECT_EQ(first.serialNumber, 0x1234u);
}

class PrivateNetwork : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!private_network::available()) GTEST_SKIP() << "network namespaces are not available";
    }
};

// A fake Ethernet module: answers the first probe it hears with its reply,
// preceded by a short and a long datagram that must be ignored.
static std::string fakeProbeResponder(std::atomic<bool>& ready, uint32_t serial) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int reuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    sockaddr_in bindAddress{};
    bindAddress.sin_family = AF_INET;
    bindAddress.sin_port = htons(aDISCOVERY_PROBE_PORT);
    if (bind(fd, reinterpret_cast<sockaddr*>(&bindAddress), sizeof(bindAddress)) != 0)
        return "bind";
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = ipv4(aDISCOVERY_PROBE_GROUP);
    membership.imr_interface.s_addr = ipv4("10.77.0.2");
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0)
        return "join";
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ready = true;
    uint8_t probe[64];
    sockaddr_in from{};
    socklen_t fromLength = sizeof(from);
    ssize_t got =
        recvfrom(fd, probe, sizeof(probe), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got != 16 || probe[0] != 1) {
        close(fd);
        return "no probe of 16 bytes starting with 1 (got " + std::to_string(got) + ")";
    }
    from.sin_port = htons(aDISCOVERY_REPLY_PORT);
    const uint8_t shortOne[10] = {0};
    const uint8_t longOne[40] = {0};
    uint8_t reply[16] = {0, 0x04, 0x10, 0x27};  // module 4, port 10000
    std::memcpy(reply + 4, &serial, 4);         // little-endian host
    reply[12] = 0x21;
    const std::pair<const uint8_t*, size_t> datagrams[] = {
        {shortOne, sizeof(shortOne)}, {longOne, sizeof(longOne)}, {reply, sizeof(reply)}};
    for (const auto& datagram : datagrams)
        sendto(fd, datagram.first, datagram.second, 0, reinterpret_cast<sockaddr*>(&from),
               sizeof(from));
    close(fd);
    return "";
}

TEST_F(PrivateNetwork, TcpipProbeFindsAModuleAndIgnoresMalformedDatagrams) {
    std::string failure = private_network::run(
        [] {
            std::atomic<bool> ready{false};
            std::string responderResult;
            std::thread responder([&] { responderResult = fakeProbeResponder(ready, 0x40F5849A); });
            for (int i = 0; i < 200 && !ready; ++i) usleep(10000);
            Collected found;
            uint8_t count =
                aDiscovery_EnumerateModules(LINK_TCPIP, collect, &found, ipv4("127.0.0.1"));
            responder.join();
            if (!responderResult.empty()) return "responder: " + responderResult;
            if (count != 1 || found.specs.size() != 1)
                return "expected one device, counted " + std::to_string(count);
            const linkSpec& s = found.specs[0];
            if (s.serialNumber != 0x40F5849A || s.t.ip.ipPort != 10000 || s.moduleAddress != 4 ||
                s.model != 0x21)
                return std::string("wrong specifier fields");
            if (s.t.ip.ipAddress != ipv4("10.77.0.1") && s.t.ip.ipAddress != ipv4("10.77.0.2"))
                return std::string("source address not taken from the datagram");
            return std::string();
        },
        /*withVeth=*/true);
    EXPECT_EQ(failure, "");
}

TEST_F(PrivateNetwork, TcpipProbeWithNoDeviceFindsNothing) {
    std::string failure = private_network::run(
        [] {
            linkSpec* spec = aDiscovery_FindModule(LINK_TCPIP, 0x12345678, 0);
            if (spec) {
                aLinkSpec_Destroy(&spec);
                return std::string("found a device on an empty network");
            }
            return std::string();
        },
        /*withVeth=*/true);
    EXPECT_EQ(failure, "");
}

// A fake network server on the loopback search: holds request port 9850+slot
// and answers each request with the given specifier bytes, `answers` times.
static void fakeServer(int slot, const linkSpec& spec, int answers, std::atomic<int>& ready) {
    const unsigned int group = ipv4(aDISCOVERY_LOOPBACK_GROUP);
    aMulticast* requests =
        aMulticast_Create(0, group, static_cast<unsigned short>(aDISCOVERY_SERVER_BASE_PORT + slot),
                          aMulticast_Receiver);
    aMulticast* replies =
        aMulticast_Create(0, group, static_cast<unsigned short>(aDISCOVERY_CLIENT_BASE_PORT + slot),
                          aMulticast_Sender);
    ++ready;
    uint8_t bytes[128];
    aLinkSpec_ToBytes(spec, bytes);
    for (int i = 0; i < answers && requests && replies;) {
        uint32_t request = 0;
        int got = aMulticast_Receive(requests, &request, sizeof(request));
        if (got < 0) break;  // 1 s of silence: the search is over
        if (got == 4 && request == aDISCOVERY_MULTICAST_REQUEST) {
            aMulticast_Send(replies, bytes, sizeof(bytes));
            ++i;
        }
    }
    aMulticast_Destroy(&requests);
    aMulticast_Destroy(&replies);
}

static linkSpec servedSpec(uint32_t serial, const char* address) {
    linkSpec spec;
    std::memset(&spec, 0, sizeof(spec));
    spec.type = LINK_ANET_TCPIP;
    spec.serialNumber = serial;
    spec.t.ip.ipAddress = ipv4(address);
    spec.t.ip.ipPort = 7000;
    return spec;
}

TEST_F(PrivateNetwork, LoopbackSearchReportsLocalServersOnceEach) {
    std::string failure = private_network::run([] {
        std::atomic<int> ready{0};
        // Slots 2 and 7 serve the same device (reported once); slot 4 serves a
        // device on another host, which local mode passes over.
        std::thread a(fakeServer, 2, servedSpec(0xAAAA0001, "127.0.0.1"), 1, std::ref(ready));
        std::thread b(fakeServer, 7, servedSpec(0xAAAA0001, "127.0.0.1"), 1, std::ref(ready));
        std::thread c(fakeServer, 4, servedSpec(0xBBBB0002, "10.1.2.3"), 1, std::ref(ready));
        std::thread d(fakeServer, 9, servedSpec(0xCCCC0003, "127.0.0.1"), 1, std::ref(ready));
        for (int i = 0; i < 200 && ready < 4; ++i) usleep(10000);
        Collected found;
        uint8_t count = aDiscovery_EnumerateModules(LINK_ANET, collect, &found, 0);
        a.join();
        b.join();
        c.join();
        d.join();
        if (count != 2 || found.specs.size() != 2)
            return "expected 2 devices, counted " + std::to_string(count);
        if (found.specs[0].serialNumber != 0xAAAA0001 || found.specs[1].serialNumber != 0xCCCC0003)
            return std::string("wrong devices or order");
        return std::string();
    });
    EXPECT_EQ(failure, "");
}

TEST_F(PrivateNetwork, CallbackReturningFalseStopsTheSearch) {
    std::string failure = private_network::run([] {
        std::atomic<int> ready{0};
        std::thread a(fakeServer, 1, servedSpec(0x1, "127.0.0.1"), 1, std::ref(ready));
        std::thread b(fakeServer, 3, servedSpec(0x3, "127.0.0.1"), 1, std::ref(ready));
        for (int i = 0; i < 200 && ready < 2; ++i) usleep(10000);
        Collected found;
        found.stopAfter = 1;
        uint8_t count = aDiscovery_Enumerate_aNetModules(collect, &found, 0);
        a.join();
        b.join();
        if (count != 1 || found.specs.size() != 1 || found.specs[0].serialNumber != 0x1)
            return "expected the search to stop after the first device, counted " +
                   std::to_string(count);
        return std::string();
    });
    EXPECT_EQ(failure, "");
}
