#include <gtest/gtest.h>

#include <string>

#include "Lumivance2/common/aVersion.h"

TEST(aVersion, PackAndParseBothLayouts) {
    struct Case {
        uint8_t major, minor, patch;
        uint32_t packed;
        bool legacy;
        const char* text;
    } cases[] = {
        {2, 12, 2, 0x2C000002, true, "2.12.2"},  {2, 14, 255, 0x2E0000FF, true, "2.14.255"},
        {2, 15, 0, 0x2F020F00, false, "2.15.0"}, {3, 0, 1, 0x2F030001, false, "3.0.1"},
        {1, 9, 7, 0x19000007, true, "1.9.7"},    {255, 255, 255, 0x2FFFFFFF, false, "255.255.255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const uint32_t v = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(v, c.packed);
        EXPECT_EQ(aVersion_IsLegacyFormat(v), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(v), c.major);
        EXPECT_EQ(aVersion_ParseMinor(v), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(v), c.patch);
        char buf[32];
        EXPECT_EQ(aVersion_ParseString(v, buf, sizeof buf), int(std::string(c.text).size()));
        EXPECT_STREQ(buf, c.text);
    }
}

TEST(aVersion, LegacyPatchHasTwentyFourBits) {
    const uint32_t v = 0x1A123456;  // 1.10 with patch 0x123456
    EXPECT_TRUE(aVersion_IsLegacyFormat(v));
    EXPECT_EQ(aVersion_ParseMajor(v), 1);
    EXPECT_EQ(aVersion_ParseMinor(v), 10);
    EXPECT_EQ(aVersion_ParsePatch(v), 0x123456u);
    char small[4];
    EXPECT_EQ(aVersion_ParseString(v, small, sizeof small), 12);  // "1.10.1193046"
    EXPECT_STREQ(small, "1.1");
}

TEST(aVersion, OwnVersionAndComparisons) {
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 2);
    EXPECT_STREQ(aVersion_GetString(), "2.12.2");

    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 2));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 3));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 13, 0));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 99, 99));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 200));

    EXPECT_TRUE(aVersion_IsAtLeastCompare(1, 0, 0, 0, 255, 255));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(0, 255, 255, 1, 0, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(200, 1, 1, 100, 1, 1));  // unsigned bytes
}

TEST(aVersion, Features) {
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}
