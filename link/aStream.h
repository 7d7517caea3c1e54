#pragma once
// Byte streams: a transport reached through four operations (any may be absent), plus an
// input push-back ring and record and string conveniences.
//
// Operation results: aErrNone (a byte read, or everything written), aErrNotReady (nothing
// there now; try again), aErrEOF (end of input), or a transport error.

#include "link/aError.h"

#include <cstddef>
#include <cstdint>

typedef aErr (*aStreamGetProc)(char* byte, void* reference);
typedef aErr (*aStreamPutProc)(const char* byte, void* reference);
typedef aErr (*aStreamWriteProc)(const char* data, size_t length, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);

typedef struct aStream* aStreamRef;

constexpr uint16_t aSTREAMCHECK = 0x4321;
constexpr size_t aSTREAMBUFCHUNK = 512; // push-back ring growth step

// A new stream over the transport, or null when memory is short.
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* reference);

// Calls the delete operation (its result is the result), frees the stream and sets `*stream`
// to null. aErrParam for an invalid stream (the pointer is still set to null).
aErr aStream_Destroy(aStreamRef* stream);

// Reads exactly `length` bytes. aErrNotReady when they are not all there yet: the bytes read
// so far are pushed back and `buffer` is untouched. aErrEOF after copying what was read.
// aErrParam for an invalid stream or null buffer, aErrMode without a get operation.
aErr aStream_Read(aStreamRef stream, char* buffer, size_t length);

// Writes `length` bytes: one write call for a block, or one put per byte. aErrParam for an
// invalid stream or null data, aErrMode with neither put nor write.
aErr aStream_Write(aStreamRef stream, const char* data, size_t length);

// Pushes one byte back: the next reads return it, after bytes already pushed back.
aErr aStreamBufferChar(aStreamRef stream, char byte);

// Reads into `buffer` (capacity bytes) until the terminator has been read (not stored), the
// buffer is full, or the input ends after at least one byte. `*length` gets the count stored.
aErr aStream_ReadRecord(aStreamRef stream, char* buffer, size_t* length, size_t capacity,
                        const char* terminator, size_t terminatorLength);
aErr aStream_WriteRecord(aStreamRef stream, const char* data, size_t length, const char* terminator,
                         size_t terminatorLength);

// Reads up to a zero byte into `buffer` of `size` bytes and terminates the string.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size);
// Writes the string and its zero byte.
aErr aStream_WriteCString(aStreamRef stream, const char* string);

// Strings ended by a terminator string; the terminator travels with its zero byte.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminator);
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string, const char* terminator);

// Copies bytes from `from` to `to` until `from` reports aErrEOF (then aErrNone).
aErr aStream_Flush(aStreamRef from, aStreamRef to);

// Files: input (get only) and output (put and write, truncating).
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);
