// Run-time module loading: name mapping, real modules from the build, files
// that are no modules, reference counts, and module paths.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "platform/module/module.h"
#include "platform/text/convert.h"
#include "platform/win32/error_codes.h"
#include "platform/win32/last_error.h"
#include "tests/support/test_home.h"

using krsoap::platform::LastModuleErrorText;
using krsoap::platform::LibraryDirectory;
using krsoap::platform::MapModuleName;
using krsoap::platform::ModulePathFromAddress;
using krsoap::platform::ScopedModule;
using krsoap::test::LibDir;
using krsoap::test::ScopedHome;

namespace {

std::string Real(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

const std::string kFixture = "libkrwin32_fixture.so";

TEST(ModuleNames, WindowsNamesMapToSharedLibraries) {
  EXPECT_EQ(MapModuleName("krm.dll"), "libkrm.so");
  EXPECT_EQ(MapModuleName("krcl32.dll"), "libkrcl.so");
  EXPECT_EQ(MapModuleName("halvex.DLL"), "libhalvex.so");
  EXPECT_EQ(MapModuleName("corvel.DLL"), "libcorvel.so");
  EXPECT_EQ(MapModuleName("OLEAUT32.DLL"), "libkrplatform.so");
  EXPECT_EQ(MapModuleName("krm"), "libkrm.so");
  EXPECT_EQ(MapModuleName("C:\\bin\\Corvel.dll"), "C:/bin/libcorvel.so");
  EXPECT_EQ(MapModuleName("libkrm.so"), "libkrm.so");
  EXPECT_EQ(MapModuleName("/opt/x/libfoo.so.1"), "/opt/x/libfoo.so.1");
  EXPECT_EQ(MapModuleName("notes.txt"), "notes.txt");
}

TEST(Modules, LoadsARealModuleAndFindsItsExports) {
  ScopedModule module(LoadLibraryW(u"krwin32_fixture.dll"));
  ASSERT_TRUE(module) << LastModuleErrorText();
  auto answer = module.Get<int (*)()>("KrFixtureAnswer");
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_NE(GetProcAddress(module.get(), "KrFixtureLoads"), nullptr);

  SetLastError(0);
  EXPECT_EQ(GetProcAddress(module.get(), "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
  EXPECT_NE(LastModuleErrorText().find("NoSuchExport"), std::string::npos);
  EXPECT_EQ(GetProcAddress(module.get(), reinterpret_cast<LPCSTR>(uintptr_t(3))), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));

  // The same module by its file name and by full path is the same module.
  ScopedModule again(LoadLibraryA(kFixture.c_str()));
  ScopedModule by_path(LoadLibraryA((LibDir() + "/" + kFixture).c_str()));
  EXPECT_EQ(again.get(), module.get());
  EXPECT_EQ(by_path.get(), module.get());
}

TEST(Modules, EachLoadNeedsItsOwnFree) {
  HMODULE first = LoadLibraryA(kFixture.c_str());
  ASSERT_NE(first, nullptr);
  HMODULE second = LoadLibraryA(kFixture.c_str());
  ASSERT_EQ(second, first);
  auto* loads = reinterpret_cast<int*>(GetProcAddress(first, "KrFixtureLoads"));
  ASSERT_NE(loads, nullptr);
  EXPECT_EQ(*loads, 1);  // constructors ran once
  ASSERT_TRUE(FreeLibrary(first));
  EXPECT_NE(GetProcAddress(second, "KrFixtureAnswer"), nullptr);  // still loaded
  EXPECT_EQ(GetModuleHandleA("krwin32_fixture.dll"), first);
  ASSERT_TRUE(FreeLibrary(second));

  // The handle is dead now: every call refuses it without touching it.
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(first, "KrFixtureAnswer"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FreeLibrary(first));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  char name[64];
  EXPECT_EQ(GetModuleFileNameA(first, name, sizeof name), 0u);
  EXPECT_EQ(GetModuleHandleA("krwin32_fixture.dll"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(Modules, MissingFilesAndNonModulesFailWithTheirCodes) {
  ScopedHome home;
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("nosuchmodule.dll"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(LastModuleErrorText().empty());
  EXPECT_EQ(LoadLibraryA((home.path() + "/missing.so").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));

  std::string text_file = home.path() + "/x.so";
  std::ofstream(text_file) << "this is not a shared library\n";
  EXPECT_EQ(LoadLibraryA(text_file.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
  std::string empty_file = home.path() + "/empty.so";
  std::ofstream{empty_file};
  EXPECT_EQ(LoadLibraryW(krsoap::platform::Utf8ToUtf16(empty_file).c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
  std::string directory = home.path() + "/plugins.so";
  ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
  EXPECT_EQ(LoadLibraryA(directory.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
  // A path without extension gets ".dll" on Windows, so here it names a
  // library that does not exist.
  EXPECT_EQ(LoadLibraryA(home.path().c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));

  // A module whose import cannot be resolved.
  EXPECT_EQ(LoadLibraryA("libkrwin32_unresolved.so"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));

  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(LoadLibraryA(""), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(LoadLibraryA(std::string(5000, 'a').c_str()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
}

TEST(Modules, ForgedHandlesAreRefused) {
  int on_stack = 0;
  HMODULE forged[] = {reinterpret_cast<HMODULE>(uintptr_t(0x1000)), &on_stack};
  for (HMODULE h : forged) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, "KrFixtureAnswer"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FreeLibrary(h));
  }
  EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST(Modules, TheAutomationRuntimeIsThePlatformLibrary) {
  ScopedModule runtime(LoadLibraryW(u"oleaut32.dll"));
  ASSERT_TRUE(runtime) << LastModuleErrorText();
  auto set_last_error = runtime.Get<void (*)(DWORD)>("SetLastError");
  ASSERT_NE(set_last_error, nullptr);
  set_last_error(4242);
  EXPECT_EQ(GetLastError(), 4242u);  // the very function this test links
}

TEST(ModulePaths, FileNamesAreFullPaths) {
  ScopedModule module(LoadLibraryA(kFixture.c_str()));
  ASSERT_TRUE(module);
  std::string expected = Real(LibDir() + "/" + kFixture);

  char narrow[PATH_MAX];
  DWORD n = GetModuleFileNameA(module.get(), narrow, sizeof narrow);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(Real(narrow), expected);
  EXPECT_EQ(n, std::string(narrow).size());
  EXPECT_EQ(narrow[0], '/');

  char16_t wide[PATH_MAX];
  DWORD wn = GetModuleFileNameW(module.get(), wide, PATH_MAX);
  EXPECT_EQ(krsoap::platform::Utf16ToUtf8(std::u16string(wide, wn)), std::string(narrow));

  // Too small: cut, terminated, the buffer size returned.
  char small[8];
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(module.get(), small, sizeof small), 8u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(small), std::string(narrow).substr(0, 7));

  // The module that contains a given address.
  std::string from_address;
  ASSERT_TRUE(ModulePathFromAddress(
      reinterpret_cast<const void*>(GetProcAddress(module.get(), "KrFixtureAnswer")),
      &from_address));
  EXPECT_EQ(Real(from_address), expected);
}

TEST(ModulePaths, MainProgramAndPlatformLibrary) {
  char exe[PATH_MAX];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  std::string self;
  static int local_data = 0;
  ASSERT_TRUE(ModulePathFromAddress(&local_data, &self));
  EXPECT_EQ(self, exe);
  EXPECT_EQ(GetModuleHandleA(nullptr), GetModuleHandleW(nullptr));
  // The main program's lookup sees everything it was linked with.
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(nullptr, "SetLastError")),
            reinterpret_cast<void*>(&SetLastError));

  EXPECT_EQ(Real(LibraryDirectory()), Real(LibDir()));
  std::string platform;
  ASSERT_TRUE(ModulePathFromAddress(reinterpret_cast<const void*>(&SetLastError), &platform));
  EXPECT_EQ(Real(platform), Real(LibDir() + "/libkrplatform.so"));
  EXPECT_FALSE(ModulePathFromAddress(nullptr, &platform));
}

}  // namespace
