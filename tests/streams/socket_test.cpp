// The TCP stream against a loopback peer that sends, closes, resets and stalls.
#include "link/aStreamsocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// The peer: a listening socket on 127.0.0.1 and the connections it accepts, driven from the
// test thread with bounded waits.
class Peer {
public:
  Peer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 4);
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Peer() {
    if (conn_ >= 0) close(conn_);
    close(listener_);
  }
  uint16_t port() const { return port_; }

  // Waits up to 5 s for the next connection.
  bool accept() {
    pollfd p = {listener_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return false;
    if (conn_ >= 0) close(conn_);
    conn_ = ::accept(listener_, nullptr, nullptr);
    return conn_ >= 0;
  }
  void send(const std::string& bytes) { ::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // Reads what arrives within `ms` milliseconds, up to `want` bytes.
  std::string receive(size_t want, int ms = 5000) {
    std::string got;
    while (got.size() < want) {
      pollfd p = {conn_, POLLIN, 0};
      if (poll(&p, 1, ms) != 1) break;
      char buffer[4096];
      ssize_t n = recv(conn_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got.append(buffer, n);
    }
    return got;
  }
  void closeGracefully() {
    close(conn_);
    conn_ = -1;
  }
  void reset() {
    linger l = {1, 0};
    setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    closeGracefully();
  }
  void shrinkReceiveBuffer() {
    int size = 4096;
    setsockopt(conn_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }

private:
  int listener_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
};

uint32_t loopback() {
  return htonl(INADDR_LOOPBACK);
}

// Reads one byte, retrying "nothing there" for up to about 5 s.
aErr readByte(aStreamRef s, char* byte) {
  aErr err = aErrNotReady;
  for (int i = 0; i < 1000 && err == aErrNotReady; ++i)
    err = aStream_Read(s, byte, 1);
  return err;
}

TEST(SocketStream, ExchangesBytes) {
  Peer peer;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &s), aErrNone);
  ASSERT_TRUE(peer.accept());
  char byte;
  EXPECT_EQ(aStream_Read(s, &byte, 1), aErrNotReady);
  peer.send(std::string("\x04\x01\x00", 3));
  std::string got;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(readByte(s, &byte), aErrNone);
    got.push_back(byte);
  }
  EXPECT_EQ(got, std::string("\x04\x01\x00", 3));
  ASSERT_EQ(aStream_Write(s, "\x06\x00", 2), aErrNone);
  ASSERT_EQ(aStream_Write(s, "!", 1), aErrNone);
  EXPECT_EQ(peer.receive(3), std::string("\x06\x00!", 3));
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SocketStream, RefusedConnection) {
  uint16_t port;
  {
    Peer gone;
    port = gone.port();
  }
  aStreamRef s = reinterpret_cast<aStreamRef>(1);
  EXPECT_EQ(aStream_CreateSocket(loopback(), port, &s), aErrResource);
  EXPECT_EQ(s, nullptr);
}

// A peer that closes is a lost connection, never "nothing to read"; its last bytes still
// arrive first.
TEST(SocketStream, PeerCloseIsAConnectionError) {
  Peer peer;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &s), aErrNone);
  ASSERT_TRUE(peer.accept());
  peer.send("ok");
  peer.closeGracefully();
  char byte;
  ASSERT_EQ(readByte(s, &byte), aErrNone);
  ASSERT_EQ(readByte(s, &byte), aErrNone);
  EXPECT_EQ(byte, 'k');
  EXPECT_EQ(readByte(s, &byte), aErrConnection);
  EXPECT_EQ(aStream_Read(s, &byte, 1), aErrConnection);
  EXPECT_EQ(aStream_Write(s, "ab", 2), aErrConnection);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

// Bursts longer than one receive call takes, and bursts that end exactly at its edges, come
// out whole and in order; the peer's close is reported only after the last of them.
TEST(SocketStream, BurstsThenCloseArriveWhole) {
  for (size_t size : {1u, 511u, 512u, 513u, 1024u, 5000u}) {
    SCOPED_TRACE(size);
    Peer peer;
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &s), aErrNone);
    ASSERT_TRUE(peer.accept());
    std::string sent;
    for (size_t i = 0; i < size; ++i)
      sent.push_back(static_cast<char>(i * 7 + i / 251));
    peer.send(sent);
    peer.closeGracefully();
    std::string got;
    char byte;
    aErr err = aErrNone;
    while (got.size() <= size && (err = readByte(s, &byte)) == aErrNone)
      got.push_back(byte);
    EXPECT_EQ(err, aErrConnection);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
  }
}

