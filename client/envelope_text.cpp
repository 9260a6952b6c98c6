// PatchEnvelopeText: one pass over the request that checks it is well-formed
// and in the plain form (see envelope_text.h), notes where the serialisation
// differs from the text and where the SoapAction element goes, then writes
// the result. Every doubt declines: a declined request costs the DOM route,
// a wrongly accepted one would change the wire format.
#include "client/envelope_text.h"

#include "common/xml/plain_scan.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace krsoap::corvel {
namespace {

// Larger requests are left to the DOM route, which also owns the size limit.
constexpr size_t kMaxText = 1u << 20;
// Well inside the parser's own depth limit, which the DOM route reports.
constexpr size_t kMaxDepth = 200;

using plainxml::NameChar;
using plainxml::NameStart;
using plainxml::Reserved;
using plainxml::Space;

struct Edit {
  size_t at;       // offset in the text
  size_t removed;  // bytes of the text replaced
  std::string with;
};

struct Element {
  std::string_view qname;
  size_t decls;       // namespace declarations in scope below this element
  size_t content_at;  // offset just after its start tag's '>'
};

class Scanner {
 public:
  explicit Scanner(std::string_view text) : s_(text) {}

  bool Run(std::u16string_view action, std::string* out);

 private:
  bool At(std::string_view word) const { return s_.substr(i_, word.size()) == word; }
  // A QName of ASCII name characters with at most one colon, both parts
  // present; sets the prefix ("" when none) and local part.
  bool QName(std::string_view* qname, std::string_view* prefix, std::string_view* local);
  bool Declaration(std::string* declaration);
  bool StartTag(bool* empty);
  bool Text();
  bool Bound(std::string_view prefix) const;

