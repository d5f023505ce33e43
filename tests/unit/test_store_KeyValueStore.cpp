// KeyValueStore: file format, typed access, change tracking and safe saving.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "store/KeyValueStore.h"

namespace {

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/kvstore-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string File(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Limits the size of files this process may write, like a full disk.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        oldHandler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, oldHandler);
    }

  private:
    struct rlimit saved;
    void (*oldHandler)(int);
};

// "Www Mmm dd hh:mm:ss yyyy" with English names and a space-padded day.
bool IsTimeStamp(const std::string& t) {
    const std::string days = "SunMonTueWedThuFriSat";
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (t.size() != 24) return false;
    size_t day = days.find(t.substr(0, 3)), month = months.find(t.substr(4, 3));
    if (day == std::string::npos || day % 3 != 0 || month == std::string::npos || month % 3 != 0)
        return false;
    const std::string shape = "www mmm _d dd:dd:dd dddd";
    for (size_t i = 0; i < shape.size(); ++i) {
        char c = t[i];
        bool digit = c >= '0' && c <= '9';
        if (shape[i] == 'd' && !digit) return false;
        if (shape[i] == '_' && !digit && c != ' ') return false;
        if ((shape[i] == ' ' || shape[i] == ':') && c != shape[i]) return false;
    }
    return t[8] != '0';
}

TEST(KeyValueStore, MissingFileIsCreatedWithTwoTimeStamps) {
    TempDir dir;
    std::string path = dir.File(".settings");
    KeyValueStore store;
    EXPECT_EQ(store.Load(path), aErrParam);
    EXPECT_FALSE(store.Dirty());
    EXPECT_EQ(store.Path(), path);
    std::string created = store.GetString("CREATED_TIME");
    ASSERT_EQ(created.size(), 24u) << created;  // "Wed Jun 30 21:49:08 1993"
    EXPECT_TRUE(IsTimeStamp(created)) << created;
    EXPECT_EQ(ReadText(path), "CREATED_TIME=" + created + "\nUPDATED_TIME=" + created + "\n");

    KeyValueStore again(path);
    EXPECT_EQ(again.GetString("CREATED_TIME"), created);
    EXPECT_EQ(again.Entries().size(), 2u);
}

TEST(KeyValueStore, LineParsing) {
    TempDir dir;
    std::string path = dir.File("s");
    WriteText(path,
              "  BUILD = 1234  \n"
              "URL=a=b\n"
              "#X=1\n"
              "  #Y=2\n"
              "E=\n"
              "\tTAB\t=\tv\t\n"
              "NOEQUALS\n"
              "=nokey\n"
              "\n"
              "K=first\n"
              "K=second\n"
              "A=");
    KeyValueStore store;
    EXPECT_EQ(store.Load(path), aErrNone);
    const std::map<std::string, std::string> want = {
        {"BUILD", "1234"}, {"URL", "a=b"}, {"#Y", "2"}, {"E", ""}, {"TAB", "v"}, {"K", "second"}};
    EXPECT_EQ(store.Entries(), want);
    EXPECT_FALSE(store.Dirty());
}

TEST(KeyValueStore, LoadKeepsEarlierEntriesAndSkipsOverlongLines) {
    TempDir dir;
    std::string path = dir.File("s");
    WriteText(path, "A=1\nLONG=" + std::string(3000, 'x') + "\nB=2\n");
    KeyValueStore store;
    store.Add("A", "0");
    store.Add("KEEP", "yes");
    EXPECT_EQ(store.Load(path), aErrNone);
    const std::map<std::string, std::string> want = {{"A", "1"}, {"B", "2"}, {"KEEP", "yes"}};
    EXPECT_EQ(store.Entries(), want);
}

TEST(KeyValueStore, TypedReaders) {
    KeyValueStore store;
    store.Add("one", "1");
    store.Add("zero", "0");
    store.Add("true", "true");
    store.Add("yes", "yes");
    store.Add("hex", "0x1F");
    store.Add("hex2", "1f");
    store.Add("neg", "  -42xyz");
    store.Add("dbl", "2.5e1");
    store.Add("empty", "");
    store.Add("build", "99528558.bird");
    store.Add("path", "/tmp/x.bird");
    EXPECT_TRUE(store.GetBOOL("one"));
    EXPECT_FALSE(store.GetBOOL("zero", true));
    EXPECT_FALSE(store.GetBOOL("true", true));
    EXPECT_FALSE(store.GetBOOL("yes", true));
    EXPECT_EQ(store.GetHex("hex"), 31u);
    EXPECT_EQ(store.GetHex("hex2"), 31u);
    EXPECT_EQ(store.GetInt("neg"), -42);
    EXPECT_DOUBLE_EQ(store.GetDouble("dbl"), 25.0);
    EXPECT_EQ(store.GetInt("empty", 7), 7);
    EXPECT_EQ(store.GetString("empty", "d"), "");
    EXPECT_EQ(store.GetInt("build", 0), 99528558);
    EXPECT_EQ(store.GetInt("path", 5), 0);
}

