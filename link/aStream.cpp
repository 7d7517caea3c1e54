#include "link/aStream.h"

#include "link/unix_file.h"
#include "link/unix_time.h"

#include <cstdlib>
#include <cstring>
#include <string>

struct aStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  void* reference;
  // Push-back ring: absent until the first byte is pushed back.
  char* ring;
  uint32_t held;
  size_t capacity;
  size_t readIndex;
  size_t writeIndex;
  uint16_t check;
};

namespace {

bool sValid(const aStream* stream) {
  return stream && stream->check == aSTREAMCHECK;
}

// Grows the ring by one chunk, moving the held bytes in order to its start.
aErr sGrowRing(aStream* stream) {
  const size_t capacity = stream->capacity + aSTREAMBUFCHUNK;
  char* ring = static_cast<char*>(std::malloc(capacity));
  if (!ring) return aErrMemory;
  for (size_t i = 0; i < stream->held; ++i)
    ring[i] = stream->ring[(stream->readIndex + i) % stream->capacity];
  std::free(stream->ring);
  stream->ring = ring;
  stream->capacity = capacity;
  stream->readIndex = 0;
  stream->writeIndex = stream->held;
  return aErrNone;
}

aErr sNextByte(aStream* stream, char* byte) {
  if (stream->held) {
    *byte = stream->ring[stream->readIndex];
    stream->readIndex = (stream->readIndex + 1) % stream->capacity;
    --stream->held;
    return aErrNone;
  }
  return stream->get(byte, stream->reference);
}

} // namespace

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* reference) {
  aStream* stream = static_cast<aStream*>(std::calloc(1, sizeof(aStream)));
  if (!stream) return nullptr;
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->del = del;
  stream->reference = reference;
  stream->check = aSTREAMCHECK;
  return stream;
}

aErr aStream_Destroy(aStreamRef* stream) {
  if (!stream) return aErrParam;
  aStream* s = *stream;
  *stream = nullptr;
  if (!sValid(s)) return aErrParam;
  aErr err = s->del ? s->del(s->reference) : aErrNone;
  std::free(s->ring);
  s->check = 0;
  std::free(s);
  return err;
}

aErr aStreamBufferChar(aStreamRef stream, char byte) {
  if (!sValid(stream)) return aErrParam;
  if (!stream->ring || stream->held + 1 >= stream->capacity) {
    aErr err = sGrowRing(stream);
    if (err != aErrNone) return err;
  }
  stream->ring[stream->writeIndex] = byte;
  stream->writeIndex = (stream->writeIndex + 1) % stream->capacity;
  ++stream->held;
  return aErrNone;
}

aErr aStream_Read(aStreamRef stream, char* buffer, size_t length) {
  if (!sValid(stream) || !buffer) return aErrParam;
  if (!stream->get) return aErrMode;
  char small[32];
  std::string large;
  char* got = small;
  if (length > sizeof(small)) {
    large.resize(length);
    got = &large[0];
  }
  size_t count = 0;
  aErr err = aErrNone;
  while (count < length) {
    err = sNextByte(stream, &got[count]);
    if (err != aErrNone) break;
    ++count;
  }
  if (err == aErrNotReady) {
    // The ring is empty once get has been called, so pushing back keeps the order.
    for (size_t i = 0; i < count; ++i) {
      aErr pushed = aStreamBufferChar(stream, got[i]);
      if (pushed != aErrNone) return pushed;
    }
    return aErrNotReady;
  }
  if (err == aErrNone || err == aErrEOF) std::memcpy(buffer, got, count);
  return err;
}

