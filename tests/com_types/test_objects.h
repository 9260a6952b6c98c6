// Small real COM objects for the core-type tests: one that answers only
// IUnknown and one that also answers IDispatch and has a default value.
// Both count their references atomically so ownership rules can be checked.
#pragma once

#include <atomic>

#include "platform/com/com.h"

namespace krsoap::test {

class PlainObject : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }  // lives on the test's stack
  ULONG refs() const { return refs_; }

 private:
  std::atomic<ULONG> refs_{1};
};

// Its default member (DISPID_VALUE, property get) returns the I4 `value`.
class ValueObject : public IDispatch {
 public:
  explicit ValueObject(LONG value) : value_(value) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                 UINT*) override {
    if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    if (params == nullptr || params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    if (result == nullptr) return E_POINTER;
    ++value_reads;
    VariantInit(result);
    result->vt = VT_I4;
    result->lVal = value_;
    return S_OK;
  }
  ULONG refs() const { return refs_; }
  int value_reads = 0;

 private:
  std::atomic<ULONG> refs_{1};
  LONG value_;
};

}  // namespace krsoap::test
