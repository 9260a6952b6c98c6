// Critical sections: recursive in-process locks with the Win32 calls, and
// small RAII helpers for C++ code.
//
// The lock is a recursive pthread mutex stored inside the CRITICAL_SECTION
// itself, so sanitizers see every acquisition. The owner may enter again;
// each Enter needs its own Leave. Leave by a thread that does not own the
// section is ignored (Windows leaves that undefined).
#pragma once

#include <pthread.h>

#include "platform/win32/types.h"

struct CRITICAL_SECTION {
  pthread_mutex_t Mutex;
  // Written only by the owner while it holds Mutex; read atomically by any
  // thread, so a Leave can tell whether its caller is the owner.
  DWORD OwningThread;
  LONG RecursionCount;
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

extern "C" {
KR_EXPORT void InitializeCriticalSection(LPCRITICAL_SECTION section);
KR_EXPORT BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spin_count);
KR_EXPORT void EnterCriticalSection(LPCRITICAL_SECTION section);
KR_EXPORT BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
KR_EXPORT void LeaveCriticalSection(LPCRITICAL_SECTION section);
KR_EXPORT void DeleteCriticalSection(LPCRITICAL_SECTION section);
}

namespace krsoap::platform {

// A critical section that initialises and deletes itself.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  ~CriticalSection() { DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { EnterCriticalSection(&section_); }
  bool TryEnter() { return TryEnterCriticalSection(&section_) != FALSE; }
  void Leave() { LeaveCriticalSection(&section_); }
  LPCRITICAL_SECTION get() { return &section_; }

 private:
  CRITICAL_SECTION section_;
};

// Holds a critical section for the lifetime of the guard.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(LPCRITICAL_SECTION section) : section_(section) {
    EnterCriticalSection(section_);
  }
  explicit CriticalSectionLock(CriticalSection& section) : CriticalSectionLock(section.get()) {}
  ~CriticalSectionLock() { LeaveCriticalSection(section_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  LPCRITICAL_SECTION section_;
};

}  // namespace krsoap::platform
