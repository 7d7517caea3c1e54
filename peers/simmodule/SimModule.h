// A simulated module for tests and benchmarks: it speaks the module's side of a link over
// a loopback TCP listener (raw packets) or a pseudo-terminal (COBS frames with CRC-8).
//
// Out of the box it answers address queries with its address, records route commands,
// echoes echo-test packets, sends heartbeats at a set period and checks the host's answers,
// and keeps every other packet it receives for the test to inspect. Faults can be injected
// on its outgoing side (dropped, delayed or duplicated packets, garbage, odd addresses,
// a mid-packet disconnect) and on its incoming side (a reader that stops reading).
//
// Later behaviour (entities, a router, the upgrade protocol) plugs in through handlers,
// which see every incoming packet before the built-in behaviour does.
#pragma once

#include "peers/simmodule/Wire.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simmodule {

struct Options {
  uint8_t address = 4;          // the module's own address (even, not zero)
  int heartbeatPeriodMs = 0;    // 0: no heartbeats
  bool echoAll = false;         // echo every ordinary packet, not only echo tests
  size_t keepReceived = 100000; // packets kept for inspection; older ones are dropped
};

// What the module has seen so far. Counters only grow; `received` holds the most recent
// ordinary packets (not address queries, route commands or heartbeat answers).
struct Observed {
  uint64_t connections = 0; // accepted TCP connections (1 for a pseudo-terminal)
  uint64_t disconnects = 0; // connections that ended (peer closed, error or fault)
  uint64_t bytesIn = 0;
  uint64_t addressQueries = 0;
  uint64_t packetsIn = 0;  // every well-formed packet, link commands included
  uint64_t ordinaryIn = 0; // packets that landed in `received`
  uint64_t rejectedIn = 0; // malformed bytes or frames
  uint64_t packetsOut = 0; // packets written (duplicates counted)
  uint64_t droppedOut = 0; // packets dropped by a fault or a failed write
  uint64_t heartbeatsSent = 0;
  uint64_t heartbeatAnswers = 0;    // answers carrying the value sent plus 2
  uint64_t heartbeatWrong = 0;      // heartbeat answers with any other value
  std::vector<uint8_t> forceRoutes; // values of every route command, in order
  std::deque<Packet> received;
};

class Module {
public:
  // Handler: sees each incoming packet first; returns true when it has dealt with it.
  using Handler = std::function<bool(Module& module, const Packet& packet)>;

  // A module behind a TCP listener on 127.0.0.1, on a port the system picks. Null when the
  // listener cannot be made.
  static std::unique_ptr<Module> startTcp(const Options& options = Options());
  // A module at the master side of a pseudo-terminal; the host opens `ptyPath()`. The
  // terminal starts in raw mode. Null when no pseudo-terminal can be made.
  static std::unique_ptr<Module> startPty(const Options& options = Options());

  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  bool isPty() const { return pty_; }
  uint16_t port() const { return port_; }
  const std::string& ptyPath() const { return ptyPath_; }
  uint8_t address() const { return options_.address; }

  // Adds a handler; handlers run on the module's thread in the order added.
  void addHandler(Handler handler);

  // Sends a packet to the host, subject to the outgoing faults. False when there is no
  // connection or the write failed.
  bool send(const Packet& packet);
  // Writes bytes exactly as given (no framing, no faults).
  bool sendRaw(const Bytes& bytes);
  // Writes bytes as one frame of the transport: COBS with CRC on a pseudo-terminal, the
  // bytes themselves on TCP. Lets a test put an odd address or a bad length on the wire.
  bool sendFrame(const Bytes& bytes);
  // A frame whose CRC is wrong (pseudo-terminal), or a zero address byte (TCP).
  bool sendCorrupt();

  // Outgoing faults, applied to packets sent through `send` and the built-in answers.
  void dropNext(int count);      // the next `count` packets are not sent
  void duplicateNext(int count); // the next `count` packets go out twice
  void delayAll(int ms);         // every packet goes out `ms` later (0: at once)
  // Incoming fault: while stalled the module reads nothing, so the host's writes back up.
  // Takes effect before the call returns.
  void stallReader(bool stalled);
  // Ends the current connection (TCP: reset; pseudo-terminal: the master is closed and the
  // terminal vanishes). The TCP listener stays, so the host may connect again.
  void disconnect();
  // Writes the first `keep` wire bytes of a packet (framed or not), then disconnects.
  void disconnectMidPacket(const Packet& packet, size_t keep);
  // Changes the heartbeat period (0 stops them).
  void setHeartbeatPeriod(int ms);

  Observed observed() const;
  // Removes and returns the received ordinary packets.
  std::vector<Packet> takeReceived();
  // Waits until `predicate` holds for what has been observed, or `timeoutMs` passes.
  bool waitUntil(const std::function<bool(const Observed&)>& predicate, int timeoutMs) const;

private:
  using Clock = std::chrono::steady_clock;
  struct Delayed {
    Clock::time_point due;
    Bytes bytes;
  };

  explicit Module(const Options& options);
  void run();
  void wake();
  void onBytes(const uint8_t* bytes, size_t length);
  void onPacket(const Packet& packet);
  void closeConnection(bool countIt); // I/O thread only
  bool writeBytes(const Bytes& bytes);
  bool emit(const Packet& packet); // applies the outgoing faults
  Bytes encode(const Packet& packet) const;
  void sendHeartbeat();
  int pollTimeoutMs();
  void sendDueDelayed();

  Options options_;
  bool pty_ = false;
  uint16_t port_ = 0;
  std::string ptyPath_;

  int listenFd_ = -1;
  int wakeFd_ = -1;
  int ptySlaveFd_ = -1; // held open so the master does not see a hang-up before the host

  // The connection: replaced and closed only by the I/O thread, under connMutex_, which
  // also serialises writes.
  mutable std::mutex connMutex_;
  int connFd_ = -1;

  StreamAssembler streamAssembler_;
  FrameAssembler frameAssembler_;

  mutable std::mutex stateMutex_;
  mutable std::condition_variable changed_;
  Observed observed_;
  std::vector<Handler> handlers_;
  int dropCount_ = 0;
  int duplicateCount_ = 0;
  int delayMs_ = 0;
  bool stalled_ = false;
  bool stallApplied_ = false; // what the I/O thread polls by; stallReader waits for it
  bool disconnectRequested_ = false;
  bool stopping_ = false;
  int heartbeatPeriodMs_ = 0;
  uint8_t nextHeartbeat_ = 0;
  std::deque<uint8_t> heartbeatPending_; // values sent and not yet answered, oldest first
  Clock::time_point nextHeartbeatAt_;
  std::deque<Delayed> delayed_;

  std::thread thread_;
};

} // namespace simmodule
