// Packets: construction, the byte-wise assembler, wire form.
#include "link/aPacket.h"
#include "tests/support/PacketPtr.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> wire(const aPacket* p) {
  uint8_t buffer[aPACKET_MAX_WIRE];
  size_t written = 0;
  EXPECT_EQ(aPacket_GetBytes(p, buffer, sizeof buffer, &written), aErrNone);
  return std::vector<uint8_t>(buffer, buffer + written);
}

TEST(Packet, AssemblesGetOfSystemModel) {
  PacketPtr p(aPacket_Create());
  ASSERT_TRUE(p);
  const uint8_t bytes[] = {0x04, 0x03, 0x03, 0x48, 0x20};
  for (size_t i = 0; i < sizeof bytes; ++i) {
    EXPECT_FALSE(aPacket_IsComplete(p.get())) << i;
    ASSERT_EQ(aPacket_AddByte(p.get(), bytes[i]), aErrNone) << i;
  }
  ASSERT_TRUE(aPacket_IsComplete(p.get()));
  EXPECT_EQ(p->address, 4);
  EXPECT_EQ(p->dataSize, 3);
  uint8_t cmd = 0, option = 0, index = 99;
  EXPECT_EQ(aPacket_GetCmd(p.get(), &cmd), aErrNone);
  EXPECT_EQ(aPacket_GetOption(p.get(), &option), aErrNone);
  EXPECT_EQ(aPacket_GetIndex(p.get(), &index), aErrNone);
  EXPECT_EQ(cmd, 3);
  EXPECT_EQ(option, 8);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(wire(p.get()), std::vector<uint8_t>(bytes, bytes + sizeof bytes));
}

// Every row feeds a byte sequence to a fresh assembler and names the result of each byte
// and whether the packet is complete at the end.
struct AssemblyCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;
  bool complete;
};

