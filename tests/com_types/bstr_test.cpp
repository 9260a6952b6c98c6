// BSTR allocation, length prefix, re-allocation and the RAII owner.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "platform/com/com.h"

namespace {

using krsoap::com::BstrPtr;

uint32_t Prefix(BSTR b) {
  uint32_t n;
  std::memcpy(&n, reinterpret_cast<const char*>(b) - 4, 4);
  return n;
}

TEST(Bstr, NullBehavesAsEmpty) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_TRUE(krsoap::com::BstrView(nullptr).empty());
  EXPECT_EQ(krsoap::com::BstrToUtf8(nullptr), "");

  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], u'\0');
  SysFreeString(empty);
}

TEST(Bstr, LengthOfZeroTerminatedSourceAtEveryAlignment) {
  char16_t buffer[64];
  for (size_t start = 0; start < 8; ++start) {
    for (size_t length = 0; length < 40; ++length) {
      for (size_t i = 0; i < 64; ++i) buffer[i] = u'a' + static_cast<char16_t>(i % 26);
      buffer[start + length] = u'\0';
      BSTR b = SysAllocString(buffer + start);
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(SysStringLen(b), length) << start << "/" << length;
      EXPECT_EQ(std::memcmp(b, buffer + start, length * 2), 0);
      SysFreeString(b);
    }
  }
}

TEST(Bstr, SourceEndingAtAPageBoundaryIsNotOverread) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char* base = static_cast<char*>(map);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  // The terminator is the last character before the inaccessible page.
  for (size_t length : {0u, 1u, 7u, 8u, 9u, 100u}) {
    char16_t* text = reinterpret_cast<char16_t*>(base + page) - (length + 1);
    for (size_t i = 0; i < length; ++i) text[i] = u'z';
    text[length] = u'\0';
    BSTR b = SysAllocString(text);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), length);
    SysFreeString(b);
  }
  munmap(map, 2 * page);
}

TEST(Bstr, LayoutIsByteCountPrefixAndTerminator) {
  BSTR b = SysAllocString(u"hello");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Prefix(b), 10u);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(SysStringByteLen(b), 10u);
  EXPECT_EQ(b[5], u'\0');
  SysFreeString(b);
}

TEST(Bstr, EmbeddedZerosAreKept) {
  const char16_t text[] = {u'a', u'\0', u'b', u'\0', u'c'};
  BSTR b = SysAllocStringLen(text, 5);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(std::memcmp(b, text, sizeof text), 0);
  EXPECT_EQ(b[5], u'\0');

  // Copies made by VariantCopy keep them too.
  VARIANT a, c;
  VariantInit(&a);
  VariantInit(&c);
  a.vt = VT_BSTR;
  a.bstrVal = b;
  ASSERT_EQ(VariantCopy(&c, &a), S_OK);
  EXPECT_NE(c.bstrVal, b);
  EXPECT_EQ(SysStringLen(c.bstrVal), 5u);
  EXPECT_EQ(std::memcmp(c.bstrVal, text, sizeof text), 0);
  VariantClear(&a);
  VariantClear(&c);
}

TEST(Bstr, ByteLengthMayBeOdd) {
  BSTR b = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringByteLen(b), 3u);
  EXPECT_EQ(SysStringLen(b), 1u);
  const char* bytes = reinterpret_cast<const char*>(b);
  EXPECT_EQ(std::memcmp(bytes, "abc", 3), 0);
  // A whole zero character follows the data, wherever the data ends.
  EXPECT_EQ(bytes[3], '\0');
  EXPECT_EQ(b[2], u'\0');
  SysFreeString(b);

  BSTR zeros = SysAllocStringByteLen(nullptr, 5);
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(SysStringByteLen(zeros), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(reinterpret_cast<const char*>(zeros)[i], 0);
  SysFreeString(zeros);

  BSTR chars = SysAllocStringLen(nullptr, 4);
  ASSERT_NE(chars, nullptr);
  EXPECT_EQ(SysStringLen(chars), 4u);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(chars[i], u'\0');
  SysFreeString(chars);
}

