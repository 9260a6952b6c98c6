// The interpreted proxies and stubs (see proxystub.h): the value codec, the
// generic proxy interpreter, the generic IDispatch marshaller, the stub,
// the proxy buffer, the proxy/stub factory and the proxy file's
// registration.
#include "platform/com/proxystub.h"

#include <memory>
#include <new>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/stddispatch.h"
#include "platform/com/unknown_impl.h"
#include "platform/com/variant.h"
#include "platform/registry/registry.h"
#include "platform/text/convert.h"

namespace krsoap::com {
namespace {

using wire::Reader;
using wire::Writer;

constexpr uint16_t kParamIn = 1;
constexpr uint16_t kParamOut = 2;
constexpr size_t kMaxParams = 32;
constexpr uint32_t kMaxDispArgs = 64;
constexpr uint32_t kMaxNames = 64;
constexpr uint32_t kNullBstr = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// Values.

size_t ScalarSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
    case VT_R4: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_CY:
    case VT_R8:
    case VT_DATE: return 8;
    default: return 0;
  }
}

bool IsSimpleVariantType(VARTYPE vt) { return vt == VT_EMPTY || vt == VT_NULL || vt == VT_BSTR || ScalarSize(vt) != 0; }
bool IsInterfaceType(VARTYPE vt) { return vt == VT_UNKNOWN || vt == VT_DISPATCH; }
// A parameter base type the interpreter carries.
bool IsCarried(VARTYPE vt) { return ScalarSize(vt) || vt == VT_BSTR || vt == VT_VARIANT || IsInterfaceType(vt); }

// UTF-16 with every surrogate paired.
bool WellFormedUtf16(const char16_t* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= n || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

bool WriteBstr(Writer& w, BSTR b) {
  if (!b) {
    w.U32(kNullBstr);
    return true;
  }
  const UINT n = SysStringLen(b);
  if (!WellFormedUtf16(b, n) || size_t{n} * 2 > wire::kMaxMessage) return false;
  w.U32(n * 2);
  for (UINT i = 0; i < n; ++i) w.U16(static_cast<uint16_t>(b[i]));
  return true;
}

bool ReadBstr(Reader& r, BSTR* out) {
  *out = nullptr;
  uint32_t bytes = 0;
  if (!r.U32(&bytes)) return false;
  if (bytes == kNullBstr) return true;
  if (bytes % 2 || bytes > r.left()) return false;
  const uint8_t* p = r.Take(bytes);
  if (!p) return false;
  const size_t n = bytes / 2;
  std::u16string text(n, u'\0');
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
  if (!WellFormedUtf16(text.data(), n)) return false;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(n));
  return *out != nullptr || n == 0;
}

void WriteScalar(Writer& w, VARTYPE vt, const void* p) {
  const size_t n = ScalarSize(vt);
  uint64_t v = 0;
  std::memcpy(&v, p, n);
  for (size_t i = 0; i < n; ++i) w.U8(static_cast<uint8_t>(v >> (8 * i)));
}

bool ReadScalar(Reader& r, VARTYPE vt, void* p) {
  const size_t n = ScalarSize(vt);
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = 0;
    if (!r.U8(&b)) return false;
    v |= static_cast<uint64_t>(b) << (8 * i);
  }
  std::memcpy(p, &v, n);
  return true;
}

// A VARIANT of a simple type: u16 vt, then the value. A VT_BYREF variant of
// a simple type travels as its pointee.
bool WriteVariant(Writer& w, const VARIANT& v) {
  VARTYPE vt = v.vt;
  const void* value = &v.llVal;
  if (vt & VT_BYREF) {
    vt = static_cast<VARTYPE>(vt & ~VT_BYREF);
    if (vt == VT_VARIANT) return v.pvarVal && !(v.pvarVal->vt & VT_BYREF) && WriteVariant(w, *v.pvarVal);
    value = v.byref;
    if (!value || vt == VT_EMPTY || vt == VT_NULL) return false;
  }
  if (!IsSimpleVariantType(vt)) return false;
  w.U16(vt);
  if (vt == VT_BSTR) return WriteBstr(w, *static_cast<const BSTR*>(value));
  if (ScalarSize(vt)) WriteScalar(w, vt, value);
  return true;
}

bool ReadVariant(Reader& r, VARIANT* out) {
  VariantInit(out);
  uint16_t vt = 0;
  if (!r.U16(&vt) || !IsSimpleVariantType(vt)) return false;
  if (vt == VT_BSTR) {
    BSTR b = nullptr;
    if (!ReadBstr(r, &b)) return false;
    out->vt = VT_BSTR;
    out->bstrVal = b;
    return true;
  }
  if (ScalarSize(vt) && !ReadScalar(r, vt, &out->llVal)) return false;
  out->vt = vt;
  return true;
}

// Values of a described parameter type: u16 tag (the type), then the value.
// Interface pointers: u8 present, then u64 object id and the IID.
HRESULT WriteValue(Writer& w, VARTYPE base, const IID* iid, const void* addr, IKrObjectChannel* ch, HRESULT fail) {
  w.U16(base);
  if (ScalarSize(base)) {
    WriteScalar(w, base, addr);
    return S_OK;
  }
  if (base == VT_BSTR) return WriteBstr(w, *static_cast<const BSTR*>(addr)) ? S_OK : fail;
  if (base == VT_VARIANT) return WriteVariant(w, *static_cast<const VARIANT*>(addr)) ? S_OK : fail;
  if (IsInterfaceType(base)) {
    IUnknown* p = *static_cast<IUnknown* const*>(addr);
    if (!p) {
      w.U8(0);
      return S_OK;
    }
    if (!ch || !iid) return fail;
    uint64_t oid = 0;
    HRESULT hr = ch->ExportObject(p, *iid, &oid);
    if (FAILED(hr)) return hr;
    w.U8(1);
    w.U64(oid);
    w.Guid(*iid);
    return S_OK;
  }
  return fail;
}

