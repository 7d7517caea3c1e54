// Runs the updater binary and checks what it prints and how it exits.

#include "app/BuildPath.h"
#include "tests/support/RunTool.h"
#include "tests/support/ScratchDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

std::string golden(const char* name) {
  std::string path = std::string(SOURCE_DIR) + "/tests/app/golden/" + name;
  std::string text = ReadFile(path);
  EXPECT_FALSE(text.empty()) << path;
  return text;
}

class Driver : public ::testing::Test {
protected:
  // Runs the updater with `args`; it is killed if it has not ended after 60 seconds.
  ToolResult run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {UPDATER_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolResult result = RunTool(argv);
    EXPECT_NE(result.status, -1) << "updater was killed or did not end";
    return result;
  }

  ScratchDir scratch;
  const std::string dir = scratch.path();
};

TEST_F(Driver, UsageTexts) {
  const std::string version = golden("version.txt");
  const std::string synopsis = golden("usage_synopsis.txt");
  const std::string help = golden("usage_help.txt");
  const std::string extended = golden("usage_help_extended.txt");
  struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } table[] = {
      {{}, 0, synopsis},
      {{"-OVERRIDE", "--https", "-d", "1"}, 0, synopsis},
      {{"--help"}, 0, help},
      {{"-h"}, 0, help},
      {{"-H", "-D"}, 0, help},
      {{"-X", "0x10000", "-h"}, 0, extended},
      {{"-h", "-X", "0x10000"}, 0, help},
      {{"-d", "0", "-U"}, 1, "Invalid serial number obtained from argument [0]\n" + synopsis},
      {{"-t", "usb", "-h"},
       0,
       "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n" + help},
  };
  for (const auto& c : table) {
    std::string line;
    for (const std::string& arg : c.args)
      line += arg + " ";
    SCOPED_TRACE(line);
    ToolResult r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    // The version line, then one notice line in parentheses.
    ASSERT_EQ(r.out.compare(0, version.size(), version), 0) << r.out;
    std::string notice = r.out.substr(version.size());
    EXPECT_EQ(notice.front(), '(');
    EXPECT_EQ(notice.substr(notice.size() - 2), ")\n");
    EXPECT_EQ(notice.find('\n'), notice.size() - 1);
  }
}

TEST_F(Driver, CommandPaths) {
  const std::string version = golden("version.txt");
  const std::string synopsis = golden("usage_synopsis.txt");
  // An update server address where nothing listens.
  const std::string no_server = "http://127.0.0.1:1/cgi/u";
  struct {
    std::vector<std::string> args;
    int status;
    const char* err; // the start of standard error, or null when not checked
  } table[] = {
      // Commands without an operation: the version line only.
      {{"-I"}, 0, ""},
      {{"-C"}, 0, ""},
      {{"-Z", "x"}, 0, ""},
      // Missing values.
      {{"-B"}, 1, "Error must supply a serial number for the List Builds command\n"},
      {{"-L"}, 1, "Error must supply a serial number for the List Local Builds command\n"},
      {{"-J"}, 1, "Error must supply a serial number for the Get JWT command\n"},
      {{"-U"}, 1, "Must specify the specific device to be updated\n"},
      {{"-N", "-G", "-U"}, 1, "Must specify the serial port used for connecting\n"},
      {{"-G", "-U", "-d", "0x0"}, 1, "Invalid serial number obtained from argument [0]\n"},
      {{"-G", "-U"}, 1, "-G must specify a specific device via -d\n--help for usage information\n"},
      // Numbers the user typed are never replaced.
      {{"-G", "-d", "1", "-b", "12a"}, 1, "Invalid build number obtained from argument [12a]\n"},
      {{"-N", "-s", "/dev/null", "-o", "96k"},
       1,
       "Invalid baud rate obtained from argument [96k]\n"},
      {{"-D", "-d", "140F5849A"},
       1,
       "Invalid serial number obtained from argument [140F5849A]: wider than 32 bits\n"},
      // A failed fingerprint or download is not hidden by a later command.
      {{"-N", "-s", "/nonexistent/tty", "-D"}, 1, nullptr},
      {{"-G", "-d", "1", "-u", no_server, "-D"}, 1, nullptr},
      {{"-G", "-d", "1", "-u", no_server}, 1, nullptr},
      // A token that could not be fetched is a failure.
      {{"-J", "-d", "1", "-u", no_server}, 1, nullptr},
  };
  for (const auto& c : table) {
    std::vector<std::string> args = c.args;
    args.push_back("-i");
    args.push_back(dir);
    std::string line;
    for (const std::string& arg : args)
      line += arg + " ";
    SCOPED_TRACE(line);
    ToolResult r = run(args);
    EXPECT_EQ(r.status, c.status);
    if (c.err != nullptr) {
      EXPECT_EQ(r.err.compare(0, strlen(c.err), c.err), 0) << r.err;
      EXPECT_TRUE(r.err.size() == strlen(c.err) || r.err.substr(strlen(c.err)) == synopsis)
          << r.err;
    }
    if (c.status == 0) {
      EXPECT_EQ(r.out, version);
    }
  }
}

TEST_F(Driver, DiscoveryTakesPrecedenceAndExitsZero) {
  for (const char* transport : {"USB", "RECOVER"}) {
    ToolResult r = run({"-D", "-U", "-d", "1", "-t", transport, "-i", dir});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Searching for Tessarine devices\nDiscovered Devices: (USB)\n"),
              std::string::npos)
        << r.out;
  }
}

TEST_F(Driver, StorageDirectory) {
  std::string base = dir + "/a/b";
  ToolResult r = run({"-i", base, "-L", "-d", "1"});
  EXPECT_EQ(r.status, 0);
  struct stat st;
  ASSERT_EQ(stat((base + "/updater").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  // A directory below a plain file cannot be made.
  std::string file = dir + "/file";
  std::ofstream(file) << "x";
  r = run({"-i", file + "/sub", "-L", "-d", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Could not find updater directory at " + file + "/sub/updater\n");
}

TEST(BuildPath, JoinsAsGiven) {
  EXPECT_EQ(BuildPath("a", nullptr), "a");
  EXPECT_EQ(BuildPath("a", "b", nullptr), "a/b");
  EXPECT_EQ(BuildPath("/home/u", ".merovant", "updater", nullptr), "/home/u/.merovant/updater");
  EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
  EXPECT_EQ(BuildPath("", "b", nullptr), "/b");
  EXPECT_EQ(BuildPath(nullptr, nullptr), "");
}

} // namespace
