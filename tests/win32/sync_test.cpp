// Events, waits, thread handles and critical sections: signal semantics,
// wait results, bad and closed handles, and locking across threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/sync/critical_section.h"
#include "platform/sync/event.h"
#include "platform/sync/interlocked.h"
#include "platform/sync/kernel_object.h"
#include "platform/sync/thread.h"
#include "platform/win32/last_error.h"

using krsoap::platform::CriticalSection;
using krsoap::platform::CriticalSectionLock;
using krsoap::platform::KernelObjectWaiters;
using krsoap::platform::ScopedHandle;

namespace {

ScopedHandle NewEvent(bool manual, bool initial) {
  ScopedHandle h(CreateEventW(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr));
  EXPECT_TRUE(h);
  return h;
}

// Blocks until `count` waits are registered on `handle`, so that a test can
// act on a thread that is known to be inside its wait.
void AwaitWaiters(HANDLE handle, size_t count) {
  while (KernelObjectWaiters(handle) < count) std::this_thread::yield();
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
  ScopedHandle e = NewEvent(true, false);
  EXPECT_EQ(WaitForSingleObject(e.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(e.get(), 20), 258u);
  ASSERT_TRUE(SetEvent(e.get()));
  EXPECT_EQ(WaitForSingleObject(e.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e.get(), INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(e.get()));
  EXPECT_EQ(WaitForSingleObject(e.get(), 0), WAIT_TIMEOUT);

  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  ScopedHandle initially_set(CreateEventW(&security, TRUE, TRUE, nullptr));
  EXPECT_EQ(WaitForSingleObject(initially_set.get(), 0), WAIT_OBJECT_0);
}

TEST(Events, ManualResetReleasesEveryWaiter) {
  ScopedHandle e = NewEvent(true, false);
  std::atomic<int> woke{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      if (WaitForSingleObject(e.get(), INFINITE) == WAIT_OBJECT_0) ++woke;
    });
  }
  AwaitWaiters(e.get(), 4);
  SetEvent(e.get());
  for (auto& t : threads) t.join();
  EXPECT_EQ(woke.load(), 4);
}

TEST(Events, AutoResetReleasesOneWaiterPerSignal) {
  ScopedHandle e = NewEvent(false, true);
  EXPECT_EQ(WaitForSingleObject(e.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e.get(), 0), WAIT_TIMEOUT);  // consumed

  constexpr int kWaiters = 3;
  ScopedHandle done[kWaiters];
  HANDLE done_handles[kWaiters];
  for (int i = 0; i < kWaiters; ++i) {
    done[i] = NewEvent(true, false);
    done_handles[i] = done[i].get();
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kWaiters; ++i) {
    threads.emplace_back([&, i] {
      if (WaitForSingleObject(e.get(), INFINITE) == WAIT_OBJECT_0) SetEvent(done_handles[i]);
    });
  }
  AwaitWaiters(e.get(), kWaiters);
  for (int round = 1; round <= kWaiters; ++round) {
    SetEvent(e.get());
    // Wait for the `round`-th waiter to report, then check that the signal
    // was consumed by it rather than left for the others.
    for (;;) {
      int finished = 0;
      for (HANDLE h : done_handles) finished += WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
      if (finished >= round) {
        EXPECT_EQ(finished, round);
        break;
      }
      std::this_thread::yield();
    }
    EXPECT_EQ(WaitForSingleObject(e.get(), 0), WAIT_TIMEOUT);
  }
  for (auto& t : threads) t.join();
}

TEST(Events, AutoResetPingPongLosesNoSignal) {
  ScopedHandle ping = NewEvent(false, false);
  ScopedHandle pong = NewEvent(false, false);
  constexpr int kRounds = 5000;
  std::thread partner([&] {
    for (int i = 0; i < kRounds; ++i) {
      ASSERT_EQ(WaitForSingleObject(ping.get(), INFINITE), WAIT_OBJECT_0);
      SetEvent(pong.get());
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    SetEvent(ping.get());
    ASSERT_EQ(WaitForSingleObject(pong.get(), INFINITE), WAIT_OBJECT_0);
  }
  partner.join();
}

TEST(Events, NamedEventsShareOneObjectInTheProcess) {
  ScopedHandle a(CreateEventW(nullptr, TRUE, FALSE, u"krsoap-test-event"));
  ASSERT_TRUE(a);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  ScopedHandle b(CreateEventA(nullptr, TRUE, FALSE, "krsoap-test-event"));
  ASSERT_TRUE(b);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_NE(a.get(), b.get());
  SetEvent(a.get());
  EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_OBJECT_0);
}

TEST(WaitMultiple, WaitAnyReturnsLowestSignalledIndex) {
  ScopedHandle e[4] = {NewEvent(false, false), NewEvent(false, false), NewEvent(true, false),
                       NewEvent(false, false)};
  HANDLE h[4] = {e[0].get(), e[1].get(), e[2].get(), e[3].get()};
  EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(h[3]);
  SetEvent(h[1]);
  EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 1);
  // Only the returned auto-reset event was consumed.
  EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 3);
  EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(h[2]);  // manual reset: reported again and again
  EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 2);
}

