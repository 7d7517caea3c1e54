#include "link/aDirectory.h"

#include "tests/support/ScratchDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// --- BuildPath / JoinPath ---

TEST(BuildPath, JoinsWithOneSeparatorWhereNeitherSideHasOne) {
  char dst[64];
  struct {
    const char* first;
    const char* second;
    const char* expected;
  } cases[] = {
      {"a/", "b", "a/b"},   {"a", "/b", "a/b"},   {"a", "b", "a/b"},
      {"a/", "/b", "a//b"}, {"/", "etc", "/etc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " + " + c.second);
    EXPECT_EQ(aDirectory_JoinPath(dst, sizeof(dst), c.first, c.second), aErrNone);
    EXPECT_STREQ(dst, c.expected);
  }
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof(dst), "x", "y", "z", nullptr), aErrNone);
  EXPECT_STREQ(dst, "x/y/z");
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof(dst), "only", nullptr), aErrNone);
  EXPECT_STREQ(dst, "only");
}

TEST(BuildPath, RejectsBadArguments) {
  char dst[64];
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof(dst), "a", "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                 nullptr),
            aErrNone);
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof(dst), "a", "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                 "10", nullptr),
            aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "a", nullptr), aErrParam);
  strcpy(dst, "a");
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof(dst), dst, "b", nullptr), aErrParam);
  strcpy(dst, "a");
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof(dst), "x", dst, nullptr), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof(dst), nullptr), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(dst, 0, "a", nullptr), aErrParam);
}

TEST(BuildPath, OverlongResultsStopTerminated) {
  char dst[8];
  memset(dst, 'x', sizeof(dst));
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof(dst), "1234567", nullptr), aErrOverrun);
  EXPECT_STREQ(dst, "");
  EXPECT_EQ(aDirectory_BuildPath(dst, sizeof(dst), "123456", nullptr), aErrNone);
  // "abc" + "/" leaves three bytes of room: a three-letter component does not fit.
  EXPECT_EQ(aDirectory_JoinPath(dst, sizeof(dst), "abc", "def"), aErrOverrun);
  EXPECT_STREQ(dst, "abc/");
  EXPECT_EQ(aDirectory_JoinPath(dst, sizeof(dst), "abc", "de"), aErrNone);
  EXPECT_STREQ(dst, "abc/de");
}

// --- Ensure / Exists / Delete ---

class DirectoryTest : public testing::Test {
protected:
  ScratchDir tmp;
};

TEST_F(DirectoryTest, EnsureCreatesRelativeLevelsOutermostFirst) {
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  aErr err = aDirectory_Ensure("one/two/three", 0755);
  bool made = aDirectory_Exists("one") && aDirectory_Exists("one/two") &&
              aDirectory_Exists("one/two/three");
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(err, aErrNone);
  EXPECT_TRUE(made);
}

