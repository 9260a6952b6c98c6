// A table that turns shared objects into opaque Win32-style handle values.
//
// Handles given to callers are never pointers: a value carries a slot index,
// the slot's generation and a per-table tag. A handle that was closed (its
// slot's generation moved on), forged, or belongs to another table is simply
// not found, so a stale or made-up handle fails with ERROR_INVALID_HANDLE
// instead of touching freed memory. Objects are shared_ptr-owned: removing a
// handle only drops the table's reference, so a thread still using the
// object keeps it alive until it is done.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win32/types.h"

namespace krsoap::platform {

template <typename T>
class HandleTable {
 public:
  // `tag` occupies the low four bits of every handle value; it must be
  // nonzero so that a handle never equals an aligned heap pointer, and
  // different tables use different tags.
  explicit HandleTable(uint32_t tag) : tag_(tag & 0xFu) {}
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // Returns nullptr when the table is full (the caller reports no memory).
  HANDLE Insert(std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else {
      if (slots_.size() >= kMaxSlots) return nullptr;
      slots_.push_back(Slot{});
      index = static_cast<uint32_t>(slots_.size() - 1);
    }
    Slot& slot = slots_[index];
    slot.object = std::move(object);
    return Encode(index, slot.generation);
  }

  std::shared_ptr<T> Find(HANDLE handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Slot* slot = Locate(handle);
    return slot ? slot->object : nullptr;
  }

  // Removes the handle and returns the object it referred to (nullptr if
  // the handle was not valid).
  std::shared_ptr<T> Remove(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot* slot = const_cast<Slot*>(Locate(handle));
    if (!slot) return nullptr;
    std::shared_ptr<T> object = std::move(slot->object);
    slot->object.reset();
    // A new generation makes every copy of the old handle value stale.
    if (++slot->generation == 0) slot->generation = 1;
    free_.push_back(static_cast<uint32_t>(slot - slots_.data()));
    return object;
  }

  // True when `handle` has the shape of one of this table's handles (it
  // may still be stale).
  bool Owns(HANDLE handle) const {
    return (reinterpret_cast<uintptr_t>(handle) & 0xFu) == tag_;
  }

 private:
  static constexpr size_t kMaxSlots = size_t(1) << 24;

  struct Slot {
    std::shared_ptr<T> object;
    uint32_t generation = 1;
  };

  HANDLE Encode(uint32_t index, uint32_t generation) const {
    uint64_t value = (uint64_t(generation) << 32) | (uint64_t(index + 1) << 4) | tag_;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
  }

  const Slot* Locate(HANDLE handle) const {
    uint64_t value = reinterpret_cast<uintptr_t>(handle);
    if ((value & 0xFu) != tag_) return nullptr;
    uint64_t index_plus_one = (value & 0xFFFFFFFFu) >> 4;
    uint32_t generation = static_cast<uint32_t>(value >> 32);
    if (index_plus_one == 0 || index_plus_one > slots_.size()) return nullptr;
    const Slot& slot = slots_[index_plus_one - 1];
    if (slot.generation != generation || !slot.object) return nullptr;
    return &slot;
  }

  const uint32_t tag_;
  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
};

}  // namespace krsoap::platform