// Reads a value of a described type into `out` (which then owns it, so
// VariantClear releases it): scalars and BSTRs with vt = the type,
// interfaces as VT_UNKNOWN/VT_DISPATCH, VARIANTs as themselves.
HRESULT ReadValue(Reader& r, VARTYPE base, const IID* iid, VARIANT* out, IKrObjectChannel* ch) {
  VariantInit(out);
  uint16_t tag = 0;
  if (!r.U16(&tag) || tag != base) return RPC_E_INVALID_DATAPACKET;
  if (ScalarSize(base)) {
    if (!ReadScalar(r, base, &out->llVal)) return RPC_E_INVALID_DATAPACKET;
    out->vt = base;
    return S_OK;
  }
  if (base == VT_BSTR) {
    BSTR b = nullptr;
    if (!ReadBstr(r, &b)) return RPC_E_INVALID_DATAPACKET;
    out->vt = VT_BSTR;
    out->bstrVal = b;
    return S_OK;
  }
  if (base == VT_VARIANT) return ReadVariant(r, out) ? S_OK : RPC_E_INVALID_DATAPACKET;
  if (IsInterfaceType(base)) {
    uint8_t present = 0;
    if (!r.U8(&present) || present > 1) return RPC_E_INVALID_DATAPACKET;
    out->vt = base;
    out->punkVal = nullptr;
    if (!present) return S_OK;
    uint64_t oid = 0;
    GUID sent{};
    if (!r.U64(&oid) || !r.Guid(&sent)) return RPC_E_INVALID_DATAPACKET;
    // The reference counts as sent once it is read: hand it to the channel,
    // which releases it to the peer if it cannot make a proxy.
    if (!ch) return RPC_E_INVALID_DATAPACKET;
    void* p = nullptr;
    HRESULT hr = ch->ImportObject(oid, sent, &p);
    if (FAILED(hr)) return hr;
    out->punkVal = static_cast<IUnknown*>(p);
    if (!iid || sent != *iid) return RPC_E_INVALID_DATAPACKET;  // out is cleared by the caller
    return S_OK;
  }
  return RPC_E_INVALID_DATAPACKET;
}

// Moves a decoded value into the caller's storage at `dst`: the size of the
// type, releasing what an [in, out] slot held.
void CommitValue(VARTYPE base, bool in_out, VARIANT* value, void* dst) {
  if (base == VT_VARIANT) {
    if (in_out) VariantClear(static_cast<VARIANT*>(dst));
    std::memcpy(dst, value, sizeof(VARIANT));
  } else if (base == VT_BSTR) {
    if (in_out) SysFreeString(*static_cast<BSTR*>(dst));
    *static_cast<BSTR*>(dst) = value->bstrVal;
  } else if (IsInterfaceType(base)) {
    if (in_out && *static_cast<IUnknown**>(dst)) (*static_cast<IUnknown**>(dst))->Release();
    *static_cast<IUnknown**>(dst) = value->punkVal;
  } else {
    std::memcpy(dst, &value->llVal, ScalarSize(base));
  }
  value->vt = VT_EMPTY;  // ownership moved
}

// Temporaries of one call, cleared on every path out.
struct Temps {
  explicit Temps(size_t n) : v(n) {
    for (auto& x : v) VariantInit(&x);
  }
  ~Temps() {
    for (auto& x : v) VariantClear(&x);
  }
  std::vector<VARIANT> v;
};

class ChannelRef {
 public:
  explicit ChannelRef(IRpcChannelBuffer* ch) : ch_(ch) {}
  ~ChannelRef() {
    if (obj_) obj_->Release();
  }
  IKrObjectChannel* Objects() {
    if (!asked_ && ch_) {
      asked_ = true;
      void* p = nullptr;
      if (SUCCEEDED(ch_->QueryInterface(IID_IKrObjectChannel, &p))) obj_ = static_cast<IKrObjectChannel*>(p);
    }
    return obj_;
  }

 private:
  IRpcChannelBuffer* ch_;
  IKrObjectChannel* obj_ = nullptr;
  bool asked_ = false;
};

// Sends a request body through the channel and gives the reply body.
HRESULT Transact(IRpcChannelBuffer* ch, REFIID iid, uint16_t slot, Writer& body, std::vector<uint8_t>* reply) {
  if (!ch) return CO_E_OBJNOTCONNECTED;
  if (body.size() > wire::kMaxMessage) return RPC_E_CLIENT_CANTMARSHAL_DATA;
  RPCOLEMESSAGE msg{};
  msg.cbBuffer = static_cast<ULONG>(body.size());
  msg.iMethod = slot;
  HRESULT hr = ch->GetBuffer(&msg, iid);
  if (FAILED(hr)) return hr;
  if (body.size()) std::memcpy(msg.Buffer, body.buffer().data(), body.size());
  ULONG status = 0;
  hr = ch->SendReceive(&msg, &status);
  if (SUCCEEDED(hr)) {
    const auto* b = static_cast<const uint8_t*>(msg.Buffer);
    reply->assign(b, b + (b ? msg.cbBuffer : 0));
  }
  ch->FreeBuffer(&msg);
  return hr;
}

// Puts a reply body into the channel's reply buffer.
HRESULT Reply(RPCOLEMESSAGE* msg, IRpcChannelBuffer* ch, REFIID iid, Writer& w) {
  if (w.size() > wire::kMaxMessage) return RPC_E_SERVER_CANTMARSHAL_DATA;
  msg->cbBuffer = static_cast<ULONG>(w.size());
  HRESULT hr = ch->GetBuffer(msg, iid);
  if (FAILED(hr)) return hr;
  if (w.size()) std::memcpy(msg->Buffer, w.buffer().data(), w.size());
  return S_OK;
}

// ---------------------------------------------------------------------------
// The proxy side of described methods.

