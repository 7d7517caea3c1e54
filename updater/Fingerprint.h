#pragma once
// A chip's identity as its boot ROM reports it: four 32-bit words, shown, sent to the update
// server and used as the unscrambling key in this order.

#include <cstdint>

struct Fingerprint {
  uint32_t words[4] = {0, 0, 0, 0};
};
