#pragma once
// Packets owned by scope in the tests, made from and read back as byte vectors.

#include "link/aPacket.h"

#include <cstdint>
#include <memory>
#include <vector>

struct PacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

inline PacketPtr makePacket(uint8_t address, const std::vector<uint8_t>& data) {
  return PacketPtr(aPacket_CreateWithData(address, data.size(), data.data()));
}

inline std::vector<uint8_t> dataOf(const aPacket* packet) {
  return std::vector<uint8_t>(packet->data, packet->data + packet->dataSize);
}
