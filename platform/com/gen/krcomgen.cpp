// krcomgen: the build's interface and resource compiler.
//
//   krcomgen idl INPUT.idl HEADER.h TLB.tlb DESC.cpp
//     Reads an interface description and writes, from that one description,
//     the C++ declarations (pure-virtual classes in vtable order, with their
//     IIDs, CLSIDs and the LIBID), the type library in its binary form, and
//     the interface description tables (method slots and parameter types)
//     that generic callers and marshalling code use, with one proxy class
//     per interface whose every method hands its slot and argument addresses
//     to the generic proxy interpreter (platform/com/proxystub.h).
//
//   krcomgen res INPUT.krres OUTPUT.cpp [SEARCH-DIR...]
//     Reads a resource list and writes a C++ source that embeds every
//     resource as a byte array and exports the module's resource table
//     (KrModuleResources), so that the resources travel inside the module.
//
// The description language is the usual attribute-and-declaration style:
//
//   [uuid(...), version(1.0), lcid(0x409), helpstring("...")]
//   library NAMELib {
//     importlib("stdole2.tlb");
//     [object, uuid(...), dual, oleautomation, helpstring("...")]
//     interface IThing : IDispatch {
//       [id(1), helpstring("method Add")] HRESULT Add([in] long a, [in] long b, [out, retval] long* r);
//       [propget, id(2)] HRESULT Name([out, retval] BSTR* pVal);
//       [propput, id(2)] HRESULT Name([in] BSTR newVal);
//     };
//     [uuid(...), helpstring("Thing Class")]
//     coclass Thing { [default] interface IThing; };
//   };
//
// Every interface and coclass of the file goes into the library. Besides
// interfaces and coclasses a description may hold
//   typedef enum tagKind { A = 1, B } Kind;   a C++ enum in the header; a
//                                            32-bit integer (VT_I4) in the
//                                            type information
//   import "other.idl";                      the interfaces and enums of
//                                            other.idl may be named; the
//                                            header includes "other.h"
// Errors are reported with the file, line and column, and make the tool
// exit with 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/com/typelib_format.h"
#include "platform/text/convert.h"

namespace {

using krsoap::com::tlb::Func;
using krsoap::com::tlb::Impl;
using krsoap::com::tlb::Library;
using krsoap::com::tlb::Param;
using krsoap::com::tlb::Type;
namespace tlb = krsoap::com::tlb;
using krsoap::platform::Utf16ToUtf8;
using krsoap::platform::Utf8ToUtf16;

// Automation VARTYPE values used by the type mapping.
enum : uint16_t {
  kVtI2 = 2, kVtI4 = 3, kVtR4 = 4, kVtR8 = 5, kVtCy = 6, kVtDate = 7, kVtBstr = 8, kVtDispatch = 9,
  kVtError = 10, kVtBool = 11, kVtVariant = 12, kVtUnknown = 13, kVtI1 = 16, kVtUi1 = 17, kVtUi2 = 18,
  kVtUi4 = 19, kVtI8 = 20, kVtUi8 = 21, kVtInt = 22, kVtUint = 23, kVtHresult = 25, kVtArray = 0x2000
};

[[noreturn]] void Die(const std::string& msg) {
  std::fprintf(stderr, "krcomgen: %s\n", msg.c_str());
  std::exit(1);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Die("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFileIfChanged(const std::string& path, const std::string& data) {
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::ostringstream s;
      s << in.rdbuf();
      if (s.str() == data) return;
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) Die("cannot write " + path);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) Die("cannot write " + path);
}

bool ParseGuidText(const std::string& text, GUID* g) {
  std::string t = text;
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
  auto hex = [&](size_t pos, size_t n, uint64_t* v) {
    *v = 0;
    for (size_t i = pos; i < pos + n; ++i) {
      char c = t[i];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      *v = *v * 16 + static_cast<uint64_t>(d);
    }
    return true;
  };
  uint64_t a, b, c, d, e;
  if (!hex(0, 8, &a) || !hex(9, 4, &b) || !hex(14, 4, &c) || !hex(19, 4, &d) || !hex(24, 12, &e)) return false;
  g->Data1 = static_cast<uint32_t>(a);
  g->Data2 = static_cast<uint16_t>(b);
  g->Data3 = static_cast<uint16_t>(c);
  g->Data4[0] = static_cast<uint8_t>(d >> 8);
  g->Data4[1] = static_cast<uint8_t>(d);
  for (int i = 0; i < 6; ++i) g->Data4[2 + i] = static_cast<uint8_t>(e >> (8 * (5 - i)));
  return true;
}

std::string GuidInitializer(const GUID& g) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "{0x%08X, 0x%04X, 0x%04X, {0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X}}",
                g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                g.Data4[6], g.Data4[7]);
  return buf;
}

// ---------------------------------------------------------------------------
// The description reader.

struct Attr {
  std::string name;
  std::string arg;  // raw text between the parentheses, if any
  bool has_arg = false;
};

struct IdlParam {
  std::vector<Attr> attrs;
  std::string cpp_type;  // as written, e.g. "BSTR*"
  std::string name;
  uint16_t vt = 0;
  uint16_t flags = 0;
};

struct IdlMethod {
  std::vector<Attr> attrs;
  std::string name;
  std::vector<IdlParam> params;
  Func func;
};

