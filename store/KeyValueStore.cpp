#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "AtomicFile.h"
#include "Lumivance2/common/aFile.h"
#include "app/Log.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

constexpr size_t kLineBuffer = 2048;

std::string Trim(const char* begin, const char* end) {
    while (begin < end && isspace(static_cast<unsigned char>(*begin))) ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(end[-1]))) --end;
    return std::string(begin, end);
}

}  // namespace

KeyValueStore::KeyValueStore(const std::string& filePath) {
    if (!filePath.empty()) Load(filePath);
}

KeyValueStore::~KeyValueStore() {
    entries.clear();
}

std::string KeyValueStore::TimeStamp() {
    // The calendar-time text form, with English names whatever the locale.
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) return std::string();
    char text[64];
    snprintf(text, sizeof(text), "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[local.tm_wday % 7],
             kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
             1900 + local.tm_year);
    return text;
}

aErr KeyValueStore::Load(const std::string& filePath) {
    aFile* file = aFile_Open(filePath.c_str(), aFileModeReadOnly);
    if (file == nullptr) {
        int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 filePath.c_str(), error);
        Add(KEY_CREATED_TIME, TimeStamp());
        // Only a missing file is created: one that exists but cannot be read
        // is left alone rather than replaced by an empty settings file.
        if (!aFile_Exists(filePath.c_str())) Save(filePath);
        path = filePath;
        dirty = false;
        return aErrParam;
    }
    path = filePath;
    dirty = false;

    char line[kLineBuffer];
    while (true) {
        size_t length = 0;
        aErr err = aFile_ReadLine(file, line, sizeof(line), &length);
        if (err == aErrOverrun) {
            // A line longer than the buffer is dropped as a whole; the lines
            // after it still load, so a later save does not lose them.
            Log::log(DEBUG_Attributes, "Attibutes: line too long in '%s', skipped\n",
                     filePath.c_str());
            do {
                err = aFile_ReadLine(file, line, sizeof(line), &length);
            } while (err == aErrOverrun);
            if (err != aErrNone) break;
            continue;
        }
        if (err != aErrNone) break;
        if (length < 3 || line[0] == '#') continue;
        const char* equals = static_cast<const char*>(memchr(line, '=', length));
        if (equals == nullptr) continue;  // not a setting
        std::string key = Trim(line, equals);
        if (key.empty()) continue;
        entries[key] = Trim(equals + 1, line + length);
    }
    return aFile_Close(&file);
}

bool KeyValueStore::Save(const std::string& filePath) {
    if (!filePath.empty()) {
        path = filePath;
    } else if (path.empty()) {
        path = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n", path.c_str());
    }
    if (dirty) Add(KEY_UPDATED_TIME, TimeStamp());

    std::string text;
    for (const auto& entry : entries) {
        text += entry.first;
        text += '=';
        text += entry.second;
        text += '\n';
    }
    int error = 0;
    if (AtomicFile_Write(path, text.data(), text.size(), &error) != aErrNone) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path.c_str(), error);
        return false;
    }
    dirty = false;
    return true;
}

void KeyValueStore::Clear() {
    entries.clear();
    dirty = true;
}

const char* KeyValueStore::operator[](const std::string& key) const {
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : it->second.c_str();
}

std::string& KeyValueStore::Slot(const std::string& key) {
    return entries[key];
}

int KeyValueStore::GetInt(const std::string& key, int def) {
    const std::string& value = Slot(key);
    return value.empty() ? def : atoi(value.c_str());
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t def) {
    const std::string& value = Slot(key);
    return value.empty() ? def : uint32_t(strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool def) {
    const std::string& value = Slot(key);
    return value.empty() ? def : atoi(value.c_str()) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double def) {
    const std::string& value = Slot(key);
    return value.empty() ? def : strtod(value.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const std::string& key, const std::string& def) const {
    auto it = entries.find(key);
    return it == entries.end() ? def : it->second;
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
    auto it = entries.find(key);
    const std::string old = it == entries.end() ? std::string() : it->second;
    if (old != value) dirty = true;
    entries[key] = value;
    return true;
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
    return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const std::string& key, int value) {
    char text[32];
    snprintf(text, sizeof(text), "%d", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const std::string& key, double value) {
    char text[512];
    snprintf(text, sizeof(text), "%f", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const std::string& key, unsigned value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& entry : other.entries) {
        entries[entry.first] = entry.second;
        dirty = true;
    }
    return true;
}