TEST_F(DirectoryTest, EnsureAbsoluteWithExistingAncestorAndTrailingSeparators) {
  std::string deep = tmp / "a//b/c/";
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0700), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((tmp / "a/b/c").c_str()));
  struct stat info;
  ASSERT_EQ(stat((tmp / "a/b").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // Already there: nothing to do.
  EXPECT_EQ(aDirectory_Ensure(tmp.path().c_str(), 0755), aErrNone);
}

TEST_F(DirectoryTest, EnsureThroughAFileFails) {
  WriteFile(tmp / "file", "x");
  EXPECT_EQ(aDirectory_Ensure((tmp / "file/sub").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

TEST_F(DirectoryTest, ExistsAndDelete) {
  WriteFile(tmp / "file", "x");
  EXPECT_TRUE(aDirectory_Exists(tmp.path().c_str()));
  EXPECT_FALSE(aDirectory_Exists((tmp / "file").c_str()));
  EXPECT_FALSE(aDirectory_Exists((tmp / "missing").c_str()));
  EXPECT_FALSE(aDirectory_Exists(nullptr));

  ASSERT_EQ(mkdir((tmp / "empty").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((tmp / "full").c_str(), 0755), 0);
  WriteFile(tmp / "full/f", "x");
  EXPECT_EQ(aDirectory_Delete((tmp / "empty").c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists((tmp / "empty").c_str()));
  EXPECT_EQ(aDirectory_Delete((tmp / "full").c_str()), aErrUnknown);
}

// --- List ---

struct Listed {
  std::string name;
  uint32_t size;
  bool isDirectory;
};

struct ListState {
  std::vector<Listed> entries;
  size_t stopAfter = SIZE_MAX;
};

bool collect(const aDirectoryListData* data, void* ref) {
  ListState* state = static_cast<ListState*>(ref);
  std::string path = data->path;
  state->entries.push_back({path.substr(path.rfind('/') + 1), data->size, data->isDirectory});
  return state->entries.size() < state->stopAfter;
}

const Listed* find(const ListState& state, const std::string& name) {
  for (const Listed& e : state.entries)
    if (e.name == name) return &e;
  return nullptr;
}

TEST_F(DirectoryTest, ListReportsEveryEntryWithFullPath) {
  WriteFile(tmp / "one", "12345");
  WriteFile(tmp / "two", "");
  ListState state;
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), collect, &state), aErrNone);
  ASSERT_EQ(state.entries.size(), 4u);
  ASSERT_NE(find(state, "."), nullptr);
  ASSERT_NE(find(state, ".."), nullptr);
  EXPECT_TRUE(find(state, ".")->isDirectory);
  ASSERT_NE(find(state, "one"), nullptr);
  EXPECT_EQ(find(state, "one")->size, 5u);
  EXPECT_FALSE(find(state, "one")->isDirectory);
  ASSERT_NE(find(state, "two"), nullptr);

  ListState early;
  early.stopAfter = 2;
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), collect, &early), aErrNone);
  EXPECT_EQ(early.entries.size(), 2u);

  EXPECT_EQ(aDirectory_List((tmp / "missing").c_str(), collect, &state), aErrNotFound);
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), nullptr, nullptr), aErrParam);
}

TEST_F(DirectoryTest, ListShowsSymbolicLinksAsLinks) {
  ScratchDir outside;
  ASSERT_EQ(symlink(outside.path().c_str(), (tmp / "link").c_str()), 0);
  ASSERT_EQ(symlink((tmp / "nowhere").c_str(), (tmp / "dangling").c_str()), 0);
  ListState state;
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), collect, &state), aErrNone);
  ASSERT_NE(find(state, "link"), nullptr);
  EXPECT_FALSE(find(state, "link")->isDirectory);
  EXPECT_NE(find(state, "dangling"), nullptr);
}

// --- DeleteTree ---

