#include "store/AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Keeps errno of the failing call across the clean-up calls that follow it.
class ErrnoKeeper {
public:
  ErrnoKeeper() : saved(errno) {}
  ~ErrnoKeeper() { errno = saved; }

private:
  int saved;
};

bool WriteAll(int fd, const unsigned char* bytes, size_t length) {
  while (length > 0) {
    ssize_t put = write(fd, bytes, length);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) {
      errno = ENOSPC;
      return false;
    }
    bytes += put;
    length -= size_t(put);
  }
  return true;
}

// Makes the rename itself durable. Failure here is not reported: the new file is in place.
void SyncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

} // namespace

aErr WriteFileAtomic(const char* path, const void* data, size_t length) {
  if (path == nullptr || path[0] == '\0' || (data == nullptr && length > 0)) {
    errno = EINVAL;
    return aErrParam;
  }
  std::string target(path);
  size_t slash = target.find_last_of('/');
  std::string directory = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.empty()) {
    errno = EISDIR;
    return aErrParam;
  }
  std::string temporary =
      (slash == std::string::npos ? std::string() : directory) + "." + base + ".XXXXXX";

  int fd = mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) return aErrNotFound;

  // A replaced file keeps its permission bits; a new one gets the usual ones for user data.
  struct stat existing;
  mode_t mode = stat(path, &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  fchmod(fd, mode);

  bool written = WriteAll(fd, static_cast<const unsigned char*>(data), length) && fsync(fd) == 0;
  if (!written) {
    ErrnoKeeper keep;
    close(fd);
    unlink(temporary.c_str());
    return aErrWrite;
  }
  if (close(fd) != 0) {
    ErrnoKeeper keep;
    unlink(temporary.c_str());
    return aErrWrite;
  }
  if (rename(temporary.c_str(), path) != 0) {
    ErrnoKeeper keep;
    unlink(temporary.c_str());
    return aErrIO;
  }
  SyncDirectory(directory);
  return aErrNone;
}
