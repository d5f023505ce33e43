// EntityClass: request layouts of get, set and call, reply handling (values,
// device errors, wrong lengths, silence), byte runs and the store requests,
// against a scripted device on an in-memory stream pair.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Entity.h"
#include "Module.h"
#include "test_objects_peer.h"

using namespace Morvanex::Lumivance;
using objtest::Bytes;
using objtest::pkt;
using objtest::ScriptedPeer;

namespace {

constexpr uint8_t kAddr = 0x0A;
constexpr uint8_t kClass = 0x0C;
constexpr uint8_t kIndex = 2;

class EntityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        aStream* s = peer.startMemory();
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(module.getLink()->connectStream(s), aErrNone);
        entity.init(&module, kClass, kIndex);
    }
    void TearDown() override {
        module.disconnect();
        peer.stop();
        for (const std::string& f : peer.failures()) ADD_FAILURE() << f;
        EXPECT_EQ(peer.pending(), 0u) << "scripted requests never sent";
    }
    // A get request of option `o` and the reply data bytes from the module.
    void get(uint8_t o, Bytes reply) {
        peer.expect(pkt(kAddr, {kClass, static_cast<uint8_t>(o | 0x40), 0x22}),
                    {pkt(kAddr, reply)});
    }
    ScriptedPeer peer{kAddr};
    Module module{kAddr, false, 0};
    EntityClass entity;
};

}  // namespace

TEST(EntityUnbound, NeedsAModule) {
    EntityClass e;
    uint8_t v8;
    unsigned int v32;
    size_t n;
    uint8_t buf[4];
    uint8_t len = 0;
    uei m{};
    EXPECT_EQ(e.getUEI8(1, &v8), aErrResource);
    EXPECT_EQ(e.getUEI32(1, &v32), aErrResource);
    EXPECT_EQ(e.setUEI8(1, 1), aErrResource);
    EXPECT_EQ(e.callUEI(1), aErrResource);
    EXPECT_EQ(e.getUEI(1, &m), aErrResource);
    EXPECT_EQ(e.setUEI(1, 2, &m), aErrResource);
    EXPECT_EQ(e.getUEIBytes(1, buf, sizeof buf, &n), aErrResource);
    EXPECT_EQ(e.sendPacket(1, 0, nullptr), aErrResource);
    EXPECT_EQ(e.receivePacket(buf, &len, buf), aErrResource);
    EXPECT_EQ(e.awaitUEI32Val(1, &v32, 0), aErrResource);
    EXPECT_EQ(e.drainUEI(1), aErrResource);
    EXPECT_EQ(e.saveEntityToStore(), aErrResource);
    EXPECT_EQ(e.getModule(), nullptr);
}

TEST(EntityUnbound, ByteCountToElements) {
    struct Case {
        size_t count, unit;
        aErr result;
        size_t after;
    } cases[] = {{12, 4, aErrNone, 3},
                 {10, 4, aErrMemory, 10},
                 {0, 4, aErrNone, 0},
                 {12, 1, aErrNone, 12},
                 {12, 0, aErrParam, 12}};
    for (const Case& c : cases) {
        size_t n = c.count;
        EXPECT_EQ(EntityClass::getUEIBytesCheck(&n, c.unit), c.result) << c.count << "/" << c.unit;
        EXPECT_EQ(n, c.after);
    }
    EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
}

TEST_F(EntityTest, GettersReadBigEndianValues) {
    get(5, {kClass, 5, kIndex, 0x7F});
    get(6, {kClass, 6, kIndex, 0xBE, 0xEF});
    get(7, {kClass, 7, kIndex, 0x12, 0x34, 0x56, 0x78});
    uint8_t v8 = 0;
    unsigned short v16 = 0;
    unsigned int v32 = 0;
    EXPECT_EQ(entity.getUEI8(5, &v8), aErrNone);
    EXPECT_EQ(v8, 0x7F);
    EXPECT_EQ(entity.getUEI16(6, &v16), aErrNone);
    EXPECT_EQ(v16, 0xBEEF);
    EXPECT_EQ(entity.getUEI32(7, &v32), aErrNone);
    EXPECT_EQ(v32, 0x12345678u);
    EXPECT_EQ(entity.getUEI8(5, nullptr), aErrParam);
    EXPECT_EQ(entity.getUEI16(5, nullptr), aErrParam);
    EXPECT_EQ(entity.getUEI32(5, nullptr), aErrParam);
}