TEST(WaitMultiple, WaitAllTakesEverythingOrNothing) {
  ScopedHandle a = NewEvent(false, true);
  ScopedHandle b = NewEvent(false, false);
  ScopedHandle m = NewEvent(true, true);
  HANDLE h[3] = {a.get(), b.get(), m.get()};
  EXPECT_EQ(WaitForMultipleObjects(3, h, TRUE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_OBJECT_0);  // not consumed by the failed wait
  SetEvent(a.get());
  SetEvent(b.get());
  EXPECT_EQ(WaitForMultipleObjects(3, h, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_OBJECT_0);
}

TEST(WaitMultiple, WakesWhenAnotherThreadSignals) {
  // The worker pool's pattern: wait for work or stop, whichever comes.
  ScopedHandle work = NewEvent(true, false);
  ScopedHandle stop = NewEvent(true, false);
  HANDLE h[2] = {work.get(), stop.get()};
  DWORD results[2] = {0, 0};
  std::thread waiter([&] {
    results[0] = WaitForMultipleObjects(2, h, FALSE, INFINITE);
    ResetEvent(work.get());
    results[1] = WaitForMultipleObjects(2, h, FALSE, 600000);
  });
  AwaitWaiters(stop.get(), 1);
  SetEvent(work.get());
  while (WaitForSingleObject(work.get(), 0) == WAIT_OBJECT_0) std::this_thread::yield();
  AwaitWaiters(stop.get(), 1);
  SetEvent(stop.get());
  waiter.join();
  EXPECT_EQ(results[0], WAIT_OBJECT_0);
  EXPECT_EQ(results[1], WAIT_OBJECT_0 + 1);
}

TEST(WaitMultiple, BadArguments) {
  ScopedHandle e = NewEvent(true, true);
  HANDLE twice[2] = {e.get(), e.get()};
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, e.get());
  EXPECT_EQ(WaitForMultipleObjects(DWORD(many.size()), many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(Handles, ClosedForgedAndForeignHandlesFailCleanly) {
  HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  // The slot is reused at once; the old value must stay dead.
  ScopedHandle reuse = NewEvent(true, true);
  EXPECT_NE(reuse.get(), closed);

  int on_stack = 0;
  void* heap = std::malloc(64);
  HANDLE bad[] = {nullptr,
                  closed,
                  INVALID_HANDLE_VALUE,
                  reinterpret_cast<HANDLE>(uintptr_t(0x12345)),
                  reinterpret_cast<HANDLE>(~uintptr_t(0xF) | 0x4),
                  &on_stack,
                  heap};
  for (HANDLE h : bad) {
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED) << h;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE)) << h;
    EXPECT_FALSE(SetEvent(h));
    EXPECT_FALSE(ResetEvent(h));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  }
  // One bad handle among good ones fails the whole wait.
  HANDLE mixed[2] = {reuse.get(), closed};
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
  std::free(heap);
}

TEST(Handles, CloseDuringAWaitLeavesTheObjectToTheWaiter) {
  HANDLE original = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(original, nullptr);
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  DWORD result = WAIT_FAILED;
  std::thread waiter([&] { result = WaitForSingleObject(original, INFINITE); });
  AwaitWaiters(copy, 1);
  ASSERT_TRUE(CloseHandle(original));
  EXPECT_EQ(WaitForSingleObject(original, 0), WAIT_FAILED);
  ASSERT_TRUE(SetEvent(copy));
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);

  // Closing the last handle while a timed wait runs: the wait simply times out.
  HANDLE lone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<DWORD> timed{WAIT_FAILED};
  std::thread timed_waiter([&] { timed = WaitForSingleObject(lone, 50); });
  while (KernelObjectWaiters(lone) == 0 && timed == WAIT_FAILED) std::this_thread::yield();
  CloseHandle(lone);
  timed_waiter.join();
  EXPECT_TRUE(timed.load() == WAIT_TIMEOUT || timed.load() == WAIT_FAILED);
  EXPECT_TRUE(CloseHandle(copy));
}

TEST(Handles, DuplicateCloseSource) {
  HANDLE source = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE target = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &target, 0, FALSE,
                              DUPLICATE_CLOSE_SOURCE));
  EXPECT_FALSE(CloseHandle(source));
  EXPECT_EQ(WaitForSingleObject(target, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(target));
  EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &target, 0, FALSE,
                               0));
}

