#pragma once
// Replacing a file whole: the bytes go to a hidden temporary file beside the target, are
// flushed to disk, and the temporary file is renamed over the target. A crash, a full disk or
// a failed write leaves either the old file or the new one, never a half-written one.

#include "link/aError.h"

#include <cstddef>

// Writes `length` bytes of `data` to `path` atomically. The temporary file is named
// ".NAME.XXXXXX" in the target's directory (hidden, so store listings skip a leftover).
// Results: aErrNone; aErrParam for a null path or null data; aErrNotFound when the temporary
// file cannot be created (missing or unwritable directory); aErrWrite when writing or flushing
// fails (the target is untouched); aErrIO when the rename fails (the target is untouched).
// errno is left as the failing call set it.
aErr WriteFileAtomic(const char* path, const void* data, size_t length);
