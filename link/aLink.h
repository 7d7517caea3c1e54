#pragma once
// The link engine: one live connection to one module over one byte stream, with an
// incoming and an outgoing packet queue and two threads (the in-pipe reads and assembles
// packets, answers heartbeats, offers packets to a user filter, queues the rest and
// resynchronises the stream; the out-pipe writes queued packets).
//
// Links are known by a link id (counting from 1, never reused; 0 is no link). Creating a
// link for a module that already has one shares it: the use count goes up and the same id
// comes back; each destroy drops one use and the last one tears the link down. Every call
// is safe against a concurrent destroy of the same link: the call sees either the link or
// no link, never a freed one.

#include "link/aError.h"
#include "link/aPacket.h"
#include "link/aStream.h"
#include "link/packetfifo.h"

#include <cstddef>
#include <cstdint>

typedef uint32_t aLinkRef; // link id; 0 names no link

enum aLinkStatus : uint32_t {
  aLINK_STOPPED = 0, // initialised with a stream, threads not running
  aLINK_STARTING = 1,
  aLINK_RUNNING = 2, // packets flow; the only state in which awaits wait
  aLINK_STOPPING = 3,
  aLINK_SYNCING = 4,    // synchronising the byte stream
  aLINK_NOSTREAM = 5,   // no stream; also the status of a link id that does not exist
  aLINK_READERROR = 6,  // the stream reported a read error
  aLINK_QUEUEERROR = 8, // an incoming packet could not be queued
};

// Connection types of the registry (the link specifier's transport types).
constexpr uint32_t aLINKTYPE_NONE = 0; // a caller's stream, not registered under a module
constexpr uint32_t aLINKTYPE_USB = 1;
constexpr uint32_t aLINKTYPE_TCPIP = 2;
constexpr uint32_t aLINKTYPE_SERIAL = 3;

constexpr uint8_t cmdHEARTBEAT = 0;

// Offered every incoming packet on the in-pipe thread, before it is queued; returns true
// when it takes the packet (it is then not queued). Runs with the filter lock held: it must
// be quick and must not install or remove a filter.
typedef bool (*aLinkUserFilter)(const aPacket* packet, void* reference);

// Creation: each returns the link id, or 0 on failure.
// TCP/IP: serial number, IPv4 address (network byte order), port (host order).
aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port);
// Serial port with COBS framing at 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400
// bit/s (8 data bits, no parity, one stop bit).
aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* device, uint32_t baudRate);
// A link over a caller-made stream, not registered under any module. The link owns the
// stream from this call on, also when the call fails.
aLinkRef aLink_Create(aStreamRef stream);

// The steps the create calls use.
// (Re)initialises the link with `stream` (may be null: status 5). Returns the id, or 0 when
// the id names no link. The link owns the stream.
aLinkRef aLink_Init(aLinkRef id, aStreamRef stream);
// Starts both threads and queues the route command 1. Starting a running link succeeds.
// aErrResource when a thread cannot start, aErrIndexRange when the link does not run within
// 2 s, aErrParam for an unknown id, aErrNotReady without a stream.
aErr aLink_Start(aLinkRef id);
// Queues the route command 0, stops both threads after they have written what was queued
// (bounded: a dead peer cannot hold the stop up) and leaves the link in status 0.
aErr aLink_Stop(aLinkRef id);
// Resynchronises the byte stream with the module (up to 2 s), then empties both queues.
// aErrNotReady on time-out or when the link is not running; aErrParam for an unknown id.
aErr aLink_Sync(aLinkRef id);
// Drops one use; the last one tears the link down. Sets `*id` to 0 in every case.
aErr aLink_Destroy(aLinkRef* id);
// Stops the link, makes its stream again from what the registry knows (TCP/IP address and
// port, serial port and speed) and starts it with fresh queues; the user filter and the
// packet log are dropped. aErrParam, with the link untouched, for a link whose stream cannot
// be made again.
aErr aLink_Reset(aLinkRef id);
// Queues a route command (0xAF) with one data byte.
aErr aLink_ForceRoute(aLinkRef id, uint8_t value);

// Traffic. Packets returned belong to the caller (aPacket_Destroy); packets put are copied.
aErr aLink_PutPacket(aLinkRef id, const aPacket* packet);
aPacket* aLink_GetPacket(aLinkRef id);
aPacket* aLink_AwaitPacket(aLinkRef id, unsigned long timeout_ms);
aPacket* aLink_GetFirst(aLinkRef id, aPacketFilter filter, const void* reference);
// The first incoming packet the filter accepts, waiting at most `timeout_ms` and only while
// the link is running (status 2): it returns null as soon as the link leaves that state.
aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilter filter, const void* reference,
                          unsigned long timeout_ms);
size_t aLink_DrainPackets(aLinkRef id, aPacketFilter filter, const void* reference);
// Sets the user filter, or removes it with a null filter. aErrParam for an unknown id.
aErr aLink_InstallUserPacketFilter(aLinkRef id, aLinkUserFilter filter, void* reference);
// Switches batch writing of queued packets.
aErr aLink_EnablePooledPackets(aLinkRef id, bool enable);
// The status; aLINK_NOSTREAM for a link id that does not exist.
uint32_t aLink_GetStatus(aLinkRef id);

// Packet log of a link (records of aPacketDebug.h). All give aErrParam for an unknown id.
// Sets the ring size before the log exists: aErrParam above 64 MiB, aErrBusy once the log
// exists; a size of 0 or below means the default.
aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int size);
// Creates the log on first use and enables it; aErrResource when it cannot be made.
aErr aLink_PacketDebug_Enable(aLinkRef id);
// Disables it; aErrNotReady when there is no log.
aErr aLink_PacketDebug_Disable(aLinkRef id);
// Adds a record / takes the oldest (`*length`: buffer size in, record length out).
// aErrNotReady when there is no log; aErrNotFound from Read when it is empty.
aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t type, uint8_t length, const uint8_t* bytes);
aErr aLink_PacketDebug_Read(aLinkRef id, uint8_t* type, uint8_t* length, uint8_t* buffer);
