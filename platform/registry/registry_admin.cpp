// Whole-tree registry operations and the .reg text format (see
// registry_admin.h). Everything here goes through RegistryStore, in one
// snapshot for reads and one transaction for writes.
#include "platform/registry/registry_admin.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/registry/reg_text.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_internal.h"
#include "platform/text/convert.h"

namespace krsoap::platform::regadmin {
namespace {

constexpr const char* kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kHeader4 = "REGEDIT4";
constexpr size_t kMaxRegFileBytes = 64u << 20;

struct HiveAlias {
  const char* short_name;
  const char* long_name;
  RegKeyId id;
};
const HiveAlias kHives[] = {
    {"HKCR", "HKEY_CLASSES_ROOT", 1},   {"HKCU", "HKEY_CURRENT_USER", 2},     {"HKLM", "HKEY_LOCAL_MACHINE", 3},
    {"HKU", "HKEY_USERS", 4},           {"HKPD", "HKEY_PERFORMANCE_DATA", 5}, {"HKCC", "HKEY_CURRENT_CONFIG", 6},
    {"HKDD", "HKEY_DYN_DATA", 7},
};

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Hex2(unsigned char b) {
  static const char kDigits[] = "0123456789abcdef";
  return std::string{kDigits[b >> 4], kDigits[b & 15]};
}

std::string Utf16z(std::string_view utf8) {
  std::string out = regtext::Utf8ToUtf16Bytes(utf8);
  out.append(2, '\0');
  return out;
}

// A string value that reads back unchanged from a quoted .reg string: UTF-16
// with one terminator at the end, no other NUL and no line breaks.
bool PrintableString(const std::string& data, std::string* utf8) {
  if (data.size() < 2 || data.size() % 2 || data[data.size() - 1] || data[data.size() - 2]) return false;
  std::string text = regtext::Utf16BytesToUtf8(std::string_view(data).substr(0, data.size() - 2));
  for (char c : text) {
    if (c == '\0' || c == '\r' || c == '\n') return false;
  }
  // Only text that survives the round trip (no unpaired surrogates).
  if (regtext::Utf8ToUtf16Bytes(text) != data.substr(0, data.size() - 2)) return false;
  *utf8 = std::move(text);
  return true;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// "hex:00,01,..." wrapped the way .reg files are: a line ends in ",\" and
// the next begins with two blanks.
void AppendHex(std::string& out, size_t line_start_len, const std::string& prefix, const std::string& data) {
  out += prefix;
  size_t col = line_start_len + prefix.size();
  for (size_t i = 0; i < data.size(); ++i) {
    std::string tok = Hex2(static_cast<unsigned char>(data[i]));
    if (i + 1 < data.size()) tok.push_back(',');
    if (col + tok.size() > 78 && i > 0) {
      out += "\\\r\n  ";
      col = 2;
    }
    out += tok;
    col += tok.size();
  }
}

// Calls fn(number, line) for each line of `text` split at '\n' (numbered
// from 1; a last line without '\n' too) until fn returns a failure, which is
// returned.
template <typename Fn>
LONG ForEachLine(std::string_view text, Fn fn) {
  int no = 0;
  for (size_t pos = 0; pos <= text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    if (LONG e = fn(++no, text.substr(pos, end - pos))) return e;
    pos = end + 1;
  }
  return ERROR_SUCCESS;
}

class Parser {
 public:
  Parser(std::vector<RegFileOp>* ops, std::string* error) : ops_(ops), error_(error) {}

  LONG Run(std::string_view text) {
    std::vector<std::pair<int, std::string>> lines;
    ForEachLine(text, [&](int no, std::string_view raw) -> LONG {
      if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
      lines.emplace_back(no, std::string(raw));
      return ERROR_SUCCESS;
    });
    bool header = false;
    for (size_t i = 0; i < lines.size(); ++i) {
      line_ = lines[i].first;
      std::string line = Trim(lines[i].second);
      if (line.empty()) continue;
      if (!header) {
        if (line != kHeader5 && line != kHeader4) return Fail("the file does not begin with \"" + std::string(kHeader5) + "\"");
        header = true;
        continue;
      }
      if (line[0] == ';') continue;
      if (line[0] == '[') {
        if (LONG e = Section(line)) return e;
        continue;
      }
      // A value whose data goes on over several lines ends each with '\'.
      while (!line.empty() && line.back() == '\\' && i + 1 < lines.size() && ContinuesHex(line)) {
        line.pop_back();
        line += Trim(lines[++i].second);
      }
      if (LONG e = Value(line)) return e;
    }
    if (!header) {
      line_ = 1;
      return Fail("the file is empty");
    }
    return ERROR_SUCCESS;
  }

 private:
  static bool ContinuesHex(const std::string& line) {
    size_t eq = line.find("=hex");
    return eq != std::string::npos;
  }

  LONG Fail(const std::string& what) {
    *error_ = "line " + std::to_string(line_) + ": " + what;
    return ERROR_INVALID_DATA;
  }

  LONG Section(const std::string& line) {
    if (line.back() != ']') return Fail("a key line must end with ']'");
    std::string_view inner(line);
    inner = inner.substr(1, inner.size() - 2);
    const bool remove = !inner.empty() && inner[0] == '-';
    if (remove) inner.remove_prefix(1);
    RootedPath key;
    LONG e = ParseRootedPath(inner, &key);
    if (e == ERROR_INVALID_NAME) return Fail("unknown root key in [" + std::string(inner) + "]");
    if (e) return Fail("invalid key name [" + std::string(inner) + "]");
    if (key.path.empty()) return Fail("a root key cannot be created or deleted");
    RegFileOp op;
    op.kind = remove ? RegFileOp::kDeleteKey : RegFileOp::kCreateKey;
    op.key = key;
    op.line = line_;
    ops_->push_back(std::move(op));
    in_section_ = true;
    section_deleted_ = remove;
    current_ = std::move(key);
    return ERROR_SUCCESS;
  }

  // Reads a quoted string at `s[i]` (the opening quote), unescaping \\ and \".
  LONG QuotedString(const std::string& s, size_t& i, std::string* out) {
    ++i;
    out->clear();
    while (i < s.size()) {
      char c = s[i++];
      if (c == '"') return ERROR_SUCCESS;
      if (c == '\\') {
        if (i >= s.size()) break;
        char n = s[i++];
        if (n != '\\' && n != '"') return Fail(std::string("unknown escape '\\") + n + "' in a string");
        out->push_back(n);
        continue;
      }
      out->push_back(c);
    }
    return Fail("unterminated string");
  }

  LONG Value(const std::string& line) {
    if (!in_section_) return Fail("a value outside any [key] section");
    if (section_deleted_) return Fail("a value under a deleted [-key] section");
    RegFileOp op;
    op.kind = RegFileOp::kSetValue;
    op.key = current_;
    op.line = line_;
    size_t i = 0;
    std::string name;
    if (line[0] == '@') {
      i = 1;
    } else if (line[0] == '"') {
      if (LONG e = QuotedString(line, i, &name)) return e;
    } else {
      return Fail("expected \"name\"=, @= or [key]");
    }
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size() || line[i] != '=') return Fail("expected '=' after the value name");
    ++i;
    std::u16string wname = regtext::ToUtf16(name);
    if (wname.size() > kMaxValueNameChars) return Fail("value name longer than 16383 characters");
    op.name = MakeRegName(wname);
    std::string data = Trim(std::string_view(line).substr(i));
    if (data == "-") {
      op.kind = RegFileOp::kDeleteValue;
    } else if (!data.empty() && data[0] == '"') {
      size_t j = 0;
      std::string text;
      if (LONG e = QuotedString(data, j, &text)) return e;
      if (!Trim(std::string_view(data).substr(j)).empty()) return Fail("text after the closing quote");
      op.type = REG_SZ;
      op.data = Utf16z(text);
    } else if (data.compare(0, 6, "dword:") == 0) {
      std::string digits = data.substr(6);
      if (digits.empty() || digits.size() > 8) return Fail("dword: needs 1 to 8 hexadecimal digits");
      uint32_t v = 0;
      for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0) return Fail("bad hexadecimal digit in dword:" + digits);
        v = (v << 4) | static_cast<uint32_t>(d);
      }
      op.type = REG_DWORD;
      op.data.assign(reinterpret_cast<const char*>(&v), 4);
    } else if (data.compare(0, 3, "hex") == 0) {
      size_t j = 3;
      op.type = REG_BINARY;
      if (j < data.size() && data[j] == '(') {
        size_t close = data.find(')', j);
        if (close == std::string::npos || close == j + 1 || close - j - 1 > 8) return Fail("bad hex(type) prefix");
        uint32_t t = 0;
        for (size_t k = j + 1; k < close; ++k) {
          int d = HexDigit(data[k]);
          if (d < 0) return Fail("bad hex(type) prefix");
          t = (t << 4) | static_cast<uint32_t>(d);
        }
        op.type = t;
        j = close + 1;
      }
      if (j >= data.size() || data[j] != ':') return Fail("expected ':' after hex");
      ++j;
      if (LONG e = HexBytes(std::string_view(data).substr(j), &op.data)) return e;
    } else {
      return Fail("unrecognised value data '" + data.substr(0, 40) + "'");
    }
    if (op.data.size() > kMaxValueBytes) return Fail("value data larger than 1 MiB");
    ops_->push_back(std::move(op));
    return ERROR_SUCCESS;
  }