HRESULT MethodProxyCall(ProxyCore* core, const MethodDesc& m, void** args) {
  if (m.param_count > kMaxParams) return RPC_E_CLIENT_CANTMARSHAL_DATA;
  IRpcChannelBuffer* raw = core->channel.load(std::memory_order_acquire);
  if (!raw) return CO_E_OBJNOTCONNECTED;
  ChannelRef ch(raw);
  Writer w;
  for (uint16_t i = 0; i < m.param_count; ++i) {
    const ParamDesc& p = m.params[i];
    const VARTYPE base = static_cast<VARTYPE>(p.vt & ~VT_BYREF);
    if (!IsCarried(base)) return RPC_E_CLIENT_CANTMARSHAL_DATA;
    const void* addr = args[i];
    if (p.vt & VT_BYREF) {
      addr = *static_cast<void* const*>(args[i]);
      if (!addr) return RPC_X_NULL_REF_POINTER;
      if (!(p.flags & kParamIn) && (p.flags & kParamOut)) continue;  // pure [out]: nothing travels
    }
    HRESULT hr = WriteValue(w, base, p.iid, addr, IsInterfaceType(base) ? ch.Objects() : nullptr,
                            RPC_E_CLIENT_CANTMARSHAL_DATA);
    if (FAILED(hr)) return hr;
  }
  std::vector<uint8_t> reply;
  HRESULT hr = Transact(raw, core->desc->iid, m.slot, w, &reply);
  if (FAILED(hr)) return hr;
  Reader r(reply.data(), reply.size());
  uint32_t result = 0;
  if (!r.U32(&result)) return RPC_E_INVALID_DATAPACKET;
  Temps outs(m.param_count);
  for (uint16_t i = 0; i < m.param_count; ++i) {
    const ParamDesc& p = m.params[i];
    if (!(p.vt & VT_BYREF)) continue;
    const VARTYPE base = static_cast<VARTYPE>(p.vt & ~VT_BYREF);
    hr = ReadValue(r, base, p.iid, &outs.v[i], IsInterfaceType(base) ? ch.Objects() : nullptr);
    if (FAILED(hr)) return hr;
  }
  if (!r.Done()) return RPC_E_INVALID_DATAPACKET;
  for (uint16_t i = 0; i < m.param_count; ++i) {
    const ParamDesc& p = m.params[i];
    if (!(p.vt & VT_BYREF)) continue;
    CommitValue(static_cast<VARTYPE>(p.vt & ~VT_BYREF), (p.flags & kParamIn) != 0, &outs.v[i],
                *static_cast<void**>(args[i]));
  }
  return static_cast<HRESULT>(result);
}

// ---------------------------------------------------------------------------
// The generic IDispatch marshaller (slots 3-6 of a dual interface).

enum DispatchSlot : uint16_t { kGetTypeInfoCount = 3, kGetTypeInfo = 4, kGetIDsOfNames = 5, kInvoke = 6 };

// An Invoke argument: u16 vt (VT_BYREF kept), then the value or pointee.
bool WriteDispArg(Writer& w, const VARIANT& v) {
  w.U16(v.vt);
  if (!(v.vt & VT_BYREF)) {
    if (!IsSimpleVariantType(v.vt)) return false;
    if (v.vt == VT_BSTR) return WriteBstr(w, v.bstrVal);
    if (ScalarSize(v.vt)) WriteScalar(w, v.vt, &v.llVal);
    return true;
  }
  const VARTYPE base = static_cast<VARTYPE>(v.vt & ~VT_BYREF);
  if (!v.byref) return false;
  if (base == VT_VARIANT) {
    if (v.pvarVal->vt & VT_BYREF) return false;
    return WriteVariant(w, *v.pvarVal);
  }
  if (base == VT_BSTR) return WriteBstr(w, *v.pbstrVal);
  if (!ScalarSize(base)) return false;
  WriteScalar(w, base, v.byref);
  return true;
}

// The pointee of a by-reference argument of type `vt`, held in `store`, as
// sent back after the call (read from the stub's own storage, whatever the
// callee did to the argument itself).
bool WriteDispArgPointee(Writer& w, VARTYPE vt, const VARIANT& store) {
  const VARTYPE base = static_cast<VARTYPE>(vt & ~VT_BYREF);
  if (base == VT_VARIANT) return WriteVariant(w, store);
  if (base == VT_BSTR) return WriteBstr(w, store.bstrVal);
  WriteScalar(w, base, &store.llVal);
  return true;
}

// Reads an Invoke argument. A by-reference argument's pointee goes to
// `store` and `arg` points at it.
bool ReadDispArg(Reader& r, VARIANT* arg, VARIANT* store) {
  uint16_t vt = 0;
  if (!r.U16(&vt)) return false;
  if (!(vt & VT_BYREF)) {
    if (!IsSimpleVariantType(vt)) return false;
    if (vt == VT_BSTR) {
      BSTR b = nullptr;
      if (!ReadBstr(r, &b)) return false;
      arg->vt = VT_BSTR;
      arg->bstrVal = b;
      return true;
    }
    if (ScalarSize(vt) && !ReadScalar(r, vt, &arg->llVal)) return false;
    arg->vt = vt;
    return true;
  }
  const VARTYPE base = static_cast<VARTYPE>(vt & ~VT_BYREF);
  if (base == VT_VARIANT) {
    if (!ReadVariant(r, store)) return false;
    arg->vt = vt;
    arg->pvarVal = store;
    return true;
  }
  if (base == VT_BSTR) {
    BSTR b = nullptr;
    if (!ReadBstr(r, &b)) return false;
    store->vt = VT_BSTR;
    store->bstrVal = b;
  } else if (ScalarSize(base)) {
    if (!ReadScalar(r, base, &store->llVal)) return false;
    store->vt = base;
  } else {
    return false;
  }
  arg->vt = vt;
  arg->byref = &store->llVal;
  return true;
}

// Reads the pointee of a by-reference argument `v` into `tmp` (same type).
bool ReadDispArgPointee(Reader& r, const VARIANT& v, VARIANT* tmp) {
  const VARTYPE base = static_cast<VARTYPE>(v.vt & ~VT_BYREF);
  if (base == VT_VARIANT) return ReadVariant(r, tmp);
  if (base == VT_BSTR) {
    BSTR b = nullptr;
    if (!ReadBstr(r, &b)) return false;
    tmp->vt = VT_BSTR;
    tmp->bstrVal = b;
    return true;
  }
  if (!ReadScalar(r, base, &tmp->llVal)) return false;
  tmp->vt = base;
  return true;
}

