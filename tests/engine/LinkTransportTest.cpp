// The link engine against the simulated module, over TCP and over a pseudo-terminal with
// COBS framing.
#include "EngineSupport.h"

#include <atomic>
#include <mutex>

using namespace enginetest;
using simmodule::Module;
using simmodule::Observed;
using simmodule::Options;
using simmodule::Packet;

namespace {

constexpr uint8_t kAddress = 6;
constexpr uint8_t kCmdData = 5;
constexpr uint8_t kCmdEcho = simmodule::kCmdEcho;

class LinkOverTransport : public ::testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    Options options;
    options.address = kAddress;
    module = GetParam() ? Module::startPty(options) : Module::startTcp(options);
    ASSERT_TRUE(module);
  }

  std::unique_ptr<Module> module;
};

TEST_P(LinkOverTransport, CreatesSyncsAndAnswersHeartbeats) {
  LinkUse link(openLink(*module, 0x1000));
  ASSERT_NE(0u, link.id());
  EXPECT_EQ(aLINK_RUNNING, aLink_GetStatus(link.id()));
  ASSERT_TRUE(module->waitUntil([](const Observed& o) { return o.forceRoutes.size() == 1; }, 5000));
  EXPECT_EQ(1, module->observed().forceRoutes[0]);

  EXPECT_EQ(aErrNone, aLink_Sync(link.id()));
  EXPECT_GE(module->observed().addressQueries, 1u);
  EXPECT_EQ(aLINK_RUNNING, aLink_GetStatus(link.id()));
  // Sync leaves nothing of its exchange behind.
  EXPECT_EQ(nullptr, PacketPtr(aLink_GetPacket(link.id())));

  module->setHeartbeatPeriod(10);
  ASSERT_TRUE(module->waitUntil([](const Observed& o) { return o.heartbeatAnswers >= 5; }, 5000));
  module->setHeartbeatPeriod(0);
  EXPECT_EQ(0u, module->observed().heartbeatWrong);
  // Heartbeats are answered by the engine and never reach the caller.
  EXPECT_EQ(nullptr, PacketPtr(aLink_GetPacket(link.id())));
}

TEST_P(LinkOverTransport, PacketsFlowBothWaysInOrder) {
  LinkUse link(openLink(*module, 0x1001));
  ASSERT_NE(0u, link.id());
  constexpr int kCount = 100;
  for (int i = 0; i < kCount; ++i) {
    PacketPtr out = makePacket(kAddress, {kCmdData, static_cast<uint8_t>(i), 0x20});
    ASSERT_EQ(aErrNone, aLink_PutPacket(link.id(), out.get()));
  }
  for (int i = 0; i < kCount; ++i)
    ASSERT_TRUE(module->send(Packet{kAddress, {kCmdData, static_cast<uint8_t>(i)}}));

  for (int i = 0; i < kCount; ++i) {
    PacketPtr in(aLink_AwaitPacket(link.id(), 5000));
    ASSERT_TRUE(in) << i;
    EXPECT_EQ(kAddress, in->address);
    EXPECT_EQ((std::vector<uint8_t>{kCmdData, static_cast<uint8_t>(i)}), dataOf(in.get()));
  }
  ASSERT_TRUE(module->waitUntil([](const Observed& o) { return o.ordinaryIn == kCount; }, 5000));
  const std::vector<Packet> received = module->takeReceived();
  for (int i = 0; i < kCount; ++i)
    EXPECT_EQ((Packet{kAddress, {kCmdData, static_cast<uint8_t>(i), 0x20}}), received[i]);
}

