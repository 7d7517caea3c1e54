// Shared pieces of the link engine tests: links owned by scope, filters, and links to a
// simulated module over TCP or a pseudo-terminal.
#pragma once

#include "link/aLink.h"
#include "peers/simmodule/SimModule.h"
#include "tests/support/PacketPtr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <thread>
#include <vector>

namespace enginetest {

// Releases one use of a link id when it goes out of scope.
class LinkUse {
public:
  explicit LinkUse(aLinkRef id = 0) : id_(id) {}
  ~LinkUse() { release(); }
  LinkUse(const LinkUse&) = delete;
  LinkUse& operator=(const LinkUse&) = delete;
  aLinkRef id() const { return id_; }
  aErr release() { return id_ ? aLink_Destroy(&id_) : aErrNone; }

private:
  aLinkRef id_;
};

// Filter: accepts packets whose command byte equals *reference.
inline bool commandFilter(const aPacket* packet, const void* reference) {
  return packet->dataSize > 0 && packet->data[0] == *static_cast<const uint8_t*>(reference);
}

// Polls `condition` every few milliseconds for at most `ms`.
inline bool eventually(const std::function<bool()>& condition, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline uint32_t loopback() {
  return htonl(INADDR_LOOPBACK);
}

// A new link to a simulated module over the module's own transport. Over TCP it also waits
// until the module has taken the connection in, so that what the module sends next reaches
// the link.
inline aLinkRef openLink(simmodule::Module& module, uint32_t serial) {
  if (module.isPty()) return aLink_CreateSerial(serial, module.ptyPath().c_str(), 115200);
  const uint64_t before = module.observed().connections;
  const aLinkRef id = aLink_CreateTCPIP(serial, loopback(), module.port());
  if (id)
    module.waitUntil([&](const simmodule::Observed& o) { return o.connections > before; }, 5000);
  return id;
}

} // namespace enginetest