HRESULT DispatchProxyCall(ProxyCore* core, uint16_t slot, void** args) {
  IRpcChannelBuffer* raw = core->channel.load(std::memory_order_acquire);
  const IID& iid = core->desc->iid;
  Writer w;
  std::vector<uint8_t> reply;
  switch (slot) {
    case kGetTypeInfoCount: {
      UINT* count = *static_cast<UINT**>(args[0]);
      if (!count) return RPC_X_NULL_REF_POINTER;
      HRESULT hr = Transact(raw, iid, slot, w, &reply);
      if (FAILED(hr)) return hr;
      Reader r(reply.data(), reply.size());
      uint32_t result = 0, n = 0;
      if (!r.U32(&result) || !r.U32(&n) || !r.Done()) return RPC_E_INVALID_DATAPACKET;
      *count = n;
      return static_cast<HRESULT>(result);
    }
    case kGetTypeInfo: {
      ITypeInfo** out = *static_cast<ITypeInfo***>(args[2]);
      if (out) *out = nullptr;
      return E_NOTIMPL;  // type information is not marshalled (see proxystub.h)
    }
    case kGetIDsOfNames: {
      const IID& riid = *static_cast<const IID*>(args[0]);
      LPOLESTR* names = *static_cast<LPOLESTR**>(args[1]);
      const UINT count = *static_cast<UINT*>(args[2]);
      const LCID lcid = *static_cast<LCID*>(args[3]);
      DISPID* ids = *static_cast<DISPID**>(args[4]);
      if (count && (!names || !ids)) return RPC_X_NULL_REF_POINTER;
      if (count > kMaxNames) return RPC_E_CLIENT_CANTMARSHAL_DATA;
      w.Guid(riid);
      w.U32(lcid);
      w.U32(count);
      for (UINT i = 0; i < count; ++i) {
        if (!names[i]) return RPC_X_NULL_REF_POINTER;
        size_t n = 0;
        while (names[i][n]) ++n;
        std::u16string name(names[i], n);
        BSTR b = SysAllocStringLen(name.data(), static_cast<UINT>(n));
        bool ok = WriteBstr(w, b);
        SysFreeString(b);
        if (!ok) return RPC_E_CLIENT_CANTMARSHAL_DATA;
      }
      HRESULT hr = Transact(raw, iid, slot, w, &reply);
      if (FAILED(hr)) return hr;
      Reader r(reply.data(), reply.size());
      uint32_t result = 0, n = 0;
      if (!r.U32(&result) || !r.U32(&n) || n != count) return RPC_E_INVALID_DATAPACKET;
      std::vector<int32_t> got(n);
      for (auto& id : got) {
        if (!r.I32(&id)) return RPC_E_INVALID_DATAPACKET;
      }
      if (!r.Done()) return RPC_E_INVALID_DATAPACKET;
      for (UINT i = 0; i < n; ++i) ids[i] = got[i];
      return static_cast<HRESULT>(result);
    }
    case kInvoke: {
      const DISPID member = *static_cast<DISPID*>(args[0]);
      const IID& riid = *static_cast<const IID*>(args[1]);
      const LCID lcid = *static_cast<LCID*>(args[2]);
      const WORD flags = *static_cast<WORD*>(args[3]);
      DISPPARAMS* params = *static_cast<DISPPARAMS**>(args[4]);
      VARIANT* result = *static_cast<VARIANT**>(args[5]);
      EXCEPINFO* excep = *static_cast<EXCEPINFO**>(args[6]);
      UINT* arg_err = *static_cast<UINT**>(args[7]);
      if (!params) return E_INVALIDARG;
      if (params->cArgs > kMaxDispArgs || params->cNamedArgs > params->cArgs) return RPC_E_CLIENT_CANTMARSHAL_DATA;
      if ((params->cArgs && !params->rgvarg) || (params->cNamedArgs && !params->rgdispidNamedArgs))
        return E_INVALIDARG;
      w.U32(static_cast<uint32_t>(member));
      w.Guid(riid);
      w.U32(lcid);
      w.U16(flags);
      w.U32(params->cArgs);
      for (UINT i = 0; i < params->cArgs; ++i) {
        if (!WriteDispArg(w, params->rgvarg[i])) return DISP_E_BADVARTYPE;
      }
      w.U32(params->cNamedArgs);
      for (UINT i = 0; i < params->cNamedArgs; ++i) w.U32(static_cast<uint32_t>(params->rgdispidNamedArgs[i]));
      w.U8(static_cast<uint8_t>((result ? 1 : 0) | (excep ? 2 : 0) | (arg_err ? 4 : 0)));
      HRESULT hr = Transact(raw, iid, slot, w, &reply);
      if (FAILED(hr)) return hr;
      Reader r(reply.data(), reply.size());
      uint32_t rc = 0;
      if (!r.U32(&rc)) return RPC_E_INVALID_DATAPACKET;
      Temps back(params->cArgs);
      for (UINT i = 0; i < params->cArgs; ++i) {
        if ((params->rgvarg[i].vt & VT_BYREF) && !ReadDispArgPointee(r, params->rgvarg[i], &back.v[i]))
          return RPC_E_INVALID_DATAPACKET;
      }
      Temps res(1);
      uint8_t has_result = 0;
      if (!r.U8(&has_result) || has_result > 1 || (has_result && !result)) return RPC_E_INVALID_DATAPACKET;
      if (has_result && !ReadVariant(r, &res.v[0])) return RPC_E_INVALID_DATAPACKET;
      uint8_t has_excep = 0;
      if (!r.U8(&has_excep) || has_excep > 1 || (has_excep && !excep)) return RPC_E_INVALID_DATAPACKET;
      EXCEPINFO ei{};
      struct Free {
        EXCEPINFO* e;
        ~Free() {
          if (!e) return;
          SysFreeString(e->bstrSource);
          SysFreeString(e->bstrDescription);
          SysFreeString(e->bstrHelpFile);
        }
      } free_ei{&ei};
      if (has_excep) {
        uint32_t scode = 0, context = 0;
        if (!r.U16(&ei.wCode) || !r.U32(&scode) || !r.U32(&context) || !ReadBstr(r, &ei.bstrSource) ||
            !ReadBstr(r, &ei.bstrDescription) || !ReadBstr(r, &ei.bstrHelpFile))
          return RPC_E_INVALID_DATAPACKET;
        ei.scode = static_cast<SCODE>(scode);
        ei.dwHelpContext = context;
      }
      uint8_t has_err = 0;
      uint32_t err = 0;
      if (!r.U8(&has_err) || has_err > 1 || (has_err && (!arg_err || !r.U32(&err))) || !r.Done())
        return RPC_E_INVALID_DATAPACKET;
      // Everything read: hand it over.
      for (UINT i = 0; i < params->cArgs; ++i) {
        VARIANT& a = params->rgvarg[i];
        if (!(a.vt & VT_BYREF)) continue;
        const VARTYPE base = static_cast<VARTYPE>(a.vt & ~VT_BYREF);
        CommitValue(base, true, &back.v[i], base == VT_VARIANT ? static_cast<void*>(a.pvarVal) : a.byref);
      }
      if (has_result) {
        *result = res.v[0];
        res.v[0].vt = VT_EMPTY;
      }
      if (has_excep) {
        *excep = ei;
        free_ei.e = nullptr;
      }
      if (has_err) *arg_err = err;
      return static_cast<HRESULT>(rc);
    }
    default: return RPC_S_PROCNUM_OUT_OF_RANGE;
  }
}

