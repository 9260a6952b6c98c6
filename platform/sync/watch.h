// Watching before sleeping: a waiter that expects its event soon polls for it
// for a learned while before it blocks (WatchThenSleep), as a halting core's
// idle poll does, so that a short exchange between processes does not pay for
// waking an idle core each way.
//
// Why: on a machine whose idle cores halt (virtual machines especially; this
// one's guest halt-poll window is 0) waking a sleeper on an idle core costs
// tens of microseconds, more than a whole request and reply through a host.
// The watch is learned per call site and thread (a WatchBudget each): it
// starts after a sleep that ended within kWatchMaxNs, doubles while events
// come in time, and drops to nothing after a longer sleep, so that the
// waiters of an idle or a saturated system sleep at once and burn no CPU. A
// watcher yields every few microseconds, so it uses only a core nothing else
// wants. Header-only, no state but the budgets; the queue stores' futex waits
// use it (futex.h).
#pragma once

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace krsoap::platform {

// The longest watch, and where a watch starts after a short sleep.
constexpr int64_t kWatchMaxNs = 100000;
constexpr int64_t kWatchStartNs = 25000;

// What one call site has learned on one thread. Trivially destructible, so a
// thread_local one is safe in a module loaded at run time.
struct WatchBudget {
  int64_t ns = 0;
};

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// Calls `ready` until it is true or the budget's watch is over; if it never
// was, calls `sleep` (which must return once the event came, or on its own
// timeout). `ready` is called every few hundred nanoseconds while watching.
template <class Ready, class Sleep>
void WatchThenSleep(WatchBudget* budget, Ready&& ready, Sleep&& sleep) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  if (budget->ns > 0) {
    const Clock::time_point until = start + std::chrono::nanoseconds(budget->ns);
    for (unsigned round = 1;; ++round) {
      if (ready()) {
        budget->ns = std::min(kWatchMaxNs, budget->ns * 2);
        return;
      }
      for (int i = 0; i < 16; ++i) CpuRelax();
      if (round % 4 == 0) {
        sched_yield();  // anything runnable on this core goes first
        if (Clock::now() >= until) break;
      }
    }
  }
  sleep();
  const int64_t waited = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
  if (waited <= kWatchMaxNs)
    budget->ns = budget->ns == 0 ? kWatchStartNs : std::min(kWatchMaxNs, budget->ns * 2);
  else
    budget->ns = 0;
}

}  // namespace krsoap::platform
