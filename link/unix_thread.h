#pragma once
// POSIX threads behind a handle.

typedef struct aThreadRecord* aThreadRef;
typedef void* (*aThreadProc)(void* arg);

// Starts a thread running `proc(arg)`; null when it cannot be started.
aThreadRef aThread_Create(aThreadProc proc, void* arg);

// Joins the thread, frees the handle and sets `*handle` to null. Returns the join result
// (0 on success).
int aThread_Destroy(aThreadRef* handle);

// Gives up the processor for a few microseconds; for polling loops.
void aThread_Yield(void);
