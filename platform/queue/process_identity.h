// Who a process is, robustly enough to tell later whether it is still alive:
// its pid plus its start time (clock ticks since boot, from /proc), so that a
// reused pid is not taken for the process that died. Used to sweep what dead
// processes owned (temporary dynamic queues, half-done puts and gets, open
// handle counts).
#pragma once

#include <cstdint>
#include <string>

namespace krsoap::queue {

struct ProcessIdentity {
  int32_t pid = 0;
  uint64_t start_time = 0;  // 0: unknown
};

// This process's pid, cached: every queue call checks its handles against it,
// and getpid is a system call (costly under a hypervisor). The cache is
// cleared in the child of every fork (pthread_atfork).
int32_t CurrentPid();

// This process. Recomputed after a fork (the pid changes).
ProcessIdentity SelfIdentity();

// True when the process is still running (a zombie counts as dead). A process
// whose start time cannot be read but whose pid exists (another user's
// process without /proc access) counts as alive.
bool IsAlive(const ProcessIdentity& who);

// The kernel's boot id: shared memory older than the current boot holds no
// valid non-persistent messages.
std::string BootId();

}  // namespace krsoap::queue
