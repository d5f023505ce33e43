#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Lumivance2/common/aDirectory.h"
#include "Lumivance2/common/aFile.h"
#include "unprivileged.h"

namespace {

class FileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                              "/core1_file_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { aDirectory_DeleteTree(dir_.c_str()); }

    std::string path(const char* name) const { return dir_ + "/" + name; }

    void writeRaw(const std::string& file, const std::string& content) {
        FILE* f = std::fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    std::string readRaw(const std::string& file) {
        std::string out;
        FILE* f = std::fopen(file.c_str(), "rb");
        if (!f) return "<missing>";
        char buf[256];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
        return out;
    }

    std::string dir_;
};

}  // namespace

TEST_F(FileTest, OpenRefusesBadArguments) {
    const std::string existing = path("a");
    writeRaw(existing, "x");
    EXPECT_EQ(aFile_Open(existing.c_str(), 3), nullptr);
    EXPECT_EQ(aFile_Open(existing.c_str(), -1), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(path("missing").c_str(), aFileModeReadOnly), nullptr);
    const std::string longPath = "/" + std::string(4096, 'x');  // 4097 characters
    EXPECT_EQ(aFile_Open(longPath.c_str(), aFileModeWriteOnly), nullptr);
    EXPECT_FALSE(aFile_Exists(longPath.c_str()));
    EXPECT_EQ(aFile_Delete(longPath.c_str()), aErrFileNameLength);
}

