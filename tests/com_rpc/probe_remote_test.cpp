// The probe module's interfaces across processes: every carried type at its
// edges, VARIANTs of each simple type, [in, out] values, interface pointers
// in, out and in-out (a stub on the sender, a proxy on the receiver), a
// callback from the host into this process, a derived interface, object
// lifetime across the connection, and the death of the host in the middle of
// a call.
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <future>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/proxystub.h"
#include "platform/com/rpc/rpc.h"
#include "platform/com/variant.h"
#include "probe.h"
#include "tests/com_rpc/rpc_test_util.h"

namespace krsoap::test {
namespace {

namespace rpc = krsoap::com::rpc;

std::string Text(BSTR b) { return b ? krsoap::com::BstrToUtf8(b) : std::string("<null>"); }

template <class T>
struct Ptr {
  T* p = nullptr;
  ~Ptr() { Reset(); }
  void Reset() {
    if (p) p->Release();
    p = nullptr;
  }
  T* operator->() const { return p; }
  void** out() { return reinterpret_cast<void**>(&p); }
};

// The reference count of a local object, read without changing it.
ULONG Refs(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

class ProbeRemote : public RpcEnvironment {
 protected:
  void SetUp() override {
    RpcEnvironment::SetUp();
    std::string said;
    ASSERT_TRUE(host_.Start(Socket(), {"probe=KRTest.RpcProbe"}, &said)) << said;
    ASSERT_EQ(CoCreateInstance(CLSID_RpcProbe, nullptr, CLSCTX_ALL, IID_IRpcProbe, direct_.out()), S_OK);
    ASSERT_EQ(rpc::ConnectToObject(Socket(), "probe", IID_IRpcProbe, remote_.out()), S_OK);
  }
  void TearDown() override {
    direct_.Reset();
    remote_.Reset();
    host_.Stop();
    RpcEnvironment::TearDown();
  }
  HRESULT NewLocalValue(const std::string& text, IRpcValue** out) {
    HRESULT hr = CoCreateInstance(CLSID_RpcValue, nullptr, CLSCTX_ALL, IID_IRpcValue, reinterpret_cast<void**>(out));
    if (SUCCEEDED(hr)) {
      BSTR b = krsoap::com::AllocBstrFromUtf8(text);
      hr = (*out)->put_Text(b);
      SysFreeString(b);
    }
    return hr;
  }

  HostProcess host_;
  Ptr<IRpcProbe> direct_, remote_;
};

TEST_F(ProbeRemote, ScalarsArriveExactlyAtTheirEdges) {
  struct Case {
    CHAR c;
    BYTE b;
    SHORT s;
    USHORT us;
    LONG l;
    ULONG ul;
    INT i;
    UINT ui;
    LONGLONG h;
    FLOAT f;
    DOUBLE d;
    VARIANT_BOOL vb;
    SCODE sc;
    DATE dt;
    LONGLONG cy;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0.0f, 0.0, VARIANT_FALSE, 0, 0.0, 0},
      {CHAR(-128), 255, SHRT_MIN, USHRT_MAX, LONG(INT_MIN), ULONG(UINT_MAX), INT_MIN, UINT_MAX, LLONG_MIN, -1.5e-30f,
       -1.7976931348623157e308, VARIANT_TRUE, SCODE(0x80004005), -657434.0, LLONG_MIN},
      {127, 1, SHRT_MAX, 1, LONG(INT_MAX), 1, INT_MAX, 1, LLONG_MAX, 3.4028235e38f, 4.9e-324, VARIANT_TRUE, 1,
       2958465.99998843, LLONG_MAX},
  };
  for (const Case& k : cases) {
    std::string results[2];
    for (int side = 0; side < 2; ++side) {
      IRpcProbe* p = side ? remote_.p : direct_.p;
      CY cy;
      cy.int64 = k.cy;
      BSTR text = nullptr;
      ASSERT_EQ(p->Scalars(k.c, k.b, k.s, k.us, k.l, k.ul, k.i, k.ui, k.h, k.f, k.d, k.vb, k.sc, k.dt, cy, &text), S_OK);
      results[side] = Text(text);
      SysFreeString(text);
    }
    EXPECT_EQ(results[0], results[1]);
  }
}

TEST_F(ProbeRemote, StringsVariantsAndInOutValuesRoundTrip) {
  // A VARIANT whose value is the low bytes of `bits` the type holds; the
  // bytes above stay zero, so whole words compare.
  auto variant = [](VARTYPE vt, int64_t bits) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.llVal = 0;
    const size_t n = vt == VT_I1 || vt == VT_UI1 ? 1
                     : vt == VT_I2 || vt == VT_UI2 || vt == VT_BOOL ? 2
                     : vt == VT_I4 || vt == VT_UI4 || vt == VT_INT || vt == VT_UINT || vt == VT_ERROR ? 4
                                                                                               : 8;
    std::memcpy(&v.llVal, &bits, n);
    return v;
  };
  std::vector<VARIANT> values = {variant(VT_EMPTY, 0),          variant(VT_NULL, 0),
                                 variant(VT_I1, -5),            variant(VT_UI1, 250),
                                 variant(VT_I2, -30000),        variant(VT_UI2, 65000),
                                 variant(VT_I4, -2000000000),   variant(VT_UI4, 4000000000LL),
                                 variant(VT_I8, LLONG_MIN + 1), variant(VT_UI8, -1),
                                 variant(VT_INT, 77),           variant(VT_UINT, 78),
                                 variant(VT_BOOL, -1),          variant(VT_ERROR, int64_t(0x80020004)),
                                 variant(VT_CY, 123456789),     variant(VT_R8, 0)};
  values.back().dblVal = -0.1;
  VARIANT r4 = variant(VT_R4, 0);
  r4.fltVal = 6.25f;
  VARIANT date = variant(VT_DATE, 0);
  date.date = 45000.5;
  VARIANT text = variant(VT_BSTR, 0);
  text.bstrVal = krsoap::com::AllocBstrFromUtf8("\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80");  // a surrogate pair inside
  VARIANT empty_text = variant(VT_BSTR, 0);
  empty_text.bstrVal = nullptr;
  values.push_back(r4);
  values.push_back(date);
  values.push_back(text);
  values.push_back(empty_text);

