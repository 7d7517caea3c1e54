#include "app/CLI_Display.h"
#include "app/Log.h"
#include "tests/app/RecordingDisplay.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include "link/aDefs.h"

#include <cmath>
#include <cstring>
#include <cstdio>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// Points standard output at a new descriptor for the life of the object, and gives back what
// was written to it.
class StdoutRedirect {
public:
  // On a raw pseudo-terminal (a terminal) or, with `terminal` false, on a temporary file.
  explicit StdoutRedirect(bool terminal) {
    fflush(stdout);
    saved = dup(STDOUT_FILENO);
    if (terminal) {
      EXPECT_EQ(openpty(&reader, &writer, nullptr, nullptr, nullptr), 0);
      struct termios raw;
      tcgetattr(writer, &raw);
      cfmakeraw(&raw);
      tcsetattr(writer, TCSANOW, &raw);
    } else {
      file = tmpfile();
      writer = dup(fileno(file));
    }
    dup2(writer, STDOUT_FILENO);
  }
  ~StdoutRedirect() {
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(writer);
    if (reader >= 0) close(reader);
    if (file != nullptr) fclose(file);
  }

  std::string take() {
    fflush(stdout);
    std::string text;
    char buffer[4096];
    if (file != nullptr) {
      rewind(file);
      size_t n;
      while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
        text.append(buffer, n);
      return text;
    }
    struct pollfd ready = {reader, POLLIN, 0};
    while (poll(&ready, 1, 100) == 1) {
      ssize_t n = read(reader, buffer, sizeof(buffer));
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }

private:
  int saved = -1;
  int reader = -1;
  int writer = -1;
  FILE* file = nullptr;
};

std::string repeat(char c, size_t n) {
  return std::string(n, c);
}

TEST(Progress, BarOnATerminal) {
  CLI_Display display;
  std::string long_label(200, 'L');
  struct {
    double fraction;
    const char* label;
    std::string expected;
  } table[] = {
      {0.5, nullptr, "\r[" + repeat('=', 34) + ">" + repeat(' ', 34) + "] ( 50% ) "},
      {0.0, "abcde", "\r (abcde) [>" + repeat(' ', 59) + "] (  0% ) "},
      {0.999, nullptr, "\r[" + repeat('=', 68) + ">] ( 99% ) "},
      {1.0, nullptr, "\r[" + repeat('=', 69) + "> ] (100% ) "},
      // Outside 0 to 1, the bar stops at its ends.
      {7.5, nullptr, "\r[" + repeat('=', 69) + "> ] (100% ) "},
      {-2.0, nullptr, "\r[>" + repeat(' ', 68) + "] (  0% ) "},
      {NAN, nullptr, "\r[>" + repeat(' ', 68) + "] (  0% ) "},
      // A long label is cut so that a bar of one character remains.
      {0.5, long_label.c_str(), "\r (" + repeat('L', 64) + ") [>] ( 50% ) "},
      {1.0, long_label.c_str(), "\r (" + repeat('L', 64) + ") [=> ] (100% ) "},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.fraction);
    StdoutRedirect terminal(true);
    display.update_progress(c.fraction, c.label);
    EXPECT_EQ(terminal.take(), c.expected);
  }

  StdoutRedirect terminal(true);
  display.display_progress(true);
  EXPECT_EQ(terminal.take(), "");
  display.display_progress(false);
  EXPECT_EQ(terminal.take(), "\r" + repeat(' ', 88) + "\r");
}

TEST(Progress, SpinnerOnATerminal) {
  CLI_Display display;
  StdoutRedirect terminal(true);
  // The frame counter is shared; turn until the widest frame, then follow a whole cycle.
  const std::string widest = "\r .....      \r";
  int turns = 0;
  for (; turns < 8; ++turns) {
    display.update_spinner(true, nullptr);
    if (terminal.take() == widest) break;
  }
  ASSERT_LT(turns, 8);
  for (const char* frame : {"....", "...", "..", ".", "..", "...", "....", "....."}) {
    display.update_spinner(true, nullptr);
    EXPECT_EQ(terminal.take(), std::string("\r ") + frame + "      \r");
  }
  display.update_spinner(true, "Downloading");
  EXPECT_EQ(terminal.take(), "\r (Downloading) ....      \r");
  display.update_spinner(false, "Downloading");
  EXPECT_EQ(terminal.take(), "\r" + repeat(' ', 88) + "\r");
}

TEST(Progress, AbsentWhenOutputIsAFile) {
  CLI_Display display;
  StdoutRedirect file(false);
  display.display_progress(true);
  display.update_progress(0.5, "x");
  display.update_spinner(true, "x");
  display.update_spinner(false, nullptr);
  display.display_progress(false);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "line %d", 1);
  EXPECT_EQ(file.take(), "line 1\n");
}

TEST(Display, MessagesAreRoutedCutAndMuted) {
  RecordingDisplay display;
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "info %u", 1u);
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %s", "two");
  EXPECT_EQ(display.infos, std::vector<std::string>{"info 1"});
  EXPECT_EQ(display.errors, std::vector<std::string>{"error two"});

  std::string long_text(3000, 'x');
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", long_text.c_str());
  EXPECT_EQ(display.infos.back(), std::string(2047, 'x'));

  display.mute_messages(true);
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
  display.update_spinner(true, nullptr);
  display.mute_messages(false);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "shown");
  EXPECT_EQ(display.errors.size(), 1u);
  EXPECT_EQ(display.infos.back(), "shown");
  EXPECT_EQ(display.spinner_calls, 1);
}

