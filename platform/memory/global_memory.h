// Global memory blocks (GlobalAlloc and friends) and RAII helpers.
//
// Movable blocks are reached through opaque handles from a handle table, so
// their memory may move on reallocation while the handle stays the same;
// GlobalLock gives the current address and counts locks. Fixed blocks are
// their own address, as on Windows. Every handle is validated: a freed,
// forged or foreign handle fails with ERROR_INVALID_HANDLE, never touches
// memory. Sizes above kMaxGlobalBlock bytes fail with ERROR_NOT_ENOUGH_MEMORY
// before any allocation is tried, so a hostile length cannot exhaust memory.
//
// New memory is always zero-filled, also without GMEM_ZEROINIT (Windows
// leaves it undefined; zeros keep stale data from ever reaching a message).
#pragma once

#include <cstddef>
#include <utility>

#include "platform/win32/types.h"

typedef HANDLE HGLOBAL;

#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_NOCOMPACT 0x0010u
#define GMEM_NODISCARD 0x0020u
#define GMEM_ZEROINIT 0x0040u
#define GMEM_MODIFY 0x0080u
#define GMEM_DISCARDABLE 0x0100u
#define GMEM_NOT_BANKED 0x1000u
#define GMEM_SHARE 0x2000u
#define GMEM_DDESHARE 0x2000u
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
// GlobalFlags results.
#define GMEM_LOCKCOUNT 0x00FFu
#define GMEM_DISCARDED 0x4000u
#define GMEM_INVALID_HANDLE 0x8000u

extern "C" {
// NULL with ERROR_NOT_ENOUGH_MEMORY or ERROR_INVALID_PARAMETER on failure. A
// movable block of 0 bytes is created discarded (GlobalLock gives NULL).
KR_EXPORT HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
// A movable block keeps its handle; its memory may move unless it is locked
// and GMEM_MOVEABLE is not given (then only in-place resizing succeeds). A
// fixed block resizes in place, or moves (new handle) with GMEM_MOVEABLE.
// Growth is zero-filled. NULL with the last error set on failure; the old
// block is then untouched. GMEM_MODIFY changes nothing and returns the
// handle.
KR_EXPORT HGLOBAL GlobalReAlloc(HGLOBAL block, SIZE_T bytes, UINT flags);
// Movable blocks: increments the lock count and returns the address (NULL
// for a discarded block). Fixed blocks: returns the block itself.
KR_EXPORT LPVOID GlobalLock(HGLOBAL block);
// Nonzero while still locked; FALSE with ERROR_SUCCESS when the count
// reached 0, FALSE with ERROR_NOT_LOCKED when it was not locked.
KR_EXPORT BOOL GlobalUnlock(HGLOBAL block);
// 0 with ERROR_INVALID_HANDLE for a bad handle.
KR_EXPORT SIZE_T GlobalSize(HGLOBAL block);
// NULL on success; the handle itself (ERROR_INVALID_HANDLE) on failure.
KR_EXPORT HGLOBAL GlobalFree(HGLOBAL block);
// Lock count in the low byte, GMEM_DISCARDED; GMEM_INVALID_HANDLE if bad.
KR_EXPORT UINT GlobalFlags(HGLOBAL block);
// The handle of the block whose memory starts at `memory` (as returned by
// GlobalLock), or NULL.
KR_EXPORT HGLOBAL GlobalHandle(LPCVOID memory);
}

namespace krsoap::platform {

// The largest block the platform layer hands out (512 MiB).
inline constexpr SIZE_T kMaxGlobalBlock = SIZE_T(512) * 1024 * 1024;

// Owns a global memory block and frees it on destruction.
class GlobalBlock {
 public:
  GlobalBlock() = default;
  explicit GlobalBlock(HGLOBAL block) : block_(block) {}
  ~GlobalBlock() { reset(); }
  GlobalBlock(GlobalBlock&& other) noexcept : block_(other.release()) {}
  GlobalBlock& operator=(GlobalBlock&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  GlobalBlock(const GlobalBlock&) = delete;
  GlobalBlock& operator=(const GlobalBlock&) = delete;

  HGLOBAL get() const { return block_; }
  explicit operator bool() const { return block_ != nullptr; }
  HGLOBAL release() { return std::exchange(block_, nullptr); }
  void reset(HGLOBAL block = nullptr) {
    if (block_) GlobalFree(block_);
    block_ = block;
  }

 private:
  HGLOBAL block_ = nullptr;
};

// Locks a block for the guard's lifetime.
class GlobalLockGuard {
 public:
  explicit GlobalLockGuard(HGLOBAL block) : block_(block), data_(GlobalLock(block)) {}
  ~GlobalLockGuard() {
    if (data_) GlobalUnlock(block_);
  }
  GlobalLockGuard(const GlobalLockGuard&) = delete;
  GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;

  void* data() const { return data_; }
  template <typename T>
  T* as() const {
    return static_cast<T*>(data_);
  }

 private:
  HGLOBAL block_;
  void* data_;
};

}  // namespace krsoap::platform
