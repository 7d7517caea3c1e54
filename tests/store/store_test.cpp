#include "store/UpdaterStore.h"

#include "app/UpdaterDisplayInterface.h"
#include "store/AtomicFile.h"

#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using storetest::IsDirectory;
using storetest::Lines;
using storetest::Names;
using storetest::ScratchDir;
using storetest::WriteBird;

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }
  std::vector<std::string> infos, errors;
};

std::string ExceptionText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(no exception)";
}

// Runs `action` in a child process that may write only a few bytes to any file, as on a full
// disk; returns what the action returned.
aErr WithFullDisk(const std::function<aErr()>& action) {
  pid_t child = fork();
  if (child < 0) return aErrUnknown;
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {8, 8};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(int(action()));
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? aErr(WEXITSTATUS(status)) : aErrUnknown;
}

TEST(UpdaterStore, CreatesItsBaseDirectory) {
  ScratchDir dir;
  std::string base = dir / "home/.merovant/updater";
  RecordingDisplay display;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, base, "Download_Firmware");
  ASSERT_NE(store, nullptr);
  EXPECT_STREQ(store->BasePath(), base.c_str());
  EXPECT_TRUE(IsDirectory(base));
  EXPECT_TRUE(display.errors.empty());
  // Opening it again finds it.
  EXPECT_NE(_createUpdaterStore(display, base, "Update_Firmware"), nullptr);
}

TEST(UpdaterStore, CreationFailuresAreShown) {
  ScratchDir dir;
  std::string file = dir / "plain";
  WriteFile(file, "x");
  struct Case {
    std::string base;
    std::string error;
  };
  const Case cases[] = {
      {file, "Failed to Create UpdaterStore in: load_bird - Exception: UpdaterStore: " + file +
                 " exists and is a file"},
      {file + "/updater", "Failed to Create UpdaterStore in: load_bird - Exception: UpdaterStore: "
                          "Could not create directory " +
                              file + "/updater error 12"},
  };
  for (const Case& c : cases) {
    RecordingDisplay display;
    EXPECT_EQ(_createUpdaterStore(display, c.base, "load_bird"), nullptr);
    EXPECT_EQ(display.errors, std::vector<std::string>{c.error});
  }
}

TEST(UpdaterStore, FindsDeviceDirectoriesByExactName) {
  ScratchDir dir;
  UpdaterStore store(dir.path().c_str());
  for (const char* name : {"40F5849A.old", "x40F5849A", "40f5849a"})
    ASSERT_EQ(mkdir((dir / name).c_str(), 0755), 0);
  WriteFile(dir / "40F5849A", "a stray file");

  UpdaterStoreItem item;
  EXPECT_FALSE(store.FindDevice(0x40F5849A, &item));
  EXPECT_FALSE(item.IsValid());
  EXPECT_EQ(item.kind, STORE_ITEM_UNSET);

  ASSERT_EQ(remove((dir / "40F5849A").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "40F5849A").c_str(), 0755), 0);
  ASSERT_TRUE(store.FindDevice(0x40F5849A, &item));
  EXPECT_EQ(item.base_path, dir.path());
  EXPECT_EQ(item.name, "40F5849A");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(item.IsValid());
  EXPECT_EQ(item.settings.FilePath(), dir / "40F5849A/.settings");
  EXPECT_TRUE(store.FindDevice("40F5849A", nullptr));
  EXPECT_FALSE(store.FindDevice("40F5849", nullptr));
  EXPECT_FALSE(store.FindDevice(0x12345678, nullptr));
}

TEST(UpdaterStore, AddDevice) {
  ScratchDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem item = store.AddDevice(0x0000ABCD);
  EXPECT_EQ(item.name, "0000ABCD");
  EXPECT_EQ(item.base_path, dir.path());
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  std::string settings = dir / "0000ABCD/.settings";
  std::vector<std::string> lines = Lines(ReadFile(settings));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("CREATED_TIME=", 0), 0u);
  EXPECT_EQ(lines[1].rfind("UPDATED_TIME=", 0), 0u);

  std::string before = ReadFile(settings);
  UpdaterStoreItem again = store.AddDevice("0000ABCD");
  EXPECT_EQ(ReadFile(settings), before);
  EXPECT_EQ(again.settings.Entries(), item.settings.Entries());

  WriteFile(dir / "11112222", "not a directory");
  EXPECT_EQ(ExceptionText([&] { store.AddDevice(0x11112222); }),
            "UpdaterStore: " + (dir / "11112222") + " exists and is a file");
  for (const char* bad : {"", ".", "..", "../elsewhere", "a/b"})
    EXPECT_THROW(store.AddDevice(bad), std::runtime_error) << bad;
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"0000ABCD", "11112222"}));
}

