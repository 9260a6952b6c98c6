// Per-thread storage behind GetLastError / SetLastError.
#include "platform/win32/last_error.h"

namespace {
thread_local DWORD g_last_error = 0;
}  // namespace

extern "C" DWORD GetLastError() { return g_last_error; }

extern "C" void SetLastError(DWORD error) { g_last_error = error; }
