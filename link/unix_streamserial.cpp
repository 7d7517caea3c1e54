#include "link/unix_streamserial.h"

#include "link/aDebugging.h"
#include "link/aStream_CobsEncoding.h"
#include "link/unix_time.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint16_t sSERIAL_CHECK = 0xBEEF;
// How long a read waits for input before it answers "nothing there", so that a reader
// polling the port does not spin a core.
constexpr int sIDLE_WAIT_MS = 5;
// A write gives up when the port has taken no byte for this long (the other end has stopped
// reading, or flow control holds the line), so that a writer never hangs on the port.
constexpr uint64_t sWRITE_STALL_MS = 1000;
// Longest single wait for room in the output queue.
constexpr int sWRITE_WAIT_MS = 20;

struct SerialPort {
  uint16_t check;
  uint32_t baudIndex;
  char path[4097]; // up to 4096 characters
  int fd;
  struct termios saved;
  struct termios settings;
};

SerialPort* sRecord(void* reference) {
  SerialPort* port = static_cast<SerialPort*>(reference);
  return port && port->check == sSERIAL_CHECK && port->fd >= 0 ? port : nullptr;
}

speed_t sSpeed(uint32_t baudIndex) {
  switch (baudIndex) {
  case 0:
    return B2400;
  case 1:
    return B4800;
  case 2:
    return B9600;
  case 3:
    return B19200;
  case 4:
    return B38400;
  case 5:
    return B57600;
  case 6:
    return B115200;
  case 7:
    return B230400;
  default:
    return B0;
  }
}

