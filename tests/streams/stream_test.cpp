// The stream core: partial reads and push-back, writes, records and strings, file streams.
#include "link/aStream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A transport that hands out its bytes, then answers `whenEmpty`.
struct Source {
  std::deque<char> input;
  aErr whenEmpty = aErrNotReady;
  std::string written;
  int putCalls = 0, writeCalls = 0, deleteCalls = 0;

  static aErr get(char* byte, void* ref) {
    auto* s = static_cast<Source*>(ref);
    if (s->input.empty()) return s->whenEmpty;
    *byte = s->input.front();
    s->input.pop_front();
    return aErrNone;
  }
  static aErr put(const char* byte, void* ref) {
    auto* s = static_cast<Source*>(ref);
    ++s->putCalls;
    s->written.push_back(*byte);
    return aErrNone;
  }
  static aErr write(const char* data, size_t length, void* ref) {
    auto* s = static_cast<Source*>(ref);
    ++s->writeCalls;
    s->written.append(data, length);
    return aErrNone;
  }
  static aErr del(void* ref) {
    ++static_cast<Source*>(ref)->deleteCalls;
    return aErrTimeout; // a recognisable result
  }
  void feed(const std::string& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }
};

struct StreamDeleter {
  void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using StreamPtr = std::unique_ptr<aStream, StreamDeleter>;

StreamPtr over(Source& source, bool get = true, bool put = true, bool write = true) {
  return StreamPtr(aStream_Create(get ? Source::get : nullptr, put ? Source::put : nullptr,
                                  write ? Source::write : nullptr, nullptr, &source));
}

TEST(Stream, PartialReadIsPushedBack) {
  Source source;
  StreamPtr s = over(source);
  source.feed("ab");
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(aStream_Read(s.get(), buffer, 4), aErrNotReady);
  EXPECT_EQ(std::string(buffer, 4), "xxxx");
  source.feed("cd");
  ASSERT_EQ(aStream_Read(s.get(), buffer, 4), aErrNone);
  EXPECT_EQ(std::string(buffer, 4), "abcd");

  source.feed("e");
  source.whenEmpty = aErrEOF;
  EXPECT_EQ(aStream_Read(s.get(), buffer, 4), aErrEOF);
  EXPECT_EQ(buffer[0], 'e');
}

TEST(Stream, PushBackRingGrowsAndKeepsOrder) {
  Source source;
  StreamPtr s = over(source);
  std::string pushed;
  for (int i = 0; i < 600; ++i)
    pushed.push_back(static_cast<char>('A' + i % 26));
  for (char c : pushed)
    ASSERT_EQ(aStreamBufferChar(s.get(), c), aErrNone);
  source.feed("tail");
  std::string got(604, '\0');
  ASSERT_EQ(aStream_Read(s.get(), &got[0], got.size()), aErrNone);
  EXPECT_EQ(got, pushed + "tail");

  // Interleaved use wraps the ring's indices around.
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 400; ++i)
      aStreamBufferChar(s.get(), static_cast<char>(i));
    std::string out(400, '\0');
    ASSERT_EQ(aStream_Read(s.get(), &out[0], 400), aErrNone);
    for (int i = 0; i < 400; ++i)
      ASSERT_EQ(out[i], static_cast<char>(i)) << round;
  }
}

