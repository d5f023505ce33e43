// The multicast wrapper: mode checks, the port-in-use test that loopback
// discovery relies on, the receive time-out and a round trip. Sockets that
// send multicast are made only inside a private network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Lumivance2/common/aMulticast.h"
#include "private_network.h"

namespace {
unsigned int ipv4(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}
}  // namespace

TEST(Multicast, NoObjectAndWrongMode) {
    char buffer[4] = {0};
    EXPECT_EQ(aMulticast_Send(nullptr, buffer, 4), -2);
    EXPECT_EQ(aMulticast_Receive(nullptr, buffer, 4), -2);
    aMulticast* none = nullptr;
    EXPECT_EQ(aMulticast_Destroy(&none), -2);
    EXPECT_EQ(aMulticast_Destroy(nullptr), -2);
    EXPECT_EQ(aMulticast_Create(0, ipv4("224.0.0.7"), 9850, 2), nullptr);
}

TEST(Multicast, BehaviourInsidePrivateNetwork) {
    if (!private_network::available()) GTEST_SKIP() << "network namespaces are not available";
    std::string failure = private_network::run([] {
        const unsigned int group = ipv4("224.0.0.7");
        aMulticast* receiver = aMulticast_Create(0, group, 9855, aMulticast_Receiver);
        if (!receiver) return std::string("receiver not created");
        if (aMulticast_Create(ipv4("127.0.0.1"), group, 9855, aMulticast_Receiver))
            return std::string("a second receiver on a held port was created");
        aMulticast* sender = aMulticast_Create(0, group, 9855, aMulticast_Sender);
        if (!sender) return std::string("sender not created");
        char buffer[16];
        if (aMulticast_Send(receiver, "x", 1) != -3) return std::string("send on a receiver");
        if (aMulticast_Receive(sender, buffer, sizeof(buffer)) != -3)
            return std::string("receive on a sender");

        const auto start = std::chrono::steady_clock::now();
        if (aMulticast_Receive(receiver, buffer, sizeof(buffer)) != -1)
            return std::string("received from silence");
        const auto waited = std::chrono::steady_clock::now() - start;
        if (waited < std::chrono::milliseconds(500) || waited > std::chrono::seconds(5))
            return std::string("receive time-out is not about one second");

        if (aMulticast_Send(sender, "hello", 5) != 5) return std::string("send failed");
        if (aMulticast_Receive(receiver, buffer, sizeof(buffer)) != 5 ||
            std::string(buffer, 5) != "hello")
            return std::string("datagram not received");
        aMulticast_Destroy(&sender);
        aMulticast_Destroy(&receiver);
        if (receiver || sender) return std::string("destroy did not clear the pointer");
        // The port is free again.
        receiver = aMulticast_Create(0, group, 9855, aMulticast_Receiver);
        if (!receiver) return std::string("port not released");
        aMulticast_Destroy(&receiver);
        return std::string();
    });
    EXPECT_EQ(failure, "");
}
