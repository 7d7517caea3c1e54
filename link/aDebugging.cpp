#include "link/aDebugging.h"

#include <cstdarg>
#include <cstdio>

std::atomic<uint8_t> aTessarineDebuggingEnable{0};
std::atomic<uint32_t> aTessarineDebuggingLevel{0};

bool aDebugging_On(uint32_t level) {
  return aTessarineDebuggingEnable.load(std::memory_order_relaxed) != 0 &&
         (aTessarineDebuggingLevel.load(std::memory_order_relaxed) & level) != 0;
}

void aDebugging_Print(uint32_t level, const char* format, ...) {
  if (!aDebugging_On(level)) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}