// A device that has gone away reports a hang-up or an error instead of input.
bool sVanished(short revents) {
  return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

aErr sReadOnce(SerialPort* port, char* byte) {
  ssize_t n = read(port->fd, byte, 1);
  if (n == 1) return aErrNone;
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return aErrIO;
  return aErrNotReady;
}

aErr sSerialGet(char* byte, void* reference) {
  SerialPort* port = sRecord(reference);
  if (!port || !byte) return aErrParam;
  aErr err = sReadOnce(port, byte);
  if (err != aErrNotReady) return err;
  struct pollfd p = {port->fd, POLLIN, 0};
  int ready = poll(&p, 1, sIDLE_WAIT_MS);
  if (ready < 0) return errno == EINTR ? aErrNotReady : aErrIO;
  if (ready == 0) return aErrNotReady;
  if (p.revents & POLLIN) {
    err = sReadOnce(port, byte);
    if (err != aErrNotReady) return err;
  }
  return sVanished(p.revents) ? aErrIO : aErrNotReady;
}

// Waits for room to write, at most `ms` milliseconds. aErrIO when the device has gone away.
aErr sAwaitRoom(SerialPort* port, int ms) {
  struct pollfd p = {port->fd, POLLOUT, 0};
  const int ready = poll(&p, 1, ms);
  if (ready < 0) return errno == EINTR ? aErrNone : aErrIO;
  if (ready > 0 && sVanished(p.revents)) return aErrIO;
  // Some terminals (pseudo-terminals among them) report room that a write then refuses:
  // pause briefly rather than spin.
  if (ready > 0) aTime_MSSleep(1);
  return aErrNone;
}

// Waits until the output queue has gone out on the line. Progress is the queue shrinking; a
// queue that stands still for the stall time gives aErrTimeout with `*unsent` the bytes left.
aErr sDrain(SerialPort* port, size_t* unsent) {
  int queued = 0;
  if (ioctl(port->fd, TIOCOUTQ, &queued) != 0) queued = 0; // cannot tell: tcdrain alone
  uint64_t progress = aTime_GetMSTicks();
  while (queued > 0) {
    if (aTime_GetMSTicks() - progress >= sWRITE_STALL_MS) {
      *unsent = static_cast<size_t>(queued);
      return aErrTimeout;
    }
    aTime_MSSleep(1);
    int now = 0;
    if (ioctl(port->fd, TIOCOUTQ, &now) != 0) break;
    if (now < queued) progress = aTime_GetMSTicks();
    queued = now;
  }
  // The queue is empty: what remains is the last character leaving the line.
  while (tcdrain(port->fd) != 0) {
    if (errno != EINTR) return aErrIO;
  }
  return aErrNone;
}

// Writes the block and waits until it has gone out. The descriptor is non-blocking, so a
// port that takes nothing more cannot hold the caller: after the stall time without progress
// the write ends with aErrTimeout, and the bytes left unwritten are reported.
aErr sSerialWrite(const char* data, size_t length, void* reference) {
  SerialPort* port = sRecord(reference);
  if (!port || (!data && length)) return aErrParam;
  size_t done = 0;
  uint64_t progress = aTime_GetMSTicks();
  while (done < length) {
    const ssize_t n = write(port->fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      progress = aTime_GetMSTicks();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return aErrIO;
    const uint64_t waited = aTime_GetMSTicks() - progress;
    if (waited >= sWRITE_STALL_MS) {
      aDebugging_Print(aDEBUG_LINK,
                       "serial %s: write gave up, %zu of %zu bytes not written (no progress for "
                       "%llu ms)\n",
                       port->path, length - done, length, static_cast<unsigned long long>(waited));
      return aErrTimeout;
    }
    const uint64_t left = sWRITE_STALL_MS - waited;
    aErr err = sAwaitRoom(port, left < sWRITE_WAIT_MS ? static_cast<int>(left) : sWRITE_WAIT_MS);
    if (err != aErrNone) return err;
  }
  size_t unsent = 0;
  const aErr err = sDrain(port, &unsent);
  if (err == aErrTimeout)
    aDebugging_Print(aDEBUG_LINK,
                     "serial %s: %zu bytes written but %zu still queued for the line (no "
                     "progress for %llu ms)\n",
                     port->path, length, unsent, static_cast<unsigned long long>(sWRITE_STALL_MS));
  return err;
}

aErr sSerialPut(const char* byte, void* reference) {
  return sSerialWrite(byte, 1, reference);
}

aErr sSerialDelete(void* reference) {
  SerialPort* port = static_cast<SerialPort*>(reference);
  if (!port || port->check != sSERIAL_CHECK) return aErrParam;
  aErr err = aErrNone;
  if (port->fd >= 0) {
    // Output still queued here is what a stalled line refused; closing would wait for it.
    tcflush(port->fd, TCOFLUSH);
    tcsetattr(port->fd, TCSANOW, &port->saved);
    if (close(port->fd) != 0) err = aErrIO;
  }
  port->check = 0;
  std::free(port);
  return err;
}

aErr sOpenSerial(SerialPort* port, int parity, int dataBits, int stopBits) {
  port->fd = open(port->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (port->fd < 0) {
    if (errno == ENOENT) return aErrNotFound;
    if (errno == EACCES || errno == EPERM) return aErrPermission;
    return aErrIO;
  }
  // The descriptor stays non-blocking: reads return at once anyway (no minimum count, no
  // time-out), and writes wait for room themselves, with a bound.
  if (tcgetattr(port->fd, &port->saved) != 0) return aErrIO;

  struct termios t = port->saved;
  t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) |
              (stopBits == 1 ? CSTOPB : 0);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  const speed_t speed = sSpeed(port->baudIndex);
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return aErrIO;
  if (tcsetattr(port->fd, TCSANOW, &t) != 0) return aErrIO;
  if (tcflush(port->fd, TCIOFLUSH) != 0) return aErrIO;
  port->settings = t;
  return aErrNone;
}

aErr sCreatePort(const char* path, uint32_t baudIndex, int parity, int dataBits, int stopBits,
                 SerialPort** out) {
  *out = nullptr;
  if (!path) return aErrParam;
  if (dataBits < 0 || dataBits > 1 || stopBits < 0 || stopBits > 1) return aErrParam;
  if (std::strlen(path) >= sizeof(SerialPort::path)) return aErrFileNameLength;
  SerialPort* port = static_cast<SerialPort*>(std::calloc(1, sizeof(SerialPort)));
  if (!port) return aErrMemory;
  port->check = sSERIAL_CHECK;
  port->baudIndex = baudIndex;
  std::strcpy(port->path, path);
  aErr err = sOpenSerial(port, parity, dataBits, stopBits);
  if (err != aErrNone) {
    if (port->fd >= 0) close(port->fd);
    std::free(port);
    return err;
  }
  *out = port;
  return aErrNone;
}

} // namespace

uint32_t aStream_SerialBaudRate(uint32_t baudIndex) {
  static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  return baudIndex < 8 ? rates[baudIndex] : 0;
}

aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, int parity, int dataBits,
                          int stopBits, aStreamRef* stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  SerialPort* port = nullptr;
  aErr err = sCreatePort(path, baudIndex, parity, dataBits, stopBits, &port);
  if (err != aErrNone) return err;
  *stream = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, port);
  if (!*stream) {
    sSerialDelete(port);
    return aErrMemory;
  }
  return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, int parity, int dataBits,
                                     int stopBits, aStreamRef* stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  SerialPort* port = nullptr;
  aErr err = sCreatePort(path, baudIndex, parity, dataBits, stopBits, &port);
  if (err != aErrNone) return err;
  err =
      aStream_CreateCobsEncoding(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, port, stream);
  if (err != aErrNone) sSerialDelete(port);
  return err;
}