  LONG HexBytes(std::string_view s, std::string* out) {
    out->clear();
    std::string clean;
    for (char c : s) {
      if (c != ' ' && c != '\t') clean.push_back(c);
    }
    if (clean.empty()) return ERROR_SUCCESS;
    size_t pos = 0;
    while (pos <= clean.size()) {
      size_t comma = clean.find(',', pos);
      if (comma == std::string::npos) comma = clean.size();
      std::string tok = clean.substr(pos, comma - pos);
      if (tok.empty() || tok.size() > 2) return Fail("bad hex byte '" + tok.substr(0, 8) + "'");
      int v = 0;
      for (char c : tok) {
        int d = HexDigit(c);
        if (d < 0) return Fail("bad hex byte '" + tok + "'");
        v = v * 16 + d;
      }
      out->push_back(static_cast<char>(v));
      if (out->size() > kMaxValueBytes) return Fail("value data larger than 1 MiB");
      pos = comma + 1;
    }
    return ERROR_SUCCESS;
  }

  std::vector<RegFileOp>* ops_;
  std::string* error_;
  int line_ = 0;
  bool in_section_ = false;
  bool section_deleted_ = false;
  RootedPath current_;
};

// The text of a .reg file must come back exactly as written, or the values
// stored would differ from what the file says: bytes that are not UTF-8, a
// lone surrogate or a last half unit in UTF-16, and NUL characters (a name
// holding one would be stored cut, and could land on another value) make the
// file malformed. Each is reported with its line.
LONG TextFault(const std::string& what, int line, std::string* error) {
  *error = "line " + std::to_string(line) + ": " + what;
  return ERROR_INVALID_DATA;
}

