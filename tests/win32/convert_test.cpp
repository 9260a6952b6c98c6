// UTF-8 <-> UTF-16 conversion: the Windows size contracts, replacement of bad
// input, and cutting into fixed-width fields at character boundaries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/text/convert.h"
#include "platform/win32/error_codes.h"
#include "platform/win32/last_error.h"

using krsoap::platform::CopyToNarrowField;
using krsoap::platform::CopyToWideField;
using krsoap::platform::Utf16ToUtf8;
using krsoap::platform::Utf8ToUtf16;
using krsoap::platform::WideLength;
using krsoap::platform::WideToNarrowField;

namespace {

// "añ€😀": 1, 2, 3 and 4 UTF-8 bytes; the last one is a surrogate pair.
const char kMixed[] = "a\xC3\xB1\xE2\x82\xAC\xF0\x9F\x98\x80";
const char16_t kMixedWide[] = u"a\u00F1\u20AC\U0001F600";

TEST(ConvertHelpers, RoundTripsBmpAndSupplementary) {
  EXPECT_EQ(Utf8ToUtf16(kMixed), std::u16string(kMixedWide));
  EXPECT_EQ(Utf16ToUtf8(kMixedWide), std::string(kMixed));
  EXPECT_EQ(Utf8ToUtf16("").size(), 0u);
  // Embedded zeros are text like any other character.
  std::string with_nul("x\0y", 3);
  EXPECT_EQ(Utf8ToUtf16(with_nul), std::u16string(u"x\0y", 3));
  EXPECT_EQ(WideLength(kMixedWide), 5u);
  EXPECT_EQ(WideLength(nullptr), 0u);
}

TEST(ConvertHelpers, InvalidUtf8BecomesOneReplacementPerBadSubsequence) {
  // Lone continuation byte, overlong '/', encoded surrogate, beyond U+10FFFF,
  // a truncated 3-byte sequence followed by ASCII, and a truncated one at the end.
  EXPECT_EQ(Utf8ToUtf16("\x80"), u"\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82z"), u"\uFFFDz");
  EXPECT_EQ(Utf8ToUtf16("ab\xF0\x9F\x98"), u"ab\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xFF\xFE"), u"\uFFFD\uFFFD");
}

TEST(ConvertHelpers, LoneSurrogatesBecomeQuestionMarksGoingNarrow) {
  const char16_t lone_high[] = {u'a', 0xD83D, u'b', 0};
  const char16_t lone_low[] = {0xDE00, 0};
  const char16_t high_at_end[] = {u'x', 0xD83D, 0};
  EXPECT_EQ(Utf16ToUtf8(lone_high), "a?b");
  EXPECT_EQ(Utf16ToUtf8(lone_low), "?");
  EXPECT_EQ(Utf16ToUtf8(high_at_end), "x?");
}

TEST(MultiByteToWideCharTest, SizeQueryAndTerminatorRules) {
  // -1: the terminator is counted and converted.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kMixed, -1, nullptr, 0), 6);
  // An explicit length does not include a terminator.
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, kMixed, int(std::strlen(kMixed)), nullptr, 0), 5);

  char16_t out[6];
  std::memset(out, 0xAB, sizeof out);
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, kMixed, -1, out, 6), 6);
  EXPECT_EQ(std::u16string(out), std::u16string(kMixedWide));
}

TEST(MultiByteToWideCharTest, TooSmallBufferFailsWithoutWritingPastIt) {
  char16_t out[8];
  for (auto& c : out) c = u'#';
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kMixed, -1, out, 5), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  for (int i = 5; i < 8; ++i) EXPECT_EQ(out[i], u'#');
}

TEST(MultiByteToWideCharTest, BadArgumentsAndStrictMode) {
  char16_t out[4];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, out, 4), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, out, 4), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -2, out, 4), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 4), 0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", 3, out, 4), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3", 2, out, 4), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xC3", 2, out, 4), 2);
  EXPECT_EQ(out[1], 0xFFFD);
}

