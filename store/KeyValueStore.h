// A settings file: an ordered map from key text to value text, stored as
// lines "key=value\n" in key order. Values are always text; the typed
// readers and writers convert at the edges. Saving replaces the file
// atomically, so a failed save leaves the previous file as it was.
#pragma once

#include <map>
#include <string>

#include "Lumivance2/common/aError.h"

class KeyValueStore {
  public:
    static const char* const DEFAULT_FILENAME;  // ".settings"
    static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"

    // Empty store; loads `path` when one is given (see Load).
    KeyValueStore() = default;
    explicit KeyValueStore(const std::string& path);
    KeyValueStore(const KeyValueStore&) = default;
    KeyValueStore& operator=(const KeyValueStore&) = default;
    ~KeyValueStore();  // never saves

    // Reads `path` into the map (existing entries stay unless the file sets
    // them). A missing file is created holding CREATED_TIME and UPDATED_TIME;
    // the result is then aErrParam. aErrNone after a normal load.
    aErr Load(const std::string& path);
    // Writes every entry to `path` (or the stored path, or ".settings"),
    // refreshing UPDATED_TIME first when something changed. False (logged)
    // when the file cannot be written; the earlier file is then unchanged
    // and the store stays dirty.
    bool Save(const std::string& path = std::string());
    // Empties the map and marks the store changed.
    void Clear();

    // The value of `key`, or nullptr; never inserts. The pointer is valid
    // until the entry changes.
    const char* operator[](const std::string& key) const;

    // Typed readers: `def` when the key is absent or its value empty. These
    // four add an absent key with an empty value (without marking a change).
    int GetInt(const std::string& key, int def = 0);
    uint32_t GetHex(const std::string& key, uint32_t def = 0);
    bool GetBOOL(const std::string& key, bool def = false);
    double GetDouble(const std::string& key, double def = 0.0);
    // The stored text (even when empty), else `def`; never inserts.
    std::string GetString(const std::string& key, const std::string& def = std::string()) const;

    // Typed writers; each returns true and marks a change when the text differs.
    bool Add(const std::string& key, int value);          // "%d"
    bool Add(const std::string& key, double value);       // "%f"
    bool AddHex(const std::string& key, unsigned value);  // "0x%08X"
    bool Add(const std::string& key, const char* value);  // unchanged
    bool Add(const std::string& key, const std::string& value);
    // Copies every entry of `other`, replacing equal keys; marks a change for each.
    bool Add(const KeyValueStore& other);

    const std::string& Path() const { return path; }
    bool Dirty() const { return dirty; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

    // The current local time as "Wed Jun 30 21:49:08 1993" (no newline).
    static std::string TimeStamp();

  private:
    std::string& Slot(const std::string& key);  // inserts an empty value when absent

    std::string path;
    std::map<std::string, std::string> entries;
    bool dirty = false;
};
