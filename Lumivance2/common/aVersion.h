// Packed 32-bit version numbers and the library's own version and features.
//   current layout: 0x2F, major, minor, patch (one byte each, high to low);
//   legacy layout:  major (4 bits), minor (4 bits), patch (24 bits).
#pragma once

#include <cstddef>
#include <cstdint>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 2
#define aVERSION_PHASE "."

// Packs a version: current layout above 2.14, legacy layout otherwise.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
// True when the number reads below 2.15 in the legacy layout.
bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
// Legacy: 24 bits; current: 8 bits.
uint32_t aVersion_ParsePatch(uint32_t version);
// Writes "major.minor.patch"; returns the formatted length.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);

// The library's own version, 2.12.2.
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
const char* aVersion_GetString(void);

// True when version 1 is at least version 2 (major, then minor, then patch).
bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2);
// True when the library's own version is at least the one given.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when the library has a feature of that name ("VERSION").
bool aVersion_HasFeature(const char* name);
// A new text listing every feature as "name - description", lines joined by "\n";
// free it with aVersion_DestroyFeatureList. nullptr when memory is exhausted.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);
