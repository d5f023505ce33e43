#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "aStream.h"
#include "aStream_CobsEncoding.h"
#include "memory_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Inner transport: reads take queued bytes (aErrNotReady when empty); each
// write call is recorded as one frame; puts are recorded apart.
struct Wire {
    std::deque<uint8_t> in;
    std::vector<Bytes> writes;
    Bytes puts;
    aErr writeResult = aErrNone;
    int gets = 0;
    bool deleted = false;
    void Feed(const Bytes& bytes) { in.insert(in.end(), bytes.begin(), bytes.end()); }
};

aErr WireGet(uint8_t* out, void* ref) {
    Wire* w = static_cast<Wire*>(ref);
    w->gets++;
    if (w->in.empty()) return aErrNotReady;
    *out = w->in.front();
    w->in.pop_front();
    return aErrNone;
}
aErr WirePut(const uint8_t* b, void* ref) {
    static_cast<Wire*>(ref)->puts.push_back(*b);
    return aErrNone;
}
aErr WireWrite(const uint8_t* data, size_t length, void* ref) {
    Wire* w = static_cast<Wire*>(ref);
    w->writes.emplace_back(data, data + length);
    return w->writeResult;
}
aErr WireDelete(void* ref) {
    static_cast<Wire*>(ref)->deleted = true;
    return aErrNone;
}

struct Framed {
    Wire wire;
    aStream* stream = nullptr;
    Framed() {
        EXPECT_EQ(
            aStream_CreateCobsEncoding(WireGet, WirePut, WireWrite, WireDelete, &wire, &stream),
            aErrNone);
    }
    ~Framed() {
        if (stream) aStream_Destroy(&stream);
    }
    // Reads until the stream has nothing more; returns the bytes and the
    // last code. Bounded by the number of bytes fed.
    std::pair<Bytes, std::vector<aErr>> Drain() {
        Bytes bytes;
        std::vector<aErr> codes;
        for (int i = 0; i < 200; ++i) {
            uint8_t b = 0;
            aErr err = aStream_Read(stream, &b, 1);
            if (err == aErrNone) {
                bytes.push_back(b);
                continue;
            }
            codes.push_back(err);
            if (err == aErrNotReady && wire.in.empty()) break;
        }
        return {bytes, codes};
    }
};

TEST(CobsStream, WritesEachPacketAsOneFrame) {
    struct Case {
        const char* name;
        Bytes packet;
        Bytes frame;
    };
    const std::vector<Case> cases = {
        {"data packet", {0x04, 0x02, 0x11, 0x22}, {0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00}},
        {"synchronisation", {0xAD, 0x00}, {0x02, 0xAD, 0x02, 0x67, 0x00}},
    };
    for (const Case& c : cases) {
        Framed f;
        ASSERT_EQ(aStream_Write(f.stream, c.packet.data(), c.packet.size()), aErrNone) << c.name;
        ASSERT_EQ(f.wire.writes.size(), 1u) << c.name;
        EXPECT_EQ(f.wire.writes[0], c.frame) << c.name;
    }
}

TEST(CobsStream, PacketsSplitAndJoinedAcrossWrites) {
    Framed f;
    // Two packets in one write, then a packet split over two writes.
    const Bytes two = {0x04, 0x00, 0x06, 0x01, 0x00};
    ASSERT_EQ(aStream_Write(f.stream, two.data(), two.size()), aErrNone);
    EXPECT_EQ(f.wire.writes.size(), 2u);
    const Bytes head = {0x08, 0x03, 0x01};
    const Bytes tail = {0x02, 0x03};
    ASSERT_EQ(aStream_Write(f.stream, head.data(), head.size()), aErrNone);
    EXPECT_EQ(f.wire.writes.size(), 2u) << "an incomplete packet waits";
    ASSERT_EQ(aStream_Write(f.stream, tail.data(), tail.size()), aErrNone);
    ASSERT_EQ(f.wire.writes.size(), 3u);
    Bytes wire3(f.wire.writes[2].begin(), f.wire.writes[2].end() - 1);
    uint8_t decoded[32];
    size_t length = 0;
    ASSERT_EQ(aCobs_DecodePacketFrame(wire3.data(), wire3.size(), decoded, &length), aErrNone);
    EXPECT_EQ(Bytes(decoded, decoded + length), (Bytes{0x08, 0x03, 0x01, 0x02, 0x03}));
}

