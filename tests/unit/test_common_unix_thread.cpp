#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

#include "Lumivance2/common/aThread.h"
#include "Lumivance2/common/aTime.h"

namespace {

struct Work {
    std::atomic<int> runs{0};
    int argumentSeen = 0;
    int value = 0;
};

int sProc(void* argument) {
    auto* w = static_cast<Work*>(argument);
    aTime_MSSleep(20);  // still running when Destroy starts waiting
    w->argumentSeen = w->value;
    ++w->runs;
    return 17;  // ignored
}

}  // namespace

TEST(aThread, RunsTheProcedureAndDestroyJoinsIt) {
    Work work;
    work.value = 42;
    aThread* t = aThread_Create(sProc, &work);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_EQ(t, nullptr);
    // After the join the thread's writes are visible and complete.
    EXPECT_EQ(work.runs.load(), 1);
    EXPECT_EQ(work.argumentSeen, 42);
}

TEST(aThread, ManyThreads) {
    Work work[8];
    aThread* threads[8];
    for (int i = 0; i < 8; ++i) {
        work[i].value = i + 1;
        threads[i] = aThread_Create(sProc, &work[i]);
        ASSERT_NE(threads[i], nullptr);
    }
    for (auto& t : threads) EXPECT_EQ(aThread_Destroy(&t), 0);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(work[i].runs.load(), 1);
        EXPECT_EQ(work[i].argumentSeen, i + 1);  // each thread got its own argument
    }
}

TEST(aThread, DestroyWithoutAThreadFails) {
    aThread* none = nullptr;
    EXPECT_NE(aThread_Destroy(&none), 0);
    EXPECT_NE(aThread_Destroy(nullptr), 0);
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    aThread_Yield();  // returns
}
