// Packet FIFO: ordering, capacity, filters, waiting, destruction, and many threads at once.
#include "link/packetfifo.h"
#include "tests/support/PacketPtr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

// A packet carrying a 32-bit number, to follow it through the queue.
PacketPtr numbered(uint32_t n, uint8_t command = 7) {
  return makePacket(4, {command, static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                        static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
}

uint32_t numberOf(const aPacket* p) {
  return (uint32_t(p->data[1]) << 24) | (uint32_t(p->data[2]) << 16) | (uint32_t(p->data[3]) << 8) |
         p->data[4];
}

bool commandIs3(const aPacket* p, const void*) {
  return p->dataSize > 0 && p->data[0] == 3;
}
bool addressIs(const aPacket* p, const void* ref) {
  return p->address == *static_cast<const uint8_t*>(ref);
}
bool acceptAll(const aPacket*, const void*) {
  return true;
}

class Fifo : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_NE(fifo = aPacketFifo_Create(), 0u); }
  void TearDown() override {
    if (fifo) {
      EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    }
  }
  aPacketFifoHandle fifo = 0;
};

TEST(FifoRegistry, HandlesAndDestroy) {
  aPacketFifoHandle a = aPacketFifo_Create();
  aPacketFifoHandle b = aPacketFifo_Create();
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  const aPacketFifoHandle old = a;
  EXPECT_EQ(aPacketFifo_Destroy(&a), aErrNone);
  EXPECT_EQ(a, 0u);
  aPacketFifoHandle again = old;
  EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);

  // A handle that names no queue is harmless everywhere.
  PacketPtr p = numbered(1);
  for (aPacketFifoHandle none : {aPacketFifoHandle(0), old}) {
    EXPECT_EQ(aPacketFifo_Put(none, p.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(none), 0u);
    EXPECT_EQ(aPacketFifo_Get(none), nullptr);
    EXPECT_EQ(aPacketFifo_Await(none, 10), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(none, acceptAll, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(none, acceptAll, nullptr, 10), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(none, acceptAll, nullptr), 0u);
  }
  EXPECT_EQ(aPacketFifo_Destroy(&b), aErrNone);
}

TEST_F(Fifo, OrderAndPrivateCopies) {
  PacketPtr p = numbered(1);
  ASSERT_EQ(aPacketFifo_Put(fifo, p.get()), aErrNone);
  p->data[4] = 99; // the queued copy is not the caller's packet
  PacketPtr q = numbered(2);
  ASSERT_EQ(aPacketFifo_Put(fifo, q.get()), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 2u);
  PacketPtr first(aPacketFifo_Get(fifo));
  PacketPtr second(aPacketFifo_Get(fifo));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(numberOf(first.get()), 1u);
  EXPECT_EQ(numberOf(second.get()), 2u);
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);

  aPacket broken = *p;
  broken.check = 0;
  EXPECT_EQ(aPacketFifo_Put(fifo, &broken), aErrParam);
  EXPECT_EQ(aPacketFifo_Put(fifo, nullptr), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

// A full queue refuses the newcomer and loses nothing it holds.
TEST_F(Fifo, FullQueueRefusesAndKeepsItsPackets) {
  for (uint32_t i = 0; i < aPACKETFIFO_CAPACITY; ++i)
    ASSERT_EQ(aPacketFifo_Put(fifo, numbered(i).get()), aErrNone) << i;
  EXPECT_EQ(aPacketFifo_Put(fifo, numbered(5000).get()), aErrOverrun);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), aPACKETFIFO_CAPACITY);
  PacketPtr front(aPacketFifo_Get(fifo));
  EXPECT_EQ(numberOf(front.get()), 0u);
  EXPECT_EQ(aPacketFifo_Put(fifo, numbered(1000).get()), aErrNone);
  uint32_t expect = 1;
  while (PacketPtr p{aPacketFifo_Get(fifo)})
    EXPECT_EQ(numberOf(p.get()), expect++);
  EXPECT_EQ(expect, 1001u);
}

TEST_F(Fifo, GetFirstAndDrainKeepTheRestInOrder) {
  for (uint8_t address : {4, 6, 4, 6})
    aPacketFifo_Put(fifo, makePacket(address, {1}).get());
  aPacketFifo_Put(fifo, makePacket(8, {3, 0x42}).get());
  aPacketFifo_Put(fifo, makePacket(8, {3, 0x43}).get());
  PacketPtr three(aPacketFifo_GetFirst(fifo, commandIs3, nullptr));
  ASSERT_TRUE(three);
  EXPECT_EQ(three->data[1], 0x42);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 5u);
  EXPECT_EQ(aPacketFifo_GetFirst(fifo, nullptr, nullptr), nullptr);

  const uint8_t four = 4;
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, addressIs, &four), 2u);
  std::vector<uint8_t> left;
  while (PacketPtr p{aPacketFifo_Get(fifo)})
    left.push_back(p->address);
  EXPECT_EQ(left, (std::vector<uint8_t>{6, 6, 8}));

  for (int i = 0; i < 3; ++i)
    aPacketFifo_Put(fifo, numbered(i).get());
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, acceptAll, nullptr), 3u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(Fifo, AwaitWakesOnPutAndTimesOut) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, acceptAll, nullptr, 0), nullptr);
  EXPECT_EQ(aPacketFifo_Await(fifo, 30), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    aPacketFifo_Put(fifo, numbered(42).get());
  });
  // The longest time-out still waits (it must not overflow into a deadline in the past).
  PacketPtr p(aPacketFifo_Await(fifo, static_cast<unsigned long>(-1)));
  producer.join();
  ASSERT_TRUE(p);
  EXPECT_EQ(numberOf(p.get()), 42u);
}

