// "krsoap register", "krsoap unregister", "krsoap clsid" and the setup step
// that registers the product's component modules.
//
// register/unregister load a module and call its DllRegisterServer or
// DllUnregisterServer, reporting the HRESULT by name. A module that cannot be
// loaded or lacks the entry point is reported with the HRESULT the Windows
// registration tool shows: the loader's error (ERROR_MOD_NOT_FOUND,
// ERROR_BAD_EXE_FORMAT) or ERROR_PROC_NOT_FOUND, as HRESULTs; a module that
// cannot be loaded also with the loader's own reason.
#include <CLI/CLI.hpp>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/com.h"
#include "platform/com/server_loader.h"
#include "platform/module/module.h"
#include "platform/text/convert.h"
#include "tools/krsoap/command.h"

namespace krsoap::tool {
namespace {

using com::HResultName;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

std::string Describe(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  // Registration's own failures share their values with CONNECT_E_*; here
  // they can only mean the self-registration ones.
  if (hr == SELFREG_E_TYPELIB) return std::string("SELFREG_E_TYPELIB (") + code + ")";
  if (hr == SELFREG_E_CLASS) return std::string("SELFREG_E_CLASS (") + code + ")";
  std::string name = HResultName(hr);
  if (name == code) {
    // The loader's Win32 errors, as the registration reports them.
    static const struct {
      DWORD error;
      const char* name;
    } kWin32[] = {{ERROR_MOD_NOT_FOUND, "ERROR_MOD_NOT_FOUND"},
                  {ERROR_BAD_EXE_FORMAT, "ERROR_BAD_EXE_FORMAT"},
                  {ERROR_PROC_NOT_FOUND, "ERROR_PROC_NOT_FOUND"}};
    for (const auto& w : kWin32) {
      if (hr == HRESULT_FROM_WIN32(w.error)) return std::string("HRESULT_FROM_WIN32(") + w.name + ") (" + code + ")";
    }
    return name;
  }
  return name + " (" + code + ")";
}

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

// Loads `path` and calls `entry`; prints the outcome. Returns the HRESULT.
HRESULT CallEntry(const std::string& path, const char* entry, bool quiet_missing_entry, bool* had_entry) {
  if (had_entry) *had_entry = false;
  com::ServerModule module;
  HRESULT hr = com::LoadServerModule(Utf8ToUtf16(path), &module);
  if (FAILED(hr)) {
    HRESULT shown = hr == CO_E_DLLNOTFOUND ? HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) : HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
    // The loader says why: the file is missing, is not a library, or needs a
    // library or symbol that is not there.
    std::string why = platform::LastModuleErrorText();
    if (why.empty()) why = hr == CO_E_DLLNOTFOUND ? "the file or a library it needs was not found" : "not a loadable library";
    std::fprintf(stderr, "%s: cannot be loaded as a module: %s: %s\n", path.c_str(), Describe(shown).c_str(),
                 why.c_str());
    return shown;
  }
  auto fn = reinterpret_cast<HRESULT (*)()>(module.Symbol(entry));
  if (!fn) {
    HRESULT shown = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    if (!quiet_missing_entry)
      std::fprintf(stderr, "%s: the module was loaded but the entry point %s was not found: %s\n", path.c_str(), entry,
                   Describe(shown).c_str());
    return shown;
  }
  if (had_entry) *had_entry = true;
  hr = fn();
  if (FAILED(hr)) {
    std::fprintf(stderr, "%s: %s failed: %s\n", path.c_str(), entry, Describe(hr).c_str());
  } else {
    std::printf("%s: %s succeeded: %s\n", path.c_str(), entry, Describe(hr).c_str());
  }
  return hr;
}

int RunRegister(const std::string& module, const char* entry) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HRESULT hr = CallEntry(AbsolutePath(module), entry, false, nullptr);
  CoUninitialize();
  return FAILED(hr) ? 1 : 0;
}

