// "krsoap new service NAME": writes the skeleton of a service that builds
// against the installed krsoap: the interface description with fresh GUIDs,
// the registry script and resource list, a C++ class with one example
// method, and a CMakeLists.txt whose build also writes the WSDL and WSML and
// registers the module (docs/writing-a-service.md).
//
// NAME becomes the class, the module, the ProgID (NAME.NAME) and the request
// queue (NAME in capitals, ".REQUEST"), so it must be an identifier that
// none of those languages reserve. The files are written into a new
// temporary directory beside the target and renamed into place in one step
// that never replaces anything: an existing directory is refused and a
// failure leaves nothing behind.
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/krsoap/command.h"

namespace krsoap::tool {
namespace {

constexpr char kAbout[] =
    "Writes a service skeleton into DIR (default ./NAME, which must not exist):\n"
    "NAME.idl (interface and class, fresh GUIDs), NAME.rgs and NAME.krres (its\n"
    "registration and resources), NAME.cpp (the class, with one method: Hello)\n"
    "and a CMakeLists.txt using find_package(krsoap). Building it makes\n"
    "libNAME.so, NAME.wsdl, NAME.wsml and host.conf for the queue NAME.REQUEST\n"
    "(docs/writing-a-service.md). NAME: letters, digits and '_', starting with a\n"
    "letter, at most 40 characters. A failure leaves nothing written.\n";

constexpr size_t kMaxName = 40;  // NAME.REQUEST stays within a 48-byte queue name

// Words the IDL, C++ or the generated names would trip over.
bool Reserved(const std::string& name) {
  static const char* const kWords[] = {
      "library", "interface", "coclass", "importlib", "import", "dispinterface", "module", "typedef", "struct",
      "union", "enum", "class", "namespace", "template", "typename", "public", "private", "protected", "virtual",
      "void", "int", "long", "short", "char", "double", "float", "bool", "unsigned", "signed", "const", "static",
      "return", "if", "else", "for", "while", "do", "switch", "case", "default", "break", "continue", "new",
      "delete", "this", "operator", "sizeof", "auto", "register", "extern", "volatile", "inline", "friend",
      "using", "try", "catch", "throw", "true", "false", "nullptr", "goto", "asm", "export", "mutable",
      "explicit", "static_cast", "dynamic_cast", "const_cast", "reinterpret_cast", "typeid", "wchar_t",
      "char8_t", "char16_t", "char32_t", "concept", "requires", "co_await", "co_yield", "co_return",
      "constexpr", "consteval", "constinit", "decltype", "noexcept", "static_assert", "thread_local", "alignas",
      "alignof", "and", "or", "not", "xor", "bitand", "bitor", "compl", "and_eq", "or_eq", "xor_eq", "not_eq",
      "IUnknown", "IDispatch", "BSTR", "VARIANT", "HRESULT", "GUID", "SAFEARRAY", "DATE", "CY", "main"};
  for (const char* w : kWords) {
    if (name == w) return true;
  }
  return false;
}

bool CheckName(const std::string& name, std::string* why) {
  if (name.empty()) {
    *why = "NAME is empty";
    return false;
  }
  if (name.size() > kMaxName) {
    *why = "NAME is longer than 40 characters";
    return false;
  }
  if (!std::isalpha(static_cast<unsigned char>(name[0]))) {
    *why = "NAME must start with a letter, not \"" + name + "\"";
    return false;
  }
  for (unsigned char c : name) {
    if (!(std::isalnum(c) || c == '_') || c >= 0x80) {
      *why = "NAME is letters, digits and '_' only, not \"" + name + "\"";
      return false;
    }
  }
  if (Reserved(name)) {
    *why = "NAME \"" + name + "\" is a reserved word of the interface language or C++";
    return false;
  }
  return true;
}

// A random (version 4) GUID in the braceless upper-case form the IDL and
// the registry script use.
bool NewGuid(std::string* out) {
  unsigned char b[16];
  size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(n);
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  *out = text;
  return true;
}

// Replaces every @KEY@ of `text` by its value.
std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [key, value] : values) {
    const std::string marker = "@" + key + "@";
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size())) {
      text.replace(at, marker.size(), value);
    }
  }
  return text;
}

constexpr char kIdl[] = R"(// The @NAME@ service's interface and class. Each method of I@NAME@ becomes
// one SOAP operation: [in] parameters are the request's elements, the
// [out, retval] one the response's Result. Add methods here and in
// @NAME@.cpp; the build writes @NAME@.wsdl and @NAME@.wsml from this.
[uuid(@LIBID@), version(1.0), lcid(0x409),
 helpstring("@NAME@ 1.0 Type Library")]
