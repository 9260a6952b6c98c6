// GUIDs: the 128-bit identifiers of classes, interfaces and type libraries.
//
// GUID keeps its Windows layout (16 bytes: a 32-bit, two 16-bit fields and
// eight bytes), so that identifiers compiled into one module compare equal
// with those read from the registry by another. The text form is the braced
// one, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": 38 characters, hexadecimal
// digits in either case on input, upper case on output.
//
// Identifiers are defined at compile time from their text:
//   inline constexpr IID IID_IFoo = MakeGuid("{12345678-...}");
// A malformed literal stops the compilation; MakeGuid called at run time on a
// malformed text yields GUID_NULL. ParseGuid is the checked run-time parser.
#pragma once

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/com/hresult.h"
#include "platform/win32/types.h"

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID must keep its Windows layout");

typedef GUID IID;
typedef GUID CLSID;
typedef GUID* LPGUID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

// Length of the braced form without and with its terminator.
#define KR_GUID_STRING_LENGTH 38
#define CHARS_IN_GUID 39

inline constexpr bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}
inline constexpr bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline constexpr bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
inline constexpr bool operator!=(const GUID& a, const GUID& b) { return !IsEqualGUID(a, b); }
// Byte order of the fields, for ordered containers; not a Windows notion.
inline bool operator<(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;
inline constexpr CLSID CLSID_NULL = GUID_NULL;

// Windows-style definition of a named identifier from its values.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

namespace krsoap::com {
namespace detail {

constexpr int HexValue(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// Parses exactly 38 characters of the braced form (or 36 without braces when
// `braced` is false). Works on narrow and UTF-16 text alike.
template <typename Char>
constexpr bool ParseGuidChars(std::basic_string_view<Char> text, bool braced, GUID* out) {
  const size_t expected = braced ? 38 : 36;
  if (text.size() != expected) return false;
  size_t pos = 0;
  if (braced) {
    if (text.front() != Char('{') || text.back() != Char('}')) return false;
    pos = 1;
  }
  // Digits per group and the position of the dashes that follow groups 1-4.
  uint8_t nibbles[32] = {};
  int n = 0;
  for (int group = 0; group < 5; ++group) {
    const int digits = group == 0 ? 8 : group == 4 ? 12 : 4;
    for (int i = 0; i < digits; ++i) {
      const int v = HexValue(static_cast<char32_t>(text[pos++]));
      if (v < 0) return false;
      nibbles[n++] = static_cast<uint8_t>(v);
    }
    if (group < 4 && text[pos++] != Char('-')) return false;
  }
  GUID g{};
  for (int i = 0; i < 8; ++i) g.Data1 = (g.Data1 << 4) | nibbles[i];
  for (int i = 8; i < 12; ++i) g.Data2 = static_cast<WORD>((g.Data2 << 4) | nibbles[i]);
  for (int i = 12; i < 16; ++i) g.Data3 = static_cast<WORD>((g.Data3 << 4) | nibbles[i]);
  for (int i = 0; i < 8; ++i) {
    g.Data4[i] = static_cast<BYTE>((nibbles[16 + 2 * i] << 4) | nibbles[17 + 2 * i]);
  }
  *out = g;
  return true;
}

// Deliberately not constexpr: reaching it during constant evaluation turns a
// malformed identifier literal into a compile error.
void MalformedGuidLiteral();

}  // namespace detail

// Compile-time identifier from its braced (or unbraced) text form.
constexpr GUID MakeGuid(std::string_view text) {
  GUID g{};
  const bool braced = !text.empty() && text.front() == '{';
  if (!detail::ParseGuidChars(text, braced, &g)) {
    if (std::is_constant_evaluated()) detail::MalformedGuidLiteral();
    return GUID_NULL;
  }
  return g;
}

// Strict parse of the braced form: braces required, exactly 38 characters,
// hexadecimal digits in either case, dashes in their places, nothing after.
std::optional<GUID> ParseGuid(std::u16string_view text);
std::optional<GUID> ParseGuid(std::string_view text);

// The braced upper-case text form.
std::u16string GuidToString(REFGUID guid);
std::string GuidToUtf8(REFGUID guid);

struct GuidHash {
  size_t operator()(const GUID& g) const noexcept;
};

}  // namespace krsoap::com

template <>
struct std::hash<GUID> {
  size_t operator()(const GUID& g) const noexcept { return krsoap::com::GuidHash{}(g); }
};

extern "C" {
// Writes the braced form of `guid` into `lpsz` (cch_max characters of room).
// Returns the characters written including the terminator (39), or 0 when
// the buffer is too small or null.
KR_EXPORT int StringFromGUID2(REFGUID guid, LPOLESTR lpsz, int cch_max);
// Parses the braced form. A null string gives IID_NULL and S_OK; a malformed
// one gives E_INVALIDARG with *iid set to IID_NULL.
KR_EXPORT HRESULT IIDFromString(LPCOLESTR lpsz, LPIID iid);
// The braced form in memory from CoTaskMemAlloc, which the caller frees.
KR_EXPORT HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* lplpsz);
KR_EXPORT HRESULT StringFromIID(REFIID iid, LPOLESTR* lplpsz);
}
