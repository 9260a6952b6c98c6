// "krsoap reg": add, query, delete, export and import registry keys and
// values, with the switches and messages of the familiar Windows command.
// Single keys and values go through the Win32 registry calls; subtree reads
// and .reg imports go through the registry's administrative helpers, so an
// import is applied in one transaction or not at all.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry/reg_text.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_admin.h"
#include "tools/krsoap/command.h"

namespace krsoap::tool {
namespace {

namespace regadmin = platform::regadmin;
namespace regtext = platform::regtext;

constexpr const char* kUsage =
    "usage: krsoap reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]\n"
    "       krsoap reg query KEY [/v NAME | /ve] [/s]\n"
    "       krsoap reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "       krsoap reg export KEY FILE [/y]\n"
    "       krsoap reg import FILE\n"
    "\n"
    "KEY is ROOT\\SUBKEY with ROOT one of HKLM, HKCU, HKCR, HKU, HKCC (or the long\n"
    "HKEY_... names). TYPE is REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ,\n"
    "REG_DWORD, REG_QWORD, REG_BINARY or REG_NONE. REG_DWORD data is decimal or\n"
    "0x-prefixed hexadecimal; REG_BINARY data is hexadecimal digits; REG_MULTI_SZ\n"
    "strings are separated by \\0 (or by the character given with /s).\n"
    "/f and /y skip the confirmation questions. \"query /s\" walks the subtree.\n"
    "\n"
    "export writes the key and its subtree as a .reg file (UTF-8, CR LF line ends);\n"
    "import reads UTF-8 or UTF-16LE (with byte-order mark) .reg files and applies\n"
    "the whole file in one transaction: a malformed file changes nothing.\n"
    "Exit code 0 on success, 1 on failure.\n";

constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.\n";
constexpr const char* kDone = "The operation completed successfully.\n";

int SyntaxError(const char* op, const std::string& why = std::string()) {
  std::fprintf(stderr, "ERROR: Invalid syntax.%s%s\nType \"krsoap reg %s /?\" for usage.\n", why.empty() ? "" : " ",
               why.c_str(), op);
  return 1;
}

// The usage, for a /? (-h, --help) among the switches.
int Help() {
  std::printf("%s", kUsage);
  return 0;
}

int InvalidKey(const char* op) {
  std::fprintf(stderr, "ERROR: Invalid key name.\nType \"krsoap reg %s /?\" for usage.\n", op);
  return 1;
}

int Failure(LONG code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_KEY_DELETED:
      std::fprintf(stderr, "%s", kNotFound);
      break;
    case ERROR_ACCESS_DENIED:
      std::fprintf(stderr, "ERROR: Access is denied.\n");
      break;
    case ERROR_BUSY:
      std::fprintf(stderr, "ERROR: The registry store is busy (held by another process); try again.\n");
      break;
    case ERROR_REGISTRY_CORRUPT:
    case ERROR_NOT_REGISTRY_FILE:
      std::fprintf(stderr, "ERROR: The registry store is corrupt (error %d).\n", code);
      break;
    case ERROR_INVALID_PARAMETER:
    case ERROR_BAD_PATHNAME:
      std::fprintf(stderr, "ERROR: The parameter is incorrect (error %d).\n", code);
      break;
    default:
      std::fprintf(stderr, "ERROR: The registry operation failed (error %d).\n", code);
  }
  return 1;
}

// Asks a yes/no question on stdin; anything but yes (or end of input) is no.
bool Confirm(const std::string& question) {
  std::printf("%s (Yes/No)? ", question.c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::printf("\n");
    return false;
  }
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

struct Switches {
  std::vector<std::string> positional;
  bool help = false;  // /?, -h or --help where a switch may stand
  bool has_v = false, ve = false, va = false, s = false, f = false, y = false;
  bool has_t = false, has_d = false, has_sep = false;
  std::string v, t = "REG_SZ", d, sep = "\\0";
};

bool IsSwitch(const std::string& a, const char* name) {
  if (a.empty() || (a[0] != '/' && a[0] != '-')) return false;
  return strcasecmp(a.c_str() + 1, name) == 0;
}

// Parses the arguments after the operation; false on a syntax error.
bool ParseSwitches(const std::vector<std::string>& args, size_t first, Switches* sw) {
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto take = [&](std::string* into, bool* flag) {
      if (i + 1 >= args.size() || *flag) return false;
      *into = args[++i];
      *flag = true;
      return true;
    };
    if (IsHelpFlag(a)) {
      sw->help = true;
    } else if (IsSwitch(a, "v")) {
      if (!take(&sw->v, &sw->has_v)) return false;
    } else if (IsSwitch(a, "t")) {
      if (!take(&sw->t, &sw->has_t)) return false;
    } else if (IsSwitch(a, "d")) {
      if (!take(&sw->d, &sw->has_d)) return false;
    } else if (IsSwitch(a, "ve")) {
      sw->ve = true;
    } else if (IsSwitch(a, "va")) {
      sw->va = true;
    } else if (IsSwitch(a, "f")) {
      sw->f = true;
    } else if (IsSwitch(a, "y")) {
      sw->y = true;
    } else if (IsSwitch(a, "s")) {
      // "/s" is recursion for query and the separator for add's REG_MULTI_SZ.
      if (i + 1 < args.size() && args[i + 1].size() == 1 && args[i + 1] != "/") {
        sw->sep = args[++i];
        sw->has_sep = true;
      } else {
        sw->s = true;
      }
    } else {
      // Anything else is positional, file paths ("/tmp/x.reg") included; an
      // unknown switch then shows up as one argument too many.
      sw->positional.push_back(a);
    }
  }
  return (sw->has_v + sw->ve + sw->va) <= 1;
}

// Opens a rooted key path ("HKLM\A\B") through the Win32 calls.
LONG OpenPath(const regadmin::RootedPath& path, REGSAM sam, bool create, HKEY* out) {
  static const HKEY kRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                                HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA};
  HKEY root = kRoots[path.hive - platform::kFirstHiveId];
  std::u16string sub;
  for (size_t i = 0; i < path.path.size(); ++i) {
    if (i) sub += u'\\';
    sub += regtext::ToUtf16(path.path[i].text);
  }
  if (create) return RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, sam, nullptr, out, nullptr);
  return RegOpenKeyExW(root, sub.c_str(), 0, sam, out);
}