TEST_F(EntityTest, SubindexTravelsAsTheRequestValue) {
    peer.expect(pkt(kAddr, {kClass, 0x44, 0x22, 9}), {pkt(kAddr, {kClass, 4, kIndex, 0x01, 0x02})});
    peer.expect(pkt(kAddr, {kClass, 0x44, 0x22, 3}),
                {pkt(kAddr, {kClass, 4, kIndex, 0, 0, 0x01, 0x02})});
    peer.expect(pkt(kAddr, {kClass, 0x44, 0x22, 1}), {pkt(kAddr, {kClass, 4, kIndex, 0x33})});
    unsigned short v16 = 0;
    unsigned int v32 = 0;
    uint8_t v8 = 0;
    EXPECT_EQ(entity.getUEI16(4, 9, &v16), aErrNone);
    EXPECT_EQ(v16, 0x0102);
    EXPECT_EQ(entity.getUEI32(4, 3, &v32), aErrNone);
    EXPECT_EQ(v32, 0x0102u);
    EXPECT_EQ(entity.getUEI8(4, 1, &v8), aErrNone);
    EXPECT_EQ(v8, 0x33);
}

// Replies that are not a value of the right width: the getter fails and its
// output stays as it was.
TEST_F(EntityTest, GetterFailuresLeaveOutputUnchanged) {
    struct Case {
        const char* what;
        std::vector<Bytes> replies;
        aErr result;
    } cases[] = {
        {"device error", {pkt(kAddr, {kClass, 3, 0x82, aErrInvalidOption})}, aErrInvalidOption},
        {"error without a code", {pkt(kAddr, {kClass, 3, 0x82})}, aErrUnknown},
        {"silence", {}, aErrTimeout},
        {"two-byte value for a 32-bit get", {pkt(kAddr, {kClass, 3, kIndex, 1, 2})}, aErrSize},
        {"six data bytes", {pkt(kAddr, {kClass, 3, kIndex, 1, 2, 3})}, aErrSize},
        {"reply to another index only", {pkt(kAddr, {kClass, 3, 1, 1, 2, 3, 4})}, aErrTimeout},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        peer.expect(pkt(kAddr, {kClass, 0x43, 0x22}), c.replies);
        unsigned int v = 0xCAFEF00D;
        EXPECT_EQ(entity.getUEI32(3, &v), c.result);
        EXPECT_EQ(v, 0xCAFEF00Du);
        entity.drainUEI(3);
    }
}

TEST_F(EntityTest, SettersAndCallLayouts) {
    peer.expect(pkt(kAddr, {kClass, 0x85, 0x22, 5}), {pkt(kAddr, {kClass, 0xC5, kIndex})});
    peer.expect(pkt(kAddr, {kClass, 0x85, 0x22, 0x12, 0x34}), {pkt(kAddr, {kClass, 0xC5, kIndex})});
    peer.expect(pkt(kAddr, {kClass, 0x85, 0x22, 1, 2, 3, 4}), {pkt(kAddr, {kClass, 0xC5, kIndex})});
    peer.expect(pkt(kAddr, {kClass, 0x8B, 0x22}), {pkt(kAddr, {kClass, 0xCB, kIndex})});
    peer.expect(pkt(kAddr, {kClass, 0x85, 0x22, 7, 5}), {pkt(kAddr, {kClass, 0xC5, kIndex})});
    peer.expect(pkt(kAddr, {kClass, 0x85, 0x22, 7, 0xAB, 0xCD}),
                {pkt(kAddr, {kClass, 0xC5, kIndex})});
    peer.expect(pkt(kAddr, {kClass, 0x85, 0x22, 7, 0, 0, 1, 0}),
                {pkt(kAddr, {kClass, 0xC5, kIndex})});
    // A set answered like a get is not its acknowledgement.
    peer.expect(pkt(kAddr, {kClass, 0x85, 0x22, 6}), {pkt(kAddr, {kClass, 0x05, kIndex})});
    peer.expect(pkt(kAddr, {kClass, 0x85, 0x22, 7}), {pkt(kAddr, {kClass, 0xC5, 0x82, 13})});
    EXPECT_EQ(entity.setUEI8(5, 5), aErrNone);
    EXPECT_EQ(entity.setUEI16(5, 0x1234), aErrNone);
    EXPECT_EQ(entity.setUEI32(5, 0x01020304), aErrNone);
    EXPECT_EQ(entity.callUEI(11), aErrNone);
    EXPECT_EQ(entity.setUEI8(5, 7, 5), aErrNone);
    EXPECT_EQ(entity.setUEI16(5, 7, 0xABCD), aErrNone);
    EXPECT_EQ(entity.setUEI32(5, 7, 0x100), aErrNone);
    EXPECT_EQ(entity.setUEI8(5, 6), aErrTimeout);
    EXPECT_EQ(entity.setUEI8(5, 7), aErrRange);
}

