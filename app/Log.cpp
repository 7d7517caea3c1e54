#include "app/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

const Log::Package Log::packages[] = {
    {"DEBUG_Updater", DEBUG_Updater},
    {"DEBUG_History", DEBUG_History},
    {"DEBUG_Attributes", DEBUG_Attributes},
    {"DEBUG_BirdFile", DEBUG_BirdFile},
    {"DEBUG_Network", 0x00000010},
    {"DEBUG_ServerComm", DEBUG_ServerComm},
    {"DEBUG_Network", DEBUG_Network},
    {"DEBUG_Network_SR", DEBUG_Network_SR},
    {"DEBUG_Network_FIRM", DEBUG_Network_FIRM},
    {"DEBUG_NXPSerial", DEBUG_NXPSerial},
    {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E},
    {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR},
    {"DEBUG_APP", DEBUG_APP},
    {"DEBUG_iMXSerial", DEBUG_iMXSerial},
};
const size_t Log::package_count = sizeof(Log::packages) / sizeof(Log::packages[0]);

std::atomic<unsigned> Log::package_bitmask{0};
std::atomic<FILE*> Log::fh{nullptr};
std::atomic<bool> Log::timestamped{false};
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

void Log::log(unsigned package, const char* format, ...) {
  if (package != 0 && (package & package_bitmask.load()) == 0) return;
  FILE* out = fh.load();
  if (out == nullptr || format == nullptr) return;

  // The time stamp goes in front of the text in the same buffer so that the whole line is
  // one write, even when worker threads log at the same time.
  char line[2048 + 128 + 4];
  size_t used = 0;
  if (timestamped.load() && strlen(format) > 10) {
    time_t now = time(nullptr);
    struct tm utc;
    if (gmtime_r(&now, &utc) != nullptr) {
      char stamp[128];
      size_t n = strftime(stamp, sizeof(stamp), TIMESTAMP_FORMAT, &utc);
      used = static_cast<size_t>(
          snprintf(line, sizeof(line), "%.*s%s", static_cast<int>(n), stamp, SEPARATOR));
    }
  }

  char text[2048];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (n < 0) return;
  size_t len = strnlen(text, sizeof(text) - 1);
  memcpy(line + used, text, len);
  used += len;
  fwrite(line, 1, used, out);
}

void Log::SetOutput(FILE* stream) {
  fh.store(stream);
}

void Log::ActivatePackage(unsigned mask) {
  package_bitmask.fetch_or(mask);
}

void Log::DeactivatePackage(unsigned mask) {
  package_bitmask.fetch_and(~mask);
}
