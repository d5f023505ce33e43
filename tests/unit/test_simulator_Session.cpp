#include <gtest/gtest.h>

#include "EventLog.h"
#include "Faults.h"
#include "Module.h"
#include "Session.h"

using namespace sim;
using std::chrono::milliseconds;

namespace {

ModuleConfig cfg(uint32_t serial, uint8_t address, unsigned hb = 0) {
    ModuleConfig c;
    c.serial = serial;
    c.address = address;
    c.heartbeatMs = hb;
    return c;
}

// Splits raw stream bytes into (address, data) packets.
std::vector<Packet> packets(const std::vector<uint8_t>& bytes) {
    PacketParser parser;
    std::vector<Packet> out;
    Packet p;
    for (uint8_t b : bytes)
        if (parser.feed(b, p)) out.push_back(p);
    return out;
}

struct Fixture : ::testing::Test {
    EventLog log;
    Clock::time_point t0 = Clock::now();

    void send(Session& s, std::vector<uint8_t> wire, Clock::time_point at) {
        s.receive(wire.data(), wire.size(), at);
    }
};

}  // namespace

using SimSession = Fixture;

TEST_F(SimSession, AnswersEveryAddressQueryWithItsAddress) {
    Module m(cfg(0x40F5849A, 6), log);
    Session s(m, Framing::Raw, "tcp", log, nullptr, true, t0);
    std::vector<uint8_t> six;
    for (int i = 0; i < 6; ++i) six.insert(six.end(), {0xAD, 0x00});
    send(s, six, t0);
    EXPECT_EQ(s.takeOutput(t0), std::vector<uint8_t>({6, 0, 6, 0, 6, 0, 6, 0, 6, 0, 6, 0}));
}

TEST_F(SimSession, HeartbeatsAlternateAndAnswersAreChecked) {
    Module m(cfg(1, 4, 200), log);
    Session s(m, Framing::Raw, "tcp", log, nullptr, true, t0);
    s.tick(t0 + milliseconds(100));
    EXPECT_TRUE(s.takeOutput(t0 + milliseconds(100)).empty());
    EXPECT_EQ(s.nextWake(), t0 + milliseconds(200));

    Clock::time_point t = t0 + milliseconds(200);
    s.tick(t);
    EXPECT_EQ(s.takeOutput(t), std::vector<uint8_t>({4, 2, 0, 0}));
    send(s, {4, 2, 0, 2}, t);  // right answer: v + 2
    t += milliseconds(200);
    s.tick(t);
    EXPECT_EQ(s.takeOutput(t), std::vector<uint8_t>({4, 2, 0, 1}));
    send(s, {4, 2, 0, 1}, t);  // wrong answer (v instead of v + 2)
    t += milliseconds(200);
    s.tick(t);  // the previous one is now missed
    EXPECT_EQ(s.takeOutput(t), std::vector<uint8_t>({4, 2, 0, 0}));
    EXPECT_EQ(s.stats().heartbeatsSent, 3u);
    EXPECT_EQ(s.stats().heartbeatsAnswered, 1u);
    EXPECT_EQ(s.stats().heartbeatsMissed, 1u);
}

TEST_F(SimSession, TerminalHeartbeatsFollowTheHostsRoutePackets) {
    Module m(cfg(1, 2, 100), log);
    Session s(m, Framing::Raw, "usb", log, nullptr, false, t0);
    s.tick(t0 + milliseconds(500));
    EXPECT_TRUE(s.takeOutput(t0 + milliseconds(500)).empty());  // no host yet
    Clock::time_point t = t0 + milliseconds(500);
    send(s, {0xAF, 1, 1}, t);
    EXPECT_TRUE(m.route());
    s.tick(t + milliseconds(100));
    EXPECT_EQ(s.takeOutput(t + milliseconds(100)), std::vector<uint8_t>({2, 2, 0, 0}));
    send(s, {0xAF, 1, 0}, t + milliseconds(150));
    EXPECT_FALSE(m.route());
    s.tick(t + milliseconds(1000));
    EXPECT_TRUE(s.takeOutput(t + milliseconds(1000)).empty());
    EXPECT_EQ(s.nextWake(), Clock::time_point::max());
}

TEST_F(SimSession, AbandonsAHalfPacketAfterAPause) {
    Module m(cfg(1, 2), log);
    Session s(m, Framing::Raw, "tcp", log, nullptr, true, t0);
    send(s, {0x02, 0x05, 0x03}, t0);  // three of seven bytes
    send(s, {0x02, 0x02, 0x49, 0xFF}, t0 + milliseconds(400));
    std::vector<Packet> out = packets(s.takeOutput(t0 + milliseconds(400)));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, std::vector<uint8_t>({0x49, 0xFF, 0, 0, 0, 1}));
}