struct IdlInterface {
  std::vector<Attr> attrs;
  std::string name;
  std::string base;
  std::vector<IdlMethod> methods;
  Type type;
};

struct IdlCoclass {
  std::string name;
  Type type;
  std::vector<std::string> interfaces;
  std::vector<int32_t> impl_flags;
};

class IdlReader {
 public:
  IdlReader(std::string file, std::string text) : file_(std::move(file)), s_(std::move(text)) {}

  void Read() {
    while (true) {
      SkipSpace();
      if (pos_ >= s_.size()) break;
      std::vector<Attr> attrs;
      if (Peek('[')) attrs = Attributes();
      std::string word = Ident();
      if (word == "import") {
        Import(StringLit());
        Expect(';');
      } else if (word == "typedef") {
        Typedef();
      } else if (word == "library") {
        LibraryBlock(attrs);
      } else if (word == "interface") {
        Interface(attrs);
      } else if (word == "coclass") {
        Coclass(attrs);
      } else if (word == "cpp_quote") {
        Expect('(');
        StringLit();
        Expect(')');
      } else {
        Fail("unexpected '" + word + "'");
      }
    }
    Resolve();
  }

  bool has_library = false;
  Library lib;
  std::string lib_name;
  std::vector<IdlInterface> interfaces;
  std::vector<IdlCoclass> coclasses;
  // Enumerations: C++ enums in the header, 32-bit integers (VT_I4) in the
  // type information and the descriptions.
  struct IdlEnum {
    std::string name;
    std::vector<std::pair<std::string, long>> values;
  };
  std::vector<IdlEnum> enums;
  // Descriptions pulled in with import "x.idl": their interfaces and enums
  // may be named in this file, and the header includes "x.h" for them.
  std::vector<std::string> imported_headers;
  std::map<std::string, bool> imported_interfaces;  // name -> dual
  std::vector<std::string> imported_enums;

 private:
  [[noreturn]] void Fail(const std::string& msg) {
    size_t line = 1, col = 1;
    for (size_t i = 0; i < pos_ && i < s_.size(); ++i) {
      if (s_[i] == '\n') {
        ++line;
        col = 1;
      } else {
        ++col;
      }
    }
    Die(file_ + ":" + std::to_string(line) + ":" + std::to_string(col) + ": " + msg);
  }

