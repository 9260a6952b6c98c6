// UTF conversions and name folding for the registry (see reg_text.h).
#include "platform/registry/reg_text.h"

#include <cstdint>

namespace krsoap::platform::regtext {
namespace {

// Decodes one code point from UTF-8 at `i`; malformed sequences yield
// U+FFFD and consume one byte.
char32_t DecodeUtf8(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len = 0;
  char32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  // Reject overlong forms, surrogates and values past U+10FFFF.
  static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

template <typename Unit, typename Sink>
void DecodeUtf16(const Unit& unit_at, size_t n, Sink&& sink) {
  for (size_t i = 0; i < n; ++i) {
    char16_t c = unit_at(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n) {
      char16_t d = unit_at(i + 1);
      if (d >= 0xDC00 && d <= 0xDFFF) {
        sink(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (d - 0xDC00));
        ++i;
        continue;
      }
    }
    sink((c >= 0xD800 && c <= 0xDFFF) ? char32_t{0xFFFD} : char32_t{c});
  }
}

}  // namespace

std::u16string ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp = DecodeUtf8(utf8, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  DecodeUtf16([&](size_t i) { return utf16[i]; }, utf16.size(),
              [&](char32_t cp) { AppendUtf8(out, cp); });
  return out;
}

std::string Utf16BytesToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  };
  DecodeUtf16(unit, bytes.size() / 2, [&](char32_t cp) { AppendUtf8(out, cp); });
  return out;
}

std::string Utf8ToUtf16Bytes(std::string_view utf8) {
  std::u16string w = ToUtf16(utf8);
  std::string out;
  out.resize(w.size() * 2);
  for (size_t i = 0; i < w.size(); ++i) {
    out[2 * i] = static_cast<char>(w[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(w[i] >> 8);
  }
  return out;
}

char16_t FoldUnit(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
    return (c & 1) ? static_cast<char16_t>(c - 1) : c;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
    return (c & 1) ? c : static_cast<char16_t>(c - 1);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x3B1 && c <= 0x3C9) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::string Fold(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldUnit(c);
  return ToUtf8(folded);
}

size_t Utf16Length(std::string_view utf8) {
  size_t n = 0;
  for (size_t i = 0; i < utf8.size();) n += DecodeUtf8(utf8, i) >= 0x10000 ? 2 : 1;
  return n;
}

}  // namespace krsoap::platform::regtext