// A read of several bytes that finds only some pushes them back, in front of what comes next.
TEST(SocketStream, PartialReadIsPushedBack) {
  Peer peer;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &s), aErrNone);
  ASSERT_TRUE(peer.accept());
  peer.send("ab");
  usleep(20000);
  char four[4] = {'-', '-', '-', '-'};
  EXPECT_EQ(aStream_Read(s, four, 4), aErrNotReady);
  EXPECT_EQ(std::string(four, 4), "----");
  peer.send("cd");
  aErr err = aErrNotReady;
  for (int i = 0; i < 1000 && err == aErrNotReady; ++i)
    err = aStream_Read(s, four, 4);
  ASSERT_EQ(err, aErrNone);
  EXPECT_EQ(std::string(four, 4), "abcd");
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

// Bytes the stream had already taken from a connection that was then replaced are dropped:
// after a reconnection the reader sees only what the new connection brings.
TEST(SocketStream, ReconnectionDropsBytesOfTheOldConnection) {
  Peer peer;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &s), aErrNone);
  ASSERT_TRUE(peer.accept());
  peer.send(std::string(100, 'o'));
  char byte;
  ASSERT_EQ(readByte(s, &byte), aErrNone);
  EXPECT_EQ(byte, 'o');
  // The writer meets the reset and reconnects in place.
  peer.reset();
  EXPECT_EQ(aStream_Write(s, "w", 1), aErrNone);
  ASSERT_TRUE(peer.accept());
  peer.send("new");
  std::string got;
  while (got.size() < 3 && readByte(s, &byte) == aErrNone)
    got.push_back(byte);
  EXPECT_EQ(got, "new");
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

// A reset is reported, and the stream reconnects in place to the same address.
TEST(SocketStream, PeerResetReconnects) {
  Peer peer;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &s), aErrNone);
  ASSERT_TRUE(peer.accept());
  peer.reset();
  char byte;
  EXPECT_EQ(readByte(s, &byte), aErrConnection);
  ASSERT_TRUE(peer.accept());
  peer.send("x");
  ASSERT_EQ(readByte(s, &byte), aErrNone);
  EXPECT_EQ(byte, 'x');
  ASSERT_EQ(aStream_Write(s, "yz", 2), aErrNone);
  EXPECT_EQ(peer.receive(2), "yz");
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

// A peer that stops reading: the write gives up after its retries instead of hanging.
TEST(SocketStream, StalledPeerEndsTheWrite) {
  Peer peer;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &s), aErrNone);
  ASSERT_TRUE(peer.accept());
  peer.shrinkReceiveBuffer();
  std::string block(64 * 1024 * 1024, 'q');
  aErr err = aStream_Write(s, block.data(), block.size());
  EXPECT_NE(err, aErrNone);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

// Reader and writer threads both meet a reset connection; the stream's descriptor is never
// closed twice, so a descriptor opened meanwhile by someone else stays intact.
TEST(SocketStream, ConcurrentReconnectKeepsOtherDescriptors) {
  Peer peer;
  aStreamRef s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &s), aErrNone);
  ASSERT_TRUE(peer.accept());
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  peer.reset();
  std::thread reader([s] {
    char byte;
    for (int i = 0; i < 200; ++i)
      aStream_Read(s, &byte, 1);
  });
  std::thread writer([s] {
    for (int i = 0; i < 20; ++i)
      aStream_Write(s, "ab", 2);
  });
  reader.join();
  writer.join();
  EXPECT_EQ(write(pipeFds[1], "p", 1), 1);
  char c = 0;
  EXPECT_EQ(read(pipeFds[0], &c, 1), 1);
  EXPECT_EQ(c, 'p');
  EXPECT_GE(fcntl(pipeFds[0], F_GETFD), 0);
  close(pipeFds[0]);
  close(pipeFds[1]);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

} // namespace
