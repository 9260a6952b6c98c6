// The printf engine behind format.h: one template over the format's character
// type, numeric bodies from snprintf, everything else (string widths, padding,
// the buffer limit) done here so that the Windows rules hold for both widths.
#include "platform/text/format.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/text/convert.h"

namespace krsoap::platform {

size_t CompleteUtf8Prefix(const char* text, size_t length) noexcept {
  if (length == 0) return 0;
  // Walk back over at most three continuation bytes to the lead byte of the
  // last sequence and see whether that sequence is whole.
  size_t i = length;
  size_t back = 0;
  while (i > 0 && back < 4) {
    --i;
    ++back;
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80) continue;
    size_t need = 1;
    if ((c & 0xE0) == 0xC0) {
      need = 2;
    } else if ((c & 0xF0) == 0xE0) {
      need = 3;
    } else if ((c & 0xF8) == 0xF0) {
      need = 4;
    }
    return (i + need > length) ? i : length;
  }
  return length;  // only stray continuation bytes: nothing whole to protect
}

size_t CompleteUtf16Prefix(const char16_t* text, size_t length) noexcept {
  if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) return length - 1;
  return length;
}

namespace {

constexpr int kMaxNumericPrecision = 512;

size_t CompletePrefix(const char* s, size_t n) { return CompleteUtf8Prefix(s, n); }
size_t CompletePrefix(const char16_t* s, size_t n) { return CompleteUtf16Prefix(s, n); }

size_t StrLen(const char* s, size_t bound) { return ::strnlen(s, bound); }
size_t StrLen(const char16_t* s, size_t bound) {
  size_t n = 0;
  while (n < bound && s[n] != 0) ++n;
  return n;
}

// Output into the caller's buffer. Every Append is one run of whole
// characters; a run that does not fit is cut back to a character boundary and
// all later output is dropped, so the result is always a clean prefix of the
// full expansion.
template <typename C>
class Sink {
 public:
  Sink(C* out, size_t capacity)
      : out_(capacity > 0 ? out : nullptr), room_(capacity > 0 && out ? capacity - 1 : 0) {}

  void Append(const C* s, size_t n) {
    if (n == 0) return;
    if (stopped_) {
      truncated_ = true;
      return;
    }
    size_t left = room_ - len_;
    if (n > left) {
      n = CompletePrefix(s, left);
      Stop();
    }
    if (n) std::memcpy(out_ + len_, s, n * sizeof(C));
    len_ += n;
  }

  // ASCII runs (padding, numeric bodies): no character boundaries to respect.
  void Fill(C c, size_t n) {
    if (n == 0) return;
    if (stopped_) {
      truncated_ = true;
      return;
    }
    size_t left = room_ - len_;
    if (n > left) {
      n = left;
      Stop();
    }
    for (size_t i = 0; i < n; ++i) out_[len_ + i] = c;
    len_ += n;
  }

  void AppendAscii(const char* s, size_t n) {
    if constexpr (std::is_same_v<C, char>) {
      Append(s, n);
    } else {
      C chunk[64];
      while (n > 0 && !stopped_) {
        size_t k = n < 64 ? n : 64;
        for (size_t i = 0; i < k; ++i) chunk[i] = static_cast<unsigned char>(s[i]);
        Append(chunk, k);
        s += k;
        n -= k;
      }
      if (n > 0) truncated_ = true;
    }
  }

  void Stop() {
    stopped_ = true;
    truncated_ = true;
  }

  FormatResult Finish() {
    if (out_) out_[len_] = 0;
    FormatResult r;
    r.length = len_;
    r.truncated = truncated_;
    return r;
  }

