// IUnknown for the small objects the runtime and its tools make for
// themselves (streams, channels, proxy and stub buffers, factories,
// wrappers): one vtable, an atomic reference count that starts at 1, and a
// QueryInterface that answers IUnknown and the listed interface ids with
// that vtable. Classes of a module's object map use the server toolkit
// instead, which adds aggregation and the module's lock count.
#pragma once

#include <atomic>

#include "platform/com/unknwn.h"

namespace krsoap::com {

// Derived: the final class (deleted when the count reaches 0); Itf: the one
// interface it implements; Answered: the ids QueryInterface accepts besides
// IID_IUnknown.
template <class Derived, class Itf, const IID&... Answered>
class UnknownImpl : public Itf {
 public:
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || (IsEqualIID(iid, Answered) || ...)) {
      *ppv = static_cast<Itf*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

 protected:
  UnknownImpl() = default;
  ~UnknownImpl() = default;

 private:
  std::atomic<ULONG> refs_{1};
};

}  // namespace krsoap::com
