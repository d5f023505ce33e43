// The beacon-interface lock: which texts are accepted, that a refused text
// leaves the lock free, and that backup/restore puts the setting back.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "Lumivance2/common/zBeaconInterface.h"

namespace {
// True when another thread can take the lock within a short wait.
bool lockIsFree() {
    auto attempt = std::async(std::launch::async, [] {
        int ok = zBeaconInterface_setAndLock("*");
        if (ok) zBeaconInterface_unlock();
        return ok == 1;
    });
    if (attempt.wait_for(std::chrono::seconds(2)) != std::future_status::ready) return false;
    return attempt.get();
}
}  // namespace

TEST(BeaconInterface, TextValidation) {
    struct Case {
        const char* text;
        bool valid;
    } cases[] = {{"", true},
                 {"*", true},
                 {"10.77.0.1", true},
                 {"127.0.0.1", true},
                 {"10.77.0.256", false},
                 {"10.77.0", false},
                 {"eth0", false},
                 {"1.2.3.4.5", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(zBeaconInterface_setAndLock(c.text), c.valid ? 1 : 0) << c.text;
        if (c.valid) {
            EXPECT_EQ(zBeaconInterface_get(), c.text);
            zBeaconInterface_unlock();
        }
        EXPECT_TRUE(lockIsFree()) << c.text;
    }
    EXPECT_EQ(zBeaconInterface_setAndLock(nullptr), 0);
}

TEST(BeaconInterface, BackupAndRestore) {
    ASSERT_EQ(zBeaconInterface_setAndLock("10.1.1.1"), 1);
    zBeaconInterface_unlock();
    ASSERT_EQ(zBeaconInterface_backupSetAndLock("10.2.2.2"), 1);
    EXPECT_EQ(zBeaconInterface_get(), "10.2.2.2");
    EXPECT_EQ(zBeaconInterface_getBackup(), "10.1.1.1");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(zBeaconInterface_get(), "10.1.1.1");
    EXPECT_TRUE(lockIsFree());
    EXPECT_EQ(zBeaconInterface_backupSetAndLock("300.1.1.1"), 0);
    EXPECT_TRUE(lockIsFree());
}
