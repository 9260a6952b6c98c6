// GUID text forms, identifier definitions, and result-code names.
#include <gtest/gtest.h>

#include <string>
#include <unordered_map>
#include <algorithm>
#include <cstring>

#include "platform/com/com.h"
#include "platform/win32/error_codes.h"

namespace {

using krsoap::com::GuidToString;
using krsoap::com::GuidToUtf8;
using krsoap::com::MakeGuid;
using krsoap::com::ParseGuid;

constexpr GUID kSample = MakeGuid("{1EB2490B-297B-43E5-9E09-574C93159987}");
DEFINE_GUID(kSampleByValues, 0x1EB2490B, 0x297B, 0x43E5, 0x9E, 0x09, 0x57, 0x4C, 0x93, 0x15, 0x99, 0x87);

// MakeGuid is usable in constant expressions and agrees with the value form.
static_assert(kSample == kSampleByValues);
static_assert(MakeGuid("00020400-0000-0000-C000-000000000046") == IID_IDispatch);

TEST(Guid, FormatsUpperCaseBracedAndParsesBack) {
  EXPECT_EQ(GuidToUtf8(kSample), "{1EB2490B-297B-43E5-9E09-574C93159987}");
  EXPECT_EQ(GuidToUtf8(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidToString(IID_IStream), u"{0000000C-0000-0000-C000-000000000046}");
  for (const GUID& g : {kSample, IID_IUnknown, IID_IDispatch, IID_ISupportErrorInfo, GUID_NULL}) {
    auto back = ParseGuid(GuidToString(g));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, g);
  }
  const GUID all_ones = MakeGuid("{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}");
  EXPECT_EQ(all_ones.Data1, 0xFFFFFFFFu);
  EXPECT_EQ(all_ones.Data4[7], 0xFF);
}

TEST(Guid, ParsingIsCaseInsensitiveAndFieldsLandInPlace) {
  auto g = ParseGuid(std::string_view("{1eb2490b-297b-43e5-9e09-574c93159987}"));
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(*g, kSample);
  EXPECT_EQ(g->Data1, 0x1EB2490Bu);
  EXPECT_EQ(g->Data2, 0x297B);
  EXPECT_EQ(g->Data3, 0x43E5);
  EXPECT_EQ(g->Data4[0], 0x9E);
  EXPECT_EQ(g->Data4[1], 0x09);
  EXPECT_EQ(g->Data4[2], 0x57);
}

TEST(Guid, MalformedTextIsRejected) {
  const char* bad[] = {
      "",
      "1EB2490B-297B-43E5-9E09-574C93159987",     // no braces
      "{1EB2490B-297B-43E5-9E09-574C93159987",    // no closing brace
      "1EB2490B-297B-43E5-9E09-574C93159987}",    // no opening brace
      "{1EB2490B-297B-43E5-9E09-574C9315998}",    // one digit short
      "{1EB2490B-297B-43E5-9E09-574C931599870}",  // one digit long
      "{1EB2490B-297B-43E5-9E09-574C93159987}x",  // trailing garbage
      " {1EB2490B-297B-43E5-9E09-574C93159987}",  // leading blank
      "{1EB2490B-297B-43E5-9E09-574C9315998G}",   // not hexadecimal
      "{1EB2490B0297B-43E5-9E09-574C93159987}",   // dash missing
      "{1EB2490-B297B-43E5-9E09-574C93159987}",   // dash misplaced
      "{+EB2490B-297B-43E5-9E09-574C93159987}",   // sign
      "(1EB2490B-297B-43E5-9E09-574C93159987)",   // wrong brackets
  };
  for (const char* text : bad) {
    EXPECT_FALSE(ParseGuid(std::string_view(text)).has_value()) << text;
    EXPECT_FALSE(ParseGuid(std::u16string(text, text + std::strlen(text))).has_value()) << text;
  }
  // An embedded zero in an otherwise well-formed text.
  std::string with_nul = "{1EB2490B-297B-43E5-9E09-574C93159987}";
  with_nul[10] = '\0';
  EXPECT_FALSE(ParseGuid(std::string_view(with_nul)).has_value());
  // Run-time MakeGuid on bad text yields GUID_NULL rather than garbage.
  std::string runtime_text = "{not a guid}";
  EXPECT_EQ(MakeGuid(runtime_text), GUID_NULL);
}

TEST(Guid, IIDFromStringFollowsWindowsResults) {
  IID iid = kSample;
  EXPECT_EQ(IIDFromString(u"{00020400-0000-0000-C000-000000000046}", &iid), S_OK);
  EXPECT_EQ(iid, IID_IDispatch);

  iid = kSample;
  EXPECT_EQ(IIDFromString(nullptr, &iid), S_OK);
  EXPECT_EQ(iid, IID_NULL);

  iid = kSample;
  EXPECT_EQ(IIDFromString(u"00020400-0000-0000-C000-000000000046", &iid), E_INVALIDARG);
  EXPECT_EQ(iid, IID_NULL);
  // The zero cuts the string short: what is left is too short to be valid.
  const char16_t embedded[] = u"{00020400-0000\0-0000-C000-000000000046}";
  EXPECT_EQ(IIDFromString(embedded, &iid), E_INVALIDARG);
  EXPECT_EQ(IIDFromString(u"{00020400-0000-0000-C000-000000000046}}", &iid), E_INVALIDARG);
  EXPECT_EQ(IIDFromString(u"{00020400-0000-0000-C000-000000000046}", nullptr), E_INVALIDARG);
}

TEST(Guid, StringFromGuid2NeedsRoomForTheTerminator) {
  OLECHAR buffer[CHARS_IN_GUID + 1];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(StringFromGUID2(kSample, buffer, CHARS_IN_GUID), CHARS_IN_GUID);
  EXPECT_EQ(std::u16string(buffer), u"{1EB2490B-297B-43E5-9E09-574C93159987}");
  EXPECT_EQ(buffer[CHARS_IN_GUID], u'#');  // nothing written past the terminator

  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(StringFromGUID2(kSample, buffer, CHARS_IN_GUID - 1), 0);
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(StringFromGUID2(kSample, nullptr, 100), 0);
}

TEST(Guid, StringFromClsidAllocatesWithTheTaskAllocator) {
  LPOLESTR text = nullptr;
  ASSERT_EQ(StringFromCLSID(kSample, &text), S_OK);
  EXPECT_EQ(std::u16string(text), u"{1EB2490B-297B-43E5-9E09-574C93159987}");
  CoTaskMemFree(text);
  EXPECT_EQ(StringFromIID(IID_IUnknown, nullptr), E_INVALIDARG);
}

TEST(Guid, UsableAsHashKey) {
  std::unordered_map<GUID, int> map;
  GUID g = kSample;
  for (int i = 0; i < 256; ++i) {
    g.Data4[7] = static_cast<BYTE>(i);
    map[g] = i;
  }
  EXPECT_EQ(map.size(), 256u);
  g.Data4[7] = 77;
  EXPECT_EQ(map.at(g), 77);
  EXPECT_NE(std::hash<GUID>{}(IID_IUnknown), std::hash<GUID>{}(IID_IClassFactory));
}

TEST(HResult, NamesMessagesAndMacros) {
  EXPECT_EQ(krsoap::com::HResultName(S_OK), "S_OK");
  EXPECT_EQ(krsoap::com::HResultName(E_NOINTERFACE), "E_NOINTERFACE");
  EXPECT_EQ(krsoap::com::HResultName(KR_HRESULT(0x80020009)), "DISP_E_EXCEPTION");
  EXPECT_EQ(krsoap::com::HResultName(KR_HRESULT(0x80040154)), "REGDB_E_CLASSNOTREG");
  EXPECT_EQ(krsoap::com::HResultName(KR_HRESULT(0x80010106)), "RPC_E_CHANGED_MODE");
  EXPECT_EQ(krsoap::com::HResultName(KR_HRESULT(0x80029C4A)), "TYPE_E_CANTLOADLIBRARY");
  EXPECT_EQ(krsoap::com::HResultName(KR_HRESULT(0x80041234)), "0x80041234");
  EXPECT_EQ(krsoap::com::HResultName(KR_HRESULT(0x00000002)), "0x00000002");
  EXPECT_EQ(krsoap::com::HResultNameOrNull(KR_HRESULT(0x80041234)), nullptr);

  EXPECT_EQ(krsoap::com::HResultMessage(E_NOINTERFACE), "No such interface supported");
  EXPECT_EQ(krsoap::com::HResultMessage(HRESULT_FROM_WIN32(2)), "Win32 error 2");
  EXPECT_EQ(krsoap::com::HResultMessage(KR_HRESULT(0x80041234)), "Unknown error 0x80041234");

  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), E_ACCESSDENIED);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_OUTOFMEMORY), E_OUTOFMEMORY);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), E_INVALIDARG);
  EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
  EXPECT_EQ(HRESULT_FROM_WIN32(E_FAIL), E_FAIL);  // already an HRESULT
  EXPECT_EQ(MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x111), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(HRESULT_FACILITY(DISP_E_TYPEMISMATCH), static_cast<uint32_t>(FACILITY_DISPATCH));
  EXPECT_EQ(HRESULT_CODE(E_INVALIDARG), 0x57u);
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
  EXPECT_TRUE(FAILED(E_UNEXPECTED));
  EXPECT_FALSE(FAILED(S_OK));
}

// The codes are constant expressions, usable as case labels.
int Classify(HRESULT hr) {
  switch (hr) {
    case S_OK:
      return 0;
    case E_FAIL:
      return 1;
    case STG_E_CANTSAVE:
      return 2;
    default:
      return 3;
  }
}

TEST(HResult, CodesWorkAsCaseLabels) {
  EXPECT_EQ(Classify(KR_HRESULT(0x80030103)), 2);
  EXPECT_EQ(Classify(KR_HRESULT(0x80004005)), 1);
}

}  // namespace
