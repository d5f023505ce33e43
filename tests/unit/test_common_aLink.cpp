// The link engine over in-memory streams: synchronisation, loss of alignment,
// heartbeats, the user filter, pooled writes, stopping with packets queued,
// and the callers' packet operations.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aPacket.h"
#include "test_common_aLink_peer.h"

namespace {

uint8_t matchAll(const aPacket*, void*) {
    return 1;
}

uint8_t matchCommand(const aPacket* packet, void* reference) {
    return packet->length > 0 && packet->data[0] == *static_cast<uint8_t*>(reference);
}

aPacket* makePacket(const Bytes& wire) {
    return aPacket_CreateWithData(wire[0], wire[1], wire.data() + 2);
}

aErr putWire(int32_t id, const Bytes& wire) {
    aPacket* packet = makePacket(wire);
    aErr err = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return err;
}

// A write-recording transport: every write operation is kept with its size.
// Reads report "not ready" after a short sleep, like a silent device.
struct Recorder {
    std::mutex mutex;
    std::vector<size_t> writes;
    Bytes bytes;
    unsigned writeDelayMs = 0;

    static aErr get(uint8_t*, void*) {
        aTime_MSSleep(5);
        return aErrNotReady;
    }
    static aErr put(const uint8_t* in, void* reference) { return write(in, 1, reference); }
    static aErr write(const uint8_t* data, size_t length, void* reference) {
        Recorder* self = static_cast<Recorder*>(reference);
        if (self->writeDelayMs) aTime_MSSleep(self->writeDelayMs);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->writes.push_back(length);
        self->bytes.insert(self->bytes.end(), data, data + length);
        return aErrNone;
    }
    static aErr remove(void*) { return aErrNone; }  // the test owns the recorder

    aStream* stream() { return aStream_Create(get, put, write, remove, this); }

    size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes.size();
    }
    bool waitForBytes(size_t count, unsigned timeoutMs = 5000) {
        const uint64_t start = aTime_GetMSTicks();
        while (size() < count && aTime_GetMSTicks() - start < timeoutMs) aTime_MSSleep(2);
        return size() >= count;
    }
};

// A prepared but not yet started link over `stream` with one user.
int32_t preparedLink(aStream* stream) {
    int32_t id = sCreate(0xFFFFFFFFu, 0, LINK_INVALID);
    EXPECT_EQ(id, aLink_Init(id, stream));
    sChangeUseCount(sLookupEntryByID(id), 1);
    return id;
}

Bytes packetOf30(uint8_t tag) {
    Bytes wire = {0x06, 28};
    for (uint8_t i = 0; i < 28; ++i) wire.push_back(static_cast<uint8_t>(tag + i));
    return wire;
}

}  // namespace

TEST(aLinkEngine, StartRoutesAndStopRoutesBackOff) {
    LinkPeer peer;
    peer.open(20, true);
    EXPECT_EQ(Bytes({0xAF, 1, 1}), peer.readPacket());
    EXPECT_EQ(LINK_STATUS_RUNNING, aLink_GetStatus(peer.id));
    EXPECT_EQ(aErrNone, aLink_Start(peer.id)) << "starting a running link is a no-op";

    int32_t id = peer.id;
    EXPECT_EQ(aErrNone, aLink_Destroy(&peer.id));
    EXPECT_EQ(0, peer.id);
    EXPECT_EQ(Bytes({0xAF, 1, 0}), peer.readPacket());
    EXPECT_EQ(LINK_STATUS_INVALID, aLink_GetStatus(id));
}

