// Reading and writing numbers as invariant-locale text for VARIANT
// conversion.
#include "platform/com/number_text.h"

#include <charconv>
#include <cstdint>

namespace krsoap::com {

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Exponents beyond this are clamped: they already overflow or underflow
// every type, and clamping keeps the arithmetic on them in range.
constexpr long kExponentLimit = 100000;
// Digits kept for reading a double; more cannot change the rounded result
// except in pathological halfway cases.
constexpr size_t kMaxDoubleDigits = 800;

}  // namespace

std::u16string_view TrimBlanks(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool ParseNumberText(std::u16string_view text, ParsedNumber* out) {
  ParsedNumber n;
  size_t i = 0;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    n.negative = text[i] == u'-';
    ++i;
  }
  bool any_digit = false;
  long fraction_digits = 0;
  auto take_digit = [&](char16_t c, bool fractional) {
    any_digit = true;
    if (fractional) ++fraction_digits;
    if (n.digits.empty() && c == u'0') return;  // leading zero
    n.digits.push_back(static_cast<char>(c));
  };
  // Whole part, with thousands separators between digits.
  while (i < text.size()) {
    const char16_t c = text[i];
    if (IsDigit(c)) {
      take_digit(c, false);
      ++i;
    } else if (c == u',' && any_digit && i + 1 < text.size() && IsDigit(text[i + 1])) {
      ++i;
    } else {
      break;
    }
  }
  if (i < text.size() && text[i] == u'.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) take_digit(text[i++], true);
  }
  if (!any_digit) return false;
  long exponent = 0;
  if (i < text.size() && (text[i] == u'e' || text[i] == u'E' || text[i] == u'd' || text[i] == u'D')) {
    ++i;
    bool exponent_negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
      exponent_negative = text[i] == u'-';
      ++i;
    }
    if (i >= text.size() || !IsDigit(text[i])) return false;
    while (i < text.size() && IsDigit(text[i])) {
      if (exponent < kExponentLimit) exponent = exponent * 10 + (text[i] - u'0');
      ++i;
    }
    if (exponent_negative) exponent = -exponent;
  }
  if (i != text.size()) return false;
  // Trailing zeros of the digit string move into the exponent.
  size_t end = n.digits.size();
  while (end > 0 && n.digits[end - 1] == '0') --end;
  const long trailing = static_cast<long>(n.digits.size() - end);
  n.digits.resize(end);
  if (n.digits.empty()) {
    n.exponent = 0;
  } else {
    n.exponent = exponent - fraction_digits + trailing;
    if (n.exponent > 2 * kExponentLimit) n.exponent = 2 * kExponentLimit;
    if (n.exponent < -2 * kExponentLimit) n.exponent = -2 * kExponentLimit;
  }
  *out = std::move(n);
  return true;
}

bool ParsedNumber::ToDouble(double* out) const {
  if (digits.empty()) {
    *out = 0.0;
    return true;
  }
  std::string text = negative ? "-" : "";
  long exp = exponent;
  if (digits.size() > kMaxDoubleDigits) {
    text.append(digits, 0, kMaxDoubleDigits);
    exp += static_cast<long>(digits.size() - kMaxDoubleDigits);
  } else {
    text += digits;
  }
  text += 'e';
  text += std::to_string(exp);
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    // Too small underflows to zero; too large overflows.
    if (static_cast<long>(digits.size()) + exponent > 0) return false;
    *out = 0.0;
    return true;
  }
  if (result.ec != std::errc()) return false;
  *out = value;
  return true;
}

bool ParsedNumber::ToRoundedInteger(__int128* out) const {
  if (digits.empty()) {
    *out = 0;
    return true;
  }
  const long size = static_cast<long>(digits.size());
  const long whole_digits = size + exponent;
  if (whole_digits > 20) return false;
  unsigned __int128 whole = 0;
  for (long i = 0; i < whole_digits; ++i) {
    whole = whole * 10 + (i < size ? static_cast<unsigned>(digits[i] - '0') : 0u);
  }
  if (whole_digits >= 0 && whole_digits < size) {
    const int first = digits[whole_digits] - '0';
    bool rest = false;
    for (long i = whole_digits + 1; i < size; ++i) rest = rest || digits[i] != '0';
    if (first > 5 || (first == 5 && (rest || (whole & 1) != 0))) ++whole;
  }
  // whole < 10^20 + 1, far inside the signed 128-bit range.
  const __int128 value = static_cast<__int128>(whole);
  *out = negative ? -value : value;
  return true;
}

std::string FormatReal(double value, int precision) {
  if (value == 0) return "0";
  char buffer[64];
  std::to_chars_result result;
  if (precision <= 7) {
    result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value), std::chars_format::general,
                           precision);
  } else {
    result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision);
  }
  std::string text(buffer, result.ptr);
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace krsoap::com
