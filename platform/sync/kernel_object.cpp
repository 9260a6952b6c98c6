// Waitable kernel objects: the handle table, the dispatcher lock and the wait
// engine, and the event and handle calls built on them.
//
// A wait registers its thread's waiter word on every object it waits for and
// sleeps on the word; Signal sets the words of exactly the waiters registered
// on that object, under the dispatcher mutex, and wakes the sleepers after
// letting the mutex go. Waking under the mutex would have every woken waiter
// block at once on the mutex its waker still holds: two more futex calls and
// a context switch per hand-off, which a request's monitor-to-worker hand-off
// paid each time.
// A waiter holds shared references to its objects, so CloseHandle during a
// wait only drops the handle: the object lives on until the wait ends.
#include "platform/sync/kernel_object.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "platform/sync/event.h"
#include "platform/sync/futex.h"
#include "platform/text/convert.h"
#include "platform/win32/error_codes.h"
#include "platform/win32/handle_table.h"
#include "platform/win32/last_error.h"

namespace krsoap::platform {

namespace {

// Heap-allocated and never destroyed: detached threads may still signal
// their thread objects while the process runs its static destructors.
std::mutex& DispatcherMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

HandleTable<KernelObject>& KernelHandles() {
  static auto* table = new HandleTable<KernelObject>(0x4);
  return *table;
}

// Process-local event names.
struct NameSpace {
  std::mutex mutex;
  std::map<std::u16string, std::weak_ptr<KernelObject>> events;
};
NameSpace& Names() {
  static auto* names = new NameSpace;
  return *names;
}

const HANDLE kCurrentProcess = INVALID_HANDLE_VALUE;  // (HANDLE)-1, as on Windows

}  // namespace

// A waiting thread's word: kArmed while it waits for a signal, kSleeping once
// it may be asleep in the kernel, kSignalled when a signal came. One per
// thread, since a thread waits in one wait at a time. A waker reads the word
// under the dispatcher mutex but wakes it after letting go, when the waiter
// may have left its wait already (or its thread ended): the wake is then a
// spurious one for whoever sleeps on that address, which every futex user
// tolerates, and never a write.
struct DispatchWaiter {
  static constexpr uint32_t kArmed = 0;
  static constexpr uint32_t kSleeping = 1;
  static constexpr uint32_t kSignalled = 2;
  std::atomic<uint32_t> word{kArmed};
};

namespace {

DispatchWaiter* ThisThreadWaiter() {
  thread_local DispatchWaiter waiter;  // trivially destructible
  return &waiter;
}

uint32_t* WordAddress(DispatchWaiter* w) { return reinterpret_cast<uint32_t*>(&w->word); }

// Sleeps while the waiter's word says kSleeping, at most until `deadline`
// (forever when infinite). Returns false once the deadline has passed.
bool SleepOnWord(DispatchWaiter* w, bool infinite, std::chrono::steady_clock::time_point deadline) {
  uint32_t expected = DispatchWaiter::kArmed;
  if (!w->word.compare_exchange_strong(expected, DispatchWaiter::kSleeping, std::memory_order_acq_rel) &&
      expected == DispatchWaiter::kSignalled)
    return true;
  while (w->word.load(std::memory_order_acquire) == DispatchWaiter::kSleeping) {
    int64_t left_ns = -1;
    if (!infinite) {
      left_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left_ns <= 0) return false;
    }
    PrivateFutexWait(WordAddress(w), DispatchWaiter::kSleeping, left_ns);
  }
  return true;
}

// The waiters a signal found asleep, woken once the dispatcher mutex is let go.
class PendingWakes {
 public:
  void Add(DispatchWaiter* w) {
    if (w->word.exchange(DispatchWaiter::kSignalled, std::memory_order_acq_rel) != DispatchWaiter::kSleeping) return;
    if (count_ < kInline) {
      inline_[count_++] = w;
    } else {
      more_.push_back(w);
    }
  }
  void WakeAll() {
    for (size_t i = 0; i < count_; ++i) Wake(inline_[i]);
    for (DispatchWaiter* w : more_) Wake(w);
  }