LONG CheckUtf8Text(std::string_view text, std::string* error) {
  return ForEachLine(text, [&](int line, std::string_view part) -> LONG {
    if (part.find('\0') != std::string_view::npos) return TextFault("a NUL character in the text", line, error);
    if (!part.empty() && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, part.data(),
                                             static_cast<int>(part.size()), nullptr, 0) == 0)
      return TextFault("bytes that are not UTF-8 text", line, error);
    return ERROR_SUCCESS;
  });
}

LONG DecodeUtf16Text(std::string_view bytes, std::string* text, std::string* error) {
  std::u16string units(bytes.size() / 2, u'\0');
  int line = 1;
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    if (units[i] == u'\n') ++line;
  }
  if (bytes.size() % 2) return TextFault("the UTF-16 text ends in the middle of a character", line, error);
  line = 1;
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u == u'\n') ++line;
    if (u == 0) return TextFault("a NUL character in the text", line, error);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(u));
      return TextFault(std::string("an unpaired UTF-16 surrogate (U+") + hex + ")", line, error);
    }
  }
  *text = regtext::ToUtf8(units);
  return ERROR_SUCCESS;
}

LONG DumpKey(RegistryTxn& txn, RegKeyId id, const std::string& display, bool recursive, std::vector<KeyDump>* out) {
  KeyDump dump;
  dump.path = display;
  for (DWORD i = 0;; ++i) {
    RegValueRecord v;
    LONG r = txn.EnumValue(id, i, &v);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r) return r;
    dump.values.push_back(std::move(v));
  }
  for (DWORD i = 0;; ++i) {
    std::string name;
    LONG r = txn.EnumKey(id, i, &name, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r) return r;
    dump.subkeys.push_back(std::move(name));
  }
  std::vector<std::string> subkeys = dump.subkeys;
  out->push_back(std::move(dump));
  if (!recursive) return ERROR_SUCCESS;
  for (const std::string& name : subkeys) {
    RegKeyId child = 0;
    LONG r = txn.FindKey(id, {MakeRegName(regtext::ToUtf16(name))}, &child);
    if (r) return r;
    if (LONG e = DumpKey(txn, child, display + "\\" + name, true, out)) return e;
  }
  return ERROR_SUCCESS;
}

}  // namespace