  for (const VARIANT& v : values) {
    SCOPED_TRACE(v.vt);
    VARIANT copies[2];
    std::string strings[2], inouts[2];
    LONG counters[2] = {41, 41}, lengths[2] = {-1, -1};
    HRESULT hrs[2];
    for (int side = 0; side < 2; ++side) {
      IRpcProbe* p = side ? remote_.p : direct_.p;
      BSTR in = krsoap::com::AllocBstrFromUtf8("text \xE4\xB8\xAD");
      BSTR copy = nullptr;
      BSTR inout = side ? nullptr : nullptr;
      VariantInit(&copies[side]);
      hrs[side] = p->Echo(in, v, &copy, &copies[side], &counters[side], &inout, &lengths[side]);
      strings[side] = Text(copy);
      inouts[side] = Text(inout);
      SysFreeString(in);
      SysFreeString(copy);
      SysFreeString(inout);
    }
    EXPECT_EQ(hrs[0], S_OK);
    EXPECT_EQ(hrs[1], S_OK);
    EXPECT_EQ(strings[0], strings[1]);
    EXPECT_EQ(inouts[0], inouts[1]);
    EXPECT_EQ(counters[1], 42);
    EXPECT_EQ(lengths[0], lengths[1]);
    EXPECT_EQ(copies[0].vt, copies[1].vt);
    if (copies[0].vt == VT_BSTR) {
      EXPECT_EQ(Text(copies[0].bstrVal), Text(copies[1].bstrVal));
    } else {
      EXPECT_EQ(copies[0].llVal, copies[1].llVal);
    }
    VariantClear(&copies[0]);
    VariantClear(&copies[1]);
  }
  // An [in, out] BSTR that holds text on the way in.
  BSTR inout = krsoap::com::AllocBstrFromUtf8("was");
  BSTR copy = nullptr;
  VARIANT vcopy;
  VariantInit(&vcopy);
  LONG counter = 0, length = 0;
  ASSERT_EQ(remote_->Echo(inout, values[0], &copy, &vcopy, &counter, &inout, &length), S_OK);
  EXPECT_EQ(Text(inout), "was+");
  SysFreeString(inout);
  SysFreeString(copy);
  VariantClear(&text);
}

TEST_F(ProbeRemote, ValuesThatCannotTravelAreRefusedBeforeSending) {
  VARIANT unk;
  VariantInit(&unk);
  unk.vt = VT_UNKNOWN;
  unk.punkVal = remote_.p;
  BSTR copy = nullptr, inout = nullptr;
  VARIANT vcopy;
  VariantInit(&vcopy);
  LONG counter = 0, length = 0;
  EXPECT_EQ(remote_->Echo(nullptr, unk, &copy, &vcopy, &counter, &inout, &length), RPC_E_CLIENT_CANTMARSHAL_DATA);
  // A lone surrogate is not UTF-16 that can travel.
  const char16_t lone[] = {u'a', 0xD800, u'b'};
  BSTR bad = SysAllocStringLen(lone, 3);
  VARIANT empty;
  VariantInit(&empty);
  EXPECT_EQ(remote_->Echo(bad, empty, &copy, &vcopy, &counter, &inout, &length), RPC_E_CLIENT_CANTMARSHAL_DATA);
  SysFreeString(bad);
  // A null [out] pointer.
  EXPECT_EQ(remote_->Echo(nullptr, empty, nullptr, &vcopy, &counter, &inout, &length), RPC_X_NULL_REF_POINTER);
  EXPECT_EQ(copy, nullptr);
}

TEST_F(ProbeRemote, FailuresComeBackWithTheirOutValues) {
  for (HRESULT wanted : {E_FAIL, E_INVALIDARG, DISP_E_EXCEPTION, S_FALSE}) {
    LONG written[2] = {0, 0};
    EXPECT_EQ(direct_->Fail(wanted, &written[0]), wanted);
    EXPECT_EQ(remote_->Fail(wanted, &written[1]), wanted);
    EXPECT_EQ(written[0], written[1]);
  }
}

TEST_F(ProbeRemote, InterfacePointersTravelBothWays) {
  // Out: a value made in the host, used here through a proxy.
  Ptr<IRpcValue> made;
  BSTR text = krsoap::com::AllocBstrFromUtf8("made there");
  ASSERT_EQ(remote_->MakeValue(text, &made.p), S_OK);
  SysFreeString(text);
  BSTR got = nullptr;
  ASSERT_EQ(made->get_Text(&got), S_OK);
  EXPECT_EQ(Text(got), "made there");
  SysFreeString(got);
  // The host's own object sent back to it.
  got = nullptr;
  ASSERT_EQ(remote_->ReadValue(made.p, &got), S_OK);
  EXPECT_EQ(Text(got), "made there");
  SysFreeString(got);
  // Its IDispatch part, through the proxy.
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(made->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(Text(result.bstrVal), "made there");
  VariantClear(&result);

  // In: an object of this process, called back by the host.
  Ptr<IRpcValue> local;
  ASSERT_EQ(NewLocalValue("made here", &local.p), S_OK);
  got = nullptr;
  ASSERT_EQ(remote_->ReadValue(local.p, &got), S_OK);
  EXPECT_EQ(Text(got), "made here");
  SysFreeString(got);
  text = krsoap::com::AllocBstrFromUtf8("written by the host");
  ASSERT_EQ(remote_->WriteValue(local.p, text), S_OK);
  SysFreeString(text);
  got = nullptr;
  ASSERT_EQ(local->get_Text(&got), S_OK);
  EXPECT_EQ(Text(got), "written by the host");
  SysFreeString(got);
  // The host let go of its proxies: the export here ends and with it the
  // connection's reference on the local object.
  EXPECT_TRUE(WaitUntil([&] { return Refs(local.p) == 1; })) << Refs(local.p);

  // In-out: ours goes in, the host's comes back.
  IRpcValue* swapped = local.p;
  swapped->AddRef();
  ASSERT_EQ(remote_->Swap(&swapped), S_OK);
  ASSERT_NE(swapped, nullptr);
  ASSERT_NE(swapped, local.p);
  got = nullptr;
  ASSERT_EQ(swapped->get_Text(&got), S_OK);
  EXPECT_EQ(Text(got), "swapped written by the host");
  SysFreeString(got);
  swapped->Release();
  EXPECT_TRUE(WaitUntil([&] { return Refs(local.p) == 1; })) << Refs(local.p);

  // A null interface pointer travels as null.
  got = nullptr;
  EXPECT_EQ(remote_->ReadValue(nullptr, &got), E_POINTER);
}

TEST_F(ProbeRemote, ADerivedInterfaceCarriesItsBaseMethods) {
  Ptr<IRpcProbe2> two;
  ASSERT_EQ(remote_->QueryInterface(IID_IRpcProbe2, two.out()), S_OK);
  LONG r = 0;
  ASSERT_EQ(two->Twice(21, &r), S_OK);
  EXPECT_EQ(r, 42);
  LONG written = 0;
  EXPECT_EQ(two->Fail(E_ABORT, &written), E_ABORT);
  EXPECT_EQ(written, 99);
  Ptr<IUnknown> a, b;
  ASSERT_EQ(two->QueryInterface(IID_IUnknown, a.out()), S_OK);
  ASSERT_EQ(remote_->QueryInterface(IID_IUnknown, b.out()), S_OK);
  EXPECT_EQ(a.p, b.p);
}

TEST_F(ProbeRemote, MoreConcurrentCallsThanServingThreadsAllComplete) {
  // 40 calls that each block a while on one connection: 32 are served at
  // once, the rest wait in the host's queue while replies keep flowing.
  std::vector<std::future<HRESULT>> calls;
  for (int i = 0; i < 40; ++i) calls.push_back(std::async(std::launch::async, [&] { return remote_->Block(300); }));
  LONG r = 0;
  Ptr<IRpcProbe2> two;
  ASSERT_EQ(remote_->QueryInterface(IID_IRpcProbe2, two.out()), S_OK);
  for (auto& c : calls) EXPECT_EQ(c.get(), S_OK);
  EXPECT_EQ(two->Twice(4, &r), S_OK);
  EXPECT_EQ(r, 8);
}

TEST_F(ProbeRemote, HostDeathEndsACallInProgress) {
  const std::string mark = home() + "/probe-blocked";
  auto call = std::async(std::launch::async, [&] { return remote_->Block(120000); });
  ASSERT_TRUE(WaitUntil([&] { return access(mark.c_str(), F_OK) == 0; }));
  host_.Kill();
  EXPECT_EQ(call.get(), RPC_E_DISCONNECTED);
  // Later calls fail the same way at once; the proxy is released safely.
  LONG written = 0;
  EXPECT_EQ(remote_->Fail(E_FAIL, &written), RPC_E_DISCONNECTED);
  remote_.Reset();
  // The socket file stays behind; nothing listens on it any more.
  void* p = nullptr;
  EXPECT_EQ(rpc::ConnectToObject(Socket(), "probe", IID_IRpcProbe, &p), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace krsoap::test
