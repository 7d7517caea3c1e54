#pragma once
// Diagnostic log: developer lines grouped into packages selected by a bitmask. Lines go to
// one stdio stream (the driver sets the standard error stream); a line under package 0 is
// written whatever the bitmask.

#include <atomic>
#include <cstddef>
#include <cstdio>

// Log packages (bits of the mask given with -X).
constexpr unsigned DEBUG_Updater = 0x00000001;
constexpr unsigned DEBUG_History = 0x00000002;
constexpr unsigned DEBUG_Attributes = 0x00000004;
constexpr unsigned DEBUG_BirdFile = 0x00000008;
constexpr unsigned DEBUG_ServerComm = 0x00000020;
constexpr unsigned DEBUG_Network = 0x00000100;
constexpr unsigned DEBUG_Network_SR = 0x00000200;
constexpr unsigned DEBUG_Network_FIRM = 0x00000400;
constexpr unsigned DEBUG_NXPSerial = 0x00001000;
constexpr unsigned DEBUG_NXPSerial_E = 0x00002000;
constexpr unsigned DEBUG_NXPSerial_SR = 0x00004000;
constexpr unsigned DEBUG_APP = 0x00010000;
constexpr unsigned DEBUG_iMXSerial = 0x10000000;

class Log {
public:
  // One named package as the usage text lists it. The name "DEBUG_Network" covers two bits:
  // 0x10 (accepted, no line is written under it) and 0x100.
  struct Package {
    const char* name;
    unsigned mask;
  };
  static const Package packages[];
  static const size_t package_count;

  // Active packages. Changed while the command line is parsed, before any worker thread.
  static std::atomic<unsigned> package_bitmask;
  // Output stream; nothing is written while it is null.
  static std::atomic<FILE*> fh;
  // Prefix lines (whose format is longer than 10 characters) with a UTC time stamp.
  static std::atomic<bool> timestamped;
  static const char* const TIMESTAMP_FORMAT; // "%Y:%m:%d:%H:%M:%S"
  static const char* const SEPARATOR;        // " | "

  // Writes the formatted text unchanged (no line end is added), cut at 2047 characters, with
  // one stream write, when `package` is 0 or shares a bit with the active packages.
  static void log(unsigned package, const char* format, ...) __attribute__((format(printf, 2, 3)));

  static void SetOutput(FILE* stream);
  static void ActivatePackage(unsigned mask);
  static void DeactivatePackage(unsigned mask);
};
