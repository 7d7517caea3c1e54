// UEI payloads: value encodings, bytes chunks, conversions and classifiers.
#include "link/aUEI.h"
#include "tests/support/PacketPtr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

PacketPtr packet(std::vector<uint8_t> data, uint8_t address = 4) {
  return makePacket(address, data);
}

TEST(UEI, BigEndianConversions) {
  const uint8_t i258[] = {0, 0, 1, 2};
  const uint8_t s256[] = {1, 0};
  EXPECT_EQ(aUEI_RetrieveInt(i258), 258u);
  EXPECT_EQ(aUEI_RetrieveShort(s256), 256u);
  uint8_t out[4];
  aUEI_StoreInt(out, 0x12345678);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
  aUEI_StoreShort(out, 0xBEEF);
  EXPECT_EQ(out[0], 0xBE);
  EXPECT_EQ(out[1], 0xEF);

  const uint8_t wire[8] = {0, 0, 1, 2, 0xFF, 0, 0, 1};
  uint32_t words[2];
  std::memcpy(words, wire, sizeof wire);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 258u);
  EXPECT_EQ(words[1], 0xFF000001u);
}

// Each value type, with and without a subindex, laid out byte for byte.
TEST(UEI, EncodeEveryType) {
  struct Case {
    uint32_t type;
    uint32_t value;
    int subindex;
    std::vector<uint8_t> data;
  } cases[] = {
      {ueiTypeNone, 0, -1, {3, 0x48, 0x20}},
      {ueiTypeNone, 0, 7, {3, 0x48, 0x20, 7}},
      {ueiTypeByte, 0x9A, -1, {3, 0x48, 0x20, 0x9A}},
      {ueiTypeByte, 0x9A, 1, {3, 0x48, 0x20, 1, 0x9A}},
      {ueiTypeShort, 0x1234, -1, {3, 0x48, 0x20, 0x12, 0x34}},
      {ueiTypeShort, 0x1234, 2, {3, 0x48, 0x20, 2, 0x12, 0x34}},
      {ueiTypeInt, 0xA1B2C3D4, -1, {3, 0x48, 0x20, 0xA1, 0xB2, 0xC3, 0xD4}},
      {ueiTypeInt, 0xA1B2C3D4, 255, {3, 0x48, 0x20, 255, 0xA1, 0xB2, 0xC3, 0xD4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " subindex " << c.subindex);
    uei u{};
    u.module = 4;
    u.command = 3;
    u.option = 8 | aUEI_GET;
    u.specifier = 0 | aUEI_REQUEST;
    u.type = c.type;
    if (c.type == ueiTypeByte) u.v.byteVal = static_cast<uint8_t>(c.value);
    if (c.type == ueiTypeShort) u.v.shortVal = static_cast<uint16_t>(c.value);
    if (c.type == ueiTypeInt) u.v.intVal = c.value;
    PacketPtr p(aUEI_CreatePacket(&u, c.subindex));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(dataOf(p.get()), c.data);
  }
  uei bytes{};
  bytes.type = ueiTypeBytes;
  uint8_t data[28], length;
  EXPECT_EQ(aUEI_Encode(&bytes, -1, data, &length), aErrParam);
  EXPECT_EQ(aUEI_Encode(nullptr, -1, data, &length), aErrParam);
}

TEST(UEI, DecodeReplies) {
  struct Case {
    std::vector<uint8_t> data;
    aErr result;
    uint32_t type;
    uint32_t value;
  } cases[] = {
      {{3, 8, 0}, aErrNone, ueiTypeNone, 0},
      {{3, 8, 0, 0x42}, aErrNone, ueiTypeByte, 0x42},
      {{3, 8, 0, 0x01, 0x02}, aErrNone, ueiTypeShort, 0x0102},
      {{3, 8, 0, 0, 0, 1, 2}, aErrNone, ueiTypeInt, 258},
      {{3, 8, 0, 1, 2, 3}, aErrNone, 99, 0}, // length 6: type and value unchanged
      {{3, 8, 0x81, 13}, 13, 99, 13},        // error reply: the code is the result
      // An error reply whose code is 0 or missing must still fail.
      {{3, 8, 0x81, 0}, aErrUnknown, 99, 0},
      {{3, 8, 0x81}, aErrUnknown, 99, aErrUnknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.data));
    PacketPtr p = packet(c.data);
    uei u{};
    u.type = 99;
    EXPECT_EQ(aUEI_Decode(p.get(), &u), c.result);
    EXPECT_EQ(u.type, c.type);
    if (c.type == ueiTypeByte || c.data[2] & aUEI_ERROR) {
      EXPECT_EQ(u.v.byteVal, c.value);
    }
    if (c.type == ueiTypeShort) {
      EXPECT_EQ(u.v.shortVal, c.value);
    }
    if (c.type == ueiTypeInt) {
      EXPECT_EQ(u.v.intVal, c.value);
    }
    if (c.data[2] & aUEI_ERROR) {
      EXPECT_EQ(u.specifier, c.data[2]);
    }
  }
  PacketPtr shortPacket = packet({3, 8});
  uei u{};
  EXPECT_EQ(aUEI_Decode(shortPacket.get(), &u), aErrPacket);
  EXPECT_EQ(aUEI_Decode(shortPacket.get(), nullptr), aErrParam);
}