TEST(Stream, WritePathsAndModes) {
  Source source;
  StreamPtr writeOnly = over(source, false, false, true);
  ASSERT_EQ(aStream_Write(writeOnly.get(), "z", 1), aErrNone);
  EXPECT_EQ(source.written, "z");
  EXPECT_EQ(source.writeCalls, 1);
  ASSERT_EQ(aStream_Write(writeOnly.get(), "block", 5), aErrNone);
  EXPECT_EQ(source.writeCalls, 2);

  Source puts;
  StreamPtr putOnly = over(puts, true, true, false);
  ASSERT_EQ(aStream_Write(putOnly.get(), "abc", 3), aErrNone);
  EXPECT_EQ(puts.putCalls, 3);
  EXPECT_EQ(puts.written, "abc");

  Source none;
  StreamPtr readOnly = over(none, true, false, false);
  EXPECT_EQ(aStream_Write(readOnly.get(), "a", 1), aErrMode);
  StreamPtr noGet = over(none, false, true, true);
  char c;
  EXPECT_EQ(aStream_Read(noGet.get(), &c, 1), aErrMode);
  EXPECT_EQ(aStream_Read(nullptr, &c, 1), aErrParam);
  EXPECT_EQ(aStream_Read(noGet.get(), nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Write(noGet.get(), nullptr, 1), aErrParam);
}

TEST(Stream, DestroyCallsDelete) {
  Source source;
  aStreamRef s = aStream_Create(Source::get, nullptr, nullptr, Source::del, &source);
  EXPECT_EQ(aStream_Destroy(&s), aErrTimeout);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(source.deleteCalls, 1);
  EXPECT_EQ(aStream_Destroy(&s), aErrParam);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
}

TEST(Stream, RecordsAndStrings) {
  Source source;
  StreamPtr s = over(source);
  ASSERT_EQ(aStream_WriteRecord(s.get(), "one", 3, "\r\n", 2), aErrNone);
  ASSERT_EQ(aStream_WriteCString(s.get(), "two"), aErrNone);
  ASSERT_EQ(aStream_WriteCStringRecord(s.get(), "three", "||"), aErrNone);
  EXPECT_EQ(source.written, std::string("one\r\ntwo\0three||\0", 17));

  source.feed(source.written);
  source.feed("partial\r");
  char buffer[16];
  size_t length = 0;
  ASSERT_EQ(aStream_ReadRecord(s.get(), buffer, &length, sizeof buffer, "\r\n", 2), aErrNone);
  EXPECT_EQ(std::string(buffer, length), "one");
  ASSERT_EQ(aStream_ReadCString(s.get(), buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, "two");
  ASSERT_EQ(aStream_ReadCStringRecord(s.get(), buffer, sizeof buffer, "||"), aErrNone);
  EXPECT_STREQ(buffer, "three");
  // A record not yet complete stays in the stream for the next call.
  EXPECT_EQ(aStream_ReadRecord(s.get(), buffer, &length, sizeof buffer, "\r\n", 2), aErrNotReady);
  source.feed("\nrest");
  ASSERT_EQ(aStream_ReadRecord(s.get(), buffer, &length, sizeof buffer, "\r\n", 2), aErrNone);
  EXPECT_EQ(std::string(buffer, length), "partial");
  // A full buffer ends the record; the end of input ends it after at least one byte.
  source.whenEmpty = aErrEOF;
  ASSERT_EQ(aStream_ReadRecord(s.get(), buffer, &length, 2, "\r\n", 2), aErrNone);
  EXPECT_EQ(std::string(buffer, length), "re");
  ASSERT_EQ(aStream_ReadRecord(s.get(), buffer, &length, sizeof buffer, "\r\n", 2), aErrNone);
  EXPECT_EQ(std::string(buffer, length), "st");
  EXPECT_EQ(aStream_ReadRecord(s.get(), buffer, &length, sizeof buffer, "\r\n", 2), aErrEOF);
}

TEST(Stream, FilesAndFlush) {
  char dir[] = "/tmp/streamsXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string in = std::string(dir) + "/in", out = std::string(dir) + "/out";
  std::string content;
  for (int i = 0; i < 3000; ++i)
    content.push_back(static_cast<char>(i * 31));
  {
    aStreamRef w = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(in.c_str(), &w), aErrNone);
    ASSERT_EQ(aStream_Write(w, content.data(), content.size()), aErrNone);
    ASSERT_EQ(aStream_Write(w, "!", 1), aErrNone);
    ASSERT_EQ(aStream_Destroy(&w), aErrNone);
  }
  aStreamRef from = nullptr, to = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(in.c_str(), &from), aErrNone);
  ASSERT_EQ(aStream_CreateFileOutput(out.c_str(), &to), aErrNone);
  EXPECT_EQ(aStream_Write(from, "x", 1), aErrMode);
  ASSERT_EQ(aStream_Flush(from, to), aErrNone);
  aStream_Destroy(&from);
  aStream_Destroy(&to);

  ASSERT_EQ(aStream_CreateFileInput(out.c_str(), &from), aErrNone);
  std::string copy(content.size() + 1, '\0');
  EXPECT_EQ(aStream_Read(from, &copy[0], copy.size()), aErrNone);
  EXPECT_EQ(copy, content + "!");
  char c;
  EXPECT_EQ(aStream_Read(from, &c, 1), aErrEOF);
  aStream_Destroy(&from);

  aStreamRef missing = reinterpret_cast<aStreamRef>(1);
  EXPECT_NE(aStream_CreateFileInput((std::string(dir) + "/none").c_str(), &missing), aErrNone);
  EXPECT_EQ(missing, nullptr);
  unlink(in.c_str());
  unlink(out.c_str());
  rmdir(dir);
}

} // namespace
