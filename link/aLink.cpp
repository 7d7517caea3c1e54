#include "link/aLink.h"

#include "link/aDebugging.h"
#include "link/aLinkManagerInternal.h"
#include "link/aStreamsocket.h"
#include "link/unix_streamserial.h"
#include "link/unix_time.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>

namespace {

constexpr unsigned long sPOLL_MS = 10;
constexpr unsigned sPOLLS = 200; // start and sync give up after 2 s
// The out-pipe is woken by every put and by stop; this is only its longest sleep.
constexpr unsigned long sOUTPIPE_WAIT_MS = 1000;
constexpr unsigned long sREAD_ERROR_PAUSE_MS = 100;
constexpr int sSYNC_REQUESTS = 6;
// An idle stream restarts a synchronisation attempt no sooner than this after the last one,
// and only once the requests already queued have gone out.
constexpr uint64_t sSYNC_RETRY_MS = 50;
// Stop writes what is still queued for at most this long, and not past a write error.
constexpr uint64_t sFINAL_FLUSH_MS = 500;
// Idle reads that return at once (a stream that does not wait for input itself) are
// followed by a short sleep once this many came in a row, so an idle link does not spin.
constexpr unsigned sQUICK_IDLE_LIMIT = 64;
constexpr size_t sPOOL_BYTES = 4096;
constexpr size_t sPOOL_FILL = sPOOL_BYTES - aPACKET_MAX_WIRE;
constexpr unsigned long sCREATE_WAIT_MS = 10000;
constexpr int sRESET_ATTEMPTS = 20;
constexpr unsigned long sRESET_PAUSE_MS = 100;
constexpr uint8_t sHB_ANSWER_OFFSET = 2;

// Synchronisation states: the expected answer is the module's address, 0, the address, 0.
enum SyncState {
  kSyncStateIdle = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5,
};

const uint32_t sBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

// Moves the status to `to` only from one of `from`: the in-pipe and the callers write the
// status concurrently, and a plain store could undo a change the other side just made (a
// requested synchronisation overwritten by a queueing failure, a stop by the in-pipe).
bool sTransition(aLinkRecord* link, std::initializer_list<uint32_t> from, uint32_t to) {
  uint32_t current = link->status.load();
  for (;;) {
    if (std::find(from.begin(), from.end(), current) == from.end()) return false;
    if (link->status.compare_exchange_weak(current, to)) return true;
  }
}

bool sAcceptAll(const aPacket*, const void*) {
  return true;
}

// Wakes the out-pipe after a put. Taking the mutex orders the put before the out-pipe's
// look at the queue, so the wake-up cannot be lost.
void sWakeOutPipe(aLinkRecord* link) {
  { std::lock_guard<std::mutex> lock(link->outWakeMutex); }
  link->outWake.notify_one();
}

aErr sQueueOut(aLinkRecord* link, uint8_t address, uint8_t length, const uint8_t* data) {
  static const uint8_t none = 0;
  aPacket* packet = aPacket_CreateWithData(address, length, data ? data : &none);
  if (!packet) return aErrResource;
  const aErr err = aPacketFifo_Put(link->outgoing.load(), packet);
  aPacket_Destroy(&packet);
  if (err == aErrNone) sWakeOutPipe(link);
  return err;
}

void sLogPacket(aLinkRecord* link, uint8_t type, const aPacket* packet) {
  if (!link->logActive.load(std::memory_order_relaxed)) return;
  uint8_t wire[aPACKET_MAX_WIRE];
  size_t length = 0;
  if (aPacket_GetBytes(packet, wire, sizeof wire, &length) != aErrNone) return;
  aMutex_Lock(link->logMutex);
  if (link->log && link->log->enabled)
    aPacketLog_Put(link->log, type, static_cast<uint8_t>(length), wire);
  aMutex_Unlock(link->logMutex);
}

void sDestroyQueues(aLinkRecord* link) {
  aPacketFifoHandle handle = link->incoming.exchange(0);
  if (handle) aPacketFifo_Destroy(&handle);
  handle = link->outgoing.exchange(0);
  if (handle) aPacketFifo_Destroy(&handle);
}

// Sleeps `ms` in short pieces, returning early when the link stops.
void sPause(aLinkRecord* link, unsigned long ms) {
  for (unsigned long slept = 0; slept < ms && link->running; slept += sPOLL_MS)
    aTime_MSSleep(sPOLL_MS);
}

// ---- in-pipe -------------------------------------------------------------------------

void sStartSync(aLinkRecord* link) {
  sTransition(link, {aLINK_RUNNING, aLINK_SYNCING, aLINK_READERROR, aLINK_QUEUEERROR},
              aLINK_SYNCING);
  link->syncState = kSyncStateStart;
  aPacket_Reset(link->assembler);
  for (int i = 0; i < sSYNC_REQUESTS; ++i)
    sQueueOut(link, aPACKET_ADDRESS_QUERY, 0, nullptr);
  link->syncState = kSyncStateByte1;
  link->lastSyncAttemptMs = aTime_GetMSTicks();
  aDebugging_Print(aDEBUG_LINK, "syncStart(%u)\n", link->id);
}

void sSyncByte(aLinkRecord* link, uint8_t byte) {
  switch (link->syncState) {
  case kSyncStateByte1:
    if (byte != 0 && (byte & 1) == 0) {
      link->syncAddress = byte;
      link->syncState = kSyncStateByte2;
    } else {
      sStartSync(link);
    }
    break;
  case kSyncStateByte2:
    link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
    break;
  case kSyncStateByte3:
    link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
    break;
  case kSyncStateByte4:
    if (byte != 0) {
      link->syncState = kSyncStateStart;
    } else {
      link->syncState = kSyncStateIdle;
      if (sTransition(link, {aLINK_SYNCING}, aLINK_RUNNING))
        aDebugging_Print(aDEBUG_LINK, "synced(%u) address %u\n", link->id, link->syncAddress);
    }
    break;
  default:
    sStartSync(link);
    break;
  }
}

void sHandleHBBackChannel(aLinkRecord* link, const aPacket* packet) {
  const uint8_t value = packet->data[1];
  if (value == 0) {
    link->heartbeatState = aLINK_HB_UP;
    aDebugging_Print(aDEBUG_TRAFFIC, " sHandleHBBackChannel(%u) %s\n", link->id, "sending HB UP");
  } else if (value == 1) {
    link->heartbeatState = aLINK_HB_DOWN;
    aDebugging_Print(aDEBUG_TRAFFIC, " sHandleHBBackChannel(%u) %s\n", link->id, "sending HB DOWN");
  }
  const uint8_t answer[2] = {cmdHEARTBEAT, static_cast<uint8_t>(value + sHB_ANSWER_OFFSET)};
  sQueueOut(link, packet->address, 2, answer);
  link->heartbeatState = aLINK_HB_IDLE;
}

aErr sHandlePacket(aLinkRecord* link) {
  aPacket* packet = link->assembler;
  sLogPacket(link, aPACKETLOG_RECEIVED, packet);
  bool taken = false;
  aMutex_Lock(link->userFilterMutex);
  if (link->userFilter) taken = link->userFilter(packet, link->userFilterReference);
  aMutex_Unlock(link->userFilterMutex);
  aErr err = aErrNone;
  if (!taken) {
    if (packet->dataSize == 2 && packet->data[0] == cmdHEARTBEAT)
      sHandleHBBackChannel(link, packet);
    else
      err = aPacketFifo_Put(link->incoming.load(), packet);
  }
  aPacket_Reset(packet);
  return err;
}

// After a read that found nothing: a stream that waited for input itself costs nothing more;
// one that answers at once gets a short sleep once that has happened many times in a row.
void sIdlePause(aLinkRecord* link, std::chrono::steady_clock::time_point readStart) {
  if (std::chrono::steady_clock::now() - readStart >= std::chrono::milliseconds(1)) {
    link->quickIdleReads = 0;
    return;
  }
  if (++link->quickIdleReads < sQUICK_IDLE_LIMIT) return;
  aTime_MSSleep(link->quickIdleReads < sQUICK_IDLE_LIMIT + 100 ? 1 : 5);
}

void* sInPipeProcess(void* arg) {
  aLinkRecord* link = static_cast<aLinkRecord*>(arg);
  link->heartbeatState = aLINK_HB_IDLE;
  link->syncAddress = 1;
  link->syncState = kSyncStateIdle;
  link->quickIdleReads = 0;
  link->inPipeAlive = true;
  sTransition(link, {aLINK_STARTING}, aLINK_RUNNING);

  while (link->running) {
    char byte = 0;
    const auto readStart = std::chrono::steady_clock::now();
    const aErr err = aStream_Read(link->stream, &byte, 1);
    if (err == aErrNotReady) {
      const uint32_t status = link->status;
      if (status == aLINK_READERROR) {
        sStartSync(link);
      } else if (status == aLINK_SYNCING &&
                 aTime_GetMSTicks() - link->lastSyncAttemptMs >= sSYNC_RETRY_MS &&
                 aPacketFifo_GetLength(link->outgoing.load()) == 0) {
        sStartSync(link);
      }
      sIdlePause(link, readStart);
      continue;
    }
    if (err != aErrNone) {
      if (sTransition(link, {aLINK_RUNNING, aLINK_SYNCING, aLINK_QUEUEERROR}, aLINK_READERROR))
        aDebugging_Print(aDEBUG_LINK, "aLink(%u) read error %u\n", link->id, err);
      sPause(link, sREAD_ERROR_PAUSE_MS);
      continue;
    }
    link->quickIdleReads = 0;
    const uint8_t value = static_cast<uint8_t>(byte);
    if (link->status == aLINK_SYNCING) {
      sSyncByte(link, value);
      continue;
    }
    if (aPacket_AddByte(link->assembler, value) != aErrNone || (link->assembler->address & 1)) {
      sStartSync(link);
      continue;
    }
    if (aPacket_IsComplete(link->assembler)) {
      if (sHandlePacket(link) != aErrNone)
        sTransition(link, {aLINK_RUNNING}, aLINK_QUEUEERROR);
      else
        sTransition(link, {aLINK_QUEUEERROR}, aLINK_RUNNING);
    }
  }
  return nullptr;
}

// ---- out-pipe ------------------------------------------------------------------------

// Writes `first`, and with pooling whatever else is queued (up to one batch), in one stream
// write. Frees the packets.
aErr sWritePackets(aLinkRecord* link, aPacket* first, uint8_t* batch, bool logging) {
  size_t used = 0;
  aPacket* packet = first;
  const bool pooled = link->pooled.load();
  while (packet) {
    size_t length = 0;
    if (aPacket_GetBytes(packet, batch + used, sPOOL_BYTES - used, &length) == aErrNone) {
      used += length;
      if (logging) sLogPacket(link, aPACKETLOG_SENT, packet);
    }
    aPacket_Destroy(&packet);
    // (Get on an empty queue is not free: look at the length first.)
    if (pooled && used <= sPOOL_FILL && aPacketFifo_GetLength(link->outgoing.load()) > 0)
      packet = aPacketFifo_Get(link->outgoing.load());
  }
  if (used == 0) return aErrNone;
  const aErr err = aStream_Write(link->stream, reinterpret_cast<const char*>(batch), used);
  link->lastWriteFailed = err != aErrNone;
  if (err != aErrNone)
    aDebugging_Print(aDEBUG_TRAFFIC, "aLink(%u) write of %zu bytes failed: %u\n", link->id, used,
                     err);
  return err;
}

// Writes what is queued, in order, while the link runs. The caller holds writeLock.
void sWriteQueued(aLinkRecord* link, uint8_t* batch) {
  while (link->running && aPacketFifo_GetLength(link->outgoing.load()) > 0) {
    aPacket* packet = aPacketFifo_Get(link->outgoing.load());
    if (!packet) return;
    sWritePackets(link, packet, batch, true);
  }
}

void* sOutPipeProcess(void* arg) {
  aLinkRecord* link = static_cast<aLinkRecord*>(arg);
  uint8_t batch[sPOOL_BYTES];
  link->outPipeAlive = true;
  while (link->running) {
    {
      std::unique_lock<std::mutex> lock(link->outWakeMutex);
      link->outWake.wait_for(lock, std::chrono::milliseconds(sOUTPIPE_WAIT_MS), [link] {
        return !link->running || aPacketFifo_GetLength(link->outgoing.load()) > 0;
      });
    }
    std::lock_guard<std::mutex> write(link->writeLock);
    sWriteQueued(link, batch);
  }
  // Final flush: what was queued before the stop (the route command 0 among it), but not
  // past a write error or a short deadline, so a dead peer cannot hold the stop up.
  std::lock_guard<std::mutex> write(link->writeLock);
  const uint64_t deadline = aTime_GetMSTicks() + sFINAL_FLUSH_MS;
  while (aTime_GetMSTicks() < deadline) {
    aPacket* packet = aPacketFifo_Get(link->outgoing.load());
    if (!packet || sWritePackets(link, packet, batch, false) != aErrNone) break;
  }
  return nullptr;
}

// ---- lifecycle (callers hold link->control) ------------------------------------------

aErr sInit(aLinkRecord* link, aStreamRef stream) {
  sDestroyQueues(link);
  if (link->stream && link->stream != stream) aStream_Destroy(&link->stream);
  link->stream = stream;
  link->running = false;
  link->status = stream ? aLINK_STOPPED : aLINK_NOSTREAM;
  link->incoming = aPacketFifo_Create();
  link->outgoing = aPacketFifo_Create();
  if (link->assembler)
    aPacket_Reset(link->assembler);
  else
    link->assembler = aPacket_Create();
  link->inPipe = link->outPipe = nullptr;
  link->inPipeAlive = link->outPipeAlive = false;
  link->heartbeatState = aLINK_HB_IDLE;
  link->syncState = kSyncStateIdle;
  link->pooled = false;
  link->lastWriteFailed = false;
  aMutex_Lock(link->logMutex);
  link->logActive = false;
  if (link->log) aPacketLog_Destroy(&link->log);
  link->logSize = 0;
  aMutex_Unlock(link->logMutex);
  aMutex_Lock(link->userFilterMutex);
  link->userFilter = nullptr;
  link->userFilterReference = nullptr;
  aMutex_Unlock(link->userFilterMutex);
  if (!link->incoming || !link->outgoing || !link->assembler || !link->logMutex ||
      !link->userFilterMutex)
    return aErrResource;
  return aErrNone;
}

aErr sStop(aLinkRecord* link) {
  uint32_t current = link->status.load();
  do {
    if (current == aLINK_STOPPED || current == aLINK_STOPPING) return aErrNone;
  } while (!link->status.compare_exchange_weak(current, aLINK_STOPPING));
  aDebugging_Print(aDEBUG_LINK, " aLink_Stop(%u)\n", link->id);

  aErr result = aErrNone;
  if (link->inPipe || link->outPipe) {
    // Queued before the running flag drops, so the out-pipe's final flush writes it.
    const uint8_t off = 0;
    sQueueOut(link, cmdFORCEROUTE, 1, &off);
    link->running = false;
    sWakeOutPipe(link);
    if (link->inPipe && aThread_Destroy(&link->inPipe) != 0) result = aErrUnknown;
    if (link->outPipe && aThread_Destroy(&link->outPipe) != 0) result = aErrUnknown;
  }
  link->running = false;
  // A caller still writing its own packet finishes before the stream may go; later ones
  // see the link stopped.
  { std::lock_guard<std::mutex> write(link->writeLock); }
  link->inPipe = link->outPipe = nullptr;
  link->inPipeAlive = link->outPipeAlive = false;
  if (link->assembler) aPacket_Reset(link->assembler);
  link->heartbeatState = aLINK_HB_IDLE;
  link->syncState = kSyncStateIdle;
  link->status = link->stream ? aLINK_STOPPED : aLINK_NOSTREAM;
  return result;
}

aErr sStart(aLinkRecord* link) {
  if (link->tornDown) return aErrParam;
  if (link->running) return aErrNone;
  if (!link->stream || !link->assembler || !link->incoming || !link->outgoing) return aErrNotReady;
  link->running = true;
  link->status = aLINK_STARTING;
  link->heartbeatState = aLINK_HB_IDLE;
  link->inPipeAlive = link->outPipeAlive = false;
  link->inPipe = aThread_Create(sInPipeProcess, link);
  if (link->inPipe) link->outPipe = aThread_Create(sOutPipeProcess, link);
  if (!link->inPipe || !link->outPipe) {
    sStop(link);
    return aErrResource;
  }
  // The in-pipe leaves the starting state as soon as it runs (normally at once).
  bool up = false;
  for (unsigned i = 0; i < sPOLLS * sPOLL_MS && !up; ++i) {
    up = link->inPipeAlive && link->outPipeAlive && link->status != aLINK_STARTING;
    if (!up) aTime_MSSleep(1);
  }
  if (!up) {
    sStop(link);
    return aErrIndexRange;
  }
  aDebugging_Print(aDEBUG_LINK, " aLink_Start(%u)\n", link->id);
  const uint8_t on = 1;
  return sQueueOut(link, cmdFORCEROUTE, 1, &on);
}

aErr sTeardown(const aLinkShared& link, const aLinkEntryInfo& info, void* server,
               aLinkServerDestroy destroyServer) {
  aMutex_Lock(link->userFilterMutex);
  link->userFilter = nullptr;
  link->userFilterReference = nullptr;
  aMutex_Unlock(link->userFilterMutex);

  std::lock_guard<std::mutex> control(link->control);
  sStop(link.get());
  link->tornDown = true;
  if (server && destroyServer) destroyServer(server);
  if (info.paired) {
    aLinkRef paired = info.paired;
    aLink_Destroy(&paired);
  }
  aPacketFifoHandle handle = link->incoming.exchange(0);
  if (handle) aPacketFifo_Destroy(&handle);
  handle = link->outgoing.exchange(0);
  const aErr err = handle ? aPacketFifo_Destroy(&handle) : aErrNone;
  if (link->assembler) aPacket_Destroy(&link->assembler);
  aMutex_Lock(link->logMutex);
  link->logActive = false;
  if (link->log) aPacketLog_Destroy(&link->log);
  aMutex_Unlock(link->logMutex);
  if (link->stream) aStream_Destroy(&link->stream);
  link->status = aLINK_NOSTREAM;
  return err;
}

// Creates a link registered under a module identity, or shares the module's existing one.
aLinkRef sCreateRegistered(const aLinkEntryInfo& identity,
                           const std::function<aErr(aStreamRef*)>& makeStream, const char* what) {
  bool created = false;
  aLinkShared link;
  aLinkRef id = aLinkManager_Acquire(identity, &created, &link, sCREATE_WAIT_MS);
  if (!id) {
    aDebugging_Print(aDEBUG_LINK, "%s: device %08X is served or busy; reach it as a client\n", what,
                     identity.identifier[0]);
    return 0;
  }
  if (!created) return id;

  aStreamRef stream = nullptr;
  aErr err = makeStream(&stream);
  if (err == aErrNone && !stream) err = aErrResource;
  {
    std::lock_guard<std::mutex> control(link->control);
    if (sInit(link.get(), err == aErrNone ? stream : nullptr) != aErrNone && err == aErrNone)
      err = aErrResource;
    if (err == aErrNone) err = sStart(link.get());
  }
  if (err != aErrNone) {
    aDebugging_Print(aDEBUG_LINK, "%s: link %u failed to come up: %u\n", what, id, err);
    aLink_Destroy(&id);
    return 0;
  }
  aLinkManager_Publish(id);
  return id;
}

} // namespace

