// Wide-string helpers (see wide_string.h).
#include "platform/win32/wide_string.h"

#include <climits>
#include <cstring>

#include "platform/text/convert.h"

namespace krsoap::platform {

std::u16string_view WideView(const char16_t* text) {
  return text ? std::u16string_view(text, WideLength(text)) : std::u16string_view();
}

int WideCompare(std::u16string_view a, std::u16string_view b) {
  int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int WideCompareIgnoreAsciiCase(std::u16string_view a, std::u16string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = AsciiLower(a[i]);
    char16_t y = AsciiLower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

bool WideEqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && WideCompareIgnoreAsciiCase(a, b) == 0;
}

}  // namespace krsoap::platform

using namespace krsoap::platform;

extern "C" int lstrlenW(LPCWSTR text) {
  size_t n = WideLength(text);
  return n > size_t(INT_MAX) ? INT_MAX : int(n);
}

extern "C" int lstrcmpW(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return a == b ? 0 : a ? 1 : -1;
  return WideCompare(WideView(a), WideView(b));
}

extern "C" int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return a == b ? 0 : a ? 1 : -1;
  return WideCompareIgnoreAsciiCase(WideView(a), WideView(b));
}

extern "C" LPWSTR lstrcpynW(LPWSTR dest, LPCWSTR source, int max_chars) {
  if (!dest || max_chars <= 0) return nullptr;
  // Read no further than the destination can take, so an unterminated or
  // huge source is never walked to its end.
  size_t limit = size_t(max_chars);
  size_t n = 0;
  if (source) {
    while (n < limit && source[n]) ++n;
  }
  CopyToWideField(std::u16string_view(source ? source : u"", n), dest, limit);
  return dest;
}
