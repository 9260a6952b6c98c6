// Numbers as text in the invariant locale: the reading and writing rules of
// Automation's conversions between strings and numbers.
//
// Reading accepts surrounding blanks, a leading sign, ',' as a thousands
// separator in the whole part, '.' as the decimal point and an exponent
// introduced by E or D. The number is kept exactly (all digits and a decimal
// exponent) so that 64-bit integers convert without loss and fractions round
// half to even. Writing gives 15 significant digits for doubles and 7 for
// floats, in the %G style ("0.1", "1E+20").
#pragma once

#include <string>
#include <string_view>

namespace krsoap::com {

struct ParsedNumber {
  bool negative = false;
  std::string digits;  // significant digits, no leading zeros; empty for 0
  long exponent = 0;   // value = digits * 10^exponent

  bool IsZero() const { return digits.empty(); }
  // False when the value is too large for a double.
  bool ToDouble(double* out) const;
  // Rounds half to even. False when the magnitude is 10^20 or more, beyond
  // every integer type.
  bool ToRoundedInteger(__int128* out) const;
};

std::u16string_view TrimBlanks(std::u16string_view text);

// Parses a whole (already trimmed) text; false when it is not a number.
bool ParseNumberText(std::u16string_view text, ParsedNumber* out);

// %G-style text with `precision` significant digits; negative zero is "0".
std::string FormatReal(double value, int precision);

}  // namespace krsoap::com
