// Thread ids, sleeping, tick counts, local time and detached thread start
// (see thread.h), over POSIX.
#include "platform/sync/thread.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// gettid is a system call; the trace facility asks for it on every line, so
// each thread keeps its id. A forked child's thread has a new id: the fork
// generation tells a cached id from a stale one.
std::atomic<unsigned> g_fork_generation{0};
thread_local DWORD t_thread_id = 0;
thread_local unsigned t_thread_id_generation = 0;

void OnForkChild() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

const bool g_atfork_registered = [] {
  ::pthread_atfork(nullptr, nullptr, &OnForkChild);
  return true;
}();

struct DetachedStart {
  LPTHREAD_START_ROUTINE routine;
  void* param;
};

void* DetachedTrampoline(void* arg) {
  DetachedStart start = *static_cast<DetachedStart*>(arg);
  delete static_cast<DetachedStart*>(arg);
  start.routine(start.param);
  return nullptr;
}

}  // namespace

extern "C" DWORD GetCurrentThreadId() {
  unsigned generation = g_fork_generation.load(std::memory_order_relaxed) + 1;
  if (t_thread_id == 0 || t_thread_id_generation != generation) {
    t_thread_id = static_cast<DWORD>(::syscall(SYS_gettid));
    t_thread_id_generation = generation;
  }
  return t_thread_id;
}

extern "C" DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

extern "C" void Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) ::pause();
  }
  struct timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  // Signals interrupt nanosleep; Windows' Sleep does not end early.
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

extern "C" DWORD GetTickCount() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);  // wraps at 2^32 as on Windows
}

extern "C" void GetLocalTime(SYSTEMTIME* time) {
  if (!time) return;
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm_local;
  time_t seconds = ts.tv_sec;
  if (!::localtime_r(&seconds, &tm_local)) {
    *time = SYSTEMTIME{1601, 1, 1, 1, 0, 0, 0, 0};
    return;
  }
  time->wYear = static_cast<WORD>(tm_local.tm_year + 1900);
  time->wMonth = static_cast<WORD>(tm_local.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(tm_local.tm_wday);
  time->wDay = static_cast<WORD>(tm_local.tm_mday);
  time->wHour = static_cast<WORD>(tm_local.tm_hour);
  time->wMinute = static_cast<WORD>(tm_local.tm_min);
  // A leap second (tm_sec 60) is shown as 59, the last second Windows knows.
  time->wSecond = static_cast<WORD>(tm_local.tm_sec > 59 ? 59 : tm_local.tm_sec);
  time->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000L);
}

namespace krsoap::platform {

bool StartDetachedThread(LPTHREAD_START_ROUTINE routine, void* param) {
  if (!routine) return false;
  auto* start = new (std::nothrow) DetachedStart{routine, param};
  if (!start) return false;
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) {
    delete start;
    return false;
  }
  ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = ::pthread_create(&thread, &attr, &DetachedTrampoline, start);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return false;
  }
  return true;
}

}  // namespace krsoap::platform
