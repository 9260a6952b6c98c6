// The wide-string helpers: lengths, ordinal and ASCII-case-insensitive
// comparisons, bounded copies.
#include <gtest/gtest.h>

#include "platform/win32/wide_string.h"

using krsoap::platform::WideCompareIgnoreAsciiCase;
using krsoap::platform::WideEqualsIgnoreAsciiCase;

namespace {

TEST(WideStrings, LengthsAndComparisons) {
  EXPECT_EQ(lstrlenW(u"KRSoap"), 6);
  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(lstrcmpW(u"abc", u"abc"), 0);
  EXPECT_LT(lstrcmpW(u"abc", u"abd"), 0);
  EXPECT_LT(lstrcmpW(u"ab", u"abc"), 0);
  EXPECT_GT(lstrcmpW(u"\u00E9", u"z"), 0);  // ordinal, not locale order
  EXPECT_LT(lstrcmpW(nullptr, u""), 0);
  EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);

  EXPECT_EQ(lstrcmpiW(u"Halvex.KRSoapMonitor.1", u"HALVEX.krsoapmonitor.1"), 0);
  EXPECT_NE(lstrcmpiW(u"\u00C9", u"\u00E9"), 0);  // only ASCII letters fold
  // '_' (0x5F) lies between 'Z' and 'a': letters are folded to lower case
  // before ordering, so "A" sorts after "_" just as "a" does.
  EXPECT_GT(lstrcmpiW(u"A", u"_"), 0);
  EXPECT_EQ(lstrcmpiW(u"A", u"_") > 0, lstrcmpiW(u"a", u"_") > 0);
  EXPECT_TRUE(WideEqualsIgnoreAsciiCase(u"{58ecc870-5a2d}", u"{58ECC870-5A2D}"));
  EXPECT_FALSE(WideEqualsIgnoreAsciiCase(u"abc", u"abcd"));
  EXPECT_LT(WideCompareIgnoreAsciiCase(u"abc", u"ABCD"), 0);
}

TEST(WideStrings, BoundedCopyTerminatesAndKeepsPairsWhole) {
  char16_t buffer[5];
  for (auto& c : buffer) c = u'#';
  EXPECT_EQ(lstrcpynW(buffer, u"abcdefgh", 4), buffer);
  EXPECT_EQ(std::u16string(buffer), u"abc");
  EXPECT_EQ(buffer[4], u'#');
  lstrcpynW(buffer, u"ab\U0001F600", 4);
  EXPECT_EQ(std::u16string(buffer), u"ab");
  lstrcpynW(buffer, nullptr, 5);
  EXPECT_EQ(buffer[0], u'\0');
  EXPECT_EQ(lstrcpynW(buffer, u"x", 0), nullptr);
  // The source is read only as far as needed: no terminator beyond 3 units.
  const char16_t unterminated[3] = {u'x', u'y', u'z'};
  lstrcpynW(buffer, unterminated, 3);
  EXPECT_EQ(std::u16string(buffer), u"xy");
}

}  // namespace
