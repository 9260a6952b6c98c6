// Global memory blocks over the C heap (see global_memory.h).
//
// One mutex guards the block table and every block's size, address and lock
// count, so concurrent calls on one block see a consistent state. Blocks are
// looked up by handle (movable) or by address (fixed); every block is also
// indexed by its current address for GlobalHandle.
#include "platform/memory/global_memory.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/win32/error_codes.h"
#include "platform/win32/handle_table.h"
#include "platform/win32/last_error.h"

namespace krsoap::platform {
namespace {

struct Block {
  char* data = nullptr;  // nullptr when discarded
  SIZE_T size = 0;
  SIZE_T capacity = 0;
  unsigned locks = 0;
  bool movable = false;
  HGLOBAL handle = nullptr;
};

SIZE_T RoundCapacity(SIZE_T bytes) { return bytes == 0 ? 16 : (bytes + 15) & ~SIZE_T(15); }

class GlobalHeap {
 public:
  std::mutex mutex;

  // With the mutex held.
  std::shared_ptr<Block> Lookup(HGLOBAL handle) {
    if (!handle) return nullptr;
    if (movable_.Owns(handle)) return movable_.Find(handle);
    auto it = by_address_.find(handle);
    if (it == by_address_.end() || it->second->movable) return nullptr;
    return it->second;
  }

  // Registers a new block; returns its handle or nullptr (table full).
  HGLOBAL Add(const std::shared_ptr<Block>& block) {
    if (block->movable) {
      block->handle = movable_.Insert(block);
      if (!block->handle) return nullptr;
    } else {
      block->handle = block->data;
    }
    if (block->data) by_address_[block->data] = block;
    return block->handle;
  }

  void Remove(const std::shared_ptr<Block>& block) {
    if (block->data) by_address_.erase(block->data);
    if (block->movable) movable_.Remove(block->handle);
  }

  // Records that a block's memory moved from `old_data` to its new address.
  void Moved(const std::shared_ptr<Block>& block, const char* old_data) {
    if (old_data) by_address_.erase(old_data);
    if (block->data) by_address_[block->data] = block;
  }

  HGLOBAL HandleOf(const void* memory) {
    auto it = by_address_.find(memory);
    return it == by_address_.end() ? nullptr : it->second->handle;
  }

 private:
  HandleTable<Block> movable_{0x8};
  std::unordered_map<const void*, std::shared_ptr<Block>> by_address_;
};

GlobalHeap& Heap() {
  static auto* heap = new GlobalHeap;  // outlives static destructors
  return *heap;
}

// New zero-filled memory, 16-byte aligned: a fixed block's address is its
// handle, and the alignment keeps the low four bits clear so that it can
// never be mistaken for a movable block's handle (whose tag lives there),
// whichever allocator the process runs with.
char* AllocateZeroed(SIZE_T capacity) {
  auto* data = static_cast<char*>(std::aligned_alloc(16, capacity));
  if (data) std::memset(data, 0, capacity);
  return data;
}

// Resizes a block's memory to `bytes`, in place when `may_move` is false.
// Growth is zero-filled. Returns false (block untouched) when that fails.
bool Resize(Block& block, SIZE_T bytes, bool may_move) {
  if (block.data && bytes <= block.capacity) {
    if (bytes > block.size) std::memset(block.data + block.size, 0, bytes - block.size);
    block.size = bytes;
    return true;
  }
  if (!may_move && block.data) return false;
  SIZE_T capacity = RoundCapacity(bytes);
  char* data = AllocateZeroed(capacity);
  if (!data) return false;
  if (block.data) {
    std::memcpy(data, block.data, block.size);
    std::free(block.data);
  }
  block.data = data;
  block.size = bytes;
  block.capacity = capacity;
  return true;
}

}  // namespace
}  // namespace krsoap::platform

using krsoap::platform::Block;
using krsoap::platform::Heap;

