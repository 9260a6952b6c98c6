// Small helpers for zero-terminated UTF-16 strings (char16_t), which the C
// library does not know: the Win32 lstr* calls and ordinal comparisons.
//
// Comparisons are ordinal on UTF-16 code units; the case-insensitive ones
// fold ASCII letters only. That is what identifiers, ProgIDs, property
// names and GUID strings need, and it never depends on the process locale.
#pragma once

#include <string_view>

#include "platform/win32/types.h"

extern "C" {
// Characters before the terminator; 0 for NULL.
KR_EXPORT int lstrlenW(LPCWSTR text);
// <0, 0, >0 like strcmp; NULL sorts before every string.
KR_EXPORT int lstrcmpW(LPCWSTR a, LPCWSTR b);
KR_EXPORT int lstrcmpiW(LPCWSTR a, LPCWSTR b);
// Copies at most max_chars - 1 characters and a terminator (never half a
// surrogate pair). Returns dest, or NULL for bad arguments.
KR_EXPORT LPWSTR lstrcpynW(LPWSTR dest, LPCWSTR source, int max_chars);
}

namespace krsoap::platform {

constexpr char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }

// A view of a zero-terminated wide string (empty for nullptr).
std::u16string_view WideView(const char16_t* text);

// Ordinal comparison: <0, 0, >0.
int WideCompare(std::u16string_view a, std::u16string_view b);
// Ordinal comparison with ASCII letters folded to lower case.
int WideCompareIgnoreAsciiCase(std::u16string_view a, std::u16string_view b);
bool WideEqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace krsoap::platform
