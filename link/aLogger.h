#pragma once
// A worker thread that drives a callback with an open log file.

#include "link/aError.h"
#include "link/unix_file.h"

#include <cstdint>

typedef struct aLoggerRecord* aLoggerRef;

// Called over and over while the logger is enabled; does one unit of work per call and
// sleeps itself when there is nothing to do.
typedef void (*aLoggerProc)(aFileRef file, uint32_t identifier);

// A new, disabled logger writing to `path` (opened for append, unbuffered); null on failure.
aLoggerRef aLogger_Create(uint32_t identifier, aLoggerProc callback, const char* path);

// Starts the worker; enabling an enabled logger does nothing.
aErr aLogger_Enable(aLoggerRef logger);
// Stops the worker and waits for it. From the worker itself it returns at once.
aErr aLogger_Disable(aLoggerRef logger);
// Stops, closes and frees the logger and sets `*logger` to null.
aErr aLogger_Destroy(aLoggerRef* logger);
