// UpdaterStore: directory layout, device lookup, local builds, file writes
// and the store factory's error reporting.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "firmware/BirdWriter.h"
#include "store/UpdaterStore.h"

namespace fs = std::filesystem;

namespace {

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/updaterstore-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Names(const std::string& directory) {
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { infos.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }
    std::vector<std::string> infos, errors;
};

TEST(UpdaterStore, FreshRootAndNewDevice) {
    TempDir dir;
    std::string root = dir.path + "/home/.morvanex/updater";  // missing levels are created
    UpdaterStore store(root);
    EXPECT_EQ(store.BasePath(), root);
    ASSERT_TRUE(fs::is_directory(root));
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(fs::status(root).permissions() & fs::perms::all, fs::perms(0755 & ~mask));

    UpdaterStoreItem missing;
    EXPECT_FALSE(store.FindDevice(0x40F5849A, &missing));
    EXPECT_FALSE(missing.IsValid());
    EXPECT_EQ(missing.type, STORE_ITEM_NONE);

    UpdaterStoreItem item = store.AddDevice(0x40F5849A);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(item.basePath, root);
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    std::string settings = ReadText(root + "/40F5849A/.settings");
    EXPECT_EQ(settings.find("CREATED_TIME="), 0u);
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos);
    EXPECT_EQ(item.settings.Path(), root + "/40F5849A/.settings");

    // Recording a download and finding the device again.
    item.settings.Add("LATEST_DOWNLOAD", "99528558.bird");
    item.settings.Add("LAST_DOWNLOAD_DATE", KeyValueStore::TimeStamp());
    ASSERT_TRUE(item.settings.Save());
    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0x40F5849A, &found));
    EXPECT_EQ(found.basePath, root);
    EXPECT_EQ(found.name, "40F5849A");
    EXPECT_EQ(found.type, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(found.settings.GetInt("LATEST_DOWNLOAD", 0), 99528558);
    EXPECT_TRUE(store.FindDevice(0x40F5849A, nullptr));

    // Adding it again keeps its settings; small serial numbers keep 8 digits.
    EXPECT_EQ(store.AddDevice(0x40F5849A).settings.GetString("LATEST_DOWNLOAD"), "99528558.bird");
    EXPECT_EQ(store.AddDevice(0x00F5849A).name, "00F5849A");
    EXPECT_TRUE(fs::is_directory(root + "/00F5849A"));
}

TEST(UpdaterStore, FindDeviceComparesNamesNotPaths) {
    TempDir dir;
    // The root path itself holds the serial text; another device and a file
    // whose name contains it must not match.
    std::string root = dir.path + "/40F5849A/updater";
    UpdaterStore store(root);
    store.AddDevice(0x11111111);
    std::ofstream(root + "/40F5849A.txt") << "x";
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x40F5849A, &item));
    EXPECT_FALSE(item.IsValid());
    store.AddDevice(0x40F5849A);
    ASSERT_TRUE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ(item.name, "40F5849A");
}

TEST(UpdaterStore, LocalBuildsSkipDotEntries) {
    TempDir dir;
    UpdaterStore store(dir.path);
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    std::string deviceDir = device.FullPath();
    std::ofstream(deviceDir + "/100.bird") << "bird";
    std::ofstream(deviceDir + "/notes.txt") << "n";
    std::ofstream(deviceDir + "/.hidden") << "h";

    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    ASSERT_EQ(items.size(), 2u);
    std::vector<std::string> names;
    for (const UpdaterStoreItem& item : items) {
        names.push_back(item.name);
        EXPECT_EQ(item.basePath, deviceDir);
        EXPECT_EQ(item.type, STORE_ITEM_FILE);
        EXPECT_FALSE(item.settings.GetString("CREATED_TIME").empty());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"100.bird", "notes.txt"}));
    // Nothing was written for the file entries.
    EXPECT_EQ(Names(deviceDir),
              (std::vector<std::string>{".hidden", ".settings", "100.bird", "notes.txt"}));

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x12345678, none));
    EXPECT_TRUE(none.empty());
}