library @NAME@Lib
{
  importlib("stdole2.tlb");

  [object, uuid(@IID@), dual, oleautomation,
   helpstring("I@NAME@ Interface"), pointer_default(unique)]
  interface I@NAME@ : IDispatch
  {
    [id(1), helpstring("Greets the caller by name")]
    HRESULT Hello([in] BSTR name, [out, retval] BSTR* result);
  };

  [uuid(@CLSID@), helpstring("@NAME@ Class")]
  coclass @NAME@
  {
    [default] interface I@NAME@;
  };
};
)";

constexpr char kRgs[] = R"(HKCR
{
	@NAME@.@NAME@.1 = s '@NAME@ Class'
	{
		CLSID = s '{@CLSID@}'
	}
	@NAME@.@NAME@ = s '@NAME@ Class'
	{
		CLSID = s '{@CLSID@}'
		CurVer = s '@NAME@.@NAME@.1'
	}
	NoRemove CLSID
	{
		ForceRemove {@CLSID@} = s '@NAME@ Class'
		{
			ProgID = s '@NAME@.@NAME@.1'
			VersionIndependentProgID = s '@NAME@.@NAME@'
			InprocServer32 = s '%MODULE%'
			{
				val ThreadingModel = s 'Both'
			}
			'TypeLib' = s '{@LIBID@}'
		}
	}
}
)";

constexpr char kKrres[] = R"(# Resources of the @NAME@ module: its class's registry script, its type
# library (compiled from @NAME@.idl) and its version block.
REGISTRY 101 @NAME@.rgs
TYPELIB 1 @NAME@.tlb
STRING 100 "@NAME@"
VERSION FileVersion "1.0.0.1"
VERSION ProductVersion "1.0.0.1"
VERSION FileDescription "@NAME@ service"
VERSION InternalName "@NAME@"
VERSION OriginalFilename "@NAME@.DLL"
VERSION OLESelfRegister ""
)";

constexpr char kCpp[] = R"(// The @NAME@ service's class (ProgID "@NAME@.@NAME@"): the SOAP server
// creates it for each request and calls the operation's method through
// IDispatch. Methods return an HRESULT; a failure becomes a SOAP fault.
#include <string>

#include "@NAME@.h"
#include "platform/com/server.h"

namespace {

using krsoap::com::BstrView;

class C@NAME@ : public krsoap::com::ObjectRoot,
               public krsoap::com::DispatchImpl<I@NAME@, &LIBID_@NAME@Lib> {
 public:
  KR_BEGIN_INTERFACE_MAP(C@NAME@)
    KR_INTERFACE_ENTRY(I@NAME@)
    KR_INTERFACE_ENTRY2(IDispatch, I@NAME@)
  KR_END_INTERFACE_MAP()

  HRESULT Hello(BSTR name, BSTR* result) override {
    if (!result) return E_POINTER;
    std::u16string text = u"Hello, ";
    text += BstrView(name);
    text += u"!";
    *result = krsoap::com::AllocBstr(text);
    return *result ? S_OK : E_OUTOFMEMORY;
  }
};

}  // namespace

KR_BEGIN_OBJECT_MAP(kObjectMap)
  KR_OBJECT_ENTRY(CLSID_@NAME@, C@NAME@, 101)
KR_END_OBJECT_MAP()

KR_SERVER_MODULE(kObjectMap, &LIBID_@NAME@Lib, nullptr)
)";

constexpr char kCMake[] = R"(# The @NAME@ service, built against an installed krsoap:
#   cmake -S . -B build [-DCMAKE_PREFIX_PATH=KRSOAP_PREFIX] && cmake --build build
# makes build/lib@NAME@.so and, from its type library, build/@NAME@.wsdl,
# build/@NAME@.wsml and build/host.conf (a host serving it on its queue).
cmake_minimum_required(VERSION 3.25)
project(@NAME@ LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
find_package(krsoap 1 REQUIRED)

# Where the service answers: its request queue ("krs:QUEUE@QMGR"; an empty
# QMGR is the default queue manager) or an http: URL.
set(@NAME@_ADDRESS "krs:@QUEUE@@" CACHE STRING "The address the WSDL gives the service")
# For development: after each build, register the module and define its
# request queue in this user's krsoap data root. Off for packaging builds.
option(@NAME@_REGISTER "Register the module and define its queue after each build" ON)

add_library(@NAME@ SHARED @NAME@.cpp)
target_link_libraries(@NAME@ PRIVATE krsoap::krplatform)
krsoap_com_idl(@NAME@ @NAME@.idl)
krsoap_com_resources(@NAME@ @NAME@.krres)
if(@NAME@_REGISTER)
  krsoap_service_publish(@NAME@ ADDRESS "${@NAME@_ADDRESS}" REGISTER)
else()
  krsoap_service_publish(@NAME@ ADDRESS "${@NAME@_ADDRESS}")
endif()
)";

