// Link engine over loopback TCP to the simulated module, against a raw socket client doing
// the same exchanges in the same run: request/reply round trips per second, one-way packets
// per second (single and pooled writes), and the CPU time an idle link costs.
//
//   bench_link [seconds of round trips, default 4] [idle seconds, default 10]
#include "link/aLink.h"
#include "peers/simmodule/SimModule.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kCmdEcho = simmodule::kCmdEcho;
constexpr uint8_t kCmdData = 5;
constexpr int kOneWayPackets = 100000;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool echoFilter(const aPacket* packet, const void* reference) {
  return packet->dataSize == 3 && packet->data[0] == kCmdEcho &&
         packet->data[1] == *static_cast<const uint8_t*>(reference);
}

// Round trips through the link for `seconds`: one echo request, then wait for its reply.
double linkRoundTrips(aLinkRef id, double seconds) {
  long count = 0;
  const auto start = Clock::now();
  while (since(start) < seconds) {
    const uint8_t seq = static_cast<uint8_t>(count);
    const uint8_t data[3] = {kCmdEcho, seq, 0};
    aPacket* request = aPacket_CreateWithData(kAddress, sizeof data, data);
    aLink_PutPacket(id, request);
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitFirst(id, echoFilter, &seq, 2000);
    if (!reply) break;
    aPacket_Destroy(&reply);
    ++count;
  }
  return count / since(start);
}

int rawConnect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool readExactly(int fd, uint8_t* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = recv(fd, buffer + done, length - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The same exchange with a plain blocking socket: write the request, read the reply.
double rawRoundTrips(int fd, double seconds) {
  long count = 0;
  const auto start = Clock::now();
  while (since(start) < seconds) {
    const uint8_t request[5] = {kAddress, 3, kCmdEcho, static_cast<uint8_t>(count), 0};
    uint8_t reply[5];
    if (send(fd, request, sizeof request, MSG_NOSIGNAL) != sizeof request) break;
    if (!readExactly(fd, reply, sizeof reply)) break;
    ++count;
  }
  return count / since(start);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double linkOneWay(simmodule::Module& module, bool pooled) {
  aLinkRef id = aLink_CreateTCPIP(2, htonl(INADDR_LOOPBACK), module.port());
  if (!id) return 0;
  aLink_EnablePooledPackets(id, pooled);
  const uint64_t before = module.observed().ordinaryIn;
  uint8_t data[7] = {kCmdData, 0x01, 0x20, 0, 0, 0, 0};
  aPacket* packet = aPacket_CreateWithData(kAddress, sizeof data, data);
  const auto start = Clock::now();
  for (int i = 0; i < kOneWayPackets; ++i) {
    // The queue holds 1000 packets; a full queue means the writer is behind: let it catch up.
    while (aLink_PutPacket(id, packet) != aErrNone)
      std::this_thread::yield();
  }
  module.waitUntil(
      [&](const simmodule::Observed& o) { return o.ordinaryIn >= before + kOneWayPackets; }, 60000);
  const double rate = (module.observed().ordinaryIn - before) / since(start);
  aPacket_Destroy(&packet);
  aLink_Destroy(&id);
  return rate;
}

double rawOneWay(simmodule::Module& module) {
  const int fd = rawConnect(module.port());
  if (fd < 0) return 0;
  module.waitUntil([](const simmodule::Observed& o) { return o.connections > 0; }, 5000);
  const uint64_t before = module.observed().ordinaryIn;
  const uint8_t packet[9] = {kAddress, 7, kCmdData, 0x01, 0x20, 0, 0, 0, 0};
  const auto start = Clock::now();
  for (int i = 0; i < kOneWayPackets; ++i)
    if (send(fd, packet, sizeof packet, MSG_NOSIGNAL) != sizeof packet) break;
  module.waitUntil(
      [&](const simmodule::Observed& o) { return o.ordinaryIn >= before + kOneWayPackets; }, 60000);
  const double rate = (module.observed().ordinaryIn - before) / since(start);
  close(fd);
  return rate;
}

} // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 4.0;
  const double idleSeconds = argc > 2 ? std::atof(argv[2]) : 10.0;
  simmodule::Options options;
  options.address = kAddress;
  options.keepReceived = 16;
  auto forLink = simmodule::Module::startTcp(options);
  auto forRaw = simmodule::Module::startTcp(options);
  if (!forLink || !forRaw) {
    std::fprintf(stderr, "bench_link: cannot start the simulated modules\n");
    return 1;
  }

  // The machine may be shared: raw and link measurements alternate in short rounds, and
  // the medians are compared.
  constexpr int kRounds = 9;
  const int rawFd = rawConnect(forRaw->port());
  aLinkRef rtLink = aLink_CreateTCPIP(1, htonl(INADDR_LOOPBACK), forLink->port());
  if (rawFd < 0 || !rtLink) return 1;
  std::vector<double> raws, links, ratios;
  for (int round = 0; round < kRounds; ++round) {
    raws.push_back(rawRoundTrips(rawFd, seconds / kRounds));
    links.push_back(linkRoundTrips(rtLink, seconds / kRounds));
    ratios.push_back(raws.back() > 0 ? links.back() / raws.back() : 0);
  }
  close(rawFd);
  aLink_Destroy(&rtLink);
  std::printf("round trips (median of %d rounds): link %.0f/s, raw socket %.0f/s, ratio %.2f "
              "(median ratio of a round %.2f)\n",
              kRounds, median(links), median(raws), median(links) / median(raws), median(ratios));

  const double rawOne = rawOneWay(*forRaw);
  const double linkSingle = linkOneWay(*forLink, false);
  const double linkPooled = linkOneWay(*forLink, true);
  std::printf("one-way packets (%d): link %.0f/s single writes, %.0f/s pooled; raw socket "
              "%.0f/s (one send a packet)\n",
              kOneWayPackets, linkSingle, linkPooled, rawOne);

  aLinkRef idle = aLink_CreateTCPIP(3, htonl(INADDR_LOOPBACK), forLink->port());
  if (!idle) return 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double cpuBefore = cpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
  const double cpu = cpuSeconds() - cpuBefore;
  const double wall = since(start);
  std::printf("idle link: %.3f s CPU over %.1f s (%.2f%% of a core; the process, simulated "
              "modules included)\n",
              cpu, wall, 100.0 * cpu / wall);
  aLink_Destroy(&idle);
  return 0;
}
