#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "Lumivance2/common/packetfifo.h"

namespace {

using namespace std::chrono_literals;

// A packet whose first two data bytes are a tag and a sequence number.
aPacket* makePacket(uint8_t tag, uint8_t seq = 0) {
    const uint8_t data[2] = {tag, seq};
    return aPacket_CreateWithData(0x04, 2, data);
}

aErr put(aPacketFifoId id, uint8_t tag, uint8_t seq = 0) {
    aPacket* p = makePacket(tag, seq);
    const aErr err = aPacketFifo_Put(id, p);
    aPacket_Destroy(&p);
    return err;
}

// Takes a packet out and returns its tag (-1 for none).
int tagOf(aPacket* p) {
    if (!p) return -1;
    const int tag = p->data[0];
    aPacket_Destroy(&p);
    return tag;
}

uint8_t matchTag(const aPacket* p, void* ref) {
    return p->data[0] == *static_cast<const uint8_t*>(ref);
}

uint8_t matchAll(const aPacket*, void*) {
    return 1;
}

struct CountingFilter {
    std::atomic<int> calls{0};
    uint8_t wanted = 0;
    static uint8_t proc(const aPacket* p, void* ref) {
        auto* self = static_cast<CountingFilter*>(ref);
        ++self->calls;
        return p->data[0] == self->wanted;
    }
};

class FifoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        id_ = aPacketFifo_Create();
        ASSERT_NE(id_, 0u);
    }
    void TearDown() override {
        if (id_) aPacketFifo_Destroy(&id_);
    }
    aPacketFifoId id_ = 0;
};

}  // namespace

TEST(PacketFifoIds, FirstIdIsOneAndIdsRise) {
    // Run in a fresh process so that no earlier test has drawn an id.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            aPacketFifoId a = aPacketFifo_Create();
            aPacketFifoId b = aPacketFifo_Create();
            aPacketFifo_Destroy(&a);
            aPacketFifoId c = aPacketFifo_Create();
            std::exit(a == 0 && b == 2 && c == 3 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    aPacketFifoId first = aPacketFifo_Create();
    aPacketFifoId second = aPacketFifo_Create();
    EXPECT_NE(first, 0u);
    EXPECT_GT(second, first);
    aPacketFifo_Destroy(&first);
    aPacketFifo_Destroy(&second);
}

TEST_F(FifoTest, PutCopiesAndGetKeepsOrder) {
    aPacket* mine = makePacket(1);
    ASSERT_EQ(aPacketFifo_Put(id_, mine), aErrNone);
    mine->data[0] = 99;  // changing or destroying the caller's packet does not reach the queue
    aPacket_Destroy(&mine);
    ASSERT_EQ(put(id_, 2), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id_), 2u);
    aPacket* out = aPacketFifo_Get(id_);
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(out));
    EXPECT_EQ(out->address, 0x04);
    EXPECT_EQ(tagOf(out), 1);
    EXPECT_EQ(tagOf(aPacketFifo_Get(id_)), 2);
    EXPECT_EQ(aPacketFifo_Get(id_), nullptr);

    aPacket bad{};
    EXPECT_EQ(aPacketFifo_Put(id_, &bad), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(id_, nullptr), aErrParam);
}

TEST_F(FifoTest, CapacityOverflowEmptiesTheQueue) {
    for (int i = 0; i < aPACKETFIFO_CAPACITY; ++i) ASSERT_EQ(put(id_, uint8_t(i)), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id_), 1000u);
    EXPECT_EQ(put(id_, 7), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id_), 0u);
    // The FIFO goes on working, and the window follows the cleared queue.
    ASSERT_EQ(put(id_, 8), aErrNone);
    uint8_t wanted = 8;
    EXPECT_EQ(tagOf(aPacketFifo_AwaitFirst(id_, matchTag, &wanted, 0)), 8);
}

