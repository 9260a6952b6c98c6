// Thread ids, sleeping, tick counts, local time and detached thread start
// (see thread.h), over POSIX.
#include "platform/sync/thread.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/sync/kernel_object.h"
#include "platform/win32/error_codes.h"
#include "platform/win32/handle.h"
#include "platform/win32/last_error.h"

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

// A thread started with a handle: the thread owns a reference to its kernel
// object and signals it as its last act. `started` lets CreateThread return
// the new thread's id, as Windows does.
struct HandleStart {
  LPTHREAD_START_ROUTINE routine;
  void* param;
  std::shared_ptr<krsoap::platform::KernelObject> object;
  std::mutex mutex;
  std::condition_variable cv;
  bool started = false;
};

void* HandleTrampoline(void* arg) {
  auto* start = static_cast<HandleStart*>(arg);
  LPTHREAD_START_ROUTINE routine = start->routine;
  void* param = start->param;
  std::shared_ptr<krsoap::platform::KernelObject> object = start->object;
  object->thread_id.store(GetCurrentThreadId(), std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(start->mutex);
    start->started = true;
    start->cv.notify_one();
  }
  // `start` belongs to CreateThread from here on.
  object->Finish(routine(param));
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

extern "C" HANDLE CreateThread(struct SECURITY_ATTRIBUTES*, SIZE_T stack_size,
                               LPTHREAD_START_ROUTINE routine, void* param, DWORD flags,
                               LPDWORD thread_id) {
  using krsoap::platform::KernelObject;
  if (!routine || flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::unique_ptr<HandleStart> start;
  try {
    start = std::make_unique<HandleStart>();
    start->object = std::make_shared<KernelObject>(KernelObject::Kind::kThread, true, false);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  start->routine = routine;
  start->param = param;
  HANDLE handle = krsoap::platform::InsertKernelObject(start->object);
  if (!handle) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) {
    CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack_size != 0) {
    if (stack_size < size_t(PTHREAD_STACK_MIN)) stack_size = PTHREAD_STACK_MIN;
    ::pthread_attr_setstacksize(&attr, stack_size);
  }
  pthread_t thread;
  int rc = ::pthread_create(&thread, &attr, &HandleTrampoline, start.get());
  ::pthread_attr_destroy(&attr);
  if (rc != 0) {
    CloseHandle(handle);
    SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  {
    std::unique_lock<std::mutex> lock(start->mutex);
    start->cv.wait(lock, [&] { return start->started; });
  }
  if (thread_id) *thread_id = start->object->thread_id.load(std::memory_order_relaxed);
  return handle;
}

extern "C" BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code) {
  auto object = krsoap::platform::FindKernelObject(thread);
  if (!object || object->kind() != krsoap::platform::KernelObject::Kind::kThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!exit_code) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exit_code = object->exit_code();
  return TRUE;
}

extern "C" DWORD GetThreadId(HANDLE thread) {
  auto object = krsoap::platform::FindKernelObject(thread);
  if (!object || object->kind() != krsoap::platform::KernelObject::Kind::kThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return object->thread_id.load(std::memory_order_relaxed);
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
