#include "link/unix_mutex.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <pthread.h>

namespace {
const size_t sIdentifierSize = 256;
}

struct aMutexRecord {
  pthread_mutex_t mutex;
  char identifier[sIdentifierSize];
};

aMutexRef aMutex_Create(const char* identifier) {
  size_t length = 0;
  if (identifier != nullptr) {
    length = strnlen(identifier, sIdentifierSize);
    if (length >= sIdentifierSize) return nullptr;
  }
  aMutexRecord* record = new (std::nothrow) aMutexRecord;
  if (record == nullptr) return nullptr;
  if (pthread_mutex_init(&record->mutex, nullptr) != 0) {
    delete record;
    return nullptr;
  }
  memcpy(record->identifier, identifier != nullptr ? identifier : "", length);
  record->identifier[length] = '\0';
  return record;
}

const char* aMutex_Identifier(aMutexRef handle) {
  return handle == nullptr ? nullptr : handle->identifier;
}

aErr aMutex_Lock(aMutexRef handle) {
  if (handle == nullptr) return aErrParam;
  switch (pthread_mutex_lock(&handle->mutex)) {
  case 0:
    return aErrNone;
  case EINVAL:
    return aErrParam;
  case EDEADLK:
    return aErrDuplicate;
  default:
    return aErrUnknown;
  }
}

aErr aMutex_TryLock(aMutexRef handle) {
  if (handle == nullptr) return aErrParam;
  switch (pthread_mutex_trylock(&handle->mutex)) {
  case 0:
    return aErrNone;
  case EINVAL:
    return aErrParam;
  case EBUSY:
    return aErrBusy;
  default:
    return aErrUnknown;
  }
}

aErr aMutex_Unlock(aMutexRef handle) {
  if (handle == nullptr) return aErrParam;
  switch (pthread_mutex_unlock(&handle->mutex)) {
  case 0:
    return aErrNone;
  case EINVAL:
    return aErrParam;
  case EPERM:
    return aErrPermission;
  default:
    return aErrUnknown;
  }
}

aErr aMutex_Destroy(aMutexRef* handle) {
  if (handle == nullptr || *handle == nullptr) return aErrParam;
  switch (pthread_mutex_destroy(&(*handle)->mutex)) {
  case 0:
    break;
  case EINVAL:
    return aErrParam;
  case EBUSY:
    return aErrBusy;
  case ENOMEM:
  case EAGAIN:
    return aErrResource;
  default:
    return aErrUnknown;
  }
  delete *handle;
  *handle = nullptr;
  return aErrNone;
}