class KeyCloser {
 public:
  explicit KeyCloser(HKEY k) : k_(k) {}
  ~KeyCloser() {
    if (k_) RegCloseKey(k_);
  }

 private:
  HKEY k_;
};

// Builds the data of a value from "/t TYPE /d DATA"; false on bad data, with
// what is wrong with it in `why`.
bool BuildData(DWORD type, const Switches& sw, std::string* out, std::string* why) {
  const std::string& d = sw.d;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      *out = regtext::Utf8ToUtf16Bytes(d);
      out->append(2, '\0');
      return true;
    }
    case REG_MULTI_SZ: {
      std::string joined;
      size_t pos = 0;
      while (pos <= d.size() && !d.empty()) {
        size_t at = d.find(sw.sep, pos);
        if (at == std::string::npos) at = d.size();
        std::string part = d.substr(pos, at - pos);
        if (part.empty() && at != d.size()) {  // empty strings cannot sit inside a list
          *why = "REG_MULTI_SZ data cannot hold an empty string (two separators in a row, or one first).";
          return false;
        }
        joined += part;
        joined.push_back('\0');
        pos = at + sw.sep.size();
        if (at == d.size()) break;
      }
      joined.push_back('\0');
      *out = regtext::Utf8ToUtf16Bytes(joined);
      return true;
    }
    case REG_DWORD:
    case REG_QWORD: {
      if (d.empty()) {
        out->assign(type == REG_DWORD ? 4 : 8, '\0');
        return true;
      }
      const char* name = type == REG_DWORD ? "REG_DWORD" : "REG_QWORD";
      *why = std::string(name) + " data must be a decimal or 0x-prefixed hexadecimal number, not \"" + d + "\".";
      errno = 0;
      char* end = nullptr;
      const bool hex = d.size() > 2 && d[0] == '0' && (d[1] == 'x' || d[1] == 'X');
      if (d[0] == '-' || d[0] == '+' || d[0] == ' ') return false;
      unsigned long long v = std::strtoull(d.c_str(), &end, hex ? 16 : 10);
      if (!end || *end || (errno && errno != ERANGE)) return false;
      if (errno == ERANGE || (type == REG_DWORD && v > 0xFFFFFFFFull)) {
        *why = std::string(name) + " data " + d + " is out of range (at most " +
               (type == REG_DWORD ? "0xFFFFFFFF" : "0xFFFFFFFFFFFFFFFF") + ").";
        return false;
      }
      why->clear();
      if (type == REG_DWORD) {
        uint32_t w = static_cast<uint32_t>(v);
        out->assign(reinterpret_cast<const char*>(&w), 4);
      } else {
        out->assign(reinterpret_cast<const char*>(&v), 8);
      }
      return true;
    }
    case REG_BINARY:
    case REG_NONE: {
      *why = std::string(type == REG_BINARY ? "REG_BINARY" : "REG_NONE") +
             " data must be an even number of hexadecimal digits, not \"" + d + "\".";
      if (d.size() % 2) return false;
      out->clear();
      for (size_t i = 0; i < d.size(); i += 2) {
        char pair[3] = {d[i], d[i + 1], 0};
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) || !std::isxdigit(static_cast<unsigned char>(pair[1])))
          return false;
        out->push_back(static_cast<char>(std::strtoul(pair, nullptr, 16)));
      }
      why->clear();
      return true;
    }
    default:
      *why = "The type cannot be given with /t.";
      return false;
  }
}

