// halvex as a packaged component, through the real runtime and the real
// module: what registration writes for the four classes and the library,
// re-registration and unregistration next to keys others added, the
// interfaces each object answers, aggregation, the class factory and module
// locks, dispatch from the registered library, the ".tlb" beside the module
// when the embedded library cannot be read, a module path with a quote, and
// a registry that refuses writes.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "halvex.h"
#include "platform/com/registrar.h"
#include "platform/com/stream.h"
#include "platform/com/typelib.h"
#include "platform/module/module.h"
#include "tests/com_runtime/com_test_util.h"
#include "tests/server_packaging/packaging_test_util.h"

namespace krsoap::test {
namespace {

using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

constexpr const char* kLibid = "{E1E7DC6A-2E04-45BC-8696-C40970063556}";

struct ClassInfo {
  const CLSID* clsid;
  const char* clsid_text;
  const char* progid;  // version-independent
  const char* description;
};

// Object map order.
const ClassInfo kClasses[] = {
    {&CLSID_KRSoapHandler, "{1EB2490B-297B-43E5-9E09-574C93159987}", "Halvex.KRSoapHandler", "KRSoapHandler Class"},
    {&CLSID_KRSoapMonitor, "{62A93AEB-63AB-4163-B2DC-A6A2C7CE54F1}", "Halvex.KRSoapMonitor", "KRSoapMonitor Class"},
    {&CLSID_KRSoapInvoker, "{58ECC870-5A2D-4B3A-8371-3182B05D529A}", "Halvex.KRSoapInvoker", "KRSoapInvoker Class"},
    {&CLSID_KRObjectTrigger, "{281836F1-B684-49BD-B553-832120AD19E9}", "Halvex.KRObjectTrigger",
     "KRObjectTrigger Class"},
};

std::string HalvexPath() { return LibDir() + "/libhalvex.so"; }

HRESULT CallEntry(const std::string& module_path, const char* entry) {
  com::ServerModule module;
  HRESULT hr = com::LoadServerModule(Utf8ToUtf16(module_path), &module);
  if (FAILED(hr)) return hr;
  auto fn = reinterpret_cast<HRESULT (*)()>(module.Symbol(entry));
  return fn ? fn() : E_UNEXPECTED;
}

DISPID IdOf(IDispatch* d, const char16_t* name, HRESULT* hr_out = nullptr) {
  const char16_t* names[] = {name};
  DISPID id = -999;
  HRESULT hr = d->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names), 1, 0x409, &id);
  if (hr_out) *hr_out = hr;
  return SUCCEEDED(hr) ? id : -999;
}

// The file of the module whose code holds the object's first vtable.
std::string ModuleOfObject(IUnknown* object) {
  std::string path;
  platform::ModulePathFromAddress(*reinterpret_cast<void**>(object), &path);
  return path;
}

class PackagingTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    ASSERT_EQ(S_OK, CallEntry(HalvexPath(), "DllRegisterServer"));
  }
  std::string Dir(const std::string& name) {
    std::string dir = home_.path() + "/" + name;
    ::mkdir(dir.c_str(), 0700);
    return dir;
  }
};

TEST_F(PackagingTest, RegistrationWritesEveryRecordOfTheFourClassesAndTheLibrary) {
  for (const ClassInfo& c : kClasses) {
    const std::string p = c.progid, v1 = p + ".1", k = std::string("CLSID\\") + c.clsid_text;
    EXPECT_EQ(c.description, ClassesValue(v1)) << p;
    EXPECT_EQ(c.clsid_text, ClassesValue(v1 + "\\CLSID")) << p;
    EXPECT_EQ(c.description, ClassesValue(p)) << p;
    EXPECT_EQ(c.clsid_text, ClassesValue(p + "\\CLSID")) << p;
    EXPECT_EQ(v1, ClassesValue(p + "\\CurVer")) << p;
    EXPECT_EQ(c.description, ClassesValue(k)) << p;
    EXPECT_EQ(v1, ClassesValue(k + "\\ProgID")) << p;
    EXPECT_EQ(p, ClassesValue(k + "\\VersionIndependentProgID")) << p;
    EXPECT_TRUE(ClassesKeyExists(k + "\\Programmable")) << p;
    EXPECT_EQ(HalvexPath(), ClassesValue(k + "\\InprocServer32")) << p;
    EXPECT_EQ("Free", ClassesValue(k + "\\InprocServer32", "ThreadingModel")) << p;
    EXPECT_EQ(kLibid, ClassesValue(k + "\\TypeLib")) << p;
    // The class found by CLSID names its ProgID back.
    LPOLESTR progid = nullptr;
    ASSERT_EQ(S_OK, ProgIDFromCLSID(*c.clsid, &progid));
    EXPECT_EQ(v1, Utf16ToUtf8(progid));
    CoTaskMemFree(progid);
  }
  const std::string lib = std::string("TypeLib\\") + kLibid + "\\1.0";
  EXPECT_EQ("halvex 1.0 Type Library", ClassesValue(lib));
  EXPECT_EQ(HalvexPath(), ClassesValue(lib + "\\409\\win32"));
  EXPECT_EQ(LibDir(), ClassesValue(lib + "\\HELPDIR"));
  for (const char* itf : {"IKRSoapHandler", "IKRSoapMonitor", "IKRSoapInvoker", "IKRObjectTrigger"}) {
    IID iid{};
    std::string key;
    if (!std::strcmp(itf, "IKRSoapHandler")) iid = IID_IKRSoapHandler;
    if (!std::strcmp(itf, "IKRSoapMonitor")) iid = IID_IKRSoapMonitor;
    if (!std::strcmp(itf, "IKRSoapInvoker")) iid = IID_IKRSoapInvoker;
    if (!std::strcmp(itf, "IKRObjectTrigger")) iid = IID_IKRObjectTrigger;
    key = "Interface\\" + com::GuidToUtf8(iid);
    EXPECT_EQ(itf, ClassesValue(key));
    EXPECT_TRUE(ClassesKeyExists(key + "\\ProxyStubClsid32")) << itf;
  }
}