TEST(UpdaterStore, ListsLocalBuilds) {
  ScratchDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  const unsigned char bytes[] = {1, 2, 3};
  ASSERT_EQ(device.WriteFile("100.bird", bytes, sizeof(bytes)), aErrNone);
  ASSERT_EQ(device.WriteFile("200.bird", bytes, sizeof(bytes)), aErrNone);
  ASSERT_EQ(mkdir((dir / "40F5849A/notes").c_str(), 0755), 0);
  WriteFile(dir / "40F5849A/.100.bird.Ab12Cd", "left over by an interrupted write");
  std::vector<std::string> before = Names(dir / "40F5849A");

  std::vector<UpdaterStoreItem> builds;
  EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, builds));
  ASSERT_EQ(builds.size(), 3u);
  std::sort(builds.begin(), builds.end(),
            [](const UpdaterStoreItem& a, const UpdaterStoreItem& b) { return a.name < b.name; });
  EXPECT_EQ(builds[0].name, "100.bird");
  EXPECT_EQ(builds[0].kind, STORE_ITEM_FILE);
  EXPECT_EQ(builds[1].name, "200.bird");
  EXPECT_EQ(builds[1].kind, STORE_ITEM_FILE);
  EXPECT_EQ(builds[2].name, "notes");
  EXPECT_EQ(builds[2].kind, STORE_ITEM_DIRECTORY);
  for (const UpdaterStoreItem& build : builds)
    EXPECT_EQ(build.base_path, dir / "40F5849A");
  // Listing reads; it writes nothing beside the build files.
  EXPECT_EQ(Names(dir / "40F5849A"), before);

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x12345678, none));
  EXPECT_TRUE(none.empty());
}

TEST(UpdaterStore, WritesAndReadsBirdFiles) {
  ScratchDir dir;
  std::string made = dir / "made.bird";
  ASSERT_TRUE(WriteBird(made, R"({"blocks": [{"type": 4, "build": "99528558",
    "version": "2.0.1", "serial": "40F5849A", "model": "Hub"}]})"));
  std::string bird = ReadFile(made);

  std::string base = dir / "updater";
  UpdaterStore store(base.c_str());
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);

  EXPECT_EQ(device.WriteFile("1.bird", nullptr, 10), aErrNotFound);
  EXPECT_FALSE(storetest::Exists(base + "/40F5849A/1.bird"));

  WriteFile(base + "/40F5849A/99528558.bird", "an older copy");
  ASSERT_EQ(device.WriteFile("99528558.bird", reinterpret_cast<const unsigned char*>(bird.data()),
                             bird.size()),
            aErrNone);
  EXPECT_EQ(ReadFile(base + "/40F5849A/99528558.bird"), bird);
  EXPECT_EQ(Names(base + "/40F5849A"), (std::vector<std::string>{".settings", "99528558.bird"}));

  BirdFile file = device.ReadBirdFile("99528558.bird");
  EXPECT_EQ(file.GetBuild(), 99528558u);
  EXPECT_EQ(file.GetVersion(), "2.0.1");

  EXPECT_EQ(ExceptionText([&] { device.ReadBirdFile("7.bird"); }),
            "Invalid bird " + base + "/40F5849A/7.bird");
  WriteFile(base + "/40F5849A/8.bird", "not a bird file");
  EXPECT_EQ(ExceptionText([&] { device.ReadBirdFile("8.bird"); }),
            "Invalid bird " + base + "/40F5849A/8.bird");
  // Right header, damaged body: the loader's own error.
  WriteFile(base + "/40F5849A/9.bird", std::string("bird\x01\x01garbage", 13));
  EXPECT_EQ(ExceptionText([&] { device.ReadBirdFile("9.bird"); }), "Failed to load bird data");

  UpdaterStoreItem gone(base.c_str(), "DEADDEAD", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(gone.WriteFile("1.bird", reinterpret_cast<const unsigned char*>(bird.data()), 4),
            aErrNotFound);
}