  void SkipSpace() {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        ++pos_;
      } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
        while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
      } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*') {
        size_t end = s_.find("*/", pos_ + 2);
        if (end == std::string::npos) Fail("unterminated comment");
        pos_ = end + 2;
      } else {
        break;
      }
    }
  }
  bool Peek(char c) {
    SkipSpace();
    return pos_ < s_.size() && s_[pos_] == c;
  }
  bool Take(char c) {
    if (Peek(c)) {
      ++pos_;
      return true;
    }
    return false;
  }
  void Expect(char c) {
    if (!Take(c)) Fail(std::string("expected '") + c + "'");
  }
  std::string Ident() {
    SkipSpace();
    size_t start = pos_;
    while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_')) ++pos_;
    if (start == pos_) Fail("expected a name");
    return s_.substr(start, pos_ - start);
  }
  std::string StringLit() {
    SkipSpace();
    if (pos_ >= s_.size() || s_[pos_] != '"') Fail("expected a string");
    ++pos_;
    std::string out;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      if (s_[pos_] == '\n') Fail("unterminated string");
      if (s_[pos_] == '\\' && pos_ + 1 < s_.size()) ++pos_;
      out.push_back(s_[pos_++]);
    }
    if (pos_ >= s_.size()) Fail("unterminated string");
    ++pos_;
    return out;
  }
  // Raw text up to the matching ')', strings kept with their quotes.
  std::string RawArg() {
    std::string out;
    int depth = 0;
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == '"') {
        out += '"' + StringLit() + '"';
        continue;
      }
      if (c == '(') ++depth;
      if (c == ')') {
        if (depth == 0) break;
        --depth;
      }
      out.push_back(c);
      ++pos_;
    }
    Expect(')');
    while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
    size_t b = out.find_first_not_of(" \t");
    return b == std::string::npos ? std::string() : out.substr(b);
  }
  std::vector<Attr> Attributes() {
    std::vector<Attr> attrs;
    Expect('[');
    if (Take(']')) return attrs;
    do {
      Attr a;
      a.name = Ident();
      if (Take('(')) {
        a.has_arg = true;
        a.arg = RawArg();
      }
      attrs.push_back(a);
    } while (Take(','));
    Expect(']');
    return attrs;
  }
  static const Attr* Find(const std::vector<Attr>& attrs, const char* name) {
    for (const Attr& a : attrs) {
      if (a.name == name) return &a;
    }
    return nullptr;
  }
  std::string Unquote(const std::string& arg) {
    if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') return arg.substr(1, arg.size() - 2);
    Fail("expected a quoted string, found " + arg);
  }
  GUID Uuid(const std::vector<Attr>& attrs, const std::string& what) {
    const Attr* a = Find(attrs, "uuid");
    if (!a) Fail(what + " has no uuid");
    GUID g{};
    if (!ParseGuidText(a->arg, &g)) Fail("bad uuid '" + a->arg + "' on " + what);
    return g;
  }
  std::u16string Help(const std::vector<Attr>& attrs) {
    const Attr* a = Find(attrs, "helpstring");
    return a ? Utf8ToUtf16(Unquote(a->arg)) : std::u16string();
  }
  long Number(const std::string& text) {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end) Fail("bad number '" + text + "'");
    return v;
  }

  void Import(const std::string& name) {
    std::string dir = file_.substr(0, file_.find_last_of('/') == std::string::npos ? 0 : file_.find_last_of('/') + 1);
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".idl") != 0) return;  // system imports carry nothing
    IdlReader sub(dir + name, ReadFile(dir + name));
    sub.Read();
    imported_headers.push_back(name.substr(0, name.size() - 4) + ".h");
    for (const auto& i : sub.interfaces) imported_interfaces[i.name] = (i.type.flags & tlb::kTypeFlagDual) != 0;
    for (const auto& [n, dual] : sub.imported_interfaces) imported_interfaces[n] = dual;
    for (const auto& e : sub.enums) imported_enums.push_back(e.name);
    for (const auto& e : sub.imported_enums) imported_enums.push_back(e);
  }

  // typedef [attributes] enum [tag] { NAME [= value], ... } NAME;
  void Typedef() {
    if (Peek('[')) Attributes();
    if (Ident() != "enum") Fail("only enumerations can be declared with typedef");
    IdlEnum e;
    if (!Peek('{')) Ident();
    Expect('{');
    long next = 0;
    while (!Take('}')) {
      std::string name = Ident();
      if (Take('=')) {
        SkipSpace();
        size_t start = pos_;
        while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '-')) ++pos_;
        next = Number(s_.substr(start, pos_ - start));
      }
      e.values.emplace_back(name, next++);
      if (!Take(',')) {
        Expect('}');
        break;
      }
    }
    e.name = Ident();
    Expect(';');
    enums.push_back(std::move(e));
  }
  bool IsEnum(const std::string& name) const {
    for (const auto& e : enums) {
      if (e.name == name) return true;
    }
    for (const auto& e : imported_enums) {
      if (e == name) return true;
    }
    return false;
  }

  void LibraryBlock(const std::vector<Attr>& attrs) {
    if (has_library) Fail("a second library");
    has_library = true;
    lib_name = Ident();
    lib.name = Utf8ToUtf16(lib_name);
    lib.libid = Uuid(attrs, "library " + lib_name);
    lib.help = Help(attrs);
    if (const Attr* v = Find(attrs, "version")) {
      size_t dot = v->arg.find('.');
      lib.major = static_cast<uint16_t>(Number(v->arg.substr(0, dot)));
      lib.minor = dot == std::string::npos ? 0 : static_cast<uint16_t>(Number(v->arg.substr(dot + 1)));
    }
    if (const Attr* l = Find(attrs, "lcid")) lib.lcid = static_cast<uint32_t>(Number(l->arg));
    Expect('{');
    while (!Take('}')) {
      std::vector<Attr> inner;
      if (Peek('[')) inner = Attributes();
      std::string word = Ident();
      if (word == "importlib") {
        Expect('(');
        StringLit();
        Expect(')');
        Expect(';');
      } else if (word == "interface") {
        Interface(inner);
      } else if (word == "coclass") {
        Coclass(inner);
      } else if (word == "typedef") {
        Typedef();
      } else {
        Fail("unexpected '" + word + "' in library");
      }
    }
    Take(';');
  }

  // Type text up to the parameter name: words and '*'.
  std::string TypeText() {
    std::string out;
    while (true) {
      SkipSpace();
      if (Peek('*')) {
        ++pos_;
        out += '*';
        continue;
      }
      if (Peek('(')) {  // SAFEARRAY(type)
        ++pos_;
        out += '(' + RawArg() + ')';
        continue;
      }
      size_t save = pos_;
      if (pos_ < s_.size() && (std::isalpha(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_')) {
        std::string w = Ident();
        // The last word before ',' or ')' is the parameter's name.
        SkipSpace();
        if (Peek(',') || Peek(')')) {
          pos_ = save;
          return out;
        }
        if (!out.empty() && out.back() != '*') out += ' ';
        out += w;
        continue;
      }
      return out;
    }
  }

  uint16_t MapType(std::string type, const std::string& where) {
    int stars = 0;
    while (!type.empty() && type.back() == '*') {
      ++stars;
      type.pop_back();
    }
    while (!type.empty() && type.back() == ' ') type.pop_back();
    if (type.rfind("const ", 0) == 0) type = type.substr(6);
    static const std::map<std::string, uint16_t> kScalars = {
        {"long", kVtI4}, {"LONG", kVtI4}, {"int", kVtInt}, {"INT", kVtInt}, {"short", kVtI2}, {"SHORT", kVtI2},
        {"char", kVtI1}, {"CHAR", kVtI1}, {"unsigned char", kVtUi1}, {"BYTE", kVtUi1}, {"byte", kVtUi1},
        {"unsigned short", kVtUi2}, {"USHORT", kVtUi2}, {"unsigned long", kVtUi4}, {"ULONG", kVtUi4},
        {"unsigned int", kVtUint}, {"UINT", kVtUint}, {"hyper", kVtI8}, {"LONGLONG", kVtI8},
        {"ULONGLONG", kVtUi8}, {"float", kVtR4}, {"double", kVtR8}, {"DATE", kVtDate}, {"BSTR", kVtBstr},
        {"VARIANT_BOOL", kVtBool}, {"VARIANT", kVtVariant}, {"SCODE", kVtError}, {"HRESULT", kVtError},
        {"CURRENCY", kVtCy}, {"CY", kVtCy}};
    uint16_t vt = 0;
    if (auto it = kScalars.find(type); it != kScalars.end()) {
      vt = it->second;
    } else if (IsEnum(type)) {
      vt = kVtI4;
    } else if (type.rfind("SAFEARRAY(", 0) == 0 && type.back() == ')') {
      uint16_t element = MapType(type.substr(10, type.size() - 11), where);
      if (element & tlb::kVtByRef) Fail("SAFEARRAY of pointers in " + where);
      vt = static_cast<uint16_t>(kVtArray | element);
      // SAFEARRAY(T) stands for a SAFEARRAY* already.
    } else if (type == "IUnknown" || type == "IDispatch" || IsInterface(type)) {
      if (stars == 0) Fail("interface " + type + " passed by value in " + where);
      vt = type == "IDispatch" || IsDualInterface(type) ? kVtDispatch : kVtUnknown;
      --stars;
    } else {
      Fail("unsupported type '" + type + "' in " + where);
    }
    if (stars > 1) Fail("more than one level of indirection in " + where);
    if (stars == 1) vt = static_cast<uint16_t>(vt | tlb::kVtByRef);
    return vt;
  }
  bool IsInterface(const std::string& name) const {
    for (const auto& i : interfaces) {
      if (i.name == name) return true;
    }
    return name == current_interface_ || imported_interfaces.count(name) != 0;
  }
  bool IsDualInterface(const std::string& name) const {
    for (const auto& i : interfaces) {
      if (i.name == name) return (i.type.flags & tlb::kTypeFlagDual) != 0;
    }
    auto it = imported_interfaces.find(name);
    return it != imported_interfaces.end() && it->second;
  }

  void Interface(const std::vector<Attr>& attrs) {
    IdlInterface itf;
    itf.attrs = attrs;
    itf.name = Ident();
    if (Take(';')) return;  // forward declaration
    current_interface_ = itf.name;
    Expect(':');
    itf.base = Ident();
    Type& t = itf.type;
    t.kind = tlb::kKindInterface;
    t.name = Utf8ToUtf16(itf.name);
    t.guid = Uuid(attrs, "interface " + itf.name);
    t.help = Help(attrs);
    t.parent_name = Utf8ToUtf16(itf.base);
    if (Find(attrs, "dual")) t.flags |= tlb::kTypeFlagDual | tlb::kTypeFlagOleAutomation;
    if (Find(attrs, "oleautomation")) t.flags |= tlb::kTypeFlagOleAutomation;
    if (t.flags & tlb::kTypeFlagDual && itf.base != "IDispatch" && !IsDualInterface(itf.base))
      Fail("dual interface " + itf.name + " must derive from IDispatch");
    Expect('{');
    while (!Take('}')) {
      IdlMethod m;
      if (Peek('[')) m.attrs = Attributes();
      std::string ret = Ident();
      if (ret != "HRESULT") Fail("method of " + itf.name + " does not return HRESULT");
      m.name = Ident();
      Expect('(');
      if (!Take(')')) {
        SkipSpace();
        size_t save = pos_;
        if (s_.compare(pos_, 4, "void") == 0 && (Ident(), Take(')'))) {
          // "(void)": no parameters
        } else {
          pos_ = save;
          do {
            IdlParam p;
            if (Peek('[')) p.attrs = Attributes();
            p.cpp_type = TypeText();
            p.name = Ident();
            m.params.push_back(p);
          } while (Take(','));
          Expect(')');
        }
      }
      Expect(';');
      itf.methods.push_back(std::move(m));
    }
    Take(';');
    interfaces.push_back(std::move(itf));
    current_interface_.clear();
  }

  void Coclass(const std::vector<Attr>& attrs) {
    IdlCoclass co;
    co.name = Ident();
    co.type.kind = tlb::kKindCoclass;
    co.type.name = Utf8ToUtf16(co.name);
    co.type.guid = Uuid(attrs, "coclass " + co.name);
    co.type.help = Help(attrs);
    if (!Find(attrs, "noncreatable")) co.type.flags |= tlb::kTypeFlagCanCreate;
    Expect('{');
    while (!Take('}')) {
      std::vector<Attr> inner;
      if (Peek('[')) inner = Attributes();
      std::string word = Ident();
      if (word != "interface" && word != "dispinterface") Fail("expected interface in coclass " + co.name);
      co.interfaces.push_back(Ident());
      co.impl_flags.push_back(Find(inner, "default") ? tlb::kImplDefault : 0);
      Expect(';');
    }
    Take(';');
    coclasses.push_back(std::move(co));
  }

  // Fills in what needs the whole file: slots, DISPIDs, parameter types.
  void Resolve() {
    std::map<std::string, size_t> by_name;
    for (size_t i = 0; i < interfaces.size(); ++i) {
      if (!by_name.emplace(interfaces[i].name, i).second) Die(file_ + ": interface " + interfaces[i].name + " defined twice");
    }
    std::map<std::string, uint16_t> slots_after;  // interface -> slots taken including its own methods
    slots_after["IUnknown"] = 3;
    slots_after["IDispatch"] = 7;
    for (IdlInterface& itf : interfaces) {
      auto base = slots_after.find(itf.base);
      if (base == slots_after.end()) Die(file_ + ": interface " + itf.name + " derives from unknown " + itf.base);
      Type& t = itf.type;
      t.first_slot = base->second;
      if (itf.base == "IUnknown") {
        t.parent = GUID{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
      } else if (itf.base == "IDispatch") {
        t.parent = GUID{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
      } else {
        t.parent = interfaces[by_name[itf.base]].type.guid;
      }
      uint16_t slot = t.first_slot;
      int32_t auto_id = 0x60020000;
      current_interface_ = itf.name;
      for (IdlMethod& m : itf.methods) {
        Func& f = m.func;
        f.name = Utf8ToUtf16(m.name);
        f.help = Help(m.attrs);
        f.slot = slot++;
        if (Find(m.attrs, "propget")) f.invkind = tlb::kInvokePropGet;
        else if (Find(m.attrs, "propput")) f.invkind = tlb::kInvokePropPut;
        else if (Find(m.attrs, "propputref")) f.invkind = tlb::kInvokePropPutRef;
        if (const Attr* id = Find(m.attrs, "id")) {
          f.dispid = static_cast<int32_t>(Number(id->arg));
        } else {
          f.dispid = auto_id++;
        }
        std::string where = itf.name + "::" + m.name;
        for (IdlParam& p : m.params) {
          p.vt = MapType(p.cpp_type, where);
          if (Find(p.attrs, "in")) p.flags |= tlb::kParamIn;
          if (Find(p.attrs, "out")) p.flags |= tlb::kParamOut;
          if (Find(p.attrs, "retval")) p.flags |= tlb::kParamRetval;
          if (Find(p.attrs, "optional")) p.flags |= tlb::kParamOptional;
          if (!(p.flags & (tlb::kParamIn | tlb::kParamOut))) p.flags |= tlb::kParamIn;
          if ((p.flags & tlb::kParamOut) && !(p.vt & tlb::kVtByRef)) Die(file_ + ": [out] parameter " + p.name + " of " + where + " is not a pointer");
          if ((p.flags & tlb::kParamRetval) && &p != &m.params.back()) Die(file_ + ": retval parameter of " + where + " is not the last");
          f.params.push_back(Param{Utf8ToUtf16(p.name), p.vt, p.flags});
        }
        if (f.invkind == tlb::kInvokePropGet && (f.params.empty() || !(f.params.back().flags & tlb::kParamRetval)))
          Die(file_ + ": propget " + where + " has no [out, retval] parameter");
        if ((f.invkind == tlb::kInvokePropPut || f.invkind == tlb::kInvokePropPutRef) && f.params.empty())
          Die(file_ + ": propput " + where + " has no parameter");
        // Property puts take unnamed values in the type information.
        t.funcs.push_back(f);
      }
      current_interface_.clear();
      slots_after[itf.name] = slot;
    }
    for (IdlCoclass& co : coclasses) {
      for (size_t i = 0; i < co.interfaces.size(); ++i) {
        auto it = by_name.find(co.interfaces[i]);
        GUID iid{};
        if (it != by_name.end()) {
          iid = interfaces[it->second].type.guid;
        } else if (co.interfaces[i] == "IDispatch") {
          iid = GUID{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
        } else {
          Die(file_ + ": coclass " + co.name + " names unknown interface " + co.interfaces[i]);
        }
        co.type.impls.push_back(Impl{iid, co.impl_flags[i]});
      }
    }
    for (const IdlInterface& itf : interfaces) lib.types.push_back(itf.type);
    for (const IdlCoclass& co : coclasses) lib.types.push_back(co.type);
  }

  std::string file_;
  std::string s_;
  size_t pos_ = 0;
  std::string current_interface_;
};

std::string CppParamType(const IdlParam& p) {
  std::string t = p.cpp_type;
  if (t.rfind("SAFEARRAY(", 0) == 0) {
    size_t close = t.rfind(')');
    return "SAFEARRAY*" + t.substr(close + 1);
  }
  static const std::map<std::string, std::string> kNames = {
      {"long", "LONG"}, {"int", "INT"}, {"short", "SHORT"}, {"char", "CHAR"}, {"unsigned char", "BYTE"},
      {"byte", "BYTE"}, {"unsigned short", "USHORT"}, {"unsigned long", "ULONG"}, {"unsigned int", "UINT"},
      {"hyper", "LONGLONG"}};
  std::string base = t, stars;
  while (!base.empty() && base.back() == '*') {
    stars += '*';
    base.pop_back();
  }
  if (auto it = kNames.find(base); it != kNames.end()) base = it->second;
  return base + stars;
}

std::string MethodCppName(const IdlMethod& m) {
  switch (m.func.invkind) {
    case tlb::kInvokePropGet: return "get_" + m.name;
    case tlb::kInvokePropPut: return "put_" + m.name;
    case tlb::kInvokePropPutRef: return "putref_" + m.name;
    default: return m.name;
  }
}

std::string GuardName(const std::string& path) {
  std::string g = "KRCOMGEN_";
  size_t slash = path.find_last_of('/');
  for (char c : path.substr(slash == std::string::npos ? 0 : slash + 1))
    g += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : '_';
  return g;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return path.substr(slash == std::string::npos ? 0 : slash + 1);
}

std::string Stem(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
  return base.substr(0, base.find('.'));
}

std::string Identifier(const std::string& text) {
  std::string out;
  for (char c : text) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out;
}

std::string CString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\%03o", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Header(const IdlReader& r, const std::string& input, const std::string& path) {
  std::ostringstream o;
  std::string guard = GuardName(path);
  o << "// Generated by krcomgen from " << BaseName(input) << "; edit the description, not this file.\n";
  o << "#ifndef " << guard << "\n#define " << guard << "\n\n";
  o << "#include \"platform/com/com.h\"\n#include \"platform/com/interface_desc.h\"\n";
  for (const auto& h : r.imported_headers) o << "#include \"" << h << "\"\n";
  o << "\n";
  for (const auto& itf : r.interfaces) o << "struct " << itf.name << ";\n";
  o << "\n";
  for (const auto& e : r.enums) {
    o << "enum " << e.name << " {\n";
    for (const auto& [n, v] : e.values) o << "  " << n << " = " << v << ",\n";
    o << "};\n\n";
  }
  if (r.has_library) o << "inline constexpr GUID LIBID_" << r.lib_name << " = " << GuidInitializer(r.lib.libid) << ";\n";
  for (const auto& itf : r.interfaces)
    o << "inline constexpr IID IID_" << itf.name << " = " << GuidInitializer(itf.type.guid) << ";\n";
  for (const auto& co : r.coclasses)
    o << "inline constexpr CLSID CLSID_" << co.name << " = " << GuidInitializer(co.type.guid) << ";\n";
  o << "\n";
  for (const auto& itf : r.interfaces) {
    o << "// " << Utf16ToUtf8(itf.type.help) << "\n";
    o << "struct " << itf.name << " : public " << itf.base << " {\n";
    for (const auto& m : itf.methods) {
      o << "  virtual HRESULT STDMETHODCALLTYPE " << MethodCppName(m) << "(";
      for (size_t i = 0; i < m.params.size(); ++i) {
        if (i) o << ", ";
        o << CppParamType(m.params[i]) << " " << m.params[i].name;
      }
      o << ") = 0;  // slot " << m.func.slot << ", dispid " << m.func.dispid << "\n";
    }
    o << "};\n";
    o << "template <>\nstruct KrIidOf<" << itf.name << "> {\n  static constexpr const IID& value = IID_" << itf.name
      << ";\n};\n\n";
  }
  std::string stem = Identifier(Stem(input));
  o << "// The descriptions of this file's interfaces, in declaration order.\n";
  o << "extern const krsoap::com::InterfaceDesc* const kr_" << stem << "_interfaces[];\n";
  o << "extern const unsigned kr_" << stem << "_interface_count;\n";
  for (const auto& itf : r.interfaces)
    o << "extern const krsoap::com::InterfaceDesc kr_desc_" << itf.name << ";\n";
  o << "\n#endif  // " << guard << "\n";
  return o.str();
}

// The interface a pointer parameter is declared as ("IThing**" -> IID_IThing);
// empty for parameters that are not interface pointers.
std::string ParamIidExpr(const IdlParam& p) {
  const uint16_t base = static_cast<uint16_t>(p.vt & ~tlb::kVtByRef);
  if (base != kVtUnknown && base != kVtDispatch) return std::string();
  std::string t = p.cpp_type;
  while (!t.empty() && (t.back() == '*' || t.back() == ' ')) t.pop_back();
  if (t.rfind("const ", 0) == 0) t = t.substr(6);
  return "&IID_" + t;
}

// The C++ parameter list of a method as declared in the header.
std::string CppParams(const IdlMethod& m) {
  std::string out;
  for (size_t i = 0; i < m.params.size(); ++i) {
    if (i) out += ", ";
    out += CppParamType(m.params[i]) + " " + m.params[i].name;
  }
  return out;
}

// The generated proxy class of one interface: every method, IUnknown's and
// IDispatch's included, hands the addresses of its arguments and its vtable
// slot to the one generic proxy interpreter (krsoap::com::ProxyCall).
void ProxyClass(std::ostringstream& o, const IdlReader& r, const IdlInterface& itf) {
  std::vector<const IdlInterface*> chain;  // outermost base first
  for (const IdlInterface* i = &itf; i;) {
    chain.insert(chain.begin(), i);
    const IdlInterface* next = nullptr;
    for (const auto& c : r.interfaces) {
      if (c.name == i->base) next = &c;
    }
    i = next;
  }
  const bool dispatch = chain.front()->base == "IDispatch";
  const std::string cls = "KrProxy_" + itf.name;
  o << "class " << cls << " final : public " << itf.name << " {\n public:\n";
  o << "  explicit " << cls << "(krsoap::com::ProxyCore* core) : core_(core) {}\n";
  o << "  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {\n"
       "    void* kr_args[] = {const_cast<IID*>(&riid), &ppv};\n    return krsoap::com::ProxyCall(core_, 0, kr_args);\n  }\n";
  o << "  ULONG STDMETHODCALLTYPE AddRef() override {\n    ULONG n = 0;\n    void* kr_args[] = {&n};\n"
       "    krsoap::com::ProxyCall(core_, 1, kr_args);\n    return n;\n  }\n";
  o << "  ULONG STDMETHODCALLTYPE Release() override {\n    ULONG n = 0;\n    void* kr_args[] = {&n};\n"
       "    krsoap::com::ProxyCall(core_, 2, kr_args);\n    return n;\n  }\n";
  if (dispatch) {
    o << "  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {\n"
         "    void* kr_args[] = {&pctinfo};\n    return krsoap::com::ProxyCall(core_, 3, kr_args);\n  }\n";
    o << "  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {\n"
         "    void* kr_args[] = {&iTInfo, &lcid, &ppTInfo};\n    return krsoap::com::ProxyCall(core_, 4, kr_args);\n  }\n";
    o << "  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,\n"
         "                                          DISPID* rgDispId) override {\n"
         "    void* kr_args[] = {const_cast<IID*>(&riid), &rgszNames, &cNames, &lcid, &rgDispId};\n"
         "    return krsoap::com::ProxyCall(core_, 5, kr_args);\n  }\n";
    o << "  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,\n"
         "                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,\n"
         "                                   UINT* puArgErr) override {\n"
         "    void* kr_args[] = {&dispIdMember, const_cast<IID*>(&riid), &lcid, &wFlags, &pDispParams, &pVarResult,\n"
         "                 &pExcepInfo, &puArgErr};\n"
         "    return krsoap::com::ProxyCall(core_, 6, kr_args);\n  }\n";
  }
  for (const IdlInterface* i : chain) {
    for (const auto& m : i->methods) {
      o << "  HRESULT STDMETHODCALLTYPE " << MethodCppName(m) << "(" << CppParams(m) << ") override {\n";
      if (m.params.empty()) {
        o << "    return krsoap::com::ProxyCall(core_, " << m.func.slot << ", nullptr);\n  }\n";
        continue;
      }
      o << "    void* kr_args[] = {";
      for (size_t k = 0; k < m.params.size(); ++k) o << (k ? ", " : "") << "&" << m.params[k].name;
      o << "};\n    return krsoap::com::ProxyCall(core_, " << m.func.slot << ", kr_args);\n  }\n";
    }
  }
  o << "\n private:\n  krsoap::com::ProxyCore* core_;\n};\n";
  o << "void* KrNewProxy_" << itf.name << "(krsoap::com::ProxyCore* core) {\n"
    << "  return static_cast<" << itf.name << "*>(new (std::nothrow) " << cls << "(core));\n}\n";
  o << "void KrDeleteProxy_" << itf.name << "(void* p) { delete static_cast<" << cls << "*>(static_cast<" << itf.name
    << "*>(p)); }\n";
}

std::string DescriptionSource(const IdlReader& r, const std::string& input, const std::string& header) {
  std::ostringstream o;
  std::string stem = Identifier(Stem(input));
  o << "// Generated by krcomgen from " << BaseName(input) << "; edit the description, not this file.\n";
  size_t slash = header.find_last_of('/');
  o << "#include \"" << header.substr(slash == std::string::npos ? 0 : slash + 1) << "\"\n\n";
  o << "#include <new>\n\n#include \"platform/com/proxystub.h\"\n\n";
  o << "namespace {\n";
  for (const auto& itf : r.interfaces) {
    for (const auto& m : itf.methods) {
      if (m.params.empty()) continue;
      o << "const krsoap::com::ParamDesc kParams_" << itf.name << "_" << MethodCppName(m) << "[] = {";
      for (const auto& p : m.params) {
        std::string iid = ParamIidExpr(p);
        o << "{" << CString(p.name) << ", " << p.vt << ", " << p.flags << ", " << (iid.empty() ? "nullptr" : iid) << "}, ";
      }
      o << "};\n";
    }
    if (!itf.methods.empty()) {
      o << "const krsoap::com::MethodDesc kMethods_" << itf.name << "[] = {\n";
      for (const auto& m : itf.methods) {
        o << "  {" << CString(m.name) << ", " << m.func.dispid << ", " << int(m.func.invkind) << ", " << m.func.slot << ", "
          << m.params.size() << ", ";
        if (m.params.empty()) o << "nullptr";
        else o << "kParams_" << itf.name << "_" << MethodCppName(m);
        o << "},\n";
      }
      o << "};\n";
    }
    ProxyClass(o, r, itf);
  }
  o << "}  // namespace\n\n";
  for (const auto& itf : r.interfaces) {
    bool described_base = false;
    for (const auto& c : r.interfaces) described_base = described_base || c.name == itf.base;
    o << "const krsoap::com::InterfaceDesc kr_desc_" << itf.name << " = {" << CString(itf.name) << ", IID_" << itf.name
      << ", " << itf.type.first_slot << ", " << itf.methods.size() << ", "
      << (itf.methods.empty() ? "nullptr" : "kMethods_" + itf.name) << ", " << ((itf.type.flags & tlb::kTypeFlagDual) ? "true" : "false")
      << ", " << (described_base ? "&kr_desc_" + itf.base : std::string("nullptr")) << ", &KrNewProxy_" << itf.name
      << ", &KrDeleteProxy_" << itf.name << "};\n";
  }
  o << "const krsoap::com::InterfaceDesc* const kr_" << stem << "_interfaces[] = {";
  for (const auto& itf : r.interfaces) o << "&kr_desc_" << itf.name << ", ";
  if (r.interfaces.empty()) o << "nullptr";
  o << "};\n";
  o << "const unsigned kr_" << stem << "_interface_count = " << r.interfaces.size() << ";\n";
  return o.str();
}

int RunIdl(int argc, char** argv) {
  if (argc != 6) Die("usage: krcomgen idl INPUT.idl HEADER.h TLB.tlb DESC.cpp");
  std::string input = argv[2];
  IdlReader reader(input, ReadFile(input));
  reader.Read();
  WriteFileIfChanged(argv[3], Header(reader, input, argv[3]));
  std::vector<uint8_t> bytes;
  if (reader.has_library) {
    bytes = tlb::Encode(reader.lib);
    tlb::Library check;
    if (tlb::Decode(bytes.data(), bytes.size(), &check) != 0) Die(input + ": the library does not read back");
  }
  WriteFileIfChanged(argv[4], std::string(bytes.begin(), bytes.end()));
  WriteFileIfChanged(argv[5], DescriptionSource(reader, input, argv[3]));
  return 0;
}

// ---------------------------------------------------------------------------
// The resource compiler.
//
// A resource list has one resource per line; '#' starts a comment:
//   REGISTRY 102 thing.rgs       a file, found beside the list or in a search dir
//   TYPELIB 1 thing.tlb
//   STRING 100 "halvex"          a string table entry
//   VERSION FileVersion "1.0.0.1" an entry of the version block

struct Resource {
  std::string type;
  uint32_t id;
  std::string data;
};

std::vector<std::string> SplitLine(const std::string& line, const std::string& where) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
      ++i;
      continue;
    }
    if (line[i] == '#') break;
    if (line[i] == '"') {
      std::string s;
      ++i;
      while (i < line.size() && line[i] != '"') {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        s += line[i++];
      }
      if (i >= line.size()) Die(where + ": unterminated string");
      ++i;
      out.push_back(s);
      continue;
    }
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    out.push_back(line.substr(start, i - start));
  }
  return out;
}

