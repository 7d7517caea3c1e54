// Wire forms the simulated module speaks: packets (address, length, data), the CRC-8 and
// the COBS framing of serial links. Written for the peer alone, from the published byte
// examples, so that it checks the library rather than repeats it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace simmodule {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxData = 28;
constexpr uint8_t kAddressQuery = 0xAD;
constexpr uint8_t kForceRoute = 0xAF;
constexpr uint8_t kCmdHeartbeat = 0;
constexpr uint8_t kCmdEcho = 23;

struct Packet {
  uint8_t address = 0;
  Bytes data;

  bool operator==(const Packet& other) const {
    return address == other.address && data == other.data;
  }
  bool operator!=(const Packet& other) const { return !(*this == other); }
};

// Address, length, data.
Bytes wireForm(const Packet& packet);

// CRC-8 with the reflected polynomial 0x8C, initial value 0, no final inversion; computed
// bit by bit.
uint8_t crc8(const uint8_t* bytes, size_t length);

// Consistent-overhead byte stuffing without the trailing delimiter.
Bytes cobsEncode(const uint8_t* bytes, size_t length);
// False for a malformed encoding (a zero code byte, or a run that overshoots the input).
bool cobsDecode(const uint8_t* bytes, size_t length, Bytes& out);

// One packet as a serial frame: COBS(wire form + CRC) followed by a zero byte.
Bytes frameOf(const Packet& packet);
// Arbitrary bytes (not necessarily a valid packet) framed the same way.
Bytes frameOfBytes(const Bytes& bytes);

// Rebuilds packets from a raw byte stream (TCP links). A zero address byte or a length
// above 28 cannot start a packet: the assembler drops the partial packet and counts it.
class StreamAssembler {
public:
  // Feeds bytes; complete packets are appended to `out`.
  void feed(const uint8_t* bytes, size_t length, std::vector<Packet>& out);
  size_t rejected() const { return rejected_; }
  void reset();

private:
  Packet current_;
  bool haveAddress_ = false;
  bool haveLength_ = false;
  size_t expected_ = 0;
  size_t rejected_ = 0;
};

// Rebuilds packets from COBS frames (serial links). Frames that fail to decode, whose CRC
// does not match, or whose length byte disagrees with the frame are counted and dropped.
class FrameAssembler {
public:
  void feed(const uint8_t* bytes, size_t length, std::vector<Packet>& out);
  size_t rejected() const { return rejected_; }
  void reset();

private:
  void endFrame(std::vector<Packet>& out);

  Bytes encoded_;
  size_t rejected_ = 0;
};

} // namespace simmodule
