#include "link/aStreamsocket.h"

#include "link/unix_time.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint16_t sSOCKET_CHECK = 0xDEAD;
// How long a read waits for input before it answers "nothing there", so that a reader
// polling the stream does not spin a core.
constexpr int sIDLE_WAIT_MS = 5;
constexpr int sCONNECT_TIMEOUT_MS = 3000;
// Bytes taken from the socket by one receive call; later reads are served from them.
constexpr size_t sRECEIVE_BUFFER = 512;

// The reader and the writer thread share the record. The descriptor number stays the same
// from the first connection to deletion: a reconnection builds the new connection aside and
// moves it onto that number with dup2, so neither thread can ever use or close a number
// that has been handed to something else. Reconnections are serialised by `connectLock`;
// `generation` lets a thread that waited for the lock see that the other one already
// reconnected.
//
// The receive buffer belongs to the reader alone. It is stamped with the generation of the
// connection its bytes came from; bytes of a connection that has since been replaced are
// dropped, never delivered as if they came from the new one.
struct SocketStream {
  uint16_t check;
  uint32_t port;
  struct sockaddr_in address;
  std::atomic<int> fd{-1};
  std::atomic<uint32_t> flags{0}; // bit 0: connected
  std::atomic<uint64_t> generation{0};
  std::mutex connectLock;
  char received[sRECEIVE_BUFFER];
  size_t receivedCount = 0; // bytes not yet delivered
  size_t receivedNext = 0;  // index of the next byte to deliver
  uint64_t receivedGeneration = 0;
};

constexpr uint32_t sCONNECTED = 1;

SocketStream* sRecord(void* reference) {
  SocketStream* s = static_cast<SocketStream*>(reference);
  return s && s->check == sSOCKET_CHECK ? s : nullptr;
}

bool sConnected(const SocketStream* s) {
  return (s->flags & sCONNECTED) != 0;
}

bool sBrokenConnection(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

aErr sConnectError(int error) {
  switch (error) {
  case ECONNREFUSED:
  case ETIMEDOUT:
  case EAGAIN:
  case EINPROGRESS:
  case ECONNRESET:
  case ENETUNREACH:
  case EHOSTUNREACH:
    return aErrConnection;
  default:
    return aErrIO;
  }
}

// Opens a connected, configured socket; returns the descriptor or -1 with `*err` set.
int sOpenConnection(const SocketStream* s, aErr* err) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *err = aErrIO;
    return -1;
  }
  int rc = connect(fd, reinterpret_cast<const struct sockaddr*>(&s->address), sizeof(s->address));
  if (rc != 0 && errno == EINPROGRESS) {
    struct pollfd p = {fd, POLLOUT, 0};
    rc = poll(&p, 1, sCONNECT_TIMEOUT_MS);
    int error = ETIMEDOUT;
    if (rc > 0) {
      socklen_t len = sizeof(error);
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    } else if (rc < 0) {
      error = errno;
    }
    errno = error;
    rc = error == 0 ? 0 : -1;
  }
  if (rc != 0) {
    *err = sConnectError(errno);
    close(fd);
    return -1;
  }
  int on = 1;
  struct timeval none = {0, 0};
  struct linger reset = {1, 0}; // close resets the connection at once
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none));
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  *err = aErrNone;
  return fd;
}

// (Re)connects. `seen` is the generation the caller saw fail; when another thread has
// reconnected since, there is nothing left to do.
aErr sReconnect(SocketStream* s, uint64_t seen) {
  std::lock_guard<std::mutex> lock(s->connectLock);
  if (s->generation != seen) return sConnected(s) ? aErrNone : aErrConnection;
  ++s->generation;
  if (sConnected(s)) {
    s->flags &= ~sCONNECTED;
    shutdown(s->fd, SHUT_RDWR);
    aTime_MSSleep(10);
  }
  aErr err = aErrNone;
  int fresh = sOpenConnection(s, &err);
  if (fresh < 0) return err;
  if (s->fd < 0) {
    s->fd = fresh;
  } else {
    if (dup2(fresh, s->fd) < 0) err = aErrIO;
    close(fresh);
    if (err != aErrNone) return err;
  }
  s->flags |= sCONNECTED;
  return aErrNone;
}

