// Kernel-object handles: closing, duplicating, and an owning RAII wrapper.
//
// Events and thread handles (platform/sync) share one handle table; a handle
// stays valid until CloseHandle, and the object behind it lives until its
// last handle is closed and the last wait on it has ended.
#pragma once

#include <utility>

#include "platform/win32/types.h"

#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#endif
#define DUPLICATE_CLOSE_SOURCE 0x00000001u
#define DUPLICATE_SAME_ACCESS 0x00000002u

extern "C" {
// FALSE with ERROR_INVALID_HANDLE for a handle that is not open.
KR_EXPORT BOOL CloseHandle(HANDLE object);
// The pseudo handle of the current process, for DuplicateHandle.
KR_EXPORT HANDLE GetCurrentProcess();
// Only within the current process: both process handles must be
// GetCurrentProcess().
KR_EXPORT BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                               HANDLE* target, DWORD desired_access, BOOL inherit, DWORD options);
}

namespace krsoap::platform {

// Owns one kernel-object handle and closes it on destruction.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { reset(); }
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  HANDLE release() { return std::exchange(handle_, nullptr); }
  void reset(HANDLE handle = nullptr) {
    if (handle_) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace krsoap::platform