// ---- creation -------------------------------------------------------------------------

aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint32_t port) {
  if (port > 0xFFFF) return 0;
  aLinkEntryInfo identity;
  identity.type = aLINKTYPE_TCPIP;
  identity.identifier[0] = serialNumber;
  identity.identifier[1] = address;
  identity.identifier[2] = port;
  return sCreateRegistered(
      identity,
      [&](aStreamRef* stream) {
        return aStream_CreateSocket(address, static_cast<uint16_t>(port), stream);
      },
      "aLink_CreateTCPIP");
}

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* device, uint32_t baudRate) {
  if (!device) return 0;
  const auto rate = std::find(std::begin(sBaudRates), std::end(sBaudRates), baudRate);
  if (rate == std::end(sBaudRates)) {
    aDebugging_Print(aDEBUG_LINK, "aLink_CreateSerial: unsupported baud rate %u\n", baudRate);
    return 0;
  }
  aLinkEntryInfo identity;
  identity.type = aLINKTYPE_SERIAL;
  identity.identifier[0] = serialNumber;
  identity.device = device;
  identity.baudIndex = static_cast<uint32_t>(rate - std::begin(sBaudRates));
  return sCreateRegistered(
      identity,
      [&](aStreamRef* stream) {
        return aStream_CreateSerial_Packetized(device, identity.baudIndex, 0, 0, 0, stream);
      },
      "aLink_CreateSerial");
}

