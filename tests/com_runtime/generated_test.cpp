// What the build generates from one description (declarations, description
// tables, embedded resources), the interface compiler's handling of bad
// descriptions, and activation racing with unloading.
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "krtestcomp.h"
#include "platform/com/resources.h"
#include "tests/com_runtime/com_test_util.h"

namespace krsoap::test {
namespace {

using GeneratedTest = ComTest;

TEST_F(GeneratedTest, DescriptionTablesMatchTheDeclarations) {
  ASSERT_EQ(2u, kr_krtestcomp_interface_count);
  const com::InterfaceDesc& calc = *kr_krtestcomp_interfaces[0];
  EXPECT_STREQ("IKRCalc", calc.name);
  EXPECT_EQ(IID_IKRCalc, calc.iid);
  EXPECT_TRUE(calc.dual);
  EXPECT_EQ(7, calc.first_slot);
  ASSERT_EQ(11, calc.method_count);
  // Slots follow declaration order after IDispatch; a property's get precedes its put.
  EXPECT_STREQ("Add", calc.methods[0].name);
  EXPECT_EQ(7, calc.methods[0].slot);
  EXPECT_EQ(2, calc.methods[4].invkind);  // get Name
  EXPECT_EQ(4, calc.methods[5].invkind);  // put Name
  EXPECT_EQ(calc.methods[4].dispid, calc.methods[5].dispid);
  const com::MethodDesc& mix = calc.methods[9];
  EXPECT_STREQ("Mix", mix.name);
  ASSERT_EQ(10, mix.param_count);
  EXPECT_EQ(VT_BOOL, mix.params[7].vt);
  EXPECT_EQ(VT_R8 | VT_BYREF, mix.params[9].vt);
  EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, mix.params[9].flags);
  const com::InterfaceDesc& counter = *kr_krtestcomp_interfaces[1];
  EXPECT_FALSE(counter.dual);
  EXPECT_EQ(3, counter.first_slot);
  EXPECT_EQ(4, counter.methods[1].slot);
  EXPECT_EQ(0, counter.methods[1].param_count);
}

TEST_F(GeneratedTest, EmbeddedStringsAndVersionBlock) {
  com::ServerModule module;
  ASSERT_EQ(S_OK, com::LoadServerModule(platform::Utf8ToUtf16(ComponentPath()), &module));
  const KrResourceTable* table = com::ModuleResourceTable(module.handle());
  ASSERT_NE(nullptr, table);
  EXPECT_EQ(u"krtestcomp", com::LoadResourceString(table, 100));
  EXPECT_EQ(u"", com::LoadResourceString(table, 101));
  auto version = com::LoadVersionBlock(table);
  EXPECT_EQ("1.0.0.1", version["FileVersion"]);
  EXPECT_EQ("krtestcomp Module", version["FileDescription"]);
  EXPECT_EQ(1u, version.count("OLESelfRegister"));
  const uint8_t* data = nullptr;
  size_t size = 0;
  ASSERT_TRUE(com::FindResource(table, "registry", 102, &data, &size));
  EXPECT_NE(std::string::npos, std::string(reinterpret_cast<const char*>(data), size).find("KRTest.Calculator.1"));
  EXPECT_FALSE(com::FindResource(table, "REGISTRY", 104, &data, &size));
  EXPECT_EQ(nullptr, com::ModuleResourceTable(nullptr));
}

int RunGenerator(const std::string& idl_text, const std::string& dir, std::string* output) {
  const std::string idl = dir + "/bad.idl";
  std::ofstream(idl) << idl_text;
  std::string command = BinDir() + "/krcomgen idl " + idl + " " + dir + "/bad.h " + dir + "/bad.tlb " + dir +
                        "/bad_desc.cpp 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  char buf[512];
  output->clear();
  while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) output->append(buf, n);
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(GeneratedTest, InterfaceCompilerRejectsBadDescriptionsWithTheirPlace) {
  const std::string uuid = "uuid(0F84D71D-411A-4085-AAE3-8F761FCCD5AA)";
  struct Case {
    std::string text;
    const char* expect;
  } cases[] = {
      {"[" + uuid + "] interface I : IUnknown { long F(); };", "does not return HRESULT"},
      {"[" + uuid + "] interface I : IUnknown { HRESULT F([out] long a); };", "is not a pointer"},
      {"[" + uuid + "] interface I : IUnknown { HRESULT F([out, retval] long* a, [in] long b); };", "not the last"},
      {"[" + uuid + "] interface I : IUnknown { HRESULT F([in] struct_t a); };", "unsupported type"},
      {"[uuid(nope)] interface I : IUnknown { };", "bad uuid"},
      {"[" + uuid + "] interface I : IMissing { };", "unknown IMissing"},
      {"[" + uuid + ", dual] interface I : IUnknown { };", "must derive from IDispatch"},
      {"[" + uuid + "] interface I : IUnknown { HRESULT F(", "expected"},
      {"/* open comment", "unterminated comment"},
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_EQ(1, RunGenerator(c.text, home_.path(), &output)) << c.text;
    EXPECT_NE(std::string::npos, output.find(c.expect)) << c.text << "\n" << output;
    EXPECT_NE(std::string::npos, output.find("bad.idl")) << output;
  }
}

// Threads create and drop objects while another keeps asking for unused
// modules to be unloaded: nobody may call into an unloaded module.
TEST_F(GeneratedTest, ActivationRacesWithUnloading) {
  ASSERT_EQ(S_OK, CallComponent("DllRegisterServer"));
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; i < 300; ++i) {
        IKRCalc* calc = nullptr;
        if (FAILED(CoCreateInstance(CLSID_KRCalculator, nullptr, CLSCTX_ALL, IID_IKRCalc,
                                    reinterpret_cast<void**>(&calc)))) {
          ++failures;
          continue;
        }
        LONG sum = 0;
        if (calc->Add(i, 1, &sum) != S_OK || sum != i + 1) ++failures;
        calc->Release();
      }
      CoUninitialize();
    });
  }
  std::thread unloader([&] {
    while (!stop.load()) CoFreeUnusedLibraries();
  });
  for (auto& t : threads) t.join();
  stop = true;
  unloader.join();
  EXPECT_EQ(0, failures.load());
  CoFreeUnusedLibraries();
  EXPECT_EQ(0u, com::LoadedServerCount());
}

