// "krsoap wsdl": writes the WSDL and WSML that publish a COM class as a SOAP
// service, from the class's type library.
//
// The class is named by a ProgID (or braced CLSID) of a registered class,
// whose registration leads to its type library, or by a module file, whose
// embedded type library is read without registering anything (the build of
// a service made by "krsoap new service" does this). Both files are written
// to temporary names first and renamed into place only when both are
// complete, so a failure leaves nothing half-written.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/com.h"
#include "platform/com/hresult.h"
#include "platform/com/resources.h"
#include "platform/com/typelib.h"
#include "platform/module/module.h"
#include "platform/text/convert.h"
#include "tools/krsoap/command.h"
#include "tools/krsoap/service_wsdl.h"

namespace krsoap::tool {
namespace {

namespace tlb = com::tlb;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

constexpr char kAbout[] =
    "Writes NAME.wsdl and NAME.wsml (NAME: the class's name in its type library)\n"
    "into DIR: one SOAP operation per method of the class's default interface,\n"
    "document/literal, the port at ADDRESS. MODULE is a module file (a path, or a\n"
    "name ending in .so) whose embedded type library is read, nothing needing to\n"
    "be registered; PROGID a registered class (ProgID or braced CLSID) whose\n"
    "registration names its type library. Both files are written whole or not at\n"
    "all: a failure (exit status 1) leaves nothing written.\n";

struct Options {
  std::string target, address, out_dir = ".", class_name, target_namespace;
};

bool IsModuleArgument(const std::string& s) {
  struct stat st;
  return s.find('/') != std::string::npos || (s.size() > 3 && s.compare(s.size() - 3, 3, ".so") == 0) ||
         (::stat(s.c_str(), &st) == 0 && S_ISREG(st.st_mode));
}

// The class's ProgID from the module's own registry scripts: the
// version-independent one (else the versioned one) of the script that
// registers `clsid`.
std::string ProgIdFromModule(const std::string& path, const GUID& clsid) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) return {};
  std::string found;
  const KrResourceTable* table = com::ModuleResourceTable(module);
  const std::string guid = com::GuidToUtf8(clsid);
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  for (uint32_t i = 0; table && i < table->count && found.empty(); ++i) {
    const KrResourceEntry& e = table->entries[i];
    if (!e.type || lower(e.type) != "registry" || !e.data) continue;
    const std::string script(reinterpret_cast<const char*>(e.data), e.size);
    if (lower(script).find(lower(guid)) == std::string::npos) continue;
    for (const char* key : {"VersionIndependentProgID", "ProgID"}) {
      const std::string pattern = std::string(key) + " = s '";
      size_t at = script.find(pattern);
      if (at == std::string::npos) continue;
      at += pattern.size();
      const size_t end = script.find('\'', at);
      if (end != std::string::npos && end > at) {
        found = script.substr(at, end - at);
        break;
      }
    }
  }
  FreeLibrary(module);
  return found;
}

// Loads the type library and picks the class; fills *library, *coclass_index
// and *prog_id. Prints the failure and returns false.
bool LoadClass(const Options& o, tlb::Library* library, size_t* coclass_index, std::string* prog_id) {
  ITypeLib* lib = nullptr;
  GUID wanted{};
  bool have_wanted = false;
  HRESULT hr = S_OK;
  std::string what, path;
  if (IsModuleArgument(o.target)) {
    char resolved[PATH_MAX];
    path = ::realpath(o.target.c_str(), resolved) ? std::string(resolved) : o.target;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      std::fprintf(stderr, "krsoap wsdl: %s: no such module file\n", o.target.c_str());
      return false;
    }
    what = "the module " + o.target;
    hr = LoadTypeLib(Utf8ToUtf16(path).c_str(), &lib);
    if (FAILED(hr)) {
      std::fprintf(stderr,
                   "krsoap wsdl: %s has no type library to describe it (%s): a service module embeds one "
                   "(TYPELIB 1 in its .krres, compiled from its .idl)\n",
                   what.c_str(), com::HResultText(hr).c_str());
      return false;
    }
  } else {
    what = "the class " + o.target;
    const std::u16string name = Utf8ToUtf16(o.target);
    hr = CLSIDFromString(name.c_str(), &wanted);
    if (FAILED(hr)) {
      std::fprintf(stderr, "krsoap wsdl: %s: no such registered class (%s); name a module file, or register it: "
                   "krsoap register MODULE.so\n", o.target.c_str(), com::HResultText(hr).c_str());
      return false;
    }
    have_wanted = true;
    com::ClassRegistration reg;
    hr = com::QueryClassRegistration(wanted, &reg);
    const auto libid = FAILED(hr) ? std::nullopt : com::ParseGuid(reg.type_lib);
    if (!libid) {
      std::fprintf(stderr, "krsoap wsdl: %s names no type library in its registration%s\n", what.c_str(),
                   FAILED(hr) ? (" (" + com::HResultText(hr) + ")").c_str() : "");
      return false;
    }
    hr = LoadRegTypeLib(*libid, 1, 0, 0, &lib);
    if (FAILED(hr)) {
      std::fprintf(stderr, "krsoap wsdl: the type library %s of %s cannot be loaded: %s\n",
                   Utf16ToUtf8(reg.type_lib).c_str(), what.c_str(), com::HResultText(hr).c_str());
      return false;
    }
    *prog_id = Utf16ToUtf8(!reg.version_independent_prog_id.empty() ? reg.version_independent_prog_id
                                                                      : reg.prog_id);
    if (prog_id->empty()) *prog_id = o.target;
  }
  const tlb::Library* model = com::LibraryOf(lib);
  if (model) *library = *model;
  lib->Release();
  if (!model) {
    std::fprintf(stderr, "krsoap wsdl: the type library of %s cannot be read\n", what.c_str());
    return false;
  }
  std::vector<size_t> coclasses;
  for (size_t i = 0; i < library->types.size(); ++i) {
    const tlb::Type& t = library->types[i];
    if (t.kind != tlb::kKindCoclass) continue;
    if (have_wanted ? t.guid == wanted : (o.class_name.empty() || Utf16ToUtf8(t.name) == o.class_name))
      coclasses.push_back(i);
  }
  if (coclasses.size() != 1) {
    std::string names;
    for (const auto& t : library->types)
      if (t.kind == tlb::kKindCoclass) names += (names.empty() ? "" : ", ") + Utf16ToUtf8(t.name);
    if (coclasses.empty()) {
      std::fprintf(stderr, "krsoap wsdl: %s: no class %s in the type library (its classes: %s)\n", what.c_str(),
                   o.class_name.empty() ? "to publish" : o.class_name.c_str(), names.empty() ? "none" : names.c_str());
    } else {
      std::fprintf(stderr, "krsoap wsdl: %s holds several classes (%s): name one with --class NAME\n",
                   what.c_str(), names.c_str());
    }
    return false;
  }
  *coclass_index = coclasses[0];
  if (prog_id->empty()) {
    const GUID clsid = library->types[*coclass_index].guid;
    com::ClassRegistration reg;
    if (SUCCEEDED(com::QueryClassRegistration(clsid, &reg)))
      *prog_id = Utf16ToUtf8(!reg.version_independent_prog_id.empty() ? reg.version_independent_prog_id
                                                                        : reg.prog_id);
    if (prog_id->empty() && !path.empty()) *prog_id = ProgIdFromModule(path, clsid);
    if (prog_id->empty()) {
      std::fprintf(stderr, "krsoap wsdl: %s: the class %s has no ProgID in the module's registry scripts\n",
                   what.c_str(), Utf16ToUtf8(library->types[*coclass_index].name).c_str());
      return false;
    }
  }
  return true;
}

