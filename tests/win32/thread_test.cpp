// Thread and process ids, local time, tick counts and detached threads.
#include <gtest/gtest.h>

#include <condition_variable>
#include <ctime>
#include <mutex>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/sync/thread.h"

namespace {

struct Handoff {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  DWORD thread_id = 0;
  void* seen_param = nullptr;
};

DWORD RecordThread(void* param) {
  auto* h = static_cast<Handoff*>(param);
  std::lock_guard<std::mutex> lock(h->mutex);
  h->thread_id = GetCurrentThreadId();
  h->seen_param = param;
  h->done = true;
  h->cv.notify_all();
  return 0;
}

TEST(ThreadIds, AreKernelIdsAndDifferPerThread) {
  EXPECT_EQ(GetCurrentThreadId(), DWORD(::syscall(SYS_gettid)));
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
  EXPECT_EQ(GetCurrentProcessId(), DWORD(::getpid()));

  Handoff h;
  ASSERT_TRUE(krsoap::platform::StartDetachedThread(&RecordThread, &h));
  std::unique_lock<std::mutex> lock(h.mutex);
  h.cv.wait(lock, [&] { return h.done; });
  EXPECT_EQ(h.seen_param, &h);
  EXPECT_NE(h.thread_id, 0u);
  EXPECT_NE(h.thread_id, GetCurrentThreadId());
}

TEST(ThreadIds, ForkedChildSeesItsOwnId) {
  DWORD parent = GetCurrentThreadId();  // cached in this thread
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    DWORD child = GetCurrentThreadId();
    ::_exit(child == DWORD(::getpid()) && child != parent ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ThreadStart, NullRoutineIsRefused) {
  EXPECT_FALSE(krsoap::platform::StartDetachedThread(nullptr, nullptr));
}

TEST(Clock, LocalTimeMatchesTheProcessTimeZone) {
  SYSTEMTIME st;
  GetLocalTime(&st);
  time_t now = ::time(nullptr);
  struct tm tm_now;
  ASSERT_NE(::localtime_r(&now, &tm_now), nullptr);
  EXPECT_EQ(st.wYear, tm_now.tm_year + 1900);
  EXPECT_GE(st.wMonth, 1);
  EXPECT_LE(st.wMonth, 12);
  EXPECT_LE(st.wDayOfWeek, 6);
  EXPECT_LE(st.wHour, 23);
  EXPECT_LE(st.wSecond, 59);
  EXPECT_LE(st.wMilliseconds, 999);
  GetLocalTime(nullptr);  // tolerated
}

TEST(Clock, TickCountDoesNotGoBackwards) {
  DWORD a = GetTickCount();
  Sleep(0);
  Sleep(1);
  DWORD b = GetTickCount();
  EXPECT_LE(DWORD(b - a), 60000u);  // modular difference, wraps like Windows
}

}  // namespace