std::string FindFile(const std::string& name, const std::vector<std::string>& dirs) {
  if (!name.empty() && name[0] == '/') return name;
  for (const auto& d : dirs) {
    std::string p = d + "/" + name;
    if (std::ifstream(p)) return p;
  }
  Die("resource file " + name + " not found");
}

int RunRes(int argc, char** argv) {
  if (argc < 4) Die("usage: krcomgen res INPUT.krres OUTPUT.cpp [SEARCH-DIR...]");
  std::string input = argv[2];
  std::vector<std::string> dirs;
  size_t slash = input.find_last_of('/');
  dirs.push_back(slash == std::string::npos ? "." : input.substr(0, slash));
  for (int i = 4; i < argc; ++i) dirs.push_back(argv[i]);
  std::istringstream lines(ReadFile(input));
  std::string line;
  std::vector<Resource> resources;
  std::string version;
  int n = 0;
  while (std::getline(lines, line)) {
    ++n;
    std::string where = input + ":" + std::to_string(n);
    auto f = SplitLine(line, where);
    if (f.empty()) continue;
    if (f[0] == "VERSION") {
      if (f.size() != 3) Die(where + ": expected VERSION NAME \"value\"");
      version += f[1];
      version += '\0';
      version += f[2];
      version += '\0';
      continue;
    }
    if (f.size() != 3) Die(where + ": expected TYPE ID FILE-OR-TEXT");
    char* end = nullptr;
    unsigned long id = std::strtoul(f[1].c_str(), &end, 0);
    if (*end || id > 0xFFFF) Die(where + ": bad id " + f[1]);
    Resource r{f[0], static_cast<uint32_t>(id), {}};
    r.data = f[0] == "STRING" ? f[2] : ReadFile(FindFile(f[2], dirs));
    resources.push_back(r);
  }
  if (!version.empty()) resources.push_back(Resource{"VERSION", 1, version});
  std::ostringstream o;
  o << "// Generated by krcomgen from " << BaseName(input) << ": this module's embedded resources.\n";
  o << "#include \"platform/com/resources.h\"\n\nnamespace {\n";
  for (size_t i = 0; i < resources.size(); ++i) {
    o << "const unsigned char kData" << i << "[] = {";
    const std::string& d = resources[i].data;
    for (size_t j = 0; j < d.size(); ++j) {
      if (j % 20 == 0) o << "\n ";
      o << " " << static_cast<unsigned>(static_cast<unsigned char>(d[j])) << ",";
    }
    o << " 0};\n";
  }
  o << "const KrResourceEntry kEntries[] = {\n";
  for (size_t i = 0; i < resources.size(); ++i)
    o << "  {" << CString(resources[i].type) << ", " << resources[i].id << ", kData" << i << ", " << resources[i].data.size()
      << "},\n";
  if (resources.empty()) o << "  {\"\", 0, nullptr, 0},\n";
  o << "};\nconst KrResourceTable kTable = {KR_RESOURCE_TABLE_VERSION, " << resources.size() << ", kEntries};\n";
  o << "}  // namespace\n\nextern \"C\" KR_EXPORT const KrResourceTable* KrModuleResources() { return &kTable; }\n";
  WriteFileIfChanged(argv[3], o.str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && !std::strcmp(argv[1], "idl")) return RunIdl(argc, argv);
  if (argc >= 2 && !std::strcmp(argv[1], "res")) return RunRes(argc, argv);
  Die("usage: krcomgen idl|res ...");
}
