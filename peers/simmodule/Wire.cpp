#include "peers/simmodule/Wire.h"

namespace simmodule {

namespace {
// Longest encoded frame accepted: a 30-byte packet, its CRC and one code byte, with room to
// spare; anything longer is noise.
constexpr size_t kMaxEncodedFrame = 64;
} // namespace

Bytes wireForm(const Packet& packet) {
  Bytes out;
  out.reserve(packet.data.size() + 2);
  out.push_back(packet.address);
  out.push_back(static_cast<uint8_t>(packet.data.size()));
  out.insert(out.end(), packet.data.begin(), packet.data.end());
  return out;
}

uint8_t crc8(const uint8_t* bytes, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
  }
  return crc;
}

Bytes cobsEncode(const uint8_t* bytes, size_t length) {
  Bytes out;
  out.reserve(length + length / 254 + 2);
  size_t codeAt = out.size();
  out.push_back(0);
  uint8_t code = 1;
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] == 0) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
      continue;
    }
    out.push_back(bytes[i]);
    if (++code == 0xFF) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
    }
  }
  out[codeAt] = code;
  return out;
}

bool cobsDecode(const uint8_t* bytes, size_t length, Bytes& out) {
  out.clear();
  size_t i = 0;
  while (i < length) {
    const uint8_t code = bytes[i++];
    if (code == 0) return false;
    for (uint8_t k = 1; k < code; ++k) {
      if (i >= length) return false;
      out.push_back(bytes[i++]);
    }
    if (code != 0xFF && i < length) out.push_back(0);
  }
  return true;
}

Bytes frameOfBytes(const Bytes& bytes) {
  Bytes plain = bytes;
  plain.push_back(crc8(bytes.data(), bytes.size()));
  Bytes frame = cobsEncode(plain.data(), plain.size());
  frame.push_back(0);
  return frame;
}

Bytes frameOf(const Packet& packet) {
  return frameOfBytes(wireForm(packet));
}

void StreamAssembler::reset() {
  current_ = Packet{};
  haveAddress_ = haveLength_ = false;
  expected_ = 0;
}

void StreamAssembler::feed(const uint8_t* bytes, size_t length, std::vector<Packet>& out) {
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = bytes[i];
    if (!haveAddress_) {
      if (b == 0) {
        ++rejected_;
        continue;
      }
      current_.address = b;
      haveAddress_ = true;
      continue;
    }
    if (!haveLength_) {
      if (b > kMaxData) {
        ++rejected_;
        reset();
        continue;
      }
      expected_ = b;
      haveLength_ = true;
    } else {
      current_.data.push_back(b);
    }
    if (current_.data.size() == expected_) {
      out.push_back(current_);
      reset();
    }
  }
}

void FrameAssembler::reset() {
  encoded_.clear();
}

void FrameAssembler::endFrame(std::vector<Packet>& out) {
  if (encoded_.empty()) return;
  Bytes plain;
  const bool overlong = encoded_.size() > kMaxEncodedFrame;
  const bool decoded = !overlong && cobsDecode(encoded_.data(), encoded_.size(), plain);
  encoded_.clear();
  if (!decoded || plain.size() < 3 || plain.size() != static_cast<size_t>(plain[1]) + 3 ||
      plain[1] > kMaxData || crc8(plain.data(), plain.size() - 1) != plain.back()) {
    ++rejected_;
    return;
  }
  Packet packet;
  packet.address = plain[0];
  packet.data.assign(plain.begin() + 2, plain.end() - 1);
  out.push_back(std::move(packet));
}

void FrameAssembler::feed(const uint8_t* bytes, size_t length, std::vector<Packet>& out) {
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] == 0) {
      endFrame(out);
    } else if (encoded_.size() <= kMaxEncodedFrame) {
      encoded_.push_back(bytes[i]);
    }
  }
}

} // namespace simmodule