TEST_F(PackagingTest, TheVersionIndependentProgIdResolvesThroughCurVer) {
  // Point the version-independent key's own CLSID elsewhere: the answer must
  // still come from "Halvex.KRSoapInvoker.1", reached through CurVer.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, "Halvex.KRSoapInvoker\\CLSID", 0, KEY_SET_VALUE, &key));
  const char other[] = "{281836F1-B684-49BD-B553-832120AD19E9}";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof other));
  RegCloseKey(key);
  com::internal::NoteRegistrationChanged();
  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"Halvex.KRSoapInvoker", &clsid));
  EXPECT_EQ("{58ECC870-5A2D-4B3A-8371-3182B05D529A}", com::GuidToUtf8(clsid));
  ASSERT_EQ(S_OK, CLSIDFromString(u"Halvex.KRSoapInvoker.1", &clsid));
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_KRSoapInvoker));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Halvex.KRSoapInvoker.2", &clsid));
}

TEST_F(PackagingTest, RegisteringTwiceLeavesOneSubtreeAndUnregisteringKeepsWhatOthersAdded) {
  // A stale subkey under a class's CLSID key is gone after registering again
  // (the subtree is replaced), and every record is back.
  CreateClassesKey(std::string("CLSID\\") + kClasses[1].clsid_text + "\\Stale\\Deeper");
  ASSERT_EQ(S_OK, CallEntry(HalvexPath(), "DllRegisterServer"));
  EXPECT_FALSE(ClassesKeyExists(std::string("CLSID\\") + kClasses[1].clsid_text + "\\Stale"));
  EXPECT_EQ(HalvexPath(), ClassesValue(std::string("CLSID\\") + kClasses[1].clsid_text + "\\InprocServer32"));

  // Keys someone else added: a class of theirs, a subkey under one of our
  // CLSID keys and one under one of our ProgID keys.
  CreateClassesKey("CLSID\\{00000000-1111-2222-3333-444444444444}\\InprocServer32");
  CreateClassesKey(std::string("CLSID\\") + kClasses[3].clsid_text + "\\Theirs");
  CreateClassesKey("Halvex.KRSoapMonitor\\Theirs");
  ASSERT_EQ(S_OK, CallEntry(HalvexPath(), "DllUnregisterServer"));
  EXPECT_TRUE(ClassesKeyExists("CLSID"));
  EXPECT_TRUE(ClassesKeyExists("CLSID\\{00000000-1111-2222-3333-444444444444}\\InprocServer32"));
  for (const ClassInfo& c : kClasses) {
    const std::string k = std::string("CLSID\\") + c.clsid_text;
    EXPECT_FALSE(ClassesKeyExists(std::string(c.progid) + ".1")) << c.progid;
    EXPECT_FALSE(ClassesKeyExists(k + "\\InprocServer32")) << c.progid;
    EXPECT_FALSE(ClassesKeyExists(k + "\\ProgID")) << c.progid;
    if (c.clsid != &CLSID_KRObjectTrigger) {
      EXPECT_FALSE(ClassesKeyExists(k)) << c.progid;
    }
    if (c.clsid != &CLSID_KRSoapMonitor) {
      EXPECT_FALSE(ClassesKeyExists(c.progid)) << c.progid;
    }
  }
  // What others added stays, with the keys that hold it.
  EXPECT_TRUE(ClassesKeyExists(std::string("CLSID\\") + kClasses[3].clsid_text + "\\Theirs"));
  EXPECT_TRUE(ClassesKeyExists("Halvex.KRSoapMonitor\\Theirs"));
  EXPECT_FALSE(ClassesKeyExists("Halvex.KRSoapMonitor\\CurVer"));
  EXPECT_FALSE(ClassesKeyExists(std::string("TypeLib\\") + kLibid));
  EXPECT_FALSE(ClassesKeyExists("Interface\\" + com::GuidToUtf8(IID_IKRSoapMonitor)));
  CLSID clsid{};
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Halvex.KRSoapInvoker", &clsid));
  IUnknown* unk = nullptr;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_KRSoapInvoker, nullptr, CLSCTX_ALL, IID_IUnknown,
                                                  reinterpret_cast<void**>(&unk)));
  // Unregistering again finds nothing to do and succeeds.
  EXPECT_EQ(S_OK, CallEntry(HalvexPath(), "DllUnregisterServer"));
}

