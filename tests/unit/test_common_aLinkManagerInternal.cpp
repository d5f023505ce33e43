// The link registry: ids, lookups, extraction and use counts.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "aLinkManagerInternal.h"

namespace {

// The id of the first entry this process makes, recorded before any test runs.
int32_t gFirstId = 0;

class FirstEntry : public testing::Environment {
  public:
    void SetUp() override { gFirstId = sCreate(0x1111, 0, LINK_USB); }
};
testing::Environment* const gEnvironment = testing::AddGlobalTestEnvironment(new FirstEntry);

void release(int32_t id) {
    aLinkEntry* entry = sExtractEntry(id);
    if (entry) {
        delete entry->link;
        sFreeEntry(&entry);
    }
}

}  // namespace

TEST(aLinkRegistry, IdsStartAtOneAndAreNeverReused) {
    EXPECT_EQ(1, gFirstId);
    const int32_t a = sCreate(0x2222, 0, LINK_USB);
    const int32_t b = sCreate(0x3333, 0, LINK_USB);
    EXPECT_EQ(a + 1, b);
    release(a);
    const int32_t c = sCreate(0x4444, 0, LINK_USB);
    EXPECT_EQ(b + 1, c);
    EXPECT_EQ(nullptr, sLookupEntryByID(a));
    aLinkEntry* entry = sLookupEntryByID(c);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(c, entry->link->id);
    EXPECT_EQ(entry->link, sGetLink(c));
    EXPECT_EQ(nullptr, sGetLink(0));
    release(b);
    release(c);
}

TEST(aLinkRegistry, LookupsFindNewestFirstByTypeAndTrident) {
    const int32_t usbOld = sCreate(0xABCD, 0, LINK_USB);
    const int32_t tcp = sCreate2(0xABCD, 0x0100007F, 9000, LINK_TCPIP);
    const int32_t usbNew = sCreate(0xABCD, 0, LINK_USB);

    EXPECT_EQ(usbNew, sLookupEntryByIdentifier(0xABCD, LINK_USB)->id);
    EXPECT_EQ(tcp, sLookupEntryByIdentifier(0xABCD, LINK_TCPIP)->id);
    EXPECT_EQ(nullptr, sLookupEntryByIdentifier(0xABCD, LINK_SERIAL));
    EXPECT_EQ(tcp, sLookupEntryByTrident(0xABCD, 0x0100007F, 9000)->id);
    EXPECT_EQ(usbNew, sLookupEntryByTrident(0xABCD, 0, 0)->id);
    EXPECT_EQ(nullptr, sLookupEntryByTrident(0xABCD, 0x0100007F, 9001));

    release(usbNew);
    EXPECT_EQ(usbOld, sLookupEntryByIdentifier(0xABCD, LINK_USB)->id);
    EXPECT_EQ(nullptr, sExtractEntry(usbNew)) << "already taken out";
    release(usbOld);
    release(tcp);
}

TEST(aLinkRegistry, UseCountsServerAndDeviceLinkRecords) {
    const int32_t id = sCreate(0x5555, 0, LINK_USB);
    aLinkEntry* entry = sLookupEntryByID(id);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(0, sGetUseCount(entry));
    EXPECT_EQ(1, sChangeUseCount(entry, 1));
    EXPECT_EQ(2, sChangeUseCount(entry, 1));
    EXPECT_EQ(1, sChangeUseCount(entry, -1));

    int server = 0;
    EXPECT_EQ(aErrNone, sSetServer(id, &server, nullptr));
    EXPECT_EQ(&server, sGetServer(entry));
    EXPECT_EQ(aErrNone, sSetDeviceLinkId(id, 42));
    EXPECT_EQ(42, entry->deviceLinkId);
    EXPECT_EQ(aErrParam, sSetServer(99999, &server, nullptr));
    EXPECT_EQ(aErrParam, sSetDeviceLinkId(99999, 1));
    release(id);
}

TEST(aLinkRegistry, ConcurrentCreationGivesDistinctIds) {
    std::vector<int32_t> ids(4 * 50);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&ids, t] {
            for (int i = 0; i < 50; ++i) ids[t * 50 + i] = sCreate(0x7000 + t, i, LINK_SERIAL);
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<int32_t> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted.end(), std::adjacent_find(sorted.begin(), sorted.end()));
    EXPECT_EQ(0, std::count(ids.begin(), ids.end(), 0));
    for (int32_t id : ids) release(id);
}

TEST(aLinkRegistry, ClientNumbersCountUp) {
    const uint32_t first = sNextClientNumber();
    EXPECT_EQ(first + 1, sNextClientNumber());
}
