// Futex words shared between processes: a 32-bit word in a shared mapping
// that waiters sleep on until it moves, and the watch that comes before the
// sleep (watch.h). The queue stores' waits use these; the word is the only
// state, so a process that dies while waiting leaves nothing to repair.
// Also the same calls on words private to one process (the events' waiters).
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

#include "platform/sync/watch.h"

namespace krsoap::platform {

// The wait itself: `op` FUTEX_WAIT or FUTEX_WAIT_PRIVATE, timeout_ns < 0 for
// none.
inline void FutexWaitOp(int op, uint32_t* word, uint32_t expected, int64_t timeout_ns) {
  if (timeout_ns < 0) {
    ::syscall(SYS_futex, word, op, expected, nullptr, nullptr, 0);
    return;
  }
  timespec ts{static_cast<time_t>(timeout_ns / 1000000000), static_cast<long>(timeout_ns % 1000000000)};
  ::syscall(SYS_futex, word, op, expected, &ts, nullptr, 0);
}

// Sleeps while *word == expected, at most timeout_ms (forever when < 0).
// Returns early on a wake-up, a signal, or when the word has moved already.
inline void FutexWait(uint32_t* word, uint32_t expected, int64_t timeout_ms) {
  FutexWaitOp(FUTEX_WAIT, word, expected, timeout_ms < 0 ? -1 : timeout_ms * 1000000);
}

// Wakes at most `count` sleepers of the word; `op` FUTEX_WAKE or
// FUTEX_WAKE_PRIVATE.
inline void FutexWakeOp(int op, uint32_t* word, int count) { ::syscall(SYS_futex, word, op, count, nullptr, nullptr, 0); }

inline void FutexWake(uint32_t* word, int count) { FutexWakeOp(FUTEX_WAKE, word, count); }

// The same for a word that only the threads of one process use (the kernel
// need not find its mapping), the timeout in nanoseconds.
inline void PrivateFutexWait(uint32_t* word, uint32_t expected, int64_t timeout_ns) {
  FutexWaitOp(FUTEX_WAIT_PRIVATE, word, expected, timeout_ns);
}
inline void PrivateFutexWake(uint32_t* word, int count) { FutexWakeOp(FUTEX_WAKE_PRIVATE, word, count); }

// Atomic access to a futex word: other processes change it.
inline uint32_t LoadWord(uint32_t* w) { return __atomic_load_n(w, __ATOMIC_ACQUIRE); }
inline void BumpWord(uint32_t* w) { __atomic_add_fetch(w, 1, __ATOMIC_RELEASE); }

// FutexWait after a watch of the word; the caller has registered as a
// waiter, so whoever moves the word also wakes it from a sleep.
inline void WatchThenFutexWait(uint32_t* word, uint32_t expected, int64_t timeout_ms) {
  thread_local WatchBudget budget;
  WatchThenSleep(
      &budget, [&] { return LoadWord(word) != expected; }, [&] { FutexWait(word, expected, timeout_ms); });
}

}  // namespace krsoap::platform
