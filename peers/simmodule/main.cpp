// simmodule_peer: runs one simulated module until its standard input closes or its
// lifetime ends, whichever comes first.
//
//   simmodule_peer (--tcp | --pty) [--address N] [--heartbeat MS] [--echo-all] [--lifetime S]
//
// On start it prints one line, "port N" or "pty PATH", and flushes. When it ends it prints
// "stats" with its counters, so a test can check what the module saw.
#include "peers/simmodule/SimModule.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

int usage() {
  std::fprintf(stderr, "usage: simmodule_peer (--tcp | --pty) [--address N] [--heartbeat MS] "
                       "[--echo-all] [--lifetime S]\n");
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  simmodule::Options options;
  bool tcp = false;
  bool pty = false;
  long lifetimeS = 60;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--tcp") {
      tcp = true;
    } else if (arg == "--pty") {
      pty = true;
    } else if (arg == "--echo-all") {
      options.echoAll = true;
    } else if (arg == "--address" && hasValue) {
      const long address = std::strtol(argv[++i], nullptr, 0);
      if (address <= 0 || address > 254 || (address & 1)) return usage();
      options.address = static_cast<uint8_t>(address);
    } else if (arg == "--heartbeat" && hasValue) {
      options.heartbeatPeriodMs = static_cast<int>(std::strtol(argv[++i], nullptr, 0));
    } else if (arg == "--lifetime" && hasValue) {
      lifetimeS = std::strtol(argv[++i], nullptr, 0);
    } else {
      return usage();
    }
  }
  if (tcp == pty || lifetimeS <= 0) return usage();

  auto module = tcp ? simmodule::Module::startTcp(options) : simmodule::Module::startPty(options);
  if (!module) {
    std::fprintf(stderr, "simmodule_peer: cannot start: %s\n", std::strerror(errno));
    return 1;
  }
  if (tcp)
    std::printf("port %u\n", module->port());
  else
    std::printf("pty %s\n", module->ptyPath().c_str());
  std::fflush(stdout);

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(lifetimeS);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&in, 1, static_cast<int>(left < 1000 ? left : 1000));
    if (ready > 0) {
      char buffer[256];
      if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
  }

  const simmodule::Observed seen = module->observed();
  std::printf("stats connections=%llu queries=%llu packets_in=%llu ordinary_in=%llu "
              "rejected_in=%llu packets_out=%llu heartbeats=%llu answered=%llu wrong=%llu "
              "routes=",
              (unsigned long long)seen.connections, (unsigned long long)seen.addressQueries,
              (unsigned long long)seen.packetsIn, (unsigned long long)seen.ordinaryIn,
              (unsigned long long)seen.rejectedIn, (unsigned long long)seen.packetsOut,
              (unsigned long long)seen.heartbeatsSent, (unsigned long long)seen.heartbeatAnswers,
              (unsigned long long)seen.heartbeatWrong);
  for (size_t i = 0; i < seen.forceRoutes.size(); ++i)
    std::printf("%s%u", i ? "," : "", seen.forceRoutes[i]);
  std::printf("\n");
  return 0;
}
