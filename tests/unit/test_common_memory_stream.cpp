#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "memory_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Pair {
    aStream* a = nullptr;
    aStream* b = nullptr;
    explicit Pair(uint32_t waitMS = 0) {
        EXPECT_EQ(aStream_CreateMemoryPair(&a, &b, waitMS), aErrNone);
    }
    ~Pair() {
        if (a) aStream_Destroy(&a);
        if (b) aStream_Destroy(&b);
    }
};

TEST(MemoryStream, BytesCrossInBothDirections) {
    Pair p;
    const uint8_t ab[] = {1, 2, 3};
    const uint8_t ba[] = {9, 8};
    ASSERT_EQ(aStream_Write(p.a, ab, sizeof(ab)), aErrNone);
    ASSERT_EQ(aStream_Write(p.b, ba, sizeof(ba)), aErrNone);
    uint8_t got[3] = {};
    ASSERT_EQ(aStream_Read(p.b, got, 3), aErrNone);
    EXPECT_EQ(Bytes(got, got + 3), (Bytes{1, 2, 3}));
    ASSERT_EQ(aStream_Read(p.a, got, 2), aErrNone);
    EXPECT_EQ(Bytes(got, got + 2), (Bytes{9, 8}));
    // Nothing left: a silent transport.
    EXPECT_EQ(aStream_Read(p.a, got, 1), aErrNotReady);
    EXPECT_EQ(aStream_Read(p.b, got, 1), aErrNotReady);
}

TEST(MemoryStream, WriteCountAndPending) {
    Pair p;
    const uint8_t data[] = {1, 2, 3, 4};
    aStream_Write(p.a, data, 4);  // one writeProc call
    aStream_Write(p.a, data, 1);  // one putProc call
    EXPECT_EQ(aStream_MemoryWriteCount(p.a), 2u);
    EXPECT_EQ(aStream_MemoryWriteCount(p.b), 0u);
    EXPECT_EQ(aStream_MemoryPending(p.a), 5u);
    uint8_t b;
    aStream_Read(p.b, &b, 1);
    EXPECT_EQ(aStream_MemoryPending(p.a), 4u);
}

TEST(MemoryStream, HelpersRejectOtherStreams) {
    EXPECT_EQ(aStream_MemoryWriteCount(nullptr), 0u);
    EXPECT_EQ(aStream_MemoryPending(nullptr), 0u);
    EXPECT_EQ(aStream_MemoryFailNextRead(nullptr, aErrIO), aErrParam);
    aStream* other = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(aStream_MemoryFailNextRead(other, aErrIO), aErrParam);
    aStream_Destroy(&other);
    EXPECT_EQ(aStream_CreateMemoryPair(nullptr, nullptr, 0), aErrParam);
}

TEST(MemoryStream, InjectedReadFailureHappensOnce) {
    Pair p;
    const uint8_t x = 0x42;
    aStream_Write(p.a, &x, 1);
    ASSERT_EQ(aStream_MemoryFailNextRead(p.b, aErrIO), aErrNone);
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(p.b, &b, 1), aErrIO);
    ASSERT_EQ(aStream_Read(p.b, &b, 1), aErrNone);
    EXPECT_EQ(b, 0x42);
}

TEST(MemoryStream, DestroyedPeerGivesEndOfDataAfterItsBytes) {
    Pair p;
    const uint8_t data[] = {5, 6};
    aStream_Write(p.a, data, 2);
    aStream_Destroy(&p.a);
    uint8_t got[2] = {};
    ASSERT_EQ(aStream_Read(p.b, got, 2), aErrNone) << "bytes written before the end still arrive";
    EXPECT_EQ(aStream_Read(p.b, got, 1), aErrEOF);
    EXPECT_EQ(aStream_Write(p.b, data, 2), aErrConnection);
}

TEST(MemoryStream, WaitingReaderIsWokenByAWriterAndByThePeersEnd) {
    // A reader with a long wait gets bytes written by another thread, and is
    // released by the peer's destruction; every loop here is bounded.
    Pair p(2000);
    const int kBytes = 2000;
    std::thread writer([&p] {
        for (int i = 0; i < kBytes; i += 100) {
            uint8_t chunk[100];
            for (int j = 0; j < 100; ++j) chunk[j] = static_cast<uint8_t>(i + j);
            aStream_Write(p.a, chunk, sizeof(chunk));
            std::this_thread::yield();
        }
        aStream_Destroy(&p.a);
    });
    int received = 0;
    bool inOrder = true;
    aErr last = aErrNone;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < kBytes + 100 && std::chrono::steady_clock::now() < deadline; ++i) {
        uint8_t b;
        last = aStream_Read(p.b, &b, 1);
        if (last != aErrNone) break;
        if (b != static_cast<uint8_t>(received)) inOrder = false;
        received++;
    }
    writer.join();
    EXPECT_EQ(received, kBytes);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(last, aErrEOF);
}

}  // namespace