int RunAdd(const std::vector<std::string>& args) {
  Switches sw;
  const bool parsed = ParseSwitches(args, 2, &sw);
  if (sw.help) return Help();
  if (!parsed || sw.positional.size() != 1 || sw.va || sw.s || sw.y) return SyntaxError("add");
  regadmin::RootedPath path;
  if (regadmin::ParseRootedPath(sw.positional[0], &path)) return InvalidKey("add");
  if (path.path.empty() && !sw.has_v && !sw.ve) return InvalidKey("add");
  const DWORD type = regadmin::TypeFromName(sw.t);
  if (type == 0xFFFFFFFFu) return SyntaxError("add", "Unknown type \"" + sw.t + "\".");
  std::string data, why;
  if (!BuildData(type, sw, &data, &why)) return SyntaxError("add", why);

  HKEY key = nullptr;
  LONG r = OpenPath(path, KEY_READ | KEY_SET_VALUE, true, &key);
  if (r) return Failure(r);
  KeyCloser closer(key);
  if (!sw.has_v && !sw.ve) {
    std::printf("%s", kDone);
    return 0;
  }
  const std::u16string name = sw.ve ? std::u16string() : regtext::ToUtf16(sw.v);
  if (!sw.f && RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    if (!Confirm("Value " + (sw.ve ? std::string("(Default)") : sw.v) + " exists, overwrite")) {
      std::printf("The operation was canceled by the user.\n");
      return 1;
    }
  }
  r = RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                     static_cast<DWORD>(data.size()));
  if (r) return Failure(r);
  std::printf("%s", kDone);
  return 0;
}

void PrintValue(const platform::RegValueRecord& v) {
  std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : v.name.c_str(), regadmin::TypeName(v.type).c_str(),
              regadmin::DisplayValue(v.type, v.data).c_str());
}