// The peer has closed or reset the connection: mark it down and shut it, so that both
// threads see the failure; the descriptor itself stays until a reconnection or deletion.
void sMarkDown(SocketStream* s, uint64_t seen) {
  std::lock_guard<std::mutex> lock(s->connectLock);
  if (s->generation != seen || !sConnected(s)) return;
  s->flags &= ~sCONNECTED;
  shutdown(s->fd, SHUT_RDWR);
}

// One receive call into the empty buffer: aErrNone when bytes arrived, else what the read
// reports.
aErr sFill(SocketStream* s, int fd, uint64_t generation) {
  ssize_t n = recv(fd, s->received, sizeof(s->received), MSG_DONTWAIT);
  if (n > 0) {
    s->receivedCount = static_cast<size_t>(n);
    s->receivedNext = 0;
    s->receivedGeneration = generation;
    return aErrNone;
  }
  if (n == 0) {
    // An orderly close by the peer: the connection is gone, not merely idle.
    sMarkDown(s, generation);
    return aErrConnection;
  }
  if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return aErrNotReady;
  if (sBrokenConnection(errno)) {
    // Reconnect in place so that the next read works, but tell the caller: bytes in
    // flight were lost and the packet stream must be resynchronised.
    aErr err = sReconnect(s, generation);
    return err == aErrNone ? aErrConnection : err;
  }
  return aErrConnection;
}

aErr sSocketGet(char* byte, void* reference) {
  SocketStream* s = sRecord(reference);
  if (!s || !byte) return aErrParam;
  const uint64_t generation = s->generation;
  if (s->receivedCount && s->receivedGeneration != generation) s->receivedCount = 0;
  if (!sConnected(s)) {
    s->receivedCount = 0;
    return aErrConnection;
  }
  if (s->receivedCount == 0) {
    const int fd = s->fd;
    aErr err = sFill(s, fd, generation);
    if (err == aErrNotReady) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, sIDLE_WAIT_MS) <= 0) return aErrNotReady;
      // Readable, or closed / reset: the next receive tells which.
      err = sFill(s, fd, generation);
    }
    if (err != aErrNone) return err;
  }
  *byte = s->received[s->receivedNext++];
  --s->receivedCount;
  return aErrNone;
}

aErr sSocketWrite(const char* data, size_t length, void* reference) {
  SocketStream* s = sRecord(reference);
  if (!s || (!data && length)) return aErrParam;
  if (!sConnected(s)) return aErrConnection;
  int retries = 0;
  while (length > 0) {
    const uint64_t generation = s->generation;
    ssize_t n = send(s->fd, data, length, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
      if (length == 0) break;
      retries = 1;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      ++retries;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && sBrokenConnection(errno)) {
      aErr err = sReconnect(s, generation);
      if (err != aErrNone) return err;
      ++retries;
    } else {
      return aErrIO;
    }
    if (retries >= aSOCKET_MAX_SEND_RETRY) return aErrTimeout;
    // Wait for room, at most the retry delay.
    struct pollfd p = {s->fd, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(aSOCKET_RETRY_DELAY_MS));
  }
  return aErrNone;
}

aErr sSocketPut(const char* byte, void* reference) {
  return sSocketWrite(byte, 1, reference);
}

aErr sSocketDelete(void* reference) {
  SocketStream* s = sRecord(reference);
  if (!s) return aErrParam;
  {
    std::lock_guard<std::mutex> lock(s->connectLock);
    if (s->fd >= 0) close(s->fd);
    s->fd = -1;
    s->flags = 0;
    s->check = 0;
  }
  delete s;
  return aErrNone;
}

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  SocketStream* s = new (std::nothrow) SocketStream;
  if (!s) return aErrResource;
  s->check = sSOCKET_CHECK;
  s->port = port;
  s->address = {};
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(port);
  s->address.sin_addr.s_addr = address;
  if (sReconnect(s, 0) != aErrNone) {
    delete s;
    return aErrResource;
  }
  *stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, s);
  if (!*stream) {
    sSocketDelete(s);
    return aErrResource;
  }
  return aErrNone;
}
