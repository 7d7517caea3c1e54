#include "link/unix_streamserial.h"

#include "link/aStream_CobsEncoding.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint16_t sSERIAL_CHECK = 0xBEEF;
// How long a read waits for input before it answers "nothing there", so that a reader
// polling the port does not spin a core.
constexpr int sIDLE_WAIT_MS = 5;

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

aErr sSerialWrite(const char* data, size_t length, void* reference) {
  SerialPort* port = sRecord(reference);
  if (!port || (!data && length)) return aErrParam;
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(port->fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return aErrIO;
    done += static_cast<size_t>(n);
  }
  while (tcdrain(port->fd) != 0) {
    if (errno != EINTR) return aErrIO;
  }
  return aErrNone;
}

aErr sSerialPut(const char* byte, void* reference) {
  return sSerialWrite(byte, 1, reference);
}

aErr sSerialDelete(void* reference) {
  SerialPort* port = static_cast<SerialPort*>(reference);
  if (!port || port->check != sSERIAL_CHECK) return aErrParam;
  aErr err = aErrNone;
  if (port->fd >= 0) {
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
  int flags = fcntl(port->fd, F_GETFL);
  if (flags < 0 || fcntl(port->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return aErrIO;
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
