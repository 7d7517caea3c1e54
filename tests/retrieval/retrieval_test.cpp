// Build retrieval through the updater binary against the local update server: server and
// local build lists, downloads into the store, the feature token, and their failures.

#include "tests/support/LocalUpdateServer.h"
#include "tests/support/RunTool.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/TestBird.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* kDevices = R"({"devices": {"40F5849A": {
  "builds": {"99528558": "2.10.5", "99528000": "2.9.0", "99527000": "2.10.12",
             "5": "bad", "7": "1.256.0"},
  "current": "99528558", "firmware": "2.10.5", "token": "hdr.payload.sig"}}})";

std::string with_fault(const std::string& kind, const std::string& op) {
  std::string json = kDevices;
  json.insert(json.rfind('}'), R"(, "fault": {"kind": ")" + kind + R"(", "ops": [")" + op + "\"]}");
  return json;
}

void write_file(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// The lines "KEY=value" of a settings file as a map.
std::map<std::string, std::string> settings(const fs::path& path) {
  std::map<std::string, std::string> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

class Retrieval : public ::testing::Test {
protected:
  // Starts the server (HTTP or HTTPS) with the standard devices and builds.
  LocalUpdateServer& serve(bool tls = false) {
    server_ = std::make_unique<LocalUpdateServer>(tls);
    server_->set_config(kDevices);
    server_->add_build("40F5849A", "99528558", make_bird(99528558, "2.10.5", 3000));
    server_->add_build("40F5849A", "99528000", make_bird(99528000, "2.9.0"));
    return *server_;
  }

  ToolResult run(std::vector<std::string> args, bool trust = true) {
    std::vector<std::string> argv = {UPDATER_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-i", home_.string()});
    if (server_) argv.insert(argv.end(), {"-u", server_->url()});
    // A silent server is given up on quickly; others get time enough for a loaded machine.
    std::vector<std::pair<std::string, std::string>> env = {
        {"UPDATER_HTTP_TIMEOUT", silent_server_ ? "2" : "20"}};
    if (server_ && trust && !server_->ca_file().empty())
      env.emplace_back("UPDATER_CA_FILE", server_->ca_file());
    else
      env.emplace_back("UPDATER_CA_FILE", "");
    return RunTool(argv, env);
  }

  fs::path device_dir() const { return home_ / "updater" / "40F5849A"; }

  ScratchDir scratch_;
  const fs::path home_{scratch_.path()};
  std::unique_ptr<LocalUpdateServer> server_;
  bool silent_server_ = false;
};

const char* kVersionLine = "Updater (Version: 2.12.2 Mar 13 2026)\n";

} // namespace

TEST_F(Retrieval, ServerBuildListSortedNewestFirstOverHttpAndHttps) {
  const std::string expected = std::string(kVersionLine) + "Build List for device [40F5849A]:\n\n"
                                                           "Build          \tVersion        \n"
                                                           "99527000       \t2.10.12        \n"
                                                           "99528558       \t2.10.5         \n"
                                                           "99528000       \t2.9.0          \n"
                                                           "7              \t1.256.0        \n"
                                                           "5              \tbad            \n";
  for (bool tls : {false, true}) {
    serve(tls);
    ToolResult r = run({"-B", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected) << (tls ? "https" : "http");
    EXPECT_EQ(server_->queries(),
              (std::vector<std::string>{"op=hi&rv=2&", "op=builds&sn=40F5849A&"}));
  }

  // The HTTPS server's certificate is not trusted by default.
  ToolResult untrusted = run({"-B", "-d", "40F5849A"}, false);
  EXPECT_EQ(untrusted.status, 1);
  EXPECT_NE(untrusted.err.find("Server request failed for " + server_->url()), std::string::npos);
}

TEST_F(Retrieval, ServerBuildListFailuresExitOne) {
  serve();
  struct Case {
    std::string config;
    std::string error; // empty: success
    std::string out;
  } cases[] = {
      {with_fault("500", "hi"), "Server request failed for " + server_->url(), ""},
      {with_fault("hang", "hi"), "Server request failed for " + server_->url(), ""},
      {with_fault("notok", "builds"), "Failed to retrieve builds for 40F5849A", ""},
      {with_fault("cut", "builds"), "Failed to retrieve builds for 40F5849A", ""},
      {R"({"devices": {"40F5849A": {"builds": {}}}})", "",
       "No builds found for device [40F5849A]\n"},
  };
  for (const Case& c : cases) {
    server_->set_config(c.config);
    silent_server_ = c.config.find("hang") != std::string::npos;
    ToolResult r = run({"-B", "-d", "40F5849A"});
    EXPECT_EQ(r.status, c.error.empty() ? 0 : 1) << c.config;
    EXPECT_EQ(r.err, c.error.empty() ? "" : c.error + "\n") << c.config;
    EXPECT_EQ(r.out, kVersionLine + c.out) << c.config;
  }
}

TEST_F(Retrieval, DownloadWritesTheServedBytesAndRecordsThem) {
  for (bool tls : {false, true}) {
    serve(tls);
    fs::remove_all(home_ / "updater");
    ToolResult r = run({"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::string(kVersionLine) +
                         "Retrieving firmware for device with serial number 40F5849A\n"
                         "No build specified\nUsing Latest build\n"
                         "Retrieving build 99528558\n"
                         "Validating build 99528558 with server\n"
                         "Build 99528558 is valid\n");
    EXPECT_EQ(ReadFile(device_dir() / "99528558.bird"),
              ReadFile(fs::path(server_->store()) / "40F5849A" / "99528558.bird"));
    auto keys = settings(device_dir() / ".settings");
    EXPECT_EQ(keys["LATEST_DOWNLOAD"], "99528558.bird");
    EXPECT_EQ(keys["LAST_DOWNLOAD_DATE"].size(), 24u);
    EXPECT_EQ(server_->queries(), (std::vector<std::string>{
                                      "op=hi&rv=2&", "op=qu&sn=40F5849A&", "op=builds&sn=40F5849A&",
                                      "bld=99528558&fw=2.10.5&no_cal=false&op=bird&sn=40F5849A&"}));
    // Nothing but the build and the settings is left in the device directory.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(device_dir()))
      ++entries;
    EXPECT_EQ(entries, 2u);
  }
}

TEST_F(Retrieval, DownloadOfAChosenBuildAndOverride) {
  serve();
  ToolResult r = run({"-G", "-d", "40F5849A", "-b", "99528000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(device_dir() / "99528000.bird"), make_bird(99528000, "2.9.0"));
  EXPECT_EQ(settings(device_dir() / ".settings")["LATEST_DOWNLOAD"], "99528000.bird");

  // Not in the server's list: refused before any download.
  server_->clear_requests();
  r = run({"-G", "-d", "40F5849A", "-b", "123"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "No valid build 123\n");
  EXPECT_EQ(server_->queries().size(), 3u);

  // With override the list is not asked for; the server has no such file.
  server_->clear_requests();
  r = run({"-G", "-d", "40F5849A", "-b", "123", "-OVERRIDE"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Override specified, skipping validation of build 123"), std::string::npos);
  EXPECT_EQ(server_->queries(),
            (std::vector<std::string>{"op=hi&rv=2&", "op=qu&sn=40F5849A&",
                                      "bld=123&fw=2.10.5&no_cal=false&op=bird&sn=40F5849A&"}));
  EXPECT_FALSE(fs::exists(device_dir() / "123.bird"));
}

// A failed download changes nothing in the store: the earlier copy of the build and the
// settings stay as they were.
TEST_F(Retrieval, FailedDownloadLeavesTheStoreAsItWas) {
  serve();
  const std::string old_copy = make_bird(99528558, "2.10.4");
  const std::string old_settings = "CREATED_TIME=Wed Mar 11 10:00:00 2026\n"
                                   "LAST_DOWNLOAD_DATE=Wed Mar 11 10:00:00 2026\n"
                                   "LATEST_DOWNLOAD=99528558.bird\n"
                                   "UPDATED_TIME=Wed Mar 11 10:00:00 2026\n";
  struct Case {
    std::string config;
    std::string error;
  } cases[] = {
      {with_fault("cut", "bird"), "Download failed\nFailed to retrieve a valid BIRD file\n"},
      {with_fault("500", "bird"), "Download failed\nFailed to retrieve a valid BIRD file\n"},
      {with_fault("hang", "bird"), "Download failed\nFailed to retrieve a valid BIRD file\n"},
      {with_fault("empty", "bird"), "Download failed\nFailed to retrieve a valid BIRD file\n"},
      {with_fault("badb64", "bird"), "Failed to decode BIRD file for build 99528558\n"},
      {with_fault("notok", "qu"), "No build information for device\n"},
      {with_fault("404", "builds"), "No valid build 99528558\n"},
      {R"({"devices": {"40F5849A": {"current": "none", "builds": {"1": "1.0.0"}}}})",
       "No build information for device\n"},
      // A build named like a path never becomes one.
      {R"({"devices": {"40F5849A": {"current": "../../escape", "builds": {"1": "1.0.0"}}}})",
       "No build information for device\n"},
      {R"({"raw": {"bird": "ok\nZm9v=\n"}, )" + std::string(kDevices).substr(1),
       "Failed to decode BIRD file for build 99528558\n"},
  };
  for (const Case& c : cases) {
    write_file(device_dir() / "99528558.bird", old_copy);
    write_file(device_dir() / ".settings", old_settings);
    server_->set_config(c.config);
    silent_server_ = c.config.find("hang") != std::string::npos;
    ToolResult r = run({"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 1) << c.config;
    EXPECT_EQ(r.err, c.error) << c.config;
    EXPECT_EQ(ReadFile(device_dir() / "99528558.bird"), old_copy) << c.config;
    EXPECT_EQ(ReadFile(device_dir() / ".settings"), old_settings) << c.config;
    EXPECT_FALSE(fs::exists(home_ / "escape.bird"));
  }

  // The file cannot be replaced (a directory stands in its place).
  server_->set_config(kDevices);
  silent_server_ = false;
  fs::remove(device_dir() / "99528558.bird");
  fs::create_directories(device_dir() / "99528558.bird" / "keep");
  ToolResult r = run({"-G", "-d", "40F5849A"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Failed to write file with ", 0), 0u) << r.err;
  EXPECT_EQ(ReadFile(device_dir() / ".settings"), old_settings);
  EXPECT_TRUE(fs::exists(device_dir() / "99528558.bird" / "keep"));
}

TEST_F(Retrieval, DeviceDirectoryIsMadeEvenWhenTheDownloadFails) {
  serve();
  server_->set_config(with_fault("notok", "qu"));
  ToolResult r = run({"-G", "-d", "40F5849A"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fs::is_directory(device_dir()));
  EXPECT_TRUE(fs::exists(device_dir() / ".settings"));
}

TEST_F(Retrieval, LocalBuildListFromTheStore) {
  write_file(device_dir() / "100.bird", make_bird(100, "1.2.3"));
  write_file(device_dir() / "101.bird", make_bird(101, "1.10.0"));
  write_file(device_dir() / "102.bird", "not a bird file");
  write_file(device_dir() / "103.bird", std::string("bird\x01\x01", 6) + "damaged body");
  write_file(device_dir() / "notes" / "a.txt", "x");
  write_file(device_dir() / ".settings", "CREATED_TIME=x\n");
  ToolResult r = run({"-L", "-d", "40F5849A"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kVersionLine) + "Build List for device [40F5849A]:\n\n"
                                               "Build          \tVersion        \n"
                                               "101            \t1.10.0         \n"
                                               "100            \t1.2.3          \n"
                                               "103            \t               \n"
                                               "102            \t               \n"
                                               "notes          \t               \n");

  // The trace names each file whose version was read, and each that is no BIRD file.
  r = run({"-L", "-d", "40F5849A", "-X", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string dir = device_dir().string();
  EXPECT_NE(r.err.find("Found VERSION in birdfile: " + dir + "/100.bird - Version: \n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Could NOT file VERSION in birdfile: " + dir + "/102.bird\n"),
            std::string::npos)
      << r.err;

  // A device with nothing stored.
  r = run({"-L", "-d", "12345678"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(kVersionLine) + "No builds found for device [12345678]\n");
}

TEST_F(Retrieval, FeatureToken) {
  serve();
  ToolResult r = run({"-J", "-d", "40F5849A"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kVersionLine) + "hdr.payload.sig\n");
  EXPECT_EQ(server_->queries().back(), "json=false&op=ent_jwt&sn=40F5849A&");

  for (const auto& [config, error] : std::vector<std::pair<std::string, std::string>>{
           {with_fault("notok", "ent_jwt"), "Failed to retrieve jwt for 40F5849A\n"},
           {with_fault("404", "hi"), "Server request failed for " + server_->url() + "\n"}}) {
    server_->set_config(config);
    r = run({"-J", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, error);
    EXPECT_EQ(r.out, kVersionLine);
  }
}
