// The test component's whole life through the runtime: registration,
// activation by CLSID and ProgID, vtable and IDispatch calls, interface maps,
// aggregation, module locking and unloading, and concurrent first requests.
#include <latch>
#include <thread>
#include <vector>

#include "krtestcomp.h"
#include "platform/com/registrar.h"
#include "platform/com/typelib.h"
#include "platform/com/stream.h"
#include "tests/com_runtime/com_test_util.h"

namespace krsoap::test {
namespace {

using com::BstrPtr;
using platform::Utf8ToUtf16;

class ComponentTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    ASSERT_EQ(S_OK, CallComponent("DllRegisterServer"));
  }
  HRESULT NewCalc(Ptr<IKRCalc>* out, DWORD ctx = CLSCTX_INPROC_SERVER) {
    return CoCreateInstance(CLSID_KRCalculator, nullptr, ctx, IID_IKRCalc, out->OutVoid());
  }
};

// Invoke helpers: arguments are given first to last and reversed here.
struct Args {
  std::vector<VARIANT> v;
  ~Args() {
    for (auto& x : v) VariantClear(&x);
  }
  Args& I4(LONG n) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I4;
    x.lVal = n;
    v.insert(v.begin(), x);
    return *this;
  }
  Args& R8(double d) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_R8;
    x.dblVal = d;
    v.insert(v.begin(), x);
    return *this;
  }
  Args& Str(const char16_t* s) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BSTR;
    x.bstrVal = SysAllocString(s);
    v.insert(v.begin(), x);
    return *this;
  }
  Args& Bool(bool b) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BOOL;
    x.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    v.insert(v.begin(), x);
    return *this;
  }
  Args& Ref(VARTYPE vt, void* p) {
    VARIANT x;
    VariantInit(&x);
    x.vt = static_cast<VARTYPE>(vt | VT_BYREF);
    x.byref = p;
    v.insert(v.begin(), x);
    return *this;
  }
};

HRESULT Call(IDispatch* d, DISPID id, WORD flags, Args& args, VARIANT* result, UINT* arg_err = nullptr,
             EXCEPINFO* info = nullptr, DISPID* named = nullptr, UINT named_count = 0) {
  DISPPARAMS params{args.v.data(), named, static_cast<UINT>(args.v.size()), named_count};
  return d->Invoke(id, IID_NULL, 0, flags, &params, result, info, arg_err);
}

TEST_F(ComponentTest, RegistrationEntersClassesProgIdsAndTypeLibrary) {
  const std::string calc = "CLSID\\{DA5B6109-F15B-4150-AD3C-8D9507F9D81E}";
  EXPECT_EQ(ComponentPath(), ClassesValue(calc + "\\InprocServer32"));
  EXPECT_EQ("Free", ClassesValue(calc + "\\InprocServer32", "ThreadingModel"));
  EXPECT_EQ("Apartment",
            ClassesValue("CLSID\\{B1CA457A-A98A-4F95-94E1-81DD102B5438}\\InprocServer32", "ThreadingModel"));
  EXPECT_EQ(ComponentPath(), ClassesValue("TypeLib\\{17AB6ACF-0559-453F-8370-C4F50A87DC9F}\\1.0\\409\\win32"));

  CLSID clsid{};
  EXPECT_EQ(S_OK, CLSIDFromProgID(u"KRTest.Calculator", &clsid));  // through CurVer
  EXPECT_EQ(CLSID_KRCalculator, clsid);
  EXPECT_EQ(S_OK, CLSIDFromString(u"KRTest.CounterStream.1", &clsid));
  EXPECT_EQ(CLSID_KRCounterStream, clsid);
  EXPECT_EQ(S_OK, CLSIDFromString(u"{da5b6109-f15b-4150-ad3c-8d9507f9d81e}", &clsid));
  EXPECT_EQ(CLSID_KRCalculator, clsid);
  LPOLESTR prog = nullptr;
  ASSERT_EQ(S_OK, ProgIDFromCLSID(CLSID_KRCalculator, &prog));
  EXPECT_EQ(std::u16string(u"KRTest.Calculator.1"), prog);
  CoTaskMemFree(prog);

  // Twice: still one subtree; then unregistered: gone, HKCR\CLSID stays.
  ASSERT_EQ(S_OK, CallComponent("DllRegisterServer"));
  ASSERT_EQ(S_OK, CallComponent("DllUnregisterServer"));
  EXPECT_FALSE(ClassesKeyExists(calc));
  EXPECT_FALSE(ClassesKeyExists("KRTest.Calculator"));
  EXPECT_FALSE(ClassesKeyExists("KRTest.Calculator.1"));
  EXPECT_FALSE(ClassesKeyExists("TypeLib\\{17AB6ACF-0559-453F-8370-C4F50A87DC9F}"));
  EXPECT_TRUE(ClassesKeyExists("CLSID"));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"KRTest.Calculator", &clsid));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, ProgIDFromCLSID(CLSID_KRCalculator, &prog));
  Ptr<IKRCalc> calc_obj;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, NewCalc(&calc_obj));
  // Unregistering again is harmless.
  EXPECT_EQ(S_OK, CallComponent("DllUnregisterServer"));
}

