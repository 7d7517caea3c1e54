#include "link/unix_file.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const uint16_t sFileCheck = 0xFEED;
const size_t sMaxPath = 4096;
} // namespace

struct aFileRecord {
  FILE* stream;
  uint32_t mode;
  int lastOp; // direction of the last transfer on an update stream
  uint16_t check;
};

namespace {

enum { sOpNone, sOpRead, sOpWrite };

bool sValid(aFileRef handle) {
  return handle != nullptr && handle->check == sFileCheck;
}
bool sCanRead(aFileRef handle) {
  return handle->mode == aFileModeRead || handle->mode == aFileModeAppend;
}
bool sCanWrite(aFileRef handle) {
  return handle->mode == aFileModeWrite || handle->mode == aFileModeAppend;
}

// An update stream ("ab+") must be flushed or repositioned between output and input.
bool sSwitchTo(aFileRef handle, int op) {
  bool ok = true;
  if (handle->lastOp == sOpWrite && op == sOpRead)
    ok = fflush(handle->stream) == 0;
  else if (handle->lastOp == sOpRead && op == sOpWrite)
    ok = fseek(handle->stream, 0, SEEK_CUR) == 0;
  handle->lastOp = op;
  return ok;
}

} // namespace

bool aFile_Exists(const char* path) {
  if (path == nullptr || strnlen(path, sMaxPath + 1) > sMaxPath) return false;
  struct stat info;
  return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

aFileRef aFile_Open(const char* path, uint32_t mode) {
  if (path == nullptr || path[0] == '\0' || strnlen(path, sMaxPath + 1) > sMaxPath) return nullptr;
  static const char* const sModes[] = {"rb", "wb", "ab+"};
  if (mode > aFileModeAppend) return nullptr;
  aFileRecord* record = new (std::nothrow) aFileRecord;
  if (record == nullptr) return nullptr;
  record->stream = fopen(path, sModes[mode]);
  if (record->stream == nullptr) {
    delete record;
    return nullptr;
  }
  if (mode == aFileModeAppend && fseek(record->stream, 0, SEEK_END) != 0) {
    fclose(record->stream);
    delete record;
    return nullptr;
  }
  record->mode = mode;
  record->lastOp = sOpNone;
  record->check = sFileCheck;
  return record;
}

aErr aFile_Close(aFileRef* handle) {
  if (handle == nullptr) return aErrParam;
  aFileRef file = *handle;
  *handle = nullptr;
  if (!sValid(file)) return aErrParam;
  int closed = fclose(file->stream);
  file->check = 0;
  delete file;
  return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef handle, void* buffer, size_t length, size_t* count) {
  if (count != nullptr) *count = 0;
  if (!sValid(handle) || buffer == nullptr) return aErrParam;
  if (!sCanRead(handle)) return aErrMode;
  if (!sSwitchTo(handle, sOpRead)) return aErrIO;
  size_t got = fread(buffer, 1, length, handle->stream);
  if (count != nullptr) *count = got;
  if (got == 0 && length != 0) return ferror(handle->stream) ? aErrIO : aErrEOF;
  return aErrNone;
}

aErr aFile_Write(aFileRef handle, const void* data, size_t length, size_t* count) {
  if (count != nullptr) *count = 0;
  if (!sValid(handle) || data == nullptr) return aErrParam;
  if (!sCanWrite(handle)) return aErrMode;
  if (!sSwitchTo(handle, sOpWrite)) return aErrIO;
  size_t put = fwrite(data, 1, length, handle->stream);
  if (count != nullptr) *count = put;
  if (put == 0 && length != 0) return aErrIO;
  return aErrNone;
}

aErr aFile_ReadLine(aFileRef handle, char* buffer, size_t size, size_t* length) {
  if (length != nullptr) *length = 0;
  if (!sValid(handle) || buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  if (!sCanRead(handle)) return aErrMode;
  // fgets takes an int size; a larger buffer is simply used in part.
  int limit = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
  if (!sSwitchTo(handle, sOpRead)) return aErrIO;
  if (fgets(buffer, limit, handle->stream) == nullptr) {
    buffer[0] = '\0';
    return ferror(handle->stream) ? aErrIO : aErrEOF;
  }
  size_t got = strlen(buffer);
  if (length != nullptr) *length = got;
  if (got == static_cast<size_t>(limit) - 1 && (got == 0 || buffer[got - 1] != '\n'))
    return aErrOverrun;
  return aErrNone;
}

aErr aFile_Printf(aFileRef handle, const char* format, ...) {
  if (!sValid(handle) || format == nullptr) return aErrParam;
  if (!sCanWrite(handle)) return aErrMode;
  if (!sSwitchTo(handle, sOpWrite)) return aErrIO;
  va_list args;
  va_start(args, format);
  int written = vfprintf(handle->stream, format, args);
  va_end(args);
  return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFileRef handle, long offset, int origin) {
  if (!sValid(handle)) return aErrParam;
  long base;
  switch (origin) {
  case aSeekStart:
    base = 0;
    break;
  case aSeekCurrent:
    base = ftell(handle->stream);
    if (base < 0) return aErrIO;
    break;
  case aSeekEnd: {
    size_t size = 0;
    if (aFile_GetSize(handle, &size) != aErrNone) return aErrIO;
    base = static_cast<long>(size);
    break;
  }
  default:
    return aErrParam;
  }
  size_t size = 0;
  if (aFile_GetSize(handle, &size) != aErrNone) return aErrIO;
  // Guard the sum against overflow before comparing it with the file's extent.
  if ((offset < 0 && offset < -base) || (offset > 0 && offset > static_cast<long>(size) - base))
    return aErrRange;
  long target = base + offset;
  handle->lastOp = sOpNone;
  if (fseek(handle->stream, target, SEEK_SET) != 0) return aErrIO;
  return aErrNone;
}

aErr aFile_GetSize(aFileRef handle, size_t* size) {
  if (size != nullptr) *size = 0;
  if (!sValid(handle) || size == nullptr) return aErrParam;
  long position = ftell(handle->stream);
  if (position < 0) return aErrIO;
  if (fseek(handle->stream, 0, SEEK_END) != 0) return aErrIO;
  long end = ftell(handle->stream);
  handle->lastOp = sOpNone;
  if (fseek(handle->stream, position, SEEK_SET) != 0 || end < 0) return aErrIO;
  *size = static_cast<size_t>(end);
  return aErrNone;
}

aErr aFile_GetPosition(aFileRef handle, size_t* position) {
  if (position != nullptr) *position = 0;
  if (!sValid(handle) || position == nullptr) return aErrParam;
  long at = ftell(handle->stream);
  if (at < 0) return aErrIO;
  *position = static_cast<size_t>(at);
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef handle) {
  if (!sValid(handle)) return aErrParam;
  if (!sCanWrite(handle)) return aErrMode;
  if (setvbuf(handle->stream, nullptr, _IONBF, 0) != 0) return aErrMode;
  return aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  if (strnlen(path, sMaxPath + 1) > sMaxPath) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
  case ENOENT:
    return aErrNotFound;
  case EACCES:
  case EPERM:
    return aErrPermission;
  default:
    return aErrIO;
  }
}