TEST_F(FileTest, ExistsIsFalseForDirectoriesAndMissingPaths) {
    writeRaw(path("f"), "");
    EXPECT_TRUE(aFile_Exists(path("f").c_str()));
    EXPECT_FALSE(aFile_Exists(dir_.c_str()));
    EXPECT_FALSE(aFile_Exists(path("nope").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST_F(FileTest, ModesGateReadsAndWrites) {
    const std::string p = path("m");
    aFile* w = aFile_Open(p.c_str(), aFileModeWriteOnly);
    ASSERT_NE(w, nullptr);
    char buf[4];
    size_t count = 99;
    EXPECT_EQ(aFile_Read(w, buf, 4, &count), aErrMode);
    EXPECT_EQ(aFile_ReadLine(w, buf, sizeof buf, &count), aErrMode);
    EXPECT_EQ(aFile_Write(w, "hello", 5, &count), aErrNone);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(aFile_Printf(w, " %d\n", 42), aErrNone);
    EXPECT_EQ(aFile_SetUnbuffered(w), aErrNone);
    EXPECT_EQ(aFile_Close(&w), aErrNone);
    EXPECT_EQ(w, nullptr);
    EXPECT_EQ(readRaw(p), "hello 42\n");

    aFile* r = aFile_Open(p.c_str(), aFileModeReadOnly);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(aFile_Write(r, "x", 1, &count), aErrMode);
    EXPECT_EQ(aFile_Printf(r, "x"), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(r), aErrMode);
    EXPECT_EQ(aFile_Write(r, nullptr, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Read(r, nullptr, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Close(&r), aErrNone);

    // Write mode truncates an existing file.
    w = aFile_Open(p.c_str(), aFileModeWriteOnly);
    ASSERT_NE(w, nullptr);
    aFile_Close(&w);
    EXPECT_EQ(readRaw(p), "");
}

TEST_F(FileTest, InvalidReferencesAreRejected) {
    char buf[4];
    size_t n = 0;
    long pos = 0;
    EXPECT_EQ(aFile_Read(nullptr, buf, 1, &n), aErrParam);
    EXPECT_EQ(aFile_Write(nullptr, buf, 1, &n), aErrParam);
    EXPECT_EQ(aFile_Seek(nullptr, 0, 0), aErrParam);
    EXPECT_EQ(aFile_GetSize(nullptr, &n), aErrParam);
    EXPECT_EQ(aFile_GetPosition(nullptr, &pos), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
    aFile* none = nullptr;
    EXPECT_EQ(aFile_Close(&none), aErrParam);
    // A record that is not a file (wrong check word) is refused, not used.
    uint32_t garbage[8] = {0xDEAD};
    aFile* fake = reinterpret_cast<aFile*>(garbage);
    EXPECT_EQ(aFile_Read(fake, buf, 1, &n), aErrParam);
    EXPECT_EQ(aFile_Close(&fake), aErrParam);
    EXPECT_EQ(fake, nullptr);
}

TEST_F(FileTest, AppendStartsAtTheEndAndAllowsReading) {
    const std::string p = path("ten");
    writeRaw(p, "0123456789");
    aFile* f = aFile_Open(p.c_str(), aFileModeAppend);
    ASSERT_NE(f, nullptr);
    long pos = -1;
    EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
    EXPECT_EQ(pos, 10);
    EXPECT_EQ(aFile_Write(f, "AB", 2, nullptr), aErrNone);
    EXPECT_EQ(aFile_Seek(f, 0, aSeekStart), aErrNone);
    char buf[16] = {};
    size_t count = 0;
    EXPECT_EQ(aFile_Read(f, buf, sizeof buf, &count), aErrNone);
    EXPECT_EQ(std::string(buf, count), "0123456789AB");
    aFile_Close(&f);

    // A missing file is created in append mode.
    f = aFile_Open(path("new").c_str(), aFileModeAppend);
    ASSERT_NE(f, nullptr);
    aFile_Close(&f);
    EXPECT_TRUE(aFile_Exists(path("new").c_str()));
}

TEST_F(FileTest, ReadAtEndAndZeroLengthRead) {
    const std::string p = path("r");
    writeRaw(p, "abc");
    aFile* f = aFile_Open(p.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    char buf[8];
    size_t count = 99;
    EXPECT_EQ(aFile_Read(f, buf, 8, &count), aErrNone);  // a short read is fine
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(aFile_Read(f, buf, 5, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Read(f, buf, 0, &count), aErrNone);
    aFile_Close(&f);
}

TEST_F(FileTest, SeekSizeAndPosition) {
    const std::string p = path("s");
    writeRaw(p, "0123456789");
    aFile* f = aFile_Open(p.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    size_t size = 0;
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);

    struct Case {
        long offset;
        int origin;
        aErr result;
        long position;  // after the call
    } cases[] = {
        {11, aSeekStart, aErrRange, 0},
        {10, aSeekStart, aErrNone, 10},
        {-1, aSeekStart, aErrRange, 10},
        {-4, aSeekCurrent, aErrNone, 6},
        {5, aSeekCurrent, aErrRange, 6},
        {-10, aSeekEnd, aErrNone, 0},
        {1, aSeekEnd, aErrRange, 0},
        {-11, aSeekEnd, aErrRange, 0},
        {3, 7, aErrNone, 3},  // any other origin counts from the start
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " from " << c.origin);
        EXPECT_EQ(aFile_Seek(f, c.offset, c.origin), c.result);
        long pos = -1;
        EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
        EXPECT_EQ(pos, c.position);
    }
    // The size query leaves the position where it was.
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    long pos = -1;
    aFile_GetPosition(f, &pos);
    EXPECT_EQ(pos, 3);
    aFile_Close(&f);
}

TEST_F(FileTest, ReadLineSplitsLinesAndReportsOverrun) {
    const std::string p = path("lines");
    const std::string fits(2046, 'a');     // plus newline: 2047 = buffer - 1
    const std::string tooLong(2047, 'b');  // no newline within reach
    writeRaw(p, "one\n\n" + fits + "\n" + tooLong + "\nlast");
    aFile* f = aFile_Open(p.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    char buf[2048];
    size_t length = 99;

    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrNone);
    EXPECT_STREQ(buf, "one\n");
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrNone);
    EXPECT_STREQ(buf, "\n");
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrNone);
    EXPECT_EQ(length, 2047u);
    EXPECT_EQ(std::string(buf), fits + "\n");
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrOverrun);
    EXPECT_EQ(length, 2047u);
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrNone);  // the rest of it
    EXPECT_STREQ(buf, "\n");
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrNone);
    EXPECT_STREQ(buf, "last");  // a last line without newline
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrEOF);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(buf, "");
    aFile_Close(&f);
}

TEST_F(FileTest, ReadLineFillingTheBufferExactlyAtEndOfFileIsNoOverrun) {
    const std::string p = path("exact");
    writeRaw(p, "abc");
    aFile* f = aFile_Open(p.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    char buf[4];
    size_t length = 0;
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrNone);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &length), aErrEOF);
    aFile_Close(&f);
}

TEST_F(FileTest, DeleteReportsWhyItFailed) {
    const std::string p = path("d");
    writeRaw(p, "x");
    EXPECT_EQ(aFile_Delete(p.c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(p.c_str()));
    EXPECT_EQ(aFile_Delete(p.c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    // A directory is not a file: it stays.
    const std::string sub = path("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    EXPECT_NE(aFile_Delete(sub.c_str()), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(sub.c_str()));
}

TEST_F(FileTest, DeleteInAReadOnlyDirectoryIsAPermissionError) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);  // reachable for the unprivileged user
    const std::string locked = path("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
    const std::string victim = locked + "/f";
    writeRaw(victim, "x");
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    EXPECT_TRUE(asUnprivileged([&] { return aFile_Delete(victim.c_str()) == aErrPermission; }));
    EXPECT_TRUE(aFile_Exists(victim.c_str()));
    chmod(locked.c_str(), 0755);
}
