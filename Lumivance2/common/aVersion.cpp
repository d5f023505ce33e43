#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Feature {
    const char* name;
    const char* description;
};

constexpr Feature FEATS[] = {
    {"VERSION", "Version Query API"},
};
constexpr size_t NUM_FEATS = sizeof FEATS / sizeof FEATS[0];

constexpr uint32_t kCurrentTag = 0x2F;

}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return kCurrentTag << 24 | uint32_t(major) << 16 | uint32_t(minor) << 8 | patch;
    return uint32_t(major & 0x0F) << 28 | uint32_t(minor & 0x0F) << 24 | patch;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
    const uint32_t major = version >> 28;
    const uint32_t minor = (version >> 24) & 0x0F;
    return major < 2 || (major == 2 && minor < 15);
}

uint8_t aVersion_ParseMajor(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? uint8_t(version >> 28) : uint8_t(version >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? uint8_t((version >> 24) & 0x0F)
                                            : uint8_t(version >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? (version & 0x00FFFFFF) : (version & 0xFF);
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
    return std::snprintf(buffer, buffer ? size : 0, "%d.%d.%d", int(aVersion_ParseMajor(version)),
                         int(aVersion_ParseMinor(version)),
                         static_cast<int>(aVersion_ParsePatch(version)));
}

uint8_t aVersion_GetMajor(void) {
    return aVERSION_MAJOR;
}
uint8_t aVersion_GetMinor(void) {
    return aVERSION_MINOR;
}
uint8_t aVersion_GetPatch(void) {
    return aVERSION_PATCH;
}

const char* aVersion_GetString(void) {
    // Made once, thread-safely, on first use.
    static const struct Text {
        char text[15];
        Text() {
            std::snprintf(text, sizeof text, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR,
                          aVERSION_PHASE, aVERSION_PATCH);
        }
    } version;
    return version.text;
}

bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2) {
    if (major1 != major2) return major1 > major2;
    if (minor1 != minor2) return minor1 > minor2;
    return patch1 >= patch2;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

bool aVersion_HasFeature(const char* name) {
    if (!name) return false;
    for (const Feature& feature : FEATS)
        if (std::strcmp(feature.name, name) == 0) return true;
    return false;
}

char* aVersion_GetFeatureList(void) {
    std::string list;
    for (size_t i = 0; i < NUM_FEATS; ++i) {
        if (i) list += '\n';
        list += FEATS[i].name;
        list += " - ";
        list += FEATS[i].description;
    }
    auto* text = static_cast<char*>(std::malloc(list.size() + 1));
    if (text) std::memcpy(text, list.c_str(), list.size() + 1);
    return text;
}

void aVersion_DestroyFeatureList(char** list) {
    if (!list) return;
    std::free(*list);
    *list = nullptr;
}