TEST_F(ComponentTest, BadClassStringsAndMissingModules) {
  CLSID clsid{};
  for (const char16_t* bad : {u"{DA5B6109-F15B-4150-AD3C-8D9507F9D81E", u"{ZZ5B6109-F15B-4150-AD3C-8D9507F9D81E}",
                              u"No.Such.Class", u"", u"Bad\\Name", u"{}"}) {
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(bad, &clsid)) << platform::Utf16ToUtf8(bad);
  }
  // A CurVer loop ends.
  ASSERT_EQ(S_OK, com::RunRegistryScript("HKCR { Loop.A { CurVer = s 'Loop.B' } Loop.B { CurVer = s 'Loop.A' } }", {},
                                         com::RegistrarMode::kRegister));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Loop.A", &clsid));

  auto register_path = [](const std::string& clsid_text, const std::string& path) {
    return com::RunRegistryScript("HKCR { NoRemove CLSID { " + clsid_text + " { InprocServer32 = s '" + path + "' } } }",
                                  {}, com::RegistrarMode::kRegister);
  };
  Ptr<IUnknown> obj;
  const CLSID missing = com::MakeGuid("{0D0D0D0D-0000-0000-0000-000000000001}");
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(missing, nullptr, CLSCTX_ALL, IID_IUnknown, obj.OutVoid()));
  ASSERT_EQ(S_OK, register_path("{0D0D0D0D-0000-0000-0000-000000000001}", home_.path() + "/nothere.so"));
  EXPECT_EQ(CO_E_DLLNOTFOUND, CoCreateInstance(missing, nullptr, CLSCTX_ALL, IID_IUnknown, obj.OutVoid()));
  // A file that is not a module, and a module without DllGetClassObject.
  const CLSID text = com::MakeGuid("{0D0D0D0D-0000-0000-0000-000000000002}");
  std::string text_path = home_.path() + "/text.so";
  FILE* f = std::fopen(text_path.c_str(), "w");
  std::fputs("not a module\n", f);
  std::fclose(f);
  ASSERT_EQ(S_OK, register_path("{0D0D0D0D-0000-0000-0000-000000000002}", text_path));
  EXPECT_EQ(CO_E_ERRORINDLL, CoCreateInstance(text, nullptr, CLSCTX_ALL, IID_IUnknown, obj.OutVoid()));
  const CLSID noentry = com::MakeGuid("{0D0D0D0D-0000-0000-0000-000000000003}");
  ASSERT_EQ(S_OK, register_path("{0D0D0D0D-0000-0000-0000-000000000003}", LibDir() + "/libkrplatform.so"));
  EXPECT_EQ(CO_E_ERRORINDLL, CoCreateInstance(noentry, nullptr, CLSCTX_ALL, IID_IUnknown, obj.OutVoid()));
  // A registered module that does not know the class.
  const CLSID unknown = com::MakeGuid("{0D0D0D0D-0000-0000-0000-000000000004}");
  ASSERT_EQ(S_OK, register_path("{0D0D0D0D-0000-0000-0000-000000000004}", ComponentPath()));
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, CoCreateInstance(unknown, nullptr, CLSCTX_ALL, IID_IUnknown, obj.OutVoid()));
}

