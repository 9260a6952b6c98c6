// Text conversion between the system ANSI code page (UTF-8 here) and UTF-16.
//
// The Win32 calls keep their Windows contracts (sizes in characters or bytes,
// 0 on failure with the last error set). A conversion into a fixed-width
// narrow field that would cut a multi-byte character cuts before that
// character, never inside it; invalid input is replaced by U+FFFD ('?' in the
// narrow direction), never passed through half-decoded.
//
// Every narrow code page (CP_ACP, CP_OEMCP, CP_THREAD_ACP, CP_UTF8) is UTF-8.
// Invalid UTF-8 becomes one U+FFFD per maximal ill-formed subsequence. A lone
// surrogate going narrow becomes the default character ('?', or the caller's
// default_char) for the ANSI code pages, and U+FFFD for CP_UTF8, which is
// what a Windows system on code page 65001 does.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32/types.h"

#define CP_ACP 0u
#define CP_OEMCP 1u
#define CP_THREAD_ACP 3u
#define CP_UTF8 65001u
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_ERR_INVALID_CHARS 0x00000080u

extern "C" {
// cb_multi_byte == -1: the source is zero-terminated and the terminator is
// converted too. cch_wide == 0: returns the size needed.
KR_EXPORT int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi_byte, int cb_multi_byte,
                                  LPWSTR wide, int cch_wide);
KR_EXPORT int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int cch_wide,
                                  LPSTR multi_byte, int cb_multi_byte, LPCSTR default_char,
                                  BOOL* used_default_char);
}

namespace krsoap::platform {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Length of a zero-terminated UTF-16 string (nullptr counts as empty).
size_t WideLength(const char16_t* text);

// Copies `text` into a narrow field of `field_bytes` bytes (terminator
// included), cutting at a character boundary. Returns the bytes written
// without the terminator. The field is always terminated when field_bytes > 0.
size_t CopyToNarrowField(std::string_view text, char* field, size_t field_bytes);

// The same for a UTF-16 field of `field_chars` code units (terminator
// included): a surrogate pair is never split. Returns the units written.
size_t CopyToWideField(std::u16string_view text, char16_t* field, size_t field_chars);

// Converts UTF-16 to the ANSI code page straight into a narrow field (cut as
// CopyToNarrowField does). Returns the bytes written without the terminator.
size_t WideToNarrowField(std::u16string_view text, char* field, size_t field_bytes);

}  // namespace krsoap::platform
