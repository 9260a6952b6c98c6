// The calling thread's last-error code (GetLastError / SetLastError).
//
// Every stand-in that fails "with the last error set" stores its Win32 code
// here. The value is per thread, as on Windows, so one thread's failure never
// shows up in another thread's GetLastError.
#pragma once

#include "platform/win32/types.h"

extern "C" {
KR_EXPORT DWORD GetLastError();
KR_EXPORT void SetLastError(DWORD error);
}
