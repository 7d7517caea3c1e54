#include "link/aLogger.h"
#include "link/unix_mutex.h"
#include "link/unix_thread.h"
#include "link/unix_time.h"

#include "tests/support/ScratchDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

// --- Mutexes and threads ---

TEST(Mutex, IdentifierIsKeptAndBounded) {
  aMutexRef mutex = aMutex_Create("registry");
  ASSERT_NE(mutex, nullptr);
  EXPECT_STREQ(aMutex_Identifier(mutex), "registry");
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
  EXPECT_EQ(mutex, nullptr);

  mutex = aMutex_Create(nullptr);
  ASSERT_NE(mutex, nullptr);
  EXPECT_STREQ(aMutex_Identifier(mutex), "");
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);

  std::string longest(255, 'm');
  mutex = aMutex_Create(longest.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(aMutex_Identifier(mutex), longest);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
  EXPECT_EQ(aMutex_Create(std::string(256, 'm').c_str()), nullptr);

  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Identifier(nullptr), nullptr);
}

struct Contention {
  aMutexRef mutex;
  aErr tryResult;
};

void* tryFromOtherThread(void* arg) {
  Contention* c = static_cast<Contention*>(arg);
  c->tryResult = aMutex_TryLock(c->mutex);
  if (c->tryResult == aErrNone) aMutex_Unlock(c->mutex);
  return nullptr;
}

TEST(Mutex, HeldMutexIsBusyForOtherThreads) {
  Contention c{aMutex_Create("held"), aErrUnknown};
  ASSERT_NE(c.mutex, nullptr);
  ASSERT_EQ(aMutex_Lock(c.mutex), aErrNone);
  aThreadRef thread = aThread_Create(tryFromOtherThread, &c);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(thread, nullptr);
  EXPECT_EQ(c.tryResult, aErrBusy);

  ASSERT_EQ(aMutex_Unlock(c.mutex), aErrNone);

  thread = aThread_Create(tryFromOtherThread, &c);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(c.tryResult, aErrNone);
  EXPECT_EQ(aMutex_Destroy(&c.mutex), aErrNone);
}

TEST(Thread, RefusesNullRoutineAndHandle) {
  EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
  aThreadRef none = nullptr;
  EXPECT_NE(aThread_Destroy(&none), 0);
  EXPECT_NE(aThread_Destroy(nullptr), 0);
}

// --- Time ---

TEST(Time, TicksAdvanceAndSleepsLastAtLeastTheirTime) {
  uint64_t start = aTime_GetMSTicks();
  EXPECT_NE(start, 0u);
  EXPECT_EQ(aTime_MSSleep(0), aErrNone);
  EXPECT_EQ(aTime_MSSleep(30), aErrNone);
  uint64_t end = aTime_GetMSTicks();
  EXPECT_GE(end, start + 30);
}

// --- Logger ---

struct LogCounter {
  std::atomic<int> calls{0};
  std::mutex lock;
  std::set<std::thread::id> workers;
};
LogCounter* gCounter = nullptr;

void countingCallback(aFileRef file, uint32_t identifier) {
  int n = ++gCounter->calls;
  {
    std::lock_guard<std::mutex> guard(gCounter->lock);
    gCounter->workers.insert(std::this_thread::get_id());
  }
  if (n <= 3) aFile_Printf(file, "%u:%d\n", identifier, n);
  aTime_MSSleep(1);
}

class LoggerTest : public testing::Test {
protected:
  void SetUp() override { gCounter = &counter; }
  void TearDown() override { gCounter = nullptr; }
  LogCounter counter;
  ScratchDir tmp;
};

TEST_F(LoggerTest, WorkerRunsOnlyWhileEnabled) {
  std::string path = tmp / "packets.log";
  WriteFile(path, "before\n");
  aLoggerRef logger = aLogger_Create(7, countingCallback, path.c_str());
  ASSERT_NE(logger, nullptr);
  aTime_MSSleep(20);
  EXPECT_EQ(counter.calls.load(), 0); // created disabled

  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone); // no second worker
  for (int i = 0; i < 500 && counter.calls.load() < 5; ++i)
    aTime_MSSleep(2);
  ASSERT_EQ(aLogger_Disable(logger), aErrNone);
  int stopped = counter.calls.load();
  EXPECT_GE(stopped, 5);
  aTime_MSSleep(20);
  EXPECT_EQ(counter.calls.load(), stopped);
  {
    std::lock_guard<std::mutex> guard(counter.lock);
    EXPECT_EQ(counter.workers.size(), 1u);
  }
  // Written unbuffered and appended: visible before the logger is gone.
  std::ifstream in(path);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all, "before\n7:1\n7:2\n7:3\n");

  // It can start again, and Destroy stops a running worker.
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

aLoggerRef gSelf = nullptr;
std::atomic<int> gSelfDisable{-1};
std::atomic<int> gSelfDestroy{-1};

void selfStoppingCallback(aFileRef, uint32_t) {
  if (gSelfDisable.load() < 0) {
    aLoggerRef self = gSelf;
    gSelfDisable = static_cast<int>(aLogger_Disable(self));
    // The worker cannot free the record it runs on: the handle must survive.
    gSelfDestroy = static_cast<int>(aLogger_Destroy(&self));
  }
  aTime_MSSleep(1);
}

TEST_F(LoggerTest, WorkerCannotStopOrFreeItself) {
  gSelf = aLogger_Create(3, selfStoppingCallback, (tmp / "self.log").c_str());
  ASSERT_NE(gSelf, nullptr);
  ASSERT_EQ(aLogger_Enable(gSelf), aErrNone);
  for (int i = 0; i < 1000 && gSelfDestroy.load() < 0; ++i)
    aTime_MSSleep(2);
  EXPECT_EQ(gSelfDisable.load(), static_cast<int>(aErrNone));
  EXPECT_EQ(gSelfDestroy.load(), static_cast<int>(aErrBusy));
  EXPECT_EQ(aLogger_Destroy(&gSelf), aErrNone);
  EXPECT_EQ(gSelf, nullptr);
}

TEST_F(LoggerTest, InvalidUses) {
  EXPECT_EQ(aLogger_Create(1, countingCallback, (tmp / "nodir/log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, nullptr, (tmp / "log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLoggerRef none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
  EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
}

} // namespace
