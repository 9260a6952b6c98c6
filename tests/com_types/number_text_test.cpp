// The exact decimal reading behind text-to-number conversion, checked
// against the C library on many generated inputs, and against hostile text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "platform/com/number_text.h"

namespace {

using krsoap::com::ParsedNumber;
using krsoap::com::ParseNumberText;

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

TEST(NumberText, AgreesWithTheCLibraryOnGeneratedNumbers) {
  std::mt19937 random(20261207);
  auto digits = [&](int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += static_cast<char>('0' + random() % 10);
    return s;
  };
  for (int n = 0; n < 20000; ++n) {
    std::string text;
    if (random() % 3 == 0) text += (random() % 2) ? "-" : "+";
    text += digits(1 + random() % 9);
    if (random() % 2) text += "." + digits(random() % 8);
    if (random() % 4 == 0) text += "e" + std::to_string(static_cast<int>(random() % 9) - 4);
    ParsedNumber parsed;
    ASSERT_TRUE(ParseNumberText(Wide(text), &parsed)) << text;

    const double expected = std::strtod(text.c_str(), nullptr);
    double value = 0;
    ASSERT_TRUE(parsed.ToDouble(&value)) << text;
    EXPECT_EQ(value, expected) << text;

    // Whole-number rounding agrees with round-half-even on the exact value
    // wherever the double holds the value exactly enough to tell.
    if (std::fabs(expected) < 1e12 && std::fabs(expected - std::trunc(expected)) != 0.5) {
      __int128 whole = 0;
      ASSERT_TRUE(parsed.ToRoundedInteger(&whole)) << text;
      EXPECT_EQ(static_cast<double>(whole), std::nearbyint(expected)) << text;
    }
  }
}

TEST(NumberText, HalfwayCasesUseTheExactDigits) {
  struct Case {
    const char* text;
    long expected;
  } cases[] = {{"0.5", 0},  {"1.5", 2},  {"2.5", 2},   {"-2.5", -2},      {"2.5000000000000000001", 3},
               {"25e-1", 2}, {"35e-1", 4}, {"0.05e1", 0}, {"-0.5", 0}};
  for (const Case& c : cases) {
    ParsedNumber parsed;
    ASSERT_TRUE(ParseNumberText(Wide(c.text), &parsed)) << c.text;
    __int128 whole = 0;
    ASSERT_TRUE(parsed.ToRoundedInteger(&whole));
    EXPECT_EQ(static_cast<long>(whole), c.expected) << c.text;
  }
  // Beyond a double's precision the exact value still rounds correctly.
  ParsedNumber parsed;
  ASSERT_TRUE(ParseNumberText(u"12345678901234567.5", &parsed));
  __int128 whole = 0;
  ASSERT_TRUE(parsed.ToRoundedInteger(&whole));
  EXPECT_EQ(static_cast<long long>(whole), 12345678901234568LL);
}

TEST(NumberText, HostileTextIsRejectedOrBounded) {
  std::mt19937 random(7);
  const std::u16string alphabet = u"0123456789+-.,eEdD \t&H\u00A0\uFFFF";
  for (int n = 0; n < 20000; ++n) {
    std::u16string text;
    const int length = static_cast<int>(random() % 24);
    for (int i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    ParsedNumber parsed;
    if (!ParseNumberText(text, &parsed)) continue;
    double value;
    __int128 whole;
    parsed.ToDouble(&value);
    parsed.ToRoundedInteger(&whole);
  }
  ParsedNumber parsed;
  const std::u16string huge_exponent = u"9e" + std::u16string(10000, u'9');
  ASSERT_TRUE(ParseNumberText(huge_exponent, &parsed));
  double value;
  EXPECT_FALSE(parsed.ToDouble(&value));
  __int128 whole;
  EXPECT_FALSE(parsed.ToRoundedInteger(&whole));
  const std::u16string tiny = u"9e-" + std::u16string(10000, u'9');
  ASSERT_TRUE(ParseNumberText(tiny, &parsed));
  ASSERT_TRUE(parsed.ToDouble(&value));
  EXPECT_EQ(value, 0.0);
  ASSERT_TRUE(parsed.ToRoundedInteger(&whole));
  EXPECT_EQ(static_cast<long>(whole), 0);
}

TEST(NumberText, FormatsLikePercentG) {
  EXPECT_EQ(krsoap::com::FormatReal(0.1, 15), "0.1");
  EXPECT_EQ(krsoap::com::FormatReal(1e15, 15), "1E+15");
  EXPECT_EQ(krsoap::com::FormatReal(123456789012345.0, 15), "123456789012345");
  EXPECT_EQ(krsoap::com::FormatReal(-1.25e-10, 15), "-1.25E-10");
  EXPECT_EQ(krsoap::com::FormatReal(-0.0, 15), "0");
  EXPECT_EQ(krsoap::com::FormatReal(16777217.0, 7), "1.677722E+07");
}

}  // namespace
