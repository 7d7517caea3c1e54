// Checks the simulated module on its own, with plain sockets and terminals, against the
// byte-exact wire examples, so that the link tests built on it stand on firm ground.
#include "peers/simmodule/SimModule.h"
#include "tests/support/PeerProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace simmodule;

namespace {

// A host end made of a bare descriptor: writes bytes, reads what arrives within a time.
class RawHost {
public:
  static RawHost tcp(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    return RawHost(fd);
  }
  static RawHost pty(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    return RawHost(fd);
  }
  RawHost(RawHost&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ~RawHost() {
    if (fd_ >= 0) close(fd_);
  }

  void write(const Bytes& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(fd_, bytes.data(), bytes.size()));
  }
  // Reads until `count` bytes arrived or `ms` passed; a closed peer ends the read early.
  Bytes read(size_t count, int ms = 2000) {
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buffer[256];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
      if (n <= 0) {
        closed_ = true;
        break;
      }
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }
  bool closed() const { return closed_; }

private:
  explicit RawHost(int fd) : fd_(fd) {}
  int fd_;
  bool closed_ = false;
};

} // namespace

TEST(SimModuleWire, MatchesPublishedExamples) {
  const std::string digits = "123456789";
  EXPECT_EQ(0xA1, crc8(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()));

  // Address 4, length 1, data 0x00: COBS of 04 01 00 and its CRC 0x5A, then the delimiter.
  EXPECT_EQ((Bytes{0x03, 0x04, 0x01, 0x02, 0x5A, 0x00}), frameOf(Packet{4, {0x00}}));

  const struct {
    Bytes plain;
    Bytes encoded;
  } cobs[] = {
      {{}, {0x01}},
      {{0x00}, {0x01, 0x01}},
      {{0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
      {{0x11, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01}},
  };
  for (const auto& row : cobs) {
    EXPECT_EQ(row.encoded, cobsEncode(row.plain.data(), row.plain.size()));
    Bytes back;
    ASSERT_TRUE(cobsDecode(row.encoded.data(), row.encoded.size(), back));
    EXPECT_EQ(row.plain, back);
  }
  Bytes ignored;
  EXPECT_FALSE(cobsDecode(Bytes{0x05, 0x11}.data(), 2, ignored)); // run overshoots
}

TEST(SimModuleWire, AssemblersRebuildPacketsAndRejectNoise) {
  // Stream: a get of option 8 of the system entity, an empty answer, then noise and a packet.
  const Bytes stream = {0x04, 0x03, 0x03, 0x48, 0x20, 0x06, 0x00,
                        0x00, 0x08, 0x1D, 0x04, 0x01, 0x17};
  StreamAssembler sa;
  std::vector<Packet> got;
  sa.feed(stream.data(), stream.size(), got);
  ASSERT_EQ(3u, got.size());
  EXPECT_EQ((Packet{4, {0x03, 0x48, 0x20}}), got[0]);
  EXPECT_EQ((Packet{6, {}}), got[1]);
  EXPECT_EQ((Packet{4, {0x17}}), got[2]);
  EXPECT_EQ(2u, sa.rejected()); // the zero address byte and the length of 29

  // Frames: a 28-byte packet round trip, a bad CRC, and a length byte that lies.
  Packet full{8, Bytes(28, 0)};
  for (size_t i = 0; i < 28; ++i)
    full.data[i] = static_cast<uint8_t>(i * 9);
  Bytes frames = frameOf(full);
  Bytes bad = frameOf(Packet{4, {1, 2}});
  bad[bad.size() - 2] ^= 0x01;
  frames.insert(frames.end(), bad.begin(), bad.end());
  const Bytes lying = frameOfBytes(Bytes{0x04, 0x05, 0x01});
  frames.insert(frames.end(), lying.begin(), lying.end());
  FrameAssembler fa;
  got.clear();
  fa.feed(frames.data(), frames.size(), got);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(full, got[0]);
  EXPECT_EQ(2u, fa.rejected());
}

class SimModuleTransport : public ::testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    Options options;
    options.address = 6;
    module = GetParam() ? Module::startPty(options) : Module::startTcp(options);
    ASSERT_TRUE(module);
  }
  RawHost connect() {
    return module->isPty() ? RawHost::pty(module->ptyPath()) : RawHost::tcp(module->port());
  }
  // What a host sends and expects back, in the transport's wire form.
  Bytes out(const Packet& packet) { return module->isPty() ? frameOf(packet) : wireForm(packet); }

  std::unique_ptr<Module> module;
};

