// UTF-8 <-> UTF-16 conversion behind MultiByteToWideChar / WideCharToMultiByte
// and the C++ helpers of convert.h.
//
// One decoder and one encoder serve both the Win32 calls and the helpers, so
// the replacement rules are the same everywhere. The Win32 calls measure
// first and write second: nothing is written unless the whole result fits.
#include "platform/text/convert.h"

#include <climits>
#include <cstring>

#include "platform/win32/error_codes.h"
#include "platform/win32/last_error.h"

namespace krsoap::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// One step of UTF-8 decoding. `length` is the number of bytes consumed (at
// least 1); `valid` is false for an ill-formed subsequence, which then stands
// for exactly one replacement character (the maximal-subpart rule).
struct Decoded {
  char32_t code_point;
  size_t length;
  bool valid;
};

Decoded DecodeUtf8(const unsigned char* s, size_t n) {
  unsigned char b0 = s[0];
  if (b0 < 0x80) return {b0, 1, true};
  size_t need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;          // no overlong forms
    if (b0 == 0xED) hi = 0x9F;          // no encoded surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;          // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;          // nothing above U+10FFFF
  } else {
    return {kReplacement, 1, false};
  }
  for (size_t i = 1; i <= need; ++i) {
    if (i >= n) return {kReplacement, i, false};
    unsigned char b = s[i];
    unsigned char min = i == 1 ? lo : 0x80;
    unsigned char max = i == 1 ? hi : 0xBF;
    if (b < min || b > max) return {kReplacement, i, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, need + 1, true};
}

// One step of UTF-16 decoding; a lone surrogate is reported as invalid.
Decoded DecodeUtf16(const char16_t* s, size_t n) {
  char16_t u = s[0];
  if (u < 0xD800 || u > 0xDFFF) return {u, 1, true};
  if (u <= 0xDBFF && n >= 2 && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
    return {0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(s[1]) - 0xDC00), 2, true};
  }
  return {kReplacement, 1, false};
}

size_t EncodeUtf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = char(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = char(0xC0 | (cp >> 6));
    out[1] = char(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = char(0xE0 | (cp >> 12));
    out[1] = char(0x80 | ((cp >> 6) & 0x3F));
    out[2] = char(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = char(0xF0 | (cp >> 18));
  out[1] = char(0x80 | ((cp >> 12) & 0x3F));
  out[2] = char(0x80 | ((cp >> 6) & 0x3F));
  out[3] = char(0x80 | (cp & 0x3F));
  return 4;
}

size_t EncodeUtf16(char32_t cp, char16_t* out) {
  if (cp < 0x10000) {
    out[0] = char16_t(cp);
    return 1;
  }
  cp -= 0x10000;
  out[0] = char16_t(0xD800 + (cp >> 10));
  out[1] = char16_t(0xDC00 + (cp & 0x3FF));
  return 2;
}

// Walks UTF-8 input and hands every UTF-16 unit to `sink`. Returns false at
// the first ill-formed sequence when `strict` is set.
template <typename Sink>
bool Utf8Walk(const unsigned char* s, size_t n, bool strict, Sink&& sink) {
  size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {  // ASCII, the bulk of every message
      sink(char16_t(s[i++]));
      continue;
    }
    Decoded d = DecodeUtf8(s + i, n - i);
    if (!d.valid && strict) return false;
    char16_t units[2];
    size_t count = EncodeUtf16(d.code_point, units);
    for (size_t k = 0; k < count; ++k) sink(units[k]);
    i += d.length;
  }
  return true;
}

// Walks UTF-16 input and hands every UTF-8 byte sequence to `sink`. A lone
// surrogate becomes `replacement` (a UTF-8 sequence); `*replaced` is set.
template <typename Sink>
bool Utf16Walk(const char16_t* s, size_t n, bool strict, std::string_view replacement,
               bool* replaced, Sink&& sink) {
  size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      char c = char(s[i++]);
      sink(&c, 1);
      continue;
    }
    Decoded d = DecodeUtf16(s + i, n - i);
    if (!d.valid) {
      if (strict) return false;
      if (replaced) *replaced = true;
      sink(replacement.data(), replacement.size());
    } else {
      char bytes[4];
      sink(bytes, EncodeUtf8(d.code_point, bytes));
    }
    i += d.length;
  }
  return true;
}

bool IsNarrowCodePage(UINT code_page) {
  return code_page == CP_ACP || code_page == CP_OEMCP || code_page == CP_THREAD_ACP ||
         code_page == CP_UTF8;
}

