// printf-style formatting with the Windows rules, into a caller's fixed
// buffer, for narrow (UTF-8) and wide (UTF-16, char16_t) formats.
//
// Why not vsnprintf/vswprintf: glibc reads "%s" in a wide format as a narrow
// string and has no char16_t formats at all, while the system's formats were
// written for the Windows rules:
//   - in a wide format "%s"/"%c" take a wide string/character and "%S"/"%C" a
//     narrow one; in a narrow format "%s"/"%c" are narrow and "%S"/"%C" wide;
//     "%hs"/"%hc" are always narrow, "%ls"/"%ws"/"%lc"/"%wc" always wide.
//     A string of the other width is converted (UTF-8 <-> UTF-16).
//   - "%p" prints the pointer as 16 upper-case hexadecimal digits.
//   - "%I64d", "%I32d", "%Id" (pointer-sized) are accepted besides "%lld",
//     "%zd", "%jd", "%td", "%hd", "%hhd".
//   - a null string pointer prints "(null)".
//
// Argument types follow C, not Windows, where they differ: "%ld" reads a
// `long`, which is 64 bits here, not the 32-bit LONG of Windows. Callers with
// a LONG, DWORD or HRESULT argument for "%ld"/"%lx" cast it to (long) or
// (unsigned long); "%d"/"%u"/"%x" read an int. A '*' width or precision reads
// an int. "%c" reads an int (char and char16_t promote to it).
//
// Units: width and precision count units of the output (bytes for narrow
// output, UTF-16 code units for wide output). A string precision, and the end
// of the buffer, never cut a character in half: the cut goes before a UTF-8
// sequence or a surrogate pair that does not fit whole.
//
// Limits: output stops at the buffer's capacity (terminator included) and the
// result says it was truncated; nothing is ever written past the buffer and
// the output is always terminated when capacity > 0. A numeric precision
// above 512 is taken as 512. An unknown conversion ("%y") is copied to the
// output as it stands and reads no argument; "%n" reads its pointer and writes
// nothing through it. A null format gives an empty string. Conversions that
// need memory (a string of the other width) report truncation if memory runs
// out; the functions never throw.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace krsoap::platform {

struct FormatResult {
  size_t length = 0;       // units written, terminator excluded
  bool truncated = false;  // the full expansion did not fit (or memory ran out)
};

FormatResult FormatV(char* out, size_t capacity, const char* format, va_list args) noexcept;
FormatResult FormatV(char16_t* out, size_t capacity, const char16_t* format, va_list args) noexcept;
FormatResult Format(char* out, size_t capacity, const char* format, ...) noexcept;
FormatResult Format(char16_t* out, size_t capacity, const char16_t* format, ...) noexcept;

// Longest prefix of text[0, length) that ends on a character boundary: a
// trailing incomplete UTF-8 sequence (or high surrogate) is left out. Reads
// only inside the range.
size_t CompleteUtf8Prefix(const char* text, size_t length) noexcept;
size_t CompleteUtf16Prefix(const char16_t* text, size_t length) noexcept;

}  // namespace krsoap::platform