TEST_P(SimModuleTransport, AnswersQueriesRecordsRoutesAndEchoes) {
  RawHost host = connect();
  const Bytes answer = out(Packet{6, {}});
  host.write(out(Packet{kAddressQuery, {}}));
  EXPECT_EQ(answer, host.read(answer.size()));

  host.write(out(Packet{kForceRoute, {1}}));
  host.write(out(Packet{6, {0x05, 0x01, 0x20}}));
  const Bytes echo = out(Packet{6, {kCmdEcho, 0xAA, 0x00, 0x55}});
  host.write(out(Packet{6, {kCmdEcho, 0xAA, 0x00, 0x55}}));
  EXPECT_EQ(echo, host.read(echo.size()));
  ASSERT_TRUE(module->waitUntil([](const Observed& o) { return o.ordinaryIn == 1; }, 2000));
  const Observed seen = module->observed();
  EXPECT_EQ(std::vector<uint8_t>{1}, seen.forceRoutes);
  EXPECT_EQ(1u, seen.addressQueries);
  EXPECT_EQ((std::vector<Packet>{Packet{6, {0x05, 0x01, 0x20}}}), module->takeReceived());
}

TEST_P(SimModuleTransport, HeartbeatsAreSentAndAnswersChecked) {
  RawHost host = connect();
  if (!module->isPty()) { // the module sends heartbeats only once a host is connected
    ASSERT_TRUE(module->waitUntil([](const Observed& o) { return o.connections == 1; }, 2000));
  }
  module->setHeartbeatPeriod(20);
  const Bytes up = out(Packet{6, {0, 0}});
  const Bytes down = out(Packet{6, {0, 1}});
  EXPECT_EQ(up, host.read(up.size()));
  host.write(out(Packet{6, {0, 2}}));
  EXPECT_EQ(down, host.read(down.size()));
  host.write(out(Packet{6, {0, 7}})); // wrong value
  module->setHeartbeatPeriod(0);
  ASSERT_TRUE(module->waitUntil(
      [](const Observed& o) { return o.heartbeatAnswers == 1 && o.heartbeatWrong == 1; }, 2000));
}

TEST_P(SimModuleTransport, OutgoingFaults) {
  RawHost host = connect();
  const Bytes answer = out(Packet{6, {}});
  const Bytes query = out(Packet{kAddressQuery, {}});

  module->dropNext(1);
  host.write(query);
  EXPECT_TRUE(host.read(1, 200).empty());

  module->duplicateNext(1);
  host.write(query);
  Bytes twice = answer;
  twice.insert(twice.end(), answer.begin(), answer.end());
  EXPECT_EQ(twice, host.read(twice.size()));

  module->delayAll(300);
  const auto start = std::chrono::steady_clock::now();
  host.write(query);
  EXPECT_EQ(answer, host.read(answer.size()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  module->delayAll(0);

  // A pseudo-terminal's hang-up discards what the host had not read yet.
  module->disconnectMidPacket(Packet{6, {kCmdEcho, 1, 2, 3}}, 3);
  const Bytes partial = host.read(100);
  EXPECT_TRUE(host.closed());
  if (!module->isPty()) {
    EXPECT_EQ(3u, partial.size());
  }
  EXPECT_EQ(1u, module->observed().disconnects);
}

TEST_P(SimModuleTransport, StalledReaderLetsWritesBackUp) {
  RawHost host = connect();
  if (!module->isPty()) {
    ASSERT_TRUE(module->waitUntil([](const Observed& o) { return o.connections == 1; }, 2000));
  }
  module->stallReader(true);
  host.write(out(Packet{6, {0x05}}));
  EXPECT_FALSE(module->waitUntil([](const Observed& o) { return o.packetsIn > 0; }, 200));
  module->stallReader(false);
  EXPECT_TRUE(module->waitUntil([](const Observed& o) { return o.packetsIn == 1; }, 2000));
}

INSTANTIATE_TEST_SUITE_P(Transports, SimModuleTransport, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pty" : "Tcp"; });

TEST(SimModulePeer, CommandLineWrapperServesAndReports) {
  const std::string peer = std::string(BINARY_DIR) + "/peers/simmodule_peer";
  PeerProcess process({peer, "--tcp", "--lifetime", "20"});
  ASSERT_TRUE(process.started());
  std::string line = process.readLine();
  unsigned port = 0;
  ASSERT_EQ(1, std::sscanf(line.c_str(), "port %u", &port)) << line;
  {
    RawHost host = RawHost::tcp(static_cast<uint16_t>(port));
    host.write(wireForm(Packet{kAddressQuery, {}}));
    EXPECT_EQ((Bytes{0x04, 0x00}), host.read(2));
    host.write(wireForm(Packet{kForceRoute, {0}}));
    host.read(1, 100);
  }
  process.closeInput(); // the peer ends and reports what it saw
  line = process.readLine();
  ASSERT_FALSE(line.empty());
  EXPECT_NE(nullptr, std::strstr(line.c_str(), "queries=1 ")) << line;
  EXPECT_NE(nullptr, std::strstr(line.c_str(), "routes=0")) << line;
  EXPECT_EQ(0, process.wait());
}
