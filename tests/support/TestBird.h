#pragma once
// Small well-formed BIRD files for tests, made here with zlib so that tests do not depend on
// the reader they check.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace test_bird {

inline void put_be32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

inline std::string field(const std::string& text) {
  std::string f = text.substr(0, 16);
  f.resize(16, ' ');
  return f;
}

// A small but well-formed BIRD file whose descriptor names `build` and `version`, followed by
// `filler` bytes of a firmware block so that sizes can be chosen.
inline std::string make_bird(uint32_t build, const std::string& version, size_t filler = 0) {
  std::string payload;
  put_be32(payload, filler ? 2 : 1);
  payload.push_back(4);
  put_be32(payload, 64);
  payload += field(std::to_string(build)) + field(version) + field("40F5849A") + field("MTM-IO");
  if (filler) {
    payload.push_back(1);
    put_be32(payload, static_cast<uint32_t>(filler + 4));
    put_be32(payload, 0x8000);
    for (size_t i = 0; i < filler; ++i)
      payload.push_back(static_cast<char>((i * 2654435761u) >> 24));
  }
  put_be32(payload, 0x12345678);
  uLongf size = compressBound(payload.size());
  std::string packed(size, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
            reinterpret_cast<const Bytef*>(payload.data()), payload.size(), 1);
  packed.resize(size);
  return std::string("bird\x01\x01", 6) + packed;
}

} // namespace test_bird

using test_bird::make_bird;