TEST_F(ComponentTest, ApartmentsAndClassContexts) {
  // This thread is in the MTA (fixture); the same model again is S_FALSE.
  EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  CoUninitialize();
  EXPECT_EQ(com::Apartment::kMultithreaded, com::CurrentApartment());

  Ptr<IKRCalc> calc;
  EXPECT_EQ(S_OK, NewCalc(&calc, 23));
  EXPECT_EQ(S_OK, NewCalc(&calc, 21));
  EXPECT_EQ(S_OK, NewCalc(&calc, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, NewCalc(&calc, CLSCTX_LOCAL_SERVER));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, NewCalc(&calc, CLSCTX_REMOTE_SERVER | CLSCTX_INPROC_HANDLER));
  EXPECT_EQ(E_INVALIDARG, NewCalc(&calc, 0));

  std::thread([] {
    // A thread of its own joins an STA; while the MTA exists other threads
    // are implicitly in it.
    EXPECT_EQ(com::Apartment::kImplicitMultithreaded, com::CurrentApartment());
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CoUninitialize();
    CoUninitialize();
  }).join();

  // Without any apartment in the process, activation refuses.
  CoUninitialize();
  std::thread([] {
    Ptr<IUnknown> obj;
    EXPECT_EQ(CO_E_NOTINITIALIZED,
              CoCreateInstance(CLSID_KRCalculator, nullptr, CLSCTX_ALL, IID_IUnknown, obj.OutVoid()));
  }).join();
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

TEST_F(ComponentTest, VtableCallsAndInterfaceMaps) {
  Ptr<IKRCalc> calc;
  ASSERT_EQ(S_OK, NewCalc(&calc));
  LONG sum = 0;
  EXPECT_EQ(S_OK, calc->Add(40, 2, &sum));
  EXPECT_EQ(42, sum);
  BstrPtr joined;
  BstrPtr a(std::u16string_view(u"ab")), b(std::u16string_view(u"cd"));
  EXPECT_EQ(S_OK, calc->Concat(a.get(), b.get(), joined.Out()));
  EXPECT_EQ("abcd", joined.Utf8());

  // IDispatch is the IKRCalc vtable; identity is stable; IStream is absent.
  Ptr<IDispatch> disp;
  ASSERT_EQ(S_OK, calc->QueryInterface(IID_IDispatch, disp.OutVoid()));
  EXPECT_EQ(static_cast<IDispatch*>(calc.get()), disp.get());
  Ptr<IUnknown> id1, id2;
  ASSERT_EQ(S_OK, calc->QueryInterface(IID_IUnknown, id1.OutVoid()));
  ASSERT_EQ(S_OK, disp->QueryInterface(IID_IUnknown, id2.OutVoid()));
  EXPECT_EQ(id1.get(), id2.get());
  Ptr<IStream> stream;
  EXPECT_EQ(E_NOINTERFACE, calc->QueryInterface(IID_IStream, stream.OutVoid()));
  EXPECT_EQ(nullptr, stream.get());

  // The second class: a plain interface and IStream on a second vtable.
  Ptr<IKRCounter> counter;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRCounterStream, nullptr, CLSCTX_ALL, IID_IKRCounter, counter.OutVoid()));
  LONG n = 0;
  counter->Increment(&n);
  counter->Increment(&n);
  EXPECT_EQ(2, n);
  ASSERT_EQ(S_OK, counter->QueryInterface(IID_IStream, stream.OutVoid()));
  EXPECT_NE(static_cast<void*>(stream.get()), static_cast<void*>(counter.get()));
  ULONG written = 0, read = 0;
  EXPECT_EQ(S_OK, stream->Write("hello", 5, &written));
  char buf[8] = {};
  EXPECT_EQ(S_OK, stream->Read(buf, 5, &read));
  EXPECT_EQ(std::string("hello"), std::string(buf, read));
  Ptr<IKRCounter> back;
  ASSERT_EQ(S_OK, stream->QueryInterface(IID_IKRCounter, back.OutVoid()));
  EXPECT_EQ(counter.get(), back.get());
  Ptr<IDispatch> none;
  EXPECT_EQ(E_NOINTERFACE, counter->QueryInterface(IID_IDispatch, none.OutVoid()));
}

