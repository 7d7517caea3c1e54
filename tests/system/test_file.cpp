#include "link/unix_file.h"

#include "tests/support/ScratchDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

class FileTest : public testing::Test {
protected:
  ScratchDir tmp;

  aFileRef openWith(const std::string& name, const std::string& content, uint32_t mode) {
    WriteFile(tmp / name, content);
    return aFile_Open((tmp / name).c_str(), mode);
  }
};

TEST_F(FileTest, OpenRefusesBadPathsAndModes) {
  EXPECT_EQ(aFile_Open("", aFileModeRead), nullptr);
  EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
  EXPECT_EQ(aFile_Open((tmp / "missing").c_str(), aFileModeRead), nullptr);
  EXPECT_EQ(aFile_Open((tmp / "nodir/new").c_str(), aFileModeWrite), nullptr);
  WriteFile(tmp / "f", "x");
  EXPECT_EQ(aFile_Open((tmp / "f").c_str(), 3), nullptr);
  std::string longPath = "/" + std::string(4096, 'a');
  EXPECT_EQ(aFile_Open(longPath.c_str(), aFileModeWrite), nullptr);
}

TEST_F(FileTest, AppendCreatesAndStartsAtTheEnd) {
  std::string path = tmp / "new";
  aFileRef file = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(aFile_Exists(path.c_str()));
  char buffer[8];
  size_t count = 99;
  EXPECT_EQ(aFile_Read(file, buffer, sizeof(buffer), &count), aErrEOF);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Write(file, "abc", 3, &count), aErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(aFile_Printf(file, "%d\n", 42), aErrNone);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(file, nullptr);

  file = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(file, nullptr);
  size_t position = 0;
  EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
  EXPECT_EQ(position, 6u);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST_F(FileTest, ModesGuardReadsAndWrites) {
  aFileRef reader = openWith("r", "data", aFileModeRead);
  ASSERT_NE(reader, nullptr);
  size_t count = 0;
  EXPECT_EQ(aFile_Write(reader, "x", 1, &count), aErrMode);
  EXPECT_EQ(aFile_Printf(reader, "x"), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(reader), aErrMode);
  EXPECT_EQ(aFile_Read(reader, nullptr, 1, &count), aErrParam);
  char buffer[16];
  EXPECT_EQ(aFile_Read(reader, buffer, sizeof(buffer), &count), aErrNone); // short read
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(aFile_Read(reader, buffer, 0, &count), aErrNone);
  EXPECT_EQ(aFile_Close(&reader), aErrNone);

  aFileRef writer = aFile_Open((tmp / "w").c_str(), aFileModeWrite);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(aFile_Read(writer, buffer, 1, &count), aErrMode);
  EXPECT_EQ(aFile_ReadLine(writer, buffer, sizeof(buffer), &count), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(writer), aErrNone);
  EXPECT_EQ(aFile_Close(&writer), aErrNone);
}

TEST_F(FileTest, InvalidHandlesAreRefused) {
  aFileRef none = nullptr;
  char buffer[4];
  EXPECT_EQ(aFile_Read(none, buffer, 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_Write(none, buffer, 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_Seek(none, 0, aSeekStart), aErrParam);
  EXPECT_EQ(aFile_Close(&none), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
}

TEST_F(FileTest, SeekStaysInsideTheFile) {
  aFileRef file = openWith("s", "0123456789", aFileModeRead);
  ASSERT_NE(file, nullptr);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
  EXPECT_EQ(size, 10u);

  struct {
    long offset;
    int origin;
    aErr result;
    size_t position; // expected afterwards
  } cases[] = {
      {0, aSeekEnd, aErrNone, 10},
      {1, aSeekEnd, aErrRange, 10},
      {-3, aSeekEnd, aErrNone, 7},
      {-2, aSeekCurrent, aErrNone, 5},
      {-6, aSeekCurrent, aErrRange, 5},
      {4, aSeekStart, aErrNone, 4},
      {-1, aSeekStart, aErrRange, 4},
      {11, aSeekStart, aErrRange, 4},
      {LONG_MAX, aSeekCurrent, aErrRange, 4},
      {LONG_MIN, aSeekEnd, aErrRange, 4},
      {0, 7, aErrParam, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.offset << " from " << c.origin);
    EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.result);
    size_t position = 99;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, c.position);
  }
  char byte = 0;
  EXPECT_EQ(aFile_Read(file, &byte, 1, nullptr), aErrNone);
  EXPECT_EQ(byte, '4');
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST_F(FileTest, ReadLineFillsTheBufferAtMost) {
  aFileRef file = openWith("lines", "abcdefgh\nabcdef\nlast", aFileModeRead);
  ASSERT_NE(file, nullptr);
  char buffer[8];
  size_t length = 99;
  struct {
    aErr result;
    const char* text;
  } expected[] = {
      {aErrOverrun, "abcdefg"}, {aErrNone, "h\n"}, {aErrNone, "abcdef\n"},
      {aErrNone, "last"},       {aErrEOF, ""},
  };
  for (const auto& e : expected) {
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof(buffer), &length), e.result);
    EXPECT_STREQ(buffer, e.text);
    EXPECT_EQ(length, strlen(e.text));
  }
  EXPECT_EQ(aFile_Close(&file), aErrNone);

  // A one-byte buffer has no room for any character.
  file = openWith("one", "x\n", aFileModeRead);
  ASSERT_NE(file, nullptr);
  char one[1] = {'z'};
  EXPECT_EQ(aFile_ReadLine(file, one, sizeof(one), &length), aErrOverrun);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(aFile_ReadLine(file, one, 0, &length), aErrParam);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST_F(FileTest, AppendModeAlternatesReadsAndWrites) {
  aFileRef file = openWith("log", "one\n", aFileModeAppend);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(aFile_Seek(file, 0, aSeekStart), aErrNone);
  char buffer[16];
  size_t length = 0;
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof(buffer), &length), aErrNone);
  EXPECT_STREQ(buffer, "one\n");
  EXPECT_EQ(aFile_Printf(file, "two\n"), aErrNone); // appended whatever the position
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof(buffer), &length), aErrEOF);
  ASSERT_EQ(aFile_Seek(file, 4, aSeekStart), aErrNone);
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof(buffer), &length), aErrNone);
  EXPECT_STREQ(buffer, "two\n");
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST_F(FileTest, ExistsAndDelete) {
  WriteFile(tmp / "f", "x");
  EXPECT_TRUE(aFile_Exists((tmp / "f").c_str()));
  EXPECT_FALSE(aFile_Exists(tmp.path().c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_EQ(aFile_Delete((tmp / "f").c_str()), aErrNone);
  EXPECT_FALSE(aFile_Exists((tmp / "f").c_str()));
  EXPECT_EQ(aFile_Delete((tmp / "f").c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  std::string longPath = "/" + std::string(4096, 'a');
  EXPECT_EQ(aFile_Delete(longPath.c_str()), aErrFileNameLength);
}

} // namespace