// Writes `text` to a new temporary file beside `path`; its name in *temp.
bool WriteTemp(const std::string& path, const std::string& text, std::string* temp) {
  std::vector<char> name(path.begin(), path.end());
  const char suffix[] = ".tmpXXXXXX";
  name.insert(name.end(), suffix, suffix + sizeof suffix);
  int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  *temp = name.data();
  ::fchmod(fd, 0644);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      ::close(fd);
      ::unlink(temp->c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) {
    ::unlink(temp->c_str());
    return false;
  }
  return true;
}

int RunWsdl(const Options& o) {
  std::string why;
  if (!CheckServiceAddress(o.address, &why)) return UsageError("wsdl", why);
  if (o.out_dir.empty()) return UsageError("wsdl", "--out needs a directory");
  struct stat st;
  if (::stat(o.out_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "krsoap wsdl: %s: no such directory\n", o.out_dir.c_str());
    return 1;
  }

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  tlb::Library library;
  size_t index = 0;
  ServiceDescription service;
  bool ok = LoadClass(o, &library, &index, &service.prog_id);
  CoUninitialize();
  if (!ok) return 1;
  if (!DescribeCoclass(library, library.types[index], &service, &why)) {
    std::fprintf(stderr, "krsoap wsdl: %s\n", why.c_str());
    return 1;
  }
  service.address = o.address;
  service.target_namespace = o.target_namespace.empty() ? "urn:" + service.prog_id : o.target_namespace;

  const std::string base = o.out_dir + "/" + service.name;
  const std::string wsdl = base + ".wsdl", wsml = base + ".wsml";
  std::string wsdl_temp, wsml_temp;
  if (!WriteTemp(wsdl, ServiceWsdl(service), &wsdl_temp) || !WriteTemp(wsml, ServiceWsml(service), &wsml_temp) ||
      ::rename(wsdl_temp.c_str(), wsdl.c_str()) != 0 || ::rename(wsml_temp.c_str(), wsml.c_str()) != 0) {
    const int error = errno;
    if (!wsdl_temp.empty()) ::unlink(wsdl_temp.c_str());
    if (!wsml_temp.empty()) ::unlink(wsml_temp.c_str());
    std::fprintf(stderr, "krsoap wsdl: cannot write %s and %s: %s\n", wsdl.c_str(), wsml.c_str(), std::strerror(error));
    return 1;
  }
  std::printf("%s\n%s\n", wsdl.c_str(), wsml.c_str());
  return 0;
}

Runner DefineWsdl(CLI::App& app) {
  auto o = std::make_shared<Options>();
  app.add_option("MODULE|PROGID", o->target, "a module file, or a registered class's ProgID or braced CLSID")
      ->required();
  app.add_option("--address", o->address,
                 "the port's address: krs:QUEUE@QMGR (QMGR empty: the default queue manager) or an http: URL")
      ->required()
      ->type_name("ADDRESS");
  app.add_option("--out", o->out_dir, "the directory the two files are written to")->capture_default_str()->type_name("DIR");
  app.add_option("--class", o->class_name, "the class to publish when the type library has several")
      ->type_name("NAME");
  app.add_option("--namespace", o->target_namespace, "the target namespace (default urn:PROGID)")->type_name("URI");
  app.footer(kAbout);
  return [o] { return RunWsdl(*o); };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"wsdl", "write the WSDL and WSML of a service from its type library", DefineWsdl});

}  // namespace krsoap::tool
