#pragma once
// Points the diagnostic log at a temporary file for the life of the object; `take` gives back
// what was written since the last take. The log is left with no stream, no active package and
// no time stamps afterwards.

#include "app/Log.h"

#include <cstdio>
#include <string>
#include <unistd.h>

class LogCapture {
public:
  explicit LogCapture(unsigned packages = 0) : file(tmpfile()) {
    Log::SetOutput(file);
    Log::ActivatePackage(packages);
  }
  ~LogCapture() {
    Log::SetOutput(nullptr);
    Log::package_bitmask = 0;
    Log::timestamped = false;
    if (file != nullptr) fclose(file);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool ok() const { return file != nullptr; }

  std::string take() {
    if (file == nullptr) return {};
    fflush(file);
    rewind(file);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
      text.append(buffer, n);
    rewind(file);
    (void)ftruncate(fileno(file), 0);
    return text;
  }

private:
  FILE* file;
};
