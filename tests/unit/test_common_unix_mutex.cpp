#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "Lumivance2/common/aMutex.h"

TEST(aMutex, NameLimits) {
    const std::string longest(255, 'n');
    aMutex* m = aMutex_Create(longest.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(aMutex_Identifier(m), longest);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);

    EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);

    m = aMutex_Create(nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(aMutex_Identifier(m), "");
    aMutex_Destroy(&m);
}

TEST(aMutex, LockCodes) {
    aMutex* m = aMutex_Create("codes");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(aMutex_Lock(m), aErrNone);
    // Locking again from the owner is reported, not a hang.
    EXPECT_EQ(aMutex_Lock(m), aErrDuplicate);

    aErr otherTry = aErrNone, otherUnlock = aErrNone;
    std::thread other([&] {
        otherTry = aMutex_TryLock(m);
        otherUnlock = aMutex_Unlock(m);
    });
    other.join();
    EXPECT_EQ(otherTry, aErrBusy);
    EXPECT_EQ(otherUnlock, aErrPermission);

    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_Unlock(m), aErrPermission);  // not held any more
    EXPECT_EQ(aMutex_TryLock(m), aErrNone);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);

    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Destroy(&m), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}

TEST(aMutex, GuardsACounterAcrossThreads) {
    aMutex* m = aMutex_Create("counter");
    ASSERT_NE(m, nullptr);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            ASSERT_EQ(aMutex_Lock(m), aErrNone);
            ++counter;
            ASSERT_EQ(aMutex_Unlock(m), aErrNone);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
    aMutex_Destroy(&m);
}