TEST_F(PackagingTest, EachObjectAnswersItsInterfacesInOrderAndNothingElse) {
  const IID* all[] = {&IID_IKRSoapHandler, &IID_IKRSoapMonitor, &IID_IKRSoapInvoker, &IID_IKRObjectTrigger,
                      &IID_IDispatch,      &IID_IStream,        &IID_ISequentialStream, &IID_IClassFactory};
  struct Expect {
    const CLSID* clsid;
    std::vector<const IID*> answers;  // besides IUnknown, in search order
  } cases[] = {
      {&CLSID_KRSoapHandler, {&IID_IKRSoapHandler, &IID_IDispatch, &IID_IStream}},
      {&CLSID_KRSoapMonitor, {&IID_IKRSoapMonitor, &IID_IDispatch}},
      {&CLSID_KRSoapInvoker, {&IID_IKRSoapInvoker, &IID_IDispatch, &IID_IKRObjectTrigger}},
      {&CLSID_KRObjectTrigger, {&IID_IKRObjectTrigger, &IID_IDispatch}},
  };
  for (const Expect& c : cases) {
    SCOPED_TRACE(com::GuidToUtf8(*c.clsid));
    Ptr<IUnknown> unk;
    ASSERT_EQ(S_OK, CoCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, unk.OutVoid()));
    // The identity is the first entry's vtable, and IDispatch is that same
    // vtable (the dual interface's own).
    Ptr<IUnknown> first, dispatch;
    ASSERT_EQ(S_OK, unk->QueryInterface(*c.answers[0], first.OutVoid()));
    ASSERT_EQ(S_OK, unk->QueryInterface(IID_IDispatch, dispatch.OutVoid()));
    EXPECT_EQ(unk.get(), first.get());
    EXPECT_EQ(unk.get(), dispatch.get());
    for (const IID* iid : all) {
      bool expected = std::find(c.answers.begin(), c.answers.end(), iid) != c.answers.end();
      Ptr<IUnknown> got;
      HRESULT hr = unk->QueryInterface(*iid, got.OutVoid());
      EXPECT_EQ(expected ? S_OK : E_NOINTERFACE, hr) << com::GuidToUtf8(*iid);
      if (!got) {
        EXPECT_EQ(nullptr, got.get());
        continue;
      }
      // Every interface leads back to the one identity.
      Ptr<IUnknown> back;
      ASSERT_EQ(S_OK, got->QueryInterface(IID_IUnknown, back.OutVoid()));
      EXPECT_EQ(unk.get(), back.get()) << com::GuidToUtf8(*iid);
    }
    GUID made_up = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* none = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, unk->QueryInterface(made_up, &none));
    EXPECT_EQ(nullptr, none);
  }
  // The second vtables: the handler's stream and the invoker's trigger face.
  Ptr<IKRSoapHandler> handler;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRSoapHandler, nullptr, CLSCTX_ALL, IID_IKRSoapHandler, handler.OutVoid()));
  Ptr<IStream> stream;
  ASSERT_EQ(S_OK, handler->QueryInterface(IID_IStream, stream.OutVoid()));
  EXPECT_NE(static_cast<void*>(handler.get()), static_cast<void*>(stream.get()));
  // The inert trigger's Execute succeeds and leaves Result alone.
  Ptr<IKRObjectTrigger> trigger;
  ASSERT_EQ(S_OK,
            CoCreateInstance(CLSID_KRObjectTrigger, nullptr, CLSCTX_ALL, IID_IKRObjectTrigger, trigger.OutVoid()));
  LONG result = 77;
  EXPECT_EQ(S_OK, trigger->Execute(nullptr, nullptr, nullptr, nullptr, nullptr, &result));
  EXPECT_EQ(77, result);
}

// An outer object that only counts and answers IUnknown itself.
class Outer final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(iid, ppv) : E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  ULONG refs = 1;
  IUnknown* inner = nullptr;
};

