// CRC-8 and COBS: byte-exact vectors, malformed input, and the framing stream over an
// in-memory transport.
#include "link/aStream_CobsEncoding.h"
#include "link/cobs.h"
#include "link/crc8.h"
#include "peer_codec.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes range(int from, int to) {
  Bytes out;
  for (int v = from; v <= to; ++v)
    out.push_back(static_cast<uint8_t>(v));
  return out;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Crc8, CheckValues) {
  const std::string digits = "123456789";
  const Bytes bytes(digits.begin(), digits.end());
  EXPECT_EQ(crc8_Compute(bytes.data(), bytes.size()), 0xA1);
  EXPECT_EQ(peer::crc8(bytes), 0xA1);
  EXPECT_EQ(crc8_Update(crc8_Compute(bytes.data(), 4), bytes.data() + 4, 5), 0xA1);
  EXPECT_EQ(crc8_Compute(nullptr, 0), 0);
  for (int i = 0; i < 256; ++i) {
    Bytes one{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i)};
    EXPECT_EQ(crc8_Compute(one.data(), 2), peer::crc8(one)) << i;
  }
}

TEST(Cobs, EncodeDecodeVectors) {
  struct Case {
    const char* name;
    Bytes plain;
    Bytes encoded;
  } cases[] = {
      {"empty", {}, {0x01}},
      {"one zero", {0x00}, {0x01, 0x01}},
      {"two zeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
      {"zero inside", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
      {"no zero", {0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
      {"trailing zeros", {0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
      {"254 non-zero", range(1, 254), cat({0xFF}, range(1, 254))},
      {"zero then 254", cat({0x00}, range(1, 254)), cat({0x01, 0xFF}, range(1, 254))},
      {"255 non-zero", range(1, 255), cat(cat({0xFF}, range(1, 254)), {0x02, 0xFF})},
      // The frame of a packet to address 4 with the one data byte 0, and its CRC 0x5A.
      {"packet frame body", {0x04, 0x01, 0x00, 0x5A}, {0x03, 0x04, 0x01, 0x02, 0x5A}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(peer::cobsEncode(c.plain), c.encoded);
    Bytes out(cobs_MaxEncodedLength(c.plain.size()));
    size_t n = cobs_Encode(c.plain.data(), c.plain.size(), out.data(), out.size());
    out.resize(n);
    EXPECT_EQ(out, c.encoded);
    Bytes back(c.encoded.size() + 1);
    size_t decoded = 0;
    ASSERT_TRUE(
        cobs_Decode(c.encoded.data(), c.encoded.size(), back.data(), back.size(), &decoded));
    back.resize(decoded);
    EXPECT_EQ(back, c.plain);
    // In place.
    Bytes work = c.encoded;
    ASSERT_TRUE(cobs_Decode(work.data(), work.size(), work.data(), work.size(), &decoded));
    EXPECT_EQ(Bytes(work.begin(), work.begin() + decoded), c.plain);
  }
  const Bytes three = {0x04, 0x01, 0x00};
  EXPECT_EQ(peer::frame(three), (Bytes{0x03, 0x04, 0x01, 0x02, 0x5A, 0x00}));
  Bytes small(2);
  EXPECT_EQ(cobs_Encode(three.data(), 3, small.data(), small.size()), 0u);
}

TEST(Cobs, DecodeRejectsMalformed) {
  struct Case {
    const char* name;
    Bytes encoded;
    size_t capacity;
  } cases[] = {
      {"zero code", {0x00, 0x11}, 8},
      {"zero inside run", {0x03, 0x11, 0x00}, 8},
      {"run past end", {0x05, 0x11, 0x22}, 8},
      {"last code past end", {0x02, 0x11, 0x04, 0x22}, 8},
      {"maximal code, short input", {0xFF, 0x01, 0x02}, 300},
      {"output too small", {0x05, 0x11, 0x22, 0x33, 0x44}, 3},
      {"implied zero does not fit", {0x02, 0x11, 0x02, 0x22}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out(c.capacity);
    size_t decoded = 12345;
    EXPECT_FALSE(cobs_Decode(c.encoded.data(), c.encoded.size(), out.data(), out.size(), &decoded));
  }
}

// An in-memory byte transport under the framing stream.
struct Memory {
  std::deque<uint8_t> input;
  aErr whenEmpty = aErrNotReady;
  Bytes written;
  int writeCalls = 0;
  bool deleted = false;

  static aErr get(char* byte, void* ref) {
    auto* m = static_cast<Memory*>(ref);
    if (m->input.empty()) return m->whenEmpty;
    *byte = static_cast<char>(m->input.front());
    m->input.pop_front();
    return aErrNone;
  }
  static aErr put(const char* byte, void* ref) {
    static_cast<Memory*>(ref)->written.push_back(static_cast<uint8_t>(*byte));
    return aErrNone;
  }
  static aErr write(const char* data, size_t length, void* ref) {
    auto* m = static_cast<Memory*>(ref);
    ++m->writeCalls;
    m->written.insert(m->written.end(), data, data + length);
    return aErrNone;
  }
  static aErr del(void* ref) {
    static_cast<Memory*>(ref)->deleted = true;
    return aErrNone;
  }
};

class CobsStreamTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(aStream_CreateCobsEncoding(Memory::get, Memory::put, Memory::write, Memory::del,
                                         &memory, &stream),
              aErrNone);
  }
  void TearDown() override {
    if (stream) {
      EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    }
    EXPECT_TRUE(memory.deleted);
  }
  void feed(const Bytes& bytes) {
    memory.input.insert(memory.input.end(), bytes.begin(), bytes.end());
  }

  // Reads until the input runs dry; collects the bytes and every error other than NotReady.
  Bytes drain(std::vector<aErr>* errors = nullptr) {
    Bytes got;
    for (int guard = 0; guard < 10000; ++guard) {
      char byte;
      aErr err = aStream_Read(stream, &byte, 1);
      if (err == aErrNone) {
        got.push_back(static_cast<uint8_t>(byte));
      } else if (err == aErrNotReady) {
        if (memory.input.empty()) {
          // One more call hands out the first byte of a frame decoded on the last one.
          if (aStream_Read(stream, &byte, 1) == aErrNone) {
            got.push_back(static_cast<uint8_t>(byte));
            continue;
          }
          break;
        }
      } else if (errors) {
        errors->push_back(err);
      }
    }
    return got;
  }

  Memory memory;
  aStreamRef stream = nullptr;
};

TEST_F(CobsStreamTest, WritesOneFramePerPacket) {
  const char packet[] = {0x04, 0x01, 0x00};
  ASSERT_EQ(aStream_Write(stream, packet, 3), aErrNone);
  EXPECT_EQ(memory.written, (Bytes{0x03, 0x04, 0x01, 0x02, 0x5A, 0x00}));
  EXPECT_EQ(memory.writeCalls, 1);

  // Two packets in one block go as two frames; a packet split over two writes as one.
  memory.written.clear();
  memory.writeCalls = 0;
  const char two[] = {0x06, 0x00, 0x04, 0x03, 0x11};
  ASSERT_EQ(aStream_Write(stream, two, sizeof two), aErrNone);
  const char rest[] = {0x22, 0x00};
  ASSERT_EQ(aStream_Write(stream, rest, sizeof rest), aErrNone);
  EXPECT_EQ(memory.writeCalls, 2);
  EXPECT_EQ(memory.written,
            cat(peer::frame({0x06, 0x00}), peer::frame({0x04, 0x03, 0x11, 0x22, 0x00})));
}

TEST_F(CobsStreamTest, RejectedBytesDoNotShiftLaterPackets) {
  // A length byte of 0x40 is refused; the assembler starts over, so the packet that follows
  // is framed whole and the write says that bytes were dropped.
  const char bytes[] = {0x04, 0x40, 0x08, 0x01, 0x09};
  EXPECT_EQ(aStream_Write(stream, bytes, sizeof bytes), aErrPacket);
  EXPECT_EQ(memory.written, peer::frame({0x08, 0x01, 0x09}));
}

TEST_F(CobsStreamTest, ReadsFramesWrittenByThePeer) {
  Bytes full = {0x0A, 28};
  for (int i = 0; i < 28; ++i)
    full.push_back(static_cast<uint8_t>(i % 3 == 0 ? 0 : i));
  feed(peer::frame({0x04, 0x01, 0x00}));
  feed({0x00, 0x00}); // empty frames between frames are idle
  feed(peer::frame(full));
  std::vector<aErr> errors;
  EXPECT_EQ(drain(&errors), cat({0x04, 0x01, 0x00}, full));
  EXPECT_TRUE(errors.empty());
}

// Bad frames of every kind give aErrPacket once, no bytes, and leave the next frame intact.
TEST_F(CobsStreamTest, BadFramesTable) {
  const Bytes good = {0x04, 0x03, 0x03, 0x48, 0x20};
  auto withCrc = [](Bytes wire, uint8_t crc) {
    wire.push_back(crc);
    Bytes out = peer::cobsEncode(wire);
    out.push_back(0);
    return out;
  };
  Bytes overlong;
  for (int i = 0; i < 60; ++i)
    overlong.push_back(0x11);
  overlong.push_back(0);
  // 31 decoded bytes that would pass the length and CRC checks if the tail were cut off.
  Bytes longFrame = {0x04, 28};
  for (int i = 0; i < 28; ++i)
    longFrame.push_back(0x33);
  Bytes extended = longFrame;
  extended.push_back(peer::crc8(longFrame));
  for (int i = 0; i < 5; ++i)
    extended.push_back(0x44);
  Bytes extendedFrame = peer::cobsEncode(extended);
  extendedFrame.push_back(0);

  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"wrong crc", withCrc(good, peer::crc8(good) ^ 1)},
      {"length byte too small", withCrc({0x04, 0x02, 0x03, 0x48, 0x20}, 0)},
      {"length byte too large", withCrc({0x04, 0x04, 0x03, 0x48, 0x20}, 0)},
      {"two bytes", withCrc({0x04}, peer::crc8({0x04}))},
      {"code past end", {0x07, 0x04, 0x01, 0x00}},
      {"overlong", overlong},
      {"valid frame with a tail", extendedFrame},
      {"truncated", {0x03, 0x04, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    feed(c.bytes);
    feed(peer::frame(good));
    std::vector<aErr> errors;
    EXPECT_EQ(drain(&errors), good);
    EXPECT_EQ(errors, std::vector<aErr>{aErrPacket});
  }
}

TEST_F(CobsStreamTest, PassesTransportErrorsUp) {
  memory.whenEmpty = aErrIO; // a vanished device
  char byte;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIO);
  memory.whenEmpty = aErrEOF;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrEOF);
}

TEST(CobsStream, FullPacketRoundTrip) {
  Memory wire;
  aStreamRef encoder = nullptr, decoder = nullptr;
  ASSERT_EQ(aStream_CreateCobsEncoding(nullptr, nullptr, Memory::write, nullptr, &wire, &encoder),
            aErrNone);
  ASSERT_EQ(aStream_CreateCobsEncoding(Memory::get, nullptr, nullptr, nullptr, &wire, &decoder),
            aErrNone);
  Bytes packet = {0x04, 28};
  for (int i = 0; i < 28; ++i)
    packet.push_back(static_cast<uint8_t>(i * 37));
  ASSERT_EQ(aStream_Write(encoder, reinterpret_cast<const char*>(packet.data()), packet.size()),
            aErrNone);
  wire.input.assign(wire.written.begin(), wire.written.end());
  Bytes got;
  for (int guard = 0; guard < 200 && got.size() < packet.size(); ++guard) {
    char byte;
    if (aStream_Read(decoder, &byte, 1) == aErrNone) got.push_back(static_cast<uint8_t>(byte));
  }
  EXPECT_EQ(got, packet);
  EXPECT_EQ(aStream_Destroy(&encoder), aErrNone);
  EXPECT_EQ(aStream_Destroy(&decoder), aErrNone);
}

} // namespace
