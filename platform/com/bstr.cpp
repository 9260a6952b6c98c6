// BSTR allocation over the C heap.
//
// Block layout: [uint32 byte count][bytes][zero padding]. The padding is
// three zero bytes, so that a BSTR of odd byte length still ends in a whole
// zero character at index ceil(bytes / 2).
#include "platform/com/bstr.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/text/convert.h"

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);
constexpr size_t kPadding = 3;
// The largest byte count a BSTR may have: the count must fit a signed 32-bit
// value, as it does on Windows, and the whole block a 32-bit size.
constexpr uint64_t kMaxBytes = 0x7FFFFFFFu - kPrefix - kPadding;

inline uint32_t ByteCount(BSTR b) {
  uint32_t n;
  std::memcpy(&n, reinterpret_cast<const char*>(b) - kPrefix, sizeof n);
  return n;
}

inline void* BlockOf(BSTR b) { return reinterpret_cast<char*>(b) - kPrefix; }

// A block for `bytes` bytes with count and padding written; contents not set.
BSTR AllocBytes(uint64_t bytes) {
  if (bytes > kMaxBytes) return nullptr;
  char* block = static_cast<char*>(std::malloc(kPrefix + bytes + kPadding));
  if (block == nullptr) return nullptr;
  const uint32_t n = static_cast<uint32_t>(bytes);
  std::memcpy(block, &n, sizeof n);
  std::memset(block + kPrefix + bytes, 0, kPadding);
  return reinterpret_cast<BSTR>(block + kPrefix);
}

#if defined(__SSE2__)
// Length of a zero-terminated UTF-16 string, eight characters per step.
// Aligned 16-byte loads never cross a page boundary, so reading the whole
// block that holds the terminator is safe even where it extends past the
// string; that is also why the sanitizers are told to leave this function
// alone (the bytes read beyond the string are never used).
__attribute__((no_sanitize("address", "thread"))) size_t WideLen(const OLECHAR* s) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(s);
  if (address & 1) return std::char_traits<char16_t>::length(s);  // misaligned: lanes would not match
  const char* block = reinterpret_cast<const char*>(address & ~uintptr_t{15});
  const __m128i zero = _mm_setzero_si128();
  unsigned mask = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(block)), zero)));
  mask &= ~0u << (address & 15);  // lanes before the string
  while (mask == 0) {
    block += 16;
    mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(block)), zero)));
  }
  return static_cast<size_t>(block + __builtin_ctz(mask) - reinterpret_cast<const char*>(s)) / sizeof(OLECHAR);
}
#else
size_t WideLen(const OLECHAR* s) { return std::char_traits<char16_t>::length(s); }
#endif

// A block holding a copy of `bytes` bytes from `source`, or zeros when the
// source is null. Used by every allocating call; calling it directly rather
// than through the exported functions keeps the hot path free of PLT hops.
BSTR AllocCopy(const void* source, uint64_t bytes) {
  BSTR b = AllocBytes(bytes);
  if (b == nullptr) return nullptr;
  if (source != nullptr) {
    std::memcpy(b, source, static_cast<size_t>(bytes));
  } else {
    std::memset(b, 0, static_cast<size_t>(bytes));
  }
  return b;
}

// Shared by both re-allocation calls: the new string is built before the old
// block is freed, so a source inside the old string is safe.
INT Reallocate(BSTR* pbstr, const OLECHAR* psz, uint64_t len) {
  if (pbstr == nullptr) return FALSE;
  BSTR fresh = AllocBytes(len * sizeof(OLECHAR));
  if (fresh == nullptr) return FALSE;
  const size_t bytes = static_cast<size_t>(len * sizeof(OLECHAR));
  if (psz != nullptr) {
    std::memcpy(fresh, psz, bytes);
  } else {
    const size_t keep = *pbstr ? std::min<size_t>(ByteCount(*pbstr), bytes) : 0;
    if (keep) std::memcpy(fresh, *pbstr, keep);
    std::memset(reinterpret_cast<char*>(fresh) + keep, 0, bytes - keep);
  }
  if (*pbstr) std::free(BlockOf(*pbstr));
  *pbstr = fresh;
  return TRUE;
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  return AllocCopy(psz, uint64_t{WideLen(psz)} * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* str, UINT ui) { return AllocCopy(str, uint64_t{ui} * sizeof(OLECHAR)); }

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocCopy(psz, len); }

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (psz == nullptr) return Reallocate(pbstr, u"", 0);
  return Reallocate(pbstr, psz, WideLen(psz));
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) { return Reallocate(pbstr, psz, len); }

void SysFreeString(BSTR bstr) {
  if (bstr != nullptr) std::free(BlockOf(bstr));
}

UINT SysStringLen(BSTR bstr) { return bstr ? ByteCount(bstr) / sizeof(OLECHAR) : 0; }

UINT SysStringByteLen(BSTR bstr) { return bstr ? ByteCount(bstr) : 0; }

}  // extern "C"

namespace krsoap::com {

BSTR AllocBstr(std::u16string_view text) {
  if (text.size() > 0xFFFFFFFFu) return nullptr;
  return SysAllocStringLen(text.data() ? text.data() : u"", static_cast<UINT>(text.size()));
}

BSTR AllocBstrFromUtf8(std::string_view text) { return AllocBstr(krsoap::platform::Utf8ToUtf16(text)); }

std::string BstrToUtf8(BSTR b) { return krsoap::platform::Utf16ToUtf8(BstrView(b)); }

}  // namespace krsoap::com