// The first request on a fresh queue: the packet that answers it must be seen.
TEST_F(Fifo, AwaitFirstOnFreshQueue) {
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    aPacketFifo_Put(fifo, makePacket(4, {3, 1}).get());
  });
  PacketPtr p(aPacketFifo_AwaitFirst(fifo, commandIs3, nullptr, 10000));
  producer.join();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->data[1], 1);

  aPacketFifoHandle other = aPacketFifo_Create();
  aPacketFifo_Put(other, makePacket(4, {3, 2}).get());
  PacketPtr q(aPacketFifo_AwaitFirst(other, commandIs3, nullptr, 0));
  ASSERT_TRUE(q);
  aPacketFifo_Destroy(&other);
}

// Within one call the filter sees each packet once, however often the waiter wakes, and
// packets queued before the call are all seen on the first scan.
TEST_F(Fifo, AwaitFirstShowsEachPacketOnce) {
  for (uint32_t i = 0; i < 5; ++i)
    aPacketFifo_Put(fifo, numbered(i).get());
  struct Seen {
    std::map<uint32_t, int> count;
  } seen;
  auto filter = [](const aPacket* p, const void* ref) {
    auto* s = static_cast<Seen*>(const_cast<void*>(ref));
    ++s->count[numberOf(p)];
    return p->data[0] == 3;
  };
  std::thread producer([&] {
    for (uint32_t i = 5; i < 40; ++i) {
      aPacketFifo_Put(fifo, numbered(i).get());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    aPacketFifo_Put(fifo, numbered(40, 3).get());
  });
  PacketPtr p(aPacketFifo_AwaitFirst(fifo, filter, &seen, 10000));
  producer.join();
  ASSERT_TRUE(p);
  EXPECT_EQ(numberOf(p.get()), 40u);
  EXPECT_EQ(seen.count.size(), 41u);
  for (const auto& entry : seen.count)
    EXPECT_EQ(entry.second, 1) << entry.first;
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 40u);
}

// A waiter on an empty queue, and one whose filter rejects what arrives, both return null
// as soon as their queue is destroyed.
TEST_F(Fifo, DestroyWakesWaiters) {
  aPacketFifoHandle filtered = aPacketFifo_Create();
  std::atomic<int> returned{0};
  std::thread plain([handle = fifo, &returned] {
    EXPECT_EQ(aPacketFifo_Await(handle, 20000), nullptr);
    ++returned;
  });
  std::thread first([handle = filtered, &returned] {
    EXPECT_EQ(aPacketFifo_AwaitFirst(handle, commandIs3, nullptr, 20000), nullptr);
    ++returned;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  aPacketFifo_Put(filtered, numbered(1).get()); // rejected by the filter
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(returned, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
  EXPECT_EQ(aPacketFifo_Destroy(&filtered), aErrNone);
  plain.join();
  first.join();
  // Both returned long before their 20 s time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(returned, 2);
}

// Producers and consumers of every kind on one queue: each packet comes out exactly once.
TEST_F(Fifo, ManyProducersAndConsumers) {
  constexpr uint32_t kProducers = 4, kPerProducer = 2000, kTotal = kProducers * kPerProducer;
  std::mutex lock;
  std::vector<int> delivered(kTotal, 0);
  std::atomic<uint32_t> taken{0};
  auto record = [&](aPacket* p) {
    if (!p) return;
    {
      std::lock_guard<std::mutex> guard(lock);
      ++delivered[numberOf(p)];
    }
    ++taken;
    aPacket_Destroy(&p);
  };
  auto even = [](const aPacket* p, const void*) { return (p->data[4] & 1) == 0; };

  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < kProducers; ++t) {
    threads.emplace_back([&, t] {
      for (uint32_t i = 0; i < kPerProducer; ++i) {
        PacketPtr p = numbered(t * kPerProducer + i);
        while (aPacketFifo_Put(fifo, p.get()) == aErrOverrun)
          std::this_thread::yield();
      }
    });
  }
  for (int kind = 0; kind < 4; ++kind) {
    threads.emplace_back([&, kind] {
      for (int guard = 0; guard < 1000000 && taken < kTotal; ++guard) {
        switch (kind) {
        case 0:
          record(aPacketFifo_Await(fifo, 5));
          break;
        case 1:
          record(aPacketFifo_Get(fifo));
          break;
        case 2:
          record(aPacketFifo_AwaitFirst(fifo, even, nullptr, 5));
          break;
        default: {
          aPacket* p = aPacketFifo_GetFirst(fifo, even, nullptr);
          if (p)
            record(p);
          else
            std::this_thread::yield();
        }
        }
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(taken.load(), kTotal);
  for (uint32_t i = 0; i < kTotal; ++i)
    ASSERT_EQ(delivered[i], 1) << i;
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

// Queues made and destroyed while other threads use them.
TEST(FifoRegistry, DestroyDuringUse) {
  for (int round = 0; round < 20; ++round) {
    aPacketFifoHandle handle = aPacketFifo_Create();
    std::atomic<bool> stop{false};
    std::vector<std::thread> users;
    for (int i = 0; i < 3; ++i) {
      users.emplace_back([handle, i, &stop] {
        while (!stop) {
          if (i == 0) aPacketFifo_Put(handle, numbered(1).get());
          aPacket* p = i == 1 ? aPacketFifo_Await(handle, 2)
                              : aPacketFifo_AwaitFirst(handle, acceptAll, nullptr, 2);
          if (p) aPacket_Destroy(&p);
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
    stop = true;
    for (auto& t : users)
      t.join();
  }
}

} // namespace
