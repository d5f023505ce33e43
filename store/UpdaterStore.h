// The local store: a root directory with one sub-directory per device
// (its serial number as "%08X"), holding the device's downloaded BIRD files
// (NNN.bird) and its settings file (.settings). Every file the store writes
// replaces the old one atomically.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BuildPath.h"
#include "KeyValueStore.h"
#include "Lumivance2/common/aError.h"
#include "firmware/BirdFile.h"

class UpdaterDisplayInterface;

enum store_item_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

// Settings keys the update and download operations record.
#define UPDATER_KEY_LATEST_DOWNLOAD "LATEST_DOWNLOAD"
#define UPDATER_KEY_LAST_DOWNLOAD_DATE "LAST_DOWNLOAD_DATE"
#define UPDATER_KEY_LATEST_TRANSFER "LATEST_TRANSFER"
#define UPDATER_KEY_LAST_TRANSFER_DATE "LAST_TRANSFER_DATE"

// One entry of the store (normally a device directory) and its settings.
class UpdaterStoreItem {
  public:
    // Empty item: no path, type STORE_ITEM_NONE, settings without a path.
    UpdaterStoreItem() = default;
    // Loads settings from basePath/name/.settings (created when missing).
    UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t type);

    bool IsValid() const { return !basePath.empty() && !name.empty(); }
    // basePath/name
    std::string FullPath() const { return BuildPath({basePath, name}); }

    // Writes `length` bytes to basePath/name/fileName, replacing any earlier
    // file atomically. aErrNotFound when `data` is nullptr or the file cannot
    // be created; aErrParam for a name that is not a plain file name; aErrIO
    // when writing fails (the earlier file is then unchanged).
    aErr WriteFile(const std::string& fileName, const uint8_t* data, size_t length);
    // Loads basePath/name/fileName; throws std::runtime_error("Invalid bird "
    // + path) when the header check fails or the file does not load.
    BirdFile ReadBirdFile(const std::string& fileName) const;

    std::string basePath;
    std::string name;
    store_item_t type = STORE_ITEM_NONE;
    KeyValueStore settings;
};

class UpdaterStore {
  public:
    // Makes sure `path` exists as a directory (mode 0755, every missing
    // level). Throws std::runtime_error when it cannot be created or a file
    // is in its place.
    explicit UpdaterStore(const std::string& path);

    const std::string& BasePath() const { return basePath; }

    // Creates root/SSSSSSSS when needed (throws like the constructor) and
    // returns its item with the device's settings loaded.
    UpdaterStoreItem AddDevice(unsigned serial);
    UpdaterStoreItem AddDevice(const char* name);

    // Looks for the entry of the root named `name` (or "%08X" of serial);
    // fills `item` (when given) on success.
    bool FindDevice(unsigned serial, UpdaterStoreItem* item);
    bool FindDevice(const char* name, UpdaterStoreItem* item);

    // Appends every entry of the device's directory whose name does not start
    // with '.', in listing order. Always true.
    bool FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items);

    // "%08X"
    static std::string SerialName(unsigned serial);

  private:
    std::string basePath;
};

// Creates the store on `directory` for one Updater operation; on failure
// shows (error) "Failed to Create UpdaterStore in: <operation> - Exception:
// <text>" and returns nullptr. `operation` is the calling method's name,
// such as "Update_Firmware" or "Download_Firmware".
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& directory,
                                                  const char* operation);