TEST_F(PackagingTest, AggregationNeedsIUnknownAndTheInnerObjectDelegates) {
  for (const ClassInfo& c : kClasses) {
    SCOPED_TRACE(c.progid);
    Outer outer;
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(*c.clsid, &outer, CLSCTX_ALL, IID_IDispatch, &p));
    EXPECT_EQ(nullptr, p);
    Ptr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(*c.clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     factory.OutVoid()));
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IKRObjectTrigger, &p));
    // With IUnknown: a separate inner unknown; interfaces reached through it
    // count on the outer object.
    ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    ASSERT_NE(nullptr, outer.inner);
    IDispatch* d = nullptr;
    ASSERT_EQ(S_OK, outer.inner->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)));
    ULONG before = outer.refs;
    d->AddRef();
    EXPECT_EQ(before + 1, outer.refs);
    d->Release();
    IUnknown* via = nullptr;
    ASSERT_EQ(S_OK, d->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&via)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), via);
    via->Release();
    d->Release();
    EXPECT_EQ(0u, outer.inner->Release());
  }
}

TEST_F(PackagingTest, ObjectsFactoriesAndLocksKeepTheModuleFromUnloading) {
  platform::ScopedModule module(LoadLibraryA(HalvexPath().c_str()));
  ASSERT_TRUE(module);
  auto can_unload = module.Get<HRESULT (*)()>("DllCanUnloadNow");
  auto get_class = module.Get<HRESULT (*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
  ASSERT_NE(nullptr, can_unload);
  ASSERT_NE(nullptr, get_class);
  EXPECT_EQ(S_OK, can_unload());

  Ptr<IClassFactory> factory;
  ASSERT_EQ(S_OK, get_class(CLSID_KRSoapMonitor, IID_IClassFactory, factory.OutVoid()));
  EXPECT_EQ(S_FALSE, can_unload());  // a factory held by a client
  Ptr<IClassFactory> again;
  ASSERT_EQ(S_OK, get_class(CLSID_KRSoapMonitor, IID_IClassFactory, again.OutVoid()));
  EXPECT_EQ(factory.get(), again.get());  // one factory per class
  again.Reset();
  Ptr<IKRSoapMonitor> monitor;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IKRSoapMonitor, monitor.OutVoid()));
  factory.Reset();
  EXPECT_EQ(S_FALSE, can_unload());  // a live object
  monitor.Reset();
  EXPECT_EQ(S_OK, can_unload());

  ASSERT_EQ(S_OK, get_class(CLSID_KRObjectTrigger, IID_IClassFactory, factory.OutVoid()));
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  factory.Reset();
  EXPECT_EQ(S_FALSE, can_unload());
  ASSERT_EQ(S_OK, get_class(CLSID_KRObjectTrigger, IID_IClassFactory, factory.OutVoid()));
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  factory.Reset();
  EXPECT_EQ(S_FALSE, can_unload());  // one lock still held
  ASSERT_EQ(S_OK, get_class(CLSID_KRObjectTrigger, IID_IUnknown, factory.OutVoid()));
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  factory.Reset();
  EXPECT_EQ(S_OK, can_unload());

  void* p = reinterpret_cast<void*>(0x1);
  GUID made_up = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, get_class(made_up, IID_IClassFactory, &p));
  EXPECT_EQ(nullptr, p);
}

TEST_F(PackagingTest, DispatchNamesAndCallsComeFromTheLibrary) {
  Ptr<IDispatch> monitor;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRSoapMonitor, nullptr, CLSCTX_ALL, IID_IDispatch, monitor.OutVoid()));
  UINT count = 0;
  EXPECT_EQ(S_OK, monitor->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(1, IdOf(monitor.get(), u"Start"));
  EXPECT_EQ(2, IdOf(monitor.get(), u"stop"));  // names are matched without regard to case
  EXPECT_EQ(4, IdOf(monitor.get(), u"GetMonitorStatus"));
  EXPECT_EQ(5, IdOf(monitor.get(), u"CanReuseObject"));
  HRESULT hr = S_OK;
  IdOf(monitor.get(), u"Queue", &hr);
  EXPECT_EQ(DISP_E_UNKNOWNNAME, hr);

  // A property put and get by DISPID reach the object.
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = 3;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS put = {&value, &named, 1, 1};
  ASSERT_EQ(S_OK, monitor->Invoke(5, IID_NULL, 0x409, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr));
  Ptr<IKRSoapMonitor> typed;
  ASSERT_EQ(S_OK, monitor->QueryInterface(IID_IKRSoapMonitor, typed.OutVoid()));
  LONG reuse = 0;
  ASSERT_EQ(S_OK, typed->get_CanReuseObject(&reuse));
  EXPECT_EQ(3, reuse);

  Ptr<IDispatch> handler;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRSoapHandler, nullptr, CLSCTX_ALL, IID_IDispatch, handler.OutVoid()));
  EXPECT_EQ(9, IdOf(handler.get(), u"Queue"));
  EXPECT_EQ(3, IdOf(handler.get(), u"SoapAction"));
  Ptr<IDispatch> trigger;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRObjectTrigger, nullptr, CLSCTX_ALL, IID_IDispatch, trigger.OutVoid()));
  EXPECT_EQ(1, IdOf(trigger.get(), u"Execute"));
}