TEST(aLinkEngine, UnknownIdsAreRejected) {
    const int32_t unknown = 99999;
    EXPECT_EQ(LINK_STATUS_INVALID, aLink_GetStatus(unknown));
    aPacket* packet = makePacket({0x06, 0});
    EXPECT_EQ(aErrParam, aLink_PutPacket(unknown, packet));
    aPacket_Destroy(&packet);
    EXPECT_EQ(aErrNotFound, aLink_ForceRoute(unknown, 1));
    EXPECT_EQ(aErrParam, aLink_Start(unknown));
    EXPECT_EQ(aErrParam, aLink_Sync(unknown));
    EXPECT_EQ(aErrParam, aLink_InstallUserPacketFilter(unknown, matchAll, nullptr));
    EXPECT_EQ(aErrParam, aLink_EnablePooledPackets(unknown, true));
    EXPECT_EQ(aErrParam, aLink_Stop(nullptr));
    EXPECT_EQ(nullptr, aLink_GetPacket(unknown));
    EXPECT_EQ(nullptr, aLink_AwaitPacket(unknown, 10));
    EXPECT_EQ(nullptr, aLink_GetFirst(unknown, matchAll, nullptr));
    EXPECT_EQ(nullptr, aLink_AwaitFirst(unknown, matchAll, nullptr, 10));
    EXPECT_EQ(0u, aLink_DrainPackets(unknown, matchAll, nullptr));
    int32_t id = unknown;
    EXPECT_EQ(aErrParam, aLink_Destroy(&id));
    EXPECT_EQ(0, id);
    EXPECT_EQ(0, aLink_Init(unknown, nullptr));
}

TEST(aLinkEngine, LinkWithoutStreamIsInvalidAndCannotStart) {
    int32_t id = sCreate(0xFFFFFFFFu, 0, LINK_INVALID);
    ASSERT_NE(0, id);
    EXPECT_EQ(aErrParam, aLink_ForceRoute(id, 1)) << "entry whose record is not prepared";
    EXPECT_EQ(id, aLink_Init(id, nullptr));
    EXPECT_EQ(LINK_STATUS_INVALID, aLink_GetStatus(id));
    EXPECT_EQ(aErrParam, aLink_Start(id));
    EXPECT_EQ(aErrNotReady, aLink_Sync(id)) << "a link that is not running cannot sync";
    EXPECT_EQ(LINK_STATUS_INVALID, aLink_GetStatus(id));
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

// A byte with an odd address loses alignment: six 0xAD queries go out, the
// answers 06 00 06 00 resynchronise, and later answers are ordinary packets.
TEST(aLinkSync, OddAddressResynchronisesAndLaterAnswersAreQueued) {
    LinkPeer peer;
    peer.open(500);
    peer.send({0x05});
    peer.expectSyncRequests(6);
    EXPECT_EQ(LINK_STATUS_SYNCING, aLink_GetStatus(peer.id));

    peer.send({0x06, 0x00, 0x06, 0x00});
    ASSERT_TRUE(waitForStatus(peer.id, LINK_STATUS_RUNNING));
    peer.send({0x06, 0x00});
    EXPECT_EQ(Bytes({0x06, 0x00}), wireOf(aLink_AwaitPacket(peer.id, 2000)));
}

// Answers that break the pattern A, 0, A, 0 either restart at once (a first
// byte that is 0 or odd, or any byte after a break) or park the machine until
// the next byte restarts it. The pair waits 1 s per silent read, so the
// reader's own restart on silence stays out of the way.
TEST(aLinkSync, BrokenAnswerPatternsRestartSynchronisation) {
    struct Case {
        Bytes answer;
        bool restartsAtOnce;
    };
    const Case cases[] = {
        {{0x00}, true},
        {{0x07}, true},
        {{0x06, 0x01}, false},
        {{0x06, 0x00, 0x08}, false},
        {{0x06, 0x00, 0x08, 0x00}, true},
        {{0x06, 0x00, 0x06, 0x01}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.answer));
        LinkPeer peer;
        peer.open(1000);
        peer.send({0x05});
        peer.expectSyncRequests(6);
        peer.send(c.answer);
        if (!c.restartsAtOnce) {
            EXPECT_TRUE(peer.silent(100));
            EXPECT_EQ(LINK_STATUS_SYNCING, aLink_GetStatus(peer.id));
            peer.send({0x06});  // any byte starts a new synchronisation
        }
        peer.expectSyncRequests(6);
        peer.send({0x06, 0x00, 0x06, 0x00});
        EXPECT_TRUE(waitForStatus(peer.id, LINK_STATUS_RUNNING));
    }
}