// Position at which `text` may be cut so that no more than `limit` bytes are
// kept and no UTF-8 sequence is split. An ill-formed subsequence counts as
// one character (the one U+FFFD it decodes to) and is kept or dropped whole.
size_t Utf8CutPoint(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text.size();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t start = 0;
  while (true) {
    Decoded d = DecodeUtf8(s + start, text.size() - start);
    if (start + d.length > limit) return start;
    start += d.length;
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  // A UTF-8 byte never yields more than one UTF-16 unit.
  std::u16string out(text.size(), u'\0');
  size_t at = 0;
  Utf8Walk(reinterpret_cast<const unsigned char*>(text.data()), text.size(), false,
           [&](char16_t u) { out[at++] = u; });
  out.resize(at);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  // A UTF-16 unit never yields more than three UTF-8 bytes.
  std::string out(text.size() * 3, '\0');
  size_t at = 0;
  Utf16Walk(text.data(), text.size(), false, "?", nullptr, [&](const char* p, size_t n) {
    for (size_t k = 0; k < n; ++k) out[at++] = p[k];
  });
  out.resize(at);
  return out;
}

size_t WideLength(const char16_t* text) {
  if (!text) return 0;
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

size_t CopyToNarrowField(std::string_view text, char* field, size_t field_bytes) {
  if (!field || field_bytes == 0) return 0;
  size_t n = Utf8CutPoint(text, field_bytes - 1);
  if (n) std::memcpy(field, text.data(), n);
  field[n] = '\0';
  return n;
}

size_t CopyToWideField(std::u16string_view text, char16_t* field, size_t field_chars) {
  if (!field || field_chars == 0) return 0;
  size_t n = text.size();
  if (n > field_chars - 1) {
    n = field_chars - 1;
    // Do not keep the high half of a pair whose low half is cut off.
    if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF && text[n] >= 0xDC00 &&
        text[n] <= 0xDFFF) {
      --n;
    }
  }
  if (n) std::memcpy(field, text.data(), n * sizeof(char16_t));
  field[n] = u'\0';
  return n;
}

size_t WideToNarrowField(std::u16string_view text, char* field, size_t field_bytes) {
  return CopyToNarrowField(Utf16ToUtf8(text), field, field_bytes);
}

}  // namespace krsoap::platform

using krsoap::platform::IsNarrowCodePage;

extern "C" int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi_byte,
                                   int cb_multi_byte, LPWSTR wide, int cch_wide) {
  using namespace krsoap::platform;
  if (!IsNarrowCodePage(code_page)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((flags & ~DWORD(MB_ERR_INVALID_CHARS | 0x1u /* MB_PRECOMPOSED */)) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  if (!multi_byte || cb_multi_byte == 0 || cb_multi_byte < -1 || cch_wide < 0 ||
      (cch_wide > 0 && !wide)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = cb_multi_byte == -1 ? std::strlen(multi_byte) + 1 : size_t(cb_multi_byte);
  const auto* s = reinterpret_cast<const unsigned char*>(multi_byte);
  bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;

  // A UTF-8 byte never yields more than one UTF-16 unit, so the count fits.
  size_t needed = 0;
  if (!Utf8Walk(s, n, strict, [&](char16_t) { ++needed; })) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (cch_wide == 0) return int(needed);
  if (needed > size_t(cch_wide)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  size_t at = 0;
  Utf8Walk(s, n, false, [&](char16_t u) { wide[at++] = u; });
  return int(at);
}

extern "C" int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int cch_wide,
                                   LPSTR multi_byte, int cb_multi_byte, LPCSTR default_char,
                                   BOOL* used_default_char) {
  using namespace krsoap::platform;
  if (!IsNarrowCodePage(code_page)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((flags & ~DWORD(WC_ERR_INVALID_CHARS)) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  // As on Windows, CP_UTF8 has no default character.
  if (code_page == CP_UTF8 && (default_char || used_default_char)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!wide || cch_wide == 0 || cch_wide < -1 || cb_multi_byte < 0 ||
      (cb_multi_byte > 0 && !multi_byte)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = cch_wide == -1 ? WideLength(wide) + 1 : size_t(cch_wide);
  bool strict = (flags & WC_ERR_INVALID_CHARS) != 0;

  std::string_view replacement = "?";
  if (code_page == CP_UTF8) {
    replacement = "\xEF\xBF\xBD";
  } else if (default_char && *default_char) {
    // The default character is one character of the code page: take the
    // first well-formed UTF-8 sequence of the caller's string.
    std::string_view dc(default_char);
    Decoded first = DecodeUtf8(reinterpret_cast<const unsigned char*>(dc.data()), dc.size());
    if (first.valid) replacement = dc.substr(0, first.length);
  }

  bool replaced = false;
  unsigned long long needed = 0;
  if (!Utf16Walk(wide, n, strict, replacement, &replaced,
                 [&](const char*, size_t k) { needed += k; })) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (needed > static_cast<unsigned long long>(INT_MAX)) {
    SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return 0;
  }
  if (used_default_char) *used_default_char = replaced ? TRUE : FALSE;
  if (cb_multi_byte == 0) return int(needed);
  if (needed > static_cast<unsigned long long>(cb_multi_byte)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  size_t at = 0;
  Utf16Walk(wide, n, false, replacement, nullptr, [&](const char* p, size_t k) {
    std::memcpy(multi_byte + at, p, k);
    at += k;
  });
  return int(at);
}
