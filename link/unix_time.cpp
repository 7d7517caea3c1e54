#include "link/unix_time.h"

#include <cerrno>
#include <ctime>

uint64_t aTime_GetMSTicks(void) {
  // A monotonic clock: callers measure time-outs by differences, which a change of the
  // wall clock must not disturb.
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

aErr aTime_MSSleep(unsigned long ms) {
  if (ms == 0) return aErrNone;
  // Sleep in pieces below one second, resuming after interruptions.
  unsigned long long remainingUs = static_cast<unsigned long long>(ms) * 1000ull;
  while (remainingUs > 0) {
    unsigned long long piece = remainingUs > 999999ull ? 999999ull : remainingUs;
    struct timespec request;
    request.tv_sec = 0;
    request.tv_nsec = static_cast<long>(piece * 1000ull);
    struct timespec left;
    while (nanosleep(&request, &left) != 0 && errno == EINTR)
      request = left;
    remainingUs -= piece;
  }
  return aErrNone;
}
