// The packet log ring and the per-link packet log operations.
#include <gtest/gtest.h>

#include <vector>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aPacketDebug.h"
#include "test_common_aLink_peer.h"

namespace {

Bytes entry(size_t length, uint8_t fill) {
    return Bytes(length, fill);
}

aErr put(aPacketLog* log, int type, const Bytes& bytes) {
    return aPacketLog_Put(log, type, static_cast<unsigned>(bytes.size()), bytes.data());
}

struct Entry {
    int type = 0;
    Bytes bytes;
};

// Takes the oldest entry; type 0 when the log is empty.
Entry take(aPacketLog* log) {
    Entry out;
    uint8_t buffer[256];
    unsigned length = sizeof buffer;
    if (aPacketLog_Get(log, &out.type, &length, buffer) != aErrNone) return Entry{};
    out.bytes.assign(buffer, buffer + length);
    return out;
}

}  // namespace

TEST(aPacketLog, FullLogDropsOldestEntries) {
    aPacketLog* log = aPacketLog_Create(100);
    ASSERT_NE(nullptr, log);
    // Three entries of 30 data bytes take 96 of 100 bytes; the fourth drops the first.
    for (uint8_t i = 1; i <= 4; ++i) EXPECT_EQ(aErrNone, put(log, i, entry(30, i)));
    for (uint8_t i = 2; i <= 4; ++i) {
        Entry e = take(log);
        EXPECT_EQ(i, e.type);
        EXPECT_EQ(entry(30, i), e.bytes);
    }
    EXPECT_EQ(0, take(log).type);
    aPacketLog_Destroy(&log);
    EXPECT_EQ(nullptr, log);
}

TEST(aPacketLog, WrapsAroundTheBufferEnd) {
    aPacketLog* log = aPacketLog_Create(50);
    ASSERT_NE(nullptr, log);
    // Entries of 12 bytes (10 data) put and taken in turn cross the end many times.
    for (uint8_t i = 0; i < 40; ++i) {
        ASSERT_EQ(aErrNone, put(log, 2, entry(10, i)));
        Entry e = take(log);
        ASSERT_EQ(entry(10, i), e.bytes) << int(i);
    }
    aPacketLog_Destroy(&log);
}

TEST(aPacketLog, EntryTooBigForTheLogIsRefusedAndLeavesItAlone) {
    aPacketLog* log = aPacketLog_Create(64);
    ASSERT_NE(nullptr, log);
    ASSERT_EQ(aErrNone, put(log, 3, {'h', 'i'}));
    EXPECT_EQ(aErrOverrun, put(log, 1, entry(70, 0xEE)));
    EXPECT_EQ(aErrOverrun, put(log, 1, entry(62, 0xEE))) << "a log never fills completely";
    EXPECT_EQ(aErrParam, put(log, 1, entry(256, 0xEE))) << "the length byte has 8 bits";
    Entry e = take(log);
    EXPECT_EQ(3, e.type);
    EXPECT_EQ(Bytes({'h', 'i'}), e.bytes);
    EXPECT_EQ(0, take(log).type);
    aPacketLog_Destroy(&log);
    EXPECT_EQ(nullptr, aPacketLog_Create(0));
}

TEST(aPacketLog, GetIntoSmallBufferKeepsTheEntry) {
    aPacketLog* log = aPacketLog_Create(64);
    ASSERT_NE(nullptr, log);
    ASSERT_EQ(aErrNone, put(log, 2, entry(10, 0x5A)));
    int type = 0;
    unsigned length = 4;
    uint8_t buffer[10];
    EXPECT_EQ(aErrOverrun, aPacketLog_Get(log, &type, &length, buffer));
    EXPECT_EQ(2, type);
    EXPECT_EQ(10u, length);
    length = 10;
    EXPECT_EQ(aErrNone, aPacketLog_Get(log, &type, &length, buffer));
    EXPECT_EQ(entry(10, 0x5A), Bytes(buffer, buffer + length));
    length = 10;
    EXPECT_EQ(aErrNotFound, aPacketLog_Get(log, &type, &length, buffer));
    aPacketLog_Destroy(&log);
}

TEST(aLinkPacketDebug, OperationsOnLinksWithoutALog) {
    EXPECT_EQ(aErrParam, aLink_PacketDebug_Enable(99999));
    EXPECT_EQ(aErrParam, aLink_PacketDebug_SetLogSize(99999, 10));

    LinkPeer peer;
    peer.open();
    int type = 0;
    unsigned length = 8;
    uint8_t buffer[8];
    EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Read(peer.id, &type, &length, buffer));
    EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Write(peer.id, 3, 1, buffer));
    EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Disable(peer.id));
    EXPECT_EQ(aErrParam, aLink_PacketDebug_SetLogSize(peer.id, 0x4000001));
    EXPECT_EQ(aErrNone, aLink_PacketDebug_SetLogSize(peer.id, 0x4000000));
    EXPECT_EQ(aErrNone, aLink_PacketDebug_SetLogSize(peer.id, 256));
    ASSERT_EQ(aErrNone, aLink_PacketDebug_Enable(peer.id));
    EXPECT_EQ(aErrBusy, aLink_PacketDebug_SetLogSize(peer.id, 512));
}

// The reader and writer record received (2) and sent (1) packets' wire bytes;
// a disabled log records nothing but keeps what it has.
TEST(aLinkPacketDebug, RecordsTrafficWhileEnabled) {
    LinkPeer peer;
    peer.open();
    ASSERT_EQ(aErrNone, aLink_PacketDebug_Enable(peer.id));
    const uint8_t start[] = "START";
    ASSERT_EQ(aErrNone, aLink_PacketDebug_Write(peer.id, aPACKETLOG_TEXT, sizeof start, start));

    peer.send({0x06, 0x02, 0x11, 0x22});
    EXPECT_EQ(Bytes({0x06, 0x02, 0x11, 0x22}), wireOf(aLink_AwaitPacket(peer.id, 2000)));
    aPacket* packet = aPacket_CreateWithData(0x08, 1, Bytes({0x55}).data());
    ASSERT_EQ(aErrNone, aLink_PutPacket(peer.id, packet));
    EXPECT_EQ(Bytes({0x08, 0x01, 0x55}), peer.readPacket());

    ASSERT_EQ(aErrNone, aLink_PacketDebug_Disable(peer.id));
    ASSERT_EQ(aErrNone, aLink_PutPacket(peer.id, packet));
    EXPECT_EQ(Bytes({0x08, 0x01, 0x55}), peer.readPacket());
    aPacket_Destroy(&packet);

    std::vector<std::pair<int, Bytes>> entries;
    for (int i = 0; i < 10; ++i) {
        int type = 0;
        uint8_t buffer[64];
        unsigned length = sizeof buffer;
        aErr err = aLink_PacketDebug_Read(peer.id, &type, &length, buffer);
        if (err == aErrNotFound) break;
        ASSERT_EQ(aErrNone, err);
        // The start's route packet may be recorded too, depending on timing.
        if (type == aPACKETLOG_SENT && buffer[0] == 0xAF) continue;
        entries.emplace_back(type, Bytes(buffer, buffer + length));
    }
    const std::vector<std::pair<int, Bytes>> expected = {
        {aPACKETLOG_TEXT, Bytes(start, start + sizeof start)},
        {aPACKETLOG_RECEIVED, {0x06, 0x02, 0x11, 0x22}},
        {aPACKETLOG_SENT, {0x08, 0x01, 0x55}},
    };
    EXPECT_EQ(expected, entries);
}
