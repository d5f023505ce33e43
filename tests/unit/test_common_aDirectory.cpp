#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Lumivance2/common/aDirectory.h"
#include "unprivileged.h"

namespace {

std::string tempRoot() {
    const char* t = std::getenv("TMPDIR");
    return t ? t : "/tmp";
}

class DirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = tempRoot() + "/core1_dir_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (aDirectory_Exists(dir_.c_str())) aDirectory_DeleteTree(dir_.c_str());
    }
    std::string path(const std::string& rel) const { return dir_ + "/" + rel; }
    static void touch(const std::string& p, const std::string& content = "") {
        FILE* f = std::fopen(p.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(content.c_str(), f);
        std::fclose(f);
    }
    static mode_t modeOf(const std::string& p) {
        struct stat st {};
        stat(p.c_str(), &st);
        return st.st_mode & 07777;
    }
    std::string dir_;
};

}  // namespace

TEST(aDirectoryBuildPath, JoinsComponents) {
    struct Case {
        const char* first;
        const char* second;
        const char* third;
        size_t size;
        aErr result;
        const char* text;  // checked on success
    } cases[] = {
        {"a", "b", nullptr, 64, aErrNone, "a/b"},
        {"a/", "b", nullptr, 64, aErrNone, "a/b"},
        {"a", "/b", nullptr, 64, aErrNone, "a/b"},
        {"a/", "/b", nullptr, 64, aErrNone, "a//b"},
        {"a", "b", "c", 64, aErrNone, "a/b/c"},
        {"/", "tmp", nullptr, 64, aErrNone, "/tmp"},
        {"a", nullptr, nullptr, 64, aErrNone, "a"},
        {"", "b", nullptr, 64, aErrNone, "b"},  // nothing joined with b stays relative
        {"abcdefgh", "vwxyz", nullptr, 16, aErrNone, "abcdefgh/vwxyz"},
        {"abcdefgh", "uvwxyz", nullptr, 16, aErrOverrun, nullptr},
        {"abcdefghijklmno", nullptr, nullptr, 16, aErrOverrun, nullptr},  // 15 characters
        {"abcdefghijklmn", nullptr, nullptr, 16, aErrNone, "abcdefghijklmn"},
        {"abcdefghijklm", "", nullptr, 16, aErrNone, "abcdefghijklm/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << " + " << (c.second ? c.second : "-"));
        char buf[80];
        std::memset(buf, 'Z', sizeof buf);
        const aErr err = aDirectory_BuildPath(buf, c.size, c.first, c.second, c.third,
                                              static_cast<const char*>(nullptr));
        EXPECT_EQ(err, c.result);
        if (c.text) {
            EXPECT_STREQ(buf, c.text);
        }
        EXPECT_EQ(buf[c.size], 'Z') << "wrote past the given size";
    }
}

TEST(aDirectoryBuildPath, RefusesTooManyComponentsAndAliasedBuffers) {
    char buf[256] = "previous";
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                   "10", "11", static_cast<const char*>(nullptr)),
              aErrParam);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                   "10", static_cast<const char*>(nullptr)),
              aErrNone);
    EXPECT_STREQ(buf, "1/2/3/4/5/6/7/8/9/10");

    std::strcpy(buf, "abc");
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "x", buf, static_cast<const char*>(nullptr)),
              aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, buf + 1, static_cast<const char*>(nullptr)),
              aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 16, "a", static_cast<const char*>(nullptr)), aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, "x", "y"), aErrNone);
    EXPECT_STREQ(buf, "x/y");
}

TEST_F(DirectoryTest, EnsureCreatesEveryMissingLevel) {
    const std::string deep = path("x/y/z");
    EXPECT_FALSE(aDirectory_Exists(path("x").c_str()));
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    for (const char* rel : {"x", "x/y", "x/y/z"}) {
        EXPECT_TRUE(aDirectory_Exists(path(rel).c_str())) << rel;
        EXPECT_EQ(modeOf(path(rel)) & 0700, 0700u) << rel;
    }
    // Again: nothing to do, still success. Doubled and trailing slashes are fine.
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    EXPECT_EQ(aDirectory_Ensure(path("x//q/r/").c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(path("x/q/r").c_str()));
}

TEST_F(DirectoryTest, EnsureWorksOnRelativePaths) {
    char cwd[4096];
    ASSERT_EQ(aDirectory_CWD(cwd, sizeof cwd), aErrNone);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    const aErr err = aDirectory_Ensure("rel/one/two", 0755);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(err, aErrNone);
    EXPECT_TRUE(aDirectory_Exists(path("rel/one/two").c_str()));
}

TEST_F(DirectoryTest, EnsureFailsWhereAFileBlocksThePath) {
    touch(path("file"));
    EXPECT_EQ(aDirectory_Ensure(path("file").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(path("file/sub").c_str(), 0755), aErrPermission);
}

TEST_F(DirectoryTest, EnsureInAReadOnlyDirectoryIsAPermissionError) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);  // reachable for the unprivileged user
    ASSERT_EQ(mkdir(path("ro").c_str(), 0555), 0);
    const std::string target = path("ro/a/b");
    EXPECT_TRUE(asUnprivileged([&] {
        return aDirectory_Ensure(target.c_str(), 0755) == aErrPermission &&
               !aDirectory_Exists(path("ro/a").c_str());
    }));
    chmod(path("ro").c_str(), 0755);
}