TEST_F(ComponentTest, DispatchByNameAndDispidWithCoercion) {
  Ptr<IDispatch> disp;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRCalculator, nullptr, CLSCTX_ALL, IID_IDispatch, disp.OutVoid()));
  UINT count = 0;
  EXPECT_EQ(S_OK, disp->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  Ptr<ITypeInfo> info;
  EXPECT_EQ(S_OK, disp->GetTypeInfo(0, 0, info.Out()));
  EXPECT_EQ(DISP_E_BADINDEX, disp->GetTypeInfo(1, 0, info.Out()));

  LPOLESTR names[] = {const_cast<LPOLESTR>(u"aDd")};
  DISPID id = 0;
  ASSERT_EQ(S_OK, disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
  EXPECT_EQ(1, id);
  names[0] = const_cast<LPOLESTR>(u"Missing");
  EXPECT_EQ(DISP_E_UNKNOWNNAME, disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
  EXPECT_EQ(DISPID_UNKNOWN, id);

  VARIANT result;
  VariantInit(&result);
  {
    Args args;
    args.Str(u"2").R8(3.7);  // "2" -> 2, 3.7 -> 4
    ASSERT_EQ(S_OK, Call(disp.get(), 1, DISPATCH_METHOD, args, &result));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(6, result.lVal);
  }
  {
    Args args;
    args.Str(u"1.5").I4(2).R8(3);
    ASSERT_EQ(S_OK, Call(disp.get(), 2, DISPATCH_METHOD, args, &result));
    EXPECT_EQ(VT_R8, result.vt);
    EXPECT_DOUBLE_EQ(9.0, result.dblVal);
  }
  {
    Args args;
    args.I4(12).Str(u"34");
    ASSERT_EQ(S_OK, Call(disp.get(), 3, DISPATCH_METHOD, args, &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ("1234", com::BstrToUtf8(result.bstrVal));
    VariantClear(&result);
  }
  {
    // Nine arguments: some integers and the VARIANT_BOOL spill to the stack.
    Args args;
    args.I4(1).R8(2).I4(3).R8(4).I4(5).I4(6).I4(7).Bool(true).R8(9);
    ASSERT_EQ(S_OK, Call(disp.get(), 8, DISPATCH_METHOD, args, &result));
    EXPECT_DOUBLE_EQ(917654321.0, result.dblVal);
  }
  {
    // A VARIANT by value, and a by-reference argument given for it.
    Args args;
    args.I4(42);
    ASSERT_EQ(S_OK, Call(disp.get(), 7, DISPATCH_METHOD, args, &result));
    EXPECT_EQ("vt=3 i4=42", com::BstrToUtf8(result.bstrVal));
    VariantClear(&result);
    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_R8;
    inner.dblVal = 0.5;
    Args byref;
    byref.Ref(VT_VARIANT, &inner);
    ASSERT_EQ(S_OK, Call(disp.get(), 7, DISPATCH_METHOD, byref, &result));
    EXPECT_EQ("vt=5 r8=0.500000", com::BstrToUtf8(result.bstrVal));
    VariantClear(&result);
  }
  {
    // [out] parameters: a LONG by reference, or a VARIANT by reference.
    LONG remainder = -1;
    Args args;
    args.I4(17).I4(5).Ref(VT_I4, &remainder);
    ASSERT_EQ(S_OK, Call(disp.get(), 4, DISPATCH_METHOD, args, &result));
    EXPECT_EQ(3, result.lVal);
    EXPECT_EQ(2, remainder);
    VARIANT out;
    VariantInit(&out);
    Args args2;
    args2.I4(17).I4(4).Ref(VT_VARIANT, &out);
    ASSERT_EQ(S_OK, Call(disp.get(), 4, DISPATCH_METHOD, args2, &result));
    EXPECT_EQ(VT_I4, out.vt);
    EXPECT_EQ(1, out.lVal);
  }
}

TEST_F(ComponentTest, DispatchPropertiesAndErrors) {
  Ptr<IKRCalc> calc;
  ASSERT_EQ(S_OK, NewCalc(&calc));
  IDispatch* disp = calc.get();
  VARIANT result;
  VariantInit(&result);
  DISPID put = DISPID_PROPERTYPUT;
  {
    Args args;
    args.Str(u"calc");
    ASSERT_EQ(S_OK, Call(disp, 5, DISPATCH_PROPERTYPUT, args, nullptr, nullptr, nullptr, &put, 1));
    Args none;
    ASSERT_EQ(S_OK, Call(disp, 5, DISPATCH_PROPERTYGET, none, &result));
    EXPECT_EQ("calc", com::BstrToUtf8(result.bstrVal));
    VariantClear(&result);
    // A method-or-get call, as late-bound callers make it.
    ASSERT_EQ(S_OK, Call(disp, 5, DISPATCH_METHOD | DISPATCH_PROPERTYGET, none, &result));
    VariantClear(&result);
  }
  {
    Args args;
    args.Str(u"7");
    ASSERT_EQ(S_OK, Call(disp, 6, DISPATCH_PROPERTYPUT, args, nullptr, nullptr, nullptr, &put, 1));
    LONG count = 0;
    calc->get_Count(&count);
    EXPECT_EQ(7, count);
  }
  {
    Args one;
    one.I4(1);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(disp, 1, DISPATCH_METHOD, one, &result));
    Args three;
    three.I4(1).I4(2).I4(3);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(disp, 1, DISPATCH_METHOD, three, &result));
    Args two;
    two.I4(1).I4(2);
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(disp, 99, DISPATCH_METHOD, two, &result));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(disp, 1, DISPATCH_PROPERTYPUT, two, nullptr, nullptr, nullptr, &put, 1));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(disp, 1, DISPATCH_PROPERTYGET, two, &result));
  }
  {
    // The first argument (rgvarg[1]) does not convert.
    Args args;
    args.Str(u"abc").I4(1);
    UINT arg_err = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(disp, 1, DISPATCH_METHOD, args, &result, &arg_err));
    EXPECT_EQ(1u, arg_err);
    Args big;
    big.R8(1e12).I4(1);
    EXPECT_EQ(DISP_E_OVERFLOW, Call(disp, 1, DISPATCH_METHOD, big, &result, &arg_err));
    // An [out] argument that is not a reference.
    Args notref;
    notref.I4(1).I4(1).I4(0);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Call(disp, 4, DISPATCH_METHOD, notref, &result, &arg_err));
    EXPECT_EQ(0u, arg_err);
  }
  {
    // A failing method: DISP_E_EXCEPTION with its HRESULT in EXCEPINFO.
    Args args;
    args.I4(static_cast<LONG>(E_ACCESSDENIED));
    EXCEPINFO info{};
    EXPECT_EQ(DISP_E_EXCEPTION, Call(disp, 9, DISPATCH_METHOD, args, &result, nullptr, &info));
    EXPECT_EQ(E_ACCESSDENIED, info.scode);
    EXPECT_EQ("IKRCalc", com::BstrToUtf8(info.bstrSource));
    EXPECT_NE(nullptr, info.bstrDescription);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    Args negative;
    negative.I4(-1);
    EXPECT_EQ(DISP_E_EXCEPTION, Call(disp, 6, DISPATCH_PROPERTYPUT, negative, nullptr, nullptr, nullptr, &put, 1));
  }
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
            disp->Invoke(1, IID_IKRCalc, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(ComponentTest, DispatchNeedsTheRegisteredTypeLibrary) {
  ASSERT_EQ(S_OK, UnRegisterTypeLib(LIBID_KRTESTCOMPLib, 1, 0, 0x409, SYS_WIN32));
  Ptr<IDispatch> disp;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRCalculator, nullptr, CLSCTX_ALL, IID_IDispatch, disp.OutVoid()));
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"Add")};
  DISPID id = 0;
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
}