TEST(aLinkSync, ExplicitSyncWithAnsweringDeviceThenTraffic) {
    LinkPeer peer;
    peer.open(20);
    std::atomic<bool> stop{false};
    std::thread device([&] {
        // Answers every 0xAD query with its module address 6, for at most 5 s.
        const uint64_t start = aTime_GetMSTicks();
        while (!stop && aTime_GetMSTicks() - start < 5000) {
            Bytes packet = peer.readPacket(50);
            if (packet == Bytes({0xAD, 0})) peer.send({0x06, 0x00});
        }
    });
    EXPECT_EQ(aErrNone, aLink_Sync(peer.id));
    EXPECT_EQ(LINK_STATUS_RUNNING, aLink_GetStatus(peer.id));
    stop = true;
    device.join();

    uint8_t command = 0x42;
    peer.send({0x06, 0x01, 0x42});
    EXPECT_EQ(Bytes({0x06, 0x01, 0x42}),
              wireOf(aLink_AwaitFirst(peer.id, matchCommand, &command, 2000)));
}

TEST(aLinkSync, ExplicitSyncWithSilentDeviceTimesOut) {
    LinkPeer peer;
    peer.open(20);
    EXPECT_EQ(aErrNotReady, aLink_Sync(peer.id));
    EXPECT_EQ(LINK_STATUS_SYNCING, aLink_GetStatus(peer.id));
}

TEST(aLinkSync, ReadFailureSetsIoErrorThenResynchronises) {
    LinkPeer peer;
    peer.open(20);
    ASSERT_EQ(aErrNone, aStream_MemoryFailNextRead(peer.linkEnd, aErrIO));
    EXPECT_TRUE(waitForStatus(peer.id, LINK_STATUS_IO_ERROR));
    peer.expectSyncRequests(6);
    peer.send({0x08, 0x00, 0x08, 0x00});
    EXPECT_TRUE(waitForStatus(peer.id, LINK_STATUS_RUNNING));
}

TEST(aLinkHeartbeat, AnsweredWithValuePlusTwoAndNeverQueued) {
    LinkPeer peer;
    peer.open();
    const uint8_t values[][2] = {{0, 2}, {1, 3}, {7, 9}, {0xFF, 0x01}};
    for (const auto& v : values) {
        peer.send({0x04, 0x02, 0x00, v[0]});
        EXPECT_EQ(Bytes({0x04, 0x02, 0x00, v[1]}), peer.readPacket()) << int(v[0]);
    }
    // Not a heartbeat (data[0] is not 0): queued, and the first packet seen.
    peer.send({0x04, 0x02, 0x01, 0x01});
    EXPECT_EQ(Bytes({0x04, 0x02, 0x01, 0x01}), wireOf(aLink_AwaitPacket(peer.id, 2000)));
    EXPECT_EQ(nullptr, aLink_GetPacket(peer.id));
}

struct FilterState {
    std::atomic<int> calls{0};
    uint8_t verdict = 1;
};

uint8_t countingFilter(const aPacket*, void* reference) {
    FilterState* state = static_cast<FilterState*>(reference);
    ++state->calls;
    return state->verdict;
}

TEST(aLinkUserFilter, VerdictOneConsumesEverythingOthersPass) {
    for (uint8_t verdict : {uint8_t(1), uint8_t(0), uint8_t(2)}) {
        SCOPED_TRACE(int(verdict));
        LinkPeer peer;
        peer.open();
        FilterState state;
        state.verdict = verdict;
        ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(peer.id, countingFilter, &state));
        peer.send({0x06, 0x01, 0x33});
        peer.send({0x04, 0x02, 0x00, 0x00});
        if (verdict == 1) {
            EXPECT_EQ(nullptr, aLink_AwaitPacket(peer.id, 300));
            EXPECT_TRUE(peer.silent(100)) << "a consumed heartbeat is not answered";
        } else {
            EXPECT_EQ(Bytes({0x06, 0x01, 0x33}), wireOf(aLink_AwaitPacket(peer.id, 2000)));
            EXPECT_EQ(Bytes({0x04, 0x02, 0x00, 0x02}), peer.readPacket());
        }
        EXPECT_EQ(2, state.calls.load());

        // Removed: never called again, packets and heartbeats flow normally.
        ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(peer.id, nullptr, nullptr));
        peer.send({0x06, 0x01, 0x34});
        peer.send({0x04, 0x02, 0x00, 0x01});
        EXPECT_EQ(Bytes({0x06, 0x01, 0x34}), wireOf(aLink_AwaitPacket(peer.id, 2000)));
        EXPECT_EQ(Bytes({0x04, 0x02, 0x00, 0x03}), peer.readPacket());
        EXPECT_EQ(2, state.calls.load());
    }
}

