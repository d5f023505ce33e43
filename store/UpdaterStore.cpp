#include "UpdaterStore.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "AtomicFile.h"
#include "Lumivance2/common/aDirectory.h"
#include "Lumivance2/common/aFile.h"
#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"

namespace {

constexpr uint32_t kDirectoryMode = 0755;

// The text after the last "/".
std::string OwnName(const std::string& fullPath) {
    size_t slash = fullPath.rfind('/');
    return slash == std::string::npos ? fullPath : fullPath.substr(slash + 1);
}

void _ensure_directory(const std::string& path) {
    if (aDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (aFile_Exists(path.c_str()))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    aErr err = aDirectory_Ensure(path.c_str(), kDirectoryMode);
    if (err == aErrNone && !aDirectory_Exists(path.c_str())) err = aErrPermission;
    if (err != aErrNone)
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(err));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

struct result_t {
    bool found = false;
    std::string pattern;
    UpdaterStoreItem* item = nullptr;
};

bool _find_item(const aDirectoryListData* entry, void* reference) {
    result_t* result = static_cast<result_t*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             int(entry->isDirectory), int(entry->size), result->pattern.c_str());
    std::string fullPath = entry->path;
    std::string name = OwnName(fullPath);
    if (name == "." || name == "..") return true;
    // Compare the entry's own name: a pattern that happens to occur in the
    // root path must not select an unrelated entry.
    if (name != result->pattern) return true;
    result->found = true;
    if (result->item != nullptr) {
        *result->item =
            UpdaterStoreItem(fullPath.substr(0, fullPath.rfind('/')), name,
                             entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

struct items_t {
    std::string directory;
    std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* reference) {
    items_t* walk = static_cast<items_t*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
             int(entry->isDirectory), int(entry->size));
    std::string name = OwnName(entry->path);
    if (name.empty() || name[0] == '.') return true;
    walk->items->emplace_back(walk->directory, name,
                              entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

// A plain file name: no directory part, not "." or "..".
bool PlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& itemName,
                                   store_item_t itemType)
    : basePath(base), name(itemName), type(itemType) {
    settings.Load(BuildPath({basePath, name, KeyValueStore::DEFAULT_FILENAME}));
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* data, size_t length) {
    if (data == nullptr) return aErrNotFound;
    if (!PlainFileName(fileName)) return aErrParam;
    std::string target = BuildPath({basePath, name, fileName});
    int error = 0;
    aErr err = AtomicFile_Write(target, data, length, &error);
    if (err != aErrNone)
        Log::log(DEBUG_Updater, "UpdaterStore: cannot write [%s] (%d)\n", target.c_str(), error);
    return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
    std::string full = BuildPath({basePath, name, fileName});
    if (BirdFile::VerifyFile(full)) {
        try {
            return BirdFile(full);
        } catch (const std::exception&) {
            // reported below with the path
        }
    }
    throw std::runtime_error("Invalid bird " + full);
}

UpdaterStore::UpdaterStore(const std::string& path) : basePath(path) {
    if (basePath.empty()) throw std::runtime_error("UpdaterStore: no store directory given");
    _ensure_directory(basePath);
}

std::string UpdaterStore::SerialName(unsigned serial) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned serial) {
    return AddDevice(SerialName(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
    if (name == nullptr || !PlainFileName(name))
        throw std::runtime_error(std::string("UpdaterStore: invalid device name ") +
                                 (name ? name : "(none)"));
    _ensure_directory(BuildPath({basePath, name}));
    return UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned serial, UpdaterStoreItem* item) {
    return FindDevice(SerialName(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
    result_t result;
    result.pattern = name ? name : "";
    result.item = item;
    if (!result.pattern.empty()) aDirectory_List(basePath.c_str(), _find_item, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", result.pattern.c_str());
    return result.found;
}

bool UpdaterStore::FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items) {
    UpdaterStoreItem device;
    if (FindDevice(serial, &device)) {
        items_t walk{device.FullPath(), &items};
        aDirectory_List(walk.directory.c_str(), _find_items, &walk);
    }
    return true;
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& directory,
                                                  const char* operation) {
    try {
        return std::make_unique<UpdaterStore>(directory);
    } catch (const std::exception& e) {
        display.message(UpdaterDisplayInterface::Error,
                        "Failed to Create UpdaterStore in: %s - Exception: %s",
                        operation ? operation : "", e.what());
        return nullptr;
    }
}
