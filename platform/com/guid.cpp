// GUID text forms: strict parsing and formatting of the braced form.
#include "platform/com/guid.h"

#include "platform/com/taskmem.h"

namespace krsoap::com {
namespace detail {

void MalformedGuidLiteral() {}

}  // namespace detail

namespace {

template <typename Char>
void FormatGuid(REFGUID g, Char* out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  size_t pos = 0;
  auto put_hex = [&](uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) out[pos++] = static_cast<Char>(kDigits[(value >> (4 * i)) & 0xF]);
  };
  out[pos++] = Char('{');
  put_hex(g.Data1, 8);
  out[pos++] = Char('-');
  put_hex(g.Data2, 4);
  out[pos++] = Char('-');
  put_hex(g.Data3, 4);
  out[pos++] = Char('-');
  put_hex(g.Data4[0], 2);
  put_hex(g.Data4[1], 2);
  out[pos++] = Char('-');
  for (int i = 2; i < 8; ++i) put_hex(g.Data4[i], 2);
  out[pos++] = Char('}');
  out[pos] = Char(0);
}

}  // namespace

std::optional<GUID> ParseGuid(std::u16string_view text) {
  GUID g{};
  if (!detail::ParseGuidChars(text, true, &g)) return std::nullopt;
  return g;
}

std::optional<GUID> ParseGuid(std::string_view text) {
  GUID g{};
  if (!detail::ParseGuidChars(text, true, &g)) return std::nullopt;
  return g;
}

std::u16string GuidToString(REFGUID guid) {
  char16_t buffer[CHARS_IN_GUID];
  FormatGuid(guid, buffer);
  return std::u16string(buffer, KR_GUID_STRING_LENGTH);
}

std::string GuidToUtf8(REFGUID guid) {
  char buffer[CHARS_IN_GUID];
  FormatGuid(guid, buffer);
  return std::string(buffer, KR_GUID_STRING_LENGTH);
}

size_t GuidHash::operator()(const GUID& g) const noexcept {
  uint64_t a, b;
  std::memcpy(&a, &g, 8);
  std::memcpy(&b, reinterpret_cast<const char*>(&g) + 8, 8);
  // Mix both halves; identifiers of one family often differ in Data1 only.
  uint64_t h = a * 0x9E3779B97F4A7C15ull;
  h ^= (b + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2));
  h *= 0xC2B2AE3D27D4EB4Full;
  return static_cast<size_t>(h ^ (h >> 29));
}

}  // namespace krsoap::com

namespace {

size_t BoundedLength(LPCOLESTR s, size_t limit) {
  size_t n = 0;
  while (n < limit && s[n] != 0) ++n;
  return n;
}

HRESULT StringFromGuidAlloc(REFGUID guid, LPOLESTR* out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = static_cast<LPOLESTR>(CoTaskMemAlloc(CHARS_IN_GUID * sizeof(OLECHAR)));
  if (*out == nullptr) return E_OUTOFMEMORY;
  StringFromGUID2(guid, *out, CHARS_IN_GUID);
  return S_OK;
}

}  // namespace

extern "C" {

int StringFromGUID2(REFGUID guid, LPOLESTR lpsz, int cch_max) {
  if (lpsz == nullptr || cch_max < CHARS_IN_GUID) return 0;
  krsoap::com::FormatGuid(guid, lpsz);
  return CHARS_IN_GUID;
}

HRESULT IIDFromString(LPCOLESTR lpsz, LPIID iid) {
  if (iid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) {
    *iid = IID_NULL;
    return S_OK;
  }
  // Never reads further than one character past the longest valid form, so
  // an unterminated buffer of garbage is not scanned to its end.
  const size_t n = BoundedLength(lpsz, KR_GUID_STRING_LENGTH + 1);
  auto parsed = krsoap::com::ParseGuid(std::u16string_view(lpsz, n));
  if (!parsed) {
    *iid = IID_NULL;
    return E_INVALIDARG;
  }
  *iid = *parsed;
  return S_OK;
}

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* lplpsz) { return StringFromGuidAlloc(clsid, lplpsz); }

HRESULT StringFromIID(REFIID iid, LPOLESTR* lplpsz) { return StringFromGuidAlloc(iid, lplpsz); }

}  // extern "C"
