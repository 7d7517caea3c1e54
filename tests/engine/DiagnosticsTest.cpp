// Diagnostic switches, and a link to the simulated module running as its own process.
#include "EngineSupport.h"
#include "link/aDebugging.h"
#include "tests/support/PeerProcess.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace enginetest;
using simmodule::Observed;

namespace {

TEST(LinkDiagnostics, SwitchesPrintLifecycleAndHeartbeatLines) {
  auto module = simmodule::Module::startTcp(simmodule::Options{4});
  ASSERT_TRUE(module);
  testing::internal::CaptureStdout();
  aTessarineDebuggingLevel = aDEBUG_LINK | aDEBUG_TRAFFIC;
  aTessarineDebuggingEnable = 1;
  LinkUse link(openLink(*module, 0x4000));
  const aLinkRef id = link.id();
  module->setHeartbeatPeriod(5);
  const bool answered =
      module->waitUntil([](const Observed& o) { return o.heartbeatAnswers >= 2; }, 5000);
  module->setHeartbeatPeriod(0);
  link.release();
  aTessarineDebuggingEnable = 0;
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(0u, id);
  EXPECT_TRUE(answered);
  const std::string idText = std::to_string(id);
  EXPECT_NE(std::string::npos, out.find(" aLink_Start(" + idText + ")\n")) << out;
  EXPECT_NE(std::string::npos, out.find(" sHandleHBBackChannel(" + idText + ") sending HB UP\n"));
  EXPECT_NE(std::string::npos, out.find(" sHandleHBBackChannel(" + idText + ") sending HB DOWN\n"));

  // Off again: nothing is printed.
  testing::internal::CaptureStdout();
  LinkUse quiet(openLink(*module, 0x4001));
  quiet.release();
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(LinkWithModuleProcess, SerialLinkToTheCommandLinePeer) {
  const std::string peer = std::string(BINARY_DIR) + "/peers/simmodule_peer";
  PeerProcess process({peer, "--pty", "--address", "8", "--heartbeat", "20", "--lifetime", "30"});
  ASSERT_TRUE(process.started());
  std::string line = process.readLine();
  char path[256] = {};
  ASSERT_EQ(1, std::sscanf(line.c_str(), "pty %255s", path)) << line;

  {
    LinkUse link(aLink_CreateSerial(0x4100, path, 57600));
    ASSERT_NE(0u, link.id());
    EXPECT_EQ(aErrNone, aLink_Sync(link.id()));
    const uint8_t echo = simmodule::kCmdEcho;
    ASSERT_EQ(aErrNone, aLink_PutPacket(link.id(), makePacket(8, {echo, 1, 2, 3}).get()));
    PacketPtr reply(aLink_AwaitFirst(link.id(), commandFilter, &echo, 5000));
    ASSERT_TRUE(reply);
    EXPECT_EQ((std::vector<uint8_t>{echo, 1, 2, 3}), dataOf(reply.get()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // a few heartbeats
  }
  process.closeInput(); // the peer ends and reports what it saw
  line = process.readLine();
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(0, process.wait());
  EXPECT_NE(nullptr, std::strstr(line.c_str(), "routes=1,0")) << line;
  EXPECT_NE(nullptr, std::strstr(line.c_str(), " wrong=0 ")) << line;
  unsigned answered = 0;
  const char* at = std::strstr(line.c_str(), "answered=");
  ASSERT_TRUE(at);
  std::sscanf(at, "answered=%u", &answered);
  EXPECT_GE(answered, 2u) << line;
}

} // namespace
