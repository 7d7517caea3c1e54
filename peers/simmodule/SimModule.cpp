#include "peers/simmodule/SimModule.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace simmodule {

namespace {

constexpr int kWriteTimeoutMs = 1000;

// SIMMODULE_TRACE=1 in the environment prints the module's connection events and traffic
// on standard error, for debugging a test.
bool tracing() {
  static const bool on = std::getenv("SIMMODULE_TRACE") != nullptr;
  return on;
}

void trace(const char* what, int fd, const uint8_t* bytes = nullptr, size_t length = 0) {
  if (!tracing()) return;
  std::fprintf(stderr, "simmodule: %s fd %d", what, fd);
  for (size_t i = 0; i < length; ++i)
    std::fprintf(stderr, " %02X", bytes[i]);
  std::fprintf(stderr, "\n");
}
constexpr size_t kHeartbeatsRemembered = 16;

void setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

} // namespace

Module::Module(const Options& options) : options_(options) {
  heartbeatPeriodMs_ = options.heartbeatPeriodMs;
  nextHeartbeatAt_ = Clock::now() + std::chrono::milliseconds(heartbeatPeriodMs_);
}

std::unique_ptr<Module> Module::startTcp(const Options& options) {
  std::unique_ptr<Module> module(new Module(options));
  module->wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  module->listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (module->wakeFd_ < 0 || module->listenFd_ < 0) return nullptr;
  const int one = 1;
  setsockopt(module->listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(module->listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(module->listenFd_, 8) != 0 ||
      getsockname(module->listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return nullptr;
  module->port_ = ntohs(address.sin_port);
  module->thread_ = std::thread(&Module::run, module.get());
  return module;
}

std::unique_ptr<Module> Module::startPty(const Options& options) {
  std::unique_ptr<Module> module(new Module(options));
  module->pty_ = true;
  module->wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (module->wakeFd_ < 0 || master < 0) return nullptr;
  module->connFd_ = master;
  char name[256];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
    return nullptr;
  module->ptyPath_ = name;
  module->ptySlaveFd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (module->ptySlaveFd_ < 0) return nullptr;
  termios settings{};
  if (tcgetattr(module->ptySlaveFd_, &settings) != 0) return nullptr;
  cfmakeraw(&settings);
  if (tcsetattr(module->ptySlaveFd_, TCSANOW, &settings) != 0) return nullptr;
  setNonBlocking(master);
  module->observed_.connections = 1;
  module->thread_ = std::thread(&Module::run, module.get());
  return module;
}

Module::~Module() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
  closeConnection(false);
  if (listenFd_ >= 0) close(listenFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

void Module::wake() {
  if (wakeFd_ < 0) return;
  const uint64_t one = 1;
  ssize_t ignored = write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

void Module::addHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  handlers_.push_back(std::move(handler));
}

Bytes Module::encode(const Packet& packet) const {
  return pty_ ? frameOf(packet) : wireForm(packet);
}

bool Module::writeBytes(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(connMutex_);
  trace("out", connFd_, bytes.data(), bytes.size());
  if (connFd_ < 0) return false;
  size_t done = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
  while (done < bytes.size()) {
    const ssize_t n = pty_
                          ? write(connFd_, bytes.data() + done, bytes.size() - done)
                          : ::send(connFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{connFd_, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left));
  }
  return true;
}

bool Module::emit(const Packet& packet) {
  int copies = 1;
  int delay = 0;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (dropCount_ > 0) {
      --dropCount_;
      ++observed_.droppedOut;
      changed_.notify_all();
      return true;
    }
    if (duplicateCount_ > 0) {
      --duplicateCount_;
      copies = 2;
    }
    delay = delayMs_;
    if (delay > 0) {
      const auto due = Clock::now() + std::chrono::milliseconds(delay);
      for (int i = 0; i < copies; ++i)
        delayed_.push_back(Delayed{due, encode(packet)});
    }
  }
  if (delay > 0) {
    wake();
    return true;
  }
  bool ok = true;
  const Bytes bytes = encode(packet);
  for (int i = 0; i < copies; ++i) {
    const bool written = writeBytes(bytes);
    ok = ok && written;
    std::lock_guard<std::mutex> lock(stateMutex_);
    ++(written ? observed_.packetsOut : observed_.droppedOut);
    changed_.notify_all();
  }
  return ok;
}

bool Module::send(const Packet& packet) {
  return emit(packet);
}

bool Module::sendRaw(const Bytes& bytes) {
  return writeBytes(bytes);
}

bool Module::sendFrame(const Bytes& bytes) {
  return writeBytes(pty_ ? frameOfBytes(bytes) : bytes);
}

bool Module::sendCorrupt() {
  if (!pty_) return writeBytes(Bytes{0x00});
  Bytes frame = frameOf(Packet{options_.address, {1, 2, 3}});
  // Change the last encoded byte (the CRC, or the code byte before it): the frame still
  // ends where it should but no longer checks out. A zero would end the frame early.
  frame[frame.size() - 2] ^= 0x5A;
  if (frame[frame.size() - 2] == 0) frame[frame.size() - 2] = 0x01;
  return writeBytes(frame);
}

void Module::dropNext(int count) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  dropCount_ = count;
}

void Module::duplicateNext(int count) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  duplicateCount_ = count;
}

void Module::delayAll(int ms) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    delayMs_ = std::max(0, ms);
  }
  wake();
}