int RunQuery(const std::vector<std::string>& args) {
  Switches sw;
  const bool parsed = ParseSwitches(args, 2, &sw);
  if (sw.help) return Help();
  if (!parsed || sw.positional.size() != 1 || sw.va || sw.has_t || sw.has_d || sw.f || sw.y ||
      sw.has_sep)
    return SyntaxError("query");
  regadmin::RootedPath path;
  if (regadmin::ParseRootedPath(sw.positional[0], &path)) return InvalidKey("query");
  std::vector<regadmin::KeyDump> keys;
  LONG r = regadmin::DumpTree(path, sw.s, &keys);
  if (r) return Failure(r);

  if (sw.has_v || sw.ve) {
    const std::string want = sw.ve ? std::string() : sw.v;
    const std::string want_fold = platform::regtext::Fold(regtext::ToUtf16(want));
    int found = 0;
    for (const auto& key : keys) {
      bool header = false;
      for (const auto& v : key.values) {
        if (platform::regtext::Fold(regtext::ToUtf16(v.name)) != want_fold) continue;
        if (!header) std::printf("\n%s\n", key.path.c_str());
        header = true;
        PrintValue(v);
        ++found;
      }
      if (!header && sw.ve && !sw.s) {
        std::printf("\n%s\n    (Default)    REG_SZ    (value not set)\n", key.path.c_str());
        ++found;
      }
    }
    if (!found) {
      std::fprintf(stderr, "%s", kNotFound);
      return 1;
    }
    std::printf("\n");
    if (sw.s) std::printf("End of search: %d match(es) found.\n", found);
    return 0;
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    const auto& key = keys[i];
    std::printf("\n%s\n", key.path.c_str());
    for (const auto& v : key.values) PrintValue(v);
    if (!sw.s) {
      if (!key.subkeys.empty()) std::printf("\n");
      for (const auto& s : key.subkeys) std::printf("%s\\%s\n", key.path.c_str(), s.c_str());
    }
  }
  std::printf("\n");
  return 0;
}

int RunDelete(const std::vector<std::string>& args) {
  Switches sw;
  const bool parsed = ParseSwitches(args, 2, &sw);
  if (sw.help) return Help();
  if (!parsed || sw.positional.size() != 1 || sw.s || sw.has_t || sw.has_d || sw.y ||
      sw.has_sep)
    return SyntaxError("delete");
  regadmin::RootedPath path;
  if (regadmin::ParseRootedPath(sw.positional[0], &path)) return InvalidKey("delete");
  if (!sw.has_v && !sw.ve && !sw.va) {
    if (path.path.empty()) return InvalidKey("delete");  // a hive root is never deleted
    HKEY key = nullptr;
    LONG r = OpenPath(path, KEY_READ, false, &key);
    if (r) return Failure(r);
    RegCloseKey(key);
    if (!sw.f && !Confirm("Permanently delete the registry key " + path.display)) {
      std::printf("The operation was canceled by the user.\n");
      return 1;
    }
    // Delete the key and its subtree through the parent.
    regadmin::RootedPath parent = path;
    parent.path.pop_back();
    HKEY parent_key = nullptr;
    r = OpenPath(parent, KEY_ALL_ACCESS, false, &parent_key);
    if (r) return Failure(r);
    KeyCloser closer(parent_key);
    r = RegDeleteTreeW(parent_key, regtext::ToUtf16(path.path.back().text).c_str());
    if (r) return Failure(r);
    std::printf("%s", kDone);
    return 0;
  }
  HKEY key = nullptr;
  LONG r = OpenPath(path, KEY_ALL_ACCESS, false, &key);
  if (r) return Failure(r);
  KeyCloser closer(key);
  if (sw.va) {
    if (!sw.f && !Confirm("Delete all values under the registry key " + path.display)) {
      std::printf("The operation was canceled by the user.\n");
      return 1;
    }
    r = regadmin::DeleteAllValues(path);
  } else {
    const std::u16string name = sw.ve ? std::u16string() : regtext::ToUtf16(sw.v);
    if (RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      std::fprintf(stderr, "%s", kNotFound);
      return 1;
    }
    if (!sw.f && !Confirm("Delete the registry value " + (sw.ve ? std::string("(Default)") : sw.v))) {
      std::printf("The operation was canceled by the user.\n");
      return 1;
    }
    r = RegDeleteValueW(key, name.c_str());
  }
  if (r) return Failure(r);
  std::printf("%s", kDone);
  return 0;
}