TEST(Packet, AssemblerTable) {
  std::vector<uint8_t> full = {0x04, 28};
  for (int i = 0; i < 28; ++i)
    full.push_back(static_cast<uint8_t>(i + 1));
  std::vector<aErr> fullOk(30, aErrNone);
  std::vector<uint8_t> overlong = full;
  overlong.push_back(0x55);
  std::vector<aErr> overlongResults = fullOk;
  overlongResults.push_back(aErrOverrun);

  const AssemblyCase cases[] = {
      {"empty answer to address query", {0x06, 0x00}, {aErrNone, aErrNone}, true},
      {"zero address", {0x00}, {aErrPacket}, false},
      {"length 29", {0x04, 29}, {aErrNone, aErrPacket}, false},
      {"length 255", {0x04, 0xFF}, {aErrNone, aErrPacket}, false},
      {"full packet", full, fullOk, true},
      {"31st byte", overlong, overlongResults, false},
      // A byte after a complete empty packet is never taken as a second length byte.
      {"byte after empty packet", {0x06, 0x00, 0x05}, {aErrNone, aErrNone, aErrPacket}, false},
      {"byte after short packet",
       {0x04, 0x01, 0x07, 0x09},
       {aErrNone, aErrNone, aErrNone, aErrPacket},
       false},
      {"truncated", {0x04, 0x03, 0x03}, {aErrNone, aErrNone, aErrNone}, false},
      // After a rejected byte the assembler starts over: the next packet is whole.
      {"recovers after bad length",
       {0x04, 0x40, 0x08, 0x01, 0x09},
       {aErrNone, aErrPacket, aErrNone, aErrNone, aErrNone},
       true},
      {"recovers after zero address", {0x00, 0x08, 0x00}, {aErrPacket, aErrNone, aErrNone}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PacketPtr p(aPacket_Create());
    ASSERT_EQ(c.bytes.size(), c.results.size());
    for (size_t i = 0; i < c.bytes.size(); ++i)
      EXPECT_EQ(aPacket_AddByte(p.get(), c.bytes[i]), c.results[i]) << "byte " << i;
    EXPECT_EQ(aPacket_IsComplete(p.get()), c.complete);
    EXPECT_LE(p->dataSize, aPACKET_MAX_DATA);
    EXPECT_LE(p->assembled, aPACKET_MAX_WIRE);
  }
}

TEST(Packet, RejectedByteClearsPacket) {
  PacketPtr p(aPacket_Create());
  aPacket_AddByte(p.get(), 0x04);
  aPacket_AddByte(p.get(), 0x02);
  aPacket_AddByte(p.get(), 0x11);
  aPacket_AddByte(p.get(), 0x22);
  ASSERT_TRUE(aPacket_IsComplete(p.get()));
  EXPECT_EQ(aPacket_AddByte(p.get(), 0x33), aErrPacket);
  EXPECT_EQ(p->assembled, 0);
  EXPECT_EQ(p->address, 0);
  EXPECT_EQ(p->dataSize, 0);
  EXPECT_EQ(p->data[0], 0);
  EXPECT_EQ(p->data[1], 0);
}

TEST(Packet, CreateWithDataAndCopy) {
  uint8_t data[29] = {};
  for (int i = 0; i < 29; ++i)
    data[i] = static_cast<uint8_t>(0xA0 + i);
  PacketPtr p(aPacket_CreateWithData(0x08, 28, data));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->assembled, 30);
  EXPECT_TRUE(aPacket_IsComplete(p.get()));
  EXPECT_EQ(aPacket_CreateWithData(0x08, 29, data), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(0x08, 0, nullptr), nullptr);

  PacketPtr copy(aPacket_Copy(p.get()));
  ASSERT_TRUE(copy);
  EXPECT_EQ(wire(copy.get()), wire(p.get()));
  p->data[0] = 0;
  EXPECT_EQ(copy->data[0], 0xA0);

  aPacket broken = *p;
  broken.check = 0;
  EXPECT_EQ(aPacket_Copy(&broken), nullptr);
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(Packet, GetBytesBufferSizes) {
  const uint8_t data[] = {1, 2, 3};
  PacketPtr p(aPacket_CreateWithData(0x04, 3, data));
  uint8_t buffer[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  size_t written = 0;
  EXPECT_EQ(aPacket_GetBytes(p.get(), buffer, 4, &written), aErrOverrun);
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_EQ(aPacket_GetBytes(p.get(), buffer, 5, &written), aErrNone);
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), (std::vector<uint8_t>{4, 3, 1, 2, 3}));
  EXPECT_EQ(aPacket_GetBytes(p.get(), nullptr, 5, &written), aErrParam);
}

TEST(Packet, InvalidArguments) {
  aPacket broken{};
  uint8_t out = 0;
  EXPECT_EQ(aPacket_Reset(&broken), aErrParam);
  EXPECT_EQ(aPacket_AddByte(&broken, 4), aErrParam);
  EXPECT_EQ(aPacket_AddByte(nullptr, 4), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(nullptr));
  EXPECT_EQ(aPacket_GetBytes(&broken, &out, 1, nullptr), aErrParam);
  EXPECT_EQ(aPacket_GetCmd(&broken, &out), aErrPacket);

  const uint8_t two[] = {3, 0x48};
  PacketPtr p(aPacket_CreateWithData(4, 2, two));
  EXPECT_EQ(aPacket_GetCmd(p.get(), nullptr), aErrParam);
  EXPECT_EQ(aPacket_GetOption(p.get(), &out), aErrNone);
  EXPECT_EQ(out, 8);
  EXPECT_EQ(aPacket_GetIndex(p.get(), &out), aErrPacket);

  aPacket* none = nullptr;
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aPacket_Destroy(&none), aErrParam);
  aPacket* one = aPacket_Create();
  EXPECT_EQ(aPacket_Destroy(&one), aErrNone);
  EXPECT_EQ(one, nullptr);
}

} // namespace