TEST_F(EntityTest, EntityFollowsTheModuleAddress) {
    module.setModuleAddress(0x0C);
    peer.expect(pkt(0x0C, {kClass, 0x41, 0x22}), {pkt(0x0C, {kClass, 1, kIndex, 9})});
    uint8_t v = 0;
    EXPECT_EQ(entity.getUEI8(1, &v), aErrNone);
    EXPECT_EQ(v, 9);
    module.setModuleAddress(3);
    EXPECT_EQ(entity.getUEI8(1, &v), aErrPacket);
}

TEST_F(EntityTest, ByteRunIsCollectedInSequence) {
    Bytes first{kClass, 0x20, kIndex};
    for (int i = 0; i < 24; ++i) first.push_back(static_cast<uint8_t>(i));
    first.push_back(0x80);
    Bytes second{kClass, 0x20, kIndex, 24, 25, 26, 27, 28, 29, 0x01};
    Bytes stray{kClass, 0x20, kIndex, 0xEE, 0x05};
    // The second chunk arrives before the first: order comes from sequence numbers.
    peer.expect(pkt(kAddr, {kClass, 0x60, 0x22}),
                {pkt(kAddr, second), pkt(kAddr, first), pkt(kAddr, stray)});
    uint8_t buffer[64] = {};
    size_t unloaded = 99;
    ASSERT_EQ(entity.getUEIBytes(0x20, buffer, sizeof buffer, &unloaded), aErrNone);
    ASSERT_EQ(unloaded, 30u);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(buffer[i], i);
    // The chunk numbered 5 was not part of the run and is still queued.
    const uint8_t match[] = {kClass, 0x20, kIndex, 0xEE};
    uint8_t length = 4;
    uint8_t data[28];
    EXPECT_EQ(entity.receivePacket(match, &length, data), aErrNone);
    EXPECT_EQ(length, 5);
}

TEST_F(EntityTest, ByteRunFailures) {
    Bytes first{kClass, 0x21, kIndex};
    for (int i = 0; i < 24; ++i) first.push_back(static_cast<uint8_t>(i));
    first.push_back(0x80);
    Bytes second{kClass, 0x21, kIndex, 24, 25, 0x01};
    // Too small a buffer: stops at the chunk that does not fit.
    peer.expect(pkt(kAddr, {kClass, 0x61, 0x22}), {pkt(kAddr, first), pkt(kAddr, second)});
    uint8_t buffer[25] = {};
    size_t unloaded = 0;
    EXPECT_EQ(entity.getUEIBytes(0x21, buffer, sizeof buffer, &unloaded), aErrMemory);
    EXPECT_EQ(unloaded, 24u);
    // A run whose second chunk never comes.
    peer.expect(pkt(kAddr, {kClass, 0x61, 0x22}), {pkt(kAddr, first)});
    uint8_t big[64];
    EXPECT_EQ(entity.getUEIBytes(0x21, big, sizeof big, &unloaded), aErrTimeout);
    EXPECT_EQ(unloaded, 24u);
    // A device error.
    peer.expect(pkt(kAddr, {kClass, 0x61, 0x22}), {pkt(kAddr, {kClass, 0x21, 0x82, 29})});
    EXPECT_EQ(entity.getUEIBytes(0x21, big, sizeof big, &unloaded), aErrInvalidOption);
    EXPECT_EQ(unloaded, 0u);
    EXPECT_EQ(entity.getUEIBytes(0x21, big, 0, &unloaded), aErrParam);
    EXPECT_EQ(entity.getUEIBytes(0x21, nullptr, 4, &unloaded), aErrParam);
    EXPECT_EQ(entity.getUEIBytes(0x21, big, 4, nullptr), aErrParam);
}