TEST_F(GeneratedTest, UnregisteringForgetsARememberedClass) {
  ASSERT_EQ(S_OK, CallComponent("DllRegisterServer"));
  Ptr<IKRCalc> calc;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRCalculator, nullptr, CLSCTX_ALL, IID_IKRCalc, calc.OutVoid()));
  ASSERT_EQ(S_OK, CallComponent("DllUnregisterServer"));
  // The module is still loaded (calc lives), but the class is gone.
  Ptr<IKRCalc> another;
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_KRCalculator, nullptr, CLSCTX_ALL, IID_IKRCalc, another.OutVoid()));
  LONG sum = 0;
  EXPECT_EQ(S_OK, calc->Add(1, 1, &sum));
}

TEST_F(GeneratedTest, MarshallingHooksComeFirst) {
  ASSERT_EQ(S_OK, CallComponent("DllRegisterServer"));
  const std::string ps = "CLSID\\{1178D565-61BD-4B51-92B7-A955D4366074}";
  EXPECT_EQ("PSFactoryBuffer", ClassesValue(ps));
  EXPECT_EQ(ComponentPath(), ClassesValue(ps + "\\InprocServer32"));
  // The hook answers its class id before the object map is searched.
  Ptr<IKRCounter> counter;
  ASSERT_EQ(S_OK, CoCreateInstance(IID_IKRCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IKRCounter, counter.OutVoid()));
  LONG n = 0;
  EXPECT_EQ(S_OK, counter->Increment(&n));
  counter.Reset();

  // A live "proxy" keeps the module loaded although no object lives.
  com::ServerModule module;
  ASSERT_EQ(S_OK, com::LoadServerModule(platform::Utf8ToUtf16(ComponentPath()), &module));
  auto hold = reinterpret_cast<void (*)(BOOL)>(module.Symbol("KrTestHoldModule"));
  auto can_unload = reinterpret_cast<HRESULT (*)()>(module.Symbol("DllCanUnloadNow"));
  ASSERT_NE(nullptr, hold);
  hold(TRUE);
  EXPECT_EQ(S_FALSE, can_unload());
  CoFreeUnusedLibraries();
  EXPECT_EQ(1u, com::LoadedServerCount());
  hold(FALSE);
  EXPECT_EQ(S_OK, can_unload());
  CoFreeUnusedLibraries();
  EXPECT_EQ(0u, com::LoadedServerCount());

  ASSERT_EQ(S_OK, CallComponent("DllUnregisterServer"));
  EXPECT_FALSE(ClassesKeyExists(ps));
}

}  // namespace
}  // namespace krsoap::test
