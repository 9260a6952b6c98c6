// The COM task allocator: memory that crosses an interface boundary.
//
// Memory returned through an out parameter (StringFromCLSID's string, a
// marshalled buffer) is allocated here and freed by the receiver with
// CoTaskMemFree, whichever module allocated it.
#pragma once

#include "platform/win32/types.h"

extern "C" {
// cb == 0 still returns a distinct non-null block, as on Windows.
KR_EXPORT LPVOID CoTaskMemAlloc(SIZE_T cb);
// pv == nullptr allocates; cb == 0 frees pv and returns nullptr. On failure
// the old block is left untouched and nullptr is returned.
KR_EXPORT LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
// nullptr is ignored.
KR_EXPORT void CoTaskMemFree(LPVOID pv);
}