// The stub side of the IDispatch part.
HRESULT DispatchStubCall(IDispatch* object, RPCOLEMESSAGE* msg, IRpcChannelBuffer* ch, REFIID iid, Reader& r) {
  Writer w;
  switch (msg->iMethod) {
    case kGetTypeInfoCount: {
      if (!r.Done()) return RPC_E_INVALID_DATAPACKET;
      UINT n = 0;
      HRESULT hr = object->GetTypeInfoCount(&n);
      w.U32(static_cast<uint32_t>(hr));
      w.U32(n);
      return Reply(msg, ch, iid, w);
    }
    case kGetIDsOfNames: {
      GUID riid{};
      uint32_t lcid = 0, count = 0;
      if (!r.Guid(&riid) || !r.U32(&lcid) || !r.U32(&count) || count > kMaxNames) return RPC_E_INVALID_DATAPACKET;
      struct Names {
        std::vector<BSTR> v;
        ~Names() {
          for (BSTR b : v) SysFreeString(b);
        }
      } names;
      for (uint32_t i = 0; i < count; ++i) {
        BSTR b = nullptr;
        if (!ReadBstr(r, &b)) return RPC_E_INVALID_DATAPACKET;
        names.v.push_back(b);
        if (!b) return RPC_E_INVALID_DATAPACKET;
      }
      if (!r.Done()) return RPC_E_INVALID_DATAPACKET;
      std::vector<DISPID> ids(count, DISPID_UNKNOWN);
      HRESULT hr = object->GetIDsOfNames(riid, names.v.data(), count, lcid, ids.data());
      w.U32(static_cast<uint32_t>(hr));
      w.U32(count);
      for (DISPID id : ids) w.U32(static_cast<uint32_t>(id));
      return Reply(msg, ch, iid, w);
    }
    case kInvoke: {
      uint32_t member = 0, lcid = 0, cargs = 0, cnamed = 0;
      GUID riid{};
      uint16_t flags = 0;
      if (!r.U32(&member) || !r.Guid(&riid) || !r.U32(&lcid) || !r.U16(&flags) || !r.U32(&cargs) ||
          cargs > kMaxDispArgs)
        return RPC_E_INVALID_DATAPACKET;
      Temps argv(cargs), store(cargs);
      std::vector<VARTYPE> sent(cargs, VT_EMPTY);
      // A by-reference argument owns nothing itself (its store does).
      auto drop_refs = [&] {
        for (uint32_t i = 0; i < cargs; ++i) {
          if (sent[i] & VT_BYREF) argv.v[i].vt = VT_EMPTY;
        }
      };
      for (uint32_t i = 0; i < cargs; ++i) {
        if (!ReadDispArg(r, &argv.v[i], &store.v[i])) {
          drop_refs();
          return RPC_E_INVALID_DATAPACKET;
        }
        sent[i] = argv.v[i].vt;
      }
      std::vector<DISPID> named;
      uint8_t want = 0;
      if (!r.U32(&cnamed) || cnamed > cargs) {
        drop_refs();
        return RPC_E_INVALID_DATAPACKET;
      }
      named.resize(cnamed);
      for (auto& id : named) {
        if (!r.I32(&id)) {
          drop_refs();
          return RPC_E_INVALID_DATAPACKET;
        }
      }
      if (!r.U8(&want) || want > 7 || !r.Done()) {
        drop_refs();
        return RPC_E_INVALID_DATAPACKET;
      }
      DISPPARAMS params{cargs ? argv.v.data() : nullptr, cnamed ? named.data() : nullptr, cargs, cnamed};
      Temps res(1);
      EXCEPINFO ei{};
      UINT err = 0;
      HRESULT hr = object->Invoke(static_cast<DISPID>(member), riid, lcid, flags, &params, (want & 1) ? &res.v[0] : nullptr,
                                  (want & 2) ? &ei : nullptr, (want & 4) ? &err : nullptr);
      if (ei.pfnDeferredFillIn) ei.pfnDeferredFillIn(&ei);
      struct Free {
        EXCEPINFO* e;
        ~Free() {
          SysFreeString(e->bstrSource);
          SysFreeString(e->bstrDescription);
          SysFreeString(e->bstrHelpFile);
        }
      } free_ei{&ei};
      w.U32(static_cast<uint32_t>(hr));
      bool ok = true;
      drop_refs();
      for (uint32_t i = 0; i < cargs && ok; ++i) {
        if (sent[i] & VT_BYREF) ok = WriteDispArgPointee(w, sent[i], store.v[i]);
      }
      // What the callee may have turned the result into is not always simple.
      if (ok && (want & 1)) {
        w.U8(1);
        ok = WriteVariant(w, res.v[0]);
      } else {
        w.U8(0);
      }
      const bool excep = (want & 2) && hr == DISP_E_EXCEPTION;
      w.U8(excep ? 1 : 0);
      if (ok && excep) {
        w.U16(ei.wCode);
        w.U32(static_cast<uint32_t>(ei.scode));
        w.U32(ei.dwHelpContext);
        ok = WriteBstr(w, ei.bstrSource) && WriteBstr(w, ei.bstrDescription) && WriteBstr(w, ei.bstrHelpFile);
      }
      if (want & 4) {
        w.U8(1);
        w.U32(err);
      } else {
        w.U8(0);
      }
      if (!ok) return RPC_E_SERVER_CANTMARSHAL_DATA;
      return Reply(msg, ch, iid, w);
    }
    default: return RPC_S_PROCNUM_OUT_OF_RANGE;  // GetTypeInfo never travels
  }
}

// ---------------------------------------------------------------------------
// Stub, proxy buffer, factory.

class StubBuffer final : public UnknownImpl<StubBuffer, IRpcStubBuffer, IID_IRpcStubBuffer> {
 public:
  StubBuffer(const InterfaceDesc* desc, std::atomic<long>* live) : desc_(desc), live_(live) { live_->fetch_add(1); }
  ~StubBuffer() {
    Disconnect();
    live_->fetch_sub(1);
  }


