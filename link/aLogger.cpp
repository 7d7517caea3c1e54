#include "link/aLogger.h"

#include "link/unix_file.h"

#include <atomic>
#include <new>
#include <pthread.h>

namespace {
const uint16_t sLoggerCheck = 0xDEED;
}

struct aLoggerRecord {
  uint32_t identifier;
  aLoggerProc callback;
  aFileRef file;
  pthread_t worker;          // the creating thread's id while no worker runs
  std::atomic<bool> enabled; // written by the controlling thread, read by the worker
  bool running;              // a worker exists and must be joined; controlling thread only
  uint16_t check;
};

namespace {

// The logger whose worker runs on this thread, if any. The worker itself reads only what was
// set before it started (and the atomic flag), so it identifies itself through this.
thread_local aLoggerRef sWorkerOf = nullptr;

bool sValid(aLoggerRef logger) {
  return logger != nullptr && logger->check == sLoggerCheck;
}
bool sOnWorker(aLoggerRef logger) {
  return sWorkerOf == logger;
}

void* sWorker(void* arg) {
  aLoggerRef logger = static_cast<aLoggerRef>(arg);
  sWorkerOf = logger;
  while (logger->enabled.load(std::memory_order_acquire))
    logger->callback(logger->file, logger->identifier);
  return nullptr;
}

} // namespace

aLoggerRef aLogger_Create(uint32_t identifier, aLoggerProc callback, const char* path) {
  if (callback == nullptr) return nullptr;
  aLoggerRecord* logger = new (std::nothrow) aLoggerRecord;
  if (logger == nullptr) return nullptr;
  logger->file = aFile_Open(path, aFileModeAppend);
  if (logger->file == nullptr) {
    delete logger;
    return nullptr;
  }
  aFile_SetUnbuffered(logger->file);
  logger->identifier = identifier;
  logger->callback = callback;
  logger->worker = pthread_self();
  logger->enabled.store(false);
  logger->running = false;
  logger->check = sLoggerCheck;
  return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
  if (!sValid(logger)) return aErrParam;
  // Already running: from its own worker, or started before.
  if (sOnWorker(logger) || logger->running) return aErrNone;
  logger->enabled.store(true, std::memory_order_release);
  pthread_t worker;
  if (pthread_create(&worker, nullptr, sWorker, logger) != 0) {
    logger->enabled.store(false, std::memory_order_release);
    return aErrResource;
  }
  logger->worker = worker;
  logger->running = true;
  return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
  if (!sValid(logger)) return aErrParam;
  // The worker cannot wait for itself to end.
  if (sOnWorker(logger)) return aErrNone;
  if (!logger->running) return aErrNone;
  logger->enabled.store(false, std::memory_order_release);
  if (pthread_join(logger->worker, nullptr) != 0) return aErrUnknown;
  logger->running = false;
  logger->worker = pthread_self();
  return aErrNone;
}

aErr aLogger_Destroy(aLoggerRef* handle) {
  if (handle == nullptr || !sValid(*handle)) return aErrNone;
  aLoggerRef logger = *handle;
  // Called from the worker itself the record is still in use and must stay.
  if (sOnWorker(logger)) return aErrBusy;
  aErr err = aLogger_Disable(logger);
  if (err != aErrNone) return err;
  aFile_Close(&logger->file);
  logger->check = 0;
  delete logger;
  *handle = nullptr;
  return aErrNone;
}
