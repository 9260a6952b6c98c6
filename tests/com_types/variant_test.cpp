// VARIANT ownership (clear, copy, copy with dereference) and conversion
// between the Automation types.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "platform/com/com.h"
#include "tests/com_types/test_objects.h"

namespace {

using krsoap::com::VariantHolder;
using krsoap::test::PlainObject;
using krsoap::test::ValueObject;

VARIANT I4(LONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}
VARIANT R8(double v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_R8;
  x.dblVal = v;
  return x;
}
VARIANT Bool(bool v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BOOL;
  x.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
  return x;
}
// The caller owns the string; wrap it in a VariantHolder.
VariantHolder Text(std::u16string_view text) {
  VariantHolder h;
  h->vt = VT_BSTR;
  h->bstrVal = krsoap::com::AllocBstr(text);
  return h;
}
VARIANT OfType(VARTYPE vt) {
  VARIANT x;
  VariantInit(&x);
  x.vt = vt;
  return x;
}

struct Converted {
  HRESULT hr;
  VariantHolder value;
};
Converted Change(const VARIANT& from, VARTYPE to, USHORT flags = 0) {
  Converted c;
  c.hr = VariantChangeType(c.value.get(), &from, flags, to);
  return c;
}
std::u16string TextOf(const Converted& c) {
  EXPECT_EQ(c.value->vt, VT_BSTR);
  return std::u16string(krsoap::com::BstrView(c.value->bstrVal));
}

// ---------------------------------------------------------------------------
// Ownership

TEST(VariantOwnership, ClearReleasesWhatTheVariantOwns) {
  PlainObject object;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = &object;
  object.AddRef();
  ASSERT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(object.refs(), 1u);

  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"freed by clear");  // a leak here fails under LSan
  ASSERT_EQ(VariantClear(&v), S_OK);

  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
  LONG i = 1;
  BSTR element = SysAllocString(u"x");
  ASSERT_EQ(SafeArrayPutElement(v.parray, &i, element), S_OK);  // the array keeps its own copy
  SysFreeString(element);
  ASSERT_EQ(VariantClear(&v), S_OK);
}

TEST(VariantOwnership, ClearLeavesReferencedValuesAlone) {
  BSTR owned_elsewhere = SysAllocString(u"still mine");
  PlainObject object;
  IUnknown* unknown = &object;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | VT_BSTR;
  v.pbstrVal = &owned_elsewhere;
  ASSERT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(std::u16string(owned_elsewhere), u"still mine");
  v.vt = VT_BYREF | VT_UNKNOWN;
  v.ppunkVal = &unknown;
  ASSERT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.refs(), 1u);
  SysFreeString(owned_elsewhere);
}

