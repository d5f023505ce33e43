#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Lumivance2/common/aUEI.h"

namespace {

struct PacketRef {
    aPacket* p;
    explicit PacketRef(std::vector<uint8_t> data)
        : p(aPacket_CreateWithData(0x04, data.size(), data.data())) {}
    ~PacketRef() { aPacket_Destroy(&p); }
};

}  // namespace

TEST(aUEI, BigEndianValues) {
    uint8_t buf[4] = {};
    aUEI_StoreInt(buf, 0x01020304);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(aUEI_RetrieveInt(buf), 0x01020304u);
    aUEI_StoreInt(buf, 0xFEDCBA98);
    EXPECT_EQ(aUEI_RetrieveInt(buf), 0xFEDCBA98u);

    const uint8_t ff01[2] = {0xFF, 0x01};
    EXPECT_EQ(aUEI_RetrieveShort(ff01), 0xFF01);
    aUEI_StoreShort(buf, 0xA55A);
    EXPECT_EQ(buf[0], 0xA5);
    EXPECT_EQ(buf[1], 0x5A);

    uint32_t words[2];
    const uint8_t raw[8] = {0x00, 0x00, 0x01, 0x00, 0xDE, 0xAD, 0xBE, 0xEF};
    std::memcpy(words, raw, sizeof raw);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x100u);
    EXPECT_EQ(words[1], 0xDEADBEEFu);
}

TEST(aUEI, NonUeiCommandBytes) {
    const uint8_t notUei[] = {0, 1, 2, 4, 8, 9, 23, 24, 0x49, 0x5E, 0x5F, 0xAD, 0xAF};
    for (int cmd = 0; cmd < 256; ++cmd) {
        PacketRef pkt({uint8_t(cmd), 0x40, 0x20});
        const bool listed = std::memchr(notUei, cmd, sizeof notUei) != nullptr;
        EXPECT_EQ(aUEI_isNotUEIPayload(pkt.p), listed) << cmd;
        EXPECT_EQ(aUEI_isUEIPayload(pkt.p), !listed) << cmd;
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
}

TEST(aUEI, StreamPackets) {
    struct Case {
        std::vector<uint8_t> data;
        bool stream;
    } cases[] = {
        {{0x0A, 0x05, 0x41, 1, 2, 3}, true},  {{0x0A, 0x45, 0x41, 1, 2, 3}, false},  // a get reply
        {{0x0A, 0x85, 0x41, 1, 2, 3}, false},                                        // a set
        {{0x0A, 0x05, 0x01, 1, 2, 3}, false},  // index without the stream bit
        {{0x0A, 0x05, 0x41, 1}, false},        // only 4 data bytes
        {{0x5F, 0x05, 0x41, 1, 2, 3}, false},  // not a UEI payload
        {{0x0A, 0x3F, 0x5F, 1, 2}, true},
    };
    for (const Case& c : cases) {
        PacketRef pkt(c.data);
        EXPECT_EQ(aUEI_isStreamPacket(pkt.p), c.stream)
            << int(c.data[0]) << " " << int(c.data[1]) << " " << int(c.data[2]);
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(aUEI, ByteRunChunks) {
    std::vector<uint8_t> full(28, 0);
    full[27] = 0x85;  // chunk 5, more to come
    PacketRef chunk(full);
    EXPECT_EQ(aUEI_getBytesSequence(chunk.p), 5);
    EXPECT_NE(aUEI_getBytesContinue(chunk.p), 0);
    EXPECT_TRUE(aUEI_getBytesFullPacket(chunk.p));

    PacketRef last({0x0A, 0x40, 0x20, 0xAA, 0x7F});
    EXPECT_EQ(aUEI_getBytesSequence(last.p), 0x7F);
    EXPECT_EQ(aUEI_getBytesContinue(last.p), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(last.p));

    PacketRef twentySeven(std::vector<uint8_t>(27, 0x01));
    EXPECT_TRUE(aUEI_getBytesFullPacket(twentySeven.p));
    PacketRef empty({});
    EXPECT_EQ(aUEI_getBytesSequence(empty.p), 0);
    EXPECT_EQ(aUEI_getBytesContinue(empty.p), 0);
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}
