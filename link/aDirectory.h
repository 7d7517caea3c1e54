#pragma once
// Directory and path functions (path separator "/").

#include "link/aError.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// One entry handed to an aDirectory_List callback. `path` is valid only during the callback.
// A symbolic link is reported as itself (never as the directory it may point to).
typedef struct aDirectoryListData {
  const char* path; // listed directory joined with the entry name
  uint32_t size;    // entry size in bytes, truncated to 32 bits
  bool isDirectory; // true when the entry itself is a directory
} aDirectoryListData;

// Returns false to stop the listing early.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* ref);

// True when `path` names an existing directory (symbolic links to directories count).
bool aDirectory_Exists(const char* path);

// Makes sure `path` and all its missing ancestors exist, creating them with `mode`.
// Any creation failure gives aErrPermission.
aErr aDirectory_Ensure(const char* path, mode_t mode);

// Calls `callback` for each entry of `path` (including "." and ".."), in system order.
// aErrNotFound when the directory cannot be opened, else aErrNone (also when stopped early).
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* ref);

// aDirectory_BuildPath with exactly two components.
aErr aDirectory_JoinPath(char* dst, size_t size, const char* first, const char* second);

// Joins `first` and the further components (at most nine, ended by a null pointer) into `dst`
// of `size` bytes, inserting "/" only where neither side of a join has one. aErrOverrun when
// the result does not fit, aErrParam for bad arguments; `dst` keeps what was joined so far.
aErr aDirectory_BuildPath(char* dst, size_t size, const char* first, ...);

// Copies the current user's home directory into `dst` (terminated, at most `size` bytes):
// the password database entry of the real user first, "HOME" only when there is none.
// aErrOverrun when it does not fit, aErrNotFound when there is none.
aErr aDirectory_GetHomeDirectory(char* dst, size_t size);

// Removes an empty directory; aErrUnknown on failure.
aErr aDirectory_Delete(const char* path);

// Removes a directory with all its contents, depth first. Symbolic links inside the tree are
// removed as links; whatever they point to is left alone.
aErr aDirectory_DeleteTree(const char* path);

// The working directory into `dst`; aErrParam when it cannot be read or does not fit.
aErr aDirectory_CWD(char* dst, size_t size);

// The path of the running executable into `dst` (cut to fit, terminated); aErrRead on failure.
aErr aDirectory_ExecutableFilePath(char* dst, size_t size);
