// The test component: two classes built with the in-process server toolkit.
//   KRCalculator     answers IKRCalc (dual, served through IDispatch from the
//                    registered type library) and IDispatch on the same vtable.
//   KRCounterStream  answers IKRCounter (a plain interface) and IStream
//                    through a second base: a small in-memory stream.
// It also carries stand-ins for marshalling code to exercise the module hooks.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "krtestcomp.h"
#include "platform/com/registrar.h"
#include "platform/com/server.h"
#include "platform/com/stream.h"

namespace {

using krsoap::com::BstrView;

class CCalculator : public krsoap::com::ObjectRoot,
                    public krsoap::com::DispatchImpl<IKRCalc, &LIBID_KRTESTCOMPLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CCalculator)
    KR_INTERFACE_ENTRY(IKRCalc)
    KR_INTERFACE_ENTRY2(IDispatch, IKRCalc)
  KR_END_INTERFACE_MAP()

  ~CCalculator() { SysFreeString(name_); }

  HRESULT Add(LONG a, LONG b, LONG* sum) override {
    if (!sum) return E_POINTER;
    *sum = static_cast<LONG>(static_cast<int64_t>(a) + b);
    return S_OK;
  }
  HRESULT Scale(double value, float factor, SHORT times, double* result) override {
    if (!result) return E_POINTER;
    *result = value * factor * times;
    return S_OK;
  }
  HRESULT Concat(BSTR left, BSTR right, BSTR* joined) override {
    if (!joined) return E_POINTER;
    std::u16string text(BstrView(left));
    text += BstrView(right);
    *joined = krsoap::com::AllocBstr(text);
    return *joined ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT Divide(LONG a, LONG b, LONG* remainder, LONG* quotient) override {
    if (!remainder || !quotient) return E_POINTER;
    if (b == 0) return DISP_E_DIVBYZERO;
    *quotient = a / b;
    *remainder = a % b;
    return S_OK;
  }
  HRESULT get_Name(BSTR* value) override {
    if (!value) return E_POINTER;
    *value = krsoap::com::AllocBstr(BstrView(name_));
    return S_OK;
  }
  HRESULT put_Name(BSTR value) override {
    BSTR copy = krsoap::com::AllocBstr(BstrView(value));
    SysFreeString(name_);
    name_ = copy;
    return S_OK;
  }
  HRESULT get_Count(LONG* value) override {
    if (!value) return E_POINTER;
    *value = count_;
    return S_OK;
  }
  HRESULT put_Count(LONG value) override {
    if (value < 0) return E_INVALIDARG;
    count_ = value;
    return S_OK;
  }
  HRESULT Describe(VARIANT value, BSTR* text) override {
    if (!text) return E_POINTER;
    std::string out = "vt=" + std::to_string(value.vt);
    if (value.vt == VT_I4) out += " i4=" + std::to_string(value.lVal);
    if (value.vt == VT_BSTR) out += " bstr=" + krsoap::com::BstrToUtf8(value.bstrVal);
    if (value.vt == VT_R8) out += " r8=" + std::to_string(value.dblVal);
    *text = krsoap::com::AllocBstrFromUtf8(out);
    return S_OK;
  }
  HRESULT Mix(LONG a, double b, LONG c, double d, LONG e, LONG f, LONG g, VARIANT_BOOL h, double i,
              double* result) override {
    if (!result) return E_POINTER;
    // Positional weights make a misplaced argument show in the result.
    *result = a * 1.0 + b * 10 + c * 100 + d * 1000 + e * 1e4 + f * 1e5 + g * 1e6 + (h ? 1e7 : 0) + i * 1e8;
    return S_OK;
  }
  HRESULT Fail(LONG code) override { return static_cast<HRESULT>(code); }

 private:
  BSTR name_ = nullptr;
  LONG count_ = 0;
};

class CCounterStream : public krsoap::com::ObjectRoot, public IKRCounter, public IStream {
 public:
  KR_BEGIN_INTERFACE_MAP(CCounterStream)
    KR_INTERFACE_ENTRY(IKRCounter)
    KR_INTERFACE_ENTRY(IStream)
    KR_INTERFACE_ENTRY(ISequentialStream)
  KR_END_INTERFACE_MAP()

  // IKRCounter
  HRESULT Increment(LONG* value) override {
    if (!value) return E_POINTER;
    *value = ++counter_;
    return S_OK;
  }
  HRESULT Reset() override {
    counter_ = 0;
    return S_OK;
  }

  // IStream over one growing buffer: writes append, reads consume.
  HRESULT Read(void* pv, ULONG cb, ULONG* read) override {
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    ULONG n = static_cast<ULONG>(std::min<size_t>(cb, data_.size() - pos_));
    if (n) std::memcpy(pv, data_.data() + pos_, n);
    pos_ += n;
    if (read) *read = n;
    return n < cb ? S_FALSE : S_OK;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* written) override {
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    const auto* p = static_cast<const uint8_t*>(pv);
    data_.insert(data_.end(), p, p + cb);
    if (written) *written = cb;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT Stat(STATSTG* stat, DWORD) override {
    if (!stat) return STG_E_INVALIDPOINTER;
    std::memset(stat, 0, sizeof(*stat));
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = data_.size() - pos_;
    return S_OK;
  }
  HRESULT Clone(IStream** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  LONG counter_ = 0;
  std::vector<uint8_t> data_;
  size_t pos_ = 0;
};

}  // namespace

KR_BEGIN_OBJECT_MAP(kObjectMap)
  KR_OBJECT_ENTRY(CLSID_KRCalculator, CCalculator, 102)
  KR_OBJECT_ENTRY(CLSID_KRCounterStream, CCounterStream, 103)
KR_END_OBJECT_MAP()

// Stand-ins for marshalling code a module may carry, to exercise the hooks:
// its class id is IKRCounter's IID (as a proxy/stub class is named after its
// first interface), served ahead of the object map by the counter's factory;
// its registration is a key of its own; KrTestHoldModule plays a live proxy.
namespace {

std::atomic<bool> g_proxy_alive{false};

HRESULT MarshalGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
  if (!IsEqualCLSID(clsid, IID_IKRCounter)) return CLASS_E_CLASSNOTAVAILABLE;
  return krsoap::com::ThisModule().GetClassObject(CLSID_KRCounterStream, iid, ppv);
}

HRESULT MarshalRegister() {
  return krsoap::com::RunRegistryScript(
      "HKCR { NoRemove CLSID { ForceRemove {1178D565-61BD-4B51-92B7-A955D4366074} = s 'PSFactoryBuffer' "
      "{ InprocServer32 = s '%MODULE%' } } }",
      {{"MODULE", krsoap::com::ThisModule().ModulePath()}}, krsoap::com::RegistrarMode::kRegister);
}

HRESULT MarshalUnregister() {
  return krsoap::com::RunRegistryScript(
      "HKCR { NoRemove CLSID { {1178D565-61BD-4B51-92B7-A955D4366074} { InprocServer32 } } }", {},
      krsoap::com::RegistrarMode::kUnregister);
}

bool MarshalCanUnload() { return !g_proxy_alive.load(); }

const krsoap::com::ServerHooks kHooks = {MarshalGetClassObject, MarshalRegister, MarshalUnregister,
                                         MarshalCanUnload};

}  // namespace

extern "C" KR_EXPORT void KrTestHoldModule(BOOL hold) { g_proxy_alive.store(hold != FALSE); }

KR_SERVER_MODULE(kObjectMap, &LIBID_KRTESTCOMPLib, &kHooks)