  HRESULT Connect(IUnknown* server) override {
    if (!server) return E_INVALIDARG;
    void* p = nullptr;
    HRESULT hr = server->QueryInterface(desc_->iid, &p);
    if (FAILED(hr)) return hr;
    IUnknown* old = object_.exchange(static_cast<IUnknown*>(p));
    if (old) old->Release();
    return S_OK;
  }
  void Disconnect() override {
    if (IUnknown* old = object_.exchange(nullptr)) old->Release();
  }
  HRESULT Invoke(RPCOLEMESSAGE* msg, IRpcChannelBuffer* ch) override {
    if (!msg || !ch) return E_INVALIDARG;
    IUnknown* object = object_.load(std::memory_order_acquire);
    if (!object) return CO_E_OBJNOTCONNECTED;
    if (msg->cbBuffer > wire::kMaxMessage) return RPC_E_INVALID_DATAPACKET;
    Reader r(msg->Buffer, msg->cbBuffer);
    if (msg->iMethod > 0xFFFF || msg->iMethod < 3) return RPC_S_PROCNUM_OUT_OF_RANGE;
    const auto slot = static_cast<uint16_t>(msg->iMethod);
    if (slot < 7 && DerivesFromDispatch(*desc_))
      return DispatchStubCall(static_cast<IDispatch*>(object), msg, ch, desc_->iid, r);
    const MethodDesc* m = FindMethodBySlot(*desc_, slot);
    if (!m) return RPC_S_PROCNUM_OUT_OF_RANGE;
    return InvokeMethod(object, *m, msg, ch, r);
  }
  IRpcStubBuffer* IsIIDSupported(REFIID iid) override {
    if (!IsEqualIID(iid, desc_->iid)) return nullptr;
    AddRef();
    return this;
  }
  ULONG CountRefs() override { return object_.load() ? 1 : 0; }
  HRESULT DebugServerQueryInterface(void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = object_.load();
    return *ppv ? S_OK : E_UNEXPECTED;
  }
  void DebugServerRelease(void*) override {}

 private:
  HRESULT InvokeMethod(IUnknown* object, const MethodDesc& m, RPCOLEMESSAGE* msg, IRpcChannelBuffer* raw, Reader& r) {
    const size_t n = m.param_count;
    if (n > kMaxParams) return RPC_E_SERVER_CANTUNMARSHAL_DATA;
    ChannelRef ch(raw);
    Temps temps(n);
    std::vector<VARIANT> refs(n);  // VT_BYREF carriers pointing into temps
    std::vector<VARIANT*> values(n);
    std::vector<VARTYPE> vts(n);
    for (size_t i = 0; i < n; ++i) {
      const ParamDesc& p = m.params[i];
      const VARTYPE base = static_cast<VARTYPE>(p.vt & ~VT_BYREF);
      if (!IsCarried(base)) return RPC_E_SERVER_CANTUNMARSHAL_DATA;
      const bool byref = (p.vt & VT_BYREF) != 0;
      if (!byref || (p.flags & kParamIn) || !(p.flags & kParamOut)) {
        HRESULT hr = ReadValue(r, base, p.iid, &temps.v[i], IsInterfaceType(base) ? ch.Objects() : nullptr);
        if (FAILED(hr)) return hr;
      } else if (base != VT_VARIANT) {
        temps.v[i].vt = base;  // zeroed storage for the callee to fill
      }
      if (byref) {
        VariantInit(&refs[i]);
        refs[i].vt = p.vt;
        refs[i].byref = base == VT_VARIANT ? static_cast<void*>(&temps.v[i]) : static_cast<void*>(&temps.v[i].llVal);
        values[i] = &refs[i];
        vts[i] = p.vt;
      } else {
        values[i] = &temps.v[i];
        vts[i] = base;
      }
    }
    if (!r.Done()) return RPC_E_INVALID_DATAPACKET;
    const HRESULT result = CallSlotWithValues(object, m.slot, n, vts.data(), values.data());
    Writer w;
    w.U32(static_cast<uint32_t>(result));
    for (size_t i = 0; i < n; ++i) {
      const ParamDesc& p = m.params[i];
      if (!(p.vt & VT_BYREF)) continue;
      const VARTYPE base = static_cast<VARTYPE>(p.vt & ~VT_BYREF);
      HRESULT hr = WriteValue(w, base, p.iid, refs[i].byref, IsInterfaceType(base) ? ch.Objects() : nullptr,
                              RPC_E_SERVER_CANTMARSHAL_DATA);
      if (FAILED(hr)) return hr;
    }
    return Reply(msg, raw, desc_->iid, w);
  }

  const InterfaceDesc* desc_;
  std::atomic<long>* live_;
  std::atomic<IUnknown*> object_{nullptr};
};

// Owns one generated interface proxy; its own IUnknown is not delegated.
class ProxyBuffer final : public UnknownImpl<ProxyBuffer, IRpcProxyBuffer, IID_IRpcProxyBuffer> {
 public:
  ProxyBuffer(const InterfaceDesc* desc, IUnknown* outer, std::atomic<long>* live) : live_(live) {
    core_.desc = desc;
    core_.outer = outer;
    live_->fetch_add(1);
  }
  ~ProxyBuffer() {
    Disconnect();
    if (proxy_) core_.desc->delete_proxy(proxy_);
    live_->fetch_sub(1);
  }
  bool Make() {
    proxy_ = core_.desc->new_proxy ? core_.desc->new_proxy(&core_) : nullptr;
    return proxy_ != nullptr;
  }
  void* Interface() const { return proxy_; }

  HRESULT Connect(IRpcChannelBuffer* channel) override {
    if (!channel) return E_INVALIDARG;
    channel->AddRef();
    if (IRpcChannelBuffer* old = core_.channel.exchange(channel)) old->Release();
    return S_OK;
  }
  void Disconnect() override {
    if (IRpcChannelBuffer* old = core_.channel.exchange(nullptr)) old->Release();
  }

 private:
  std::atomic<long>* live_;
  ProxyCore core_;
  void* proxy_ = nullptr;
};

class PSFactory final : public UnknownImpl<PSFactory, IPSFactoryBuffer, IID_IPSFactoryBuffer> {
 public:
  explicit PSFactory(const ProxyFile* file) : file_(file) { file_->live->fetch_add(1); }
  ~PSFactory() { file_->live->fetch_sub(1); }