extern "C" HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  using namespace krsoap::platform;
  if (flags & GMEM_MODIFY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (bytes > kMaxGlobalBlock) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    auto block = std::make_shared<Block>();
    block->movable = (flags & GMEM_MOVEABLE) != 0;
    // A movable block of 0 bytes starts out discarded, as on Windows.
    if (!(block->movable && bytes == 0)) {
      block->capacity = RoundCapacity(bytes);
      block->data = AllocateZeroed(block->capacity);
      if (!block->data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
      }
      block->size = bytes;
    }
    std::lock_guard<std::mutex> lock(Heap().mutex);
    HGLOBAL handle = Heap().Add(block);
    if (!handle) {
      std::free(block->data);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    return handle;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

extern "C" HGLOBAL GlobalReAlloc(HGLOBAL handle, SIZE_T bytes, UINT flags) {
  using namespace krsoap::platform;
  std::lock_guard<std::mutex> lock(Heap().mutex);
  std::shared_ptr<Block> block = Heap().Lookup(handle);
  if (!block) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (flags & GMEM_MODIFY) return handle;
  if (bytes > kMaxGlobalBlock) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    char* old_data = block->data;
    if (block->movable) {
      if (bytes == 0) {
        // Shrinking a movable block to nothing discards it; a locked block
        // is in use and cannot be.
        if (block->locks) {
          SetLastError(ERROR_NOT_ENOUGH_MEMORY);
          return nullptr;
        }
        std::free(block->data);
        block->data = nullptr;
        block->size = block->capacity = 0;
      } else {
        bool may_move = block->locks == 0 || (flags & GMEM_MOVEABLE);
        if (!Resize(*block, bytes, may_move)) {
          SetLastError(ERROR_NOT_ENOUGH_MEMORY);
          return nullptr;
        }
      }
      Heap().Moved(block, old_data);
      return handle;
    }
    // A fixed block is its address: moving it makes a new handle.
    if (!Resize(*block, bytes, (flags & GMEM_MOVEABLE) != 0)) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    block->handle = block->data;
    Heap().Moved(block, old_data);
    return block->handle;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

extern "C" LPVOID GlobalLock(HGLOBAL handle) {
  using namespace krsoap::platform;
  std::lock_guard<std::mutex> lock(Heap().mutex);
  std::shared_ptr<Block> block = Heap().Lookup(handle);
  if (!block) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!block->movable) return block->data;
  if (!block->data) {
    SetLastError(ERROR_DISCARDED);
    return nullptr;
  }
  ++block->locks;
  return block->data;
}

extern "C" BOOL GlobalUnlock(HGLOBAL handle) {
  using namespace krsoap::platform;
  std::lock_guard<std::mutex> lock(Heap().mutex);
  std::shared_ptr<Block> block = Heap().Lookup(handle);
  if (!block) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!block->movable || block->locks == 0) {
    SetLastError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  if (--block->locks == 0) {
    SetLastError(ERROR_SUCCESS);
    return FALSE;
  }
  return TRUE;
}

extern "C" SIZE_T GlobalSize(HGLOBAL handle) {
  using namespace krsoap::platform;
  std::lock_guard<std::mutex> lock(Heap().mutex);
  std::shared_ptr<Block> block = Heap().Lookup(handle);
  if (!block) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return block->size;
}

extern "C" HGLOBAL GlobalFree(HGLOBAL handle) {
  using namespace krsoap::platform;
  if (!handle) return nullptr;
  std::shared_ptr<Block> block;
  {
    std::lock_guard<std::mutex> lock(Heap().mutex);
    block = Heap().Lookup(handle);
    if (!block) {
      SetLastError(ERROR_INVALID_HANDLE);
      return handle;
    }
    Heap().Remove(block);
  }
  std::free(block->data);
  block->data = nullptr;
  return nullptr;
}

extern "C" UINT GlobalFlags(HGLOBAL handle) {
  using namespace krsoap::platform;
  std::lock_guard<std::mutex> lock(Heap().mutex);
  std::shared_ptr<Block> block = Heap().Lookup(handle);
  if (!block) {
    SetLastError(ERROR_INVALID_HANDLE);
    return GMEM_INVALID_HANDLE;
  }
  UINT flags = block->locks > GMEM_LOCKCOUNT ? GMEM_LOCKCOUNT : block->locks;
  if (block->movable && !block->data) flags |= GMEM_DISCARDED;
  return flags;
}

extern "C" HGLOBAL GlobalHandle(LPCVOID memory) {
  using namespace krsoap::platform;
  std::lock_guard<std::mutex> lock(Heap().mutex);
  HGLOBAL handle = memory ? Heap().HandleOf(memory) : nullptr;
  if (!handle) SetLastError(ERROR_INVALID_HANDLE);
  return handle;
}
