// The COM task allocator over the C heap.
#include "platform/com/taskmem.h"

#include <cstdlib>

extern "C" {

LPVOID CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  if (pv == nullptr) return CoTaskMemAlloc(cb);
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  return std::realloc(pv, cb);
}

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

}  // extern "C"