  HRESULT CreateProxy(IUnknown* outer, REFIID iid, IRpcProxyBuffer** proxy, void** ppv) override {
    if (!proxy || !ppv) return E_POINTER;
    *proxy = nullptr;
    *ppv = nullptr;
    if (!outer) return E_INVALIDARG;  // a proxy lives inside its proxy manager
    const InterfaceDesc* desc = Find(iid);
    if (!desc) return E_NOINTERFACE;
    auto* buffer = new (std::nothrow) ProxyBuffer(desc, outer, file_->live);
    if (!buffer) return E_OUTOFMEMORY;
    if (!buffer->Make()) {
      buffer->Release();
      return E_OUTOFMEMORY;
    }
    outer->AddRef();  // the interface reference handed out counts on the manager
    *proxy = buffer;
    *ppv = buffer->Interface();
    return S_OK;
  }
  HRESULT CreateStub(REFIID iid, IUnknown* server, IRpcStubBuffer** stub) override {
    if (!stub) return E_POINTER;
    *stub = nullptr;
    const InterfaceDesc* desc = Find(iid);
    if (!desc) return E_NOINTERFACE;
    auto* s = new (std::nothrow) StubBuffer(desc, file_->live);
    if (!s) return E_OUTOFMEMORY;
    if (server) {
      HRESULT hr = s->Connect(server);
      if (FAILED(hr)) {
        s->Release();
        return hr;
      }
    }
    *stub = s;
    return S_OK;
  }

 private:
  const InterfaceDesc* Find(REFIID iid) const {
    for (size_t i = 0; i < file_->count; ++i) {
      if (IsEqualIID(file_->interfaces[i]->iid, iid)) return file_->interfaces[i];
    }
    return nullptr;
  }
  const ProxyFile* file_;
};

// ---------------------------------------------------------------------------
// Registry helpers.

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h) RegCloseKey(h);
  }
};

LONG SetDefault(const std::u16string& key, const std::u16string& value) {
  return RegSetValueW(HKEY_CLASSES_ROOT, key.c_str(), REG_SZ, value.c_str(),
                      static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}

bool KeyIsEmpty(const std::u16string& key) {
  Key k;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k.h) != ERROR_SUCCESS) return false;
  DWORD subkeys = 0, values = 0;
  if (RegQueryInfoKeyW(k.h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                       nullptr) != ERROR_SUCCESS)
    return false;
  return subkeys == 0 && values == 0;
}

// Deletes `parent\name` when it exists and holds nothing.
void DeleteIfEmpty(const std::u16string& parent, const std::u16string& name) {
  if (!KeyIsEmpty(parent + u"\\" + name)) return;
  Key p;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, parent.c_str(), 0, KEY_ALL_ACCESS, &p.h) == ERROR_SUCCESS)
    RegDeleteKeyW(p.h, name.c_str());
}

void DeleteDefaultValue(const std::u16string& key) {
  Key k;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_ALL_ACCESS, &k.h) == ERROR_SUCCESS)
    RegDeleteValueW(k.h, nullptr);
}

void DeleteNamedValue(const std::u16string& key, const char16_t* name) {
  Key k;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_ALL_ACCESS, &k.h) == ERROR_SUCCESS)
    RegDeleteValueW(k.h, name);
}

// IDispatch itself, as the system provides its proxy/stub on Windows: a
// built-in description with IDispatch's four methods only, for a client that
// asks a remote object for plain IDispatch. Its proxy forwards to the one
// interpreter like every generated one.
class DispatchProxy final : public IDispatch {
 public:
  explicit DispatchProxy(ProxyCore* core) : core_(core) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    void* a[] = {const_cast<IID*>(&riid), &ppv};
    return ProxyCall(core_, 0, a);
  }
  ULONG AddRef() override {
    ULONG n = 0;
    void* a[] = {&n};
    ProxyCall(core_, 1, a);
    return n;
  }
  ULONG Release() override {
    ULONG n = 0;
    void* a[] = {&n};
    ProxyCall(core_, 2, a);
    return n;
  }
  HRESULT GetTypeInfoCount(UINT* pctinfo) override {
    void* a[] = {&pctinfo};
    return ProxyCall(core_, 3, a);
  }
  HRESULT GetTypeInfo(UINT i, LCID lcid, ITypeInfo** pp) override {
    void* a[] = {&i, &lcid, &pp};
    return ProxyCall(core_, 4, a);
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    void* a[] = {const_cast<IID*>(&riid), &names, &count, &lcid, &ids};
    return ProxyCall(core_, 5, a);
  }
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* ei,
                 UINT* err) override {
    void* a[] = {&id, const_cast<IID*>(&riid), &lcid, &flags, &params, &result, &ei, &err};
    return ProxyCall(core_, 6, a);
  }

 private:
  ProxyCore* core_;
};

void* NewDispatchProxy(ProxyCore* core) { return static_cast<IDispatch*>(new (std::nothrow) DispatchProxy(core)); }
void DeleteDispatchProxy(void* p) { delete static_cast<DispatchProxy*>(static_cast<IDispatch*>(p)); }

// {00020420-0000-0000-C000-000000000046}: the proxy/stub class Windows registers for IDispatch.
constexpr CLSID kClsidPSDispatch = {0x00020420, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const InterfaceDesc kDispatchDesc = {"IDispatch", IID_IDispatch, 7,      0, nullptr, true, nullptr, &NewDispatchProxy,
                                     &DeleteDispatchProxy};
const InterfaceDesc* const kDispatchInterfaces[] = {&kDispatchDesc};
std::atomic<long> g_dispatch_live{0};
const ProxyFile kDispatchFile = {&kClsidPSDispatch, kDispatchInterfaces, 1, &g_dispatch_live};

}  // namespace

HRESULT ProxyCall(ProxyCore* core, uint16_t slot, void** args) {
  switch (slot) {
    case 0: {
      void** ppv = *static_cast<void***>(args[1]);
      return core->outer->QueryInterface(*static_cast<const IID*>(args[0]), ppv);
    }
    case 1: *static_cast<ULONG*>(args[0]) = core->outer->AddRef(); return S_OK;
    case 2: *static_cast<ULONG*>(args[0]) = core->outer->Release(); return S_OK;
    default: break;
  }
  if (slot < 7 && DerivesFromDispatch(*core->desc)) return DispatchProxyCall(core, slot, args);
  const MethodDesc* m = FindMethodBySlot(*core->desc, slot);
  if (!m) return RPC_S_PROCNUM_OUT_OF_RANGE;
  return MethodProxyCall(core, *m, args);
}