TEST_F(PackagingTest, TheEmbeddedLibraryDescribesTheInterfacesTheirMembersAndTheClasses) {
  Ptr<ITypeLib> lib;
  ASSERT_EQ(S_OK, LoadTypeLib(Utf8ToUtf16(HalvexPath()).c_str(), lib.Out()));
  EXPECT_EQ(8u, lib->GetTypeInfoCount());
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(LIBID_HALVEXLib, attr->guid));
  EXPECT_EQ(0x409u, attr->lcid);
  EXPECT_EQ(1, attr->wMajorVerNum);
  EXPECT_EQ(0, attr->wMinorVerNum);
  EXPECT_EQ(SYS_WIN32, attr->syskind);
  lib->ReleaseTLibAttr(attr);
  com::BstrPtr name, doc;
  ASSERT_EQ(S_OK, lib->GetDocumentation(-1, name.Out(), doc.Out(), nullptr, nullptr));
  EXPECT_EQ("HALVEXLib", name.Utf8());
  EXPECT_EQ("halvex 1.0 Type Library", doc.Utf8());

  struct Member {
    DISPID id;
    INVOKEKIND kind;
    const char* name;
    const char* help;
    short params;  // the [out, retval] one included
  };
  struct Interface {
    const IID* iid;
    const char* name;
    std::vector<Member> members;  // in vtable order, from slot 7
  } interfaces[] = {
      {&IID_IKRSoapHandler,
       "IKRSoapHandler",
       {{3, INVOKE_PROPERTYGET, "SoapAction", "property SoapAction", 1},
        {3, INVOKE_PROPERTYPUT, "SoapAction", "property SoapAction", 1},
        {4, INVOKE_PROPERTYGET, "ErrorDescription", "property ErrorDescription", 1},
        {5, INVOKE_PROPERTYGET, "ErrorCode", "property ErrorCode", 1},
        {6, INVOKE_PROPERTYGET, "SoapRequest", "property SoapRequest", 1},
        {7, INVOKE_PROPERTYGET, "SoapResponse", "property SoapResponse", 1},
        {8, INVOKE_PROPERTYGET, "QueueManager", "property QueueManager", 1},
        {8, INVOKE_PROPERTYPUT, "QueueManager", "property QueueManager", 1},
        {9, INVOKE_PROPERTYGET, "Queue", "property Queue", 1},
        {9, INVOKE_PROPERTYPUT, "Queue", "property Queue", 1}}},
      {&IID_IKRSoapMonitor,
       "IKRSoapMonitor",
       {{1, INVOKE_FUNC, "Start", "method Start", 5},
        {2, INVOKE_FUNC, "Stop", "method Stop", 1},
        {3, INVOKE_FUNC, "Init", "method Init", 3},
        {4, INVOKE_FUNC, "GetMonitorStatus", "method GetMonitorStatus", 3},
        {5, INVOKE_PROPERTYGET, "CanReuseObject", "property CanReuseObject", 1},
        {5, INVOKE_PROPERTYPUT, "CanReuseObject", "property CanReuseObject", 1}}},
      {&IID_IKRSoapInvoker, "IKRSoapInvoker", {}},
      {&IID_IKRObjectTrigger, "IKRObjectTrigger", {{1, INVOKE_FUNC, "Execute", "method Execute", 6}}},
  };
  for (const Interface& itf : interfaces) {
    SCOPED_TRACE(itf.name);
    Ptr<ITypeInfo> info;
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(*itf.iid, info.Out()));
    TYPEATTR* ta = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&ta));
    EXPECT_EQ(TKIND_INTERFACE, ta->typekind);
    EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    EXPECT_EQ(static_cast<int>(itf.members.size()), ta->cFuncs);
    info->ReleaseTypeAttr(ta);
    ASSERT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, name.Out(), doc.Out(), nullptr, nullptr));
    EXPECT_EQ(itf.name, name.Utf8());
    EXPECT_EQ(std::string(itf.name) + " Interface", doc.Utf8());
    HREFTYPE href = 0;
    ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &href));
    Ptr<ITypeInfo> parent;
    ASSERT_EQ(S_OK, info->GetRefTypeInfo(href, parent.Out()));
    ASSERT_EQ(S_OK, parent->GetTypeAttr(&ta));
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, ta->guid));
    parent->ReleaseTypeAttr(ta);
    for (size_t i = 0; i < itf.members.size(); ++i) {
      const Member& m = itf.members[i];
      FUNCDESC* fd = nullptr;
      ASSERT_EQ(S_OK, info->GetFuncDesc(static_cast<UINT>(i), &fd));
      EXPECT_EQ(m.id, fd->memid) << m.name;
      EXPECT_EQ(m.kind, fd->invkind) << m.name;
      EXPECT_EQ(static_cast<SHORT>((7 + i) * sizeof(void*)), fd->oVft) << m.name;
      EXPECT_EQ(m.params, fd->cParams) << m.name;
      ASSERT_EQ(S_OK, info->GetDocumentation(fd->memid, name.Out(), doc.Out(), nullptr, nullptr));
      EXPECT_EQ(m.name, name.Utf8());
      EXPECT_EQ(m.help, doc.Utf8());
      info->ReleaseFuncDesc(fd);
    }
  }
  // Each class names its own interface as its one default interface; the
  // invoker's lists only IKRSoapInvoker although the object answers the
  // trigger interface too.
  const std::pair<const CLSID*, const char*> coclasses[] = {{&CLSID_KRSoapHandler, "IKRSoapHandler"},
                                                            {&CLSID_KRSoapMonitor, "IKRSoapMonitor"},
                                                            {&CLSID_KRSoapInvoker, "IKRSoapInvoker"},
                                                            {&CLSID_KRObjectTrigger, "IKRObjectTrigger"}};
  for (const auto& [clsid, itf] : coclasses) {
    Ptr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(*clsid, coclass.Out()));
    TYPEATTR* ta = nullptr;
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&ta));
    EXPECT_EQ(TKIND_COCLASS, ta->typekind);
    EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FCANCREATE) << itf;
    EXPECT_EQ(1, ta->cImplTypes) << itf;
    coclass->ReleaseTypeAttr(ta);
    INT flags = 0;
    ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
    HREFTYPE href = 0;
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &href));
    Ptr<ITypeInfo> def;
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(href, def.Out()));
    ASSERT_EQ(S_OK, def->GetDocumentation(MEMBERID_NIL, name.Out(), nullptr, nullptr, nullptr));
    EXPECT_EQ(itf, name.Utf8());
    ASSERT_EQ(S_OK, coclass->GetDocumentation(MEMBERID_NIL, name.Out(), doc.Out(), nullptr, nullptr));
    EXPECT_EQ(std::string(itf).substr(1) + " Class", doc.Utf8());
  }
}

