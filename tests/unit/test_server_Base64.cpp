#include <gtest/gtest.h>

#include <random>

#include "server/Base64.h"

namespace {

TEST(Base64, DecodesStandardVectors) {
    const struct {
        const char* text;
        const char* plain;
    } cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"},
        {"+/+/", "\xfb\xff\xbf"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out;
        std::string error;
        ASSERT_TRUE(Base64::Decode(c.text, out, &error)) << c.text << ": " << error;
        EXPECT_EQ(std::string(out.begin(), out.end()), c.plain) << c.text;
        std::string inPlace = c.text;
        ASSERT_TRUE(Base64::DecodeInPlace(inPlace)) << c.text;
        EXPECT_EQ(inPlace, c.plain) << c.text;
    }
}

TEST(Base64, RejectsMalformedTextAndLeavesItUntouched) {
    const struct {
        const char* text;
        const char* reason;  // part of the error text
    } cases[] = {
        {"Zm9", "multiple of 4"},
        {"Zm9vY", "multiple of 4"},
        {"Zm9v\n", "0x0A at offset 4"},
        {"Zm9*", "'*' at offset 3"},
        {"Zm9v\r\n\r\n", "0x0D at offset 4"},
        {"Zg==Zg==", "padding '=' inside"},
        {"Z=9v", "padding '=' inside"},
        {"====", "padding '=' inside"},
        {"Zm-_", "'-' at offset 2"},
        {"Zm9 ", "' ' at offset 3"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out = {7};
        std::string error;
        EXPECT_FALSE(Base64::Decode(c.text, out, &error)) << c.text;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << " gave: " << error;
        EXPECT_EQ(out, std::vector<uint8_t>{7}) << c.text;
        std::string inPlace = c.text;
        EXPECT_FALSE(Base64::DecodeInPlace(inPlace)) << c.text;
        EXPECT_EQ(inPlace, c.text);
    }
}

TEST(Base64, RoundTripsEveryLengthAndByteValue) {
    std::mt19937 rng(42);
    for (size_t length = 0; length < 70; ++length) {
        std::vector<uint8_t> data(length);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        const std::string text = Base64::Encode(data.data(), data.size());
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(Base64::DecodedLength(text.data(), text.size()), length);
        std::vector<uint8_t> out;
        ASSERT_TRUE(Base64::Decode(text, out));
        EXPECT_EQ(out, data) << "length " << length;
    }
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    std::string text = Base64::Encode(all.data(), all.size());
    ASSERT_TRUE(Base64::DecodeInPlace(text));
    EXPECT_EQ(std::vector<uint8_t>(text.begin(), text.end()), all);
}

// Text fed in pieces decodes exactly as the whole text, wherever it is cut.
TEST(Base64, StreamDecoderMatchesWholeDecoding) {
    const std::string texts[] = {
        "Zm9vYmFy", "Zm9vYg==", "Zm9vYmE=", "Zm9*YmFy", "Zg==Zg==", "Zm9vY"};
    for (const std::string& text : texts) {
        std::vector<uint8_t> whole;
        std::string wholeError;
        const bool wholeOk = Base64::Decode(text, whole, &wholeError);
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            Base64::StreamDecoder decoder;
            std::vector<uint8_t> out(Base64::StreamDecoder::MaxOutput(text.size()) + 3);
            size_t n = decoder.Feed(text.data(), cut, out.data());
            n += decoder.Feed(text.data() + cut, text.size() - cut, out.data() + n);
            EXPECT_EQ(decoder.Finish(), wholeOk) << text << " cut at " << cut;
            if (wholeOk)
                EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + n), whole) << text;
            else
                EXPECT_EQ(decoder.Error(), wholeError) << text << " cut at " << cut;
        }
    }
}

}  // namespace
