// The fuzz target of the stub's message decoder: one input is one frame as
// it arrives on a connection. The header goes through the transport's
// strict decoder, the body through the interpreted stub of the interface the
// header names, which calls real objects of this process (probe classes
// written here, so that no call sleeps or leaves the process). The channel
// is a test double standing in for a peer connection: it hands out object
// ids for exported interfaces and makes local objects for imported ones.
#include "tests/com_rpc/fuzz/stub_fuzz.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/com/bstr.h"
#include "platform/com/proxystub.h"
#include "platform/com/rpc/frame.h"
#include "platform/com/variant.h"
#include "probe.h"

namespace krsoap::test::fuzz {
namespace {

namespace rpc = krsoap::com::rpc;

template <class Base>
class Unknown : public Base {
 public:
  ULONG AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG Release() override {
    ULONG n = refs_.fetch_sub(1) - 1;
    if (n == 0) delete this;
    return n;
  }

 protected:
  virtual ~Unknown() = default;
  std::atomic<ULONG> refs_{1};
};

class Value final : public Unknown<IRpcValue> {
 public:
  explicit Value(std::u16string text) : text_(std::move(text)) {}
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IRpcValue)) {
      *ppv = static_cast<IRpcValue*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = std::u16string_view(names[i]) == u"Text" ? 1 : DISPID_UNKNOWN;
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* ei,
                 UINT* err) override {
    if (id != 1) return DISP_E_MEMBERNOTFOUND;
    if (flags & DISPATCH_PROPERTYPUT) {
      if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
      VARIANT v;
      VariantInit(&v);
      HRESULT hr = VariantChangeType(&v, &params->rgvarg[0], 0, VT_BSTR);
      if (FAILED(hr)) {
        if (err) *err = 0;
        return hr;
      }
      text_ = std::u16string(krsoap::com::BstrView(v.bstrVal));
      VariantClear(&v);
      return S_OK;
    }
    if (params->cArgs) {
      if (ei) {
        ei->scode = E_INVALIDARG;
        ei->bstrSource = SysAllocString(u"fuzz");
      }
      return DISP_E_EXCEPTION;
    }
    if (result) {
      result->vt = VT_BSTR;
      result->bstrVal = SysAllocStringLen(text_.data(), static_cast<UINT>(text_.size()));
    }
    return S_OK;
  }
  HRESULT get_Text(BSTR* out) override {
    *out = SysAllocStringLen(text_.data(), static_cast<UINT>(text_.size()));
    return S_OK;
  }
  HRESULT put_Text(BSTR text) override {
    text_ = std::u16string(krsoap::com::BstrView(text));
    return S_OK;
  }

 private:
  std::u16string text_;
};

class Probe final : public Unknown<IRpcProbe2> {
 public:
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IRpcProbe) || IsEqualIID(iid, IID_IRpcProbe2)) {
      *ppv = static_cast<IRpcProbe2*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT Scalars(CHAR, BYTE, SHORT, USHORT, LONG, ULONG, INT, UINT, LONGLONG h, FLOAT, DOUBLE d, VARIANT_BOOL, SCODE,
                  DATE, CY, BSTR* text) override {
    *text = krsoap::com::AllocBstrFromUtf8(std::to_string(h) + std::to_string(d));
    return S_OK;
  }
  HRESULT Echo(BSTR text, VARIANT v, BSTR* copy, VARIANT* vcopy, LONG* counter, BSTR* inout, LONG* length) override {
    *copy = SysAllocStringLen(text, SysStringLen(text));
    VariantInit(vcopy);
    VariantCopy(vcopy, &v);
    *counter = static_cast<LONG>(static_cast<uint32_t>(*counter) + 1u);
    SysFreeString(*inout);
    *inout = SysAllocString(u"+");
    *length = static_cast<LONG>(SysStringLen(text));
    return S_OK;
  }
  HRESULT MakeValue(BSTR text, IRpcValue** value) override {
    *value = new Value(std::u16string(krsoap::com::BstrView(text)));
    return S_OK;
  }
  HRESULT ReadValue(IRpcValue* value, BSTR* text) override { return value ? value->get_Text(text) : E_POINTER; }
  HRESULT WriteValue(IRpcValue* value, BSTR text) override { return value ? value->put_Text(text) : E_POINTER; }
  HRESULT Swap(IRpcValue** value) override {
    if (*value) (*value)->Release();
    *value = new Value(u"swapped");
    return S_OK;
  }
  HRESULT Block(LONG) override { return S_OK; }
  HRESULT Fail(LONG hr, LONG* written) override {
    *written = 99;
    return static_cast<HRESULT>(hr);
  }
  HRESULT Twice(LONG v, LONG* r) override {
    *r = static_cast<LONG>(2u * static_cast<uint32_t>(v));
    return S_OK;
  }
};