// 200 packets of 30 bytes queued before the writer wakes: pooled, they go out
// as 136 packets (4080 bytes) and then the other 64; unpooled, one write each.
TEST(aLinkPooling, QueuedPacketsSplitAt4066Bytes) {
    for (bool pooled : {true, false}) {
        SCOPED_TRACE(pooled ? "pooled" : "single");
        Recorder recorder;
        int32_t id = preparedLink(recorder.stream());
        ASSERT_NE(0, id);
        ASSERT_EQ(aErrNone, aLink_EnablePooledPackets(id, pooled));
        Bytes expected;
        for (int i = 0; i < 200; ++i) {
            Bytes wire = packetOf30(static_cast<uint8_t>(i));
            ASSERT_EQ(aErrNone, putWire(id, wire));
            expected.insert(expected.end(), wire.begin(), wire.end());
        }
        ASSERT_EQ(aErrNone, aLink_Start(id));
        ASSERT_TRUE(recorder.waitForBytes(6000 + 3));
        aLink_Destroy(&id);

        std::lock_guard<std::mutex> lock(recorder.mutex);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), recorder.bytes.begin()));
        if (pooled) {
            ASSERT_GE(recorder.writes.size(), 2u);
            EXPECT_EQ(4080u, recorder.writes[0]);
            // The route packet queued by the start may join the second write.
            EXPECT_TRUE(recorder.writes[1] == 1920u || recorder.writes[1] == 1923u)
                << recorder.writes[1];
        } else {
            ASSERT_GE(recorder.writes.size(), 200u);
            for (size_t i = 0; i < 200; ++i) ASSERT_EQ(30u, recorder.writes[i]) << i;
        }
    }
}

// Stopping while the writer is behind: every queued packet still goes out,
// in order, followed by the route packet with value 0.
TEST(aLinkStop, PacketsQueuedAtStopReachTheDevice) {
    Recorder recorder;
    recorder.writeDelayMs = 3;
    int32_t id = preparedLink(recorder.stream());
    ASSERT_EQ(aErrNone, aLink_Start(id));
    Bytes expected = {0xAF, 1, 1};
    for (int i = 0; i < 50; ++i) {
        Bytes wire = {0x06, 2, 0x10, static_cast<uint8_t>(i)};
        ASSERT_EQ(aErrNone, putWire(id, wire));
        expected.insert(expected.end(), wire.begin(), wire.end());
    }
    ASSERT_EQ(aErrNone, aLink_Destroy(&id));
    expected.insert(expected.end(), {0xAF, 1, 0});
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(expected, recorder.bytes);
}

