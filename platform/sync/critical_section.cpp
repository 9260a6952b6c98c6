// Critical sections over recursive pthread mutexes (see critical_section.h).
#include "platform/sync/critical_section.h"

#include <cstdlib>

#include "platform/sync/thread.h"

namespace {
DWORD Owner(const CRITICAL_SECTION* s) { return __atomic_load_n(&s->OwningThread, __ATOMIC_RELAXED); }
void SetOwner(CRITICAL_SECTION* s, DWORD id) { __atomic_store_n(&s->OwningThread, id, __ATOMIC_RELAXED); }

void Acquired(CRITICAL_SECTION* s) {
  if (s->RecursionCount++ == 0) SetOwner(s, GetCurrentThreadId());
}
}  // namespace

extern "C" void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  if (!section) return;
  pthread_mutexattr_t attr;
  ::pthread_mutexattr_init(&attr);
  ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  // Failure here means the process is out of resources; a lock that does
  // not exist would silently break mutual exclusion, so stop instead.
  if (::pthread_mutex_init(&section->Mutex, &attr) != 0) std::abort();
  ::pthread_mutexattr_destroy(&attr);
  section->OwningThread = 0;
  section->RecursionCount = 0;
}

extern "C" BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD) {
  InitializeCriticalSection(section);
  return TRUE;
}

extern "C" void EnterCriticalSection(LPCRITICAL_SECTION section) {
  if (::pthread_mutex_lock(&section->Mutex) != 0) std::abort();
  Acquired(section);
}

extern "C" BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  if (::pthread_mutex_trylock(&section->Mutex) != 0) return FALSE;
  Acquired(section);
  return TRUE;
}

extern "C" void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  // Only the owner's thread ever sees its own id here, so this test is
  // exact for the caller even while other threads contend for the lock.
  if (Owner(section) != GetCurrentThreadId()) return;
  if (--section->RecursionCount == 0) SetOwner(section, 0);
  ::pthread_mutex_unlock(&section->Mutex);
}

extern "C" void DeleteCriticalSection(LPCRITICAL_SECTION section) {
  if (section) ::pthread_mutex_destroy(&section->Mutex);
}