// Stands in for a peer connection.
class PeerChannel final : public Unknown<IKrObjectChannel> {
 public:
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IRpcChannelBuffer) ||
        IsEqualIID(iid, IID_IKrObjectChannel)) {
      *ppv = static_cast<IKrObjectChannel*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT GetBuffer(RPCOLEMESSAGE* msg, REFIID) override {
    msg->Buffer = msg->reserved1 = std::malloc(msg->cbBuffer ? msg->cbBuffer : 1);
    return msg->Buffer ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT SendReceive(RPCOLEMESSAGE*, ULONG*) override { return E_NOTIMPL; }
  HRESULT FreeBuffer(RPCOLEMESSAGE* msg) override {
    std::free(msg->reserved1);
    msg->Buffer = msg->reserved1 = nullptr;
    return S_OK;
  }
  HRESULT GetDestCtx(DWORD* ctx, void** pv) override {
    *ctx = 2;
    if (pv) *pv = nullptr;
    return S_OK;
  }
  HRESULT IsConnected() override { return S_OK; }
  HRESULT ExportObject(IUnknown*, REFIID, uint64_t* oid) override {
    *oid = ++exported_;
    return S_OK;
  }
  HRESULT ImportObject(uint64_t oid, REFIID iid, void** ppv) override {
    if (oid == 0 || oid > 3 || !IsEqualIID(iid, IID_IRpcValue)) return CO_E_OBJNOTCONNECTED;
    *ppv = static_cast<IRpcValue*>(new Value(u"imported"));
    return S_OK;
  }

 private:
  std::atomic<uint64_t> exported_{0};
};

const krsoap::com::InterfaceDesc* const kInterfaces[] = {&kr_desc_IRpcValue, &kr_desc_IRpcProbe, &kr_desc_IRpcProbe2};
std::atomic<long> g_live{0};
const krsoap::com::ProxyFile kFile = {&IID_IRpcProbe, kInterfaces, 3, &g_live};

struct World {
  IPSFactoryBuffer* factory = nullptr;
  Probe* probe = new Probe();
  PeerChannel* channel = new PeerChannel();
  World() {
    krsoap::com::ProxyFileGetClassObject(kFile, IID_IRpcProbe, IID_IPSFactoryBuffer, reinterpret_cast<void**>(&factory));
  }
};

World& TheWorld() {
  static World* world = new World();  // lives for the process, as the fuzzer does
  return *world;
}

// A channel that keeps what a proxy sends and answers nothing.
class RecordingChannel final : public Unknown<IKrObjectChannel> {
 public:
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IRpcChannelBuffer) ||
        IsEqualIID(iid, IID_IKrObjectChannel)) {
      *ppv = static_cast<IKrObjectChannel*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT GetBuffer(RPCOLEMESSAGE* msg, REFIID iid) override {
    iid_ = iid;
    msg->Buffer = msg->reserved1 = std::malloc(msg->cbBuffer ? msg->cbBuffer : 1);
    return S_OK;
  }
  HRESULT SendReceive(RPCOLEMESSAGE* msg, ULONG*) override {
    rpc::FrameHeader h;
    h.kind = rpc::kRequest;
    h.slot = static_cast<uint16_t>(msg->iMethod);
    h.call_id = frames.size() + 1;
    h.object_id = 1;
    h.iid = iid_;
    h.length = msg->cbBuffer;
    std::vector<uint8_t> frame(rpc::kHeaderSize);
    rpc::EncodeHeader(h, frame.data());
    const auto* b = static_cast<const uint8_t*>(msg->Buffer);
    frame.insert(frame.end(), b, b + msg->cbBuffer);
    frames.push_back(std::move(frame));
    return E_ABORT;  // the proxy gives up; only the request matters
  }
  HRESULT FreeBuffer(RPCOLEMESSAGE* msg) override {
    std::free(msg->reserved1);
    msg->Buffer = msg->reserved1 = nullptr;
    return S_OK;
  }
  HRESULT GetDestCtx(DWORD* ctx, void**) override {
    *ctx = 2;
    return S_OK;
  }
  HRESULT IsConnected() override { return S_OK; }
  HRESULT ExportObject(IUnknown*, REFIID, uint64_t* oid) override {
    *oid = 1;
    return S_OK;
  }
  HRESULT ImportObject(uint64_t, REFIID, void**) override { return E_NOTIMPL; }

  std::vector<std::vector<uint8_t>> frames;

 private:
  GUID iid_{};
};

