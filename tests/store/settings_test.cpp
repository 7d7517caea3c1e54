#include "store/KeyValueStore.h"

#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using storetest::Lines;
using storetest::Names;
using storetest::ScratchDir;

namespace {

using Entries = std::map<std::string, std::string>;

// The 24-character ctime form: "Fri Dec 11 02:15:10 2026".
bool IsTimeText(const std::string& text) {
  static const std::regex form("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                               "[0-9]{4}");
  return text.size() == 24 && std::regex_match(text, form);
}

TEST(Settings, LoadingAMissingFileCreatesIt) {
  ScratchDir dir;
  std::string path = dir / ".settings";
  KeyValueStore settings(path.c_str());
  EXPECT_FALSE(settings.Changed());
  EXPECT_EQ(settings.FilePath(), path);

  std::vector<std::string> lines = Lines(ReadFile(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("CREATED_TIME=", 0), 0u);
  EXPECT_EQ(lines[1].rfind("UPDATED_TIME=", 0), 0u);
  EXPECT_TRUE(IsTimeText(lines[0].substr(13))) << lines[0];
  EXPECT_TRUE(IsTimeText(lines[1].substr(13))) << lines[1];
  EXPECT_EQ(settings.GetString("CREATED_TIME", nullptr), lines[0].substr(13));
}

TEST(Settings, ReadingRules) {
  ScratchDir dir;
  const std::string longLine = "LONG=" + std::string(3000, 'x') + "\n";
  struct Case {
    const char* name;
    std::string text;
    Entries entries;
  };
  const Case cases[] = {
      {"last occurrence wins", "A=1\nA=2\n", {{"A", "2"}}},
      {"white space around key and value", "  KEY  =  some value  \n", {{"KEY", "some value"}}},
      {"further equals signs belong to the value", "URL=a=b\n", {{"URL", "a=b"}}},
      {"comment", "#X=1\nY=2\n", {{"Y", "2"}}},
      {"hash after white space is a key", " #X=1\n", {{"#X", "1"}}},
      {"empty value", "k=\n", {{"k", ""}}},
      {"two-character line", "k\nj=\n", {{"j", ""}}},
      {"carriage return", "A=1\r\nB=2\r\n", {{"A", "1"}, {"B", "2"}}},
      {"tab and vertical space", "\tA\t=\v1\f\n", {{"A", "1"}}},
      {"no equals sign", "nothing here\n   \nB=2\n", {{"B", "2"}}},
      {"last line without newline", "A=1\nB=2", {{"A", "1"}, {"B", "2"}}},
      {"line longer than the buffer is skipped",
       "A=1\n" + longLine + "B=2\n",
       {{"A", "1"}, {"B", "2"}}},
      {"longest line that fits",
       "L=" + std::string(2044, 'y') + "\n",
       {{"L", std::string(2044, 'y')}}},
      {"one byte too long", "L=" + std::string(2045, 'y') + "\nB=2\n", {{"B", "2"}}},
      {"zero byte ends the line", std::string("A=1\0junk\nB=2\n", 13), {{"A", "1"}, {"B", "2"}}},
      {"empty key", "=v\n", {{"", "v"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / c.name;
    WriteFile(path, c.text);
    KeyValueStore settings(path.c_str());
    EXPECT_EQ(settings.Entries(), c.entries);
    EXPECT_FALSE(settings.Changed());

    KeyValueStore fromText;
    fromText.LoadText(c.text.data(), c.text.size());
    EXPECT_EQ(fromText.Entries(), c.entries);
  }
}

TEST(Settings, LoadingKeepsEntriesAlreadyHeld) {
  ScratchDir dir;
  std::string path = dir / "s";
  WriteFile(path, "B=new\n");
  KeyValueStore settings;
  settings.Add("A", "kept");
  settings.Add("B", "old");
  settings.Load(path.c_str());
  EXPECT_EQ(settings.Entries(), (Entries{{"A", "kept"}, {"B", "new"}}));
  EXPECT_FALSE(settings.Changed());
}

TEST(Settings, TypedValues) {
  KeyValueStore settings;
  settings.AddHex("hex", 255);
  settings.Add("double", 1.5);
  settings.Add("int", -3);
  EXPECT_STREQ(settings["hex"], "0x000000FF");
  EXPECT_STREQ(settings["double"], "1.500000");
  EXPECT_STREQ(settings["int"], "-3");

  struct Case {
    const char* value;
    int asInt;
    unsigned asHex;
    bool asBool;
    double asDouble;
  };
  const Case cases[] = {
      {"0x10", 0, 16, false, 16.0},
      {"10", 10, 16, true, 10.0},
      {"12345.bird", 12345, 0x12345, true, 12345.0},
      {"abc", 0, 0xABC, false, 0.0},
      {"-7", -7, 0xFFFFFFF9, true, -7.0},
      {"4294967295", -1, 0x94967295, true, 4294967295.0},
      {" 42", 42, 0x42, true, 42.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    settings.Add("v", c.value);
    EXPECT_EQ(settings.GetInt("v", 99), c.asInt);
    EXPECT_EQ(settings.GetHex("v", 99), c.asHex);
    EXPECT_EQ(settings.GetBOOL("v", true), c.asBool);
    EXPECT_DOUBLE_EQ(settings.GetDouble("v", 99), c.asDouble);
  }
  // A build number above the int range comes back whole through the unsigned cast.
  settings.Add("LATEST_DOWNLOAD", "4000000000.bird");
  EXPECT_EQ(unsigned(settings.GetInt("LATEST_DOWNLOAD", 0)), 4000000000u);

  // An empty value gives the default.
  settings.Add("empty", "");
  EXPECT_EQ(settings.GetInt("empty", 5), 5);
  EXPECT_EQ(settings.GetHex("empty", 6), 6u);
  EXPECT_EQ(settings.GetString("empty", "default"), "");
  EXPECT_STREQ(settings["empty"], "");
  EXPECT_EQ(settings["absent"], nullptr);
}

TEST(Settings, NumericGettersAddAbsentKeys) {
  ScratchDir dir;
  std::string path = dir / "s";
  WriteFile(path, "A=1\n");
  KeyValueStore settings(path.c_str());

  EXPECT_EQ(settings.GetString("S", "dflt"), "dflt");
  EXPECT_EQ(settings.GetString("S", nullptr), "");
  EXPECT_EQ(settings["S"], nullptr);

  EXPECT_EQ(settings.GetInt("K", 42), 42);
  EXPECT_FALSE(settings.Changed());
  EXPECT_STREQ(settings["K"], "");
  ASSERT_TRUE(settings.Save());
  EXPECT_EQ(ReadFile(path), "A=1\nK=\n");
}

TEST(Settings, ChangedFlagAndUpdateTime) {
  ScratchDir dir;
  std::string path = dir / "s";
  WriteFile(path, "UPDATED_TIME=old\nX=1\n");

  KeyValueStore same(path.c_str());
  same.Add("X", "1");
  std::string value("1");
  same.Add("X", value);
  EXPECT_FALSE(same.Changed());
  ASSERT_TRUE(same.Save());
  EXPECT_EQ(ReadFile(path), "UPDATED_TIME=old\nX=1\n");

  KeyValueStore different(path.c_str());
  different.Add("X", 2);
  EXPECT_TRUE(different.Changed());
  ASSERT_TRUE(different.Save());
  EXPECT_FALSE(different.Changed());
  KeyValueStore reread(path.c_str());
  EXPECT_EQ(reread.GetString("X", nullptr), "2");
  EXPECT_TRUE(IsTimeText(reread.GetString("UPDATED_TIME", nullptr)));

  // An empty value under an absent key creates it without a change; Clear and copying
  // another table are changes.
  KeyValueStore table;
  table.Add("new", "");
  EXPECT_FALSE(table.Changed());
  KeyValueStore other;
  table.Add(other);
  EXPECT_FALSE(table.Changed());
  other.Add("new", "");
  table.Add(other);
  EXPECT_TRUE(table.Changed());
  KeyValueStore cleared;
  cleared.Clear();
  EXPECT_TRUE(cleared.Changed());
}

TEST(Settings, RefusesWhatTheFileCannotHold) {
  KeyValueStore settings;
  std::string withZero("a\0b", 3);
  std::string withNewline("a\nINJECTED=1");
  EXPECT_FALSE(settings.Add("a=b", "1"));
  EXPECT_FALSE(settings.Add("a\nb", "1"));
  EXPECT_FALSE(settings.Add("a\rb", "1"));
  EXPECT_FALSE(settings.Add("k", "x\ny"));
  EXPECT_FALSE(settings.Add("k", "x\r"));
  EXPECT_FALSE(settings.Add("k", withZero));
  EXPECT_FALSE(settings.Add("k", withNewline));
  EXPECT_FALSE(settings.Add(nullptr, "1"));
  EXPECT_FALSE(settings.Add("k", static_cast<const char*>(nullptr)));
  EXPECT_EQ(settings.GetInt("a=b", 3), 3);
  EXPECT_TRUE(settings.Entries().empty());
  EXPECT_FALSE(settings.Changed());
}

TEST(Settings, KeysAreWrittenInByteOrder) {
  ScratchDir dir;
  std::string path = dir / "s";
  KeyValueStore settings;
  settings.Add("lower", "5");
  settings.Add("LATEST_DOWNLOAD", "99528558.bird");
  settings.Add("Zed", "4");
  settings.Add("\xC3\xA9t\xC3\xA9", "6");
  settings.Add("LAST_DOWNLOAD_DATE", "Fri Dec 11 02:15:10 2026");
  ASSERT_TRUE(settings.Save(path.c_str()));
  std::vector<std::string> keys;
  for (const std::string& line : Lines(ReadFile(path)))
    keys.push_back(line.substr(0, line.find('=')));
  EXPECT_EQ(keys, (std::vector<std::string>{"LAST_DOWNLOAD_DATE", "LATEST_DOWNLOAD", "UPDATED_TIME",
                                            "Zed", "lower", "\xC3\xA9t\xC3\xA9"}));

  KeyValueStore reread(path.c_str());
  EXPECT_EQ(reread.GetInt("LATEST_DOWNLOAD", 0), 99528558);
  EXPECT_EQ(reread.Entries(), settings.Entries());
}

TEST(Settings, SaveWithoutAnyPathWritesTheDefaultFile) {
  ScratchDir dir;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  KeyValueStore settings;
  settings.Add("A", "1");
  bool saved = settings.Save(nullptr);
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_TRUE(saved);
  EXPECT_EQ(settings.FilePath(), ".settings");
  EXPECT_EQ(Lines(ReadFile(dir / ".settings")).front(), "A=1");
}

TEST(Settings, ExistingFileThatCannotBeOpenedIsNotReplaced) {
  ScratchDir dir;
  // A link that points at itself exists but can never be opened.
  std::string path = dir / "loop";
  ASSERT_EQ(symlink("loop", path.c_str()), 0);
  KeyValueStore settings(path.c_str());
  struct stat info;
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"loop"});

  if (geteuid() != 0) {
    std::string locked = dir / "locked";
    WriteFile(locked, "A=1\n");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    KeyValueStore unreadable(locked.c_str());
    ASSERT_EQ(chmod(locked.c_str(), 0600), 0);
    EXPECT_EQ(ReadFile(locked), "A=1\n");
  }
}

TEST(Settings, FailedSaveLeavesTheOldFileWhole) {
  ScratchDir dir;
  std::string path = dir / ".settings";
  const std::string old = "A=1\nB=2\n";
  WriteFile(path, old);

  // A full disk: the child may write only a few bytes to any file.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {8, 8};
    setrlimit(RLIMIT_FSIZE, &limit);
    KeyValueStore settings(path.c_str());
    settings.Add("C", std::string(200, 'c').c_str());
    bool saved = settings.Save();
    _exit(!saved && settings.Changed() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{".settings"});

  // A directory that does not exist: nothing is created, the table keeps its change.
  KeyValueStore settings;
  settings.Add("A", "1");
  EXPECT_FALSE(settings.Save((dir / "missing/.settings").c_str()));
  EXPECT_TRUE(settings.Changed());
  EXPECT_FALSE(storetest::Exists(dir / "missing"));
}

} // namespace