 private:
  static void Wake(DispatchWaiter* w) { PrivateFutexWake(WordAddress(w), 1); }
  static constexpr size_t kInline = 4;
  DispatchWaiter* inline_[kInline];
  size_t count_ = 0;
  std::vector<DispatchWaiter*> more_;
};

}  // namespace

class Dispatcher {
 public:
  // With the dispatcher mutex held: takes the objects if the wait can be
  // satisfied now and reports the index for the result.
  static bool TrySatisfy(const std::vector<std::shared_ptr<KernelObject>>& objects, bool wait_all,
                         size_t* index) {
    if (wait_all) {
      for (const auto& o : objects) {
        if (!o->signalled_) return false;
      }
      for (const auto& o : objects) Consume(*o);
      *index = 0;
      return true;
    }
    for (size_t i = 0; i < objects.size(); ++i) {
      if (objects[i]->signalled_) {
        Consume(*objects[i]);
        *index = i;
        return true;
      }
    }
    return false;
  }

  static void Consume(KernelObject& o) {
    if (!o.manual_reset_) o.signalled_ = false;
  }

  static void Register(const std::vector<std::shared_ptr<KernelObject>>& objects, DispatchWaiter* w) {
    for (const auto& o : objects) o->waiters_.push_back(w);
  }

  static void Unregister(const std::vector<std::shared_ptr<KernelObject>>& objects, DispatchWaiter* w) {
    for (const auto& o : objects) {
      auto& list = o->waiters_;
      list.erase(std::remove(list.begin(), list.end(), w), list.end());
    }
  }

  static size_t WaiterCount(const KernelObject& o) { return o.waiters_.size(); }

  static void WakeAll(KernelObject& o, PendingWakes* wakes) {
    for (DispatchWaiter* w : o.waiters_) wakes->Add(w);
  }
};

void KernelObject::Signal() {
  PendingWakes wakes;
  {
    std::lock_guard<std::mutex> lock(DispatcherMutex());
    signalled_ = true;
    Dispatcher::WakeAll(*this, &wakes);
  }
  wakes.WakeAll();
}

void KernelObject::Reset() {
  std::lock_guard<std::mutex> lock(DispatcherMutex());
  signalled_ = false;
}

DWORD KernelObject::exit_code() const {
  std::lock_guard<std::mutex> lock(DispatcherMutex());
  return exit_code_;
}

void KernelObject::Finish(DWORD exit_code) {
  PendingWakes wakes;
  {
    std::lock_guard<std::mutex> lock(DispatcherMutex());
    exit_code_ = exit_code;
    signalled_ = true;
    Dispatcher::WakeAll(*this, &wakes);
  }
  wakes.WakeAll();
}

