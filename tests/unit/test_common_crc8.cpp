#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crc8.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

std::vector<uint8_t> Text(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> Counting(int count) {
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(i));
    return out;
}

struct CrcCase {
    const char* name;
    std::vector<uint8_t> data;
    uint8_t crc;
};

// Expected values computed independently with Debian's python3-crcmod:
//   crcmod.predefined.mkPredefinedCrcFun('crc-8-maxim')(data)
// (equivalently crcmod.mkCrcFun(0x131, initCrc=0, rev=True, xorOut=0)).
const std::vector<CrcCase>& Cases() {
    static const std::vector<CrcCase> cases = {
        {"empty", {}, 0x00},
        {"digits 1-9", Text("123456789"), 0xA1},
        {"abc", Text("abc"), 0x42},
        {"00", Bytes({0x00}), 0x00},
        {"01", Bytes({0x01}), 0x5E},
        {"80", Bytes({0x80}), 0x8C},
        {"FF", Bytes({0xFF}), 0x35},
        {"packet 04 02 11 22", Bytes({0x04, 0x02, 0x11, 0x22}), 0xF6},
        {"sync AD 00", Bytes({0xAD, 0x00}), 0x67},
        {"answer 06 00", Bytes({0x06, 0x00}), 0xAA},
        {"00..1D (30 bytes)", Counting(30), 0xEC},
        {"00..FF (256 bytes)", Counting(256), 0x18},
        {"eight FF", std::vector<uint8_t>(8, 0xFF), 0xC9},
    };
    return cases;
}

TEST(Crc8, MatchesIndependentVectors) {
    for (const CrcCase& c : Cases()) {
        EXPECT_EQ(crc8_create(c.data.data(), c.data.size()), c.crc) << c.name;
        uint8_t running = 0;
        for (uint8_t b : c.data) running = crc8_update(running, b);
        EXPECT_EQ(running, c.crc) << c.name << " (byte by byte)";
    }
}

TEST(Crc8, CheckAcceptsOnlyTheRightValue) {
    for (const CrcCase& c : Cases()) {
        EXPECT_TRUE(crc8_check(c.data.data(), c.data.size(), c.crc)) << c.name;
        EXPECT_FALSE(crc8_check(c.data.data(), c.data.size(), c.crc ^ 0x01)) << c.name;
    }
}

TEST(Crc8, NoDataGivesZero) {
    EXPECT_EQ(crc8_create(nullptr, 5), 0);
}

}  // namespace
