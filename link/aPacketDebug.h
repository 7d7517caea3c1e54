#pragma once
// The packet log: a ring of records, each a type byte, a length byte and that many bytes.
// When a record does not fit, the oldest records make room for it.

#include "link/aError.h"

#include <cstddef>
#include <cstdint>

constexpr uint8_t aPACKETLOG_SENT = 1;     // a packet written to the module (wire form)
constexpr uint8_t aPACKETLOG_RECEIVED = 2; // a packet read from the module (wire form)
constexpr uint8_t aPACKETLOG_NOTE = 3;     // a note written by the caller

constexpr size_t aPACKETLOG_DEFAULT_SIZE = 0x10000;
constexpr size_t aPACKETLOG_MAX_SIZE = 0x4000000;

struct aPacketLog {
  uint8_t* ring;
  size_t size;  // bytes in the ring
  size_t read;  // index of the oldest record
  size_t write; // index where the next record goes
  bool enabled;
};

// A ring of `size` bytes (0: the default size), disabled; null when memory is short or the
// size is above aPACKETLOG_MAX_SIZE.
aPacketLog* aPacketLog_Create(size_t size);

// Adds a record, dropping the oldest ones while it does not fit. aErrParam for a null log or
// null bytes with a non-zero length; aErrOverrun for a record that can never fit
// (length + 2 >= size).
aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint8_t length, const uint8_t* bytes);

// Takes the oldest record: `*length` gives the buffer size in and the record length out.
// aErrNotFound when the ring is empty; aErrOverrun (the record stays) when the buffer is too
// small; aErrParam for null arguments.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, uint8_t* length, uint8_t* buffer);

// Frees the ring and sets `*log` to null. aErrParam for a null pointer or a null log.
aErr aPacketLog_Destroy(aPacketLog** log);
