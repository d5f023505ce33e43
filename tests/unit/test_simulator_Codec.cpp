#include <gtest/gtest.h>

#include <cstring>

#include "Codec.h"

using namespace sim;

namespace {
std::vector<uint8_t> V(std::initializer_list<int> l) {
    std::vector<uint8_t> v;
    for (int x : l) v.push_back(uint8_t(x));
    return v;
}
Packet P(uint8_t address, std::vector<uint8_t> data) {
    Packet p;
    p.address = address;
    p.data = std::move(data);
    return p;
}
}  // namespace

TEST(SimCodec, Crc8KnownValues) {
    EXPECT_EQ(crc8(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xA1);
    EXPECT_EQ(crc8(reinterpret_cast<const uint8_t*>("abc"), 3), 0x42);
    EXPECT_EQ(crc8(nullptr, 0), 0);
}

TEST(SimCodec, SerialFramesOfKnownPackets) {
    struct Case {
        Packet packet;
        std::vector<uint8_t> frame;
    } cases[] = {
        {P(0x04, V({0x11, 0x22})), V({0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00})},
        {P(0xAD, {}), V({0x02, 0xAD, 0x02, 0x67, 0x00})},
        {P(0x06, {}), V({0x02, 0x06, 0x02, 0xAA, 0x00})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(frameSerial(c.packet), c.frame);
        Packet back;
        std::vector<uint8_t> body(c.frame.begin(), c.frame.end() - 1);
        ASSERT_TRUE(unframeSerial(body, back));
        EXPECT_EQ(back.address, c.packet.address);
        EXPECT_EQ(back.data, c.packet.data);
    }
}

TEST(SimCodec, FullPacketWithZerosRoundTripsAndBadFramesAreRefused) {
    std::vector<uint8_t> data(28);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i % 3 == 0 ? 0 : i);
    std::vector<uint8_t> f = frameSerial(P(6, data));
    EXPECT_EQ(f.size(), 33u);  // 30 wire bytes + CRC + one COBS byte + delimiter
    for (size_t i = 0; i + 1 < f.size(); ++i) EXPECT_NE(f[i], 0);
    std::vector<uint8_t> body(f.begin(), f.end() - 1);
    Packet back;
    ASSERT_TRUE(unframeSerial(body, back));
    EXPECT_EQ(back.data, data);

    std::vector<uint8_t> bad = frameSerial(P(4, V({0x11, 0x22})));
    bad.pop_back();
    bad[bad.size() - 1] ^= 0x01;  // CRC byte altered
    EXPECT_FALSE(unframeSerial(bad, back));
    // length byte that does not match the frame
    std::vector<uint8_t> wire = V({4, 3, 0x11, 0x22});
    wire.push_back(crc8(wire.data(), wire.size()));
    std::vector<uint8_t> enc = cobsEncode(wire.data(), wire.size());
    EXPECT_FALSE(unframeSerial(enc, back));
}

TEST(SimCodec, CobsEdgeCases) {
    std::vector<uint8_t> out;
    ASSERT_TRUE(cobsDecode(V({0x01, 0x01}).data(), 2, out));
    EXPECT_EQ(out, V({0x00}));
    ASSERT_TRUE(cobsDecode(V({0x03, 0x11, 0x22}).data(), 3, out));
    EXPECT_EQ(out, V({0x11, 0x22}));
    EXPECT_FALSE(cobsDecode(V({0x05, 0x11}).data(), 2, out));  // points past the end
    // a run of 254 non-zero bytes uses the 0xFF code without an implied zero
    std::vector<uint8_t> run(254, 0x5A), run2(300, 0x33);
    run2[100] = 0;
    for (const auto& src : {run, run2}) {
        std::vector<uint8_t> enc = cobsEncode(src.data(), src.size());
        for (uint8_t b : enc) EXPECT_NE(b, 0);
        ASSERT_TRUE(cobsDecode(enc.data(), enc.size(), out));
        EXPECT_EQ(out, src);
    }
    EXPECT_EQ(cobsEncode(run.data(), run.size())[0], 0xFF);
}

TEST(SimCodec, PackedVersions) {
    EXPECT_EQ(packVersion(2, 12, 2), 0x2C000002u);
    EXPECT_EQ(packVersion(2, 10, 4), 0x2A000004u);
    EXPECT_EQ(packVersion(2, 15, 0), 0x2F020F00u);
    EXPECT_EQ(packVersion(3, 0, 1), 0x2F030001u);
    EXPECT_EQ(packVersion(1, 99, 7), 0x13000007u);  // legacy keeps the low nibble of minor
}

TEST(SimCodec, ParserTakesPacketsAndSkipsGarbage) {
    PacketParser parser;
    // zero byte skipped, packet 04 02 11 22, impossible length dropped, 06 00
    std::vector<uint8_t> in = V({0x00, 0x04, 0x02, 0x11, 0x22, 0x08, 0x1D, 0x06, 0x00});
    std::vector<Packet> got;
    Packet p;
    for (uint8_t b : in)
        if (parser.feed(b, p)) got.push_back(p);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].address, 4);
    EXPECT_EQ(got[0].data, V({0x11, 0x22}));
    EXPECT_EQ(got[1].address, 6);
    EXPECT_TRUE(got[1].data.empty());
    EXPECT_EQ(parser.discarded(), 3u);
    EXPECT_FALSE(parser.partial());
}