TEST_P(LinkOverTransport, ConcurrentSendersKeepTheirOwnOrder) {
  LinkUse link(openLink(*module, 0x1008));
  ASSERT_NE(0u, link.id());
  constexpr int kSenders = 4;
  constexpr int kEach = 150;
  std::vector<std::thread> senders;
  for (int t = 0; t < kSenders; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        if (t == 1 && i == kEach / 2) aLink_EnablePooledPackets(link.id(), true);
        PacketPtr out =
            makePacket(kAddress, {kCmdData, static_cast<uint8_t>(t), static_cast<uint8_t>(i)});
        while (aLink_PutPacket(link.id(), out.get()) != aErrNone)
          std::this_thread::yield(); // queue full: let the writer catch up
      }
    });
  }
  for (auto& s : senders)
    s.join();
  ASSERT_TRUE(
      module->waitUntil([](const Observed& o) { return o.ordinaryIn == kSenders * kEach; }, 10000));
  int next[kSenders] = {};
  for (const Packet& p : module->takeReceived()) {
    ASSERT_EQ(3u, p.data.size());
    ASSERT_LT(p.data[1], kSenders);
    EXPECT_EQ(next[p.data[1]]++, p.data[2]) << "sender " << int(p.data[1]);
  }
}

TEST_P(LinkOverTransport, AwaitFirstPicksTheMatchingPacketAndLeavesTheRest) {
  LinkUse link(openLink(*module, 0x1002));
  ASSERT_NE(0u, link.id());
  // Unrelated traffic first, then the echo the caller waits for.
  module->send(Packet{kAddress, {kCmdData, 1}});
  module->send(Packet{kAddress, {kCmdData, 2}});
  PacketPtr request = makePacket(kAddress, {kCmdEcho, 0x11, 0x22});
  ASSERT_EQ(aErrNone, aLink_PutPacket(link.id(), request.get()));

  const uint8_t echo = kCmdEcho;
  PacketPtr reply(aLink_AwaitFirst(link.id(), commandFilter, &echo, 5000));
  ASSERT_TRUE(reply);
  EXPECT_EQ((std::vector<uint8_t>{kCmdEcho, 0x11, 0x22}), dataOf(reply.get()));

  const uint8_t data = kCmdData;
  EXPECT_EQ(nullptr, PacketPtr(aLink_AwaitFirst(link.id(), commandFilter, &echo, 50)));
  PacketPtr first(aLink_AwaitFirst(link.id(), commandFilter, &data, 5000));
  ASSERT_TRUE(first);
  EXPECT_EQ(1, first->data[1]);
  EXPECT_EQ(1u, aLink_DrainPackets(link.id(), commandFilter, &data));
}

TEST_P(LinkOverTransport, ResynchronisesAfterGarbage) {
  LinkUse link(openLink(*module, 0x1003));
  ASSERT_NE(0u, link.id());
  ASSERT_TRUE(module->waitUntil([](const Observed& o) { return o.forceRoutes.size() == 1; }, 5000));

  const struct {
    const char* what;
    std::function<bool()> inject;
  } faults[] = {
      {"odd address",
       [&] {
         return module->sendFrame({0xAB, 0x00});
       }},
      {"corrupt frame or zero address", [&] { return module->sendCorrupt(); }},
      {"length above 28",
       [&] {
         return module->sendFrame({kAddress, 29});
       }},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.what);
    const uint64_t queriesBefore = module->observed().addressQueries;
    ASSERT_TRUE(fault.inject());
    // The engine asks for the module's address (six requests an attempt) until it hears
    // the answer twice over, then runs again.
    ASSERT_TRUE(module->waitUntil(
        [&](const Observed& o) { return o.addressQueries >= queriesBefore + 6; }, 5000));
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(link.id()) == aLINK_RUNNING; }));

    // Traffic works again; leftover answers to the requests are empty packets.
    PacketPtr request = makePacket(kAddress, {kCmdEcho, 0x42});
    ASSERT_EQ(aErrNone, aLink_PutPacket(link.id(), request.get()));
    const uint8_t echo = kCmdEcho;
    PacketPtr reply(aLink_AwaitFirst(link.id(), commandFilter, &echo, 5000));
    ASSERT_TRUE(reply);
    EXPECT_EQ((std::vector<uint8_t>{kCmdEcho, 0x42}), dataOf(reply.get()));
    aLink_DrainPackets(
        link.id(), [](const aPacket*, const void*) { return true; }, nullptr);
  }
}