int RunExport(const std::vector<std::string>& args) {
  Switches sw;
  const bool parsed = ParseSwitches(args, 2, &sw);
  if (sw.help) return Help();
  if (!parsed || sw.positional.size() != 2 || sw.has_v || sw.ve || sw.va || sw.s || sw.f ||
      sw.has_t || sw.has_d || sw.has_sep)
    return SyntaxError("export");
  regadmin::RootedPath path;
  if (regadmin::ParseRootedPath(sw.positional[0], &path)) return InvalidKey("export");
  std::vector<regadmin::KeyDump> keys;
  LONG r = regadmin::DumpTree(path, true, &keys);
  if (r) return Failure(r);
  const std::string& file = sw.positional[1];
  struct stat st;
  if (::lstat(file.c_str(), &st) == 0 && !sw.y) {
    if (!Confirm("File " + file + " already exists. Overwrite")) {
      std::printf("The operation was canceled by the user.\n");
      return 1;
    }
  }
  const std::string text = regadmin::FormatRegFile(keys);
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::fprintf(stderr, "ERROR: Cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fprintf(stderr, "ERROR: Cannot write %s: %s\n", file.c_str(), std::strerror(errno));
      ::close(fd);
      return 1;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) {
    std::fprintf(stderr, "ERROR: Cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("%s", kDone);
  return 0;
}

int RunImport(const std::vector<std::string>& args) {
  Switches sw;
  const bool parsed = ParseSwitches(args, 2, &sw);
  if (sw.help) return Help();
  if (!parsed || sw.positional.size() != 1 || sw.has_v || sw.ve || sw.va || sw.s || sw.f ||
      sw.y || sw.has_t || sw.has_d || sw.has_sep)
    return SyntaxError("import");
  const std::string& file = sw.positional[0];
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "ERROR: Cannot read %s: %s\n", file.c_str(), std::strerror(errno));
    return 1;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  std::vector<regadmin::RegFileOp> ops;
  std::string error;
  if (regadmin::ParseRegFile(buf.str(), &ops, &error)) {
    std::fprintf(stderr, "ERROR: %s: %s (nothing was imported)\n", file.c_str(), error.c_str());
    return 1;
  }
  LONG r = regadmin::ApplyRegFile(ops);
  if (r) return Failure(r);
  std::printf("%s", kDone);
  return 0;
}

int RunReg(const std::vector<std::string>& args) {
  if (args.size() < 2) return SyntaxError("");
  const std::string& op = args[1];
  if (IsHelpFlag(op)) return Help();
  if (strcasecmp(op.c_str(), "add") == 0) return RunAdd(args);
  if (strcasecmp(op.c_str(), "query") == 0) return RunQuery(args);
  if (strcasecmp(op.c_str(), "delete") == 0) return RunDelete(args);
  if (strcasecmp(op.c_str(), "export") == 0) return RunExport(args);
  if (strcasecmp(op.c_str(), "import") == 0) return RunImport(args);
  std::fprintf(stderr, "ERROR: Invalid operation '%s'.\nType \"krsoap reg /?\" for usage.\n", op.c_str());
  return 1;
}

// The verbs are declared for the help, the completion and the man page; the
// arguments after them keep the switch syntax and messages of the familiar
// command (/v NAME, /?, "ERROR: Invalid syntax." with exit code 1), which
// RunReg and the Run* functions above read as they stand.
Runner DefineReg(CLI::App& app) {
  app.set_help_flag();
  app.prefix_command();
  app.footer(kUsage);
  struct Verb {
    const char* name;
    const char* summary;
  };
  static const Verb kVerbs[] = {{"add", "add or change a key or value"},
                                {"query", "show a key's values (and subkeys with /s)"},
                                {"delete", "delete a key or value"},
                                {"export", "write a key and its subtree as a .reg file"},
                                {"import", "apply a .reg file in one transaction"}};
  std::vector<std::pair<CLI::App*, Runner>> runners;
  for (const Verb& v : kVerbs) {
    CLI::App* verb = AddVerb(app, v.name, v.summary);
    verb->ignore_case();
    verb->set_help_flag();
    verb->prefix_command();
    verb->footer(kUsage);
    runners.emplace_back(verb, [verb] {
      std::vector<std::string> args = {"reg", verb->get_name()};
      for (const std::string& a : verb->remaining()) args.push_back(a);
      return RunReg(args);
    });
  }
  return [&app, runners] {
    for (const auto& [verb, run] : runners)
      if (verb->parsed()) return run();
    std::vector<std::string> args = {"reg"};
    for (const std::string& a : app.remaining()) args.push_back(a);
    return RunReg(args);
  };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"reg", "add, query, delete, export and import registry keys and values", DefineReg});

}  // namespace krsoap::tool
