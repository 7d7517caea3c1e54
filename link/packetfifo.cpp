#include "link/packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

struct SerialPacket {
  PacketPtr packet;
  uint64_t id;
};

class packetFifo {
public:
  std::deque<SerialPacket> queue;
  std::mutex mutex;
  std::condition_variable cv;
  std::atomic<bool> alive{true};
  std::atomic<uint64_t> windowStart{0}; // id of the front entry, or the next id when empty
  std::atomic<uint64_t> nextId{0};

  // Both run with `mutex` held.
  void clearAndSyncWindow() {
    queue.clear();
    windowStart = nextId.load();
  }
  void syncWindow() { windowStart = queue.empty() ? nextId.load() : queue.front().id; }
  void eraseAndSyncWindow(std::deque<SerialPacket>::iterator first,
                          std::deque<SerialPacket>::iterator last) {
    queue.erase(first, last);
    syncWindow();
  }

  // Hands the entry's packet to the caller and removes the entry; on a failed copy the entry
  // stays.
  aPacket* take(std::deque<SerialPacket>::iterator entry) {
    aPacket* copy = aPacket_Copy(entry->packet.get());
    if (copy) eraseAndSyncWindow(entry, std::next(entry));
    return copy;
  }
};

typedef std::shared_ptr<packetFifo> FifoPtr;

std::mutex& sRegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<aPacketFifoHandle, FifoPtr>& sRegistry() {
  static std::map<aPacketFifoHandle, FifoPtr> registry;
  return registry;
}

std::atomic<uint64_t> sNextHandle{1};

FifoPtr sLookup(aPacketFifoHandle handle) {
  if (handle == 0) return nullptr;
  std::lock_guard<std::mutex> lock(sRegistryMutex());
  auto found = sRegistry().find(handle);
  return found == sRegistry().end() ? nullptr : found->second;
}

// A time-out too large for the clock (ULONG_MAX, say) waits for a year instead of
// overflowing into a deadline in the past.
std::chrono::steady_clock::time_point sDeadline(unsigned long timeout_ms) {
  constexpr unsigned long kLongest = 365ul * 24 * 3600 * 1000;
  const unsigned long ms = timeout_ms < kLongest ? timeout_ms : kLongest;
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

} // namespace

aPacketFifoHandle aPacketFifo_Create(void) {
  try {
    auto fifo = std::make_shared<packetFifo>();
    std::lock_guard<std::mutex> lock(sRegistryMutex());
    aPacketFifoHandle handle = 0;
    while (handle == 0)
      handle = sNextHandle++;
    sRegistry().emplace(handle, std::move(fifo));
    return handle;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoHandle* handle) {
  if (!handle) return aErrParam;
  try {
    FifoPtr fifo;
    {
      std::lock_guard<std::mutex> lock(sRegistryMutex());
      auto found = *handle ? sRegistry().find(*handle) : sRegistry().end();
      if (found == sRegistry().end()) return aErrNotFound;
      fifo = std::move(found->second);
      sRegistry().erase(found);
    }
    *handle = 0;
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      fifo->clearAndSyncWindow();
      fifo->alive = false;
    }
    fifo->cv.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

size_t aPacketFifo_GetLength(aPacketFifoHandle handle) {
  try {
    FifoPtr fifo = sLookup(handle);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->queue.size();
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet) {
  try {
    FifoPtr fifo = sLookup(handle);
    if (!fifo || !aPacket_IsValid(packet)) return aErrParam;
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      const uint64_t id = fifo->nextId++; // consumed even when the put fails
      // A full queue refuses the newcomer and keeps what it holds: the caller learns that
      // the packet was not queued, and nothing already queued is lost.
      if (fifo->queue.size() >= aPACKETFIFO_CAPACITY) return aErrOverrun;
      PacketPtr copy(aPacket_Copy(packet));
      if (!copy) return aErrParam;
      fifo->queue.push_back(SerialPacket{std::move(copy), id});
      fifo->syncWindow();
    }
    fifo->cv.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

aPacket* aPacketFifo_Get(aPacketFifoHandle handle) {
  return aPacketFifo_Await(handle, 0);
}

aPacket* aPacketFifo_Await(aPacketFifoHandle handle, unsigned long timeout_ms) {
  try {
    FifoPtr fifo = sLookup(handle);
    if (!fifo) return nullptr;
    const auto deadline = sDeadline(timeout_ms);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    fifo->cv.wait_until(lock, deadline, [&] { return !fifo->queue.empty() || !fifo->alive; });
    if (!fifo->alive || fifo->queue.empty()) return nullptr;
    return fifo->take(fifo->queue.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter,
                              const void* reference) {
  return aPacketFifo_AwaitFirst(handle, filter, reference, 0);
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter,
                                const void* reference, unsigned long timeout_ms) {
  if (!filter) return nullptr;
  try {
    FifoPtr fifo = sLookup(handle);
    if (!fifo) return nullptr;
    const auto deadline = sDeadline(timeout_ms);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    // Entries with an id below `unseen` have been shown to the filter in this call. Starting
    // at the window start, every entry already queued is tested on the first scan; ids only
    // rise, so later scans look at new arrivals only.
    uint64_t unseen = fifo->windowStart.load();
    std::deque<SerialPacket>::iterator accepted;
    bool found = false;
    auto scan = [&] {
      if (!fifo->alive) return true;
      for (auto entry = fifo->queue.begin(); entry != fifo->queue.end(); ++entry) {
        if (entry->id < unseen) continue;
        unseen = entry->id + 1;
        if (filter(entry->packet.get(), reference)) {
          accepted = entry;
          found = true;
          return true;
        }
      }
      return false;
    };
    fifo->cv.wait_until(lock, deadline, scan);
    if (!fifo->alive || !found) return nullptr;
    return fifo->take(accepted);
  } catch (...) {
    return nullptr;
  }
}

size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter,
                                const void* reference) {
  if (!filter) return 0;
  try {
    FifoPtr fifo = sLookup(handle);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    const size_t before = fifo->queue.size();
    auto tail = std::stable_partition(
        fifo->queue.begin(), fifo->queue.end(),
        [&](const SerialPacket& entry) { return !filter(entry.packet.get(), reference); });
    fifo->eraseAndSyncWindow(tail, fifo->queue.end());
    return before - fifo->queue.size();
  } catch (...) {
    return 0;
  }
}
