// Internal to the platform layer: the waitable objects behind event and
// thread handles, their handle table, and the wait engine.
//
// All signal states and waiter lists are guarded by one process-wide
// dispatcher mutex. A single lock keeps wait-all atomic (every object is
// taken together or none is) without lock-ordering rules between objects;
// each operation under it is a few instructions, and the system signals a
// handful of events per request, so the lock is never contended for long.
// Nobody sleeps or wakes anybody while holding it: a waiter sleeps on a word
// of its own, which a signal sets under the lock and wakes after it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/win32/types.h"

namespace krsoap::platform {

struct DispatchWaiter;  // a waiting thread's word (kernel_object.cpp)

class KernelObject {
 public:
  enum class Kind { kEvent, kThread };

  KernelObject(Kind kind, bool manual_reset, bool signalled)
      : kind_(kind), manual_reset_(manual_reset), signalled_(signalled) {}
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  Kind kind() const { return kind_; }

  // Sets or clears the signal state; setting wakes the waiters.
  void Signal();
  void Reset();

  // Thread objects: the exit code, STILL_ACTIVE until the thread ends.
  DWORD exit_code() const;
  void Finish(DWORD exit_code);  // records the code and signals
  std::atomic<DWORD> thread_id{0};  // thread objects: the thread's id

 private:
  friend class Dispatcher;

  const Kind kind_;
  const bool manual_reset_;
  bool signalled_;                 // dispatcher mutex
  DWORD exit_code_ = 259;          // dispatcher mutex; STILL_ACTIVE
  std::vector<DispatchWaiter*> waiters_;  // dispatcher mutex
};

// Adds an object to the kernel handle table; nullptr when the table is full.
HANDLE InsertKernelObject(std::shared_ptr<KernelObject> object);
// The object behind an open handle, or nullptr.
std::shared_ptr<KernelObject> FindKernelObject(HANDLE handle);

// How many waits are registered on the object behind `handle` right now
// (for tests that must know a thread is blocked before acting).
size_t KernelObjectWaiters(HANDLE handle);

// Waits on the objects (already resolved from handles). Returns the
// WAIT_OBJECT_0 + index or WAIT_TIMEOUT.
DWORD WaitForObjects(const std::vector<std::shared_ptr<KernelObject>>& objects, bool wait_all,
                     DWORD milliseconds);

}  // namespace krsoap::platform
