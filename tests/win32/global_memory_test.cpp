// Global memory blocks: movable handles that survive reallocation, zeroed
// growth, lock counts, huge sizes and bad handles.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/memory/global_memory.h"
#include "platform/sync/event.h"
#include "platform/win32/error_codes.h"
#include "platform/win32/last_error.h"

using krsoap::platform::GlobalBlock;
using krsoap::platform::GlobalLockGuard;
using krsoap::platform::kMaxGlobalBlock;

namespace {

bool AllZero(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

TEST(GlobalMemory, MessageBufferGrowsUnderTheSameHandleWithZeroedTail) {
  // The memory stream's pattern: data plus one zero byte, grown by appends.
  GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 6));
  ASSERT_TRUE(block);
  EXPECT_EQ(GlobalSize(block.get()), 6u);
  {
    GlobalLockGuard lock(block.get());
    ASSERT_NE(lock.data(), nullptr);
    EXPECT_TRUE(AllZero(lock.as<char>(), 6));
    std::memcpy(lock.data(), "hello", 5);
  }
  // Grow far enough that the memory must move.
  for (SIZE_T size = 6; size < 100000; size = size * 3 + 1) {
    SIZE_T grown = size * 3 + 1;
    ASSERT_EQ(GlobalReAlloc(block.get(), grown, GMEM_ZEROINIT), block.get());
    ASSERT_EQ(GlobalSize(block.get()), grown);
    GlobalLockGuard lock(block.get());
    EXPECT_EQ(std::memcmp(lock.data(), "hello", 6), 0);
    EXPECT_TRUE(AllZero(lock.as<char>() + size, grown - size)) << grown;
    std::memset(lock.as<char>() + 6, 'x', size - 6);
    std::memset(lock.as<char>() + 6, 0, size - 6);
  }
  // Shrink, then grow again: the bytes that came back must be zero too.
  SIZE_T big = GlobalSize(block.get());
  {
    GlobalLockGuard lock(block.get());
    std::memset(lock.data(), 'y', big);
  }
  ASSERT_EQ(GlobalReAlloc(block.get(), 10, 0), block.get());
  ASSERT_EQ(GlobalReAlloc(block.get(), 40, 0), block.get());
  GlobalLockGuard lock(block.get());
  EXPECT_EQ(lock.as<char>()[9], 'y');
  EXPECT_TRUE(AllZero(lock.as<char>() + 10, 30));
}

TEST(GlobalMemory, LockCountsAndUnlockResults) {
  HGLOBAL h = GlobalAlloc(GHND, 16);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 0u);
  void* a = GlobalLock(h);
  void* b = GlobalLock(h);
  EXPECT_EQ(a, b);
  EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 2u);
  EXPECT_EQ(GlobalHandle(a), h);
  EXPECT_TRUE(GlobalUnlock(h));  // still locked once
  SetLastError(12345);
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_LOCKED));
  EXPECT_EQ(GlobalFree(h), nullptr);
}

TEST(GlobalMemory, LockedMovableBlockOnlyResizesInPlace) {
  GlobalBlock block(GlobalAlloc(GHND, 32));
  char* p = static_cast<char*>(GlobalLock(block.get()));
  ASSERT_NE(p, nullptr);
  // Growth beyond the block's room would move memory the caller is using.
  SetLastError(0);
  EXPECT_EQ(GlobalReAlloc(block.get(), 1 << 20, GMEM_ZEROINIT), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(GlobalSize(block.get()), 32u);
  // Shrinking in place is fine and keeps the address.
  EXPECT_EQ(GlobalReAlloc(block.get(), 8, 0), block.get());
  EXPECT_EQ(GlobalLock(block.get()), p);
  GlobalUnlock(block.get());
  // With GMEM_MOVEABLE the caller allows the move.
  EXPECT_EQ(GlobalReAlloc(block.get(), 1 << 20, GMEM_MOVEABLE), block.get());
  GlobalUnlock(block.get());
  EXPECT_EQ(GlobalSize(block.get()), SIZE_T(1) << 20);
}

TEST(GlobalMemory, FixedBlocksAreTheirOwnAddress) {
  HGLOBAL h = GlobalAlloc(GPTR, 24);
  ASSERT_NE(h, nullptr);
  // Aligned, so an address never looks like a movable block's handle.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(h) & 0xF, 0u);
  EXPECT_EQ(GlobalLock(h), h);
  EXPECT_TRUE(AllZero(static_cast<char*>(h), 24));
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 0u);
  // Growing in place cannot work; moving gives a new handle.
  EXPECT_EQ(GlobalReAlloc(h, 4096, 0), nullptr);
  std::memcpy(h, "fixed", 6);
  HGLOBAL moved = GlobalReAlloc(h, 4096, GMEM_MOVEABLE | GMEM_ZEROINIT);
  ASSERT_NE(moved, nullptr);
  EXPECT_STREQ(static_cast<char*>(moved), "fixed");
  EXPECT_TRUE(AllZero(static_cast<char*>(moved) + 24, 4096 - 24));
  if (moved != h) {
    EXPECT_EQ(GlobalFree(h), h);  // the old address is no block any more
  }
  EXPECT_EQ(GlobalFree(moved), nullptr);

  HGLOBAL empty_fixed = GlobalAlloc(GMEM_FIXED, 0);
  ASSERT_NE(empty_fixed, nullptr);
  EXPECT_EQ(GlobalSize(empty_fixed), 0u);
  GlobalFree(empty_fixed);
}

