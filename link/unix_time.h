#pragma once
// Millisecond ticks and sleeps.

#include "link/aError.h"

#include <cstdint>

// Milliseconds from a monotonic clock; only differences between two readings mean anything.
// 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks(void);

// Sleeps `ms` milliseconds.
aErr aTime_MSSleep(unsigned long ms);
