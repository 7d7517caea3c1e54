#pragma once
// Default (non-recursive) POSIX mutexes behind a handle.

#include "link/aError.h"

typedef struct aMutexRecord* aMutexRef;

// A new mutex, or null. `identifier` may be null; it must be shorter than 256 characters.
aMutexRef aMutex_Create(const char* identifier);
// The stored identifier (empty when none was given); null for a null handle.
const char* aMutex_Identifier(aMutexRef handle);

aErr aMutex_Lock(aMutexRef handle);
aErr aMutex_TryLock(aMutexRef handle);
aErr aMutex_Unlock(aMutexRef handle);
// Destroys and frees the mutex and sets `*handle` to null; a busy mutex stays (aErrBusy).
aErr aMutex_Destroy(aMutexRef* handle);
