// Serial streams, raw and COBS-framed, over a pseudo-terminal pair. The test holds the
// master side and plays the module: it writes frames byte by byte with its own encoder.
#include "link/aPacket.h"
#include "link/unix_streamserial.h"
#include "peer_codec.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <chrono>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class Pty : public ::testing::Test {
protected:
  void SetUp() override {
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
  }
  void TearDown() override {
    if (stream) aStream_Destroy(&stream);
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }

  // Opens the slave side at 115200 baud (index 6) with the default line settings, raw or
  // with packet framing.
  aErr openPort(bool framed) {
    return framed ? aStream_CreateSerial_Packetized(path.c_str(), 6, 0, 0, 0, &stream)
                  : aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, &stream);
  }
  void peerWrite(const Bytes& bytes, bool byteByByte) {
    if (!byteByByte) {
      ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      return;
    }
    for (uint8_t b : bytes) {
      ASSERT_EQ(write(master, &b, 1), 1);
      usleep(200);
    }
  }
  Bytes peerRead(size_t want) {
    Bytes got;
    while (got.size() < want) {
      pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) break;
      uint8_t buffer[256];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  // Reads whatever is waiting until the line has been quiet for a moment.
  void peerDrain() {
    for (int i = 0; i < 100000; ++i) {
      pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 200) != 1) return;
      uint8_t buffer[4096];
      if (read(master, buffer, sizeof buffer) <= 0) return;
    }
  }
  // Reads one byte, retrying "nothing there" a bounded number of times.
  aErr readByte(uint8_t* byte) {
    aErr err = aErrNotReady;
    for (int i = 0; i < 2000 && err == aErrNotReady; ++i)
      err = aStream_Read(stream, reinterpret_cast<char*>(byte), 1);
    return err;
  }
  // Feeds stream bytes to an assembler, as the link engine does, until a packet is whole.
  aErr readPacket(Bytes* wire) {
    aPacket* p = aPacket_Create();
    aErr err = aErrNone;
    while (err == aErrNone && !aPacket_IsComplete(p)) {
      uint8_t byte;
      err = readByte(&byte);
      if (err == aErrNone) err = aPacket_AddByte(p, byte);
    }
    if (err == aErrNone) {
      uint8_t buffer[aPACKET_MAX_WIRE];
      size_t n = 0;
      aPacket_GetBytes(p, buffer, sizeof buffer, &n);
      wire->assign(buffer, buffer + n);
    }
    aPacket_Destroy(&p);
    return err;
  }

  int master = -1, slave = -1;
  std::string path;
  aStreamRef stream = nullptr;
};

TEST_F(Pty, RawBytesBothWaysAndSettingsRestored) {
  termios before{};
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  ASSERT_TRUE(before.c_lflag & ICANON);
  ASSERT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, &stream), aErrNone);
  termios in_use{};
  ASSERT_EQ(tcgetattr(slave, &in_use), 0);
  EXPECT_FALSE(in_use.c_lflag & (ICANON | ECHO));
  EXPECT_EQ(in_use.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(in_use.c_cflag & (PARENB | CSTOPB));
  EXPECT_EQ(cfgetospeed(&in_use), static_cast<speed_t>(B115200));

  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream, reinterpret_cast<char*>(&byte), 1), aErrNotReady);
  peerWrite({0x00, 0x0A, 0x0D, 0xFF}, true); // no byte is translated
  char four[4];
  aErr err = aErrNotReady;
  for (int i = 0; i < 2000 && err == aErrNotReady; ++i)
    err = aStream_Read(stream, four, 4);
  ASSERT_EQ(err, aErrNone);
  EXPECT_EQ(Bytes(four, four + 4), (Bytes{0x00, 0x0A, 0x0D, 0xFF}));
  ASSERT_EQ(aStream_Write(stream, "\n\r\x00z", 4), aErrNone);
  EXPECT_EQ(peerRead(4), (Bytes{'\n', '\r', 0x00, 'z'}));

  ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
  termios after{};
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST_F(Pty, OpenFailuresAndSettings) {
  EXPECT_EQ(aStream_CreateSerial("/dev/no-such-port", 6, 0, 0, 0, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 2, 0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 0, 2, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial_Packetized("/dev/no-such-port", 6, 0, 0, 0, &stream),
            aErrNotFound);

  ASSERT_EQ(aStream_CreateSerial(path.c_str(), 8, 1, 1, 1, &stream), aErrNone);
  termios t{};
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B0));
  // (A pseudo-terminal keeps eight data bits and no parity whatever it is asked for.)
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_iflag & IGNPAR);
  EXPECT_EQ(aStream_SerialBaudRate(7), 230400u);
  EXPECT_EQ(aStream_SerialBaudRate(8), 0u);
}