bool WriteFile(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0;
}

void RemoveTree(const std::string& dir, const std::vector<std::string>& files) {
  for (const auto& f : files) ::unlink((dir + "/" + f).c_str());
  ::rmdir(dir.c_str());
}

int NewService(const std::string& name, std::string dir) {
  if (dir.empty()) dir = name;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  struct stat st;
  if (::lstat(dir.c_str(), &st) == 0) {
    std::fprintf(stderr, "krsoap new: %s already exists; nothing written (name another with --dir DIR)\n",
                 dir.c_str());
    return 1;
  }
  std::string libid, iid, clsid;
  if (!NewGuid(&libid) || !NewGuid(&iid) || !NewGuid(&clsid)) {
    std::fprintf(stderr, "krsoap new: no random numbers for the GUIDs: %s\n", std::strerror(errno));
    return 1;
  }
  std::string queue;
  for (unsigned char c : name) queue += static_cast<char>(std::toupper(c));
  queue += ".REQUEST";
  const std::vector<std::pair<std::string, std::string>> values = {
      {"NAME", name}, {"LIBID", libid}, {"IID", iid}, {"CLSID", clsid}, {"QUEUE", queue}};
  const std::vector<std::pair<std::string, std::string>> files = {
      {"CMakeLists.txt", Fill(kCMake, values)}, {name + ".idl", Fill(kIdl, values)},
      {name + ".rgs", Fill(kRgs, values)},      {name + ".krres", Fill(kKrres, values)},
      {name + ".cpp", Fill(kCpp, values)}};

  // A fresh directory beside the target, renamed into place only when whole.
  const size_t slash = dir.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
  std::string temp_pattern = parent + "/.krsoap-new-" + name + ".XXXXXX";
  std::vector<char> temp(temp_pattern.begin(), temp_pattern.end());
  temp.push_back('\0');
  if (!::mkdtemp(temp.data())) {
    std::fprintf(stderr, "krsoap new: cannot create a directory in %s: %s; nothing written\n", parent.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const std::string work = temp.data();
  ::chmod(work.c_str(), 0755);
  std::vector<std::string> written;
  for (const auto& [file, text] : files) {
    if (!WriteFile(work + "/" + file, text)) {
      const int error = errno;
      RemoveTree(work, written);
      ::unlink((work + "/" + file).c_str());
      ::rmdir(work.c_str());
      std::fprintf(stderr, "krsoap new: cannot write %s: %s; nothing written\n", file.c_str(), std::strerror(error));
      return 1;
    }
    written.push_back(file);
  }
  // RENAME_NOREPLACE: a directory made meanwhile under the same name is
  // never replaced (a plain rename would replace an empty one).
  if (::renameat2(AT_FDCWD, work.c_str(), AT_FDCWD, dir.c_str(), RENAME_NOREPLACE) != 0) {
    const int error = errno;
    RemoveTree(work, written);
    std::fprintf(stderr, "krsoap new: cannot create %s: %s; nothing written\n", dir.c_str(), std::strerror(error));
    return 1;
  }
  std::printf("%s/: %s.idl, %s.rgs, %s.krres, %s.cpp, CMakeLists.txt\n", dir.c_str(), name.c_str(), name.c_str(),
              name.c_str(), name.c_str());
  std::printf("ProgID %s.%s, request queue %s; build it with\n  cmake -S %s -B %s/build && cmake --build %s/build\n",
              name.c_str(), name.c_str(), queue.c_str(), dir.c_str(), dir.c_str(), dir.c_str());
  return 0;
}

int RunNewService(const std::string& name, const std::string& dir) {
  std::string why;
  if (!CheckName(name, &why)) return UsageError("new service", why);
  return NewService(name, dir);
}

Runner DefineNew(CLI::App& app) {
  CLI::App* service = AddVerb(app, "service", "a service: its interface, class, registration and CMakeLists.txt");
  auto name = std::make_shared<std::string>();
  auto dir = std::make_shared<std::string>();
  service->add_option("NAME", *name, "the service's name: the class, the module, the ProgID NAME.NAME")->required();
  service->add_option("--dir", *dir, "the directory to make (default ./NAME); it must not exist")
      ->type_name("DIR");
  service->footer(kAbout);
  app.footer("krsoap new service NAME writes the skeleton of a service (krsoap new service --help).\n");
  std::vector<std::pair<CLI::App*, Runner>> runners = {{service, [name, dir] { return RunNewService(*name, *dir); }}};
  return [&app, runners] { return RunChosenVerb(app, runners); };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"new", "write the skeleton of a new service (krsoap new service NAME)", DefineNew,
                              /*needs_store=*/false});

}  // namespace krsoap::tool
