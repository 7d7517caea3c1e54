#pragma once
// Packed firmware version numbers, and the library's own version and features.
//
// Two 32-bit layouts exist. Legacy: major in bits 31-28, minor in bits 27-24, patch in bits
// 23-0. Current: top byte 0x2F, then major, minor and patch bytes. A value is legacy when its
// top two nibbles, read as (major, minor), compare below (2, 15).

#include "link/aError.h"

#include <cstddef>
#include <cstdint>

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

bool aVersion_IsLegacyFormat(uint32_t value);
uint8_t aVersion_ParseMajor(uint32_t value);
uint8_t aVersion_ParseMinor(uint32_t value);
uint32_t aVersion_ParsePatch(uint32_t value);

// Writes "major.minor.patch" into `buffer` (always terminated when `size` is not zero) and
// returns the length of the full text, as snprintf does.
int aVersion_ParseString(uint32_t value, char* buffer, size_t size);

// True when version a is at least version b.
bool aVersion_IsAtLeastCompare(uint8_t majorA, uint8_t minorA, uint8_t patchA, uint8_t majorB,
                               uint8_t minorB, uint8_t patchB);

// The library's own version.
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
// "2.12.2"; a constant text, safe from any thread.
const char* aVersion_GetString(void);
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// Feature table of the library.
bool aVersion_HasFeature(const char* name);
// A heap text of "name - description" rows joined by newlines; free it with
// aVersion_DestroyFeatureList. Null when memory is short.
char* aVersion_GetFeatureList(void);
aErr aVersion_DestroyFeatureList(char** list);