// A copy of the module elsewhere is a separate module for the loader, with
// state of its own (its dispatch cache starts empty).
class ModuleCopyTest : public PackagingTest {
 protected:
  std::string CopyModule(const std::string& dir) {
    std::string path = dir + "/libhalvex.so";
    EXPECT_TRUE(CopyFile(HalvexPath(), path));
    return path;
  }
};

TEST_F(ModuleCopyTest, WithoutTheRegisteredLibraryDispatchFailsAsDefined) {
  const std::string copy = CopyModule(Dir("copy"));
  ASSERT_EQ(S_OK, CallEntry(copy, "DllRegisterServer"));
  ASSERT_EQ(copy, ClassesValue(std::string("CLSID\\") + kClasses[1].clsid_text + "\\InprocServer32"));
  ASSERT_EQ(S_OK, UnRegisterTypeLib(LIBID_HALVEXLib, 1, 0, 0x409, SYS_WIN32));

  Ptr<IKRSoapMonitor> monitor;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRSoapMonitor, nullptr, CLSCTX_ALL, IID_IKRSoapMonitor, monitor.OutVoid()));
  EXPECT_EQ(copy, ModuleOfObject(monitor.get()));
  UINT count = 0;
  EXPECT_EQ(S_OK, monitor->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1);
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, monitor->GetTypeInfo(0, 0x409, &info));
  EXPECT_EQ(nullptr, info);
  HRESULT hr = S_OK;
  IdOf(monitor.get(), u"Start", &hr);
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, hr);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED,
            monitor->Invoke(5, IID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
  // The vtable does not need the library.
  LONG reuse = -1;
  EXPECT_EQ(S_OK, monitor->get_CanReuseObject(&reuse));
  // A failure is not remembered: once the library is registered, dispatch works.
  ASSERT_EQ(S_OK, CallEntry(copy, "DllRegisterServer"));
  EXPECT_EQ(5, IdOf(monitor.get(), u"CanReuseObject"));
  monitor.Reset();
  ASSERT_EQ(S_OK, CallEntry(HalvexPath(), "DllRegisterServer"));
}

