#include "app/BuildPath.h"

#include <cstdarg>

namespace {
const char kPathSeparator[] = "/";
}

std::string BuildPath(const char* first, ...) {
  std::string path;
  if (first == nullptr) return path;
  path = first;
  va_list args;
  va_start(args, first);
  for (const char* part = va_arg(args, const char*); part != nullptr;
       part = va_arg(args, const char*)) {
    path += kPathSeparator;
    path += part;
  }
  va_end(args);
  return path;
}
