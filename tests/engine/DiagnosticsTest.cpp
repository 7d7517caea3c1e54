// Diagnostic switches, and a link to the simulated module running as its own process.
#include "EngineSupport.h"
#include "link/aDebugging.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

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
  int toPeer[2], fromPeer[2];
  ASSERT_EQ(0, pipe2(toPeer, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(fromPeer, O_CLOEXEC));
  const std::string peer = std::string(BINARY_DIR) + "/peers/simmodule_peer";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(toPeer[0], STDIN_FILENO);
    dup2(fromPeer[1], STDOUT_FILENO);
    execl(peer.c_str(), peer.c_str(), "--pty", "--address", "8", "--heartbeat", "20", "--lifetime",
          "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toPeer[0]);
  close(fromPeer[1]);
  FILE* lines = fdopen(fromPeer[0], "r");
  char line[512] = {};
  ASSERT_TRUE(std::fgets(line, sizeof line, lines));
  char path[256] = {};
  ASSERT_EQ(1, std::sscanf(line, "pty %255s", path)) << line;

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
  close(toPeer[1]); // the peer ends and reports what it saw
  ASSERT_TRUE(std::fgets(line, sizeof line, lines));
  std::fclose(lines);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(nullptr, std::strstr(line, "routes=1,0")) << line;
  EXPECT_NE(nullptr, std::strstr(line, " wrong=0 ")) << line;
  unsigned answered = 0;
  const char* at = std::strstr(line, "answered=");
  ASSERT_TRUE(at);
  std::sscanf(at, "answered=%u", &answered);
  EXPECT_GE(answered, 2u) << line;
}

} // namespace