// An outer object that aggregates a calculator and exposes its IKRCalc.
class Outer final : public IUnknown {
 public:
  HRESULT Init() { return CoCreateInstance(CLSID_KRCalculator, this, CLSCTX_ALL, IID_IUnknown, inner_.OutVoid()); }
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (IsEqualIID(iid, IID_IKRCalc)) return inner_->QueryInterface(iid, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }  // lives on the test's stack
  ULONG refs() const { return refs_; }
  Ptr<IUnknown> inner_;

 private:
  ULONG refs_ = 1;
};

TEST_F(ComponentTest, AggregationDelegatesToTheOuterUnknown) {
  Outer outer;
  ASSERT_EQ(S_OK, outer.Init());
  EXPECT_EQ(1u, outer.refs());  // creating the inner object leaves no reference on the outer
  IKRCalc* calc = nullptr;
  ASSERT_EQ(S_OK, outer.QueryInterface(IID_IKRCalc, reinterpret_cast<void**>(&calc)));
  EXPECT_EQ(2u, outer.refs());  // the inner object's AddRef went to the outer one
  IUnknown* identity = nullptr;
  ASSERT_EQ(S_OK, calc->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
  EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
  identity->Release();
  LONG sum = 0;
  EXPECT_EQ(S_OK, calc->Add(1, 2, &sum));
  EXPECT_EQ(3, sum);
  calc->Release();
  EXPECT_EQ(1u, outer.refs());
  outer.inner_.Reset();  // the inner object dies with its last inner reference

  Ptr<IKRCalc> refused;
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            CoCreateInstance(CLSID_KRCalculator, &outer, CLSCTX_ALL, IID_IKRCalc, refused.OutVoid()));
  Ptr<IClassFactory> factory;
  ASSERT_EQ(S_OK, CoGetClassObject(CLSID_KRCalculator, CLSCTX_ALL, nullptr, IID_IClassFactory, factory.OutVoid()));
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IKRCalc, refused.OutVoid()));
}

