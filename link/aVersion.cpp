#include "link/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const uint8_t sLibraryMajor = 2;
const uint8_t sLibraryMinor = 12;
const uint8_t sLibraryPatch = 2;
// Separator between minor and patch; marks the release phase.
const char* const sReleaseSeparator = ".";

// The first version that needs the current layout.
const uint8_t sCurrentMajor = 2;
const uint8_t sCurrentMinor = 15;
const uint32_t sCurrentTag = 0x2F000000u;

struct sFeatureRow {
  const char* name;
  const char* description;
};

const sFeatureRow sFeatures[] = {
    {"VERSION", "Version Query API"},
};

} // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > sCurrentMajor || (major == sCurrentMajor && minor >= sCurrentMinor))
    return sCurrentTag | static_cast<uint32_t>(major) << 16 | static_cast<uint32_t>(minor) << 8 |
           patch;
  return static_cast<uint32_t>(major) << 28 | static_cast<uint32_t>(minor & 0xF) << 24 | patch;
}

bool aVersion_IsLegacyFormat(uint32_t value) {
  uint32_t major = value >> 28;
  uint32_t minor = (value >> 24) & 0xF;
  return major < sCurrentMajor || (major == sCurrentMajor && minor < sCurrentMinor);
}

uint8_t aVersion_ParseMajor(uint32_t value) {
  if (aVersion_IsLegacyFormat(value)) return static_cast<uint8_t>(value >> 28);
  return static_cast<uint8_t>(value >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t value) {
  if (aVersion_IsLegacyFormat(value)) return static_cast<uint8_t>((value >> 24) & 0xF);
  return static_cast<uint8_t>(value >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t value) {
  if (aVersion_IsLegacyFormat(value)) return value & 0x00FFFFFFu;
  return value & 0xFFu;
}

int aVersion_ParseString(uint32_t value, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0)
    return snprintf(nullptr, 0, "%u.%u.%u", aVersion_ParseMajor(value), aVersion_ParseMinor(value),
                    aVersion_ParsePatch(value));
  return snprintf(buffer, size, "%u.%u.%u", aVersion_ParseMajor(value), aVersion_ParseMinor(value),
                  aVersion_ParsePatch(value));
}

bool aVersion_IsAtLeastCompare(uint8_t majorA, uint8_t minorA, uint8_t patchA, uint8_t majorB,
                               uint8_t minorB, uint8_t patchB) {
  if (majorA != majorB) return majorA > majorB;
  if (minorA != minorB) return minorA > minorB;
  return patchA >= patchB;
}

uint8_t aVersion_GetMajor(void) {
  return sLibraryMajor;
}
uint8_t aVersion_GetMinor(void) {
  return sLibraryMinor;
}
uint8_t aVersion_GetPatch(void) {
  return sLibraryPatch;
}

const char* aVersion_GetString(void) {
  // Built once; the initialisation of a function-local static is thread-safe, and the text
  // never changes afterwards.
  struct sText {
    char text[15];
    sText() {
      snprintf(text, sizeof(text), "%d.%d%s%d", sLibraryMajor, sLibraryMinor, sReleaseSeparator,
               sLibraryPatch);
    }
  };
  static const sText version;
  return version.text;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(sLibraryMajor, sLibraryMinor, sLibraryPatch, major, minor,
                                   patch);
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr) return false;
  for (const sFeatureRow& row : sFeatures) {
    if (strcmp(row.name, name) == 0) return true;
  }
  return false;
}

char* aVersion_GetFeatureList(void) {
  static const char sJoin[] = " - ";
  size_t length = 0;
  for (const sFeatureRow& row : sFeatures)
    length += strlen(row.name) + strlen(sJoin) + strlen(row.description) + 1;
  char* list = static_cast<char*>(calloc(length + 1, 1));
  if (list == nullptr) return nullptr;
  size_t used = 0;
  bool first = true;
  for (const sFeatureRow& row : sFeatures) {
    used += snprintf(list + used, length + 1 - used, "%s%s%s%s", first ? "" : "\n", row.name, sJoin,
                     row.description);
    first = false;
  }
  return list;
}

aErr aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return aErrParam;
  free(*list);
  *list = nullptr;
  return aErrNone;
}
