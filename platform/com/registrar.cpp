// The registrar (see registrar.h): substitution, tokenizer, parser into a
// tree, and the two walks that apply the tree to the registry.
#include "platform/com/registrar.h"

#include <cstring>
#include <memory>

#include "platform/com/activation.h"
#include "platform/com/hresult.h"
#include "platform/registry/registry.h"

namespace krsoap::com {
namespace {

// Limits that keep a hostile script from exhausting the stack or memory.
constexpr size_t kMaxScriptBytes = 1 << 20;
constexpr int kMaxDepth = 64;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

struct Item {
  bool is_value = false;  // "val name = s 'text'"
  std::string name;
  bool no_remove = false;
  bool force_remove = false;
  bool has_default = false;
  std::string text;  // default value of a key, or data of a named value
  std::vector<Item> children;
};

struct RootBlock {
  HKEY root;
  std::vector<Item> items;
};

struct Token {
  enum Kind { kWord, kQuoted, kOpen, kClose, kEquals } kind;
  std::string text;
};

class Failure {
 public:
  explicit Failure(std::string* out) : out_(out) {}
  HRESULT Syntax(const std::string& what) {
    if (out_) *out_ = what;
    return DISP_E_EXCEPTION;
  }
  HRESULT Registry(LONG err, const std::string& what) {
    if (out_) *out_ = what + " (error " + std::to_string(err) + ")";
    return HRESULT_FROM_WIN32(static_cast<DWORD>(err));
  }

