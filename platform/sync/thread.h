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

// Starts a thread and returns a handle to it that is signalled when the
// thread ends (wait on it with WaitForSingleObject; close it with
// CloseHandle, which does not stop the thread). stack_size 0 means the
// default. Flags other than 0 are refused (ERROR_INVALID_PARAMETER). NULL
// with the last error set when the thread cannot be started.
KR_EXPORT HANDLE CreateThread(struct SECURITY_ATTRIBUTES* security, SIZE_T stack_size,
                              LPTHREAD_START_ROUTINE routine, void* param, DWORD flags,
                              LPDWORD thread_id);
// STILL_ACTIVE (259) while the thread runs, then its routine's result.
KR_EXPORT BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code);
KR_EXPORT DWORD GetThreadId(HANDLE thread);
}

namespace krsoap::platform {

// Starts a detached thread running routine(param); no handle is kept (as
// _beginthread / AfxBeginThread with auto-delete). Returns false when the
// thread could not be started.
bool StartDetachedThread(LPTHREAD_START_ROUTINE routine, void* param);

}  // namespace krsoap::platform
