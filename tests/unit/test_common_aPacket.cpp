#include <gtest/gtest.h>

#include <vector>

#include "Lumivance2/common/aPacket.h"

namespace {

// Feeds bytes one by one; returns the result of each AddByte and whether the
// packet was complete after it.
std::vector<std::pair<aErr, bool>> feed(aPacket* p, std::vector<uint8_t> bytes) {
    std::vector<std::pair<aErr, bool>> out;
    for (uint8_t b : bytes) {
        const aErr err = aPacket_AddByte(p, b);
        out.push_back({err, aPacket_IsComplete(p)});
    }
    return out;
}

using Steps = std::vector<std::pair<aErr, bool>>;

}  // namespace

TEST(aPacket, FreshPacketIsEmpty) {
    aPacket* p = aPacket_Create();
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(aVALIDPACKET(p));
    EXPECT_EQ(p->checkWord, 0xBEEF);
    EXPECT_EQ(p->byteCount, 0);
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(p->length, 0);
    for (uint8_t b : p->data) EXPECT_EQ(b, 0);
    EXPECT_FALSE(aPacket_IsComplete(p));
    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
    EXPECT_FALSE(aVALIDPACKET(nullptr));
}

TEST(aPacket, CreateWithDataLimits) {
    uint8_t data[29];
    for (int i = 0; i < 29; ++i) data[i] = uint8_t(i + 1);
    aPacket* full = aPacket_CreateWithData(0x04, 28, data);
    ASSERT_NE(full, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(full));
    EXPECT_EQ(full->byteCount, 30);
    uint8_t wire[30];
    size_t written = 0;
    EXPECT_EQ(aPacket_GetBytes(full, wire, sizeof wire, &written), aErrNone);
    EXPECT_EQ(written, 30u);
    EXPECT_EQ(wire[0], 0x04);
    EXPECT_EQ(wire[1], 28);
    EXPECT_EQ(wire[29], 28);
    aPacket_Destroy(&full);

    EXPECT_EQ(aPacket_CreateWithData(0x04, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x04, 256 + 2, data), nullptr);  // no wrap-around
    EXPECT_EQ(aPacket_CreateWithData(0x04, 2, nullptr), nullptr);

    aPacket* empty = aPacket_CreateWithData(0x06, 0, data);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(empty));
    EXPECT_EQ(aPacket_GetBytes(empty, wire, 2, &written), aErrNone);
    EXPECT_EQ(written, 2u);
    aPacket_Destroy(&empty);
}