TEST(Log, PackagesSelectLines) {
  struct {
    unsigned active;
    unsigned package;
    bool written;
  } table[] = {
      {DEBUG_APP, DEBUG_ServerComm, false},
      {DEBUG_APP, 0, true},
      {0, 0, true},
      {0, DEBUG_Updater, false},
      {DEBUG_ServerComm, DEBUG_ServerComm, true},
      {DEBUG_Updater | DEBUG_APP, DEBUG_APP, true},
      {0x10, DEBUG_Network, false},
      {0xFFFFFFFF, DEBUG_iMXSerial, true},
      {DEBUG_Updater, DEBUG_Updater | DEBUG_APP, true},
  };
  LogCapture capture;
  for (const auto& c : table) {
    SCOPED_TRACE(c.package);
    Log::package_bitmask = 0;
    Log::ActivatePackage(c.active);
    Log::log(c.package, "line %d\n", 7);
    EXPECT_EQ(capture.take(), c.written ? "line 7\n" : "");
  }

  Log::package_bitmask = 0;
  Log::ActivatePackage(DEBUG_APP | DEBUG_Updater);
  Log::DeactivatePackage(DEBUG_APP);
  Log::log(DEBUG_APP, "off");
  Log::log(DEBUG_Updater, "on");
  EXPECT_EQ(capture.take(), "on");

  std::string long_text(3000, 'y');
  Log::log(0, "%s", long_text.c_str());
  EXPECT_EQ(capture.take(), std::string(2047, 'y'));
}

TEST(Log, TimeStampGoesWithItsLine) {
  LogCapture capture;
  Log::timestamped = true;
  Log::log(0, "a longer line\n");
  std::string line = capture.take();
  // "YYYY:MM:DD:HH:MM:SS | a longer line\n"
  ASSERT_EQ(line.size(), 19 + 3 + 14u) << line;
  EXPECT_EQ(line.substr(19), " | a longer line\n");
  EXPECT_EQ(line[4], ':');
  // Short formats get no stamp.
  Log::log(0, "short\n");
  EXPECT_EQ(capture.take(), "short\n");
}

TEST(Log, NoStreamWritesNothing) {
  Log::SetOutput(nullptr);
  Log::log(0, "nowhere %d\n", 1);
  SUCCEED();
}

TEST(ResultDisplays, Lines) {
  RecordingDisplay display;
  Fingerprint fingerprint;
  fingerprint.words[0] = 0x1;
  fingerprint.words[1] = 0xABCDEF01;
  fingerprint.words[3] = 0xFFFFFFFF;
  _display_fingerprint(display, fingerprint);
  _display_jwt(display, "a.b.c %s");
  std::map<std::string, std::string> none;
  _display_builds(display, none, 0x40F5849A);
  std::vector<std::string> expected = {"[ 00000001 ABCDEF01 00000000 FFFFFFFF ]", "a.b.c %s",
                                       "No builds found for device [40F5849A]"};
  EXPECT_EQ(display.infos, expected);
}

TEST(ResultDisplays, BuildList) {
  RecordingDisplay display;
  std::map<std::string, std::string> builds = {{"100", "2.1.0"},
                                               {"99528558", "2.12.2"},
                                               {"1234567890123456789", "2.3.4"},
                                               {"7", "12.200.300000000"}};
  _display_builds(display, builds, 0xDEADDEAD);
  std::vector<std::string> expected = {
      "Build List for device [DEADDEAD]:\n", "Build          \tVersion        ",
      "7              \t12.200.30000000",    "99528558       \t2.12.2         ",
      "123456789012345\t2.3.4          ",    "100            \t2.1.0          ",
  };
  EXPECT_EQ(display.infos, expected);
}

DeviceInfo device(linkType type, uint32_t serial, int error = 0) {
  DeviceInfo info;
  info.spec.type = type;
  info.spec.serial_num = serial;
  info.spec.module = 2;
  info.spec.router = 0x1A;
  info.spec.model = 0;
  info.version_major = 2;
  info.version_minor = 12;
  info.version_patch = 2;
  info.build = 99528558;
  info.name = "bench";
  info.error = error;
  return info;
}

TEST(ResultDisplays, DeviceList) {
  std::vector<DeviceInfo> devices = {device(1, 0x40F5849A), device(1, 0x2181F0EE, 25),
                                     device(2, 0xD272031D, 25)};
  const uint8_t ip[4] = {192, 168, 255, 7};
  memcpy(&devices[2].spec.t.ip.ip_address, ip, 4);
  std::string model = aDefs_GetModelName(0);

  RecordingDisplay usb;
  _display_device_list(usb, devices, 1);
  char line[512];
  std::vector<std::string> expected = {
      "Discovered Devices: (USB)",
      "    Device    Module   Router  Model          Firmware Version (Build)    Device Name"};
  snprintf(line, sizeof(line),
           "    40F5849A  02       1A      %-12s   2.12.2 (  99528558)         bench",
           model.c_str());
  expected.push_back(line);
  expected.push_back("    2181F0EE  [Error (25): Is someone else connected to this device?]");
  snprintf(
      line, sizeof(line),
      "    D272031D  02       1A      %-12s   2.12.2 (  99528558)        [192.168.255.7]    bench",
      model.c_str());
  expected.push_back(line);
  EXPECT_EQ(usb.infos, expected);

  RecordingDisplay unknown;
  std::vector<DeviceInfo> empty;
  _display_device_list(unknown, empty, 0);
  _display_device_list(unknown, devices, 0);
  EXPECT_EQ(unknown.infos[0], "Discovered Devices: (Unknown)");
  EXPECT_EQ(unknown.infos[1], "    No devices found.");
  EXPECT_EQ(unknown.infos[3], "    Device    Module   Router  Model          Firmware Version "
                              "(Build)   [IP address]       Device Name");
}

} // namespace
