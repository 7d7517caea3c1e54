#pragma once
// Thread-safe queues of packet copies behind numeric handles. A queue destroyed while another
// thread waits on it stays alive until that thread has left; its handle then names nothing.

#include "link/aError.h"
#include "link/aPacket.h"

#include <cstddef>
#include <cstdint>

typedef uint64_t aPacketFifoHandle; // 0 names no queue

// Accepts a packet with a true result. Runs with the queue locked: it must be quick and must
// not call back into the same queue.
typedef bool (*aPacketFilter)(const aPacket* packet, const void* reference);

constexpr size_t aPACKETFIFO_CAPACITY = 1000;

// A new queue's handle, or 0.
aPacketFifoHandle aPacketFifo_Create(void);

// Removes and empties the queue, wakes its waiters and sets `*handle` to 0. aErrParam for a
// null pointer, aErrNotFound when the handle names no queue.
aErr aPacketFifo_Destroy(aPacketFifoHandle* handle);

// Number of queued packets; 0 for a handle that names no queue.
size_t aPacketFifo_GetLength(aPacketFifoHandle handle);

// Appends a copy of `packet`. aErrParam for an unknown handle or an invalid packet;
// aErrOverrun, with the queue unchanged, when it already holds aPACKETFIFO_CAPACITY packets;
// aErrResource when the entry cannot be stored.
aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet);

// Removing operations return a new packet owned by the caller (free it with aPacket_Destroy),
// or null: nothing there, an unknown handle, a time-out, or the queue destroyed meanwhile.
aPacket* aPacketFifo_Get(aPacketFifoHandle handle);
aPacket* aPacketFifo_Await(aPacketFifoHandle handle, unsigned long timeout_ms);

// The oldest packet the filter accepts; packets before it stay in place. Within one call the
// filter sees each packet at most once.
aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter,
                              const void* reference);
aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter,
                                const void* reference, unsigned long timeout_ms);

// Removes every packet the filter accepts, keeping the others in order; returns how many.
size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter,
                                const void* reference);
