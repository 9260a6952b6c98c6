// Interlocked operations on 32-bit values (reference counts, flags shared
// between threads), with the Win32 names and results: each is a full
// barrier, as on Windows, and ThreadSanitizer understands them.
#pragma once

#include "platform/win32/types.h"

extern "C" {
// Return the new value.
KR_EXPORT LONG InterlockedIncrement(volatile LONG* target);
KR_EXPORT LONG InterlockedDecrement(volatile LONG* target);
// Return the previous value.
KR_EXPORT LONG InterlockedExchange(volatile LONG* target, LONG value);
KR_EXPORT LONG InterlockedExchangeAdd(volatile LONG* target, LONG value);
// Stores `exchange` if *target equals `comparand`; returns the previous value.
KR_EXPORT LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand);
}
