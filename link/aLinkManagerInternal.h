#pragma once
// Inside the link engine: the link record and the process-wide registry of links.
//
// The registry hands out shared references to link records. Every aLink_* call works on its
// own reference, so a record outlives every call that is still inside it, even when another
// thread destroys the link meanwhile; destroy tears down the threads, queues and stream at
// once and the memory goes with the last reference.

#include "link/aLink.h"
#include "link/aPacketDebug.h"
#include "link/unix_mutex.h"
#include "link/unix_thread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

constexpr uint16_t aLINK_CHECK = 0xCEED;

// Heartbeat state of the in-pipe.
constexpr int aLINK_HB_IDLE = 0;
constexpr int aLINK_HB_UP = 2;
constexpr int aLINK_HB_DOWN = 3;

struct aLinkRecord {
  aLinkRecord(aLinkRef id);
  ~aLinkRecord();
  aLinkRecord(const aLinkRecord&) = delete;
  aLinkRecord& operator=(const aLinkRecord&) = delete;

  uint16_t check = aLINK_CHECK;
  const aLinkRef id;

  std::atomic<bool> running{false};
  std::atomic<uint32_t> status{aLINK_NOSTREAM};
  std::atomic<aPacketFifoHandle> incoming{0};
  std::atomic<aPacketFifoHandle> outgoing{0};
  std::atomic<bool> inPipeAlive{false};
  std::atomic<bool> outPipeAlive{false};
  std::atomic<bool> pooled{false};
  std::atomic<int> heartbeatState{aLINK_HB_IDLE};

  // Serialises init, start, stop, reset and teardown. Held while the threads are started or
  // joined, never by the threads themselves.
  std::mutex control;
  bool tornDown = false;       // under `control`: destroyed; nothing may start it again
  aThreadRef inPipe = nullptr; // under `control`
  aThreadRef outPipe = nullptr;
  aStreamRef stream = nullptr; // set under `control` while the threads are not running

  // Every stream write happens under writeLock, and packets leave the outgoing queue only
  // while it is held, so they go out in queue order whoever writes them: the out-pipe, or a
  // caller whose packet found the writer idle (which saves a thread hand-off per request).
  // The out-pipe sleeps on outWake until the queue holds something or the link stops.
  std::mutex writeLock;
  std::atomic<bool> lastWriteFailed{false}; // then callers leave writing to the out-pipe
  std::mutex outWakeMutex;
  std::condition_variable outWake;

  // The in-pipe's own state (reset under `control` while the threads are not running).
  aPacket* assembler = nullptr;
  int syncState = 0;
  uint8_t syncAddress = 0;
  uint64_t lastSyncAttemptMs = 0;
  unsigned quickIdleReads = 0;

  // Packet log: the ring, its configured size and its enabled flag live under logMutex,
  // which lives as long as the record. `logActive` mirrors "exists and enabled" so that
  // the pipes skip the lock when there is nothing to record.
  aMutexRef logMutex = nullptr;
  aPacketLog* log = nullptr;
  size_t logSize = 0;
  std::atomic<bool> logActive{false};

  // User filter, replaced and called under userFilterMutex (lives as long as the record).
  aMutexRef userFilterMutex = nullptr;
  aLinkUserFilter userFilter = nullptr;
  void* userFilterReference = nullptr;
};

typedef std::shared_ptr<aLinkRecord> aLinkShared;

// What the registry knows about a link, copied out under its lock.
struct aLinkEntryInfo {
  aLinkRef id = 0;
  aLinkRef paired = 0;
  uint32_t identifier[3] = {0, 0, 0};
  uint32_t type = aLINKTYPE_NONE;
  int16_t useCount = 0;
  std::string device;     // serial links: the port
  uint32_t baudIndex = 0; // serial links: the speed
};

// Releases a server attached to a link (set by the link server).
typedef void (*aLinkServerDestroy)(void* server);

// The record of a link that is being created or is live; null for an unknown id or a link
// being torn down.
aLinkShared aLinkManager_Find(aLinkRef id);

// Looks for the module's link (same type, and the same serial number in identifier 0 for
// USB, TCP/IP and serial links, the same three identifiers for other types; anonymous
// entries of aLink_Create have type 0 and are never looked for). A live one gains a use and its
// id is returned with `*created` false; one with a server attached gives 0. One that is still
// being created or torn down is waited for (at most `waitMs`), so a caller never receives a
// link that is about to fail or die. Otherwise a new entry is made in the "creating" state
// with use count 0, `*created` true and its record in `*link`.
aLinkRef aLinkManager_Acquire(const aLinkEntryInfo& identity, bool* created, aLinkShared* link,
                              unsigned long waitMs);
// A new entry for a caller's stream (never matched by identity), in the "creating" state.
aLinkRef aLinkManager_AddAnonymous(aLinkShared* link);
// Ends creation: the entry becomes live with use count 1.
void aLinkManager_Publish(aLinkRef id);
// Drops one use. When it was the last (or the entry was still being created), the entry is
// marked as being torn down, its record and facts are returned, and the result is true: the
// caller tears the link down, then calls aLinkManager_Remove. False with `*exists` false
// for an unknown id.
bool aLinkManager_Release(aLinkRef id, bool* exists, aLinkShared* link, aLinkEntryInfo* info,
                          void** server, aLinkServerDestroy* destroyServer);
// Takes a torn-down entry out of the registry and wakes creators waiting for it.
void aLinkManager_Remove(aLinkRef id);
// The facts of a live or creating entry; false for an unknown id.
bool aLinkManager_Info(aLinkRef id, aLinkEntryInfo* info);

// Link server hooks: a paired link is destroyed along with this one; a server attached to
// a link is released by `destroy` at teardown and keeps the module from being opened
// directly.
aErr aLinkManager_SetPaired(aLinkRef id, aLinkRef paired);
aErr aLinkManager_SetServer(aLinkRef id, void* server, aLinkServerDestroy destroy);

// Number of entries in the registry, any state (for tests and diagnostics).
size_t aLinkManager_Count(void);