TEST(WideCharToMultiByteTest, SizeQueryAndConversion) {
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kMixedWide, -1, nullptr, 0, nullptr, nullptr), 11);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kMixedWide, 5, nullptr, 0, nullptr, nullptr), 10);
  char out[11];
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, kMixedWide, -1, out, 11, nullptr, nullptr), 11);
  EXPECT_STREQ(out, kMixed);

  char small[10];
  std::memset(small, '#', sizeof small);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kMixedWide, -1, small, 9, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(small[9], '#');
}

TEST(WideCharToMultiByteTest, LoneSurrogateReplacementPerCodePage) {
  const char16_t text[] = {u'a', 0xDC00, u'b', 0};
  char out[16];
  BOOL used = FALSE;
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, 16, nullptr, &used), 4);
  EXPECT_STREQ(out, "a?b");
  EXPECT_TRUE(used);
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, 16, "*", &used), 4);
  EXPECT_STREQ(out, "a*b");
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, u"ok", -1, out, 16, nullptr, &used), 3);
  EXPECT_FALSE(used);

  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 16, nullptr, nullptr), 6);
  EXPECT_STREQ(out, "a\xEF\xBF\xBD" "b");
  // CP_UTF8 takes no default character, and strict mode refuses the surrogate.
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 16, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, 16, nullptr, nullptr),
            0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(NarrowField, CutsBeforeAMultiByteCharacterNeverInsideIt) {
  // A 48-character name field (49 bytes with the terminator): 47 ASCII bytes
  // then a 2-byte character that would end one byte past the limit.
  std::string name(47, 'Q');
  name += "\xC3\xA9";
  char field[49];
  std::memset(field, '#', sizeof field);
  EXPECT_EQ(CopyToNarrowField(name, field, sizeof field), 47u);
  EXPECT_EQ(std::string(field), std::string(47, 'Q'));

  // Exactly 48 bytes fit whole.
  std::string fits(46, 'Q');
  fits += "\xC3\xA9";
  EXPECT_EQ(CopyToNarrowField(fits, field, sizeof field), 48u);
  EXPECT_EQ(std::string(field), fits);

  // A 4-byte character straddling the limit at each possible offset.
  for (size_t lead = 44; lead <= 48; ++lead) {
    std::string s(lead, 'x');
    s += "\xF0\x9F\x98\x80";
    size_t n = CopyToNarrowField(s, field, sizeof field);
    EXPECT_EQ(n, lead <= 44 ? lead + 4 : lead > 48 ? 48 : lead) << lead;
    EXPECT_EQ(std::strlen(field), n);
    EXPECT_EQ(Utf8ToUtf16(field).find(u'\uFFFD'), std::u16string::npos) << lead;
  }
}

TEST(NarrowField, DegenerateFieldsAndInvalidBytes) {
  char one[1] = {'#'};
  EXPECT_EQ(CopyToNarrowField("abc", one, 1), 0u);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(CopyToNarrowField("abc", nullptr, 5), 0u);
  // Stray bytes are single characters: they are cut like ASCII.
  char field[4];
  EXPECT_EQ(CopyToNarrowField("\x80\x80\x80\x80\x80", field, sizeof field), 3u);
  // A truncated sequence at the cut is dropped, not half-copied.
  EXPECT_EQ(CopyToNarrowField("ab\xE2\x82\xAC", field, sizeof field), 2u);
}

TEST(WideField, NeverSplitsASurrogatePair) {
  char16_t field[4];
  EXPECT_EQ(CopyToWideField(u"ab\U0001F600", field, 4), 2u);
  EXPECT_EQ(std::u16string(field), u"ab");
  EXPECT_EQ(CopyToWideField(u"a\U0001F600", field, 4), 3u);
  EXPECT_EQ(std::u16string(field), u"a\U0001F600");
  char narrow[5];
  EXPECT_EQ(WideToNarrowField(u"ab\u20AC", narrow, sizeof narrow), 2u);
  EXPECT_STREQ(narrow, "ab");
}

}  // namespace