TEST(CobsStream, InvalidWrittenBytesAndInnerFailures) {
    Framed f;
    const Bytes zeroAddress = {0x00, 0x01, 0x02};
    EXPECT_EQ(aStream_Write(f.stream, zeroAddress.data(), zeroAddress.size()), aErrPacket);
    const Bytes tooLong = {0x04, 29, 0x01};
    EXPECT_EQ(aStream_Write(f.stream, tooLong.data(), tooLong.size()), aErrPacket);
    EXPECT_TRUE(f.wire.writes.empty());
    // The assembler starts clean again afterwards.
    const Bytes good = {0x04, 0x00};
    f.wire.writeResult = aErrIO;
    EXPECT_EQ(aStream_Write(f.stream, good.data(), good.size()), aErrIO);
    ASSERT_EQ(f.wire.writes.size(), 1u);
    // 04 00 with its CRC-8 0x3B (python3-crcmod, crc-8-maxim).
    EXPECT_EQ(f.wire.writes[0], (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
}

TEST(CobsStream, OneBytePutGoesOutUnframed) {
    Framed f;
    const uint8_t b = 0x7E;
    ASSERT_EQ(aStream_Write(f.stream, &b, 1), aErrNone);
    EXPECT_EQ(f.wire.puts, (Bytes{0x7E}));
    EXPECT_TRUE(f.wire.writes.empty());
}

TEST(CobsStream, ReadsGoodFramesAndDropsBadOnes) {
    struct Case {
        const char* name;
        Bytes wire;
        Bytes bytes;
        bool packetError;
    };
    const std::vector<Case> cases = {
        {"device answer", {0x02, 0x06, 0x02, 0xAA, 0x00}, {0x06, 0x00}, false},
        {"stray delimiters first", {0x00, 0x00, 0x02, 0x06, 0x02, 0xAA, 0x00}, {0x06, 0x00}, false},
        {"altered CRC", {0x02, 0x06, 0x02, 0xAB, 0x00}, {}, true},
        {"length byte disagrees", {0x04, 0x06, 0x01, 0x11, 0x02, 0x00}, {}, true},
        {"too short", {0x02, 0x06, 0x00}, {}, true},
        {"code past the end", {0x09, 0x06, 0x02, 0xAA, 0x00}, {}, true},
        {"overlong frame", Bytes(40, 0x11), {}, true},
    };
    for (const Case& c : cases) {
        Framed f;
        Bytes wire = c.wire;
        if (std::string(c.name) == "overlong frame") wire.push_back(0x00);
        f.wire.Feed(wire);
        auto [bytes, codes] = f.Drain();
        EXPECT_EQ(bytes, c.bytes) << c.name;
        bool sawPacketError = false;
        for (aErr e : codes) sawPacketError |= e == aErrPacket;
        EXPECT_EQ(sawPacketError, c.packetError) << c.name;
        // A good frame still gets through after whatever came before.
        f.wire.Feed({0x02, 0x06, 0x02, 0xAA, 0x00});
        auto after = f.Drain();
        EXPECT_EQ(after.first, (Bytes{0x06, 0x00})) << c.name << " (following frame)";
    }
}

TEST(CobsStream, FrameArrivingInPiecesIsKept) {
    Framed f;
    f.wire.Feed({0x06, 0x04, 0x02});
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(f.stream, &b, 1), aErrNotReady);
    f.wire.Feed({0x11, 0x22, 0xF6, 0x00});
    uint8_t packet[4] = {};
    ASSERT_EQ(aStream_Read(f.stream, packet, 4), aErrNone);
    EXPECT_EQ(Bytes(packet, packet + 4), (Bytes{0x04, 0x02, 0x11, 0x22}));
}

TEST(CobsStream, FullPacketRoundTripBetweenTwoFramingStreams) {
    // Two framing streams over the two ends of a memory pair: a 28-byte
    // packet (30 wire bytes, 32 encoded bytes) crosses intact, with zeros.
    aStream* endA = nullptr;
    aStream* endB = nullptr;
    ASSERT_EQ(aStream_CreateMemoryPair(&endA, &endB, 0), aErrNone);
    // The framing streams drive the memory ends through the generic calls.
    struct Hop {
        static aErr Get(uint8_t* out, void* ref) {
            return aStream_Read(static_cast<aStream*>(ref), out, 1);
        }
        static aErr Put(const uint8_t* b, void* ref) {
            return aStream_Write(static_cast<aStream*>(ref), b, 1);
        }
        static aErr Write(const uint8_t* d, size_t n, void* ref) {
            return aStream_Write(static_cast<aStream*>(ref), d, n);
        }
        static aErr Delete(void* ref) {
            aStream* s = static_cast<aStream*>(ref);
            return aStream_Destroy(&s);
        }
    };
    aStream* a = nullptr;
    aStream* b = nullptr;
    ASSERT_EQ(aStream_CreateCobsEncoding(Hop::Get, Hop::Put, Hop::Write, Hop::Delete, endA, &a),
              aErrNone);
    ASSERT_EQ(aStream_CreateCobsEncoding(Hop::Get, Hop::Put, Hop::Write, Hop::Delete, endB, &b),
              aErrNone);
    Bytes packet = {0x04, 28};
    for (int i = 0; i < 28; ++i) packet.push_back(static_cast<uint8_t>(i % 5 == 0 ? 0 : i * 9));
    ASSERT_EQ(aStream_Write(a, packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(aStream_MemoryPending(endA), 33u) << "32 encoded bytes and the delimiter";
    Bytes got(packet.size());
    ASSERT_EQ(aStream_Read(b, got.data(), got.size()), aErrNone);
    EXPECT_EQ(got, packet);
    uint8_t extra;
    EXPECT_EQ(aStream_Read(b, &extra, 1), aErrNotReady);
    EXPECT_EQ(aStream_Destroy(&a), aErrNone);
    EXPECT_EQ(aStream_Destroy(&b), aErrNone);
}

TEST(CobsStream, CreateAndDestroy) {
    aStream* s = nullptr;
    Wire wire;
    EXPECT_EQ(aStream_CreateCobsEncoding(WireGet, WirePut, WireWrite, WireDelete, &wire, nullptr),
              aErrParam);
    ASSERT_EQ(aStream_CreateCobsEncoding(WireGet, WirePut, WireWrite, WireDelete, &wire, &s),
              aErrNone);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_TRUE(wire.deleted) << "deleting the framing stream deletes the inner transport";
}

}  // namespace