TEST_P(LinkOverTransport, UserFilterTakesPacketsBeforeTheQueue) {
  LinkUse link(openLink(*module, 0x1004));
  ASSERT_NE(0u, link.id());
  struct Taken {
    std::mutex mutex;
    std::vector<uint8_t> values;
  } taken;
  aLinkUserFilter filter = [](const aPacket* packet, void* reference) {
    if (packet->dataSize < 2 || packet->data[0] != 7) return false;
    auto* t = static_cast<Taken*>(reference);
    std::lock_guard<std::mutex> lock(t->mutex);
    t->values.push_back(packet->data[1]);
    return true;
  };
  ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(link.id(), filter, &taken));
  module->send(Packet{kAddress, {7, 1}});
  module->send(Packet{kAddress, {kCmdData, 2}});
  module->send(Packet{kAddress, {7, 3}});
  PacketPtr queued(aLink_AwaitPacket(link.id(), 5000));
  ASSERT_TRUE(queued);
  EXPECT_EQ((std::vector<uint8_t>{kCmdData, 2}), dataOf(queued.get()));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(taken.mutex);
    return taken.values.size() == 2;
  }));
  EXPECT_EQ(nullptr, PacketPtr(aLink_AwaitPacket(link.id(), 50)));

  ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(link.id(), nullptr, nullptr));
  module->send(Packet{kAddress, {7, 4}});
  PacketPtr after(aLink_AwaitPacket(link.id(), 5000));
  ASSERT_TRUE(after);
  EXPECT_EQ((std::vector<uint8_t>{7, 4}), dataOf(after.get()));
}

TEST_P(LinkOverTransport, DestroyFlushesQueuedPacketsThenTheRouteOff) {
  // Record the order in which everything arrives.
  std::mutex mutex;
  std::vector<Packet> arrivals;
  module->addHandler([&](Module&, const Packet& packet) {
    std::lock_guard<std::mutex> lock(mutex);
    arrivals.push_back(packet);
    return false;
  });
  aLinkRef id = openLink(*module, 0x1005);
  ASSERT_NE(0u, id);
  ASSERT_EQ(aErrNone, aLink_EnablePooledPackets(id, true));
  constexpr int kCount = 40;
  for (int i = 0; i < kCount; ++i) {
    PacketPtr out = makePacket(kAddress, {kCmdData, static_cast<uint8_t>(i)});
    ASSERT_EQ(aErrNone, aLink_PutPacket(id, out.get()));
  }
  EXPECT_EQ(aErrNone, aLink_Destroy(&id));
  EXPECT_EQ(0u, id);
  ASSERT_TRUE(module->waitUntil(
      [](const Observed& o) { return o.forceRoutes.size() == 2 && o.ordinaryIn == kCount; }, 5000));
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(static_cast<size_t>(kCount + 2), arrivals.size());
  EXPECT_EQ((Packet{cmdFORCEROUTE, {1}}), arrivals.front());
  for (int i = 0; i < kCount; ++i)
    EXPECT_EQ((Packet{kAddress, {kCmdData, static_cast<uint8_t>(i)}}), arrivals[i + 1]);
  EXPECT_EQ((Packet{cmdFORCEROUTE, {0}}), arrivals.back());
}

