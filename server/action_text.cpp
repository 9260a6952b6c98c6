// FindActionText: one pass over a request that checks it is well-formed and
// namespace-well-formed the way the XML parser would, and meanwhile counts
// the SoapAction elements and gathers the first one's text (see
// action_text.h). Every doubt declines: a declined request costs a DOM load,
// a wrongly accepted one would serve a request the DOM refuses, or under
// another action.
#include "server/action_text.h"

#include "common/xml/plain_scan.h"

#include <cstdint>
#include <vector>

namespace krsoap::halvex {
namespace {

// Requests are at most 4 MiB; larger ones are the DOM's to judge.
constexpr size_t kMaxText = 4u << 20;
// Well inside the parser's own depth limit.
constexpr size_t kMaxDepth = 200;
// Attribute lists past this are left to the DOM.
constexpr size_t kMaxAttributes = 32;
// Namespace declarations in scope at once; each prefixed name is looked up
// among them, so more are left to the DOM rather than searched per name.
constexpr size_t kMaxDeclarations = 64;

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

using plainxml::Is;
using plainxml::kPlainText;
using plainxml::kPlainValue;
using plainxml::NameStart;
using plainxml::Reserved;
using plainxml::Space;

bool XmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The length of the UTF-8 sequence of one XML character beyond ASCII at
// s[i]; 0 when it is malformed, overlong, a surrogate or not a character.
size_t Utf8Char(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned c0 = b(0);
  size_t n = 0;
  uint32_t c = 0;
  if (c0 >= 0xC2 && c0 < 0xE0) {
    n = 2;
    c = c0 & 0x1F;
  } else if (c0 >= 0xE0 && c0 < 0xF0) {
    n = 3;
    c = c0 & 0x0F;
  } else if (c0 >= 0xF0 && c0 < 0xF5) {
    n = 4;
    c = c0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b(k) & 0x3F);
  }
  if ((n == 3 && c < 0x800) || (n == 4 && c < 0x10000) || !XmlChar(c)) return 0;
  return n;
}

// A namespace name the parser takes without complaint: an absolute URI of
// the common shape (scheme, an optional plain authority, path characters,
// an optional fragment). The parser refuses names it cannot parse as URIs,
// and the two it reserves; anything unusual is declined here.
bool PlainNamespace(std::string_view uri) {
  if (uri == "http://www.w3.org/XML/1998/namespace" || uri == "http://www.w3.org/2000/xmlns/") return false;
  size_t i = 0;
  if (uri.empty() || !Alpha(uri[0])) return false;
  while (i < uri.size() && (Alpha(uri[i]) || Digit(uri[i]) || uri[i] == '+' || uri[i] == '-' || uri[i] == '.')) ++i;
  if (i >= uri.size() || uri[i] != ':') return false;
  ++i;
  if (i >= uri.size()) return false;
  if (uri.substr(i, 2) == "//") {
    i += 2;
    const size_t host = i;
    while (i < uri.size() && (Alpha(uri[i]) || Digit(uri[i]) || uri[i] == '-' || uri[i] == '.')) ++i;
    if (i == host) return false;
    if (i < uri.size() && uri[i] == ':') {
      ++i;
      const size_t port = i;
      while (i < uri.size() && Digit(uri[i])) ++i;
      if (i == port || i - port > 5) return false;
    }
    if (i < uri.size() && uri[i] != '/' && uri[i] != '#') return false;
  }
  bool fragment = false;
  for (; i < uri.size(); ++i) {
    const char c = uri[i];
    if (Alpha(c) || Digit(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == ':' || c == '/' || c == '@')
      continue;
    if (c == '#' && !fragment) {
      fragment = true;
      continue;
    }
    if (c == '?' && fragment) continue;
    return false;
  }
  return true;
}

struct Open {
  std::string_view qname;
  size_t decls;  // namespace declarations in scope below this element
};

class Scanner {
 public:
  explicit Scanner(std::string_view text, ActionText* out) : s_(text), out_(out) {}
  bool Run();

 private:
  bool At(std::string_view word) const { return s_.substr(i_, word.size()) == word; }
  void SkipSpace() {
    while (i_ < s_.size() && Space(s_[i_])) ++i_;
  }
  bool Declaration();
  bool QName(std::string_view* qname, std::string_view* prefix, std::string_view* local);
  bool Reference(bool capture);
  bool AttributeValue(std::string_view* value, bool* plain);
  bool StartTag();
  bool EndTag();
  bool CharData();
  bool Bound(std::string_view prefix) const;
  bool Capturing() const { return capture_depth_ != 0 && open_.size() >= capture_depth_; }

  std::string_view s_;
  ActionText* out_;
  size_t i_ = 0;
  std::vector<Open> open_;
  plainxml::Declarations decls_;
  std::vector<std::string_view> locals_;
  std::vector<std::string_view> attr_prefixes_;
  // open_.size() while inside the first SoapAction element, 0 otherwise.
  size_t capture_depth_ = 0;
};

// The declaration in the forms serialisers write: version 1.0, encoding
// UTF-8 if named, standalone if named, one space apart.
bool Scanner::Declaration() {
  if (!At("<?")) return true;
  if (!At("<?xml version=\"1.0\"")) return false;
  i_ += 19;
  for (std::string_view encoding : {" encoding=\"UTF-8\"", " encoding=\"utf-8\""}) {
    if (At(encoding)) {
      i_ += encoding.size();
      break;
    }
  }
  for (std::string_view standalone : {" standalone=\"yes\"", " standalone=\"no\""}) {
    if (At(standalone)) {
      i_ += standalone.size();
      break;
    }
  }
  if (!At("?>")) return false;
  i_ += 2;
  return true;
}

// A QName of ASCII name characters with at most one colon, both parts
// present.
bool Scanner::QName(std::string_view* qname, std::string_view* prefix, std::string_view* local) {
  return plainxml::ScanQName(s_, &i_, qname, prefix, local);
}

// An entity or character reference at '&'; with `capture`, its character
// goes to the action's text.
bool Scanner::Reference(bool capture) {
  static constexpr struct {
    std::string_view text;
    char c;
  } kPredefined[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  for (const auto& p : kPredefined) {
    if (At(p.text)) {
      i_ += p.text.size();
      if (capture) out_->text.push_back(p.c);
      return true;
    }
  }
  if (!At("&#")) return false;  // other entities need a DTD, which there is none of
  i_ += 2;
  const bool hex = i_ < s_.size() && s_[i_] == 'x';
  if (hex) ++i_;
  uint32_t c = 0;
  size_t digits = 0;
  for (; i_ < s_.size() && s_[i_] != ';'; ++i_, ++digits) {
    const char d = s_[i_];
    if (digits >= 7) return false;
    if (Digit(d)) {
      c = c * (hex ? 16 : 10) + static_cast<uint32_t>(d - '0');
    } else if (hex && ((d | 0x20) >= 'a' && (d | 0x20) <= 'f')) {
      c = c * 16 + static_cast<uint32_t>((d | 0x20) - 'a' + 10);
    } else {
      return false;
    }
  }
  if (digits == 0 || i_ >= s_.size() || !XmlChar(c)) return false;
  ++i_;  // ';'
  if (capture) AppendUtf8(c, &out_->text);
  return true;
}

// A quoted attribute value; *plain when it holds no reference (its text is
// then the value itself).
bool Scanner::AttributeValue(std::string_view* value, bool* plain) {
  if (i_ >= s_.size() || (s_[i_] != '"' && s_[i_] != '\'')) return false;
  const char quote = s_[i_++];
  const size_t start = i_;
  *plain = true;
  while (i_ < s_.size() && s_[i_] != quote) {
    const char c = s_[i_];
    if (Is(c, kPlainValue)) {
      ++i_;
      continue;
    }
    const auto u = static_cast<unsigned char>(c);
    if (c == '&') {
      *plain = false;
      if (!Reference(false)) return false;
      continue;
    }
    if (u >= 0x80) {
      const size_t n = Utf8Char(s_, i_);
      if (n == 0) return false;
      i_ += n;
      continue;
    }
    if (c == '<' || (u < 0x20 && c != '\t' && c != '\n' && c != '\r')) return false;
    ++i_;
  }
  if (i_ >= s_.size()) return false;
  *value = s_.substr(start, i_ - start);
  ++i_;  // the closing quote
  return true;
}

bool Scanner::Bound(std::string_view prefix) const { return plainxml::Bound(decls_, prefix); }

// A start tag from its '<'.
bool Scanner::StartTag() {
  ++i_;  // '<'
  std::string_view qname, prefix, local;
  if (!QName(&qname, &prefix, &local) || Reserved(prefix)) return false;
  const size_t decls_before = decls_.size();
  locals_.clear();
  attr_prefixes_.clear();
  bool empty = false;
  while (true) {
    const size_t before_space = i_;
    SkipSpace();
    if (i_ >= s_.size()) return false;
    if (s_[i_] == '>') {
      ++i_;
      break;
    }
    if (At("/>")) {
      i_ += 2;
      empty = true;
      break;
    }
    if (i_ == before_space || locals_.size() >= kMaxAttributes) return false;
    std::string_view aname, aprefix, alocal, value;
    if (!QName(&aname, &aprefix, &alocal)) return false;
    SkipSpace();
    if (i_ >= s_.size() || s_[i_] != '=') return false;
    ++i_;
    SkipSpace();
    bool plain = false;
    if (!AttributeValue(&value, &plain)) return false;
    if (aname == "xmlns" || aprefix == "xmlns") {
      // Declarations with a reference in the name, an empty name, a
      // reserved prefix or a name the parser might not take as a URI are
      // left to the DOM.
      const std::string_view declared = aprefix.empty() ? std::string_view() : alocal;
      if (!plain || Reserved(declared) || !PlainNamespace(value)) return false;
      if (decls_.size() >= kMaxDeclarations) return false;
      decls_.emplace_back(declared, value);
      locals_.push_back(aprefix.empty() ? aname : alocal);
    } else {
      if (Reserved(aprefix)) return false;
      locals_.push_back(alocal);
      if (!aprefix.empty()) attr_prefixes_.push_back(aprefix);
    }
  }
  if (!plainxml::PlainAttributes(locals_, attr_prefixes_, prefix, decls_)) return false;
  if (open_.empty()) out_->tag = prefix.empty() ? "SoapAction" : std::string(prefix) + ":SoapAction";
  const bool match = qname == out_->tag;
  if (match) ++out_->count;
  if (empty) {
    decls_.resize(decls_before);
    return true;
  }
  if (open_.size() >= kMaxDepth) return false;
  open_.push_back(Open{qname, decls_before});
  if (match && out_->count == 1) capture_depth_ = open_.size();
  return true;
}

// An end tag from its "</".
bool Scanner::EndTag() {
  i_ += 2;
  std::string_view qname, prefix, local;
  if (!QName(&qname, &prefix, &local) || qname != open_.back().qname) return false;
  SkipSpace();
  if (i_ >= s_.size() || s_[i_] != '>') return false;
  ++i_;
  if (capture_depth_ == open_.size()) capture_depth_ = 0;
  decls_.resize(open_.back().decls);
  open_.pop_back();
  return true;
}

// Character data up to the next '<'; inside the first SoapAction element
// its characters go to the action's text, line ends as the parser
// normalises them (CR LF and a lone CR become LF).
bool Scanner::CharData() {
  const bool capture = Capturing();
  while (i_ < s_.size() && s_[i_] != '<') {
    if (Is(s_[i_], kPlainText)) {
      const size_t run = i_;
      while (i_ < s_.size() && Is(s_[i_], kPlainText)) ++i_;
      if (capture) out_->text.append(s_.substr(run, i_ - run));
      continue;
    }
    const char c = s_[i_];
    const auto u = static_cast<unsigned char>(c);
    if (c == '&') {
      if (!Reference(capture)) return false;
      continue;
    }
    if (u >= 0x80) {
      const size_t n = Utf8Char(s_, i_);
      if (n == 0) return false;
      if (capture) out_->text.append(s_.substr(i_, n));
      i_ += n;
      continue;
    }
    if (u < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
    if (c == ']' && At("]]>")) return false;
    if (capture) {
      if (c == '\r') {
        out_->text.push_back('\n');
        if (i_ + 1 < s_.size() && s_[i_ + 1] == '\n') ++i_;
      } else {
        out_->text.push_back(c);
      }
    }
    ++i_;
  }
  return true;
}

bool Scanner::Run() {
  if (s_.empty() || s_.size() > kMaxText) return false;
  out_->tag.clear();
  out_->count = 0;
  out_->text.clear();
  if (!Declaration()) return false;
  SkipSpace();
  if (i_ + 1 >= s_.size() || s_[i_] != '<' || !NameStart(s_[i_ + 1])) return false;
  if (!StartTag()) return false;
  while (!open_.empty()) {
    if (!CharData()) return false;
    if (i_ + 1 >= s_.size()) return false;
    if (s_[i_ + 1] == '/') {
      if (!EndTag()) return false;
    } else if (NameStart(s_[i_ + 1])) {
      if (!StartTag()) return false;
    } else {
      return false;  // comments, CDATA, processing instructions, stray '<'
    }
  }
  SkipSpace();
  return i_ == s_.size();
}

}  // namespace

bool FindActionText(std::string_view text, ActionText* out) {
  Scanner scanner(text, out);
  return scanner.Run();
}

}  // namespace krsoap::halvex