LONG ParseRootedPath(std::string_view text, RootedPath* out) {
  *out = RootedPath{};
  size_t slash = text.find('\\');
  std::string_view root = text.substr(0, slash);
  const HiveAlias* hive = nullptr;
  for (const HiveAlias& h : kHives) {
    if (EqualNoCase(root, h.short_name) || EqualNoCase(root, h.long_name)) hive = &h;
  }
  if (!hive) return ERROR_INVALID_NAME;
  out->hive = hive->id;
  out->display = hive->long_name;
  if (slash == std::string_view::npos) return ERROR_SUCCESS;
  std::string_view rest = text.substr(slash + 1);
  if (LONG e = ParseKeyPath(regtext::ToUtf16(rest), &out->path)) return e;
  for (const RegName& n : out->path) out->display += "\\" + n.text;
  return ERROR_SUCCESS;
}

LONG DumpTree(const RootedPath& key, bool recursive, std::vector<KeyDump>* out) {
  out->clear();
  return CurrentRegistryStore()->Read(
      [&](RegistryTxn& txn) -> LONG {
        RegKeyId id = 0;
        if (LONG e = txn.FindKey(key.hive, key.path, &id)) return e;
        return DumpKey(txn, id, key.display, recursive, out);
      },
      /*snapshot=*/true);
}

LONG CheckRegistryStore(std::string* problem) { return CurrentRegistryStore()->Check(problem); }

LONG DeleteAllValues(const RootedPath& key) {
  return CurrentRegistryStore()->Write([&](RegistryTxn& txn) -> LONG {
    RegKeyId id = 0;
    if (LONG e = txn.FindKey(key.hive, key.path, &id)) return e;
    for (;;) {
      RegValueRecord v;
      LONG r = txn.EnumValue(id, 0, &v);
      if (r == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
      if (r) return r;
      if (LONG e = txn.DeleteValue(id, MakeRegName(regtext::ToUtf16(v.name)))) return e;
    }
  });
}

LONG ParseRegFile(std::string_view bytes, std::vector<RegFileOp>* ops, std::string* error) {
  ops->clear();
  error->clear();
  if (bytes.size() > kMaxRegFileBytes) {
    *error = "file larger than 64 MiB";
    return ERROR_INVALID_DATA;
  }
  std::string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (LONG e = DecodeUtf16Text(bytes.substr(2), &text, error)) return e;
  } else {
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.remove_prefix(3);
    if (LONG e = CheckUtf8Text(bytes, error)) return e;
    text = std::string(bytes);
  }
  Parser parser(ops, error);
  LONG r = parser.Run(text);
  if (r) ops->clear();
  return r;
}

