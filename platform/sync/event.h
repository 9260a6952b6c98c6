// Events and waits: CreateEvent, SetEvent, ResetEvent, WaitForSingleObject,
// WaitForMultipleObjects.
//
// Manual-reset events stay signalled until reset and release every waiter;
// auto-reset events release exactly one waiter per SetEvent and reset
// themselves. A wait on several handles blocks without polling and returns
// WAIT_OBJECT_0 + the lowest signalled index (wait any), or WAIT_OBJECT_0
// once all are signalled together (wait all). Thread handles (thread.h) can
// be waited on too: they are signalled when the thread ends.
//
// Event names are process-local: creating an event with the name of one
// that exists returns another handle to it and sets ERROR_ALREADY_EXISTS.
#pragma once

#include "platform/win32/error_codes.h"
#include "platform/win32/handle.h"
#include "platform/win32/types.h"

extern "C" {
// NULL with the last error set on failure.
KR_EXPORT HANDLE CreateEventW(SECURITY_ATTRIBUTES* security, BOOL manual_reset, BOOL initial_state,
                              LPCWSTR name);
KR_EXPORT HANDLE CreateEventA(SECURITY_ATTRIBUTES* security, BOOL manual_reset, BOOL initial_state,
                              LPCSTR name);
KR_EXPORT BOOL SetEvent(HANDLE event);
KR_EXPORT BOOL ResetEvent(HANDLE event);

// WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the last error set
// (ERROR_INVALID_HANDLE for a handle that is not open).
KR_EXPORT DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// count must be 1..MAXIMUM_WAIT_OBJECTS; with wait_all the same object may
// not appear twice (ERROR_INVALID_PARAMETER), as on Windows.
KR_EXPORT DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                                       DWORD milliseconds);
}
