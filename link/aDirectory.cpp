#include "link/aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char sSeparator = '/';
const size_t sListPathSize = 2048;
const int sMaxFurtherComponents = 9;

bool sIsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates one directory; true when it exists afterwards as far as mkdir can tell.
bool sMake(const std::string& path, mode_t mode) {
  return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

// Bounded, always terminated copy; false when `text` does not fit.
bool sCopy(char* dst, size_t size, const char* text) {
  size_t length = strlen(text);
  if (length >= size) return false;
  memcpy(dst, text, length + 1);
  return true;
}

// Removes the contents of the open directory `dirFd` (owned by the caller), depth first.
// Entries are examined without following symbolic links, so a link is removed as a link
// and the walk never leaves the tree. False when the walk had to stop.
bool sDeleteContents(int dirFd, const std::string& path) {
  int listFd = dup(dirFd);
  if (listFd < 0) return false;
  DIR* dir = fdopendir(listFd);
  if (dir == nullptr) {
    close(listFd);
    return false;
  }
  bool ok = true;
  struct dirent* entry;
  while (ok && (entry = readdir(dir)) != nullptr) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    std::string child = path + sSeparator + name;
    struct stat info;
    if (fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = false;
      break;
    }
    if (S_ISDIR(info.st_mode)) {
      int childFd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (childFd < 0) {
        ok = false;
        break;
      }
      ok = sDeleteContents(childFd, child);
      close(childFd);
      if (ok && unlinkat(dirFd, name, AT_REMOVEDIR) != 0) ok = false;
    } else if (unlinkat(dirFd, name, 0) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", child.c_str());
      ok = false;
    }
  }
  closedir(dir);
  return ok;
}

} // namespace

bool aDirectory_Exists(const char* path) {
  return path != nullptr && sIsDirectory(path);
}

aErr aDirectory_Ensure(const char* path, mode_t mode) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  if (sIsDirectory(path)) return aErrNone;

  // Find the nearest existing ancestor by cutting at separators from the end.
  std::string copy(path);
  size_t start = 0;
  size_t cut = copy.size();
  while (cut > 0) {
    size_t separator = copy.rfind(sSeparator, cut - 1);
    if (separator == std::string::npos) break; // a relative path none of whose ancestors exists
    if (separator == 0) {
      start = 1; // an absolute path with no existing ancestor starts from the root
      break;
    }
    if (sIsDirectory(copy.substr(0, separator))) {
      start = separator + 1;
      break;
    }
    cut = separator;
  }

  // Create the missing components, outermost first.
  aErr result = aErrNone;
  for (size_t at = copy.find(sSeparator, start); at != std::string::npos;
       at = copy.find(sSeparator, at + 1)) {
    if (at == 0 || copy[at - 1] == sSeparator) continue; // empty component
    std::string prefix = copy.substr(0, at);
    if (!sIsDirectory(prefix) && !sMake(prefix, mode)) {
      result = aErrPermission;
      break;
    }
  }
  if (!sIsDirectory(copy) && !sMake(copy, mode)) return aErrPermission;
  return result;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* ref) {
  if (path == nullptr || callback == nullptr) return aErrParam;
  DIR* dir = opendir(path);
  if (dir == nullptr) return aErrNotFound;
  char full[sListPathSize];
  struct dirent* entry;
  while ((entry = readdir(dir)) != nullptr) {
    // An entry whose full path does not fit is skipped rather than reported truncated.
    if (aDirectory_JoinPath(full, sizeof(full), path, entry->d_name) != aErrNone) continue;
    struct stat info;
    if (lstat(full, &info) != 0) continue;
    aDirectoryListData data;
    data.path = full;
    data.size = static_cast<uint32_t>(info.st_size);
    data.isDirectory = S_ISDIR(info.st_mode);
    if (!callback(&data, ref)) break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_JoinPath(char* dst, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(dst, size, first, second, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* dst, size_t size, const char* first, ...) {
  if (dst == nullptr || size == 0) return aErrParam;
  dst[0] = '\0';
  if (first == nullptr || first == dst) return aErrParam;

  std::vector<const char*> components;
  va_list args;
  va_start(args, first);
  const char* component;
  while ((component = va_arg(args, const char*)) != nullptr) {
    if (component == dst || static_cast<int>(components.size()) == sMaxFurtherComponents) {
      va_end(args);
      return aErrParam;
    }
    components.push_back(component);
  }
  va_end(args);

  size_t length = strlen(first);
  if (length >= size - 1) return aErrOverrun;
  memcpy(dst, first, length + 1);

  for (const char* part : components) {
    size_t room = size - length - 1;
    if (room > 1 && (length == 0 || dst[length - 1] != sSeparator) && part[0] != sSeparator) {
      dst[length++] = sSeparator;
      dst[length] = '\0';
      --room;
    }
    size_t partLength = strlen(part);
    if (partLength >= room) return aErrOverrun;
    memcpy(dst + length, part, partLength + 1);
    length += partLength;
  }
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* dst, size_t size) {
  if (dst == nullptr || size == 0) return aErrParam;
  dst[0] = '\0';

  // The password database of the real user first; "HOME" only when it has no entry.
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  int status;
  while ((status = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found)) ==
             ERANGE &&
         scratch.size() < (1u << 20))
    scratch.resize(scratch.size() * 2);

  const char* home = nullptr;
  if (status == 0 && found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0')
    home = found->pw_dir;
  else
    home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') return aErrNotFound;
  if (!sCopy(dst, size, home)) {
    dst[0] = '\0';
    return aErrOverrun;
  }
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) return aErrParam;
  // The top itself must be a real directory: a link to a directory elsewhere is not a tree
  // of ours to empty.
  int dirFd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd >= 0) {
    sDeleteContents(dirFd, path);
    close(dirFd);
  }
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* dst, size_t size) {
  if (dst == nullptr || size == 0) return aErrParam;
  if (getcwd(dst, size) == nullptr) {
    dst[0] = '\0';
    return aErrParam;
  }
  return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* dst, size_t size) {
  if (dst == nullptr || size == 0) return aErrParam;
  // readlink refuses an empty buffer: with room for the terminator only, the link is still
  // read (into a spare byte) so that an unreadable link is reported, and the result is empty.
  char spare;
  ssize_t length =
      size > 1 ? readlink("/proc/self/exe", dst, size - 1) : readlink("/proc/self/exe", &spare, 1);
  if (length < 0) {
    dst[0] = '\0';
    return aErrRead;
  }
  dst[size > 1 ? length : 0] = '\0';
  return aErrNone;
}