aLinkRef aLink_Create(aStreamRef stream) {
  if (!stream) return 0;
  aLinkShared link;
  aLinkRef id = aLinkManager_AddAnonymous(&link);
  aErr err;
  {
    std::lock_guard<std::mutex> control(link->control);
    err = sInit(link.get(), stream);
    if (err == aErrNone) err = sStart(link.get());
  }
  if (err != aErrNone) {
    aDebugging_Print(aDEBUG_LINK, "aLink_Create: link %u failed to come up: %u\n", id, err);
    aLink_Destroy(&id);
    return 0;
  }
  aLinkManager_Publish(id);
  return id;
}

aLinkRef aLink_Init(aLinkRef id, aStreamRef stream) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return 0;
  std::lock_guard<std::mutex> control(link->control);
  if (link->tornDown) return 0;
  sStop(link.get());
  return sInit(link.get(), stream) == aErrNone ? id : 0;
}

aErr aLink_Start(aLinkRef id) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> control(link->control);
  return sStart(link.get());
}

aErr aLink_Stop(aLinkRef id) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> control(link->control);
  return sStop(link.get());
}

aErr aLink_Sync(aLinkRef id) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  aDebugging_Print(aDEBUG_LINK, "aLink_Sync(%u)\n", id);
  aErr err = aErrNotReady;
  if (link->running &&
      sTransition(link.get(), {aLINK_RUNNING, aLINK_SYNCING, aLINK_READERROR, aLINK_QUEUEERROR},
                  aLINK_SYNCING)) {
    for (unsigned i = 0; i < sPOLLS && err != aErrNone && link->running; ++i) {
      aTime_MSSleep(sPOLL_MS);
      if (link->status == aLINK_RUNNING) err = aErrNone;
    }
  }
  // Leftover requests and their answers must not reach the caller's traffic.
  aPacketFifo_DrainPackets(link->outgoing.load(), sAcceptAll, nullptr);
  aTime_MSSleep(100);
  aPacketFifo_DrainPackets(link->incoming.load(), sAcceptAll, nullptr);
  return err;
}