aErr aStream_Write(aStreamRef stream, const char* data, size_t length) {
  if (!sValid(stream) || !data) return aErrParam;
  if (!stream->put && !stream->write) return aErrMode;
  if (stream->write && length > 1) return stream->write(data, length, stream->reference);
  for (size_t i = 0; i < length; ++i) {
    aErr err = stream->put ? stream->put(&data[i], stream->reference)
                           : stream->write(&data[i], 1, stream->reference);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, char* buffer, size_t* length, size_t capacity,
                        const char* terminator, size_t terminatorLength) {
  if (!sValid(stream) || !buffer || (!terminator && terminatorLength)) return aErrParam;
  if (length) *length = 0;
  std::string taken;
  for (;;) {
    if (terminatorLength && taken.size() >= terminatorLength &&
        taken.compare(taken.size() - terminatorLength, terminatorLength, terminator,
                      terminatorLength) == 0) {
      taken.resize(taken.size() - terminatorLength);
      break;
    }
    if (taken.size() >= capacity) break;
    char byte;
    aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrEOF && !taken.empty()) break;
    if (err == aErrNotReady) {
      // Leave the partial record for the next call.
      for (char c : taken)
        aStreamBufferChar(stream, c);
      return aErrNotReady;
    }
    if (err != aErrNone) return err;
    taken.push_back(byte);
  }
  if (!taken.empty()) std::memcpy(buffer, taken.data(), taken.size());
  if (length) *length = taken.size();
  return aErrNone;
}

aErr aStream_WriteRecord(aStreamRef stream, const char* data, size_t length, const char* terminator,
                         size_t terminatorLength) {
  if (!sValid(stream) || (!data && length) || (!terminator && terminatorLength)) return aErrParam;
  aErr err = length ? aStream_Write(stream, data, length) : aErrNone;
  if (err == aErrNone && terminatorLength)
    err = aStream_Write(stream, terminator, terminatorLength);
  return err;
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size) {
  if (!buffer || size == 0) return aErrParam;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, buffer, &length, size - 1, "", 1);
  buffer[err == aErrNone ? length : 0] = '\0';
  return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* string) {
  if (!string) return aErrParam;
  return aStream_Write(stream, string, std::strlen(string) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminator) {
  if (!buffer || size == 0 || !terminator) return aErrParam;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, buffer, &length, size - 1, terminator,
                                std::strlen(terminator) + 1);
  buffer[err == aErrNone ? length : 0] = '\0';
  return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string, const char* terminator) {
  if (!string || !terminator) return aErrParam;
  return aStream_WriteRecord(stream, string, std::strlen(string), terminator,
                             std::strlen(terminator) + 1);
}

aErr aStream_Flush(aStreamRef from, aStreamRef to) {
  if (!sValid(from) || !sValid(to)) return aErrParam;
  for (;;) {
    char byte;
    aErr err = aStream_Read(from, &byte, 1);
    if (err == aErrEOF) return aErrNone;
    if (err == aErrNotReady) {
      aTime_MSSleep(1);
      continue;
    }
    if (err != aErrNone) return err;
    err = aStream_Write(to, &byte, 1);
    if (err != aErrNone) return err;
  }
}

// File transport: the reference is the aFileRef.
namespace {

aErr sFileGet(char* byte, void* reference) {
  size_t count = 0;
  aErr err = aFile_Read(static_cast<aFileRef>(reference), byte, 1, &count);
  if (err == aErrNone && count != 1) return aErrEOF;
  return err;
}

aErr sFileWrite(const char* data, size_t length, void* reference) {
  size_t count = 0;
  aErr err = aFile_Write(static_cast<aFileRef>(reference), data, length, &count);
  if (err == aErrNone && count != length) return aErrIO;
  return err;
}

aErr sFilePut(const char* byte, void* reference) {
  return sFileWrite(byte, 1, reference);
}

aErr sFileDelete(void* reference) {
  aFileRef file = static_cast<aFileRef>(reference);
  return aFile_Close(&file);
}

aErr sCreateFile(const char* path, uint32_t mode, aStreamRef* stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  if (!path) return aErrParam;
  aFileRef file = aFile_Open(path, mode);
  if (!file) return aErrNotFound;
  *stream = mode == aFileModeRead
                ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (!*stream) {
    aFile_Close(&file);
    return aErrMemory;
  }
  return aErrNone;
}

} // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
  return sCreateFile(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
  return sCreateFile(path, aFileModeWrite, stream);
}
