// COBS encoding and decoding throughput, with a plain copy of the same bytes as the yardstick,
// over frame-sized blocks (a packet's wire form and CRC) and over large blocks.
#include "link/cobs.h"
#include "link/crc8.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

template <typename F> double megabytesPerSecond(size_t bytesPerCall, F&& call) {
  size_t calls = 0;
  const auto start = Clock::now();
  auto now = start;
  do {
    for (int i = 0; i < 1000; ++i)
      call();
    calls += 1000;
    now = Clock::now();
  } while (now - start < std::chrono::milliseconds(500));
  const double seconds = std::chrono::duration<double>(now - start).count();
  return bytesPerCall * static_cast<double>(calls) / seconds / 1e6;
}

volatile uint8_t sink;

void run(const char* label, size_t size) {
  std::mt19937 random(42);
  std::vector<uint8_t> plain(size);
  for (auto& b : plain)
    b = static_cast<uint8_t>(random() % 8 == 0 ? 0 : random());
  std::vector<uint8_t> encoded(cobs_MaxEncodedLength(size));
  std::vector<uint8_t> decoded(size + 1);
  std::vector<uint8_t> copy(size);
  const size_t n = cobs_Encode(plain.data(), size, encoded.data(), encoded.size());

  const double copyRate = megabytesPerSecond(size, [&] {
    std::memcpy(copy.data(), plain.data(), size);
    sink = copy[size / 2];
  });
  const double encodeRate = megabytesPerSecond(size, [&] {
    sink = static_cast<uint8_t>(cobs_Encode(plain.data(), size, encoded.data(), encoded.size()));
  });
  size_t out = 0;
  const double decodeRate = megabytesPerSecond(
      size, [&] { sink = cobs_Decode(encoded.data(), n, decoded.data(), decoded.size(), &out); });
  const double crcRate = megabytesPerSecond(size, [&] { sink = crc8_Compute(plain.data(), size); });
  std::printf("%-22s memcpy %9.1f MB/s  encode %8.1f MB/s  decode %8.1f MB/s  crc8 %8.1f MB/s\n",
              label, copyRate, encodeRate, decodeRate, crcRate);
}

} // namespace

int main() {
  run("31-byte frames", 31);
  run("64 KiB blocks", 64 * 1024);
  return 0;
}