TEST(VariantOwnership, ClearRefusesBadTypesAndLockedArrays) {
  VARIANT v = OfType(15);  // unused type number
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, 15);
  v.vt = VT_VECTOR | VT_I4;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  v.vt = VT_VARIANT;  // only valid by reference or as an array
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);

  v.vt = VT_ARRAY | VT_I4;
  v.parray = SafeArrayCreateVector(VT_I4, 0, 4);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(v.parray, &data), S_OK);
  EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_I4);  // intact, nothing freed
  ASSERT_EQ(SafeArrayUnaccessData(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(VariantOwnership, CopyDuplicatesOwnedValues) {
  PlainObject object;
  VariantHolder source;
  source->vt = VT_UNKNOWN;
  source->punkVal = &object;
  object.AddRef();
  VariantHolder copy;
  ASSERT_EQ(VariantCopy(copy.get(), source.get()), S_OK);
  EXPECT_EQ(copy->punkVal, &object);
  EXPECT_EQ(object.refs(), 3u);
  // Copying over a variant releases its old value first.
  VariantHolder text = Text(u"text");
  ASSERT_EQ(VariantCopy(copy.get(), text.get()), S_OK);
  EXPECT_EQ(object.refs(), 2u);
  EXPECT_NE(copy->bstrVal, text->bstrVal);
  EXPECT_EQ(krsoap::com::BstrView(copy->bstrVal), u"text");
  // Odd byte lengths survive the copy.
  VariantHolder odd;
  odd->vt = VT_BSTR;
  odd->bstrVal = SysAllocStringByteLen("abc", 3);
  ASSERT_EQ(VariantCopy(copy.get(), odd.get()), S_OK);
  EXPECT_EQ(SysStringByteLen(copy->bstrVal), 3u);
  // A null BSTR copies as null.
  VariantHolder null_text;
  null_text->vt = VT_BSTR;
  null_text->bstrVal = nullptr;
  ASSERT_EQ(VariantCopy(copy.get(), null_text.get()), S_OK);
  EXPECT_EQ(copy->vt, VT_BSTR);
  EXPECT_EQ(copy->bstrVal, nullptr);
  // Self-copy changes nothing.
  ASSERT_EQ(VariantCopy(text.get(), text.get()), S_OK);
  EXPECT_EQ(krsoap::com::BstrView(text->bstrVal), u"text");
}

TEST(VariantOwnership, CopyOfArrayIsDeep) {
  VariantHolder source;
  source->vt = VT_ARRAY | VT_BSTR;
  source->parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
  LONG i = 0;
  BSTR element = SysAllocString(u"element");
  SafeArrayPutElement(source->parray, &i, element);
  SysFreeString(element);
  VariantHolder copy;
  ASSERT_EQ(VariantCopy(copy.get(), source.get()), S_OK);
  ASSERT_NE(copy->parray, source->parray);
  VariantClear(source.get());
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(copy->parray, &i, &got), S_OK);
  EXPECT_EQ(std::u16string(got), u"element");
  SysFreeString(got);
}

TEST(VariantOwnership, CopyIndDereferences) {
  LONG number = 41;
  VARIANT by_ref = OfType(VT_BYREF | VT_I4);
  by_ref.plVal = &number;
  VariantHolder out;
  ASSERT_EQ(VariantCopyInd(out.get(), &by_ref), S_OK);
  EXPECT_EQ(out->vt, VT_I4);
  EXPECT_EQ(out->lVal, 41);

  BSTR text = SysAllocString(u"by reference");
  VARIANT text_ref = OfType(VT_BYREF | VT_BSTR);
  text_ref.pbstrVal = &text;
  ASSERT_EQ(VariantCopyInd(out.get(), &text_ref), S_OK);
  EXPECT_EQ(out->vt, VT_BSTR);
  EXPECT_NE(out->bstrVal, text);
  SysFreeString(text);  // the copy is independent
  EXPECT_EQ(krsoap::com::BstrView(out->bstrVal), u"by reference");

  VariantHolder inner = Text(u"inner");
  VARIANT variant_ref = OfType(VT_BYREF | VT_VARIANT);
  variant_ref.pvarVal = inner.get();
  ASSERT_EQ(VariantCopyInd(out.get(), &variant_ref), S_OK);
  EXPECT_EQ(out->vt, VT_BSTR);
  EXPECT_NE(out->bstrVal, inner->bstrVal);

  // In place: the reference is replaced by its value.
  VARIANT in_place = by_ref;
  ASSERT_EQ(VariantCopyInd(&in_place, &in_place), S_OK);
  EXPECT_EQ(in_place.vt, VT_I4);
  EXPECT_EQ(in_place.lVal, 41);

  VARIANT dangling = OfType(VT_BYREF | VT_I4);
  dangling.plVal = nullptr;
  EXPECT_EQ(VariantCopyInd(out.get(), &dangling), E_INVALIDARG);

  VARIANT nested = OfType(VT_BYREF | VT_VARIANT);
  nested.pvarVal = &variant_ref;
  EXPECT_EQ(VariantCopyInd(out.get(), &nested), E_INVALIDARG);
}

// ---------------------------------------------------------------------------
// Conversion

TEST(VariantChangeType, IntegerRangesOverflow) {
  EXPECT_EQ(Change(I4(70000), VT_I2).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(I4(-32769), VT_I2).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(I4(-32768), VT_I2).value->iVal, -32768);
  EXPECT_EQ(Change(I4(-1), VT_UI1).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(I4(256), VT_UI1).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(I4(255), VT_UI1).value->bVal, 255);
  EXPECT_EQ(Change(I4(-1), VT_UI4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(I4(-129), VT_I1).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(I4(-1), VT_UI8).hr, DISP_E_OVERFLOW);

  VARIANT big = OfType(VT_UI4);
  big.ulVal = 0xFFFFFFFFu;
  EXPECT_EQ(Change(big, VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(big, VT_I8).value->llVal, 0xFFFFFFFFll);
  VARIANT max64 = OfType(VT_UI8);
  max64.ullVal = std::numeric_limits<ULONGLONG>::max();
  EXPECT_EQ(Change(max64, VT_I8).hr, DISP_E_OVERFLOW);
  VARIANT min64 = OfType(VT_I8);
  min64.llVal = std::numeric_limits<LONGLONG>::min();
  EXPECT_EQ(Change(min64, VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(min64, VT_R8).value->dblVal, -9223372036854775808.0);

  Converted as_int = Change(I4(-5), VT_INT);
  EXPECT_EQ(as_int.value->vt, VT_INT);
  EXPECT_EQ(as_int.value->intVal, -5);
}

TEST(VariantChangeType, RealsRoundHalfToEven) {
  EXPECT_EQ(Change(R8(2.5), VT_I4).value->lVal, 2);
  EXPECT_EQ(Change(R8(3.5), VT_I4).value->lVal, 4);
  EXPECT_EQ(Change(R8(-2.5), VT_I4).value->lVal, -2);
  EXPECT_EQ(Change(R8(-3.5), VT_I4).value->lVal, -4);
  EXPECT_EQ(Change(R8(2.5000001), VT_I4).value->lVal, 3);
  EXPECT_EQ(Change(R8(0.5), VT_UI1).value->bVal, 0);
  EXPECT_EQ(Change(R8(1.5), VT_UI1).value->bVal, 2);
  EXPECT_EQ(Change(R8(-0.4), VT_UI1).value->bVal, 0);
  EXPECT_EQ(Change(R8(-0.6), VT_UI1).hr, DISP_E_OVERFLOW);
  // The range is checked on the rounded value.
  EXPECT_EQ(Change(R8(2147483647.4), VT_I4).value->lVal, 2147483647);
  EXPECT_EQ(Change(R8(2147483647.5), VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(R8(-2147483648.5), VT_I4).value->lVal, std::numeric_limits<LONG>::min());
  EXPECT_EQ(Change(R8(9.3e18), VT_I8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(R8(1e30), VT_UI8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(R8(std::nan("")), VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(R8(INFINITY), VT_I2).hr, DISP_E_OVERFLOW);

  EXPECT_EQ(Change(R8(1e300), VT_R4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(R8(1.5), VT_R4).value->fltVal, 1.5f);
  EXPECT_EQ(Change(R8(0.0), VT_BOOL).value->boolVal, VARIANT_FALSE);
  EXPECT_EQ(Change(R8(0.25), VT_BOOL).value->boolVal, VARIANT_TRUE);
}

TEST(VariantChangeType, TextToNumbers) {
  EXPECT_EQ(Change(*Text(u"  12 ").get(), VT_I4).value->lVal, 12);
  EXPECT_EQ(Change(*Text(u"\t-7\r\n").get(), VT_I4).value->lVal, -7);
  EXPECT_EQ(Change(*Text(u"+8").get(), VT_I2).value->iVal, 8);
  EXPECT_EQ(Change(*Text(u"1,000").get(), VT_I4).value->lVal, 1000);
  EXPECT_EQ(Change(*Text(u"2.5").get(), VT_I4).value->lVal, 2);
  EXPECT_EQ(Change(*Text(u"3.5").get(), VT_I4).value->lVal, 4);
  EXPECT_EQ(Change(*Text(u"2.50000000000000000001").get(), VT_I4).value->lVal, 3);
  EXPECT_EQ(Change(*Text(u"1e3").get(), VT_I4).value->lVal, 1000);
  EXPECT_EQ(Change(*Text(u"1.5E+2").get(), VT_I4).value->lVal, 150);
  EXPECT_EQ(Change(*Text(u".5").get(), VT_R8).value->dblVal, 0.5);
  EXPECT_EQ(Change(*Text(u"000123").get(), VT_I4).value->lVal, 123);
  EXPECT_EQ(Change(*Text(u"0.0001").get(), VT_I4).value->lVal, 0);

  for (const char16_t* bad : {u"abc", u"", u"   ", u"12abc", u"1 2", u"--1", u"1e", u"e5", u".", u",1", u"1.2.3"}) {
    EXPECT_EQ(Change(*Text(bad).get(), VT_I4).hr, DISP_E_TYPEMISMATCH) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
  }
  VariantHolder null_text;
  null_text->vt = VT_BSTR;
  null_text->bstrVal = nullptr;
  EXPECT_EQ(Change(*null_text.get(), VT_I4).hr, DISP_E_TYPEMISMATCH);
  // An embedded zero ends the text.
  const char16_t with_zero[] = {u'1', u'2', u'\0', u'x', u'y'};
  EXPECT_EQ(Change(*Text(std::u16string_view(with_zero, 5)).get(), VT_I4).value->lVal, 12);
  const char16_t zero_first[] = {u'\0', u'1'};
  EXPECT_EQ(Change(*Text(std::u16string_view(zero_first, 2)).get(), VT_I4).hr, DISP_E_TYPEMISMATCH);

  EXPECT_EQ(Change(*Text(u"99999999999").get(), VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(*Text(u"18446744073709551615").get(), VT_UI8).value->ullVal,
            std::numeric_limits<ULONGLONG>::max());
  EXPECT_EQ(Change(*Text(u"18446744073709551616").get(), VT_UI8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(*Text(u"-9223372036854775808").get(), VT_I8).value->llVal, std::numeric_limits<LONGLONG>::min());
  EXPECT_EQ(Change(*Text(u"1e999999999999").get(), VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(*Text(u"1e400").get(), VT_R8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(*Text(u"1e-400").get(), VT_R8).value->dblVal, 0.0);
  EXPECT_EQ(Change(*Text(u"1e39").get(), VT_R4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Change(*Text(u"0.1").get(), VT_R8).value->dblVal, 0.1);
  // A long digit string does not overflow the integer arithmetic.
  std::u16string long_number(5000, u'9');
  EXPECT_EQ(Change(*Text(long_number).get(), VT_I8).hr, DISP_E_OVERFLOW);
  std::u16string long_fraction = u"0." + std::u16string(5000, u'9');
  EXPECT_EQ(Change(*Text(long_fraction).get(), VT_I4).value->lVal, 1);
}

TEST(VariantChangeType, Booleans) {
  EXPECT_EQ(Change(Bool(true), VT_I4).value->lVal, -1);
  EXPECT_EQ(Change(Bool(false), VT_I4).value->lVal, 0);
  EXPECT_EQ(Change(Bool(true), VT_I2).value->iVal, -1);
  EXPECT_EQ(Change(Bool(true), VT_R8).value->dblVal, -1.0);
  // Unsigned targets keep TRUE's bit pattern.
  EXPECT_EQ(Change(Bool(true), VT_UI1).value->bVal, 255);
  EXPECT_EQ(Change(Bool(true), VT_UI2).value->uiVal, 65535);
  EXPECT_EQ(Change(I4(0), VT_BOOL).value->boolVal, VARIANT_FALSE);
  EXPECT_EQ(Change(I4(5), VT_BOOL).value->boolVal, VARIANT_TRUE);

  EXPECT_EQ(Change(*Text(u"True").get(), VT_BOOL).value->boolVal, VARIANT_TRUE);
  EXPECT_EQ(Change(*Text(u" false ").get(), VT_BOOL).value->boolVal, VARIANT_FALSE);
  EXPECT_EQ(Change(*Text(u"#TRUE#").get(), VT_BOOL).value->boolVal, VARIANT_TRUE);
  EXPECT_EQ(Change(*Text(u"#False#").get(), VT_BOOL).value->boolVal, VARIANT_FALSE);
  EXPECT_EQ(Change(*Text(u"0").get(), VT_BOOL).value->boolVal, VARIANT_FALSE);
  EXPECT_EQ(Change(*Text(u"2").get(), VT_BOOL).value->boolVal, VARIANT_TRUE);
  EXPECT_EQ(Change(*Text(u"-0.5").get(), VT_BOOL).value->boolVal, VARIANT_TRUE);
  EXPECT_EQ(Change(*Text(u"yes").get(), VT_BOOL).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(*Text(u"truex").get(), VT_BOOL).hr, DISP_E_TYPEMISMATCH);

  // As text a boolean is its number unless the words are asked for.
  EXPECT_EQ(TextOf(Change(Bool(true), VT_BSTR)), u"-1");
  EXPECT_EQ(TextOf(Change(Bool(false), VT_BSTR)), u"0");
  EXPECT_EQ(TextOf(Change(Bool(true), VT_BSTR, VARIANT_ALPHABOOL)), u"True");
  EXPECT_EQ(TextOf(Change(Bool(false), VT_BSTR, VARIANT_ALPHABOOL)), u"False");
  EXPECT_EQ(TextOf(Change(Bool(true), VT_BSTR, VARIANT_LOCALBOOL)), u"True");
}

TEST(VariantChangeType, NumbersToText) {
  EXPECT_EQ(TextOf(Change(I4(-123), VT_BSTR)), u"-123");
  EXPECT_EQ(TextOf(Change(R8(0.1), VT_BSTR)), u"0.1");
  EXPECT_EQ(TextOf(Change(R8(1.5), VT_BSTR)), u"1.5");
  EXPECT_EQ(TextOf(Change(R8(100000), VT_BSTR)), u"100000");
  EXPECT_EQ(TextOf(Change(R8(1e20), VT_BSTR)), u"1E+20");
  EXPECT_EQ(TextOf(Change(R8(1e-5), VT_BSTR)), u"1E-05");
  EXPECT_EQ(TextOf(Change(R8(-0.0), VT_BSTR)), u"0");
  EXPECT_EQ(TextOf(Change(R8(1.0 / 3), VT_BSTR)), u"0.333333333333333");
  EXPECT_EQ(TextOf(Change(R8(123456789012345678.0), VT_BSTR)), u"1.23456789012346E+17");
  VARIANT f = OfType(VT_R4);
  f.fltVal = 0.1f;
  EXPECT_EQ(TextOf(Change(f, VT_BSTR)), u"0.1");
  f.fltVal = 1.0f / 3;
  EXPECT_EQ(TextOf(Change(f, VT_BSTR)), u"0.3333333");
  VARIANT u8 = OfType(VT_UI8);
  u8.ullVal = std::numeric_limits<ULONGLONG>::max();
  EXPECT_EQ(TextOf(Change(u8, VT_BSTR)), u"18446744073709551615");
  VARIANT i1 = OfType(VT_I1);
  i1.cVal = -128;
  EXPECT_EQ(TextOf(Change(i1, VT_BSTR)), u"-128");
}

TEST(VariantChangeType, TextRoundTrips) {
  for (LONG value : {0, 1, -1, 42, 2147483647, -2147483647 - 1}) {
    Converted text = Change(I4(value), VT_BSTR);
    ASSERT_EQ(text.hr, S_OK);
    Converted back = Change(*text.value.get(), VT_I4);
    ASSERT_EQ(back.hr, S_OK);
    EXPECT_EQ(back.value->lVal, value);
  }
  for (double value : {0.1, 123.456, 1e-5, -2.5e100, 1e20, 3.0}) {
    Converted text = Change(R8(value), VT_BSTR);
    Converted back = Change(*text.value.get(), VT_R8);
    ASSERT_EQ(back.hr, S_OK);
    EXPECT_EQ(back.value->dblVal, value);
  }
  for (bool value : {true, false}) {
    Converted text = Change(Bool(value), VT_BSTR, VARIANT_ALPHABOOL);
    Converted back = Change(*text.value.get(), VT_BOOL);
    EXPECT_EQ(back.value->boolVal, value ? VARIANT_TRUE : VARIANT_FALSE);
    Converted numeric = Change(Bool(value), VT_BSTR);
    EXPECT_EQ(Change(*numeric.value.get(), VT_BOOL).value->boolVal, value ? VARIANT_TRUE : VARIANT_FALSE);
  }
}

TEST(VariantChangeType, EmptyAndNull) {
  VARIANT empty = OfType(VT_EMPTY);
  VARIANT null = OfType(VT_NULL);
  EXPECT_EQ(Change(empty, VT_I4).value->lVal, 0);
  EXPECT_EQ(Change(empty, VT_R8).value->dblVal, 0.0);
  EXPECT_EQ(Change(empty, VT_BOOL).value->boolVal, VARIANT_FALSE);
  Converted text = Change(empty, VT_BSTR);
  ASSERT_EQ(text.hr, S_OK);
  ASSERT_NE(text.value->bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(text.value->bstrVal), 0u);
  EXPECT_EQ(Change(empty, VT_NULL).value->vt, VT_NULL);

  for (VARTYPE to : {VT_I2, VT_I4, VT_R8, VT_BOOL, VT_BSTR, VT_UNKNOWN, VT_DISPATCH, VT_UI1, VT_I8}) {
    EXPECT_EQ(Change(null, to).hr, DISP_E_TYPEMISMATCH) << to;
  }
  EXPECT_EQ(Change(null, VT_NULL).hr, S_OK);
  EXPECT_EQ(Change(null, VT_EMPTY).value->vt, VT_EMPTY);
  EXPECT_EQ(Change(I4(3), VT_NULL).hr, DISP_E_TYPEMISMATCH);
  // Anything becomes empty.
  EXPECT_EQ(Change(*Text(u"x").get(), VT_EMPTY).hr, S_OK);
}

TEST(VariantChangeType, BadTypesAndImpossibleConversions) {
  EXPECT_EQ(Change(I4(1), 15).hr, DISP_E_BADVARTYPE);
  EXPECT_EQ(Change(I4(1), VT_VARIANT).hr, DISP_E_BADVARTYPE);
  EXPECT_EQ(Change(OfType(0x7F), VT_I4).hr, DISP_E_BADVARTYPE);
  EXPECT_EQ(Change(I4(1), VT_UNKNOWN).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(I4(1), VT_ARRAY | VT_UI1).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(I4(1), VT_BYREF | VT_I4).hr, DISP_E_TYPEMISMATCH);
  VARIANT error = OfType(VT_ERROR);
  error.scode = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(Change(error, VT_BSTR).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Change(error, VT_I4).value->lVal, DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(Change(I4(E_FAIL), VT_ERROR).value->scode, E_FAIL);
  EXPECT_EQ(VariantChangeType(nullptr, &error, 0, VT_I4), E_INVALIDARG);
}

TEST(VariantChangeType, FailureLeavesDestinationUntouched) {
  VariantHolder dest = Text(u"keep");
  const VARIANT too_big = I4(70000);
  EXPECT_EQ(VariantChangeType(dest.get(), &too_big, 0, VT_I2), DISP_E_OVERFLOW);
  EXPECT_EQ(dest->vt, VT_BSTR);
  EXPECT_EQ(krsoap::com::BstrView(dest->bstrVal), u"keep");
}

TEST(VariantChangeType, InPlace) {
  VariantHolder v = Text(u" 42 ");
  ASSERT_EQ(VariantChangeType(v.get(), v.get(), 0, VT_I4), S_OK);  // the string is freed (LSan)
  EXPECT_EQ(v->vt, VT_I4);
  EXPECT_EQ(v->lVal, 42);
  ASSERT_EQ(VariantChangeType(v.get(), v.get(), 0, VT_BSTR), S_OK);
  EXPECT_EQ(krsoap::com::BstrView(v->bstrVal), u"42");

  VariantHolder bad = Text(u"abc");
  EXPECT_EQ(VariantChangeType(bad.get(), bad.get(), 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad->vt, VT_BSTR);
  EXPECT_EQ(krsoap::com::BstrView(bad->bstrVal), u"abc");

  VariantHolder same = Text(u"same");
  ASSERT_EQ(VariantChangeType(same.get(), same.get(), 0, VT_BSTR), S_OK);
  EXPECT_EQ(krsoap::com::BstrView(same->bstrVal), u"same");
}

TEST(VariantChangeType, ReferencesAreFollowed) {
  LONG five = 5;
  VARIANT ref = OfType(VT_BYREF | VT_I4);
  ref.plVal = &five;
  EXPECT_EQ(TextOf(Change(ref, VT_BSTR)), u"5");
  VariantHolder inner = Text(u"8");
  VARIANT variant_ref = OfType(VT_BYREF | VT_VARIANT);
  variant_ref.pvarVal = inner.get();
  EXPECT_EQ(Change(variant_ref, VT_I4).value->lVal, 8);
  // Converting a reference in place leaves the referenced value alone.
  VARIANT in_place = ref;
  ASSERT_EQ(VariantChangeType(&in_place, &in_place, 0, VT_I2), S_OK);
  EXPECT_EQ(in_place.vt, VT_I2);
  EXPECT_EQ(in_place.iVal, 5);
  EXPECT_EQ(five, 5);
  VARIANT dangling = OfType(VT_BYREF | VT_BSTR);
  dangling.pbstrVal = nullptr;
  EXPECT_EQ(Change(dangling, VT_I4).hr, E_INVALIDARG);
}

TEST(VariantChangeType, ObjectsThroughQueryInterfaceAndValue) {
  ValueObject object(7);
  VARIANT unknown = OfType(VT_UNKNOWN);
  unknown.punkVal = &object;
  {
    Converted as_dispatch = Change(unknown, VT_DISPATCH);
    ASSERT_EQ(as_dispatch.hr, S_OK);
    EXPECT_EQ(as_dispatch.value->pdispVal, static_cast<IDispatch*>(&object));
    EXPECT_EQ(object.refs(), 2u);
  }
  EXPECT_EQ(object.refs(), 1u);  // released with the converted variant

  PlainObject plain;
  VARIANT plain_unknown = OfType(VT_UNKNOWN);
  plain_unknown.punkVal = &plain;
  EXPECT_EQ(Change(plain_unknown, VT_DISPATCH).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(plain.refs(), 1u);
  EXPECT_EQ(Change(plain_unknown, VT_I4).hr, DISP_E_TYPEMISMATCH);

  VARIANT null_unknown = OfType(VT_UNKNOWN);
  null_unknown.punkVal = nullptr;
  Converted null_dispatch = Change(null_unknown, VT_DISPATCH);
  ASSERT_EQ(null_dispatch.hr, S_OK);
  EXPECT_EQ(null_dispatch.value->pdispVal, nullptr);

  VARIANT dispatch = OfType(VT_DISPATCH);
  dispatch.pdispVal = &object;
  EXPECT_EQ(Change(dispatch, VT_I4).value->lVal, 7);
  EXPECT_EQ(TextOf(Change(dispatch, VT_BSTR)), u"7");
  EXPECT_EQ(object.value_reads, 2);
  EXPECT_EQ(Change(dispatch, VT_I4, VARIANT_NOVALUEPROP).hr, DISP_E_TYPEMISMATCH);
  {
    Converted as_unknown = Change(dispatch, VT_UNKNOWN);
    ASSERT_EQ(as_unknown.hr, S_OK);
    EXPECT_EQ(object.refs(), 2u);
  }
  EXPECT_EQ(object.refs(), 1u);
}

TEST(VariantChangeType, TextAndByteArrays) {
  VariantHolder text = Text(u"AB\u00E9");
  Converted bytes = Change(*text.get(), VT_ARRAY | VT_UI1);
  ASSERT_EQ(bytes.hr, S_OK);
  SAFEARRAY* array = bytes.value->parray;
  EXPECT_EQ(SafeArrayGetDim(array), 1u);
  LONG upper = -1;
  SafeArrayGetUBound(array, 1, &upper);
  EXPECT_EQ(upper, 5);  // six bytes of UTF-16
  EXPECT_EQ(std::memcmp(array->pvData, text->bstrVal, 6), 0);
  Converted back = Change(*bytes.value.get(), VT_BSTR);
  ASSERT_EQ(back.hr, S_OK);
  EXPECT_EQ(krsoap::com::BstrView(back.value->bstrVal), u"AB\u00E9");

  VariantHolder odd;
  odd->vt = VT_BSTR;
  odd->bstrVal = SysAllocStringByteLen("xyz", 3);
  Converted odd_bytes = Change(*odd.get(), VT_ARRAY | VT_UI1);
  ASSERT_EQ(odd_bytes.hr, S_OK);
  Converted odd_back = Change(*odd_bytes.value.get(), VT_BSTR);
  EXPECT_EQ(SysStringByteLen(odd_back.value->bstrVal), 3u);

  VARIANT ints = OfType(VT_ARRAY | VT_I4);
  ints.parray = SafeArrayCreateVector(VT_I4, 0, 2);
  EXPECT_EQ(Change(ints, VT_BSTR).hr, DISP_E_TYPEMISMATCH);
  VariantClear(&ints);
}

}  // namespace