TEST_F(DirectoryTest, DeleteTreeRemovesEverythingButWhatLinksPointTo) {
  ScratchDir outside;
  WriteFile(outside / "keep", "precious");
  ASSERT_EQ(mkdir((outside / "sub").c_str(), 0755), 0);
  WriteFile(outside / "sub/keep", "precious");

  std::string top = tmp / "tree";
  ASSERT_EQ(aDirectory_Ensure((top + "/a/b").c_str(), 0755), aErrNone);
  WriteFile(top + "/f", "x");
  WriteFile(top + "/a/b/g", "y");
  ASSERT_EQ(symlink(outside.path().c_str(), (top + "/a/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((outside / "keep").c_str(), (top + "/filelink").c_str()), 0);

  EXPECT_EQ(aDirectory_DeleteTree(top.c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(fs::symlink_status(top)));
  EXPECT_TRUE(fs::exists(outside / "keep"));
  EXPECT_TRUE(fs::exists(outside / "sub/keep"));
}

TEST_F(DirectoryTest, DeleteTreeOfALinkLeavesTheTargetAlone) {
  ScratchDir outside;
  WriteFile(outside / "keep", "precious");
  std::string link = tmp / "link";
  ASSERT_EQ(symlink(outside.path().c_str(), link.c_str()), 0);
  EXPECT_NE(aDirectory_DeleteTree(link.c_str()), aErrNone);
  EXPECT_TRUE(fs::exists(outside / "keep"));
  EXPECT_EQ(aDirectory_DeleteTree((tmp / "missing").c_str()), aErrUnknown);
  EXPECT_EQ(aDirectory_DeleteTree(nullptr), aErrParam);
}

// --- Home, working directory, executable ---

std::string passwordHome() {
  struct passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

TEST(HomeDirectory, PasswordDatabaseWinsOverHome) {
  std::string expected = passwordHome();
  if (expected.empty()) GTEST_SKIP() << "no password entry for this user";
  const char* oldHome = getenv("HOME");
  std::string saved = oldHome != nullptr ? oldHome : "";
  setenv("HOME", "/not/the/home", 1);
  char dst[2048];
  aErr err = aDirectory_GetHomeDirectory(dst, sizeof(dst));
  if (oldHome != nullptr)
    setenv("HOME", saved.c_str(), 1);
  else
    unsetenv("HOME");
  EXPECT_EQ(err, aErrNone);
  EXPECT_EQ(dst, expected);
}

TEST(HomeDirectory, BoundedCopyIntoSmallBuffers) {
  std::string expected = passwordHome();
  if (expected.empty()) GTEST_SKIP() << "no password entry for this user";
  std::vector<char> exact(expected.size() + 1, 'x');
  EXPECT_EQ(aDirectory_GetHomeDirectory(exact.data(), exact.size()), aErrNone);
  EXPECT_EQ(std::string(exact.data()), expected);

  std::vector<char> shortBuffer(expected.size() + 8, 'x');
  EXPECT_EQ(aDirectory_GetHomeDirectory(shortBuffer.data(), expected.size()), aErrOverrun);
  EXPECT_EQ(shortBuffer[0], '\0');
  EXPECT_EQ(shortBuffer[expected.size()], 'x'); // nothing written past the given size
  EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 10), aErrParam);
  char one[1] = {'x'};
  EXPECT_EQ(aDirectory_GetHomeDirectory(one, 0), aErrParam);
}

TEST(HomeDirectory, FallsBackToHomeWithoutAPasswordEntry) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become a user without a password entry";
  uid_t stranger = 54321;
  while (getpwuid(stranger) != nullptr)
    ++stranger;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // 1: could not switch, 2: wrong result with HOME, 3: wrong result without HOME.
    if (setuid(stranger) != 0) _exit(1);
    setenv("HOME", "/home/fallback", 1);
    char dst[64];
    if (aDirectory_GetHomeDirectory(dst, sizeof(dst)) != aErrNone ||
        strcmp(dst, "/home/fallback") != 0)
      _exit(2);
    unsetenv("HOME");
    if (aDirectory_GetHomeDirectory(dst, sizeof(dst)) != aErrNotFound || dst[0] != '\0') _exit(3);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(WorkingDirectory, FitsOrFailsCleanly) {
  char dst[4096];
  ASSERT_EQ(aDirectory_CWD(dst, sizeof(dst)), aErrNone);
  EXPECT_EQ(std::string(dst), fs::current_path().string());
  char tiny[2];
  EXPECT_EQ(aDirectory_CWD(tiny, sizeof(tiny)), aErrParam);
  EXPECT_EQ(tiny[0], '\0');
}

TEST(ExecutablePath, CutToFitAndTerminated) {
  char dst[4096];
  ASSERT_EQ(aDirectory_ExecutableFilePath(dst, sizeof(dst)), aErrNone);
  std::string full = dst;
  EXPECT_NE(full.find("test_system"), std::string::npos);
  char small[5];
  ASSERT_EQ(aDirectory_ExecutableFilePath(small, sizeof(small)), aErrNone);
  EXPECT_EQ(std::string(small), full.substr(0, 4));
  char one[1] = {'x'};
  ASSERT_EQ(aDirectory_ExecutableFilePath(one, sizeof(one)), aErrNone);
  EXPECT_EQ(one[0], '\0');
}

} // namespace