TEST_F(FifoTest, GetFirstTakesTheOldestMatchAndKeepsTheRest) {
    ASSERT_EQ(put(id_, 'A'), aErrNone);
    ASSERT_EQ(put(id_, 'B', 1), aErrNone);
    ASSERT_EQ(put(id_, 'B', 2), aErrNone);
    ASSERT_EQ(put(id_, 'C'), aErrNone);
    uint8_t wanted = 'B';
    aPacket* b = aPacketFifo_GetFirst(id_, matchTag, &wanted);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->data[1], 1);
    aPacket_Destroy(&b);
    wanted = 'Z';
    EXPECT_EQ(aPacketFifo_GetFirst(id_, matchTag, &wanted), nullptr);
    EXPECT_EQ(tagOf(aPacketFifo_Get(id_)), 'A');
    EXPECT_EQ(tagOf(aPacketFifo_Get(id_)), 'B');
    EXPECT_EQ(tagOf(aPacketFifo_Get(id_)), 'C');
}

TEST_F(FifoTest, AwaitFirstSeesPacketsLeftAfterEarlierRemovals) {
    ASSERT_EQ(put(id_, 'A'), aErrNone);
    ASSERT_EQ(put(id_, 'B'), aErrNone);
    ASSERT_EQ(put(id_, 'C'), aErrNone);
    EXPECT_EQ(tagOf(aPacketFifo_Get(id_)), 'A');
    uint8_t wanted = 'C';
    EXPECT_EQ(aPacketFifo_DrainPackets(id_, matchTag, &wanted), 1u);
    wanted = 'B';
    EXPECT_EQ(tagOf(aPacketFifo_AwaitFirst(id_, matchTag, &wanted, 0)), 'B');
}

TEST_F(FifoTest, DrainRemovesMatchesAndKeepsOrder) {
    for (uint8_t tag : {'x', 'y', 'x', 'z', 'x'}) ASSERT_EQ(put(id_, tag), aErrNone);
    uint8_t wanted = 'x';
    EXPECT_EQ(aPacketFifo_DrainPackets(id_, matchTag, &wanted), 3u);
    EXPECT_EQ(aPacketFifo_GetLength(id_), 2u);
    EXPECT_EQ(tagOf(aPacketFifo_Get(id_)), 'y');
    EXPECT_EQ(tagOf(aPacketFifo_Get(id_)), 'z');

    for (uint8_t tag : {'p', 'q', 'r'}) ASSERT_EQ(put(id_, tag), aErrNone);
    EXPECT_EQ(aPacketFifo_DrainPackets(id_, matchAll, nullptr), 3u);
    EXPECT_EQ(aPacketFifo_GetLength(id_), 0u);
    ASSERT_EQ(put(id_, 's'), aErrNone);
    EXPECT_EQ(aPacketFifo_DrainPackets(id_, nullptr, nullptr), 1u);  // no filter: everything
}

TEST_F(FifoTest, AwaitWithoutTimeOut) {
    EXPECT_EQ(aPacketFifo_Await(id_, 0), nullptr);
    ASSERT_EQ(put(id_, 1), aErrNone);
    ASSERT_EQ(put(id_, 2), aErrNone);
    EXPECT_EQ(tagOf(aPacketFifo_Await(id_, 0)), 1);
}

TEST_F(FifoTest, AwaitReturnsAPacketPutDuringTheWait) {
    std::thread producer([&] {
        std::this_thread::sleep_for(50ms);
        put(id_, 5);
    });
    // The time-out is far longer than the producer's delay.
    EXPECT_EQ(tagOf(aPacketFifo_Await(id_, 20000)), 5);
    producer.join();
}

TEST_F(FifoTest, AwaitFirstShowsEachPacketToTheFilterOnce) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(put(id_, 'n'), aErrNone);
    CountingFilter filter;
    filter.wanted = 'm';
    // Non-matching packets arrive during the wait and wake it several times;
    // the matching one comes last.
    std::thread producer([&] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(10ms);
            put(id_, 'n');
        }
        put(id_, 'm');
    });
    aPacket* got = aPacketFifo_AwaitFirst(id_, CountingFilter::proc, &filter, 20000);
    producer.join();
    EXPECT_EQ(tagOf(got), 'm');
    EXPECT_EQ(filter.calls.load(), 9);  // 8 non-matching packets and the match
    EXPECT_EQ(aPacketFifo_GetLength(id_), 8u);

    // A wait that never matches times out with every packet shown once.
    CountingFilter never;
    never.wanted = 'q';
    EXPECT_EQ(aPacketFifo_AwaitFirst(id_, CountingFilter::proc, &never, 100), nullptr);
    EXPECT_EQ(never.calls.load(), 8);
}

