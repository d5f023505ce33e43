// The packet logger thread.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>

#include "aLogger.h"
#include "aTime.h"

namespace {

std::atomic<int> gCalls{0};
std::atomic<aErr> gSelfDisable{aErrUnknown};
std::atomic<aErr> gSelfDestroy{aErrUnknown};
aLogger* gSelf = nullptr;

aErr writeLine(aFile* file, int32_t linkId) {
    if (gCalls.fetch_add(1) < 3) aFile_Printf(file, "link %d\n", linkId);
    aTime_MSSleep(2);
    return aErrNone;
}

// Tries to stop and free its own logger from the logger's thread.
aErr selfStopper(aFile*, int32_t) {
    if (gCalls.fetch_add(1) == 0) {
        gSelfDisable = aLogger_Disable(gSelf);
        gSelfDestroy = aLogger_Destroy(&gSelf);
    }
    aTime_MSSleep(2);
    return aErrNone;
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/aLoggerXXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() {
        unlink((path + "/log.txt").c_str());
        rmdir(path.c_str());
    }
    std::string path;
};

bool waitForCalls(int count) {
    for (int i = 0; i < 1000 && gCalls.load() < count; ++i) aTime_MSSleep(2);
    return gCalls.load() >= count;
}

}  // namespace

TEST(aLogger, RunsReaderUntilDisabledAndAppendsToFile) {
    TempDir dir;
    const std::string path = dir.path + "/log.txt";
    {
        std::ofstream existing(path);
        existing << "before\n";
    }
    gCalls = 0;
    aLogger* logger = aLogger_Create(7, writeLine, path.c_str());
    ASSERT_NE(nullptr, logger);
    EXPECT_FALSE(aLogger_IsRunning(logger));
    EXPECT_EQ(aErrNone, aLogger_Disable(logger)) << "not running";
    ASSERT_EQ(aErrNone, aLogger_Enable(logger));
    EXPECT_EQ(aErrNone, aLogger_Enable(logger)) << "already running";
    ASSERT_TRUE(waitForCalls(5));
    ASSERT_EQ(aErrNone, aLogger_Disable(logger));
    const int calls = gCalls.load();
    aTime_MSSleep(20);
    EXPECT_EQ(calls, gCalls.load()) << "no calls after disable returned";

    // Restartable, then destroyed while running.
    ASSERT_EQ(aErrNone, aLogger_Enable(logger));
    ASSERT_TRUE(waitForCalls(calls + 2));
    EXPECT_EQ(aErrNone, aLogger_Destroy(&logger));
    EXPECT_EQ(nullptr, logger);

    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ("before\nlink 7\nlink 7\nlink 7\n", text.str());
}

TEST(aLogger, InvalidArgumentsAndUnopenableFile) {
    EXPECT_EQ(nullptr, aLogger_Create(1, writeLine, "/nonexistent-dir/x/log.txt"));
    EXPECT_EQ(nullptr, aLogger_Create(1, nullptr, "/tmp/unused"));
    EXPECT_EQ(aErrParam, aLogger_Enable(nullptr));
    EXPECT_EQ(aErrParam, aLogger_Disable(nullptr));
    aLogger* none = nullptr;
    EXPECT_EQ(aErrNone, aLogger_Destroy(&none));
    EXPECT_EQ(aErrNone, aLogger_Destroy(nullptr));
}

// From its own thread the logger can neither stop nor free itself: it would
// be joining itself, or freeing the record its thread still runs on.
TEST(aLogger, CannotStopOrFreeItselfFromItsOwnThread) {
    TempDir dir;
    gCalls = 0;
    gSelf = aLogger_Create(1, selfStopper, (dir.path + "/log.txt").c_str());
    ASSERT_NE(nullptr, gSelf);
    aLogger* logger = gSelf;
    ASSERT_EQ(aErrNone, aLogger_Enable(logger));
    ASSERT_TRUE(waitForCalls(3));
    EXPECT_EQ(aErrNone, gSelfDisable.load());
    EXPECT_EQ(aErrBusy, gSelfDestroy.load());
    EXPECT_TRUE(aLogger_IsRunning(logger));
    EXPECT_EQ(aErrNone, aLogger_Destroy(&logger));
}
