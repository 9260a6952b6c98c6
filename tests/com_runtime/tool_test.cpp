// The krsoap tool's registration commands, run as real processes against
// the test component.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "krtestcomp.h"
#include "tests/com_runtime/com_test_util.h"

namespace krsoap::test {
namespace {

struct ToolRun {
  int status = -1;
  std::string output;
};

// Runs "krsoap ARGS" with this test's data root; stdout and stderr together.
ToolRun Krsoap(const std::string& args) {
  ToolRun run;
  std::string command = BinDir() + "/krsoap " + args + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  char buf[512];
  while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) run.output.append(buf, n);
  int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

using ToolTest = ComTest;

TEST_F(ToolTest, RegisterShowAndUnregisterTheComponent) {
  ToolRun reg = Krsoap("register " + ComponentPath());
  ASSERT_EQ(0, reg.status) << reg.output;
  EXPECT_NE(std::string::npos, reg.output.find("S_OK")) << reg.output;

  // The registration is visible to this process.
  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"KRTest.Calculator", &clsid));
  EXPECT_EQ(CLSID_KRCalculator, clsid);
  Ptr<IKRCalc> calc;
  ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IKRCalc, calc.OutVoid()));
  calc.Reset();

  ToolRun show = Krsoap("clsid KRTest.Calculator");
  ASSERT_EQ(0, show.status) << show.output;
  EXPECT_NE(std::string::npos, show.output.find("{DA5B6109-F15B-4150-AD3C-8D9507F9D81E}"));
  EXPECT_NE(std::string::npos, show.output.find("KRTest.Calculator.1"));
  EXPECT_NE(std::string::npos, show.output.find(ComponentPath()));
  EXPECT_NE(std::string::npos, show.output.find("Free"));
  EXPECT_NE(std::string::npos, show.output.find("{17AB6ACF-0559-453F-8370-C4F50A87DC9F}"));
  ToolRun by_clsid = Krsoap("clsid {B1CA457A-A98A-4F95-94E1-81DD102B5438}");
  ASSERT_EQ(0, by_clsid.status) << by_clsid.output;
  EXPECT_NE(std::string::npos, by_clsid.output.find("Apartment"));

  ToolRun unreg = Krsoap("unregister " + ComponentPath());
  ASSERT_EQ(0, unreg.status) << unreg.output;
  com::internal::NoteRegistrationChanged();
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"KRTest.Calculator", &clsid));
  ToolRun gone = Krsoap("clsid KRTest.Calculator");
  EXPECT_EQ(1, gone.status);
  EXPECT_NE(std::string::npos, gone.output.find("CO_E_CLASSSTRING")) << gone.output;
}

TEST_F(ToolTest, ModulesThatCannotRegisterAreReported) {
  std::string text = home_.path() + "/notamodule.so";
  FILE* f = std::fopen(text.c_str(), "w");
  std::fputs("text\n", f);
  std::fclose(f);
  // Each with the loader's own reason after the HRESULT.
  ToolRun bad = Krsoap("register " + text);
  EXPECT_EQ(1, bad.status);
  EXPECT_NE(std::string::npos, bad.output.find("0x800700C1)")) << bad.output;
  EXPECT_NE(std::string::npos, bad.output.find("file too short")) << bad.output;

  ToolRun missing = Krsoap("register " + home_.path() + "/missing.so");
  EXPECT_EQ(1, missing.status);
  EXPECT_NE(std::string::npos, missing.output.find("0x8007007E)")) << missing.output;
  EXPECT_NE(std::string::npos, missing.output.find("No such file or directory")) << missing.output;

  ToolRun no_entry = Krsoap("register " + LibDir() + "/libkrplatform.so");
  EXPECT_EQ(1, no_entry.status);
  EXPECT_NE(std::string::npos, no_entry.output.find("DllRegisterServer was not found")) << no_entry.output;
  EXPECT_NE(std::string::npos, no_entry.output.find("0x8007007F")) << no_entry.output;

  ToolRun usage = Krsoap("register");
  EXPECT_EQ(2, usage.status);
  ToolRun unknown = Krsoap("clsid {not-a-clsid}");
  EXPECT_EQ(1, unknown.status);
}

// The module directory holds the test suites' components beside the
// product's; setup registers the product's alone.
TEST_F(ToolTest, SetupRegistersTheProductModulesOnly) {
  ToolRun setup = Krsoap("setup");
  ASSERT_EQ(0, setup.status) << setup.output;
  EXPECT_NE(std::string::npos, setup.output.find("libkrxml.so: DllRegisterServer succeeded")) << setup.output;
  EXPECT_EQ(std::string::npos, setup.output.find("libkrtest")) << setup.output;
  CLSID clsid{};
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"KRTest.CounterStream", &clsid));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"KRTest.Calculator", &clsid));
}

}  // namespace
}  // namespace krsoap::test
