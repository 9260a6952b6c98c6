// Text helpers private to the registry: UTF-8 <-> UTF-16 conversion and the
// case folding that makes key and value names compare case-insensitively.
//
// Invalid input never fails a conversion, it turns into U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace krsoap::platform::regtext {

std::u16string ToUtf16(std::string_view utf8);
std::string ToUtf8(std::u16string_view utf16);

// UTF-16 bytes (little endian, as stored for string values) <-> UTF-8. An odd
// trailing byte is dropped.
std::string Utf16BytesToUtf8(std::string_view bytes);
std::string Utf8ToUtf16Bytes(std::string_view utf8);

// Upper-cases one UTF-16 code unit the way names are compared: ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic letters. Other units are
// their own fold.
char16_t FoldUnit(char16_t c);

// The folded form of a name, as UTF-8 (the comparison key in the store).
std::string Fold(std::u16string_view name);

// Length in UTF-16 code units of a UTF-8 string.
size_t Utf16Length(std::string_view utf8);

}  // namespace krsoap::platform::regtext
