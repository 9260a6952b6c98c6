// The printf engine: the Windows string rules in both widths, numeric
// conversions, padding, and the fixed-buffer guarantees (never past the
// capacity, always terminated, never half a character).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/text/format.h"

namespace {

using krsoap::platform::Format;
using krsoap::platform::FormatResult;

template <typename... Args>
std::string N(const char* format, Args... args) {
  char buf[2048];
  Format(buf, sizeof(buf), format, args...);
  return buf;
}

template <typename... Args>
std::u16string W(const char16_t* format, Args... args) {
  char16_t buf[2048];
  Format(buf, 2048, format, args...);
  return buf;
}

TEST(FormatNumbers, IntegersFlagsWidthsAndLengths) {
  EXPECT_EQ(N("%d|%5d|%-5d|%05d|%+d|% d", 42, 42, 42, -42, 42, 42), "42|   42|42   |-0042|+42| 42");
  EXPECT_EQ(N("%x|%X|%08x|%#x|%#010x|%o|%u", 255u, 255u, 0xbeefu, 255u, 255u, 8u, 4000000000u),
            "ff|FF|0000beef|0xff|0x000000ff|10|4000000000");
  EXPECT_EQ(N("%ld|%04ld|%04ld|%lld|%I64d|%I32d|%zu", -5L, 123L, 98765L, -9000000000LL,
              1234567890123LL, -7, size_t(77)),
            "-5|0123|98765|-9000000000|1234567890123|-7|77");
  EXPECT_EQ(N("%hd|%hhd|%hu", 70000, 300, 70000), "4464|44|4464");
  // Precision on integers: minimum digits, and the '0' flag is then ignored.
  EXPECT_EQ(N("%.3d|%08.3d|%.0d|", 7, 7, 0), "007|     007||");
  EXPECT_EQ(N("%%|%5%|100%%"), "%|%|100%");
  EXPECT_EQ(W(u"%d %5ld %-4u| %08x", -1, 12L, 3u, 0xabcu), u"-1    12 3   | 00000abc");
}

TEST(FormatNumbers, StarWidthAndPrecision) {
  EXPECT_EQ(N("[%*d]", 5, 1), "[    1]");
  EXPECT_EQ(N("[%*d]", -5, 1), "[1    ]");  // negative width: left-justified
  EXPECT_EQ(N("[%-*.*s]", 6, 3, "abcdef"), "[abc   ]");
  EXPECT_EQ(N("[%.*s]", -1, "abcdef"), "[abcdef]");  // negative precision: none
  EXPECT_EQ(W(u"[%-*.*s]", 4, 2, u"xyz"), u"[xy  ]");
}

TEST(FormatNumbers, FloatsAndPointers) {
  EXPECT_EQ(N("%f|%.2f|%e|%g|%08.3f|%-8.1f|", 1.5, 2.345, 1000.0, 0.0001, -1.5, 2.0),
            "1.500000|2.35|1.000000e+03|0.0001|-001.500|2.0     |");
  EXPECT_EQ(N("%05f|%+f", INFINITY, 1.0), "  inf|+1.000000");
  EXPECT_EQ(N("%Lf", 2.5L), "2.500000");
  // A body longer than the engine's stack buffer goes through the heap path.
  char expected[1024];
  std::snprintf(expected, sizeof(expected), "%.400f", 1e300);
  EXPECT_EQ(N("%.400f", 1e300), expected);
  EXPECT_EQ(N("%p", reinterpret_cast<void*>(0x12ff7c)), "000000000012FF7C");
  EXPECT_EQ(N("%p", nullptr), "0000000000000000");
  EXPECT_EQ(W(u"%p", reinterpret_cast<void*>(0xabcdef)), u"0000000000ABCDEF");
}

TEST(FormatStrings, WindowsRulesInNarrowFormats) {
  EXPECT_EQ(N("%s/%S", "narrow", u"wide"), "narrow/wide");
  EXPECT_EQ(N("%hs/%ls/%ws", "a", u"b", u"c"), "a/b/c");
  EXPECT_EQ(N("%c%C%lc%hc", 'x', u'\u00e9', u'y', 'z'), "x\xc3\xa9yz");
  EXPECT_EQ(N("%S", u"Z\u00fcrich \u20ac \U0001F600"), "Z\xc3\xbcrich \xe2\x82\xac \xf0\x9f\x98\x80");
  EXPECT_EQ(N("%s|%S", static_cast<const char*>(nullptr), static_cast<const char16_t*>(nullptr)),
            "(null)|(null)");
  // A lone surrogate has no UTF-8 form: replaced, never passed through.
  std::string lone = N("%S", u"a\xd800" "b");
  EXPECT_EQ(lone.front(), 'a');
  EXPECT_EQ(lone.back(), 'b');
  EXPECT_EQ(lone.find('\xed'), std::string::npos);
}

TEST(FormatStrings, WindowsRulesInWideFormats) {
  EXPECT_EQ(W(u"%s/%S", u"wide", "narrow"), u"wide/narrow");
  EXPECT_EQ(W(u"%hs/%ls/%ws", "a", u"b", u"c"), u"a/b/c");
  EXPECT_EQ(W(u"%c%C%hc%lc", u'\u00e9', 'x', 'y', u'z'), u"\u00e9xyz");
  EXPECT_EQ(W(u"%S", "Z\xc3\xbcrich \xf0\x9f\x98\x80"), u"Z\u00fcrich \U0001F600");
  EXPECT_EQ(W(u"%s|%S", static_cast<const char16_t*>(nullptr), static_cast<const char*>(nullptr)),
            u"(null)|(null)");
  EXPECT_EQ(W(u"%5s|%-5S|%05s", u"ab", "cd", u"ef"), u"   ab|cd   |000ef");
}

TEST(FormatStrings, PrecisionNeverSplitsACharacter) {
  EXPECT_EQ(N("[%.2s]", "a\xc3\xa9"), "[a]");
  EXPECT_EQ(N("[%.3s]", "a\xc3\xa9"), "[a\xc3\xa9]");
  EXPECT_EQ(N("[%.2S]", u"a\u00e9"), "[a]");
  EXPECT_EQ(W(u"[%.2s]", u"a\U0001F600"), u"[a]");
  EXPECT_EQ(W(u"[%.1S]", "\xc3\xa9z"), u"[\u00e9]");
  // With a precision the string need not be terminated: nothing past it is read.
  char unterminated[3] = {'a', 'b', 'c'};
  EXPECT_EQ(N("[%.3s]", unterminated), "[abc]");
  char16_t wide_unterminated[2] = {u'x', u'y'};
  EXPECT_EQ(W(u"[%.2s]", wide_unterminated), u"[xy]");
}

TEST(FormatBuffer, TruncatesInsideTheCapacityAndTerminates) {
  char buf[8];
  std::memset(buf, '#', sizeof(buf));
  FormatResult r = Format(buf, 5, "abcdefgh");
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(r.length, 4u);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(buf[5], '#');

  r = Format(buf, 5, "%d", 1234);
  EXPECT_FALSE(r.truncated);
  EXPECT_STREQ(buf, "1234");

  std::memset(buf, '#', sizeof(buf));
  r = Format(buf, 0, "abc");
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(buf[0], '#');  // capacity 0: nothing written at all

  r = Format(buf, 1, "abc");
  EXPECT_TRUE(r.truncated);
  EXPECT_STREQ(buf, "");

  // Later short items never land after a gap left by a cut one.
  r = Format(buf, 6, "%s%s", "abcdefg", "x");
  EXPECT_STREQ(buf, "abcde");
}

TEST(FormatBuffer, CutsBeforeAMultiUnitCharacter) {
  char buf[4];
  Format(buf, sizeof(buf), "ab\xc3\xa9");  // room for 3 bytes: 'a', 'b', half of é
  EXPECT_STREQ(buf, "ab");
  Format(buf, sizeof(buf), "%s", "a\xe2\x82\xac");  // € needs 3 bytes, 2 are left
  EXPECT_STREQ(buf, "a");
  char16_t wide[3];
  FormatResult r = Format(wide, 3, u"a\U0001F600");
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(std::u16string(wide), u"a");
}

TEST(FormatBuffer, HugeWidthsCostNoMemoryAndStopAtTheBuffer) {
  char buf[16];
  FormatResult r = Format(buf, sizeof(buf), "%2000000000d", 5);
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(std::string(buf), std::string(15, ' '));
  r = Format(buf, sizeof(buf), "%-*s|", 2000000000, "x");
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(buf[0], 'x');
}

TEST(FormatBuffer, OddFormatsAreHarmless) {
  EXPECT_EQ(N("a%yb"), "a%yb");  // unknown conversion: kept as text
  EXPECT_EQ(N("50%"), "50%");    // cut-off conversion at the end
  int target = 7;
  EXPECT_EQ(N("x%ny", &target), "xy");
  EXPECT_EQ(target, 7);  // %n never writes
  char buf[4] = "zz";
  Format(buf, sizeof(buf), static_cast<const char*>(nullptr));
  EXPECT_STREQ(buf, "");
}

TEST(FormatBuffer, CompletePrefixHelpers) {
  using krsoap::platform::CompleteUtf16Prefix;
  using krsoap::platform::CompleteUtf8Prefix;
  const char* text = "a\xf0\x9f\x98\x80";
  EXPECT_EQ(CompleteUtf8Prefix(text, 5), 5u);
  for (size_t n = 1; n < 5; ++n) EXPECT_EQ(CompleteUtf8Prefix(text, n), 1u) << n;
  EXPECT_EQ(CompleteUtf8Prefix("\x80\x80", 2), 2u);  // stray continuation bytes: left alone
  const char16_t* wide = u"a\U0001F600";
  EXPECT_EQ(CompleteUtf16Prefix(wide, 2), 1u);
  EXPECT_EQ(CompleteUtf16Prefix(wide, 3), 3u);
}

}  // namespace
