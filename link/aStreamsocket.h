#pragma once
// TCP client byte stream: non-blocking reads, retried writes, reconnection in place.

#include "link/aStream.h"

#include <cstdint>

constexpr int aSOCKET_MAX_SEND_RETRY = 10;
constexpr unsigned aSOCKET_RETRY_DELAY_MS = 60;

// Connects to `address` (IPv4, network byte order) and `port` (host order) and stores the new
// stream in `*stream` (null on failure). Any failure, a refused connection included, gives
// aErrResource.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);
