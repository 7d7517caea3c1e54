// Link registry and lifecycle: shared uses, reset, peers that vanish or stop reading,
// failing queues, and create/destroy churn without leaks.
#include "EngineSupport.h"
#include "link/aStreamsocket.h"

#include <atomic>
#include <climits>
#include <dirent.h>

using namespace enginetest;
using simmodule::Module;
using simmodule::Observed;
using simmodule::Options;
using simmodule::Packet;

namespace {

constexpr uint8_t kAddress = 4;
constexpr uint8_t kCmdEcho = simmodule::kCmdEcho;

size_t entriesIn(const char* directory) {
  size_t count = 0;
  if (DIR* dir = opendir(directory)) {
    while (readdir(dir))
      ++count;
    closedir(dir);
  }
  return count;
}

bool echoWorks(aLinkRef id, uint8_t value) {
  PacketPtr request = makePacket(kAddress, {kCmdEcho, value});
  if (aLink_PutPacket(id, request.get()) != aErrNone) return false;
  struct Match {
    uint8_t value;
  } match{value};
  PacketPtr reply(aLink_AwaitFirst(
      id,
      [](const aPacket* p, const void* r) {
        return p->dataSize == 2 && p->data[0] == kCmdEcho &&
               p->data[1] == static_cast<const Match*>(r)->value;
      },
      &match, 5000));
  return reply != nullptr;
}

TEST(LinkRegistry, UnknownIdsNameNoLink) {
  const aLinkRef never = 0x7FFFFFF0;
  EXPECT_EQ(aLINK_NOSTREAM, aLink_GetStatus(never));
  EXPECT_EQ(aLINK_NOSTREAM, aLink_GetStatus(0));
  EXPECT_EQ(aErrParam, aLink_PutPacket(never, makePacket(kAddress, {1}).get()));
  EXPECT_EQ(nullptr, aLink_GetPacket(never));
  EXPECT_EQ(0u, aLink_DrainPackets(
                    never, [](const aPacket*, const void*) { return true; }, nullptr));
  EXPECT_EQ(aErrParam, aLink_InstallUserPacketFilter(never, nullptr, nullptr));
  EXPECT_EQ(aErrParam, aLink_Sync(never));
  EXPECT_EQ(aErrParam, aLink_Reset(never));
  aLinkRef id = never;
  EXPECT_EQ(aErrParam, aLink_Destroy(&id));
  EXPECT_EQ(0u, id);
  EXPECT_EQ(0u, aLink_CreateSerial(1, "/dev/null", 12345)); // not a supported speed
  EXPECT_EQ(0u, aLink_CreateSerial(1, "/nonexistent/tty", 115200));
}

TEST(LinkRegistry, SameModuleSharesOneLinkUntilTheLastUseGoes) {
  auto module = Module::startTcp(Options{kAddress});
  ASSERT_TRUE(module);
  aLinkRef first = aLink_CreateTCPIP(0x2000, loopback(), module->port());
  aLinkRef second = aLink_CreateTCPIP(0x2000, loopback(), module->port());
  ASSERT_NE(0u, first);
  EXPECT_EQ(first, second);
  EXPECT_FALSE(module->waitUntil([](const Observed& o) { return o.connections > 1; }, 100));

  auto otherModule = Module::startTcp(Options{kAddress});
  ASSERT_TRUE(otherModule);
  aLinkRef other = aLink_CreateTCPIP(0x2001, loopback(), otherModule->port());
  EXPECT_NE(first, other);
  EXPECT_GT(other, first); // ids count up
  aLink_Destroy(&other);

  const aLinkRef id = first;
  EXPECT_EQ(aErrNone, aLink_Destroy(&first));
  EXPECT_EQ(0u, first);
  EXPECT_EQ(aLINK_RUNNING, aLink_GetStatus(id));
  EXPECT_TRUE(echoWorks(id, 1));
  EXPECT_EQ(aErrNone, aLink_Destroy(&second));
  EXPECT_EQ(aLINK_NOSTREAM, aLink_GetStatus(id));
  ASSERT_TRUE(module->waitUntil([](const Observed& o) { return o.disconnects == 1; }, 5000));

  // A new link for the module gets a new id.
  LinkUse again(aLink_CreateTCPIP(0x2000, loopback(), module->port()));
  EXPECT_GT(again.id(), id);
}

TEST(LinkRegistry, ConcurrentCreateAndDestroyNeverHandOutADyingLink) {
  auto module = Module::startTcp(Options{kAddress});
  ASSERT_TRUE(module);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8; ++i) {
        aLinkRef id = aLink_CreateTCPIP(0x2100, loopback(), module->port());
        // Whatever the other threads do, a link handed out is usable until released.
        if (!id || aLink_PutPacket(id, makePacket(kAddress, {9, uint8_t(t), uint8_t(i)}).get()))
          ++failures;
        if (aLink_Destroy(&id) != aErrNone) ++failures;
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(0, failures);
}

TEST(LinkRegistry, CallsRacingTheLastDestroySeeTheLinkOrNoLink) {
  auto module = Module::startTcp(Options{kAddress});
  ASSERT_TRUE(module);
  aLinkRef id = aLink_CreateTCPIP(0x2150, loopback(), module->port());
  ASSERT_NE(0u, id);
  ASSERT_EQ(aErrNone, aLink_PacketDebug_Enable(id));
  std::atomic<bool> stop{false};
  std::atomic<int> goneSeen{0};
  std::vector<std::thread> users;
  for (int t = 0; t < 3; ++t) {
    users.emplace_back([&, t] {
      const uint8_t any = 5;
      uint8_t type = 0, length = 0, buffer[64];
      while (!stop) {
        switch (t) {
        case 0:
          if (aLink_PutPacket(id, makePacket(kAddress, {5, 1}).get()) == aErrParam) ++goneSeen;
          break;
        case 1:
          PacketPtr(aLink_AwaitFirst(id, commandFilter, &any, 5));
          if (aLink_GetStatus(id) == aLINK_NOSTREAM) ++goneSeen;
          break;
        default:
          length = sizeof buffer;
          if (aLink_PacketDebug_Read(id, &type, &length, buffer) == aErrParam) ++goneSeen;
          aLink_EnablePooledPackets(id, t & 1);
          break;
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  aLinkRef doomed = id;
  EXPECT_EQ(aErrNone, aLink_Destroy(&doomed));
  EXPECT_TRUE(eventually([&] { return goneSeen >= 3; }));
  stop = true;
  for (auto& t : users)
    t.join();
}

TEST(LinkLifecycle, ResetReconnectsToTheSameAddressAndDropsTheFilter) {
  auto module = Module::startTcp(Options{kAddress});
  ASSERT_TRUE(module);
  LinkUse link(openLink(*module, 0x2200));
  ASSERT_NE(0u, link.id());
  aLinkUserFilter takeAll = [](const aPacket*, void*) { return true; };
  ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(link.id(), takeAll, nullptr));
  ASSERT_EQ(aErrNone, aLink_PacketDebug_Enable(link.id()));

  ASSERT_TRUE(module->waitUntil([](const Observed& o) { return o.forceRoutes.size() == 1; }, 5000));

  EXPECT_EQ(aErrNone, aLink_Reset(link.id()));
  EXPECT_EQ(aLINK_RUNNING, aLink_GetStatus(link.id()));
  // A second connection to the same listener, and the route command of the new start.
  ASSERT_TRUE(module->waitUntil(
      [](const Observed& o) {
        return o.connections == 2 && o.forceRoutes.size() >= 2 && o.forceRoutes.back() == 1;
      },
      5000));
  EXPECT_TRUE(echoWorks(link.id(), 2)); // the filter that took everything is gone
  EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Disable(link.id())); // so is the log
}

TEST(LinkLifecycle, StopAndStartAgain) {
  auto module = Module::startTcp(Options{kAddress});
  ASSERT_TRUE(module);
  LinkUse link(openLink(*module, 0x2250));
  ASSERT_NE(0u, link.id());
  EXPECT_EQ(aErrNone, aLink_Stop(link.id()));
  EXPECT_EQ(aLINK_STOPPED, aLink_GetStatus(link.id()));
  EXPECT_EQ(aErrNone, aLink_Stop(link.id())); // stopping a stopped link does nothing
  const uint8_t echo = kCmdEcho;
  EXPECT_EQ(nullptr, aLink_AwaitFirst(link.id(), commandFilter, &echo, 5000)); // at once
  ASSERT_TRUE(module->waitUntil(
      [](const Observed& o) {
        return o.forceRoutes == std::vector<uint8_t>{1, 0};
      },
      5000));

  EXPECT_EQ(aErrNone, aLink_Start(link.id()));
  EXPECT_EQ(aErrNone, aLink_Start(link.id())); // starting a running link does nothing
  EXPECT_EQ(aLINK_RUNNING, aLink_GetStatus(link.id()));
  EXPECT_TRUE(echoWorks(link.id(), 9));
  EXPECT_EQ((std::vector<uint8_t>{1, 0, 1}), module->observed().forceRoutes);
}

TEST(LinkLifecycle, ResetOfALinkWithoutAddressLeavesItAlone) {
  auto module = Module::startTcp(Options{kAddress});
  ASSERT_TRUE(module);
  aStreamRef stream = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateSocket(loopback(), module->port(), &stream));
  LinkUse link(aLink_Create(stream));
  ASSERT_NE(0u, link.id());
  EXPECT_EQ(aErrParam, aLink_Reset(link.id()));
  EXPECT_EQ(aLINK_RUNNING, aLink_GetStatus(link.id()));
  EXPECT_TRUE(echoWorks(link.id(), 3));
}

TEST(LinkLifecycle, PeerThatDisappears) {
  auto module = Module::startTcp(Options{kAddress});
  ASSERT_TRUE(module);
  const uint16_t port = module->port();
  LinkUse link(aLink_CreateTCPIP(0x2300, loopback(), port));
  ASSERT_NE(0u, link.id());
  ASSERT_TRUE(echoWorks(link.id(), 4));

  module.reset(); // connection and listener gone
  EXPECT_TRUE(eventually([&] { return aLink_GetStatus(link.id()) != aLINK_RUNNING; }));
  const uint8_t echo = kCmdEcho;
  // Not running: an await gives up at once rather than sitting out its time-out.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(nullptr, aLink_AwaitFirst(link.id(), commandFilter, &echo, 30000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  // Packets queued for the dead peer do not hold the teardown up for long.
  for (int i = 0; i < 200; ++i)
    aLink_PutPacket(link.id(), makePacket(kAddress, {5, static_cast<uint8_t>(i)}).get());
  EXPECT_NE(aErrNone, aLink_Reset(link.id())); // nobody listens any more
  EXPECT_EQ(aLINK_NOSTREAM, aLink_GetStatus(link.id()));
  EXPECT_EQ(aErrNone, link.release());
}

// A peer that stops reading, over TCP and over a serial line: once the transport's buffers
// are full, writes end with an error instead of blocking, so that the link still stops.
void stopIsBoundedWhenThePeerStopsReading(bool overPty) {
  auto module = overPty ? Module::startPty(Options{kAddress}) : Module::startTcp(Options{kAddress});
  ASSERT_TRUE(module);
  aLinkRef id = openLink(*module, 0x2400);
  ASSERT_NE(0u, id);
  module->stallReader(true);
  // Batched writes fill the transport's buffers quickly; once they are full every write
  // waits out its retries or its time-out and the outgoing queue stays full.
  ASSERT_EQ(aErrNone, aLink_EnablePooledPackets(id, true));
  const std::vector<uint8_t> data(28, 0x55);
  int refusedInARow = 0;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (refusedInARow < 50 && std::chrono::steady_clock::now() < giveUp) {
    if (aLink_PutPacket(id, makePacket(kAddress, data).get()) == aErrNone) {
      refusedInARow = 0;
    } else {
      ++refusedInARow;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  ASSERT_EQ(50, refusedInARow);
  // One packet a write from here: a flush that went on past write errors would take
  // about ten minutes.
  ASSERT_EQ(aErrNone, aLink_EnablePooledPackets(id, false));
  std::atomic<bool> done{false};
  std::thread destroyer([&] {
    aLink_Destroy(&id);
    done = true;
  });
  const bool finished = eventually([&] { return done.load(); }, 20000);
  module->stallReader(false);
  destroyer.join();
  EXPECT_TRUE(finished);
}

TEST(LinkLifecycle, StopIsBoundedWhenThePeerStopsReading) {
  for (bool overPty : {false, true}) {
    SCOPED_TRACE(overPty ? "pseudo-terminal" : "TCP");
    stopIsBoundedWhenThePeerStopsReading(overPty);
  }
}

TEST(LinkLifecycle, QueueFailureIsReportedAndRecovers) {
  auto module = Module::startTcp(Options{kAddress});
  ASSERT_TRUE(module);
  LinkUse link(openLink(*module, 0x2500));
  ASSERT_NE(0u, link.id());
  // Nobody reads the incoming queue; the module sends more than it holds.
  for (int i = 0; i < 1100; ++i)
    module->send(Packet{kAddress, {5, static_cast<uint8_t>(i)}});
  ASSERT_TRUE(eventually([&] { return aLink_GetStatus(link.id()) == aLINK_QUEUEERROR; }));
  const uint8_t echo = kCmdEcho;
  EXPECT_EQ(nullptr, aLink_AwaitFirst(link.id(), commandFilter, &echo, 5000));

  // Once there is room again, the next packet queued brings the link back.
  EXPECT_EQ(1000u, aLink_DrainPackets(
                       link.id(), [](const aPacket*, const void*) { return true; }, nullptr));
  module->send(Packet{kAddress, {5, 0}});
  EXPECT_TRUE(eventually([&] { return aLink_GetStatus(link.id()) == aLINK_RUNNING; }));
  EXPECT_TRUE(echoWorks(link.id(), 6));
  EXPECT_EQ(aLINK_RUNNING, aLink_GetStatus(link.id()));
  // A requested synchronisation is not lost to the in-pipe's own status changes.
  EXPECT_EQ(aErrNone, aLink_Sync(link.id()));
}

// Time-outs at the edges: "no limit" (the largest value) still waits for the answer, and a
// wait without a filter gives up at once instead of spinning until its time-out.
TEST(LinkLifecycle, AwaitFirstTimeOutEdges) {
  auto module = Module::startTcp(Options{kAddress});
  ASSERT_TRUE(module);
  LinkUse link(openLink(*module, 0x2550));
  ASSERT_NE(0u, link.id());
  module->delayAll(200); // the echo comes well after the wait has begun
  PacketPtr request = makePacket(kAddress, {kCmdEcho, 0x31});
  ASSERT_EQ(aErrNone, aLink_PutPacket(link.id(), request.get()));
  const uint8_t echo = kCmdEcho;
  PacketPtr reply(aLink_AwaitFirst(link.id(), commandFilter, &echo, ULONG_MAX));
  ASSERT_TRUE(reply);
  EXPECT_EQ((std::vector<uint8_t>{kCmdEcho, 0x31}), dataOf(reply.get()));
  module->delayAll(0);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(nullptr, aLink_AwaitFirst(link.id(), nullptr, nullptr, 30000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(LinkLifecycle, CreateDestroyChurnLeaksNoThreadsOrDescriptors) {
  auto tcp = Module::startTcp(Options{kAddress});
  auto pty = Module::startPty(Options{kAddress});
  ASSERT_TRUE(tcp && pty);
  // One round first, so that lazily made process-wide state is not counted as a leak.
  {
    LinkUse warm(aLink_CreateTCPIP(0x2600, loopback(), tcp->port()));
    ASSERT_NE(0u, warm.id());
  }
  const size_t fds = entriesIn("/proc/self/fd");
  const size_t tasks = entriesIn("/proc/self/task");
  for (int i = 0; i < 20; ++i) {
    LinkUse viaTcp(aLink_CreateTCPIP(0x2600, loopback(), tcp->port()));
    LinkUse viaPty(aLink_CreateSerial(0x2601, pty->ptyPath().c_str(), 115200));
    ASSERT_NE(0u, viaTcp.id());
    ASSERT_NE(0u, viaPty.id());
    if (i % 5 == 0) {
      EXPECT_EQ(aErrNone, aLink_Sync(viaTcp.id()));
    }
    EXPECT_TRUE(echoWorks(viaTcp.id(), static_cast<uint8_t>(i)));
  }
  // The module threads may still be closing their ends; ours must all be gone.
  EXPECT_TRUE(eventually([&] { return entriesIn("/proc/self/fd") <= fds; }));
  EXPECT_TRUE(eventually([&] { return entriesIn("/proc/self/task") <= tasks; }));
}

} // namespace