TEST(UpdaterStore, WriteFileReplacesAtomically) {
    TempDir dir;
    UpdaterStore store(dir.path);
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    const std::string path = device.FullPath() + "/1234.bird";

    std::vector<uint8_t> first(100, 0xAA), second(3000, 0xBB);
    EXPECT_EQ(device.WriteFile("1234.bird", first.data(), first.size()), aErrNone);
    EXPECT_EQ(ReadText(path), std::string(100, '\xAA'));
    EXPECT_EQ(device.WriteFile("1234.bird", second.data(), 10), aErrNone);
    EXPECT_EQ(ReadText(path), std::string(10, '\xBB'));

    EXPECT_EQ(device.WriteFile("x.bird", nullptr, 5), aErrNotFound);
    EXPECT_EQ(device.WriteFile("../escape.bird", first.data(), 1), aErrParam);
    EXPECT_EQ(device.WriteFile("", first.data(), 1), aErrParam);
    EXPECT_FALSE(fs::exists(dir.path + "/escape.bird"));

    // A full disk: the write fails and the earlier file stays whole.
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = 1024;
    setrlimit(RLIMIT_FSIZE, &limit);
    aErr err = device.WriteFile("1234.bird", second.data(), second.size());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(err, aErrIO);
    EXPECT_EQ(ReadText(path), std::string(10, '\xBB'));
    EXPECT_EQ(Names(device.FullPath()), (std::vector<std::string>{".settings", "1234.bird"}));

    UpdaterStoreItem gone(dir.path, "nodir", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("1.bird", first.data(), first.size()), aErrNotFound);
}

TEST(UpdaterStore, ReadBirdFile) {
    TempDir dir;
    UpdaterStore store(dir.path);
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    BirdWriter writer;
    writer.AddInfo(1233, "2.12.2", 0x40F5849A, "Hub");
    std::vector<uint8_t> good = writer.Build();
    ASSERT_EQ(device.WriteFile("1233.bird", good.data(), good.size()), aErrNone);
    BirdFile file = device.ReadBirdFile("1233.bird");
    EXPECT_EQ(file.GetBuild(), 1233u);
    EXPECT_EQ(file.GetVersion(), "2.12.2");

    std::vector<uint8_t> badHeader = good;
    badHeader[4] = 0;
    std::vector<uint8_t> badBody = good;
    badBody.resize(good.size() - 5);
    device.WriteFile("1.bird", badHeader.data(), badHeader.size());
    device.WriteFile("2.bird", badBody.data(), badBody.size());
    for (const char* name : {"1.bird", "2.bird", "3.bird"}) {
        try {
            device.ReadBirdFile(name);
            ADD_FAILURE() << name << " loaded";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid bird " + device.FullPath() + "/" + name);
        }
    }
}

TEST(UpdaterStore, RootThatCannotBeADirectory) {
    TempDir dir;
    std::string file = dir.path + "/updater";
    std::ofstream(file) << "not a directory";
    try {
        UpdaterStore store(file);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "UpdaterStore: " + file + " exists and is a file");
    }
    try {
        UpdaterStore store(file + "/below");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).find("UpdaterStore: Could not create directory " + file +
                                             "/below error "),
                  0u)
            << e.what();
    }
    EXPECT_EQ(ReadText(file), "not a directory");

    // A device name taken by a file.
    UpdaterStore store(dir.path);
    std::ofstream(dir.path + "/40F5849A") << "x";
    EXPECT_THROW(store.AddDevice(0x40F5849A), std::runtime_error);
}

TEST(UpdaterStore, FactoryReportsFailureWithOperationName) {
    TempDir dir;
    RecordingDisplay display;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, dir.path + "/ok", "load_bird");
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(display.errors.empty());

    std::string file = dir.path + "/file";
    std::ofstream(file) << "x";
    store = _createUpdaterStore(display, file, "Download_Firmware");
    EXPECT_EQ(store, nullptr);
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0],
              "Failed to Create UpdaterStore in: Download_Firmware - Exception: "
              "UpdaterStore: " +
                  file + " exists and is a file");
}

TEST(BuildPath, JoinsWithoutChangingSeparators) {
    EXPECT_EQ(BuildPath("a", "b", "c", nullptr), "a/b/c");
    EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
    EXPECT_EQ(BuildPath("a", nullptr), "a");
    EXPECT_EQ(BuildPath({"root", "40F5849A", ".settings"}), "root/40F5849A/.settings");
}

}  // namespace

namespace {

TEST(UpdaterStore, ReadOnlyRootLosesNothing) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    TempDir dir;
    UpdaterStore store(dir.path);
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    device.settings.Add("LATEST_DOWNLOAD", "1.bird");
    ASSERT_TRUE(device.settings.Save());
    const std::string before = ReadText(device.settings.Path());
    fs::permissions(dir.path, fs::perms(0555));
    fs::permissions(device.FullPath(), fs::perms(0555));

    EXPECT_THROW(store.AddDevice(0x11111111), std::runtime_error);
    device.settings.Add("LATEST_DOWNLOAD", "2.bird");
    EXPECT_FALSE(device.settings.Save());
    uint8_t byte = 1;
    EXPECT_EQ(device.WriteFile("2.bird", &byte, 1), aErrNotFound);

    fs::permissions(device.FullPath(), fs::perms(0755));
    fs::permissions(dir.path, fs::perms(0755));
    EXPECT_EQ(ReadText(device.settings.Path()), before);
    EXPECT_TRUE(store.FindDevice(0x40F5849A, nullptr));
}

}  // namespace
