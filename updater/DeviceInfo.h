#pragma once
// One module found by discovery, with what could be read from it.

#include "link/discover.h"

#include <cstdint>
#include <string>

struct DeviceInfo {
  linkSpec spec{};      // how the module is reached
  uint16_t address = 0; // I2C address where network discovery found it; 0 for direct discovery
  uint32_t build = 0;   // firmware build number; 0 when not read
  uint8_t version_major = 0;
  uint8_t version_minor = 0;
  uint32_t version_patch = 0;
  std::string model_name; // display name of the model number
  std::string name;       // the module's name; empty when not read
  int error = 0;          // aErrNone, or the error of the read step that failed
};