TEST_F(FifoTest, DestroyWakesWaiters) {
    uint8_t wanted = 'w';
    auto plain = std::async(std::launch::async, [&] { return aPacketFifo_Await(id_, 60000); });
    auto filtered = std::async(
        std::launch::async, [&] { return aPacketFifo_AwaitFirst(id_, matchTag, &wanted, 60000); });
    std::this_thread::sleep_for(50ms);  // let both start waiting (either order is correct)
    aPacketFifoId id = id_;
    ASSERT_EQ(aPacketFifo_Destroy(&id_), aErrNone);
    EXPECT_EQ(id_, 0u);
    // Both waits end on the destroy, long before their own time-outs.
    ASSERT_EQ(plain.wait_for(30s), std::future_status::ready);
    ASSERT_EQ(filtered.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(plain.get(), nullptr);
    EXPECT_EQ(filtered.get(), nullptr);

    // The old id finds nothing.
    EXPECT_EQ(put(id, 1), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(id), nullptr);
    EXPECT_EQ(aPacketFifo_Await(id, 10), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, matchAll, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNotFound);
    EXPECT_NE(id, 0u);  // left as it was
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    aPacketFifoId zero = 0;
    EXPECT_EQ(aPacketFifo_Destroy(&zero), aErrNotFound);
}

TEST_F(FifoTest, ProducersAndFilteredConsumersLoseNothing) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 200;  // all of them fit: the queue never overflows
    std::vector<std::thread> threads;
    std::vector<std::vector<int>> received(kProducers);
    uint8_t tags[kProducers];
    for (int p = 0; p < kProducers; ++p) {
        tags[p] = uint8_t(0x10 + p);
        // One consumer per producer, taking only that producer's packets.
        threads.emplace_back([&, p] {
            for (int n = 0; n < kPerProducer; ++n) {
                aPacket* got = aPacketFifo_AwaitFirst(id_, matchTag, &tags[p], 20000);
                if (!got) break;
                received[p].push_back(got->data[1]);
                aPacket_Destroy(&got);
            }
        });
    }
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int n = 0; n < kPerProducer; ++n)
                ASSERT_EQ(put(id_, tags[p], uint8_t(n)), aErrNone);
        });
    }
    for (auto& t : threads) t.join();
    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(received[p].size(), size_t(kPerProducer)) << "consumer " << p;
        for (int n = 0; n < kPerProducer; ++n) ASSERT_EQ(received[p][n], n);  // in order
    }
    EXPECT_EQ(aPacketFifo_GetLength(id_), 0u);
}

TEST(PacketFifoRace, DestroyWhileOthersUseTheFifo) {
    // Several threads keep using a FIFO while it is destroyed; every call must
    // either work or find nothing, and all threads end.
    for (int round = 0; round < 20; ++round) {
        aPacketFifoId id = aPacketFifo_Create();
        ASSERT_NE(id, 0u);
        std::atomic<bool> stop{false};
        std::vector<std::thread> users;
        for (int t = 0; t < 3; ++t) {
            users.emplace_back([&, t] {
                for (int i = 0; i < 500 && !stop; ++i) {
                    put(id, uint8_t(t));
                    aPacket* p = t == 0 ? aPacketFifo_Await(id, 1) : aPacketFifo_Get(id);
                    aPacket_Destroy(&p);
                    aPacketFifo_DrainPackets(id, matchAll, nullptr);
                }
            });
        }
        std::this_thread::sleep_for(1ms);
        aPacketFifoId victim = id;
        EXPECT_EQ(aPacketFifo_Destroy(&victim), aErrNone);
        stop = true;
        for (auto& u : users) u.join();
        EXPECT_EQ(put(id, 1), aErrParam);
    }
}
