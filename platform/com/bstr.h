// BSTR: the length-prefixed UTF-16 string of Automation.
//
// A BSTR points at the first character of a block laid out as on Windows:
// a 4-byte byte count, the characters (UTF-16 in char16_t), and a
// zero terminator that the count does not include. The count makes embedded
// zeros and odd byte lengths representable. A null BSTR is a valid value and
// behaves as the empty string everywhere. Lengths that would not fit the
// 32-bit count (or would overflow the allocation size) fail with a null
// result instead of wrapping.
//
// BstrPtr is the RAII owner used by krsoap's own C++ code.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/win32/types.h"

typedef OLECHAR* BSTR;
typedef BSTR* LPBSTR;

extern "C" {
// A copy of the zero-terminated `psz`; nullptr for nullptr.
KR_EXPORT BSTR SysAllocString(const OLECHAR* psz);
// `ui` characters copied from `str`; with a null `str` the characters are
// zero-filled (Windows leaves them undefined).
KR_EXPORT BSTR SysAllocStringLen(const OLECHAR* str, UINT ui);
// `len` bytes copied from `psz` (zero-filled when null), then a two-byte
// zero. The byte length may be odd.
KR_EXPORT BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
// Replaces *pbstr with a copy of `psz` (which may point into *pbstr). A null
// `psz` makes it the empty string. Returns FALSE, leaving *pbstr untouched,
// when pbstr is null or memory runs out.
KR_EXPORT INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
// Resizes *pbstr to `len` characters copied from `psz` (which may point into
// *pbstr); with a null `psz` the old characters are kept up to `len` and the
// rest zero-filled.
KR_EXPORT INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
KR_EXPORT void SysFreeString(BSTR bstr);
// Characters (byte length / 2, rounded down); 0 for nullptr.
KR_EXPORT UINT SysStringLen(BSTR bstr);
// Bytes, as given at allocation; 0 for nullptr.
KR_EXPORT UINT SysStringByteLen(BSTR bstr);
}

namespace krsoap::com {

// The characters of a BSTR as a view (embedded zeros included).
inline std::u16string_view BstrView(BSTR b) { return b ? std::u16string_view(b, SysStringLen(b)) : std::u16string_view(); }

// New BSTRs from C++ text; nullptr only when memory runs out or the text is
// longer than a BSTR can hold.
BSTR AllocBstr(std::u16string_view text);
BSTR AllocBstrFromUtf8(std::string_view text);
std::string BstrToUtf8(BSTR b);

// Owns one BSTR and frees it on destruction. Move-only.
class BstrPtr {
 public:
  BstrPtr() = default;
  explicit BstrPtr(BSTR b) : b_(b) {}
  explicit BstrPtr(std::u16string_view text) : b_(AllocBstr(text)) {}
  BstrPtr(const BstrPtr&) = delete;
  BstrPtr& operator=(const BstrPtr&) = delete;
  BstrPtr(BstrPtr&& other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
  BstrPtr& operator=(BstrPtr&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.b_, nullptr));
    return *this;
  }
  ~BstrPtr() { SysFreeString(b_); }

  BSTR get() const { return b_; }
  // For out parameters: frees the current string and returns the slot.
  BSTR* Out() {
    Reset();
    return &b_;
  }
  BSTR Release() { return std::exchange(b_, nullptr); }
  void Reset(BSTR b = nullptr) {
    SysFreeString(b_);
    b_ = b;
  }
  UINT Length() const { return SysStringLen(b_); }
  std::u16string_view View() const { return BstrView(b_); }
  std::string Utf8() const { return BstrToUtf8(b_); }

 private:
  BSTR b_ = nullptr;
};

}  // namespace krsoap::com