int RunClsid(const std::string& arg) {
  const std::u16string name = Utf8ToUtf16(arg);
  CLSID clsid{};
  HRESULT hr = CLSIDFromString(name.c_str(), &clsid);
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap clsid: %s: no such class: %s\n", arg.c_str(), Describe(hr).c_str());
    return 1;
  }
  com::ClassRegistration reg;
  hr = com::QueryClassRegistration(clsid, &reg);
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap clsid: %s: %s is not registered: %s\n", arg.c_str(),
                 com::GuidToUtf8(clsid).c_str(), Describe(hr).c_str());
    return 1;
  }
  auto line = [](const char* what, const std::u16string& value) {
    std::printf("%-25s %s\n", what, value.empty() ? "(none)" : Utf16ToUtf8(value).c_str());
  };
  std::printf("%-25s %s\n", "CLSID", com::GuidToUtf8(clsid).c_str());
  line("Description", reg.description);
  line("ProgID", reg.prog_id);
  line("VersionIndependentProgID", reg.version_independent_prog_id);
  line("InprocServer32", reg.inproc_server);
  line("ThreadingModel", reg.threading_model);
  line("TypeLib", reg.type_lib);
  return 0;
}

// The build's module directory: ../lib beside this executable.
std::string ModuleDirectory() {
  char exe[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return {};
  exe[n] = '\0';
  std::string dir(exe);
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir.substr(0, dir.find_last_of('/')) + "/lib";
}

// The modules setup registers: the product's components and the example
// service the demo serves. The module directory also holds the test suites'
// components and fixtures; those are registered by the tests that use them,
// never by setup into an operator's registry.
constexpr const char* kProductModules[] = {"libkrxml.so", "libkrsoap.so", "libhalvex.so", "libcorvel.so",
                                           "libkrcalculator.so"};

int RegisterProductModules() {
  const std::string dir = ModuleDirectory();
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int failures = 0;
  for (const char* name : kProductModules) {
    const std::string path = dir + "/" + name;
    struct stat st;
    if (dir.empty() || ::stat(path.c_str(), &st) != 0) {
      std::printf("  %s: not built, skipped\n", path.c_str());
      continue;
    }
    if (FAILED(CallEntry(path, "DllRegisterServer", false, nullptr))) ++failures;
  }
  CoUninitialize();
  return failures ? 1 : 0;
}

// One operand, MODULE or PROGID-OR-CLSID, for the three commands.
std::shared_ptr<std::string> Operand(CLI::App& app, const char* name, const char* what, const char* about) {
  auto value = std::make_shared<std::string>();
  app.add_option(name, *value, what)->required();
  app.footer(about);
  return value;
}

Runner DefineRegister(CLI::App& app) {
  auto module = Operand(app, "MODULE", "a path to a shared library",
                        "Loads MODULE and calls its DllRegisterServer, which enters its classes,\n"
                        "ProgIDs and type library in the registry. Prints the result by name.\n");
  return [module] { return RunRegister(*module, "DllRegisterServer"); };
}

Runner DefineUnregister(CLI::App& app) {
  auto module = Operand(app, "MODULE", "a path to a shared library",
                        "Loads MODULE and calls its DllUnregisterServer, which removes what\n"
                        "registration entered. Prints the result by name.\n");
  return [module] { return RunRegister(*module, "DllUnregisterServer"); };
}

Runner DefineClsid(CLI::App& app) {
  auto name = Operand(app, "PROGID-OR-CLSID", "a ProgID (CurVer is followed) or a braced CLSID",
                      "Prints the registration found: CLSID, description, ProgIDs, module\n"
                      "path, threading model and type library. Exits 1 when there is none.\n");
  return [name] { return RunClsid(*name); };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"register", "register a component module (calls its DllRegisterServer)", DefineRegister});
KRSOAP_CLI_COMMAND(CliCommand{"unregister", "unregister a component module (calls its DllUnregisterServer)",
                              DefineUnregister});
KRSOAP_CLI_COMMAND(CliCommand{"clsid", "show the registration of a class by ProgID or CLSID", DefineClsid});
KRSOAP_SETUP_STEP(SetupStep{50, "register the component modules", RegisterProductModules});

}  // namespace krsoap::tool