TEST(UpdaterStore, FailedWriteKeepsTheGoodCopy) {
  ScratchDir dir;
  std::string made = dir / "made.bird";
  ASSERT_TRUE(WriteBird(made, R"({"blocks": [{"type": 4, "build": "5"}]})"));
  std::string good = ReadFile(made);
  UpdaterStore store((dir / "updater").c_str());
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  std::string deviceDir = dir / "updater/40F5849A";
  WriteFile(deviceDir + "/5.bird", good);
  std::string bigger(4096, 'z');

  aErr full = WithFullDisk([&] {
    return device.WriteFile("5.bird", reinterpret_cast<const unsigned char*>(bigger.data()),
                            bigger.size());
  });
  EXPECT_EQ(full, aErrWrite);
  EXPECT_EQ(ReadFile(deviceDir + "/5.bird"), good);
  EXPECT_EQ(device.ReadBirdFile("5.bird").GetBuild(), 5u);

  // A directory where the file should go: the rename fails and the directory stays.
  ASSERT_EQ(mkdir((deviceDir + "/6.bird").c_str(), 0755), 0);
  EXPECT_EQ(
      device.WriteFile("6.bird", reinterpret_cast<const unsigned char*>(good.data()), good.size()),
      aErrIO);
  EXPECT_TRUE(IsDirectory(deviceDir + "/6.bird"));
  EXPECT_EQ(Names(deviceDir), (std::vector<std::string>{".settings", "5.bird", "6.bird"}));
}

TEST(UpdaterStore, FileExistsMatchesWholeNames) {
  ScratchDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x40F5849A);
  WriteFile(dir / "40F5849A/11.bird", "x");
  ASSERT_EQ(mkdir((dir / "40F5849A/notes").c_str(), 0755), 0);
  EXPECT_FALSE(device.FileExists("1.bird"));
  EXPECT_TRUE(device.FileExists("11.bird"));
  EXPECT_FALSE(device.FileExists("notes"));
  WriteFile(dir / "40F5849A/1.bird", "x");
  EXPECT_TRUE(device.FileExists("1.bird"));
}

TEST(UpdaterStore, DownloadRecordSurvivesReopening) {
  ScratchDir dir;
  {
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    device.settings.Add("LATEST_DOWNLOAD", "99528558.bird");
    device.settings.Add("LAST_DOWNLOAD_DATE", KeyValueStore::TimeText().c_str());
    UpdaterStoreItem copy = device;
    EXPECT_TRUE(copy.settings.Changed());
    EXPECT_EQ(copy.settings.FilePath(), device.settings.FilePath());
    ASSERT_TRUE(device.settings.Save());
  }
  // The file keeps its permission bits when replaced.
  std::string settings = dir / "40F5849A/.settings";
  ASSERT_EQ(chmod(settings.c_str(), 0600), 0);

  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device;
  ASSERT_TRUE(store.FindDevice(0x40F5849A, &device));
  EXPECT_EQ(device.settings.GetInt("LATEST_DOWNLOAD", 0), 99528558);
  EXPECT_EQ(device.settings.GetString("LATEST_DOWNLOAD", nullptr), "99528558.bird");
  std::vector<std::string> keys;
  for (const std::string& line : Lines(ReadFile(settings)))
    keys.push_back(line.substr(0, line.find('=')));
  EXPECT_EQ(keys, (std::vector<std::string>{"CREATED_TIME", "LAST_DOWNLOAD_DATE", "LATEST_DOWNLOAD",
                                            "UPDATED_TIME"}));

  device.settings.Add("LATEST_TRANSFER", "99528558.bird");
  ASSERT_TRUE(device.settings.Save());
  struct stat info;
  ASSERT_EQ(stat(settings.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST(AtomicFile, RefusesBadArguments) {
  EXPECT_EQ(WriteFileAtomic(nullptr, "x", 1), aErrParam);
  EXPECT_EQ(WriteFileAtomic("", "x", 1), aErrParam);
  EXPECT_EQ(WriteFileAtomic("/tmp/", "x", 1), aErrParam);
  ScratchDir dir;
  EXPECT_EQ(WriteFileAtomic((dir / "f").c_str(), nullptr, 1), aErrParam);
  EXPECT_EQ(WriteFileAtomic((dir / "empty").c_str(), nullptr, 0), aErrNone);
  EXPECT_EQ(ReadFile(dir / "empty"), "");
}

} // namespace