TEST_F(DirectoryTest, ListGivesEveryEntryWithSizeAndKind) {
    touch(path("five"), "12345");
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    std::map<std::string, std::pair<uint32_t, bool>> seen;
    auto collect = [](const aDirectoryListData* d, void* ref) {
        auto* m = static_cast<std::map<std::string, std::pair<uint32_t, bool>>*>(ref);
        const std::string p = d->path;
        (*m)[p.substr(p.rfind('/') + 1)] = {d->size, d->isDirectory};
        return true;
    };
    EXPECT_EQ(aDirectory_List(dir_.c_str(), collect, &seen), aErrNone);
    ASSERT_EQ(seen.size(), 4u);  // ".", "..", "five", "sub"
    EXPECT_TRUE(seen.count("."));
    EXPECT_TRUE(seen.count(".."));
    EXPECT_EQ(seen["five"], std::make_pair(5u, false));
    EXPECT_TRUE(seen["sub"].second);

    int calls = 0;
    auto stopAtOnce = [](const aDirectoryListData*, void* ref) {
        ++*static_cast<int*>(ref);
        return false;
    };
    EXPECT_EQ(aDirectory_List(dir_.c_str(), stopAtOnce, &calls), aErrNone);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(aDirectory_List(path("missing").c_str(), stopAtOnce, &calls), aErrNotFound);
}

TEST_F(DirectoryTest, DeleteAndDeleteTree) {
    ASSERT_EQ(aDirectory_Ensure(path("t/a/b").c_str(), 0755), aErrNone);
    touch(path("t/a/b/f1"));
    touch(path("t/f2"));
    // A link to a directory outside the tree is removed, not followed.
    ASSERT_EQ(mkdir(path("outside").c_str(), 0755), 0);
    touch(path("outside/keep"));
    ASSERT_EQ(symlink(path("outside").c_str(), path("t/link").c_str()), 0);

    EXPECT_EQ(aDirectory_Delete(path("t").c_str()), aErrUnknown);  // not empty
    EXPECT_EQ(aDirectory_DeleteTree(path("t").c_str()), aErrNone);
    EXPECT_FALSE(aDirectory_Exists(path("t").c_str()));
    EXPECT_TRUE(aDirectory_Exists(path("outside").c_str()));
    struct stat st;
    EXPECT_EQ(stat(path("outside/keep").c_str(), &st), 0);
    EXPECT_EQ(aDirectory_DeleteTree(path("t").c_str()), aErrNotFound);
    EXPECT_EQ(aDirectory_Delete(path("outside/keep").c_str()), aErrUnknown);  // a file
}

TEST(aDirectory, CwdAndExecutablePath) {
    char buf[4096];
    ASSERT_EQ(aDirectory_CWD(buf, sizeof buf), aErrNone);
    EXPECT_EQ(buf[0], '/');
    char tiny[2];
    EXPECT_EQ(aDirectory_CWD(tiny, sizeof tiny), aErrParam);

    ASSERT_EQ(aDirectory_ExecutableFilePath(buf, sizeof buf), aErrNone);
    EXPECT_NE(std::string(buf).find("test_common_aDirectory"), std::string::npos) << buf;
    char cut[5];
    ASSERT_EQ(aDirectory_ExecutableFilePath(cut, sizeof cut), aErrNone);
    EXPECT_EQ(std::strlen(cut), 4u);
    EXPECT_EQ(std::string(buf).substr(0, 4), cut);
}

TEST(aDirectory, HomeComesFromTheUserDatabaseBeforeHome) {
    const char* saved = std::getenv("HOME");
    const std::string savedHome = saved ? saved : "";
    setenv("HOME", "/nonexistent-home-from-env", 1);
    char buf[2048];
    EXPECT_EQ(aDirectory_GetHomeDirectory(buf, sizeof buf), aErrNone);
    struct passwd* pw = getpwuid(getuid());
    if (pw && pw->pw_dir && pw->pw_dir[0]) {
        EXPECT_STREQ(buf, pw->pw_dir);
        char small[3];
        EXPECT_EQ(aDirectory_GetHomeDirectory(small, sizeof small), aErrNone);
        EXPECT_EQ(std::string(pw->pw_dir).substr(0, 2), small);
    } else {
        EXPECT_STREQ(buf, "/nonexistent-home-from-env");
    }
    if (saved)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
}

TEST_F(DirectoryTest, ConcurrentEnsureOfTheSamePathSucceedsEverywhere) {
    // Each thread finds levels missing that another creates meanwhile.
    for (int round = 0; round < 10; ++round) {
        const std::string deep = path("race" + std::to_string(round) + "/a/b/c/d/e");
        std::vector<aErr> results(4, aErrUnknown);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < results.size(); ++i)
            threads.emplace_back([&, i] { results[i] = aDirectory_Ensure(deep.c_str(), 0755); });
        for (auto& t : threads) t.join();
        for (aErr r : results) EXPECT_EQ(r, aErrNone) << "round " << round;
        EXPECT_TRUE(aDirectory_Exists(deep.c_str()));
    }
}

TEST(aDirectory, HomeFallsBackToTheEnvironmentWithoutAUserEntry) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to a user without an entry";
    const uid_t stranger = 54321;
    if (getpwuid(stranger)) GTEST_SKIP() << "uid " << stranger << " has an entry here";
    // In a child: switch to a uid that the user database does not know.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setuid(stranger) != 0) _exit(2);
        setenv("HOME", "/home/from-env", 1);
        char buf[64];
        aDirectory_GetHomeDirectory(buf, sizeof buf);
        const bool fromEnv = std::strcmp(buf, "/home/from-env") == 0;
        unsetenv("HOME");
        std::strcpy(buf, "stale");
        aDirectory_GetHomeDirectory(buf, sizeof buf);
        const bool emptyWithoutEither = buf[0] == '\0';
        _exit(fromEnv && emptyWithoutEither ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
