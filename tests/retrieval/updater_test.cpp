// Build retrieval called in-process, for what the command line cannot reach: build texts the
// option parser would have rewritten, the spinner, and loading a build for recovery.

#include "updater/Updater.h"

#include "tests/app/RecordingDisplay.h"
#include "tests/support/LocalUpdateServer.h"
#include "tests/support/TestBird.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

class UpdaterRetrieval : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("UPDATER_HTTP_TIMEOUT", "20", 1);
    server_.set_config(R"({"devices": {"40F5849A": {
      "builds": {"12": "1.0.0", "7": "0.7.0", "99528558": "2.10.5"},
      "current": "99528558", "firmware": "2.10.5"}}})");
    server_.add_build("40F5849A", "12", "twelve");
    server_.add_build("40F5849A", "99528558", "latest");
    store_ = fs::path(server_.dir()) / "client";
    url_ = server_.url();
  }
  void TearDown() override { unsetenv("UPDATER_HTTP_TIMEOUT"); }

  LocalUpdateServer server_;
  fs::path store_;
  std::string url_;
  RecordingDisplay display_;
};

} // namespace

TEST_F(UpdaterRetrieval, BuildTextIsReadFromItsStart) {
  Updater updater(url_.c_str(), store_.c_str(), display_);
  EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "x12", false, false), 0u);
  EXPECT_EQ(display_.errors, std::vector<std::string>{"Build number 'x12' must be an number"});
  EXPECT_TRUE(server_.requests().empty());

  EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "99999999999", false, false), 0u);
  EXPECT_TRUE(server_.requests().empty());

  EXPECT_EQ(updater.Download_Firmware(0x40F5849A, " 12x", false, false), 12u);
  EXPECT_EQ(server_.queries().back(), "bld=12&fw=2.10.5&no_cal=false&op=bird&sn=40F5849A&");
  std::ifstream in(store_ / "40F5849A" / "12.bird");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "twelve");
}

TEST_F(UpdaterRetrieval, SpinnerTurnsWhileTheWorkerDownloads) {
  Updater updater(url_.c_str(), store_.c_str(), display_);
  EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, true), 99528558u);
  // At least the first turn and the final removal.
  EXPECT_GE(display_.spinner_calls, 2);
  EXPECT_EQ(display_.infos, (std::vector<std::string>{"Retrieving build 99528558",
                                                      "Validating build 99528558 with server",
                                                      "Build 99528558 is valid"}));
  EXPECT_EQ(server_.queries().back(), "bld=99528558&fw=2.10.5&no_cal=true&op=bird&sn=40F5849A&");

  EXPECT_EQ(updater.Download_Firmware(0, "", false, false), 0u);
  EXPECT_EQ(display_.errors.back(), "Serial Number must be non-zero");
}

TEST_F(UpdaterRetrieval, LoadBirdDownloadsAMissingBuildOnlyForRecovery) {
  Updater updater(url_.c_str(), store_.c_str(), display_);
  EXPECT_THROW(updater.load_bird("Updating", "", 0x40F5849A, 7, false), std::runtime_error);
  EXPECT_TRUE(server_.requests().empty());

  // The server's build 7 is not a BIRD file: downloaded, then rejected on reading.
  server_.add_build("40F5849A", "7", "not a bird");
  EXPECT_THROW(updater.load_bird("Recovering", "", 0x40F5849A, 7, true), std::runtime_error);
  EXPECT_EQ(server_.queries().back(), "bld=7&fw=2.10.5&no_cal=false&op=bird&sn=40F5849A&");
  EXPECT_TRUE(fs::exists(store_ / "40F5849A" / "7.bird"));
  EXPECT_EQ(display_.infos.front(), "Updating firmware with build: 7");

  server_.add_build("40F5849A", "7", make_bird(7, "0.7.0"));
  fs::remove(store_ / "40F5849A" / "7.bird");
  BirdFile bird = updater.load_bird("Recovering", "", 0x40F5849A, 7, true);
  EXPECT_EQ(bird.GetBuild(), 7u);
  EXPECT_EQ(bird.GetVersion(), "0.7.0");
}
