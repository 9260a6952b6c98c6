// "krsoap version MODULE": shows what a component module says about itself
// in its embedded resources: the module name (string table entry 100) and
// its version block (FileVersion, ProductVersion, FileDescription, ...).
//
// MODULE is a path or a module name as the platform's module loader maps it
// ("halvex.DLL", "halvex", "libhalvex.so"). The module is loaded through
// LoadLibrary, so its static initialisers run, as they do when the module is
// registered; nothing of it is called besides its resource table.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/resources.h"
#include "platform/module/module.h"
#include "platform/text/convert.h"
#include "platform/win32/error_codes.h"
#include "platform/win32/last_error.h"
#include "tools/krsoap/command.h"

namespace krsoap::tool {
namespace {

// The entries a component module's version block normally has, shown first
// and in this order; any others follow alphabetically.
const char* const kWellKnown[] = {"FileVersion",  "ProductVersion",   "FileDescription",
                                  "InternalName", "OriginalFilename", "OLESelfRegister"};

// Resource text comes from the module file; control characters and bytes
// that are not UTF-8 are shown escaped so they cannot drive the terminal.
std::string Printable(const std::string& text) {
  const bool utf8 = platform::Utf16ToUtf8(platform::Utf8ToUtf16(text)) == text;
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || (!utf8 && c >= 0x80)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string LoadErrorText(DWORD error) {
  switch (error) {
    case ERROR_MOD_NOT_FOUND:
      return "no such module (or a library it needs is missing)";
    case ERROR_BAD_EXE_FORMAT:
      return "not a loadable module";
    case ERROR_PROC_NOT_FOUND:
      return "the module needs a symbol that is missing";
    case ERROR_FILENAME_EXCED_RANGE:
      return "the name is too long";
    default:
      return "cannot be loaded (error " + std::to_string(error) + ")";
  }
}

int RunVersion(const std::string& name) {
  if (name.empty()) return UsageError("version", "name one module");
  // The name reaches the loader as UTF-16; text that is not UTF-8 would be
  // changed on the way and name another file.
  if (platform::Utf16ToUtf8(platform::Utf8ToUtf16(name)) != name) {
    std::fprintf(stderr, "krsoap version: %s: the module name is not valid UTF-8\n", Printable(name).c_str());
    return 1;
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) {
      std::fprintf(stderr, "krsoap version: %s: the module name contains a control character\n",
                   Printable(name).c_str());
      return 1;
    }
  }
  platform::ScopedModule module(LoadLibraryW(platform::Utf8ToUtf16(name).c_str()));
  if (!module) {
    DWORD error = GetLastError();
    std::string detail = platform::LastModuleErrorText();
    std::fprintf(stderr, "krsoap version: %s: %s%s%s\n", Printable(name).c_str(), LoadErrorText(error).c_str(),
                 detail.empty() ? "" : ": ", Printable(detail).c_str());
    return 1;
  }
  char16_t path[4096] = {};
  std::string shown_path = name;
  if (GetModuleFileNameW(module.get(), path, sizeof path / sizeof path[0]) > 0)
    shown_path = platform::Utf16ToUtf8(path);

  const KrResourceTable* table = com::ModuleResourceTable(module.get());
  if (!table) {
    std::fprintf(stderr, "krsoap version: %s: the module carries no resources\n", Printable(shown_path).c_str());
    return 1;
  }
  if (table->version != KR_RESOURCE_TABLE_VERSION) {
    std::fprintf(stderr, "krsoap version: %s: the module's resource table has version %u, this tool reads %u\n",
                 Printable(shown_path).c_str(), table->version, KR_RESOURCE_TABLE_VERSION);
    return 1;
  }
  const std::string module_name = platform::Utf16ToUtf8(com::LoadResourceString(table, 100));
  std::map<std::string, std::string> block = com::LoadVersionBlock(table);

  std::printf("%-18s %s\n", "Module", Printable(shown_path).c_str());
  std::printf("%-18s %s\n", "String 100", module_name.empty() ? "(none)" : Printable(module_name).c_str());
  if (block.empty()) {
    std::printf("%-18s %s\n", "Version block", "(none)");
    return 0;
  }
  auto line = [](const std::string& key, const std::string& value) {
    // An entry may be present with no value (OLESelfRegister is).
    std::printf("%-18s %s\n", Printable(key).c_str(), value.empty() ? "(present)" : Printable(value).c_str());
  };
  for (const char* key : kWellKnown) {
    auto it = block.find(key);
    if (it == block.end()) continue;
    line(it->first, it->second);
    block.erase(it);
  }
  for (const auto& [key, value] : block) line(key, value);
  return 0;
}

Runner DefineVersion(CLI::App& app) {
  auto name = std::make_shared<std::string>();
  app.add_option("MODULE", *name, "a path to a shared library, or a module name such as halvex.DLL or halvex")
      ->required();
  app.footer(
      "Prints the module name (string 100) and the version block embedded in\n"
      "MODULE (a module name is looked for in the build's library directory\n"
      "first). Exit status: 0 shown, 1 the module cannot be loaded or carries\n"
      "no resources, 2 bad usage. The tool's own version: krsoap --version.\n");
  return [name] { return RunVersion(*name); };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"version", "show a module's name and version block", DefineVersion,
                              /*needs_store=*/false});

}  // namespace krsoap::tool