TEST_F(ModuleCopyTest, TheLibraryComesFromTheTlbBesideTheModuleWhenItsOwnCannotBeRead) {
  // A copy whose embedded library is damaged (its magic changed), so that
  // TYPELIB 1 cannot be loaded from the module.
  const std::string dir = Dir("notlb");
  const std::string copy = CopyModule(dir);
  // The library's header (magic, format 1, the LIBID's first bytes); debug
  // information may hold a second image of the array.
  std::string bytes = ReadBytes(copy);
  const std::string header("KRTL\x01\x00\x00\x00\x6a\xdc\xe7\xe1", 12);
  int patched = 0;
  for (size_t at = bytes.find(header); at != std::string::npos; at = bytes.find(header, at + 1), ++patched)
    bytes[at + 3] = 'X';
  ASSERT_GE(patched, 1);
  ASSERT_TRUE(WriteBytes(copy, bytes));
  const std::string tlb = dir + "/libhalvex.tlb";
  const std::string good = ReadBytes(KRSOAP_HALVEX_TLB);
  ASSERT_GT(good.size(), 64u);

  // No file beside it: the load failure is returned (the classes were
  // entered first, in object-map order).
  ASSERT_EQ(S_OK, CallEntry(HalvexPath(), "DllUnregisterServer"));
  EXPECT_EQ(TYPE_E_CANTLOADLIBRARY, CallEntry(copy, "DllRegisterServer"));
  EXPECT_EQ(copy, ClassesValue(std::string("CLSID\\") + kClasses[3].clsid_text + "\\InprocServer32"));
  EXPECT_FALSE(ClassesKeyExists(std::string("TypeLib\\") + kLibid));
  // A truncated file: the reader's error, no crash.
  ASSERT_TRUE(WriteBytes(tlb, good.substr(0, good.size() / 2)));
  EXPECT_EQ(TYPE_E_INVDATAREAD, CallEntry(copy, "DllRegisterServer"));
  // An empty file has no library header at all.
  ASSERT_TRUE(WriteBytes(tlb, ""));
  EXPECT_EQ(TYPE_E_UNSUPFORMAT, CallEntry(copy, "DllRegisterServer"));
  // The whole file: registered under the file's path, help in its directory.
  ASSERT_TRUE(WriteBytes(tlb, good));
  ASSERT_EQ(S_OK, CallEntry(copy, "DllRegisterServer"));
  const std::string lib = std::string("TypeLib\\") + kLibid + "\\1.0";
  EXPECT_EQ(tlb, ClassesValue(lib + "\\409\\win32"));
  EXPECT_EQ(dir, ClassesValue(lib + "\\HELPDIR"));

  // Dispatch reads the registered file: truncated or missing, the defined
  // failure; whole again, the names.
  Ptr<IDispatch> handler;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRSoapHandler, nullptr, CLSCTX_ALL, IID_IDispatch, handler.OutVoid()));
  EXPECT_EQ(copy, ModuleOfObject(handler.get()));
  HRESULT hr = S_OK;
  ASSERT_TRUE(WriteBytes(tlb, good.substr(0, good.size() - 7)));
  IdOf(handler.get(), u"Queue", &hr);
  EXPECT_EQ(TYPE_E_INVDATAREAD, hr);
  ASSERT_EQ(0, ::unlink(tlb.c_str()));
  IdOf(handler.get(), u"Queue", &hr);
  EXPECT_EQ(TYPE_E_CANTLOADLIBRARY, hr);
  ASSERT_TRUE(WriteBytes(tlb, good));
  EXPECT_EQ(9, IdOf(handler.get(), u"Queue"));
  handler.Reset();
  // Unregistering finds the library the same way and removes it.
  ASSERT_EQ(S_OK, CallEntry(copy, "DllUnregisterServer"));
  EXPECT_FALSE(ClassesKeyExists(std::string("TypeLib\\") + kLibid));
  EXPECT_FALSE(ClassesKeyExists(std::string("CLSID\\") + kClasses[0].clsid_text));
}

TEST_F(ModuleCopyTest, AModulePathWithAQuoteIsRegisteredAsItIsAndItsClassesAreCreated) {
  const std::string dir = Dir("it's here");
  const std::string copy = CopyModule(dir);
  std::string out;
  ASSERT_EQ(0, RunTool({"register", copy}, &out)) << out;
  com::internal::NoteRegistrationChanged();
  for (const ClassInfo& c : kClasses)
    EXPECT_EQ(copy, ClassesValue(std::string("CLSID\\") + c.clsid_text + "\\InprocServer32")) << c.progid;
  EXPECT_EQ(copy, ClassesValue(std::string("TypeLib\\") + kLibid + "\\1.0\\409\\win32"));
  EXPECT_EQ(dir, ClassesValue(std::string("TypeLib\\") + kLibid + "\\1.0\\HELPDIR"));
  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"Halvex.KRSoapMonitor", &clsid));
  Ptr<IDispatch> monitor;
  ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, monitor.OutVoid()));
  EXPECT_EQ(copy, ModuleOfObject(monitor.get()));
  EXPECT_EQ(5, IdOf(monitor.get(), u"CanReuseObject"));
  monitor.Reset();
  ASSERT_EQ(0, RunTool({"unregister", copy}, &out)) << out;
  com::internal::NoteRegistrationChanged();
  EXPECT_FALSE(ClassesKeyExists(std::string("CLSID\\") + kClasses[1].clsid_text));
}