DWORD BlockUntilSet(void* event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  return 42;
}

DWORD ReportId(void* out) {
  *static_cast<DWORD*>(out) = GetCurrentThreadId();
  return 7;
}

TEST(ThreadHandles, SignalledWhenTheThreadEnds) {
  ScopedHandle go = NewEvent(true, false);
  DWORD tid = 0;
  ScopedHandle thread(CreateThread(nullptr, 0, &BlockUntilSet, go.get(), 0, &tid));
  ASSERT_TRUE(thread);
  EXPECT_NE(tid, 0u);
  EXPECT_EQ(GetThreadId(thread.get()), tid);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, DWORD(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);
  EXPECT_FALSE(SetEvent(thread.get()));  // not an event
  SetEvent(go.get());
  EXPECT_EQ(WaitForSingleObject(thread.get(), INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 42u);

  DWORD seen = 0;
  ScopedHandle second(CreateThread(nullptr, 256 * 1024, &ReportId, &seen, 0, &tid));
  ASSERT_TRUE(second);
  EXPECT_EQ(WaitForSingleObject(second.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(seen, tid);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
}

TEST(ThreadHandles, ClosingTheHandleDoesNotDisturbTheThread) {
  ScopedHandle go = NewEvent(true, false);
  HANDLE thread = CreateThread(nullptr, 0, &BlockUntilSet, go.get(), 0, nullptr);
  ASSERT_NE(thread, nullptr);
  HANDLE watch = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &watch, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  EXPECT_TRUE(CloseHandle(thread));
  SetEvent(go.get());
  EXPECT_EQ(WaitForSingleObject(watch, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(watch));
}

TEST(CriticalSections, AreRecursiveAndExcludeOtherThreads) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));  // the owner may enter again
  bool other_got_it = true;
  std::thread([&] { other_got_it = TryEnterCriticalSection(&cs) != FALSE; }).join();
  EXPECT_FALSE(other_got_it);
  LeaveCriticalSection(&cs);
  std::thread([&] { other_got_it = TryEnterCriticalSection(&cs) != FALSE; }).join();
  EXPECT_FALSE(other_got_it);  // still held once
  LeaveCriticalSection(&cs);
  std::thread([&] {
    other_got_it = TryEnterCriticalSection(&cs) != FALSE;
    if (other_got_it) LeaveCriticalSection(&cs);
  }).join();
  EXPECT_TRUE(other_got_it);
  // A Leave by a thread that does not own the section changes nothing.
  EnterCriticalSection(&cs);
  std::thread([&] { LeaveCriticalSection(&cs); }).join();
  std::thread([&] { other_got_it = TryEnterCriticalSection(&cs) != FALSE; }).join();
  EXPECT_FALSE(other_got_it);
  LeaveCriticalSection(&cs);
  DeleteCriticalSection(&cs);
}

TEST(CriticalSections, SerialiseUpdatesFromManyThreads) {
  CriticalSection cs;
  long counter = 0;  // deliberately not atomic: only the lock protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        CriticalSectionLock outer(cs);
        CriticalSectionLock inner(cs);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

TEST(Stress, SignalWaitAndCloseFromManyThreads) {
  // Handles come and go while other threads signal and wait on copies of
  // them; the sanitizer builds check that nothing is touched after its end.
  ScopedHandle shared = NewEvent(false, false);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        HANDLE mine = nullptr;
        DuplicateHandle(GetCurrentProcess(), shared.get(), GetCurrentProcess(), &mine, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        HANDLE own = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE pair[2] = {mine, own};
        WaitForMultipleObjects(2, pair, FALSE, 1);
        SetEvent(mine);
        CloseHandle(mine);
        CloseHandle(own);
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    SetEvent(shared.get());
    WaitForSingleObject(shared.get(), 0);
  }
  stop = true;
  for (auto& t : threads) t.join();
}

}  // namespace

namespace {

TEST(Interlocked, CountsFromManyThreadsAndReportsWindowsResults) {
  volatile LONG count = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        InterlockedIncrement(&count);
        InterlockedExchangeAdd(&count, 2);
        InterlockedDecrement(&count);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(count, 80000);

  volatile LONG v = 5;
  EXPECT_EQ(InterlockedIncrement(&v), 6);
  EXPECT_EQ(InterlockedDecrement(&v), 5);
  EXPECT_EQ(InterlockedExchange(&v, 9), 5);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);  // no match: unchanged
  EXPECT_EQ(v, 9);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
  EXPECT_EQ(v, 1);
}

}  // namespace