TEST(Bstr, HugeLengthsFailWithoutWrapping) {
  EXPECT_EQ(SysAllocStringLen(u"x", 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x7FFFFFFFu), nullptr);  // 4 GB of bytes
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFCu), nullptr);

  BSTR b = SysAllocString(u"keep");
  EXPECT_EQ(SysReAllocStringLen(&b, nullptr, 0xFFFFFFFFu), FALSE);
  EXPECT_EQ(std::u16string(b), u"keep");  // untouched on failure
  SysFreeString(b);
}

TEST(Bstr, ReallocationFromInsideItself) {
  BSTR b = SysAllocString(u"hello world");
  ASSERT_EQ(SysReAllocString(&b, b + 6), TRUE);
  EXPECT_EQ(std::u16string(b), u"world");
  EXPECT_EQ(SysStringLen(b), 5u);

  ASSERT_EQ(SysReAllocStringLen(&b, b, 3), TRUE);
  EXPECT_EQ(std::u16string(b), u"wor");

  ASSERT_EQ(SysReAllocString(&b, b), TRUE);  // onto itself
  EXPECT_EQ(std::u16string(b), u"wor");

  // A null source keeps the old characters and zero-fills the new ones.
  ASSERT_EQ(SysReAllocStringLen(&b, nullptr, 5), TRUE);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(b[0], u'w');
  EXPECT_EQ(b[2], u'r');
  EXPECT_EQ(b[3], u'\0');
  EXPECT_EQ(b[4], u'\0');
  ASSERT_EQ(SysReAllocStringLen(&b, nullptr, 1), TRUE);
  EXPECT_EQ(std::u16string(b), u"w");

  ASSERT_EQ(SysReAllocString(&b, nullptr), TRUE);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 0u);
  SysFreeString(b);

  EXPECT_EQ(SysReAllocString(nullptr, u"x"), FALSE);
  BSTR from_null = nullptr;
  ASSERT_EQ(SysReAllocString(&from_null, u"made"), TRUE);
  EXPECT_EQ(std::u16string(from_null), u"made");
  SysFreeString(from_null);
}

TEST(Bstr, OwnerAndUtf8Conversion) {
  BstrPtr a(krsoap::com::AllocBstrFromUtf8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_EQ(a.Length(), 7u);  // the emoji takes a surrogate pair
  EXPECT_EQ(a.Utf8(), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  BstrPtr b(std::move(a));
  EXPECT_EQ(a.get(), nullptr);
  EXPECT_EQ(b.View(), u"caf\u00E9 \U0001F600");
  SysReAllocString(b.Out(), u"again");  // Out() frees the old string first
  EXPECT_EQ(b.View(), u"again");
  BSTR raw = b.Release();
  EXPECT_EQ(b.get(), nullptr);
  SysFreeString(raw);
}

TEST(Bstr, AllocatedOnOneThreadFreedOnAnother) {
  std::vector<BSTR> strings(1000);
  std::thread maker([&] {
    for (size_t i = 0; i < strings.size(); ++i) strings[i] = SysAllocStringLen(u"0123456789", i % 10);
  });
  maker.join();
  std::thread freer([&] {
    for (BSTR s : strings) SysFreeString(s);
  });
  freer.join();
}

TEST(TaskMemory, AllocReallocFree) {
  void* p = CoTaskMemAlloc(0);
  EXPECT_NE(p, nullptr);
  p = CoTaskMemRealloc(p, 64);
  ASSERT_NE(p, nullptr);
  std::memset(p, 0x5A, 64);
  EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // frees
  void* q = CoTaskMemRealloc(nullptr, 8);
  EXPECT_NE(q, nullptr);
  CoTaskMemFree(q);
  CoTaskMemFree(nullptr);
}

}  // namespace