TEST(KeyValueStore, ReadersOfMissingKeys) {
    TempDir dir;
    KeyValueStore store;
    EXPECT_EQ(store.GetInt("I", 3), 3);
    EXPECT_EQ(store.GetHex("H", 0xAB), 0xABu);
    EXPECT_EQ(store.GetString("S", "def"), "def");
    EXPECT_EQ(store.GetString("S"), "");
    EXPECT_EQ(store["S"], nullptr);
    EXPECT_EQ(store["I"], std::string(""));
    EXPECT_FALSE(store.Dirty());
    ASSERT_TRUE(store.Save(dir.File("s")));
    EXPECT_EQ(ReadText(dir.File("s")), "H=\nI=\n");
}

TEST(KeyValueStore, WritersAndChangeTracking) {
    TempDir dir;
    KeyValueStore store;
    EXPECT_TRUE(store.Add("E", ""));
    EXPECT_FALSE(store.Dirty());  // empty text into a new key is no change
    store.Add("B", 5);
    EXPECT_TRUE(store.Dirty());
    store.Add("A", 1.5);
    store.AddHex("C", 0x40F5849A);
    store.Add("D", std::string("text"));
    EXPECT_EQ(store.GetString("B"), "5");
    EXPECT_EQ(store.GetString("A"), "1.500000");
    EXPECT_EQ(store.GetString("C"), "0x40F5849A");

    std::string path = dir.File("s");
    ASSERT_TRUE(store.Save(path));
    EXPECT_FALSE(store.Dirty());
    std::string saved = ReadText(path);
    std::string stamp = store.GetString("UPDATED_TIME");
    EXPECT_EQ(saved, "A=1.500000\nB=5\nC=0x40F5849A\nD=text\nE=\nUPDATED_TIME=" + stamp + "\n");

    // The same text again is no change: the file is rewritten but the time
    // stamp is not refreshed.
    WriteText(path, "B=5\nUPDATED_TIME=sentinel\n");
    KeyValueStore reread(path);
    reread.Add("B", "5");
    EXPECT_FALSE(reread.Dirty());
    ASSERT_TRUE(reread.Save());
    EXPECT_EQ(ReadText(path), "B=5\nUPDATED_TIME=sentinel\n");
    reread.Add("B", 6);
    ASSERT_TRUE(reread.Save());
    EXPECT_EQ(ReadText(path).find("UPDATED_TIME=sentinel"), std::string::npos);

    KeyValueStore other;
    other.Add("B", "6");
    other.Add("Z", "");
    store.Add(other);
    EXPECT_TRUE(store.Dirty());
    EXPECT_EQ(store.GetString("B"), "6");
    EXPECT_EQ(store["Z"], std::string(""));

    store.Clear();
    EXPECT_TRUE(store.Entries().empty());
    EXPECT_TRUE(store.Dirty());
}

TEST(KeyValueStore, FailedSaveLeavesTheOldFileAndStaysDirty) {
    TempDir dir;
    std::string path = dir.File(".settings");
    KeyValueStore store;
    store.Add("OLD", "value");
    ASSERT_TRUE(store.Save(path));
    const std::string before = ReadText(path);

    store.Add("BIG", std::string(4000, 'x'));
    {
        FileSizeLimit full(1024);
        EXPECT_FALSE(store.Save());
    }
    EXPECT_TRUE(store.Dirty());
    EXPECT_EQ(ReadText(path), before);
    int files = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir.path)) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);  // no temporary file left behind

    EXPECT_FALSE(store.Save(dir.File("missing/dir/.settings")));
    EXPECT_TRUE(store.Dirty());
    EXPECT_TRUE(store.Save(path));
    EXPECT_NE(ReadText(path).find("BIG=xxxx"), std::string::npos);
}

TEST(KeyValueStore, SaveWithoutPathUsesDefaultName) {
    TempDir dir;
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    KeyValueStore store;
    store.Add("K", "v");
    bool saved = store.Save();
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(saved);
    EXPECT_EQ(store.Path(), ".settings");
    EXPECT_EQ(ReadText(dir.File(".settings")).find("K=v\n"), 0u);
}

}  // namespace