void Module::stallReader(bool stalled) {
  std::unique_lock<std::mutex> lock(stateMutex_);
  stalled_ = stalled;
  if (std::this_thread::get_id() == thread_.get_id()) {
    stallApplied_ = stalled;
    return;
  }
  lock.unlock();
  wake();
  lock.lock();
  changed_.wait_for(lock, std::chrono::seconds(5), [&] { return stallApplied_ == stalled_; });
}

void Module::setHeartbeatPeriod(int ms) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    heartbeatPeriodMs_ = std::max(0, ms);
    nextHeartbeatAt_ = Clock::now() + std::chrono::milliseconds(heartbeatPeriodMs_);
  }
  wake();
}

void Module::disconnect() {
  if (std::this_thread::get_id() == thread_.get_id()) {
    closeConnection(true);
    return;
  }
  std::unique_lock<std::mutex> lock(stateMutex_);
  disconnectRequested_ = true;
  lock.unlock();
  wake();
  lock.lock();
  changed_.wait_for(lock, std::chrono::seconds(5), [&] { return !disconnectRequested_; });
}

void Module::disconnectMidPacket(const Packet& packet, size_t keep) {
  Bytes bytes = encode(packet);
  bytes.resize(std::min(keep, bytes.size()));
  writeBytes(bytes);
  disconnect();
}

Observed Module::observed() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return observed_;
}

std::vector<Packet> Module::takeReceived() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  std::vector<Packet> out(observed_.received.begin(), observed_.received.end());
  observed_.received.clear();
  return out;
}

bool Module::waitUntil(const std::function<bool(const Observed&)>& predicate, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(stateMutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return predicate(observed_); });
}

void Module::closeConnection(bool countIt) {
  {
    std::lock_guard<std::mutex> lock(connMutex_);
    if (connFd_ < 0) return;
    if (!pty_) {
      // Reset rather than close gracefully, like a module that loses power.
      const linger reset{1, 0};
      setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    trace("close", connFd_);
    close(connFd_);
    connFd_ = -1;
    if (ptySlaveFd_ >= 0) {
      close(ptySlaveFd_);
      ptySlaveFd_ = -1;
    }
  }
  streamAssembler_.reset();
  frameAssembler_.reset();
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (countIt) ++observed_.disconnects;
  changed_.notify_all();
}

void Module::sendHeartbeat() {
  uint8_t value;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    value = nextHeartbeat_;
    nextHeartbeat_ ^= 1;
    heartbeatPending_.push_back(value);
    if (heartbeatPending_.size() > kHeartbeatsRemembered) heartbeatPending_.pop_front();
    ++observed_.heartbeatsSent;
  }
  emit(Packet{options_.address, {kCmdHeartbeat, value}});
}

void Module::onBytes(const uint8_t* bytes, size_t length) {
  std::vector<Packet> packets;
  size_t rejected;
  if (pty_) {
    const size_t before = frameAssembler_.rejected();
    frameAssembler_.feed(bytes, length, packets);
    rejected = frameAssembler_.rejected() - before;
  } else {
    const size_t before = streamAssembler_.rejected();
    streamAssembler_.feed(bytes, length, packets);
    rejected = streamAssembler_.rejected() - before;
  }
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    observed_.bytesIn += length;
    observed_.rejectedIn += rejected;
    changed_.notify_all();
  }
  for (const Packet& packet : packets)
    onPacket(packet);
}

