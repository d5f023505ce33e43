#include <gtest/gtest.h>

#include <vector>

#include "Lumivance2/common/aTime.h"

namespace {

void sRecord(uint32_t microseconds, void* reference) {
    static_cast<std::vector<uint32_t>*>(reference)->push_back(microseconds);
}

}  // namespace

TEST(aTime, SleepIsMadeOfPiecesBelowOneSecond) {
    struct Case {
        unsigned long ms;
        std::vector<uint32_t> pieces;
    } cases[] = {
        {0, {}},
        {1, {1000}},
        {999, {999000}},
        {1000, {999999, 1}},
        {2500, {999999, 999999, 500002}},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> pieces;
        EXPECT_EQ(aTime_MSSleepWith(c.ms, sRecord, &pieces), aErrNone);
        EXPECT_EQ(pieces, c.pieces) << c.ms << " ms";
    }
    EXPECT_EQ(aTime_MSSleepWith(5, nullptr, nullptr), aErrParam);
}

TEST(aTime, TicksAreReadableAndNeverGoBack) {
    uint64_t previous = aTime_GetMSTicks();
    EXPECT_NE(previous, 0u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(aTime_MSSleep(i), aErrNone);
        const uint64_t now = aTime_GetMSTicks();
        EXPECT_GE(now, previous);
        previous = now;
    }
}