TEST(aLinkAwaitFirst, PicksMatchingPacketAndLeavesOthers) {
    LinkPeer peer;
    peer.open();
    peer.send({0x06, 0x01, 0x10});
    peer.send({0x06, 0x01, 0x20});
    peer.send({0x06, 0x01, 0x30});
    uint8_t command = 0x30;  // the last one: all three are queued once it is found
    EXPECT_EQ(Bytes({0x06, 0x01, 0x30}),
              wireOf(aLink_AwaitFirst(peer.id, matchCommand, &command, 2000)));
    command = 0x77;
    EXPECT_EQ(nullptr, aLink_GetFirst(peer.id, matchCommand, &command));
    command = 0x20;
    EXPECT_EQ(Bytes({0x06, 0x01, 0x20}), wireOf(aLink_GetFirst(peer.id, matchCommand, &command)));
    EXPECT_EQ(Bytes({0x06, 0x01, 0x10}), wireOf(aLink_GetPacket(peer.id)));

    peer.send({0x06, 0x01, 0x10});
    peer.send({0x06, 0x01, 0x20});
    peer.send({0x06, 0x01, 0x30});
    command = 0x30;
    EXPECT_EQ(Bytes({0x06, 0x01, 0x30}),
              wireOf(aLink_AwaitFirst(peer.id, matchCommand, &command, 2000)));
    EXPECT_EQ(2u, aLink_DrainPackets(peer.id, matchAll, nullptr));
    EXPECT_EQ(nullptr, aLink_GetPacket(peer.id));
}

TEST(aLinkAwaitFirst, ReturnsAtOnceWhenNotRunning) {
    // Syncing: the device lost alignment.
    LinkPeer peer;
    peer.open(500);
    peer.send({0x05});
    peer.expectSyncRequests(6);
    const uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(nullptr, aLink_AwaitFirst(peer.id, matchAll, nullptr, 5000));
    EXPECT_LT(aTime_GetMSTicks() - start, 2500u) << "must not wait for the time-out";

    // Prepared but never started.
    Recorder recorder;
    int32_t id = preparedLink(recorder.stream());
    EXPECT_EQ(LINK_STATUS_STOPPED, aLink_GetStatus(id));
    const uint64_t again = aTime_GetMSTicks();
    EXPECT_EQ(nullptr, aLink_AwaitFirst(id, matchAll, nullptr, 5000));
    EXPECT_LT(aTime_GetMSTicks() - again, 2500u);
    aLink_Destroy(&id);
}

TEST(aLinkEngine, PacketsFlowBothWaysAndPutCopies) {
    LinkPeer peer;
    peer.open();
    aPacket* packet = makePacket({0x08, 0x03, 1, 2, 3});
    ASSERT_EQ(aErrNone, aLink_PutPacket(peer.id, packet));
    aPacket_Destroy(&packet);  // the link queued its own copy
    EXPECT_EQ(Bytes({0x08, 0x03, 1, 2, 3}), peer.readPacket());

    Bytes full = packetOf30(0x40);
    peer.send(full);
    EXPECT_EQ(full, wireOf(aLink_AwaitPacket(peer.id, 2000)));

    EXPECT_EQ(aErrNone, aLink_ForceRoute(peer.id, 7));
    EXPECT_EQ(Bytes({0xAF, 1, 7}), peer.readPacket());
}

// A device that closes its end: reads end in failures, the link reports an
// I/O error and keeps trying; destroying it still ends both threads.
TEST(aLinkEngine, DeviceGoneLeavesLinkInErrorUntilDestroyed) {
    LinkPeer peer;
    peer.open();
    aStream_Destroy(&peer.device);
    EXPECT_TRUE(waitForStatus(peer.id, LINK_STATUS_IO_ERROR));
    EXPECT_EQ(nullptr, aLink_AwaitFirst(peer.id, matchAll, nullptr, 1000));
    EXPECT_EQ(aErrNone, aLink_Destroy(&peer.id));
}

// A transport that never waits: the reader naps between empty reads, and
// packets and heartbeats still get through after a quiet spell.
TEST(aLinkEngine, TransportThatNeverWaitsStillCarriesTraffic) {
    LinkPeer peer;
    peer.open(0);
    aTime_MSSleep(200);
    peer.send({0x04, 0x02, 0x00, 0x01});
    EXPECT_EQ(Bytes({0x04, 0x02, 0x00, 0x03}), peer.readPacket());
    aTime_MSSleep(200);
    peer.send({0x06, 0x01, 0x42});
    EXPECT_EQ(Bytes({0x06, 0x01, 0x42}), wireOf(aLink_AwaitPacket(peer.id, 2000)));
    EXPECT_EQ(LINK_STATUS_RUNNING, aLink_GetStatus(peer.id));
}
