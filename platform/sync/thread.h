// Threads, ids, sleeping and local time (the Win32 calls the system uses).
#pragma once

#include "platform/win32/types.h"

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

typedef DWORD (*LPTHREAD_START_ROUTINE)(void* param);

extern "C" {
// Kernel thread id (gettid) and process id (getpid).
KR_EXPORT DWORD GetCurrentThreadId();
KR_EXPORT DWORD GetCurrentProcessId();
KR_EXPORT void Sleep(DWORD milliseconds);
// Milliseconds since an arbitrary start, monotonic, wrapping at 2^32.
KR_EXPORT DWORD GetTickCount();
// The process's local time zone (localtime_r).
KR_EXPORT void GetLocalTime(SYSTEMTIME* time);
}

namespace krsoap::platform {

// Starts a detached thread running routine(param); no handle is kept (as
// _beginthread / AfxBeginThread with auto-delete). Returns false when the
// thread could not be started.
bool StartDetachedThread(LPTHREAD_START_ROUTINE routine, void* param);

}  // namespace krsoap::platform
