// Packet FIFO: put/get pairs per second with one producer and one waiting consumer.
#include "link/packetfifo.h"

#include <chrono>
#include <cstdio>
#include <thread>

int main() {
  constexpr int kPackets = 500000;
  aPacketFifoHandle fifo = aPacketFifo_Create();
  const uint8_t data[7] = {3, 0x48, 0x20, 1, 2, 3, 4};
  aPacket* packet = aPacket_CreateWithData(4, sizeof data, data);

  const auto start = std::chrono::steady_clock::now();
  std::thread producer([&] {
    for (int i = 0; i < kPackets; ++i)
      while (aPacketFifo_Put(fifo, packet) != aErrNone)
        std::this_thread::yield();
  });
  int received = 0;
  while (received < kPackets) {
    aPacket* p = aPacketFifo_Await(fifo, 1000);
    if (!p) break;
    aPacket_Destroy(&p);
    ++received;
  }
  producer.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("fifo: %d put/get pairs in %.3f s: %.0f pairs/s (one producer, one consumer)\n",
              received, seconds, received / seconds);

  // The same without a second thread: the cost of the operations themselves.
  const auto single = std::chrono::steady_clock::now();
  for (int i = 0; i < kPackets; ++i) {
    aPacketFifo_Put(fifo, packet);
    aPacket* p = aPacketFifo_Get(fifo);
    aPacket_Destroy(&p);
  }
  const double alone =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - single).count();
  std::printf("fifo: %d put/get pairs on one thread: %.0f pairs/s\n", kPackets, kPackets / alone);

  aPacket_Destroy(&packet);
  aPacketFifo_Destroy(&fifo);
  return received == kPackets ? 0 : 1;
}