aErr aLink_Destroy(aLinkRef* id) {
  if (!id) return aErrParam;
  const aLinkRef linkId = *id;
  *id = 0;
  bool exists = false;
  aLinkShared link;
  aLinkEntryInfo info;
  void* server = nullptr;
  aLinkServerDestroy destroyServer = nullptr;
  if (!aLinkManager_Release(linkId, &exists, &link, &info, &server, &destroyServer))
    return exists ? aErrNone : aErrParam;
  aDebugging_Print(aDEBUG_LINK, " aLink_Destroy(%u)\n", linkId);
  const aErr err = sTeardown(link, info, server, destroyServer);
  aLinkManager_Remove(linkId);
  return err;
}

aErr aLink_Reset(aLinkRef id) {
  aLinkShared link = aLinkManager_Find(id);
  aLinkEntryInfo info;
  if (!link || !aLinkManager_Info(id, &info)) return aErrParam;
  std::function<aErr(aStreamRef*)> makeStream;
  if (info.type == aLINKTYPE_TCPIP) {
    makeStream = [&](aStreamRef* stream) {
      return aStream_CreateSocket(info.identifier[1], static_cast<uint16_t>(info.identifier[2]),
                                  stream);
    };
  } else if (info.type == aLINKTYPE_SERIAL) {
    makeStream = [&](aStreamRef* stream) {
      return aStream_CreateSerial_Packetized(info.device.c_str(), info.baudIndex, 0, 0, 0, stream);
    };
  } else {
    return aErrParam; // nothing to make the stream from: leave the link as it is
  }

  std::lock_guard<std::mutex> control(link->control);
  if (link->tornDown) return aErrParam;
  aDebugging_Print(aDEBUG_LINK, " aLink_Reset(%u)\n", id);
  sStop(link.get());
  sDestroyQueues(link.get());
  if (link->stream) aStream_Destroy(&link->stream);
  aStreamRef stream = nullptr;
  aErr err = aErrResource;
  for (int attempt = 0; attempt < sRESET_ATTEMPTS; ++attempt) {
    if (attempt) aTime_MSSleep(sRESET_PAUSE_MS);
    err = makeStream(&stream);
    if (err == aErrNone && stream) break;
    if (err == aErrNone) err = aErrResource;
  }
  if (err != aErrNone) {
    sInit(link.get(), nullptr); // fresh queues, status 5: callers see a link without stream
    return err;
  }
  err = sInit(link.get(), stream);
  return err == aErrNone ? sStart(link.get()) : err;
}

