#pragma once
// A checked wrapper over stdio files.

#include "link/aError.h"

#include <cstddef>
#include <cstdint>

typedef struct aFileRecord* aFileRef;

// Open modes.
enum : uint32_t {
  aFileModeRead = 0,   // "rb"
  aFileModeWrite = 1,  // "wb", truncating or creating
  aFileModeAppend = 2, // "ab+", read and append, positioned at the end
};

// Seek origins.
enum : int {
  aSeekStart = 0,
  aSeekCurrent = 1,
  aSeekEnd = 2,
};

// True when `path` exists and is not a directory.
bool aFile_Exists(const char* path);

// A new file handle, or null on any failure.
aFileRef aFile_Open(const char* path, uint32_t mode);

// Closes and frees the file and sets `*handle` to null (also when it was invalid: aErrParam).
aErr aFile_Close(aFileRef* handle);

// Reads up to `length` bytes (modes read and append). aErrEOF when nothing could be read.
aErr aFile_Read(aFileRef handle, void* buffer, size_t length, size_t* count);

// Writes `length` bytes (modes write and append). aErrIO when nothing could be written.
aErr aFile_Write(aFileRef handle, const void* data, size_t length, size_t* count);

// Reads one line with its newline into `buffer` of `size` bytes. aErrEOF at the end,
// aErrOverrun when the line fills the buffer (the rest is left for the next call).
aErr aFile_ReadLine(aFileRef handle, char* buffer, size_t size, size_t* length);

aErr aFile_Printf(aFileRef handle, const char* format, ...) __attribute__((format(printf, 2, 3)));

// aErrRange when the target lies before the start or beyond the end of the file.
aErr aFile_Seek(aFileRef handle, long offset, int origin);
aErr aFile_GetSize(aFileRef handle, size_t* size);
aErr aFile_GetPosition(aFileRef handle, size_t* position);

// Switches a writable file to unbuffered output; aErrMode for a read-only file.
aErr aFile_SetUnbuffered(aFileRef handle);

aErr aFile_Delete(const char* path);