// Chunks of a bytes value: sizes and sequence bytes, and the value rebuilt from them.
TEST(UEI, BytesChunks) {
  struct Case {
    size_t total;
    std::vector<size_t> sizes;
    std::vector<uint8_t> sequence;
  } cases[] = {
      {0, {0}, {0x00}},
      {1, {1}, {0x00}},
      {24, {24}, {0x00}},
      {25, {24, 1}, {0x80, 0x01}},
      {50, {24, 24, 2}, {0x80, 0x81, 0x02}},
      {72, {24, 24, 24}, {0x80, 0x81, 0x02}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.total);
    std::vector<uint8_t> value(c.total);
    for (size_t i = 0; i < c.total; ++i)
      value[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(aUEI_BytesChunkCount(c.total), c.sizes.size());
    std::vector<uint8_t> rebuilt;
    for (size_t k = 0; k < c.sizes.size(); ++k) {
      PacketPtr p(aUEI_CreateBytesChunk(6, 0x5F, 0x8A, 0x20, value.data(), c.total, k));
      ASSERT_TRUE(p);
      EXPECT_EQ(p->address, 6);
      ASSERT_EQ(p->dataSize, c.sizes[k] + 4);
      EXPECT_EQ(p->data[0], 0x5F);
      EXPECT_EQ(p->data[1], 0x8A);
      EXPECT_EQ(p->data[2], 0x20);
      EXPECT_EQ(p->data[p->dataSize - 1], c.sequence[k]);
      EXPECT_EQ(aUEI_getBytesSequence(p.get()), c.sequence[k] & 0x7F);
      EXPECT_EQ(aUEI_getBytesContinue(p.get()), (c.sequence[k] & 0x80) != 0);
      EXPECT_EQ(aUEI_getBytesFullPacket(p.get()), c.sizes[k] == 24);
      rebuilt.insert(rebuilt.end(), p->data + 3, p->data + 3 + c.sizes[k]);
    }
    EXPECT_EQ(rebuilt, value);
    EXPECT_EQ(aUEI_CreateBytesChunk(6, 0x5F, 0x8A, 0x20, value.data(), c.total, c.sizes.size()),
              nullptr);
  }
  // The chunk number wraps at 128; the flag stays on every chunk but the last.
  std::vector<uint8_t> big(24 * 130);
  PacketPtr p128(aUEI_CreateBytesChunk(6, 1, 2, 3, big.data(), big.size(), 128));
  PacketPtr last(aUEI_CreateBytesChunk(6, 1, 2, 3, big.data(), big.size(), 129));
  EXPECT_EQ(p128->data[27], 0x80);
  EXPECT_EQ(last->data[27], 0x01);
  EXPECT_EQ(aUEI_CreateBytesChunk(6, 1, 2, 3, nullptr, 5, 0), nullptr);
}

TEST(UEI, Classifiers) {
  const uint8_t notUEI[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
  for (int command = 0; command < 256; ++command) {
    bool listed = std::find(std::begin(notUEI), std::end(notUEI), command) != std::end(notUEI);
    PacketPtr p = packet({static_cast<uint8_t>(command), 1, 0x41, 0, 0});
    EXPECT_EQ(aUEI_isNotUEIPayload(p.get()), listed) << command;
    EXPECT_EQ(aUEI_isUEIPayload(p.get()), !listed) << command;
    EXPECT_EQ(aUEI_isStreamPacket(p.get()), !listed) << command;
  }
  struct Case {
    std::vector<uint8_t> data;
    bool stream;
  } cases[] = {
      {{5, 0x01, 0x41, 0, 0}, true},       {{4, 0x01, 0x41, 0, 0}, false}, // not a UEI payload
      {{5, 0x01, 0x41, 0}, false},                                         // too short
      {{5, 0x41, 0x41, 0, 0}, false},                                      // a get
      {{5, 0x81, 0x41, 0, 0}, false},                                      // a set
      {{5, 0x01, 0x01, 0, 0}, false},                                      // stream bit clear
      {{5, 0x3F, 0x5F, 0, 0, 0, 0}, true},
  };
  for (const auto& c : cases) {
    PacketPtr p = packet(c.data);
    EXPECT_EQ(aUEI_isStreamPacket(p.get()), c.stream) << testing::PrintToString(c.data);
  }
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
  PacketPtr empty = packet({});
  EXPECT_FALSE(aUEI_isUEIPayload(empty.get()));
  EXPECT_EQ(aUEI_getBytesSequence(empty.get()), 0);
}

} // namespace