TEST_F(EntityTest, SetBytesSendsChunksAndAwaitsOneAck) {
    Bytes run;
    for (int i = 0; i < 30; ++i) run.push_back(static_cast<uint8_t>(0x80 + i));
    Bytes first{kClass, 0xA0, 0x22};
    first.insert(first.end(), run.begin(), run.begin() + 24);
    first.push_back(0x80);
    Bytes second{kClass, 0xA0, 0x22};
    second.insert(second.end(), run.begin() + 24, run.end());
    second.push_back(0x01);
    peer.expect(pkt(kAddr, first), {});
    peer.expect(pkt(kAddr, second), {pkt(kAddr, {kClass, 0xE0, kIndex})});
    EXPECT_EQ(entity.setUEIBytes(0x20, run.data(), run.size()), aErrNone);
}

TEST_F(EntityTest, AwaitsUnsolicitedValueWithoutSending) {
    peer.expect(pkt(kAddr, {0x31}), {pkt(kAddr, {kClass, 0x09, kIndex, 0, 0, 0x10, 0x01})});
    ASSERT_EQ(entity.sendPacket(0x31, 0, nullptr), aErrNone);
    unsigned int v = 0;
    EXPECT_EQ(entity.awaitUEI32Val(0x09, &v, 12345), aErrNone);
    EXPECT_EQ(v, 0x1001u);
    EXPECT_EQ(entity.awaitUEI32Val(0x09, &v, 0), aErrTimeout);
    EXPECT_EQ(entity.awaitUEI32Val(0x09, nullptr, 0), aErrParam);
    EXPECT_EQ(peer.received().size(), 1u);
}

TEST_F(EntityTest, StoreRequestsNameThisEntity) {
    struct Case {
        aErr (EntityClass::*op)();
        uint8_t option;
    } cases[] = {{&EntityClass::saveEntityToStore, 0},
                 {&EntityClass::resetEntityToFactoryDefaults, 1},
                 {&EntityClass::loadEntityFromStore, 2}};
    EntityClass system;
    system.init(&module, 3, 2);
    for (const Case& c : cases) {
        peer.expect(pkt(kAddr, {92, static_cast<uint8_t>(0x80 | c.option), 0x20, 0, 0, 0x03, 0x02}),
                    {pkt(kAddr, {92, static_cast<uint8_t>(0xC0 | c.option), 0})});
        EXPECT_EQ((system.*c.op)(), aErrNone) << int(c.option);
    }
}

// Several threads use one link at once, each through its own entity: every
// reply reaches the thread that asked for it.
TEST_F(EntityTest, ConcurrentEntitiesGetTheirOwnReplies) {
    // Answers a 32-bit get with (index << 24) | (option << 16) | counter.
    std::atomic<unsigned> counter{0};
    peer.respondWith([&counter](const Bytes& p) -> std::vector<Bytes> {
        if (p.size() != 5 || !(p[3] & 0x40)) return {};
        uint8_t option = p[3] & 0x3F, index = p[4] & 0x1F;
        unsigned v = (unsigned(index) << 24) | (unsigned(option) << 16) | (counter++ & 0xFFFF);
        return {pkt(p[0], {p[2], option, index, uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8),
                           uint8_t(v)})};
    });
    constexpr int kThreads = 4;
    constexpr int kRequests = 25;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            EntityClass mine;
            mine.init(&module, kClass, static_cast<unsigned char>(t));
            for (int i = 0; i < kRequests; ++i) {
                unsigned v = 0;
                unsigned char option = static_cast<unsigned char>(1 + i % 4);
                if (mine.getUEI32(option, &v) != aErrNone || (v >> 24) != unsigned(t) ||
                    ((v >> 16) & 0xFF) != option)
                    ++wrong;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(counter.load(), unsigned(kThreads * kRequests));
}
