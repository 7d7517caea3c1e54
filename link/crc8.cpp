#include "link/crc8.h"

#include <array>

namespace {

// Table of the reflected polynomial 0x8C, built at compile time.
constexpr std::array<uint8_t, 256> sMakeTable() {
  std::array<uint8_t, 256> table{};
  for (int value = 0; value < 256; ++value) {
    uint8_t crc = static_cast<uint8_t>(value);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint8_t>((crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1);
    table[value] = crc;
  }
  return table;
}

constexpr std::array<uint8_t, 256> sTable = sMakeTable();

} // namespace

uint8_t crc8_Update(uint8_t crc, const uint8_t* data, size_t length) {
  if (!data) return crc;
  for (size_t i = 0; i < length; ++i)
    crc = sTable[crc ^ data[i]];
  return crc;
}

uint8_t crc8_Compute(const uint8_t* data, size_t length) {
  return crc8_Update(0, data, length);
}