  std::string_view s_;
  size_t i_ = 0;
  std::vector<Element> open_;
  plainxml::Declarations decls_;
  std::vector<Edit> edits_;
  std::string_view prefix_;  // the Envelope's
  std::string header_;       // prefix_ + ":Header"
  bool header_found_ = false;
  bool header_open_ = false;  // the Header is the innermost open element
  size_t header_depth_ = 0;
  std::string element_;  // the SoapAction element as written
};

bool Scanner::QName(std::string_view* qname, std::string_view* prefix, std::string_view* local) {
  return plainxml::ScanQName(s_, &i_, qname, prefix, local);
}

bool Scanner::Bound(std::string_view prefix) const { return plainxml::Bound(decls_, prefix); }

// The forms the serialiser writes back as they are, apart from the line feed
// after them; the declaration is dropped when there is none.
bool Scanner::Declaration(std::string* declaration) {
  if (!At("<?xml")) return true;
  if (!At("<?xml version=\"1.0\"")) return false;
  i_ += 19;
  *declaration = "<?xml version=\"1.0\"";
  if (At(" encoding=\"UTF-8\"")) {
    i_ += 17;
    *declaration += " encoding=\"UTF-8\"";
  }
  for (std::string_view standalone : {" standalone=\"yes\"", " standalone=\"no\""}) {
    if (At(standalone)) {
      i_ += standalone.size();
      *declaration += standalone;
      break;
    }
  }
  if (!At("?>")) return false;
  i_ += 2;
  *declaration += "?>\n";
  return true;
}

// Parses a start tag from its '<'; declines all but the plain form.
bool Scanner::StartTag(bool* empty) {
  ++i_;  // '<'
  std::string_view qname, prefix, local;
  if (!QName(&qname, &prefix, &local) || Reserved(prefix)) return false;
  const size_t decls_before = decls_.size();
  std::vector<std::string_view> locals, attr_prefixes;
  bool attributes = false;
  while (true) {
    if (i_ >= s_.size()) return false;
    if (s_[i_] == '>') {
      ++i_;
      *empty = false;
      break;
    }
    if (At("/>")) {
      i_ += 2;
      *empty = true;
      break;
    }
    if (s_[i_] != ' ') return false;
    ++i_;
    std::string_view aname, aprefix, alocal;
    if (!QName(&aname, &aprefix, &alocal) || !At("=\"")) return false;
    i_ += 2;
    const size_t value_at = i_;
    while (i_ < s_.size() && s_[i_] != '"') {
      const char c = s_[i_];
      if (c < 0x20 || c > 0x7E || c == '<' || c == '>') return false;
      if (c == '&') {
        std::string_view ref;
        for (std::string_view known : {"&amp;", "&lt;", "&gt;", "&quot;"}) {
          if (At(known)) ref = known;
        }
        if (ref.empty()) return false;
        i_ += ref.size();
        continue;
      }
      ++i_;
    }
    if (i_ >= s_.size()) return false;
    const std::string_view value = s_.substr(value_at, i_ - value_at);
    ++i_;  // '"'
    const bool is_decl = aname == "xmlns" || aprefix == "xmlns";
    if (is_decl) {
      // Declarations are written ahead of the attributes; an empty URI,
      // a reserved prefix or the Envelope's prefix bound again below it
      // are left to the DOM.
      const std::string_view declared = aprefix.empty() ? std::string_view() : alocal;
      if (attributes || value.empty() || Reserved(declared)) return false;
      if (!open_.empty() && declared == prefix_) return false;
      decls_.emplace_back(declared, value);
      locals.push_back(aprefix.empty() ? aname : alocal);
    } else {
      if (Reserved(aprefix)) return false;
      attributes = true;
      locals.push_back(alocal);
      if (!aprefix.empty()) attr_prefixes.push_back(aprefix);
    }
  }
  if (!plainxml::PlainAttributes(locals, attr_prefixes, prefix, decls_)) return false;
  if (open_.empty()) {
    // The root: a prefixed Envelope whose prefix it declares itself.
    if (local != "Envelope" || prefix.empty() || !Bound(prefix)) return false;
    prefix_ = prefix;
    header_ = std::string(prefix) + ":Header";
  }
  const bool is_header = !header_found_ && qname == header_;
  if (is_header) {
    header_found_ = true;
    if (*empty) {
      // <p:Header/> gets the element as its only child.
      edits_.push_back(Edit{i_ - 2, 2, ">" + element_ + "</" + header_ + ">"});
    }
  }
  if (*empty) {
    decls_.resize(decls_before);
    return true;
  }
  if (open_.size() >= kMaxDepth) return false;
  open_.push_back(Element{qname, decls_before, i_});
  if (is_header) {
    header_open_ = true;
    header_depth_ = open_.size();
  }
  return true;
}

// Character data up to the next '<'.
bool Scanner::Text() {
  while (i_ < s_.size() && s_[i_] != '<') {
    const char c = s_[i_];
    if (c == '&') {
      std::string_view ref;
      for (std::string_view known : {"&amp;", "&lt;", "&gt;"}) {
        if (At(known)) ref = known;
      }
      if (ref.empty()) return false;
      i_ += ref.size();
      continue;
    }
    // A raw '>' and a carriage return come back changed; other controls and
    // anything beyond ASCII are declined.
    if ((c < 0x20 && c != '\t' && c != '\n') || c > 0x7E || c == '>') return false;
    ++i_;
  }
  return true;
}

bool Scanner::Run(std::u16string_view action, std::string* out) {
  if (s_.empty() || s_.size() > kMaxText) return false;
  std::string text_action;
  for (char16_t c : action) {
    if (c < 0x20 || c > 0x7E || c == '<' || c == '>' || c == '&') return false;
    text_action += static_cast<char>(c);
  }
  std::string declaration;
  if (!Declaration(&declaration)) return false;
  while (i_ < s_.size() && Space(s_[i_])) ++i_;
  if (i_ >= s_.size() || s_[i_] != '<' || i_ + 1 >= s_.size() || !NameStart(s_[i_ + 1])) return false;
  const size_t root_at = i_;
  // The element's text needs the Envelope's prefix: read the root's name
  // first, the start tag itself is checked below.
  {
    size_t j = i_ + 1;
    while (j < s_.size() && (NameChar(s_[j]) || s_[j] == ':')) ++j;
    const std::string_view qname = s_.substr(i_ + 1, j - i_ - 1);
    const size_t colon = qname.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string p(qname.substr(0, colon));
    element_ = text_action.empty() ? "<" + p + ":SoapAction/>"
                                   : "<" + p + ":SoapAction>" + text_action + "</" + p + ":SoapAction>";
  }
  bool empty = false;
  if (!StartTag(&empty) || empty) return false;  // an Envelope without children is the DOM's to refuse
  const size_t root_content = i_;
  if (i_ < s_.size() && At("</")) return false;  // no child either
  while (!open_.empty()) {
    if (!Text()) return false;
    if (i_ >= s_.size()) return false;
    if (At("</")) {
      i_ += 2;
      std::string_view qname, prefix, local;
      if (!QName(&qname, &prefix, &local) || qname != open_.back().qname || !At(">")) return false;
      const Element& e = open_.back();
      const bool is_header = header_open_ && open_.size() == header_depth_;
      if (is_header) {
        edits_.push_back(Edit{i_ - 2 - qname.size(), 0, element_});
        header_open_ = false;
      } else if (e.content_at == i_ - 2 - qname.size()) {
        // No content: written as an empty-element tag.
        edits_.push_back(Edit{e.content_at - 1, i_ + 1 - (e.content_at - 1), "/>"});
      }
      ++i_;
      decls_.resize(e.decls);
      open_.pop_back();
      continue;
    }
    if (i_ + 1 < s_.size() && NameStart(s_[i_ + 1])) {
      if (!StartTag(&empty)) return false;
      continue;
    }
    return false;  // comments, CDATA, processing instructions, stray '<'
  }
  const size_t root_end = i_;
  while (i_ < s_.size() && Space(s_[i_])) ++i_;
  if (i_ != s_.size()) return false;
  if (!header_found_) {
    edits_.insert(edits_.begin(), Edit{root_content, 0, "<" + header_ + ">" + element_ + "</" + header_ + ">"});
  }
  out->clear();
  out->reserve(declaration.size() + (root_end - root_at) + element_.size() * 2 + 2 * header_.size() + 8);
  out->append(declaration);
  size_t from = root_at;
  for (const Edit& e : edits_) {
    out->append(s_.substr(from, e.at - from));
    out->append(e.with);
    from = e.at + e.removed;
  }
  out->append(s_.substr(from, root_end - from));
  out->push_back('\n');
  return true;
}

}  // namespace

bool PatchEnvelopeText(std::string_view text, std::u16string_view action, std::string* out) {
  Scanner scanner(text);
  return scanner.Run(action, out);
}

}  // namespace krsoap::corvel
