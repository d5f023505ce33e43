// I2CClass: transfer layouts with the stored bus speed, status codes, short
// replies and the size limits.
#include <gtest/gtest.h>

#include <string>

#include "I2CClass.h"
#include "Module.h"
#include "test_objects_peer.h"

using namespace Morvanex::Lumivance;
using objtest::Bytes;
using objtest::pkt;
using objtest::ScriptedPeer;

namespace {

constexpr uint8_t kAddr = 0x02;

class I2CTest : public ::testing::Test {
  protected:
    void SetUp() override {
        aStream* s = peer.startMemory();
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(module.getLink()->connectStream(s), aErrNone);
        i2c.init(&module, 1);
    }
    void TearDown() override {
        module.disconnect();
        peer.stop();
        for (const std::string& f : peer.failures()) ADD_FAILURE() << f;
        EXPECT_EQ(peer.pending(), 0u);
    }
    ScriptedPeer peer{kAddr};
    Module module{kAddr, false, 0};
    I2CClass i2c;
};

}  // namespace

TEST_F(I2CTest, LimitsRefuseBeforeSending) {
    uint8_t buffer[32] = {};
    EXPECT_EQ(i2c.read(0x50, 24, buffer), aErrSize);
    EXPECT_EQ(i2c.write(0x50, 24, buffer), aErrSize);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    uint8_t speed = 9;
    ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
    EXPECT_EQ(i2c.getSpeed(nullptr), aErrParam);
    EXPECT_TRUE(peer.received().empty());
}

TEST_F(I2CTest, ReadCopiesWhatTheReplyHolds) {
    ASSERT_EQ(i2c.setSpeed(3), aErrNone);
    // Full read.
    peer.expect(pkt(kAddr, {8, 1, 0x51, 4, 3}),
                {pkt(kAddr, {8, 1, 0x51, 4, 0, 0xA, 0xB, 0xC, 0xD})});
    // The device claims more bytes than it sent: only those present are copied.
    peer.expect(pkt(kAddr, {8, 1, 0x51, 4, 3}), {pkt(kAddr, {8, 1, 0x51, 4, 0, 0x1, 0x2})});
    // The device sends more than asked: never more than the length is copied.
    peer.expect(pkt(kAddr, {8, 1, 0x51, 2, 3}),
                {pkt(kAddr, {8, 1, 0x51, 4, 0, 0x5, 0x6, 0x7, 0x8})});
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(i2c.read(0x50, 4, buffer), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{0xA, 0xB, 0xC, 0xD, 0xEE}));
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(i2c.read(0x50, 4, buffer), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x1, 0x2, 0xEE}));
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(i2c.read(0x50, 2, buffer), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x5, 0x6, 0xEE}));
}

TEST_F(I2CTest, StatusAndShortReplies) {
    struct Case {
        const char* what;
        std::vector<Bytes> replies;
        aErr result;
    } cases[] = {
        {"ok", {pkt(kAddr, {8, 1, 0x50, 0, 0})}, aErrNone},
        {"device error", {pkt(kAddr, {8, 1, 0x50, 0, 0x86})}, aErrIO},
        {"error bit without code", {pkt(kAddr, {8, 1, 0x50, 0, 0x80})}, aErrUnknown},
        {"no status byte", {pkt(kAddr, {8, 1, 0x50, 0})}, aErrPacket},
        {"nobody answers", {}, aErrTimeout},
    };
    const uint8_t data[2] = {0, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        peer.expect(pkt(kAddr, {8, 1, 0x50, 2, 0, 0, 0}), c.replies);
        EXPECT_EQ(i2c.write(0x50, 2, data), c.result);
    }
}

TEST_F(I2CTest, WriteAndPullupLayouts) {
    ASSERT_EQ(i2c.setSpeed(2), aErrNone);
    Bytes request{8, 1, 0x40, 23, 2};
    uint8_t data[23];
    for (int i = 0; i < 23; ++i) {
        data[i] = static_cast<uint8_t>(i + 1);
        request.push_back(data[i]);
    }
    peer.expect(pkt(kAddr, request), {pkt(kAddr, {8, 1, 0x40, 0, 0})});
    peer.expect(pkt(kAddr, {8, 1, 1, 1}), {pkt(kAddr, {8, 1, 1, 1, 0})});
    peer.expect(pkt(kAddr, {8, 1, 1, 0}), {pkt(kAddr, {8, 1, 1, 0, 0x85})});
    EXPECT_EQ(i2c.write(0x40, 23, data), aErrNone);
    EXPECT_EQ(i2c.setPullup(true), aErrNone);
    EXPECT_EQ(i2c.setPullup(false), aErrBusy);
}
