#include "link/aPacketDebug.h"

#include "link/aLinkManagerInternal.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

size_t sUsed(const aPacketLog* log) {
  return (log->write + log->size - log->read) % log->size;
}

// Copies `length` bytes into the ring at `at`, wrapping at its end; returns the index after.
size_t sCopyIn(aPacketLog* log, size_t at, const uint8_t* bytes, size_t length) {
  if (length == 0) return at;
  const size_t first = length < log->size - at ? length : log->size - at;
  std::memcpy(log->ring + at, bytes, first);
  std::memcpy(log->ring, bytes + first, length - first);
  return (at + length) % log->size;
}

void sCopyOut(const aPacketLog* log, size_t at, uint8_t* bytes, size_t length) {
  if (length == 0) return;
  const size_t first = length < log->size - at ? length : log->size - at;
  std::memcpy(bytes, log->ring + at, first);
  std::memcpy(bytes + first, log->ring, length - first);
}

} // namespace

aPacketLog* aPacketLog_Create(size_t size) {
  if (size == 0) size = aPACKETLOG_DEFAULT_SIZE;
  if (size > aPACKETLOG_MAX_SIZE) return nullptr;
  aPacketLog* log = new (std::nothrow) aPacketLog{};
  if (!log) return nullptr;
  log->ring = static_cast<uint8_t*>(std::malloc(size));
  if (!log->ring) {
    delete log;
    return nullptr;
  }
  log->size = size;
  return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint8_t length, const uint8_t* bytes) {
  if (!log || (length && !bytes)) return aErrParam;
  const size_t need = static_cast<size_t>(length) + 2;
  if (need >= log->size) return aErrOverrun;
  // The record must be strictly smaller than the free space, so that a full ring never
  // looks empty (read index equal to write index).
  while (need >= log->size - sUsed(log)) {
    const uint8_t oldLength = log->ring[(log->read + 1) % log->size];
    log->read = (log->read + 2 + oldLength) % log->size;
  }
  const uint8_t head[2] = {type, length};
  log->write = sCopyIn(log, log->write, head, 2);
  log->write = sCopyIn(log, log->write, bytes, length);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, uint8_t* length, uint8_t* buffer) {
  if (!log || !type || !length || !buffer) return aErrParam;
  if (sUsed(log) == 0) return aErrNotFound;
  const uint8_t recordLength = log->ring[(log->read + 1) % log->size];
  if (recordLength > *length) return aErrOverrun;
  *type = log->ring[log->read];
  sCopyOut(log, (log->read + 2) % log->size, buffer, recordLength);
  *length = recordLength;
  log->read = (log->read + 2 + recordLength) % log->size;
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (!log || !*log) return aErrParam;
  std::free((*log)->ring);
  delete *log;
  *log = nullptr;
  return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int size) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  if (size > static_cast<long>(aPACKETLOG_MAX_SIZE)) return aErrParam;
  aMutex_Lock(link->logMutex);
  aErr err = aErrNone;
  if (link->log)
    err = aErrBusy;
  else
    link->logSize = size < 0 ? 0 : static_cast<size_t>(size);
  aMutex_Unlock(link->logMutex);
  return err;
}

aErr aLink_PacketDebug_Enable(aLinkRef id) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  if (!link->logMutex) return aErrResource;
  aMutex_Lock(link->logMutex);
  if (!link->log) link->log = aPacketLog_Create(link->logSize);
  aErr err = aErrResource;
  if (link->log) {
    link->log->enabled = true;
    link->logActive = true;
    err = aErrNone;
  }
  aMutex_Unlock(link->logMutex);
  return err;
}

aErr aLink_PacketDebug_Disable(aLinkRef id) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  aMutex_Lock(link->logMutex);
  aErr err = aErrNotReady;
  if (link->log) {
    link->log->enabled = false;
    link->logActive = false;
    err = aErrNone;
  }
  aMutex_Unlock(link->logMutex);
  return err;
}

aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t type, uint8_t length, const uint8_t* bytes) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  aMutex_Lock(link->logMutex);
  const aErr err = link->log ? aPacketLog_Put(link->log, type, length, bytes) : aErrNotReady;
  aMutex_Unlock(link->logMutex);
  return err;
}

aErr aLink_PacketDebug_Read(aLinkRef id, uint8_t* type, uint8_t* length, uint8_t* buffer) {
  aLinkShared link = aLinkManager_Find(id);
  if (!link) return aErrParam;
  aMutex_Lock(link->logMutex);
  const aErr err = link->log ? aPacketLog_Get(link->log, type, length, buffer) : aErrNotReady;
  aMutex_Unlock(link->logMutex);
  return err;
}