TEST_P(LinkOverTransport, DestroyWakesThreadsThatAwait) {
  aLinkRef id = openLink(*module, 0x1006);
  ASSERT_NE(0u, id);
  std::atomic<int> returned{0};
  std::vector<std::thread> waiters;
  const uint8_t never = 0xEE;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&, i] {
      PacketPtr packet(i == 0 ? aLink_AwaitPacket(id, 20000)
                              : aLink_AwaitFirst(id, commandFilter, &never, 20000));
      EXPECT_FALSE(packet);
      ++returned;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  aLinkRef doomed = id;
  EXPECT_EQ(aErrNone, aLink_Destroy(&doomed));
  // Bound on correctness, not speed: the waiters must not sit out their 20 s.
  EXPECT_TRUE(eventually([&] { return returned == 3; }, 5000));
  for (auto& t : waiters)
    t.join();
  EXPECT_EQ(aLINK_NOSTREAM, aLink_GetStatus(id));
  EXPECT_EQ(aErrParam, aLink_PutPacket(id, makePacket(kAddress, {1}).get()));
}

TEST_P(LinkOverTransport, ResetReopensTheStreamAndRunsAgain) {
  LinkUse link(openLink(*module, 0x1007));
  ASSERT_NE(0u, link.id());
  ASSERT_TRUE(module->waitUntil([](const Observed& o) { return o.forceRoutes.size() == 1; }, 5000));
  ASSERT_EQ(aErrNone, aLink_Reset(link.id()));
  EXPECT_EQ(aLINK_RUNNING, aLink_GetStatus(link.id()));
  ASSERT_TRUE(module->waitUntil(
      [](const Observed& o) { return o.forceRoutes.size() >= 2 && o.forceRoutes.back() == 1; },
      5000));
  PacketPtr request = makePacket(kAddress, {kCmdEcho, 0x07});
  ASSERT_EQ(aErrNone, aLink_PutPacket(link.id(), request.get()));
  const uint8_t echo = kCmdEcho;
  PacketPtr reply(aLink_AwaitFirst(link.id(), commandFilter, &echo, 5000));
  ASSERT_TRUE(reply);
  EXPECT_EQ((std::vector<uint8_t>{kCmdEcho, 0x07}), dataOf(reply.get()));
}

TEST_P(LinkOverTransport, ModuleThatHangsUpLeavesALinkThatStillTearsDown) {
  aLinkRef id = openLink(*module, 0x1009);
  ASSERT_NE(0u, id);
  for (int i = 0; i < 50; ++i) // traffic in flight when the module goes
    aLink_PutPacket(id, makePacket(kAddress, {kCmdData, static_cast<uint8_t>(i)}).get());
  module->disconnectMidPacket(Packet{kAddress, {kCmdData, 1, 2, 3}}, 3);
  if (module->isPty()) {
    // The terminal is gone for good: reads fail and the link reports it.
    EXPECT_TRUE(eventually([&] { return aLink_GetStatus(id) == aLINK_READERROR; }));
    const uint8_t any = kCmdData;
    EXPECT_EQ(nullptr, PacketPtr(aLink_AwaitFirst(id, commandFilter, &any, 30000)));
  }
  std::atomic<bool> done{false};
  std::thread destroyer([&] {
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    done = true;
  });
  EXPECT_TRUE(eventually([&] { return done.load(); }, 20000));
  destroyer.join();
}

TEST_P(LinkOverTransport, SyncSurvivesLateAndLostAnswersWithoutFloodingTheModule) {
  LinkUse link(openLink(*module, 0x100A));
  ASSERT_NE(0u, link.id());
  const struct {
    const char* what;
    std::function<void()> fault;
  } faults[] = {
      {"late answers", [&] { module->delayAll(150); }},
      {"lost answers", [&] { module->dropNext(5); }},
  };
  for (const auto& row : faults) {
    SCOPED_TRACE(row.what);
    row.fault();
    const uint64_t before = module->observed().addressQueries;
    EXPECT_EQ(aErrNone, aLink_Sync(link.id()));
    module->delayAll(0);
    // Requests are repeated while the module is silent, but paced, not once per idle read.
    EXPECT_LT(module->observed().addressQueries - before, 100u);
    EXPECT_EQ(aLINK_RUNNING, aLink_GetStatus(link.id()));
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkOverTransport, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pty" : "Tcp"; });

} // namespace