TEST_F(SimSession, CobsFramingBothWays) {
    Module m(cfg(1, 6), log);
    Session s(m, Framing::Cobs, "serial", log, nullptr, false, t0);
    send(s, {0x02, 0xAD, 0x02, 0x67, 0x00}, t0);
    EXPECT_EQ(s.takeOutput(t0), std::vector<uint8_t>({0x02, 0x06, 0x02, 0xAA, 0x00}));
    // a bad CRC is counted and not answered; stray delimiters are ignored
    send(s, {0x00, 0x02, 0xAD, 0x02, 0x66, 0x00, 0x00}, t0);
    EXPECT_TRUE(s.takeOutput(t0).empty());
    EXPECT_EQ(s.stats().badFrames, 1u);
    // an over-long frame is dropped whole
    std::vector<uint8_t> longFrame(40, 0x11);
    longFrame.push_back(0);
    send(s, longFrame, t0);
    EXPECT_EQ(s.stats().badFrames, 2u);
}

TEST_F(SimSession, RoutesPacketsToModulesBehindARouter) {
    Module router(cfg(0xD272031D, 2), log);
    Module behind(cfg(0xAAAA, 10), log);
    router.attach(&behind);
    Session s(router, Framing::Raw, "tcp", log, nullptr, true, t0);
    send(s, {10, 3, 3, 0x49, 0x20}, t0);  // serial number of the module at 10
    send(s, {12, 3, 3, 0x49, 0x20}, t0);  // nobody at 12
    std::vector<Packet> out = packets(s.takeOutput(t0));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].address, 10);
    EXPECT_EQ(out[0].data, std::vector<uint8_t>({3, 9, 0, 0, 0, 0xAA, 0xAA}));
    EXPECT_EQ(behind.settings().routerAddress, 2);
}

TEST_F(SimSession, FaultsDropDelayAndDisconnect) {
    FaultConfig fc;
    fc.drop = 1;
    fc.limit = 1;
    fc.delayMs = 50;
    fc.disconnectAfter = 3;
    fc.downMs = 700;
    FaultInjector faults(fc);
    Module m(cfg(1, 2), log);
    Session s(m, Framing::Raw, "tcp", log, &faults, true, t0);
    send(s, {2, 2, 0x49, 0xFF}, t0);  // reply dropped
    send(s, {2, 2, 0x49, 0xFF}, t0);
    EXPECT_TRUE(s.takeOutput(t0 + milliseconds(49)).empty());  // delayed
    EXPECT_EQ(packets(s.takeOutput(t0 + milliseconds(50))).size(), 1u);
    EXPECT_EQ(s.takeDisconnect(), -1);
    send(s, {2, 2, 0x49, 0xFF}, t0);
    send(s, {2, 2, 0x49, 0xFF}, t0);  // the third packet sent
    EXPECT_EQ(s.takeDisconnect(), 700);
    EXPECT_EQ(s.takeDisconnect(), -1);
}

TEST(SimFaults, SameSeedSameDecisions) {
    FaultConfig fc;
    fc.drop = 0.3;
    fc.corrupt = 0.3;
    fc.after = 2;
    fc.seed = 9;
    FaultInjector a(fc), b(fc);
    int drops = 0, passes = 0;
    for (int i = 0; i < 200; ++i) {
        FaultInjector::Action x = a.onPacket(true);
        EXPECT_EQ(x, b.onPacket(true));
        if (i < 2) {
            EXPECT_EQ(x, FaultInjector::Action::Pass);
        }
        drops += x == FaultInjector::Action::Drop;
        passes += x == FaultInjector::Action::Pass;
    }
    EXPECT_GT(drops, 20);
    EXPECT_GT(passes, 40);
    // inbound packets are untouched unless asked for
    EXPECT_EQ(a.onPacket(false), FaultInjector::Action::Pass);
    std::vector<uint8_t> frame = {0x02, 0x06, 0x02, 0xAA, 0x00};
    for (int i = 0; i < 50; ++i) {
        std::vector<uint8_t> f = frame;
        a.corruptBytes(f);
        EXPECT_NE(f, frame);
        EXPECT_EQ(f.back(), 0);  // the delimiter stays
        for (size_t k = 0; k + 1 < f.size(); ++k) EXPECT_NE(f[k], 0);
    }
}
