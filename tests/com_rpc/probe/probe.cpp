// The RPC probe module (libkrtestrpc.so): a class for every marshalling case
// the cross-process tests exercise (see probe.idl), with the module's proxy
// file built by the same toolkit piece halvex uses.
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "platform/com/bstr.h"
#include "platform/com/proxystub.h"
#include "platform/com/server.h"
#include "platform/com/variant.h"
#include "probe.h"

namespace {

using krsoap::com::BstrToUtf8;

class CRpcValue : public krsoap::com::ObjectRoot, public krsoap::com::DispatchImpl<IRpcValue, &LIBID_KRRpcProbeLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CRpcValue)
    KR_INTERFACE_ENTRY(IRpcValue)
    KR_INTERFACE_ENTRY2(IDispatch, IRpcValue)
  KR_END_INTERFACE_MAP()

  HRESULT get_Text(BSTR* out) override {
    if (!out) return E_POINTER;
    std::lock_guard lock(mu_);
    *out = SysAllocStringLen(text_.data(), static_cast<UINT>(text_.size()));
    return S_OK;
  }
  HRESULT put_Text(BSTR text) override {
    std::lock_guard lock(mu_);
    text_ = std::u16string(krsoap::com::BstrView(text));
    return S_OK;
  }

 private:
  std::mutex mu_;
  std::u16string text_;
};

HRESULT NewValue(const std::u16string& text, IRpcValue** out) {
  krsoap::com::ComObject<CRpcValue>* v = nullptr;
  HRESULT hr = krsoap::com::ComObject<CRpcValue>::CreateInstance(&v);
  if (FAILED(hr)) return hr;
  BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  v->put_Text(b);
  SysFreeString(b);
  *out = static_cast<IRpcValue*>(v);
  return S_OK;
}

class CRpcProbe : public krsoap::com::ObjectRoot, public IRpcProbe2 {
 public:
  KR_BEGIN_INTERFACE_MAP(CRpcProbe)
    KR_INTERFACE_ENTRY(IRpcProbe2)
    KR_INTERFACE_ENTRY(IRpcProbe)
  KR_END_INTERFACE_MAP()

  HRESULT Scalars(CHAR c, BYTE b, SHORT s, USHORT us, LONG l, ULONG ul, INT i, UINT ui, LONGLONG h, FLOAT f, DOUBLE d,
                  VARIANT_BOOL vb, SCODE sc, DATE dt, CY cy, BSTR* text) override {
    if (!text) return E_POINTER;
    char buf[512];
    std::snprintf(buf, sizeof buf, "%d %u %d %u %ld %lu %d %u %lld %.9g %.17g %d %08X %.17g %lld", c, b, s, us,
                  static_cast<long>(l), static_cast<unsigned long>(ul), i, ui, static_cast<long long>(h), f, d, vb,
                  static_cast<unsigned>(sc), dt, static_cast<long long>(cy.int64));
    *text = krsoap::com::AllocBstrFromUtf8(buf);
    return S_OK;
  }
  HRESULT Echo(BSTR text, VARIANT v, BSTR* copy, VARIANT* vcopy, LONG* counter, BSTR* inout, LONG* length) override {
    if (!copy || !vcopy || !counter || !inout || !length) return E_POINTER;
    *copy = krsoap::com::AllocBstrFromUtf8(BstrToUtf8(text) + "!");
    VariantInit(vcopy);
    HRESULT hr = VariantCopy(vcopy, &v);
    if (FAILED(hr)) return hr;
    *counter = static_cast<LONG>(static_cast<uint32_t>(*counter) + 1u);
    std::string old = *inout ? BstrToUtf8(*inout) : "<null>";
    SysFreeString(*inout);
    *inout = krsoap::com::AllocBstrFromUtf8(old + "+");
    *length = static_cast<LONG>(SysStringLen(text));
    return S_OK;
  }
  HRESULT MakeValue(BSTR text, IRpcValue** value) override {
    if (!value) return E_POINTER;
    return NewValue(std::u16string(krsoap::com::BstrView(text)), value);
  }
  HRESULT ReadValue(IRpcValue* value, BSTR* text) override {
    if (!value || !text) return E_POINTER;
    return value->get_Text(text);
  }
  HRESULT WriteValue(IRpcValue* value, BSTR text) override {
    if (!value) return E_POINTER;
    return value->put_Text(text);
  }
  HRESULT Swap(IRpcValue** value) override {
    if (!value) return E_POINTER;
    std::u16string old = u"<null>";
    if (*value) {
      BSTR b = nullptr;
      HRESULT hr = (*value)->get_Text(&b);
      if (FAILED(hr)) return hr;
      old = std::u16string(krsoap::com::BstrView(b));
      SysFreeString(b);
      (*value)->Release();
      *value = nullptr;
    }
    return NewValue(u"swapped " + old, value);
  }
  // Leaves a mark ($KRSOAP_HOME/probe-blocked) so that a test knows the call
  // has arrived, then sleeps.
  HRESULT Block(LONG ms) override {
    if (const char* home = std::getenv("KRSOAP_HOME")) {
      if (FILE* f = std::fopen((std::string(home) + "/probe-blocked").c_str(), "w")) std::fclose(f);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<LONG>(ms, 120000)));
    return S_OK;
  }
  HRESULT Fail(LONG hr, LONG* written) override {
    if (written) *written = 99;
    return static_cast<HRESULT>(hr);
  }
  HRESULT Twice(LONG v, LONG* r) override {
    if (!r) return E_POINTER;
    *r = 2 * v;
    return S_OK;
  }
};

}  // namespace

KR_BEGIN_OBJECT_MAP(kProbeObjects)
  KR_OBJECT_ENTRY(CLSID_RpcProbe, CRpcProbe, 102)
  KR_OBJECT_ENTRY(CLSID_RpcValue, CRpcValue, 103)
KR_END_OBJECT_MAP()

KR_PROXY_FILE(kProbeProxyFile, IID_IRpcProbe, &kr_desc_IRpcValue, &kr_desc_IRpcProbe, &kr_desc_IRpcProbe2)

KR_SERVER_MODULE(kProbeObjects, &LIBID_KRRpcProbeLib, &kProbeProxyFile)
