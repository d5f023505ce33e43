#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cobs.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Run(int first, int last) {
    Bytes out;
    for (int v = first; v <= last; ++v) out.push_back(static_cast<uint8_t>(v));
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct CobsCase {
    const char* name;
    Bytes decoded;
    Bytes encoded;  // without the 0x00 frame delimiter
};

// The published worked examples of the algorithm (Cheshire and Baker's
// encoding, as tabulated in the usual references), frame delimiter removed.
const std::vector<CobsCase>& Cases() {
    static const std::vector<CobsCase> cases = {
        {"single zero", {0x00}, {0x01, 0x01}},
        {"two zeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
        {"zero 11 zero", {0x00, 0x11, 0x00}, {0x01, 0x02, 0x11, 0x01}},
        {"11 22 00 33", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        {"11 22 33 44", {0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
        {"11 00 00 00", {0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
        {"01..FE (254 bytes)", Run(0x01, 0xFE), Cat({{0xFF}, Run(0x01, 0xFE)})},
        {"00..FE (255 bytes)", Run(0x00, 0xFE), Cat({{0x01, 0xFF}, Run(0x01, 0xFE)})},
        {"01..FF (255 bytes)", Run(0x01, 0xFF), Cat({{0xFF}, Run(0x01, 0xFE), {0x02, 0xFF}})},
        {"02..FF 00 (255 bytes)", Cat({Run(0x02, 0xFF), {0x00}}),
         Cat({{0xFF}, Run(0x02, 0xFF), {0x01, 0x01}})},
        {"03..FF 00 01 (255 bytes)", Cat({Run(0x03, 0xFF), {0x00, 0x01}}),
         Cat({{0xFE}, Run(0x03, 0xFF), {0x02, 0x01}})},
        {"two bytes", {0x11, 0x22}, {0x03, 0x11, 0x22}},
    };
    return cases;
}

TEST(Cobs, EncodesPublishedExamples) {
    for (const CobsCase& c : Cases()) {
        Bytes out(cobs_max_encoded_length(c.decoded.size()));
        size_t n = cobs_encode(c.decoded.data(), c.decoded.size(), out.data());
        out.resize(n);
        EXPECT_EQ(out, c.encoded) << c.name;

        Bytes inPlace = c.decoded;
        inPlace.resize(cobs_max_encoded_length(c.decoded.size()));
        n = cobs_encode_inplace(inPlace.data(), c.decoded.size());
        inPlace.resize(n);
        EXPECT_EQ(inPlace, c.encoded) << c.name << " (in place)";
    }
}

TEST(Cobs, DecodesPublishedExamples) {
    for (const CobsCase& c : Cases()) {
        Bytes out(c.encoded.size());
        size_t n = cobs_decode(c.encoded.data(), c.encoded.size(), out.data());
        out.resize(n);
        EXPECT_EQ(out, c.decoded) << c.name;

        Bytes inPlace = c.encoded;
        n = cobs_decode_inplace(inPlace.data(), inPlace.size());
        inPlace.resize(n);
        EXPECT_EQ(inPlace, c.decoded) << c.name << " (in place)";
    }
}

TEST(Cobs, RejectsMalformedInput) {
    const std::vector<std::pair<const char*, Bytes>> bad = {
        {"code past the end", {0x05, 0x11, 0x22}},
        {"later code past the end", {0x02, 0x11, 0x04, 0x22}},
        {"zero code", {0x00, 0x11}},
        {"zero inside a run", {0x03, 0x11, 0x00}},
    };
    for (const auto& [name, input] : bad) {
        Bytes out(input.size() + 1, 0xEE);
        EXPECT_EQ(cobs_decode(input.data(), input.size(), out.data()), 0u) << name;
    }
}

TEST(Cobs, RoundTripsRandomDataWithoutZerosInTheEncoding) {
    std::mt19937 rng(1234);
    for (size_t length = 0; length <= 700; length += 7) {
        Bytes data(length);
        // Mix of zero-rich and zero-free data.
        for (auto& b : data) b = (rng() % 4 == 0) ? 0 : static_cast<uint8_t>(rng());
        if (length % 2) {
            for (auto& b : data) b = b ? b : 0x5A;
        }
        Bytes encoded(cobs_max_encoded_length(length));
        size_t n = cobs_encode(data.data(), length, encoded.data());
        ASSERT_LE(n, cobs_max_encoded_length(length));
        encoded.resize(n);
        for (uint8_t b : encoded) ASSERT_NE(b, 0) << "length " << length;
        Bytes decoded(n);
        decoded.resize(cobs_decode(encoded.data(), n, decoded.data()));
        EXPECT_EQ(decoded, data) << "length " << length;
    }
}

}  // namespace
