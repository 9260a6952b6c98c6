// halvex's proxy file in the registry and in the module's lifetime: the
// HKCR\Interface and proxy/stub class records DllRegisterServer (and
// `krsoap register`) writes, their removal, the lookup Windows makes from an
// IID to the factory, and DllCanUnloadNow while proxies and stubs live.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "halvex.h"
#include "platform/com/activation.h"
#include "platform/com/proxystub.h"
#include "platform/com/rpc/rpc.h"
#include "platform/registry/registry.h"
#include "platform/text/convert.h"
#include "tests/com_rpc/rpc_test_util.h"

namespace krsoap::test {
namespace {

const char16_t kPsClsid[] = u"{22B68B05-0AFB-423C-BE67-063D366B690B}";

// The default value (or `name`) of HKCR\key; "<missing>" when there is none.
std::string Value(const std::u16string& key, const char16_t* name = nullptr) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return "<missing>";
  char16_t buf[1024] = {};
  DWORD cb = sizeof(buf) - 2, type = 0;
  LONG err = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
  RegCloseKey(h);
  if (err != ERROR_SUCCESS) return "<missing>";
  return krsoap::platform::Utf16ToUtf8(std::u16string(buf));
}

bool Exists(const std::u16string& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

std::u16string InterfaceKey(REFIID iid) { return u"Interface\\" + krsoap::com::GuidToString(iid); }

int Tool(const std::string& args, std::string* out) {
  FILE* pipe = popen((BinDir() + "/krsoap " + args + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buf[4096];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out->append(buf, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Expected {
  const IID* iid;
  const char* name;
  const char* methods;
};
const Expected kInterfaces[] = {{&IID_IKRSoapHandler, "IKRSoapHandler", "17"},
                                {&IID_IKRSoapMonitor, "IKRSoapMonitor", "13"},
                                {&IID_IKRObjectTrigger, "IKRObjectTrigger", "8"},
                                {&IID_IKRSoapInvoker, "IKRSoapInvoker", "7"}};

class ProxyFileRegistration : public RpcEnvironment {};

TEST_F(ProxyFileRegistration, RegisterEntersEachInterfaceAndTheProxyStubClass) {
  for (const Expected& e : kInterfaces) {
    SCOPED_TRACE(e.name);
    const std::u16string key = InterfaceKey(*e.iid);
    EXPECT_EQ(Value(key), e.name);
    EXPECT_EQ(Value(key + u"\\NumMethods"), e.methods);
    EXPECT_EQ(Value(key + u"\\ProxyStubClsid32"), krsoap::platform::Utf16ToUtf8(kPsClsid));
    // The type library registered after the proxy file left its proxy alone.
    EXPECT_EQ(Value(key + u"\\TypeLib"), "{E1E7DC6A-2E04-45BC-8696-C40970063556}");
    CLSID ps{};
    EXPECT_EQ(CoGetPSClsid(*e.iid, &ps), S_OK);
    EXPECT_EQ(ps, IID_IKRSoapHandler);
  }
  const std::u16string clsid = std::u16string(u"CLSID\\") + kPsClsid;
  EXPECT_EQ(Value(clsid), "PSFactoryBuffer");
  EXPECT_EQ(Value(clsid + u"\\InprocServer32"), Halvex());
  EXPECT_EQ(Value(clsid + u"\\InprocServer32", u"ThreadingModel"), "Both");
  // The factory is reached the way Windows reaches it.
  IPSFactoryBuffer* factory = nullptr;
  ASSERT_EQ(krsoap::com::GetPSFactoryBuffer(IID_IKRObjectTrigger, &factory), S_OK);
  factory->Release();
}

TEST_F(ProxyFileRegistration, UnregisterRemovesExactlyWhatItEntered) {
  const std::u16string clsid = std::u16string(u"CLSID\\") + kPsClsid;
  // Someone else's entry under the proxy/stub class stays.
  ASSERT_EQ(RegSetValueW(HKEY_CLASSES_ROOT, (clsid + u"\\Other").c_str(), REG_SZ, u"kept", 10), ERROR_SUCCESS);
  ASSERT_EQ(CallModuleEntry(Halvex(), "DllUnregisterServer"), S_OK);
  for (const Expected& e : kInterfaces) {
    SCOPED_TRACE(e.name);
    EXPECT_FALSE(Exists(InterfaceKey(*e.iid)));
    CLSID ps{};
    EXPECT_EQ(CoGetPSClsid(*e.iid, &ps), REGDB_E_IIDNOTREG);
  }
  EXPECT_FALSE(Exists(clsid + u"\\InprocServer32"));
  EXPECT_EQ(Value(clsid), "<missing>");
  EXPECT_EQ(Value(clsid + u"\\Other"), "kept");
  EXPECT_TRUE(Exists(u"CLSID"));
  // Twice is fine; registering again brings everything back.
  EXPECT_EQ(CallModuleEntry(Halvex(), "DllUnregisterServer"), S_OK);
  ASSERT_EQ(CallModuleEntry(Halvex(), "DllRegisterServer"), S_OK);
  EXPECT_EQ(Value(InterfaceKey(IID_IKRSoapMonitor) + u"\\NumMethods"), "13");
}

TEST_F(ProxyFileRegistration, TheToolRegistersAndUnregistersTheRecords) {
  std::string out;
  ASSERT_EQ(Tool("unregister " + Halvex(), &out), 0) << out;
  EXPECT_FALSE(Exists(InterfaceKey(IID_IKRSoapHandler)));
  EXPECT_FALSE(Exists(std::u16string(u"CLSID\\") + kPsClsid + u"\\InprocServer32"));
  ASSERT_EQ(Tool("register " + Halvex(), &out), 0) << out;
  EXPECT_EQ(Value(InterfaceKey(IID_IKRSoapHandler) + u"\\ProxyStubClsid32"), krsoap::platform::Utf16ToUtf8(kPsClsid));
  EXPECT_EQ(Value(std::u16string(u"CLSID\\") + kPsClsid + u"\\InprocServer32"), Halvex());
}

// The controlling unknown a proxy is aggregated into.
class Outer final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  ULONG refs = 1;
};

TEST_F(ProxyFileRegistration, CanUnloadNowWaitsForEveryProxyAndStub) {
  void* module = dlopen(Halvex().c_str(), RTLD_NOW);
  ASSERT_NE(module, nullptr);
  auto can_unload = reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllCanUnloadNow"));
  ASSERT_NE(can_unload, nullptr);
  EXPECT_EQ(can_unload(), S_OK);

  IPSFactoryBuffer* factory = nullptr;
  ASSERT_EQ(krsoap::com::GetPSFactoryBuffer(IID_IKRSoapMonitor, &factory), S_OK);
  EXPECT_EQ(can_unload(), S_FALSE);
  Outer outer;
  IRpcProxyBuffer* proxy = nullptr;
  void* itf = nullptr;
  ASSERT_EQ(factory->CreateProxy(&outer, IID_IKRSoapMonitor, &proxy, &itf), S_OK);
  IRpcProxyBuffer* no_proxy = nullptr;
  void* no_itf = nullptr;
  EXPECT_EQ(factory->CreateProxy(&outer, IID_IUnknown, &no_proxy, &no_itf), E_NOINTERFACE);
  factory->Release();
  EXPECT_EQ(can_unload(), S_FALSE) << "a proxy lives";
  // Unconnected, its calls fail cleanly.
  LONG v = 0;
  EXPECT_EQ(static_cast<IKRSoapMonitor*>(itf)->get_CanReuseObject(&v), CO_E_OBJNOTCONNECTED);
  static_cast<IUnknown*>(itf)->Release();
  EXPECT_EQ(outer.refs, 1u);
  proxy->Release();
  EXPECT_EQ(can_unload(), S_OK);

  // A stub (over the inert trigger, released by us at once) keeps it too.
  ASSERT_EQ(krsoap::com::GetPSFactoryBuffer(IID_IKRObjectTrigger, &factory), S_OK);
  IUnknown* trigger = nullptr;
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromString(u"Halvex.KRObjectTrigger", &clsid), S_OK);
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&trigger)), S_OK);
  IRpcStubBuffer* stub = nullptr;
  ASSERT_EQ(factory->CreateStub(IID_IKRObjectTrigger, trigger, &stub), S_OK);
  IRpcStubBuffer* no_stub = nullptr;
  EXPECT_EQ(factory->CreateStub(IID_IKRSoapMonitor, trigger, &no_stub), E_NOINTERFACE);
  factory->Release();
  trigger->Release();
  EXPECT_EQ(can_unload(), S_FALSE) << "a stub lives";
  stub->Release();
  EXPECT_EQ(can_unload(), S_OK);

  // A proxy to another process.
  HostProcess host;
  std::string said;
  ASSERT_TRUE(host.Start(Socket(), {"monitor=Halvex.KRSoapMonitor"}, &said)) << said;
  IKRSoapMonitor* remote = nullptr;
  ASSERT_EQ(krsoap::com::rpc::ConnectToObject(Socket(), "monitor", IID_IKRSoapMonitor, reinterpret_cast<void**>(&remote)),
            S_OK);
  EXPECT_EQ(can_unload(), S_FALSE);
  remote->Release();
  EXPECT_EQ(can_unload(), S_OK);
  host.Stop();
  dlclose(module);
}

}  // namespace
}  // namespace krsoap::test