// A port whose other side has gone away is a read error, not an idle line.
TEST_F(Pty, VanishedDeviceIsAReadError) {
  for (bool framed : {false, true}) {
    SCOPED_TRACE(framed ? "framed" : "raw");
    if (master < 0) SetUp();
    ASSERT_EQ(openPort(framed), aErrNone);
    close(master);
    master = -1;
    uint8_t byte;
    EXPECT_EQ(readByte(&byte), aErrIO);
    aStream_Destroy(&stream);
    close(slave);
    slave = -1;
  }
}

// The other end stops reading: once the pseudo-terminal's buffer is full, a write gives up
// after a bounded time instead of blocking, and writes go through again once it reads.
TEST_F(Pty, WriteToAStalledPeerEnds) {
  for (bool framed : {false, true}) {
    SCOPED_TRACE(framed ? "framed" : "raw");
    if (master < 0) SetUp();
    ASSERT_EQ(openPort(framed), aErrNone);
    // Blocks of whole packets, as the link engine writes them pooled (framing needs packets).
    Bytes block;
    while (block.size() + 30 <= 4096) {
      block.push_back(0x04);
      block.push_back(28);
      block.insert(block.end(), 28, 0x55);
    }
    const auto start = std::chrono::steady_clock::now();
    aErr err = aErrNone;
    for (int i = 0; i < 200 && err == aErrNone; ++i)
      err = aStream_Write(stream, reinterpret_cast<const char*>(block.data()), block.size());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(err, aErrTimeout);
    EXPECT_LT(took, std::chrono::seconds(10));

    // The peer reads what is there; the next write gets through.
    peerDrain();
    EXPECT_EQ(aStream_Write(stream, "\x06\x00", 2), aErrNone);
    aStream_Destroy(&stream);
    close(master);
    close(slave);
    master = slave = -1;
  }
}

// A peer that reads slowly but steadily is not stalled: the write waits as long as the port
// keeps taking bytes, however long the whole block takes.
TEST_F(Pty, WriteToASlowPeerCompletes) {
  ASSERT_EQ(aStream_CreateSerial(path.c_str(), 6, 0, 0, 0, &stream), aErrNone);
  Bytes block(96 * 1024);
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<uint8_t>(i * 13 + i / 256);
  Bytes got;
  std::thread peer([&] {
    // About 4 KB every 100 ms: more than the stall time in all, never that long idle.
    while (got.size() < block.size()) {
      pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 10000) != 1) break;
      uint8_t buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
      usleep(100000);
    }
  });
  EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const char*>(block.data()), block.size()),
            aErrNone);
  peer.join();
  EXPECT_EQ(got, block);
}

TEST_F(Pty, FramedPacketsBothWays) {
  ASSERT_EQ(aStream_CreateSerial_Packetized(path.c_str(), 6, 0, 0, 0, &stream), aErrNone);
  Bytes full = {0x04, 28};
  for (int i = 0; i < 28; ++i)
    full.push_back(static_cast<uint8_t>(i % 5 == 0 ? 0 : 0xF0 + i));
  const std::vector<Bytes> packets = {
      {0x04, 0x01, 0x00}, {0x06, 0x00}, full, {0x04, 0x03, 0x03, 0x48, 0x20}};
  std::thread peer([&] {
    for (const Bytes& p : packets)
      peerWrite(peer::frame(p), true);
  });
  for (const Bytes& expected : packets) {
    Bytes got;
    ASSERT_EQ(readPacket(&got), aErrNone);
    EXPECT_EQ(got, expected);
  }
  peer.join();

  // A frame with a bad CRC is reported once; the next frame still comes through.
  Bytes bad = peer::frame({0x04, 0x01, 0x07});
  bad[bad.size() - 2] ^= 0x01;
  peerWrite(bad, true);
  peerWrite(peer::frame({0x08, 0x00}), true);
  Bytes got;
  EXPECT_EQ(readPacket(&got), aErrPacket);
  ASSERT_EQ(readPacket(&got), aErrNone);
  EXPECT_EQ(got, (Bytes{0x08, 0x00}));

  // The stream frames what it writes; the peer decodes with its own codec.
  ASSERT_EQ(aStream_Write(stream, reinterpret_cast<const char*>(full.data()), full.size()),
            aErrNone);
  Bytes framed;
  while (framed.empty() || framed.back() != 0) {
    Bytes more = peerRead(1);
    ASSERT_FALSE(more.empty());
    framed.insert(framed.end(), more.begin(), more.end());
  }
  framed.pop_back();
  Bytes decoded;
  ASSERT_TRUE(peer::cobsDecode(framed, &decoded));
  ASSERT_EQ(decoded.size(), full.size() + 1);
  EXPECT_EQ(Bytes(decoded.begin(), decoded.end() - 1), full);
  EXPECT_EQ(decoded.back(), peer::crc8(full));
}

} // namespace