TEST_F(ComponentTest, ModuleStaysLoadedWhileObjectsOrLocksLive) {
  CoFreeUnusedLibraries();
  ASSERT_EQ(0u, com::LoadedServerCount());
  Ptr<IKRCalc> calc;
  ASSERT_EQ(S_OK, NewCalc(&calc));
  EXPECT_EQ(1u, com::LoadedServerCount());
  CoFreeUnusedLibraries();
  EXPECT_EQ(1u, com::LoadedServerCount());  // an object is alive
  calc.Reset();

  Ptr<IClassFactory> factory;
  ASSERT_EQ(S_OK, CoGetClassObject(CLSID_KRCalculator, CLSCTX_ALL, nullptr, IID_IClassFactory, factory.OutVoid()));
  ASSERT_EQ(S_OK, factory->LockServer(TRUE));
  factory.Reset();
  CoFreeUnusedLibraries();
  EXPECT_EQ(1u, com::LoadedServerCount());  // locked
  ASSERT_EQ(S_OK, CoGetClassObject(CLSID_KRCalculator, CLSCTX_ALL, nullptr, IID_IClassFactory, factory.OutVoid()));
  ASSERT_EQ(S_OK, factory->LockServer(FALSE));
  CoFreeUnusedLibraries();
  EXPECT_EQ(1u, com::LoadedServerCount());  // a held class factory counts too
  factory.Reset();
  CoFreeUnusedLibraries();
  EXPECT_EQ(0u, com::LoadedServerCount());

  // Loaded again on demand, and working.
  ASSERT_EQ(S_OK, NewCalc(&calc));
  LONG sum = 0;
  EXPECT_EQ(S_OK, calc->Add(2, 2, &sum));
  EXPECT_EQ(4, sum);
}

TEST_F(ComponentTest, SixteenFirstRequestsShareOneFactoryAndOneLoad) {
  CoFreeUnusedLibraries();
  ASSERT_EQ(0u, com::LoadedServerCount());
  constexpr int kThreads = 16;
  std::vector<IClassFactory*> factories(kThreads, nullptr);
  std::vector<HRESULT> results(kThreads, E_FAIL);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      start.arrive_and_wait();
      results[i] = CoGetClassObject(CLSID_KRCalculator, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                    reinterpret_cast<void**>(&factories[i]));
      if (SUCCEEDED(results[i])) {
        IKRCalc* calc = nullptr;
        if (SUCCEEDED(factories[i]->CreateInstance(nullptr, IID_IKRCalc, reinterpret_cast<void**>(&calc)))) {
          LONG sum = 0;
          calc->Add(i, 1, &sum);
          calc->Release();
        }
      }
      CoUninitialize();
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(S_OK, results[i]);
    EXPECT_EQ(factories[0], factories[i]);
  }
  EXPECT_EQ(1u, com::LoadedServerCount());
  for (IClassFactory* f : factories) {
    if (f) f->Release();
  }
}

}  // namespace
}  // namespace krsoap::test