 private:
  std::string* out_;
};

HRESULT Substitute(std::string_view script, const RegistrarReplacements& replacements,
                   std::string* out, Failure& fail) {
  out->clear();
  out->reserve(script.size());
  for (size_t i = 0; i < script.size(); ++i) {
    char c = script[i];
    if (c == '\0') return fail.Syntax("NUL character in script");
    if (c != '%') {
      out->push_back(c);
      continue;
    }
    size_t end = script.find('%', i + 1);
    if (end == std::string_view::npos) return fail.Syntax("unterminated %variable%");
    std::string_view name = script.substr(i + 1, end - i - 1);
    i = end;
    if (name.empty()) {
      out->push_back('%');
      continue;
    }
    const std::string* value = nullptr;
    for (const auto& r : replacements) {
      if (EqualsNoCase(r.first, name)) {
        value = &r.second;
        break;
      }
    }
    if (!value) return fail.Syntax("unknown replacement variable %" + std::string(name) + "%");
    for (char v : *value) {
      out->push_back(v);
      if (v == '\'') out->push_back('\'');
    }
  }
  return S_OK;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

HRESULT Tokenize(const std::string& text, std::vector<Token>* tokens, Failure& fail) {
  size_t i = 0;
  while (i < text.size()) {
    if (IsSpace(text[i])) {
      ++i;
      continue;
    }
    if (text[i] == '\'') {
      std::string value;
      ++i;
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == '\'') {
          if (i + 1 < text.size() && text[i + 1] == '\'') {
            value.push_back('\'');
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        value.push_back(text[i++]);
      }
      if (!closed) return fail.Syntax("unterminated quoted text");
      if (i < text.size() && !IsSpace(text[i]))
        return fail.Syntax("quoted text followed by '" + std::string(1, text[i]) + "'");
      tokens->push_back({Token::kQuoted, std::move(value)});
      continue;
    }
    size_t start = i;
    while (i < text.size() && !IsSpace(text[i])) {
      if (text[i] == '\'') return fail.Syntax("stray quote in '" + text.substr(start, i - start + 1) + "'");
      ++i;
    }
    std::string word = text.substr(start, i - start);
    if (word == "{") {
      tokens->push_back({Token::kOpen, word});
    } else if (word == "}") {
      tokens->push_back({Token::kClose, word});
    } else if (word == "=") {
      tokens->push_back({Token::kEquals, word});
    } else {
      tokens->push_back({Token::kWord, std::move(word)});
    }
  }
  return S_OK;
}

bool RootFromName(std::string_view name, HKEY* root) {
  static const struct {
    const char* shortname;
    const char* longname;
    HKEY key;
  } kRoots[] = {
      {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
      {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
      {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
      {"HKU", "HKEY_USERS", HKEY_USERS},
      {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
      {"HKDD", "HKEY_DYN_DATA", HKEY_DYN_DATA},
      {"HKPD", "HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
  };
  for (const auto& r : kRoots) {
    if (EqualsNoCase(name, r.shortname) || EqualsNoCase(name, r.longname)) {
      *root = r.key;
      return true;
    }
  }
  return false;
}

class Parser {
 public:
  Parser(const std::vector<Token>& tokens, Failure& fail) : t_(tokens), fail_(fail) {}

  HRESULT Script(std::vector<RootBlock>* roots) {
    while (pos_ < t_.size()) {
      const Token& tok = t_[pos_];
      RootBlock block{};
      if (tok.kind != Token::kWord || !RootFromName(tok.text, &block.root))
        return fail_.Syntax("expected a root key name, found '" + tok.text + "'");
      ++pos_;
      if (!Take(Token::kOpen)) return fail_.Syntax("expected '{' after " + tok.text);
      HRESULT hr = Block(&block.items, 1);
      if (FAILED(hr)) return hr;
      roots->push_back(std::move(block));
    }
    return S_OK;
  }

 private:
  bool Take(Token::Kind kind) {
    if (pos_ < t_.size() && t_[pos_].kind == kind) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AtWord(const char* keyword) const {
    return pos_ < t_.size() && t_[pos_].kind == Token::kWord && EqualsNoCase(t_[pos_].text, keyword);
  }

  // "= s 'text'"
  HRESULT StringAssignment(std::string* text) {
    if (!Take(Token::kEquals)) return fail_.Syntax("expected '='");
    if (!AtWord("s")) return fail_.Syntax("expected value type s");
    ++pos_;
    if (pos_ >= t_.size() || t_[pos_].kind != Token::kQuoted)
      return fail_.Syntax("expected quoted text after s");
    *text = t_[pos_++].text;
    return S_OK;
  }

  HRESULT Name(std::string* name, bool key) {
    if (pos_ >= t_.size() || (t_[pos_].kind != Token::kWord && t_[pos_].kind != Token::kQuoted))
      return fail_.Syntax(pos_ >= t_.size() ? "unexpected end of script" : "expected a name, found '" + t_[pos_].text + "'");
    *name = t_[pos_++].text;
    if (name->empty()) return fail_.Syntax("empty name");
    if (key) {
      if (name->find('\\') != std::string::npos) return fail_.Syntax("key name with a backslash: " + *name);
      if (name->size() > KR_REG_MAX_KEY_NAME) return fail_.Syntax("key name too long");
    }
    return S_OK;
  }

  // Items up to and including the closing brace.
  HRESULT Block(std::vector<Item>* items, int depth) {
    if (depth > kMaxDepth) return fail_.Syntax("keys nested too deeply");
    while (true) {
      if (pos_ >= t_.size()) return fail_.Syntax("unbalanced braces: missing '}'");
      if (Take(Token::kClose)) return S_OK;
      Item item;
      if (AtWord("val")) {
        ++pos_;
        item.is_value = true;
        HRESULT hr = Name(&item.name, false);
        if (SUCCEEDED(hr)) hr = StringAssignment(&item.text);
        if (FAILED(hr)) return hr;
        items->push_back(std::move(item));
        continue;
      }
      if (AtWord("NoRemove")) {
        item.no_remove = true;
        ++pos_;
      } else if (AtWord("ForceRemove")) {
        item.force_remove = true;
        ++pos_;
      }
      HRESULT hr = Name(&item.name, true);
      if (FAILED(hr)) return hr;
      if (pos_ < t_.size() && t_[pos_].kind == Token::kEquals) {
        item.has_default = true;
        hr = StringAssignment(&item.text);
        if (FAILED(hr)) return hr;
      }
      if (Take(Token::kOpen)) {
        hr = Block(&item.children, depth + 1);
        if (FAILED(hr)) return hr;
      }
      items->push_back(std::move(item));
    }
  }

  const std::vector<Token>& t_;
  Failure& fail_;
  size_t pos_ = 0;
};

HRESULT Parse(std::string_view script, const RegistrarReplacements& replacements,
              std::vector<RootBlock>* roots, Failure& fail) {
  if (script.size() > kMaxScriptBytes) return fail.Syntax("script too large");
  std::string text;
  HRESULT hr = Substitute(script, replacements, &text, fail);
  if (FAILED(hr)) return hr;
  std::vector<Token> tokens;
  hr = Tokenize(text, &tokens, fail);
  if (FAILED(hr)) return hr;
  return Parser(tokens, fail).Script(roots);
}

// Closes a key on every path out of a walk.
struct KeyCloser {
  HKEY key = nullptr;
  ~KeyCloser() {
    if (key) RegCloseKey(key);
  }
};

LONG SetString(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

bool Protected(const std::string& name) { return EqualsNoCase(name, "CLSID") || EqualsNoCase(name, "TypeLib"); }

HRESULT RegisterItems(HKEY parent, const std::vector<Item>& items, Failure& fail);

HRESULT RegisterKey(HKEY parent, const Item& item, Failure& fail) {
  if (item.force_remove && !Protected(item.name)) {
    LONG err = RegDeleteTreeA(parent, item.name.c_str());
    if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND) return fail.Registry(err, "cannot remove " + item.name);
  }
  KeyCloser key;
  LONG err = RegCreateKeyExA(parent, item.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                             nullptr, &key.key, nullptr);
  if (err != ERROR_SUCCESS) return fail.Registry(err, "cannot create key " + item.name);
  if (item.has_default) {
    err = SetString(key.key, nullptr, item.text);
    if (err != ERROR_SUCCESS) return fail.Registry(err, "cannot set the default value of " + item.name);
  }
  return RegisterItems(key.key, item.children, fail);
}

HRESULT RegisterItems(HKEY parent, const std::vector<Item>& items, Failure& fail) {
  for (const Item& item : items) {
    if (item.is_value) {
      LONG err = SetString(parent, item.name.c_str(), item.text);
      if (err != ERROR_SUCCESS) return fail.Registry(err, "cannot set value " + item.name);
      continue;
    }
    HRESULT hr = RegisterKey(parent, item, fail);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT UnregisterItems(HKEY parent, const std::vector<Item>& items, Failure& fail);

HRESULT UnregisterKey(HKEY parent, const Item& item, Failure& fail) {
  DWORD subkeys = 0;
  {
    KeyCloser key;
    LONG err = RegOpenKeyExA(parent, item.name.c_str(), 0, KEY_ALL_ACCESS, &key.key);
    if (err == ERROR_FILE_NOT_FOUND) return S_OK;
    if (err != ERROR_SUCCESS) return fail.Registry(err, "cannot open key " + item.name);
    HRESULT hr = UnregisterItems(key.key, item.children, fail);
    if (FAILED(hr)) return hr;
    err = RegQueryInfoKeyW(key.key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr);
    if (err != ERROR_SUCCESS) return fail.Registry(err, "cannot query key " + item.name);
  }
  if (subkeys == 0 && !item.no_remove) {
    LONG err = RegDeleteKeyA(parent, item.name.c_str());
    if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND) return fail.Registry(err, "cannot delete key " + item.name);
  }
  return S_OK;
}

HRESULT UnregisterItems(HKEY parent, const std::vector<Item>& items, Failure& fail) {
  for (const Item& item : items) {
    if (item.is_value) {
      LONG err = RegDeleteValueA(parent, item.name.c_str());
      if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND)
        return fail.Registry(err, "cannot delete value " + item.name);
      continue;
    }
    HRESULT hr = UnregisterKey(parent, item, fail);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT CheckRegistryScript(std::string_view script, const RegistrarReplacements& replacements,
                            std::string* error) {
  Failure fail(error);
  std::vector<RootBlock> roots;
  return Parse(script, replacements, &roots, fail);
}

HRESULT RunRegistryScript(std::string_view script, const RegistrarReplacements& replacements,
                          RegistrarMode mode, std::string* error) {
  Failure fail(error);
  std::vector<RootBlock> roots;
  HRESULT hr = Parse(script, replacements, &roots, fail);
  if (FAILED(hr)) return hr;
  for (const RootBlock& block : roots) {
    hr = mode == RegistrarMode::kRegister ? RegisterItems(block.root, block.items, fail)
                                          : UnregisterItems(block.root, block.items, fail);
    if (FAILED(hr)) break;
  }
  // Whatever was applied, cached class lookups may now be stale.
  internal::NoteRegistrationChanged();
  return hr;
}

}  // namespace krsoap::com