TEST(aPacket, AssemblyByteByByte) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        Steps steps;
    } cases[] = {
        {"two data bytes",
         {0x04, 0x02, 0x11, 0x22},
         {{aErrNone, false}, {aErrNone, false}, {aErrNone, false}, {aErrNone, true}}},
        {"no data", {0x06, 0x00}, {{aErrNone, false}, {aErrNone, true}}},
        {"zero address", {0x00}, {{aErrPacket, false}}},
        // After a bad length the packet refuses bytes until it is reset.
        {"length too big",
         {0x04, 29, 0x01},
         {{aErrNone, false}, {aErrPacket, false}, {aErrParam, false}}},
        {"byte past the end",
         {0x04, 0x01, 0xAA, 0xBB},
         {{aErrNone, false}, {aErrNone, false}, {aErrNone, true}, {aErrPacket, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        aPacket* p = aPacket_Create();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(feed(p, c.bytes), c.steps);
        aPacket_Destroy(&p);
    }
}

TEST(aPacket, AssembledPacketGivesItsWireBytes) {
    aPacket* p = aPacket_Create();
    ASSERT_NE(p, nullptr);
    feed(p, {0x04, 0x02, 0x11, 0x22});
    ASSERT_TRUE(aPacket_IsComplete(p));
    EXPECT_EQ(p->data[0], 0x11);
    EXPECT_EQ(p->data[1], 0x22);
    uint8_t wire[4] = {};
    size_t written = 0;
    EXPECT_EQ(aPacket_GetBytes(p, wire, 3, &written), aErrOverrun);
    EXPECT_EQ(aPacket_GetBytes(p, wire, 4, &written), aErrNone);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(std::vector<uint8_t>(wire, wire + 4), (std::vector<uint8_t>{0x04, 0x02, 0x11, 0x22}));
    EXPECT_EQ(aPacket_GetBytes(p, nullptr, 4, &written), aErrParam);

    // Reset makes it ready for the next packet.
    EXPECT_EQ(aPacket_Reset(p), aErrNone);
    EXPECT_EQ(p->byteCount, 0);
    EXPECT_EQ(p->data[0], 0);
    EXPECT_EQ(feed(p, {0x08, 0x00}), (Steps{{aErrNone, false}, {aErrNone, true}}));
    // Reset also recovers a packet spoilt by a bad length byte.
    aPacket_Reset(p);
    feed(p, {0x04, 0xFF});
    EXPECT_EQ(aPacket_Reset(p), aErrNone);
    EXPECT_EQ(feed(p, {0x04, 0x01, 0x33}),
              (Steps{{aErrNone, false}, {aErrNone, false}, {aErrNone, true}}));
    aPacket_Destroy(&p);
}

TEST(aPacket, EndlessGarbageStaysOverrunAndNeverWraps) {
    aPacket* p = aPacket_Create();
    ASSERT_NE(p, nullptr);
    // A full packet followed by many more bytes without a reset: every extra
    // byte is refused, and the byte count never wraps back to "complete".
    feed(p, {0x04, 28});
    for (int i = 0; i < 28; ++i) ASSERT_EQ(aPacket_AddByte(p, 0x55), aErrNone);
    ASSERT_TRUE(aPacket_IsComplete(p));
    for (int i = 0; i < 600; ++i) {
        const aErr err = aPacket_AddByte(p, 0x55);
        ASSERT_TRUE(err == aErrOverrun || err == aErrPacket) << i;
        ASSERT_FALSE(aPacket_IsComplete(p)) << i;
    }
    aPacket_Destroy(&p);
}

TEST(aPacket, CommandOptionAndIndex) {
    const uint8_t uei[] = {0x0A, 0xC5, 0x27};
    aPacket* p = aPacket_CreateWithData(0x04, 3, uei);
    ASSERT_NE(p, nullptr);
    uint8_t v = 0;
    EXPECT_EQ(aPacket_GetCmd(p, &v), aErrNone);
    EXPECT_EQ(v, 0x0A);
    EXPECT_EQ(aPacket_GetOption(p, &v), aErrNone);
    EXPECT_EQ(v, 0x05);
    EXPECT_EQ(aPacket_GetIndex(p, &v), aErrNone);
    EXPECT_EQ(v, 0x07);
    EXPECT_EQ(aPacket_GetCmd(p, nullptr), aErrParam);
    aPacket_Destroy(&p);

    struct Case {
        size_t length;
        aErr cmd, option, index;
    } cases[] = {
        {0, aErrPacket, aErrPacket, aErrPacket},
        {1, aErrNone, aErrPacket, aErrPacket},
        {2, aErrNone, aErrNone, aErrPacket},
    };
    for (const Case& c : cases) {
        aPacket* s = aPacket_CreateWithData(0x04, c.length, uei);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(aPacket_GetCmd(s, &v), c.cmd) << c.length;
        EXPECT_EQ(aPacket_GetOption(s, &v), c.option) << c.length;
        EXPECT_EQ(aPacket_GetIndex(s, &v), c.index) << c.length;
        aPacket_Destroy(&s);
    }
}

TEST(aPacket, InvalidPacketsAreRefused) {
    aPacket fake{};  // check word missing
    uint8_t v = 0;
    uint8_t wire[30];
    EXPECT_EQ(aPacket_AddByte(&fake, 4), aErrParam);
    EXPECT_EQ(aPacket_Reset(&fake), aErrParam);
    EXPECT_EQ(aPacket_Copy(&fake), nullptr);
    EXPECT_EQ(aPacket_GetBytes(&fake, wire, sizeof wire, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetCmd(&fake, &v), aErrPacket);
    EXPECT_FALSE(aPacket_IsComplete(&fake));
    EXPECT_EQ(aPacket_AddByte(nullptr, 4), aErrParam);

    // A record whose length was spoilt is not read past its data.
    fake.checkWord = aPACKET_CHECK;
    fake.length = 200;
    EXPECT_EQ(aPacket_GetBytes(&fake, wire, sizeof wire, nullptr), aErrParam);
    EXPECT_EQ(aPacket_Copy(&fake), nullptr);
}

TEST(aPacket, CopyIsIndependent) {
    const uint8_t data[] = {1, 2, 3};
    aPacket* a = aPacket_CreateWithData(0x0C, 3, data);
    aPacket* b = aPacket_Copy(a);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    a->data[0] = 9;
    EXPECT_EQ(b->address, 0x0C);
    EXPECT_EQ(b->length, 3);
    EXPECT_EQ(b->data[0], 1);
    EXPECT_TRUE(aPacket_IsComplete(b));
    aPacket_Destroy(&a);
    aPacket_Destroy(&b);
}