// A write refused in the middle of the object map: a fault planted in the
// real registry store (a trigger that rejects the monitor's CLSID key, the
// one failure of a single class that no registry call can provoke). The
// classes before it are registered, the failure is returned, and neither the
// classes after it nor the library are.
TEST(PackagingRegistryTest, AScriptThatFailsStopsRegistrationAtItsClass) {
  ScopedHome home;
  com::internal::NoteRegistrationChanged();
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                           nullptr));
  RegCloseKey(key);
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((home.path() + "/registry.db").c_str(), &db));
  char* error = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                    "CREATE TRIGGER refuse_monitor BEFORE INSERT ON keys WHEN lower(NEW.name) = "
                                    "'{62a93aeb-63ab-4163-b2dc-a6a2c7ce54f1}' BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                                    nullptr, nullptr, &error))
      << (error ? error : "");
  sqlite3_close(db);

  HRESULT hr = CallEntry(HalvexPath(), "DllRegisterServer");
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(hr));
  EXPECT_TRUE(ClassesKeyExists(std::string("CLSID\\") + kClasses[0].clsid_text + "\\InprocServer32"));
  EXPECT_TRUE(ClassesKeyExists("Halvex.KRSoapHandler\\CurVer"));
  EXPECT_FALSE(ClassesKeyExists(std::string("CLSID\\") + kClasses[1].clsid_text));
  for (const ClassInfo* c : {&kClasses[2], &kClasses[3]}) {
    EXPECT_FALSE(ClassesKeyExists(std::string("CLSID\\") + c->clsid_text)) << c->progid;
    EXPECT_FALSE(ClassesKeyExists(c->progid)) << c->progid;
  }
  EXPECT_FALSE(ClassesKeyExists(std::string("TypeLib\\") + kLibid));
}

// Registration against a registry that refuses writes: the failure of the
// first class is returned and nothing of any class or the library is left.
// Root ignores file permissions, so the tool then runs as "nobody".
TEST(PackagingRegistryTest, AReadOnlyRegistryFailsRegistrationAtTheFirstClass) {
  ScopedHome home;
  // Something in the registry first, so the store exists.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                           nullptr));
  RegCloseKey(key);
  uid_t uid = 0;
  gid_t gid = 0;
  if (::geteuid() == 0) {
    struct passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nullptr, nobody);
    uid = nobody->pw_uid;
    gid = nobody->pw_gid;
  }
  const char* files[] = {"", "/registry.db", "/registry.db-wal", "/registry.db-shm", "/registry.stamp"};
  for (const char* f : files) {
    std::string p = home.path() + f;
    if (::access(p.c_str(), F_OK) != 0) continue;
    if (uid) {
      ASSERT_EQ(0, ::chown(p.c_str(), uid, gid)) << p;
    }
    if (*f) ::chmod(p.c_str(), 0400);
  }
  ASSERT_EQ(0, ::chmod(home.path().c_str(), 0500));
  std::string out;
  int status = RunTool({"register", HalvexPath()}, &out, uid, gid);
  ::chmod(home.path().c_str(), 0700);
  if (uid && (status == 126 || status == 127)) GTEST_SKIP() << "the tool cannot run as nobody from this build tree";
  EXPECT_EQ(1, status) << out;
  EXPECT_NE(std::string::npos, out.find("DllRegisterServer failed")) << out;
  // The first write refused: the proxy file's registration, which runs
  // first (SELFREG_E_CLASS), or a class script's (E_ACCESSDENIED).
  EXPECT_TRUE(out.find("SELFREG_E_CLASS (0x80040201)") != std::string::npos ||
              out.find("(0x80070005)") != std::string::npos)
      << out;
  com::internal::NoteRegistrationChanged();
  for (const ClassInfo& c : kClasses) {
    EXPECT_FALSE(ClassesKeyExists(std::string("CLSID\\") + c.clsid_text)) << c.progid;
    EXPECT_FALSE(ClassesKeyExists(c.progid)) << c.progid;
  }
  EXPECT_FALSE(ClassesKeyExists(std::string("TypeLib\\") + kLibid));
}

}  // namespace
}  // namespace krsoap::test