aErr aLink_ForceRoute(aLinkRef id, uint8_t value) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  return sQueueOut(link.get(), cmdFORCEROUTE, 1, &value);
}

// ---- traffic ---------------------------------------------------------------------------

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  const aErr err = aPacketFifo_Put(link->outgoing.load(), packet);
  if (err != aErrNone) return err;
  // A lone packet on a running link goes out at once from this thread when nobody else is
  // writing; otherwise the out-pipe takes it. Under the write lock the queue is emptied in
  // order, so either way the packets keep the order in which they were queued. After a
  // failed write (a peer that stopped reading) callers stop writing themselves, so that at
  // most one of them waits out the stream's retries. With pooled writes the out-pipe keeps
  // the writing, so that bursts go out in batches.
  if (link->running && !link->lastWriteFailed && !link->pooled &&
      aPacketFifo_GetLength(link->outgoing.load()) == 1 && link->writeLock.try_lock()) {
    uint8_t batch[sPOOL_BYTES];
    sWriteQueued(link.get(), batch);
    link->writeLock.unlock();
  } else {
    sWakeOutPipe(link.get());
  }
  return aErrNone;
}

aPacket* aLink_GetPacket(aLinkRef id) {
  aLinkShared link = aLinkManager_Find(id);
  return link ? aPacketFifo_Get(link->incoming.load()) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkRef id, unsigned long timeout_ms) {
  aLinkShared link = aLinkManager_Find(id);
  return link ? aPacketFifo_Await(link->incoming.load(), timeout_ms) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef id, aPacketFilter filter, const void* reference) {
  aLinkShared link = aLinkManager_Find(id);
  return link ? aPacketFifo_GetFirst(link->incoming.load(), filter, reference) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilter filter, const void* reference,
                          unsigned long timeout_ms) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link || !filter) return nullptr; // without a filter nothing can ever be accepted
  // A time-out too large for the clock (ULONG_MAX for "no limit") saturates instead of
  // wrapping into a deadline that has already passed.
  const uint64_t start = aTime_GetMSTicks();
  const uint64_t deadline =
      timeout_ms > UINT64_MAX - start ? UINT64_MAX : start + static_cast<uint64_t>(timeout_ms);
  // Waits in slices so that a link that stops running (a stop, a resynchronisation, a read
  // error) ends the wait promptly instead of at the deadline.
  while (link->running && link->status == aLINK_RUNNING) {
    const uint64_t now = aTime_GetMSTicks();
    const uint64_t left = deadline > now ? deadline - now : 0;
    const unsigned long slice = static_cast<unsigned long>(std::min<uint64_t>(left, 100));
    aPacket* packet = aPacketFifo_AwaitFirst(link->incoming.load(), filter, reference, slice);
    if (packet || left == 0) return packet;
  }
  return nullptr;
}

size_t aLink_DrainPackets(aLinkRef id, aPacketFilter filter, const void* reference) {
  aLinkShared link = aLinkManager_Find(id);
  return link ? aPacketFifo_DrainPackets(link->incoming.load(), filter, reference) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkRef id, aLinkUserFilter filter, void* reference) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  aMutex_Lock(link->userFilterMutex);
  link->userFilter = filter;
  link->userFilterReference = filter ? reference : nullptr;
  aMutex_Unlock(link->userFilterMutex);
  return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkRef id, bool enable) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  link->pooled = enable;
  return aErrNone;
}

uint32_t aLink_GetStatus(aLinkRef id) {
  aLinkShared link = aLinkManager_Find(id);
  return link ? link->status.load() : aLINK_NOSTREAM;
}