TEST(GlobalMemory, ZeroSizedMovableBlockIsDiscardedUntilGrown) {
  GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE, 0));
  ASSERT_TRUE(block);
  EXPECT_EQ(GlobalLock(block.get()), nullptr);
  EXPECT_NE(GlobalFlags(block.get()) & GMEM_DISCARDED, 0u);
  ASSERT_EQ(GlobalReAlloc(block.get(), 5, GMEM_ZEROINIT), block.get());
  GlobalLockGuard lock(block.get());
  ASSERT_NE(lock.data(), nullptr);
  EXPECT_TRUE(AllZero(lock.as<char>(), 5));
}

TEST(GlobalMemory, HugeSizesFailCleanly) {
  const SIZE_T huge[] = {kMaxGlobalBlock + 1, SIZE_T(1) << 40, SIZE_MAX, SIZE_MAX - 15};
  for (SIZE_T size : huge) {
    SetLastError(0);
    EXPECT_EQ(GlobalAlloc(GHND, size), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(GlobalAlloc(GPTR, size), nullptr);
  }
  GlobalBlock block(GlobalAlloc(GHND, 100));
  {
    GlobalLockGuard lock(block.get());
    std::memset(lock.data(), 'k', 100);
  }
  for (SIZE_T size : huge) {
    SetLastError(0);
    EXPECT_EQ(GlobalReAlloc(block.get(), size, GMEM_ZEROINIT), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  }
  // The failed reallocations left the block as it was.
  EXPECT_EQ(GlobalSize(block.get()), 100u);
  GlobalLockGuard lock(block.get());
  EXPECT_EQ(lock.as<char>()[99], 'k');
}

TEST(GlobalMemory, BadHandlesFailWithoutTouchingMemory) {
  HGLOBAL freed = GlobalAlloc(GHND, 8);
  ASSERT_EQ(GlobalFree(freed), nullptr);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int on_stack = 0;
  HGLOBAL bad[] = {freed, reinterpret_cast<HGLOBAL>(uintptr_t(0x7778)), &on_stack, event,
                   INVALID_HANDLE_VALUE};
  for (HGLOBAL h : bad) {
    SetLastError(0);
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GlobalSize(h), 0u);
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GlobalReAlloc(h, 16, GMEM_ZEROINIT), nullptr);
    EXPECT_EQ(GlobalFlags(h), GMEM_INVALID_HANDLE);
    EXPECT_EQ(GlobalFree(h), h);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  }
  // A locked address is not a handle of a movable block.
  GlobalBlock block(GlobalAlloc(GHND, 8));
  void* p = GlobalLock(block.get());
  EXPECT_EQ(GlobalFree(p), p);
  GlobalUnlock(block.get());
  EXPECT_EQ(GlobalFree(nullptr), nullptr);
  CloseHandle(event);
}

TEST(GlobalMemory, ConcurrentAllocReallocFree) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        HGLOBAL h = GlobalAlloc(GHND, 1 + (i % 7));
        char* p = static_cast<char*>(GlobalLock(h));
        if (!p) {
          ++failures;
          continue;
        }
        p[0] = char('a' + t);
        GlobalUnlock(h);
        if (!GlobalReAlloc(h, 4096 + i, GMEM_ZEROINIT)) ++failures;
        p = static_cast<char*>(GlobalLock(h));
        if (!p || p[0] != char('a' + t) || p[4095 + i] != 0) ++failures;
        GlobalUnlock(h);
        if (GlobalFree(h) != nullptr) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
