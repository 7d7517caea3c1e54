#pragma once
// Process-wide diagnostic switches of the link layer. Off by default; with the enable byte
// set, each bit of the level mask turns on one family of diagnostic lines on standard
// output, each flushed at once.

#include <atomic>
#include <cstdint>

extern std::atomic<uint8_t> aTessarineDebuggingEnable;
extern std::atomic<uint32_t> aTessarineDebuggingLevel;

constexpr uint32_t aDEBUG_LINK = 0x1;           // link lifecycle and synchronisation
constexpr uint32_t aDEBUG_TRAFFIC = 0x2;        // packet traffic and heartbeats
constexpr uint32_t aDEBUG_SERVER = 0x4;         // the link server
constexpr uint32_t aDEBUG_MULTICAST = 0x8;      // multicast sockets
constexpr uint32_t aDEBUG_DISCOVERY = 0x10;     // network discovery
constexpr uint32_t aDEBUG_BEACON = 0x20;        // the beacon interface
constexpr uint32_t aDEBUG_OBJECT = 0x40;        // module connection in the object layer
constexpr uint32_t aDEBUG_CLIENTSTREAM = 0x200; // network client streams
constexpr uint32_t aDEBUG_USB = 0x400;          // USB transfers

// True when debugging is enabled and any bit of `level` is set in the mask.
bool aDebugging_On(uint32_t level);

// Prints a printf-style line to standard output and flushes it, when `level` is on.
void aDebugging_Print(uint32_t level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
