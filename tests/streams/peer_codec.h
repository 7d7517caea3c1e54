#pragma once
// The test peers' own frame codec, kept apart from the library's: a bit-by-bit CRC-8
// (reflected polynomial 0x8C, initial value 0) and a plain COBS encoder and decoder.

#include <cstdint>
#include <vector>

namespace peer {

inline uint8_t crc8(const std::vector<uint8_t>& bytes) {
  uint8_t crc = 0;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1;
  }
  return crc;
}

inline std::vector<uint8_t> cobsEncode(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out;
  std::vector<uint8_t> block;
  auto flush = [&] {
    out.push_back(static_cast<uint8_t>(block.size() + 1));
    out.insert(out.end(), block.begin(), block.end());
    block.clear();
  };
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == 0) {
      flush();
      continue;
    }
    block.push_back(in[i]);
    if (block.size() == 254) {
      flush();
      if (i + 1 == in.size()) return out;
    }
  }
  flush();
  return out;
}

// Returns false for a malformed encoding.
inline bool cobsDecode(const std::vector<uint8_t>& in, std::vector<uint8_t>* out) {
  out->clear();
  size_t i = 0;
  while (i < in.size()) {
    size_t code = in[i++];
    if (code == 0 || i + code - 1 > in.size()) return false;
    for (size_t k = 1; k < code; ++k)
      out->push_back(in[i++]);
    if (code < 0xFF && i < in.size()) out->push_back(0);
  }
  return true;
}

// A packet's frame: COBS of wire form + CRC, then the delimiter.
inline std::vector<uint8_t> frame(const std::vector<uint8_t>& wire) {
  std::vector<uint8_t> body = wire;
  body.push_back(crc8(wire));
  std::vector<uint8_t> out = cobsEncode(body);
  out.push_back(0);
  return out;
}

} // namespace peer
