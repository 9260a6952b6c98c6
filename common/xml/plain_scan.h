// Pieces shared by the strict text scanners of the client and the server
// (client/envelope_text.cpp, server/action_text.cpp): each reads requests in
// the plain form serialisers write without a DOM, and declines, to the DOM
// route, anything it does not fully understand. What this header owns is the
// part of that judgement both must make the same way: which bytes make names,
// which prefixes are reserved, how a qualified name is read, and when a start
// tag's attributes are plainly distinct and bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace krsoap::plainxml {

// Character classes, looked up per byte: the scanners run over every byte of
// every request.
enum : uint8_t {
  kNameStart = 1,    // ASCII letters and '_'
  kNameChar = 2,     // those, digits, '-' and '.'
  kSpace = 4,
  kPlainText = 8,    // character data that needs no second look: printable ASCII but '<', '&', ']'
  kPlainValue = 16,  // attribute value bytes likewise: printable ASCII but '<', '&', quotes
};
struct ClassTable {
  uint8_t c[256] = {};
  constexpr ClassTable() {
    for (int b = 0; b < 256; ++b) {
      const bool alpha = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
      uint8_t k = 0;
      if (alpha || b == '_') k |= kNameStart | kNameChar;
      if ((b >= '0' && b <= '9') || b == '-' || b == '.') k |= kNameChar;
      if (b == ' ' || b == '\t' || b == '\n' || b == '\r') k |= kSpace;
      const bool printable = b >= 0x20 && b <= 0x7E;
      if ((printable || b == '\t' || b == '\n') && b != '<' && b != '&' && b != ']') k |= kPlainText;
      if ((printable || b == '\t' || b == '\n' || b == '\r') && b != '<' && b != '&' && b != '"' && b != '\'')
        k |= kPlainValue;
      c[b] = k;
    }
  }
};
inline constexpr ClassTable kClasses;

inline bool Is(char c, uint8_t k) { return (kClasses.c[static_cast<unsigned char>(c)] & k) != 0; }
inline bool NameStart(char c) { return Is(c, kNameStart); }
inline bool NameChar(char c) { return Is(c, kNameChar); }
inline bool Space(char c) { return Is(c, kSpace); }

// "xml..." in any case is reserved for prefixes; such names are declined.
inline bool Reserved(std::string_view prefix) {
  return prefix.size() >= 3 && (prefix[0] | 0x20) == 'x' && (prefix[1] | 0x20) == 'm' && (prefix[2] | 0x20) == 'l';
}

// Names longer than this are left to the DOM.
constexpr size_t kMaxName = 1000;

// Reads a QName of ASCII name characters with at most one colon, both parts
// present, at s[*i]; sets the prefix ("" when none) and local part and moves
// *i past it. Declines a name that goes on in bytes beyond ASCII.
inline bool ScanQName(std::string_view s, size_t* i, std::string_view* qname, std::string_view* prefix,
                      std::string_view* local) {
  const size_t start = *i;
  size_t at = start;
  size_t colon = std::string_view::npos;
  if (at >= s.size() || !NameStart(s[at])) return false;
  ++at;
  while (at < s.size()) {
    if (NameChar(s[at])) {
      ++at;
      continue;
    }
    if (s[at] != ':') break;
    if (colon != std::string_view::npos || at + 1 >= s.size() || !NameStart(s[at + 1])) return false;
    colon = at++;
  }
  if (at < s.size() && static_cast<unsigned char>(s[at]) >= 0x80) return false;
  if (at - start > kMaxName) return false;
  *i = at;
  *qname = s.substr(start, at - start);
  if (colon == std::string_view::npos) {
    *prefix = {};
    *local = *qname;
  } else {
    *prefix = s.substr(start, colon - start);
    *local = s.substr(colon + 1, at - colon - 1);
  }
  return true;
}

// The namespace declarations in scope, innermost last: prefix ("" for the
// default namespace) and URI.
using Declarations = std::vector<std::pair<std::string_view, std::string_view>>;

inline bool Bound(const Declarations& decls, std::string_view prefix) {
  for (auto d = decls.rbegin(); d != decls.rend(); ++d) {
    if (d->first == prefix) return true;
  }
  return false;
}

// A start tag whose element prefix and attribute prefixes are all bound and
// whose attributes (declarations included) have distinct local names. Two
// attributes with one local name might be one attribute twice under two
// prefixes, which only the parser can judge.
inline bool PlainAttributes(const std::vector<std::string_view>& locals,
                            const std::vector<std::string_view>& attr_prefixes, std::string_view prefix,
                            const Declarations& decls) {
  for (size_t a = 0; a < locals.size(); ++a) {
    for (size_t b = a + 1; b < locals.size(); ++b) {
      if (locals[a] == locals[b]) return false;
    }
  }
  if (!prefix.empty() && !Bound(decls, prefix)) return false;
  for (std::string_view p : attr_prefixes) {
    if (!Bound(decls, p)) return false;
  }
  return true;
}

}  // namespace krsoap::plainxml
