// An owning interface pointer for tests: releases what it holds, hands out
// its slot for a call's [out] parameter, and queries another interface.
#pragma once

#include "platform/com/com.h"

namespace krsoap::test {

template <class T>
class Ptr {
 public:
  Ptr() = default;
  explicit Ptr(T* p) : p_(p) {}
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  ~Ptr() { Reset(); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  template <class U>
  HRESULT As(Ptr<U>* out) const {
    return p_->QueryInterface(KrIidOf<U>::value, out->OutVoid());
  }

 private:
  T* p_ = nullptr;
};

}  // namespace krsoap::test