void Module::onPacket(const Packet& packet) {
  std::vector<Handler> handlers;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    ++observed_.packetsIn;
    changed_.notify_all();
    handlers = handlers_;
  }
  for (const Handler& handler : handlers)
    if (handler(*this, packet)) return;

  if (packet.address == kAddressQuery && packet.data.empty()) {
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      ++observed_.addressQueries;
      changed_.notify_all();
    }
    emit(Packet{options_.address, {}});
    return;
  }
  if (packet.address == kForceRoute && packet.data.size() == 1) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    observed_.forceRoutes.push_back(packet.data[0]);
    changed_.notify_all();
    return;
  }
  if (packet.data.size() == 2 && packet.data[0] == kCmdHeartbeat) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    const int sent = packet.data[1] - 2;
    auto it = std::find(heartbeatPending_.begin(), heartbeatPending_.end(), sent);
    if (packet.address == options_.address && packet.data[1] >= 2 &&
        it != heartbeatPending_.end()) {
      heartbeatPending_.erase(heartbeatPending_.begin(), it + 1);
      ++observed_.heartbeatAnswers;
    } else {
      ++observed_.heartbeatWrong;
    }
    changed_.notify_all();
    return;
  }
  if (options_.echoAll || (!packet.data.empty() && packet.data[0] == kCmdEcho)) {
    emit(Packet{options_.address, packet.data});
    return;
  }
  std::lock_guard<std::mutex> lock(stateMutex_);
  ++observed_.ordinaryIn;
  observed_.received.push_back(packet);
  while (observed_.received.size() > options_.keepReceived)
    observed_.received.pop_front();
  changed_.notify_all();
}

int Module::pollTimeoutMs() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  auto next = Clock::now() + std::chrono::seconds(1);
  if (heartbeatPeriodMs_ > 0) next = std::min(next, nextHeartbeatAt_);
  if (!delayed_.empty()) next = std::min(next, delayed_.front().due);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
  return static_cast<int>(std::max<long long>(0, ms));
}

void Module::sendDueDelayed() {
  for (;;) {
    Bytes bytes;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (delayed_.empty() || delayed_.front().due > Clock::now()) return;
      bytes = std::move(delayed_.front().bytes);
      delayed_.pop_front();
    }
    const bool written = writeBytes(bytes);
    std::lock_guard<std::mutex> lock(stateMutex_);
    ++(written ? observed_.packetsOut : observed_.droppedOut);
    changed_.notify_all();
  }
}

void Module::run() {
  uint8_t buffer[4096];
  for (;;) {
    bool stalled;
    bool disconnectNow;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (stopping_) return;
      stalled = stalled_;
      if (stallApplied_ != stalled) {
        stallApplied_ = stalled;
        changed_.notify_all();
      }
      disconnectNow = disconnectRequested_;
    }
    if (disconnectNow) {
      closeConnection(true);
      std::lock_guard<std::mutex> lock(stateMutex_);
      disconnectRequested_ = false;
      changed_.notify_all();
    }

    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = pollfd{wakeFd_, POLLIN, 0};
    const int listenAt = listenFd_ >= 0 ? static_cast<int>(count) : -1;
    if (listenFd_ >= 0) fds[count++] = pollfd{listenFd_, POLLIN, 0};
    const int connAt = (connFd_ >= 0 && !stalled) ? static_cast<int>(count) : -1;
    if (connAt >= 0) fds[count++] = pollfd{connFd_, POLLIN, 0};

    const int ready = poll(fds, count, pollTimeoutMs());
    if (ready < 0 && errno != EINTR) return;

    if (ready > 0 && (fds[0].revents & POLLIN)) {
      uint64_t drained;
      ssize_t ignored = read(wakeFd_, &drained, sizeof drained);
      (void)ignored;
    }
    if (ready > 0 && listenAt >= 0 && (fds[listenAt].revents & POLLIN)) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        trace("accept", fd);
        closeConnection(true); // a new connection replaces the old one
        {
          std::lock_guard<std::mutex> lock(connMutex_);
          connFd_ = fd;
        }
        std::lock_guard<std::mutex> lock(stateMutex_);
        ++observed_.connections;
        changed_.notify_all();
      }
    }
    if (ready > 0 && connAt >= 0 && fds[connAt].revents) {
      const ssize_t n = read(connFd_, buffer, sizeof buffer);
      if (n > 0) {
        trace("in", connFd_, buffer, static_cast<size_t>(n));
        onBytes(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        closeConnection(true);
      }
    }

    bool heartbeatDue = false;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (heartbeatPeriodMs_ > 0 && Clock::now() >= nextHeartbeatAt_) {
        heartbeatDue = true;
        nextHeartbeatAt_ = Clock::now() + std::chrono::milliseconds(heartbeatPeriodMs_);
      }
    }
    if (heartbeatDue && connFd_ >= 0) sendHeartbeat();
    sendDueDelayed();
  }
}

} // namespace simmodule