class Outer final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
};

}  // namespace

HRESULT RunFrame(const uint8_t* data, size_t size) {
  rpc::FrameHeader h;
  HRESULT hr = rpc::DecodeHeader(data, size < rpc::kHeaderSize ? size : rpc::kHeaderSize, &h);
  if (FAILED(hr)) return hr;
  if (h.length != size - rpc::kHeaderSize) return RPC_E_INVALID_DATAPACKET;
  if (h.kind != rpc::kRequest || (h.flags & rpc::kSystem)) return RPC_E_INVALID_HEADER;
  World& w = TheWorld();
  IRpcStubBuffer* stub = nullptr;
  IUnknown* server = static_cast<IRpcProbe2*>(w.probe);
  Value* value = nullptr;
  if (IsEqualIID(h.iid, IID_IRpcValue)) {
    value = new Value(u"fuzzed");
    server = static_cast<IRpcValue*>(value);
  }
  hr = w.factory->CreateStub(h.iid, server, &stub);
  if (value) value->Release();
  if (FAILED(hr)) return hr;
  std::vector<uint8_t> reply;
  hr = krsoap::com::InvokeStubWithBody(stub, h.slot, data + rpc::kHeaderSize, h.length, w.channel, &reply);
  stub->Release();
  return hr;
}

std::vector<std::vector<uint8_t>> SeedFrames() {
  World& w = TheWorld();
  auto* channel = new RecordingChannel();
  Outer outer;
  auto proxy = [&](REFIID iid, IRpcProxyBuffer** buffer) {
    void* itf = nullptr;
    w.factory->CreateProxy(&outer, iid, buffer, &itf);
    (*buffer)->Connect(channel);
    return itf;
  };
  IRpcProxyBuffer* b1 = nullptr;
  IRpcProxyBuffer* b2 = nullptr;
  auto* p = static_cast<IRpcProbe2*>(proxy(IID_IRpcProbe2, &b1));
  auto* v = static_cast<IRpcValue*>(proxy(IID_IRpcValue, &b2));
  BSTR text = SysAllocString(u"seed \xD83D\xDE00 text");
  BSTR out = nullptr;
  VARIANT var, vout;
  VariantInit(&var);
  VariantInit(&vout);
  LONG counter = 1, length = 0, r = 0;
  CY cy;
  cy.int64 = 5;
  p->Scalars(-1, 2, -3, 4, -5, 6, -7, 8, -9, 1.5f, 2.5, VARIANT_TRUE, E_FAIL, 3.25, cy, &out);
  for (VARTYPE vt : {VT_EMPTY, VT_NULL, VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_INT, VT_UINT,
                     VT_R4, VT_R8, VT_BOOL, VT_BSTR, VT_CY, VT_DATE, VT_ERROR}) {
    var.vt = vt;
    var.llVal = 7;
    if (vt == VT_BSTR) var.bstrVal = text;
    BSTR inout = vt == VT_I4 ? nullptr : SysAllocString(u"io");
    p->Echo(text, var, &out, &vout, &counter, &inout, &length);
    SysFreeString(inout);
  }
  Value* local = new Value(u"local");
  IRpcValue* made = nullptr;
  p->MakeValue(text, &made);
  p->ReadValue(local, &out);
  p->ReadValue(nullptr, &out);
  p->WriteValue(local, text);
  IRpcValue* swap = local;
  p->Swap(&swap);
  p->Block(1);
  p->Fail(E_FAIL, &length);
  p->Twice(21, &r);
  v->get_Text(&out);
  v->put_Text(text);
  UINT count = 0;
  v->GetTypeInfoCount(&count);
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"Text"), const_cast<LPOLESTR>(u"Other")};
  DISPID ids[2];
  v->GetIDsOfNames(IID_NULL, names, 2, 0, ids);
  VARIANT args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  args[0].vt = VT_BSTR;
  args[0].bstrVal = text;
  LONG byref = 5;
  args[1].vt = VT_I4 | VT_BYREF;
  args[1].plVal = &byref;
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS put_params{args, &put, 1, 1};
  v->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put_params, nullptr, nullptr, nullptr);
  DISPPARAMS get_params{args, nullptr, 2, 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO ei{};
  UINT err = 0;
  v->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &get_params, &result, &ei, &err);
  local->Release();
  SysFreeString(text);
  b1->Release();
  b2->Release();
  std::vector<std::vector<uint8_t>> frames = std::move(channel->frames);
  channel->Release();
  return frames;
}

}  // namespace krsoap::test::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  krsoap::test::fuzz::RunFrame(data, size);
  return 0;
}
