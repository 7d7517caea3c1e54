// The packet log ring and a link's packet log.
#include "EngineSupport.h"
#include "link/aPacketDebug.h"

using namespace enginetest;

namespace {

struct LogDeleter {
  void operator()(aPacketLog* log) const { aPacketLog_Destroy(&log); }
};
using LogPtr = std::unique_ptr<aPacketLog, LogDeleter>;

std::vector<uint8_t> bytesOf(size_t length, uint8_t seed) {
  std::vector<uint8_t> out(length);
  for (size_t i = 0; i < length; ++i)
    out[i] = static_cast<uint8_t>(seed + i);
  return out;
}

TEST(PacketLogRing, DropsTheOldestRecordsToMakeRoom) {
  // 64 bytes hold one 32-byte record (30 bytes and two of header) but not two: a record
  // must be strictly smaller than the free space.
  LogPtr log(aPacketLog_Create(64));
  ASSERT_TRUE(log);
  for (uint8_t i = 0; i < 5; ++i)
    ASSERT_EQ(aErrNone, aPacketLog_Put(log.get(), aPACKETLOG_SENT, 30, bytesOf(30, i).data()));
  uint8_t type = 0, length = 64, buffer[64];
  ASSERT_EQ(aErrNone, aPacketLog_Get(log.get(), &type, &length, buffer));
  EXPECT_EQ(aPACKETLOG_SENT, type);
  EXPECT_EQ(bytesOf(30, 4), std::vector<uint8_t>(buffer, buffer + length));
  length = 64;
  EXPECT_EQ(aErrNotFound, aPacketLog_Get(log.get(), &type, &length, buffer));
}

TEST(PacketLogRing, RecordsSurviveWrappingInOrder) {
  LogPtr log(aPacketLog_Create(100));
  ASSERT_TRUE(log);
  // Records of varying length go round the ring many times; each read gives back the
  // oldest record still held, intact.
  unsigned nextRead = 0;
  for (unsigned i = 0; i < 300; ++i) {
    const uint8_t length = static_cast<uint8_t>(i % 23);
    ASSERT_EQ(aErrNone, aPacketLog_Put(log.get(), static_cast<uint8_t>(1 + i % 3), length,
                                       bytesOf(length, static_cast<uint8_t>(i)).data()));
    if (i % 4 != 3) continue;
    uint8_t type = 0, got = 255, buffer[255];
    ASSERT_EQ(aErrNone, aPacketLog_Get(log.get(), &type, &got, buffer));
    // Find which record this was: the oldest not yet dropped, no older than nextRead.
    unsigned which = nextRead;
    while (which <= i && (got != which % 23 || type != 1 + which % 3 ||
                          std::vector<uint8_t>(buffer, buffer + got) !=
                              bytesOf(got, static_cast<uint8_t>(which))))
      ++which;
    ASSERT_LE(which, i) << "record " << i << " came back corrupted";
    nextRead = which + 1;
  }
}

TEST(PacketLogRing, RefusesWhatCanNeverFitAndKeepsWhatIsTooLongToRead) {
  LogPtr log(aPacketLog_Create(32));
  ASSERT_TRUE(log);
  EXPECT_EQ(aErrOverrun, aPacketLog_Put(log.get(), aPACKETLOG_NOTE, 30, bytesOf(30, 0).data()));
  EXPECT_EQ(aErrNone, aPacketLog_Put(log.get(), aPACKETLOG_NOTE, 6,
                                     reinterpret_cast<const uint8_t*>("START")));
  uint8_t type = 0, length = 5, buffer[8];
  EXPECT_EQ(aErrOverrun, aPacketLog_Get(log.get(), &type, &length, buffer));
  length = 8;
  ASSERT_EQ(aErrNone, aPacketLog_Get(log.get(), &type, &length, buffer));
  EXPECT_EQ(aPACKETLOG_NOTE, type);
  EXPECT_STREQ("START", reinterpret_cast<const char*>(buffer));
  EXPECT_EQ(aErrParam, aPacketLog_Put(nullptr, 1, 0, nullptr));
  EXPECT_EQ(nullptr, aPacketLog_Create(aPACKETLOG_MAX_SIZE + 1));
}

TEST(LinkPacketLog, RecordsTrafficBothWays) {
  auto module = simmodule::Module::startTcp(simmodule::Options{4});
  ASSERT_TRUE(module);
  LinkUse link(aLink_CreateTCPIP(0x3000, loopback(), module->port()));
  ASSERT_NE(0u, link.id());
  uint8_t type = 0, length = 64, buffer[64];
  EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Read(link.id(), &type, &length, buffer));
  EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Disable(link.id()));
  EXPECT_EQ(aErrParam, aLink_PacketDebug_SetLogSize(link.id(), 0x4000001));
  EXPECT_EQ(aErrNone, aLink_PacketDebug_SetLogSize(link.id(), 4096));
  // The route command of the start goes out before the log begins.
  ASSERT_TRUE(module->waitUntil(
      [](const simmodule::Observed& o) { return o.forceRoutes.size() == 1; }, 5000));
  ASSERT_EQ(aErrNone, aLink_PacketDebug_Enable(link.id()));
  EXPECT_EQ(aErrBusy, aLink_PacketDebug_SetLogSize(link.id(), 8192));

  ASSERT_EQ(aErrNone, aLink_PutPacket(link.id(), makePacket(4, {23, 0x61}).get()));
  PacketPtr reply(aLink_AwaitPacket(link.id(), 5000));
  ASSERT_TRUE(reply);
  ASSERT_TRUE(eventually([&] {
    length = sizeof buffer;
    return aLink_PacketDebug_Read(link.id(), &type, &length, buffer) == aErrNone;
  }));
  EXPECT_EQ(aPACKETLOG_SENT, type);
  EXPECT_EQ((std::vector<uint8_t>{4, 2, 23, 0x61}), std::vector<uint8_t>(buffer, buffer + length));
  length = sizeof buffer;
  ASSERT_EQ(aErrNone, aLink_PacketDebug_Read(link.id(), &type, &length, buffer));
  EXPECT_EQ(aPACKETLOG_RECEIVED, type);
  EXPECT_EQ((std::vector<uint8_t>{4, 2, 23, 0x61}), std::vector<uint8_t>(buffer, buffer + length));
  length = sizeof buffer;
  EXPECT_EQ(aErrNotFound, aLink_PacketDebug_Read(link.id(), &type, &length, buffer));

  // Disabled: traffic is no longer recorded, notes still are.
  ASSERT_EQ(aErrNone, aLink_PacketDebug_Disable(link.id()));
  ASSERT_EQ(aErrNone, aLink_PutPacket(link.id(), makePacket(4, {23, 0x62}).get()));
  reply.reset(aLink_AwaitPacket(link.id(), 5000));
  ASSERT_TRUE(reply);
  EXPECT_EQ(aErrNone, aLink_PacketDebug_Write(link.id(), aPACKETLOG_NOTE, 2,
                                              reinterpret_cast<const uint8_t*>("x")));
  length = sizeof buffer;
  ASSERT_EQ(aErrNone, aLink_PacketDebug_Read(link.id(), &type, &length, buffer));
  EXPECT_EQ(aPACKETLOG_NOTE, type);
}

} // namespace