HRESULT ProxyFileGetClassObject(const ProxyFile& file, REFCLSID clsid, REFIID iid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(clsid, *file.psclsid)) return CLASS_E_CLASSNOTAVAILABLE;
  auto* f = new (std::nothrow) PSFactory(&file);
  if (!f) return E_OUTOFMEMORY;
  HRESULT hr = f->QueryInterface(iid, ppv);
  f->Release();
  return hr;
}

HRESULT ProxyFileRegister(const ProxyFile& file, const std::string& module_path) {
  if (module_path.empty()) return E_UNEXPECTED;
  const std::u16string ps = GuidToString(*file.psclsid);
  LONG err = ERROR_SUCCESS;
  for (size_t i = 0; i < file.count && !err; ++i) {
    const InterfaceDesc& d = *file.interfaces[i];
    const std::u16string key = u"Interface\\" + GuidToString(d.iid);
    err = SetDefault(key, platform::Utf8ToUtf16(d.name));
    if (!err) err = SetDefault(key + u"\\NumMethods", platform::Utf8ToUtf16(std::to_string(MethodCountWithBases(d))));
    if (!err) err = SetDefault(key + u"\\ProxyStubClsid32", ps);
  }
  const std::u16string clsid_key = u"CLSID\\" + ps;
  if (!err) err = SetDefault(clsid_key, u"PSFactoryBuffer");
  if (!err) err = SetDefault(clsid_key + u"\\InprocServer32", platform::Utf8ToUtf16(module_path));
  if (!err) {
    Key k;
    err = RegOpenKeyExW(HKEY_CLASSES_ROOT, (clsid_key + u"\\InprocServer32").c_str(), 0, KEY_ALL_ACCESS, &k.h);
    static const char16_t kBoth[] = u"Both";
    if (!err)
      err = RegSetValueExW(k.h, u"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(kBoth), sizeof(kBoth));
  }
  internal::NoteRegistrationChanged();
  return err ? SELFREG_E_CLASS : S_OK;
}

HRESULT ProxyFileUnregister(const ProxyFile& file) {
  const std::u16string ps = GuidToString(*file.psclsid);
  for (size_t i = 0; i < file.count; ++i) {
    const InterfaceDesc& d = *file.interfaces[i];
    const std::u16string iid = GuidToString(d.iid);
    const std::u16string key = u"Interface\\" + iid;
    // Only a ProxyStubClsid32 that still names this proxy file is ours.
    CLSID current{};
    if (FAILED(CoGetPSClsid(d.iid, &current)) || !IsEqualCLSID(current, *file.psclsid)) continue;
    DeleteDefaultValue(key + u"\\ProxyStubClsid32");
    DeleteIfEmpty(key, u"ProxyStubClsid32");
    DeleteDefaultValue(key + u"\\NumMethods");
    DeleteIfEmpty(key, u"NumMethods");
    // The name stays while other entries (a type library's) remain.
    Key k;
    DWORD subkeys = 0;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k.h) == ERROR_SUCCESS &&
        RegQueryInfoKeyW(k.h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) == ERROR_SUCCESS &&
        subkeys == 0)
      DeleteDefaultValue(key);
    DeleteIfEmpty(u"Interface", iid);
  }
  const std::u16string clsid_key = u"CLSID\\" + ps;
  DeleteNamedValue(clsid_key + u"\\InprocServer32", u"ThreadingModel");
  DeleteDefaultValue(clsid_key + u"\\InprocServer32");
  DeleteIfEmpty(clsid_key, u"InprocServer32");
  DeleteDefaultValue(clsid_key);
  DeleteIfEmpty(u"CLSID", ps);
  internal::NoteRegistrationChanged();
  return S_OK;
}

bool ProxyFileCanUnload(const ProxyFile& file) { return file.live->load(std::memory_order_acquire) == 0; }

HRESULT GetPSFactoryBuffer(REFIID iid, IPSFactoryBuffer** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  CLSID ps{};
  HRESULT hr = CoGetPSClsid(iid, &ps);
  if (hr == REGDB_E_IIDNOTREG && IsEqualIID(iid, IID_IDispatch))  // built in, as the system's
    return ProxyFileGetClassObject(kDispatchFile, kClsidPSDispatch, IID_IPSFactoryBuffer, reinterpret_cast<void**>(out));
  if (FAILED(hr)) return hr;
  void* p = nullptr;
  hr = CoGetClassObject(ps, CLSCTX_INPROC_SERVER, nullptr, IID_IPSFactoryBuffer, &p);
  if (FAILED(hr)) return hr;
  *out = static_cast<IPSFactoryBuffer*>(p);
  return S_OK;
}

HRESULT InvokeStubWithBody(IRpcStubBuffer* stub, uint16_t slot, const uint8_t* body, size_t size,
                           IRpcChannelBuffer* channel, std::vector<uint8_t>* reply) {
  RPCOLEMESSAGE msg{};
  msg.Buffer = const_cast<uint8_t*>(body);
  msg.cbBuffer = static_cast<ULONG>(size > wire::kMaxMessage ? wire::kMaxMessage + 1 : size);
  msg.iMethod = slot;
  HRESULT hr = stub->Invoke(&msg, channel);
  if (FAILED(hr)) return hr;
  if (reply) {
    const auto* b = static_cast<const uint8_t*>(msg.Buffer);
    reply->assign(b, b + (b ? msg.cbBuffer : 0));
  }
  channel->FreeBuffer(&msg);
  return hr;
}

}  // namespace krsoap::com

extern "C" {

KR_EXPORT HRESULT CoGetPSClsid(REFIID iid, CLSID* clsid) {
  if (!clsid) return E_INVALIDARG;
  *clsid = CLSID_NULL;
  const std::u16string key = u"Interface\\" + krsoap::com::GuidToString(iid) + u"\\ProxyStubClsid32";
  char16_t text[64] = {};
  LONG cb = sizeof(text);
  if (RegQueryValueW(HKEY_CLASSES_ROOT, key.c_str(), text, &cb) != ERROR_SUCCESS) return REGDB_E_IIDNOTREG;
  auto parsed = krsoap::com::ParseGuid(std::u16string_view(text));
  if (!parsed) return REGDB_E_IIDNOTREG;
  *clsid = *parsed;
  return S_OK;
}

}  // extern "C"