 private:
  C* out_;
  size_t room_;
  size_t len_ = 0;
  bool stopped_ = false;
  bool truncated_ = false;
};

enum class Len { kNone, kHH, kH, kL, kLL, kBigL, kI64, kI32, kIPtr, kZ, kJ, kT, kW };

struct Spec {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  bool zero = false;
  size_t width = 0;
  int precision = -1;  // -1: none
  Len len = Len::kNone;
};

long long ReadSigned(va_list* ap, Len len) {
  switch (len) {
    case Len::kHH: return static_cast<signed char>(va_arg(*ap, int));
    case Len::kH: return static_cast<short>(va_arg(*ap, int));
    case Len::kL: return va_arg(*ap, long);
    case Len::kLL:
    case Len::kBigL:
    case Len::kI64: return va_arg(*ap, long long);
    case Len::kIPtr:
    case Len::kZ:
    case Len::kT: return va_arg(*ap, ptrdiff_t);
    case Len::kJ: return va_arg(*ap, intmax_t);
    default: return va_arg(*ap, int);
  }
}

unsigned long long ReadUnsigned(va_list* ap, Len len) {
  switch (len) {
    case Len::kHH: return static_cast<unsigned char>(va_arg(*ap, unsigned int));
    case Len::kH: return static_cast<unsigned short>(va_arg(*ap, unsigned int));
    case Len::kL: return va_arg(*ap, unsigned long);
    case Len::kLL:
    case Len::kBigL:
    case Len::kI64: return va_arg(*ap, unsigned long long);
    case Len::kIPtr:
    case Len::kZ:
    case Len::kT: return va_arg(*ap, size_t);
    case Len::kJ: return va_arg(*ap, uintmax_t);
    default: return va_arg(*ap, unsigned int);
  }
}

// A numeric body from snprintf, without width (padding is ours, so widths of
// any size cost no memory).
class Body {
 public:
  template <typename T>
  void Print(const char* spec, T value) {
    int n = std::snprintf(local_, sizeof(local_), spec, value);
    if (n < 0) n = 0;
    if (static_cast<size_t>(n) < sizeof(local_)) {
      data_ = local_;
      size_ = static_cast<size_t>(n);
      return;
    }
    big_.resize(static_cast<size_t>(n) + 1);
    std::snprintf(big_.data(), big_.size(), spec, value);
    data_ = big_.data();
    size_ = static_cast<size_t>(n);
  }
  const char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  char local_[600];
  std::string big_;
  const char* data_ = local_;
  size_t size_ = 0;
};

// "%" + sign/alt flags + precision + length + conversion, for snprintf.
void BuildSpec(char* out, const Spec& s, const char* length, char conv) {
  char* p = out;
  *p++ = '%';
  if (s.plus) *p++ = '+';
  if (s.space) *p++ = ' ';
  if (s.alt) *p++ = '#';
  if (s.precision >= 0) {
    int prec = s.precision > kMaxNumericPrecision ? kMaxNumericPrecision : s.precision;
    p += std::snprintf(p, 8, ".%d", prec);
  }
  while (*length) *p++ = *length++;
  *p++ = conv;
  *p = 0;
}

template <typename C>
void EmitPadded(Sink<C>& sink, const Spec& spec, const C* s, size_t n) {
  size_t pad = spec.width > n ? spec.width - n : 0;
  if (spec.left) {
    sink.Append(s, n);
    sink.Fill(C(' '), pad);
  } else {
    // Windows pads strings and characters with zeros under the '0' flag.
    sink.Fill(spec.zero ? C('0') : C(' '), pad);
    sink.Append(s, n);
  }
}

template <typename C>
void EmitNumber(Sink<C>& sink, const Spec& spec, const char* body, size_t n, bool zero_pad) {
  size_t pad = spec.width > n ? spec.width - n : 0;
  if (spec.left) {
    sink.AppendAscii(body, n);
    sink.Fill(C(' '), pad);
  } else if (zero_pad && pad > 0) {
    // Zeros go after the sign and after a "0x" prefix.
    size_t head = 0;
    if (n > 0 && (body[0] == '-' || body[0] == '+' || body[0] == ' ')) head = 1;
    if (n >= head + 2 && body[head] == '0' && (body[head + 1] == 'x' || body[head + 1] == 'X')) head += 2;
    sink.AppendAscii(body, head);
    sink.Fill(C('0'), pad);
    sink.AppendAscii(body + head, n - head);
  } else {
    sink.Fill(C(' '), pad);
    sink.AppendAscii(body, n);
  }
}

template <typename C>
void EmitNarrowString(Sink<C>& sink, const Spec& spec, const char* s) {
  if (s == nullptr) s = "(null)";
  if constexpr (std::is_same_v<C, char>) {
    size_t n = spec.precision >= 0 ? StrLen(s, static_cast<size_t>(spec.precision)) : std::strlen(s);
    if (spec.precision >= 0) n = CompleteUtf8Prefix(s, n);
    EmitPadded(sink, spec, s, n);
  } else {
    size_t bound = SIZE_MAX;
    if (spec.precision >= 0) {
      // Enough bytes for `precision` UTF-16 units however they decode.
      bound = static_cast<size_t>(spec.precision) * 4 + 4;
    }
    std::u16string wide = Utf8ToUtf16(std::string_view(s, StrLen(s, bound)));
    size_t n = wide.size();
    if (spec.precision >= 0 && n > static_cast<size_t>(spec.precision)) {
      n = CompleteUtf16Prefix(wide.data(), static_cast<size_t>(spec.precision));
    }
    EmitPadded(sink, spec, wide.data(), n);
  }
}

template <typename C>
void EmitWideString(Sink<C>& sink, const Spec& spec, const char16_t* s) {
  if (s == nullptr) s = u"(null)";
  if constexpr (std::is_same_v<C, char16_t>) {
    size_t n = StrLen(s, spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX);
    if (spec.precision >= 0) n = CompleteUtf16Prefix(s, n);
    EmitPadded(sink, spec, s, n);
  } else {
    // Every UTF-16 unit gives at least one byte, so `precision` units suffice.
    size_t units = StrLen(s, spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX);
    std::string narrow = Utf16ToUtf8(std::u16string_view(s, units));
    size_t n = narrow.size();
    if (spec.precision >= 0 && n > static_cast<size_t>(spec.precision)) {
      n = CompleteUtf8Prefix(narrow.data(), static_cast<size_t>(spec.precision));
    }
    EmitPadded(sink, spec, narrow.data(), n);
  }
}

template <typename C>
void EmitChar(Sink<C>& sink, const Spec& spec, bool arg_wide, int value) {
  if constexpr (std::is_same_v<C, char>) {
    if (!arg_wide) {
      char c = static_cast<char>(value);
      EmitPadded(sink, spec, &c, 1);
    } else {
      char16_t u = static_cast<char16_t>(value);
      std::string narrow = Utf16ToUtf8(std::u16string_view(&u, 1));
      EmitPadded(sink, spec, narrow.data(), narrow.size());
    }
  } else {
    char16_t u;
    if (arg_wide) {
      u = static_cast<char16_t>(value);
    } else {
      unsigned char b = static_cast<unsigned char>(value);
      u = b < 0x80 ? char16_t(b) : char16_t(0xFFFD);  // half a UTF-8 sequence
    }
    EmitPadded(sink, spec, &u, 1);
  }
}

template <typename C>
FormatResult Run(C* out, size_t capacity, const C* f, va_list* ap) {
  Sink<C> sink(out, capacity);
  if (f == nullptr) return sink.Finish();
  constexpr bool kWideFormat = std::is_same_v<C, char16_t>;
  try {
    while (*f) {
      if (*f != C('%')) {
        const C* run = f;
        while (*f && *f != C('%')) ++f;
        sink.Append(run, static_cast<size_t>(f - run));
        continue;
      }
      const C* start = f++;
      Spec spec;
      for (;; ++f) {
        if (*f == C('-')) spec.left = true;
        else if (*f == C('+')) spec.plus = true;
        else if (*f == C(' ')) spec.space = true;
        else if (*f == C('#')) spec.alt = true;
        else if (*f == C('0')) spec.zero = true;
        else break;
      }
      if (*f == C('*')) {
        int w = va_arg(*ap, int);
        if (w < 0) {
          spec.left = true;
          spec.width = w == INT_MIN ? size_t(INT_MAX) : size_t(-w);
        } else {
          spec.width = static_cast<size_t>(w);
        }
        ++f;
      } else {
        while (*f >= C('0') && *f <= C('9')) {
          spec.width = spec.width > size_t(INT_MAX) / 10 ? size_t(INT_MAX)
                                                         : spec.width * 10 + size_t(*f - C('0'));
          ++f;
        }
      }
      if (*f == C('.')) {
        ++f;
        if (*f == C('*')) {
          int p = va_arg(*ap, int);
          spec.precision = p < 0 ? -1 : p;
          ++f;
        } else {
          long long p = 0;
          while (*f >= C('0') && *f <= C('9')) {
            p = p > INT_MAX / 10 ? INT_MAX : p * 10 + (*f - C('0'));
            ++f;
          }
          spec.precision = static_cast<int>(p);
        }
      }
      switch (*f) {
        case C('h'):
          ++f;
          if (*f == C('h')) {
            spec.len = Len::kHH;
            ++f;
          } else {
            spec.len = Len::kH;
          }
          break;
        case C('l'):
          ++f;
          if (*f == C('l')) {
            spec.len = Len::kLL;
            ++f;
          } else {
            spec.len = Len::kL;
          }
          break;
        case C('L'): spec.len = Len::kBigL; ++f; break;
        case C('q'): spec.len = Len::kLL; ++f; break;
        case C('w'): spec.len = Len::kW; ++f; break;
        case C('z'): spec.len = Len::kZ; ++f; break;
        case C('j'): spec.len = Len::kJ; ++f; break;
        case C('t'): spec.len = Len::kT; ++f; break;
        case C('I'):
          ++f;
          if (f[0] == C('6') && f[1] == C('4')) {
            spec.len = Len::kI64;
            f += 2;
          } else if (f[0] == C('3') && f[1] == C('2')) {
            spec.len = Len::kI32;
            f += 2;
          } else {
            spec.len = Len::kIPtr;
          }
          break;
        default: break;
      }
      C conv = *f;
      if (conv == 0) {
        // A conversion cut off by the end of the format: keep it as text.
        sink.Append(start, static_cast<size_t>(f - start));
        break;
      }
      ++f;
      char spec_text[32];
      switch (conv) {
        case C('%'): {
          C pct = C('%');
          sink.Append(&pct, 1);
          break;
        }
        case C('d'):
        case C('i'): {
          long long v = ReadSigned(ap, spec.len);
          BuildSpec(spec_text, spec, "ll", 'd');
          Body body;
          body.Print(spec_text, v);
          EmitNumber(sink, spec, body.data(), body.size(), spec.zero && spec.precision < 0);
          break;
        }
        case C('u'):
        case C('o'):
        case C('x'):
        case C('X'): {
          unsigned long long v = ReadUnsigned(ap, spec.len);
          Spec unsigned_spec = spec;
          unsigned_spec.plus = unsigned_spec.space = false;
          BuildSpec(spec_text, unsigned_spec, "ll", static_cast<char>(conv));
          Body body;
          body.Print(spec_text, v);
          EmitNumber(sink, spec, body.data(), body.size(), spec.zero && spec.precision < 0);
          break;
        }
        case C('f'):
        case C('F'):
        case C('e'):
        case C('E'):
        case C('g'):
        case C('G'):
        case C('a'):
        case C('A'): {
          Body body;
          if (spec.len == Len::kBigL) {
            long double v = va_arg(*ap, long double);
            BuildSpec(spec_text, spec, "L", static_cast<char>(conv));
            body.Print(spec_text, v);
          } else {
            double v = va_arg(*ap, double);
            BuildSpec(spec_text, spec, "", static_cast<char>(conv));
            body.Print(spec_text, v);
          }
          // inf and nan are never zero-padded; their bodies are the only ones
          // with an 'n' in them.
          bool finite = std::memchr(body.data(), 'n', body.size()) == nullptr &&
                        std::memchr(body.data(), 'N', body.size()) == nullptr;
          EmitNumber(sink, spec, body.data(), body.size(), spec.zero && finite);
          break;
        }
        case C('p'): {
          void* p = va_arg(*ap, void*);
          char digits[32];
          int n = std::snprintf(digits, sizeof(digits), "%016llX",
                                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
          Spec pointer_spec = spec;
          pointer_spec.zero = false;
          EmitNumber(sink, pointer_spec, digits, static_cast<size_t>(n), false);
          break;
        }
        case C('s'):
        case C('S'):
        case C('c'):
        case C('C'): {
          bool upper = conv == C('S') || conv == C('C');
          bool arg_wide;
          if (spec.len == Len::kH) {
            arg_wide = false;
          } else if (spec.len == Len::kL || spec.len == Len::kW) {
            arg_wide = true;
          } else {
            arg_wide = upper ? !kWideFormat : kWideFormat;
          }
          if (conv == C('s') || conv == C('S')) {
            if (arg_wide) {
              EmitWideString(sink, spec, va_arg(*ap, const char16_t*));
            } else {
              EmitNarrowString(sink, spec, va_arg(*ap, const char*));
            }
          } else {
            EmitChar(sink, spec, arg_wide, va_arg(*ap, int));
          }
          break;
        }
        case C('n'):
          (void)va_arg(*ap, void*);  // never written through
          break;
        default:
          sink.Append(start, static_cast<size_t>(f - start));
          break;
      }
    }
  } catch (...) {
    // Only memory for a string of the other width can fail; what was
    // produced so far stays, marked incomplete.
    sink.Stop();
  }
  return sink.Finish();
}

}  // namespace

FormatResult FormatV(char* out, size_t capacity, const char* format, va_list args) noexcept {
  va_list ap;
  va_copy(ap, args);
  FormatResult r = Run(out, capacity, format, &ap);
  va_end(ap);
  return r;
}

FormatResult FormatV(char16_t* out, size_t capacity, const char16_t* format, va_list args) noexcept {
  va_list ap;
  va_copy(ap, args);
  FormatResult r = Run(out, capacity, format, &ap);
  va_end(ap);
  return r;
}

FormatResult Format(char* out, size_t capacity, const char* format, ...) noexcept {
  va_list ap;
  va_start(ap, format);
  FormatResult r = FormatV(out, capacity, format, ap);
  va_end(ap);
  return r;
}

FormatResult Format(char16_t* out, size_t capacity, const char16_t* format, ...) noexcept {
  va_list ap;
  va_start(ap, format);
  FormatResult r = FormatV(out, capacity, format, ap);
  va_end(ap);
  return r;
}

}  // namespace krsoap::platform
