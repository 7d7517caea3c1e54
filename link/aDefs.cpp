#include "link/aDefs.h"

namespace {

struct sModelRow {
  int model;
  const char* name;
};

// Display names of the product line's modules, by model number.
const sModelRow sModels[] = {
    {4, "TS-IO4"},      {5, "TS-USBHub2"},    {13, "TS-Power13"},  {14, "TS-Analog8"},
    {15, "TS-Relay8"},  {16, "TS-Digital16"}, {17, "TS-USBHub3"},  {18, "TS-USBHub3c"},
    {19, "TS-USBC"},    {20, "TS-Router"},    {21, "TS-Power40"},  {22, "TS-Temp4"},
    {23, "TS-Serial2"}, {24, "TS-Ethernet"},  {25, "TS-USBHub3p"}, {26, "TS-PD3"},
    {27, "TS-Mux8"},
};

} // namespace

const char* aDefs_GetModelName(int model) {
  for (const sModelRow& row : sModels) {
    if (row.model == model) return row.name;
  }
  return "Unknown";
}