HANDLE InsertKernelObject(std::shared_ptr<KernelObject> object) {
  try {
    return KernelHandles().Insert(std::move(object));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::shared_ptr<KernelObject> FindKernelObject(HANDLE handle) {
  return KernelHandles().Find(handle);
}

size_t KernelObjectWaiters(HANDLE handle) {
  auto object = FindKernelObject(handle);
  if (!object) return 0;
  std::lock_guard<std::mutex> lock(DispatcherMutex());
  return Dispatcher::WaiterCount(*object);
}

DWORD WaitForObjects(const std::vector<std::shared_ptr<KernelObject>>& objects, bool wait_all,
                     DWORD milliseconds) {
  using Clock = std::chrono::steady_clock;
  const bool infinite = milliseconds == INFINITE;
  const Clock::time_point deadline =
      infinite ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(milliseconds);

  std::unique_lock<std::mutex> lock(DispatcherMutex());
  size_t index = 0;
  if (Dispatcher::TrySatisfy(objects, wait_all, &index)) return WAIT_OBJECT_0 + DWORD(index);
  if (milliseconds == 0) return WAIT_TIMEOUT;

  DispatchWaiter* me = ThisThreadWaiter();
  Dispatcher::Register(objects, me);
  DWORD result = WAIT_TIMEOUT;
  for (;;) {
    // Armed under the mutex: a signal from here on sets the word, and one
    // that comes before the sleep keeps the thread from sleeping at all.
    me->word.store(DispatchWaiter::kArmed, std::memory_order_relaxed);
    lock.unlock();
    const bool in_time = SleepOnWord(me, infinite, deadline);
    lock.lock();
    // A signal that raced with the time-out still counts.
    if (Dispatcher::TrySatisfy(objects, wait_all, &index)) {
      result = WAIT_OBJECT_0 + DWORD(index);
      break;
    }
    if (!in_time) break;
  }
  Dispatcher::Unregister(objects, me);
  return result;
}

}  // namespace krsoap::platform

using krsoap::platform::FindKernelObject;
using krsoap::platform::KernelObject;

namespace {

HANDLE CreateEventCommon(bool manual_reset, bool initial_state, const char16_t* name) {
  using namespace krsoap::platform;
  try {
    std::shared_ptr<KernelObject> object;
    bool existed = false;
    if (name && *name) {
      NameSpace& names = Names();
      std::lock_guard<std::mutex> lock(names.mutex);
      std::weak_ptr<KernelObject>& slot = names.events[std::u16string(name)];
      object = slot.lock();
      existed = object != nullptr;
      if (!object) {
        object = std::make_shared<KernelObject>(KernelObject::Kind::kEvent, manual_reset,
                                                initial_state);
        slot = object;
      }
      // Forget names whose events are gone, so the map does not grow.
      for (auto it = names.events.begin(); it != names.events.end();) {
        it = it->second.expired() ? names.events.erase(it) : std::next(it);
      }
    } else {
      object =
          std::make_shared<KernelObject>(KernelObject::Kind::kEvent, manual_reset, initial_state);
    }
    HANDLE handle = InsertKernelObject(object);
    if (!handle) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

std::shared_ptr<KernelObject> FindEvent(HANDLE handle) {
  auto object = FindKernelObject(handle);
  if (!object || object->kind() != KernelObject::Kind::kEvent) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

}  // namespace

extern "C" HANDLE CreateEventW(SECURITY_ATTRIBUTES*, BOOL manual_reset, BOOL initial_state,
                               LPCWSTR name) {
  return CreateEventCommon(manual_reset != FALSE, initial_state != FALSE, name);
}

extern "C" HANDLE CreateEventA(SECURITY_ATTRIBUTES*, BOOL manual_reset, BOOL initial_state,
                               LPCSTR name) {
  if (!name) return CreateEventCommon(manual_reset != FALSE, initial_state != FALSE, nullptr);
  std::u16string wide;
  try {
    wide = krsoap::platform::Utf8ToUtf16(name);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return CreateEventCommon(manual_reset != FALSE, initial_state != FALSE, wide.c_str());
}

extern "C" BOOL SetEvent(HANDLE event) {
  auto object = FindEvent(event);
  if (!object) return FALSE;
  object->Signal();
  return TRUE;
}

extern "C" BOOL ResetEvent(HANDLE event) {
  auto object = FindEvent(event);
  if (!object) return FALSE;
  object->Reset();
  return TRUE;
}

extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

extern "C" DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                                        DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<KernelObject>> objects;
  try {
    objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
      auto object = FindKernelObject(handles[i]);
      if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      if (wait_all) {
        for (const auto& seen : objects) {
          if (seen == object) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
          }
        }
      }
      objects.push_back(std::move(object));
    }
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
  return krsoap::platform::WaitForObjects(objects, wait_all != FALSE, milliseconds);
}

extern "C" BOOL CloseHandle(HANDLE object) {
  if (!krsoap::platform::KernelHandles().Remove(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

extern "C" HANDLE GetCurrentProcess() { return krsoap::platform::kCurrentProcess; }

extern "C" BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                                HANDLE* target, DWORD, BOOL, DWORD options) {
  using namespace krsoap::platform;
  if (source_process != kCurrentProcess || target_process != kCurrentProcess) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (!target) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *target = nullptr;
  auto object = FindKernelObject(source);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  HANDLE copy = InsertKernelObject(object);
  if (!copy) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (options & DUPLICATE_CLOSE_SOURCE) KernelHandles().Remove(source);
  *target = copy;
  return TRUE;
}