LONG ApplyRegFile(const std::vector<RegFileOp>& ops) {
  return CurrentRegistryStore()->Write([&](RegistryTxn& txn) -> LONG {
    for (const RegFileOp& op : ops) {
      RegKeyId id = 0;
      LONG r = ERROR_SUCCESS;
      switch (op.kind) {
        case RegFileOp::kCreateKey:
          r = txn.CreateKey(op.key.hive, op.key.path, &id, nullptr);
          break;
        case RegFileOp::kDeleteKey:
          r = txn.FindKey(op.key.hive, op.key.path, &id);
          if (r == ERROR_SUCCESS) r = txn.DeleteKey(id, true);
          if (r == ERROR_FILE_NOT_FOUND) r = ERROR_SUCCESS;
          break;
        case RegFileOp::kSetValue:
          r = txn.CreateKey(op.key.hive, op.key.path, &id, nullptr);
          if (r == ERROR_SUCCESS) r = txn.SetValue(id, op.name, op.type, op.data);
          break;
        case RegFileOp::kDeleteValue:
          r = txn.FindKey(op.key.hive, op.key.path, &id);
          if (r == ERROR_SUCCESS) r = txn.DeleteValue(id, op.name);
          if (r == ERROR_FILE_NOT_FOUND) r = ERROR_SUCCESS;
          break;
      }
      if (r) return r;
    }
    return ERROR_SUCCESS;
  });
}

std::string FormatRegFile(const std::vector<KeyDump>& keys) {
  std::string out = std::string(kHeader5) + "\r\n\r\n";
  for (const KeyDump& key : keys) {
    out += "[" + key.path + "]\r\n";
    for (const RegValueRecord& v : key.values) {
      std::string lhs = v.name.empty() ? std::string("@") : Quote(v.name);
      lhs += "=";
      std::string text;
      if (v.type == REG_SZ && PrintableString(v.data, &text)) {
        out += lhs + Quote(text);
      } else if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t d;
        std::memcpy(&d, v.data.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        out += lhs + buf;
      } else if (v.type == REG_BINARY) {
        std::string line_prefix = lhs;
        out += lhs;
        AppendHex(out, line_prefix.size(), "hex:", v.data);
      } else {
        char prefix[24];
        std::snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
        out += lhs;
        AppendHex(out, lhs.size(), prefix, v.data);
      }
      out += "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

std::string DisplayValue(DWORD type, const std::string& data) {
  char buf[32];
  if (type == REG_DWORD && data.size() == 4) {
    uint32_t d;
    std::memcpy(&d, data.data(), 4);
    std::snprintf(buf, sizeof buf, "0x%x", d);
    return buf;
  }
  if (type == REG_QWORD && data.size() == 8) {
    unsigned long long q;
    std::memcpy(&q, data.data(), 8);
    std::snprintf(buf, sizeof buf, "0x%llx", q);
    return buf;
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::string text = regtext::Utf16BytesToUtf8(data);
    size_t nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
  }
  if (type == REG_MULTI_SZ) {
    std::string text = regtext::Utf16BytesToUtf8(data);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    std::string out;
    for (char c : text) {
      if (c == '\0') {
        out += "\\0";
      } else {
        out.push_back(c);
      }
    }
    return out;
  }
  std::string out;
  for (unsigned char b : data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "REG_TYPE_0x%x", type);
      return buf;
    }
  }
}

DWORD TypeFromName(std::string_view name) {
  for (DWORD t : {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD}) {
    if (EqualNoCase(name, TypeName(t))) return t;
  }
  return 0xFFFFFFFFu;
}

}  // namespace krsoap::platform::regadmin
