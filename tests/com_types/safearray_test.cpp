// SAFEARRAY bounds, layout, lock counts and ownership of the elements.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/com/com.h"
#include "tests/com_types/test_objects.h"

namespace {

using krsoap::test::PlainObject;

TEST(SafeArray, VectorBoundsAndDescription) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 5, 3);
  ASSERT_NE(psa, nullptr);
  LONG lower = 0, upper = 0;
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &upper), S_OK);
  EXPECT_EQ(lower, 5);
  EXPECT_EQ(upper, 7);
  EXPECT_EQ(SafeArrayGetDim(psa), 1u);
  EXPECT_EQ(SafeArrayGetElemsize(psa), 4u);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
  EXPECT_EQ(vt, VT_I4);
  EXPECT_EQ(SafeArrayGetLBound(psa, 0, &lower), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(psa, 2, &upper), DISP_E_BADINDEX);

  for (LONG i = 5; i <= 7; ++i) {
    LONG value = i * 10;
    ASSERT_EQ(SafeArrayPutElement(psa, &i, &value), S_OK);
  }
  for (LONG i = 5; i <= 7; ++i) {
    LONG value = 0;
    ASSERT_EQ(SafeArrayGetElement(psa, &i, &value), S_OK);
    EXPECT_EQ(value, i * 10);
  }
  EXPECT_EQ(static_cast<LONG*>(psa->pvData)[0], 50);
  for (LONG bad : {4, 8, -1, std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max()}) {
    LONG value = 1;
    EXPECT_EQ(SafeArrayPutElement(psa, &bad, &value), DISP_E_BADINDEX) << bad;
    EXPECT_EQ(SafeArrayGetElement(psa, &bad, &value), DISP_E_BADINDEX) << bad;
  }
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArray, EmptyAndExtremeBounds) {
  SAFEARRAY* empty = SafeArrayCreateVector(VT_UI1, 0, 0);
  ASSERT_NE(empty, nullptr);
  LONG upper = 0;
  EXPECT_EQ(SafeArrayGetUBound(empty, 1, &upper), S_OK);
  EXPECT_EQ(upper, -1);
  LONG index = 0;
  BYTE b = 0;
  EXPECT_EQ(SafeArrayGetElement(empty, &index, &b), DISP_E_BADINDEX);
  SafeArrayDestroy(empty);

  // Bounds near the ends of the index range do not wrap.
  SAFEARRAY* high = SafeArrayCreateVector(VT_UI1, std::numeric_limits<LONG>::max() - 1, 2);
  ASSERT_NE(high, nullptr);
  LONG last = std::numeric_limits<LONG>::max();
  BYTE value = 9;
  EXPECT_EQ(SafeArrayPutElement(high, &last, &value), S_OK);
  LONG below = std::numeric_limits<LONG>::min();
  EXPECT_EQ(SafeArrayPutElement(high, &below, &value), DISP_E_BADINDEX);
  SafeArrayDestroy(high);
}

TEST(SafeArray, SizesThatDoNotFitFail) {
  EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_R8, 0, 0x40000000u), nullptr);
  SAFEARRAYBOUND huge[2] = {{0x10000, 0}, {0x10000, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 2, huge), nullptr);
  SAFEARRAYBOUND wrap[3] = {{0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 3, wrap), nullptr);
  SAFEARRAYBOUND one = {1, 0};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &one), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, &one), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_NULL, 1, &one), nullptr);
  EXPECT_EQ(SafeArrayCreate(0x7F, 1, &one), nullptr);
}

TEST(SafeArray, LockCountGuardsDestruction) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, &first), S_OK);
  ASSERT_EQ(SafeArrayAccessData(psa, &second), S_OK);
  EXPECT_EQ(first, second);
  EXPECT_EQ(psa->cLocks, 2u);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  SAFEARRAYBOUND bigger = {4, 0};
  EXPECT_EQ(SafeArrayRedim(psa, &bigger), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
  EXPECT_EQ(psa->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, LocksFromManyThreadsBalance) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 0, 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([psa] {
      for (int i = 0; i < 5000; ++i) {
        void* data = nullptr;
        if (SafeArrayAccessData(psa, &data) == S_OK) SafeArrayUnaccessData(psa);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, StringElementsAreCopiedAndReleased) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 3);
  VARTYPE vt = VT_EMPTY;
  SafeArrayGetVartype(psa, &vt);
  EXPECT_EQ(vt, VT_BSTR);
  EXPECT_TRUE(psa->fFeatures & FADF_BSTR);
  BSTR source = SysAllocString(u"first");
  LONG i = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &i, source), S_OK);
  BSTR stored = nullptr;
  std::memcpy(&stored, psa->pvData, sizeof stored);
  EXPECT_NE(stored, source);  // the array holds its own copy
  SysFreeString(source);
  // Replacing an element frees the old one (LSan reports it otherwise).
  BSTR replacement = SysAllocString(u"second");
  ASSERT_EQ(SafeArrayPutElement(psa, &i, replacement), S_OK);
  SysFreeString(replacement);
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &i, &got), S_OK);
  EXPECT_EQ(std::u16string(got), u"second");
  SysFreeString(got);
  // Unset elements are null strings; null can also be stored.
  LONG j = 1;
  ASSERT_EQ(SafeArrayGetElement(psa, &j, &got), S_OK);
  EXPECT_EQ(got, nullptr);
  ASSERT_EQ(SafeArrayPutElement(psa, &i, nullptr), S_OK);
  LONG k = 2;
  BSTR last = SysAllocString(u"destroyed with the array");
  SafeArrayPutElement(psa, &k, last);
  SysFreeString(last);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, InterfaceElementsAreCounted) {
  PlainObject a, b;
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  EXPECT_EQ(SafeArrayGetElemsize(psa), sizeof(void*));
  LONG i = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &i, static_cast<IUnknown*>(&a)), S_OK);
  EXPECT_EQ(a.refs(), 2u);
  ASSERT_EQ(SafeArrayPutElement(psa, &i, static_cast<IUnknown*>(&b)), S_OK);
  EXPECT_EQ(a.refs(), 1u);
  EXPECT_EQ(b.refs(), 2u);
  IUnknown* got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &i, &got), S_OK);
  EXPECT_EQ(got, &b);
  EXPECT_EQ(b.refs(), 3u);
  got->Release();

  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  EXPECT_EQ(b.refs(), 3u);
  VARTYPE vt = VT_EMPTY;
  SafeArrayGetVartype(copy, &vt);
  EXPECT_EQ(vt, VT_UNKNOWN);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(b.refs(), 1u);

  SAFEARRAY* dispatch = SafeArrayCreateVector(VT_DISPATCH, 0, 1);
  SafeArrayGetVartype(dispatch, &vt);
  EXPECT_EQ(vt, VT_DISPATCH);
  SafeArrayDestroy(dispatch);
}

TEST(SafeArray, VariantElementsAreCopied) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 1, 2);
  EXPECT_EQ(SafeArrayGetElemsize(psa), sizeof(VARIANT));
  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(u"in a variant");
  LONG i = 1;
  ASSERT_EQ(SafeArrayPutElement(psa, &i, &text), S_OK);
  VariantClear(&text);
  VARIANT got;
  std::memset(&got, 0xCD, sizeof got);  // not initialised: must be overwritten, not cleared
  ASSERT_EQ(SafeArrayGetElement(psa, &i, &got), S_OK);
  EXPECT_EQ(got.vt, VT_BSTR);
  EXPECT_EQ(krsoap::com::BstrView(got.bstrVal), u"in a variant");
  VariantClear(&got);
  LONG unset = 2;
  ASSERT_EQ(SafeArrayGetElement(psa, &unset, &got), S_OK);
  EXPECT_EQ(got.vt, VT_EMPTY);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, SeveralDimensionsLeftmostVariesFastest) {
  SAFEARRAYBOUND bounds[2] = {{2, 1}, {3, 10}};  // [1..2] x [10..12]
  SAFEARRAY* psa = SafeArrayCreate(VT_I2, 2, bounds);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(psa), 2u);
  LONG value = 0;
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, &value), S_OK);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(SafeArrayGetLBound(psa, 2, &value), S_OK);
  EXPECT_EQ(value, 10);
  EXPECT_EQ(SafeArrayGetUBound(psa, 2, &value), S_OK);
  EXPECT_EQ(value, 12);
  // Stored last dimension first, as on Windows.
  EXPECT_EQ(psa->rgsabound[0].cElements, 3u);
  EXPECT_EQ(psa->rgsabound[0].lLbound, 10);

  for (LONG j = 10; j <= 12; ++j) {
    for (LONG i = 1; i <= 2; ++i) {
      LONG index[2] = {i, j};
      SHORT cell = static_cast<SHORT>(i * 100 + j);
      ASSERT_EQ(SafeArrayPutElement(psa, index, &cell), S_OK);
    }
  }
  const SHORT* data = static_cast<const SHORT*>(psa->pvData);
  EXPECT_EQ(data[0], 110);
  EXPECT_EQ(data[1], 210);
  EXPECT_EQ(data[2], 111);
  EXPECT_EQ(data[5], 212);
  LONG past[2] = {3, 10};
  void* where = nullptr;
  EXPECT_EQ(SafeArrayPtrOfIndex(psa, past, &where), DISP_E_BADINDEX);
  LONG inside[2] = {2, 11};
  ASSERT_EQ(SafeArrayPtrOfIndex(psa, inside, &where), S_OK);
  EXPECT_EQ(where, data + 3);
  SafeArrayDestroy(psa);
}

TEST(SafeArray, CopyIsDeep) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
  for (LONG i = 0; i < 2; ++i) {
    BSTR s = SysAllocString(i == 0 ? u"zero" : u"one");
    SafeArrayPutElement(psa, &i, s);
    SysFreeString(s);
  }
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->pvData, psa->pvData);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  LONG one = 1;
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(copy, &one, &got), S_OK);
  EXPECT_EQ(std::u16string(got), u"one");
  SysFreeString(got);

  SAFEARRAY* target = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_EQ(SafeArrayCopyData(copy, target), S_OK);
  ASSERT_EQ(SafeArrayCopyData(copy, target), S_OK);  // old target elements released
  SAFEARRAY* wrong_shape = SafeArrayCreateVector(VT_BSTR, 0, 3);
  EXPECT_EQ(SafeArrayCopyData(copy, wrong_shape), E_INVALIDARG);
  SafeArrayDestroy(wrong_shape);
  SafeArrayDestroy(target);
  SafeArrayDestroy(copy);

  SAFEARRAY* none = reinterpret_cast<SAFEARRAY*>(0x1);
  ASSERT_EQ(SafeArrayCopy(nullptr, &none), S_OK);
  EXPECT_EQ(none, nullptr);
}

TEST(SafeArray, RedimKeepsHeadAndReleasesTail) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 3);
  for (LONG i = 0; i < 3; ++i) {
    BSTR s = SysAllocString(u"element");
    SafeArrayPutElement(psa, &i, s);
    SysFreeString(s);
  }
  SAFEARRAYBOUND smaller = {1, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &smaller), S_OK);  // two strings released (LSan)
  SAFEARRAYBOUND larger = {4, 0};
  ASSERT_EQ(SafeArrayRedim(psa, &larger), S_OK);
  LONG i = 0;
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &i, &got), S_OK);
  EXPECT_EQ(std::u16string(got), u"element");
  SysFreeString(got);
  i = 3;
  ASSERT_EQ(SafeArrayGetElement(psa, &i, &got), S_OK);
  EXPECT_EQ(got, nullptr);
  SAFEARRAYBOUND huge = {0xFFFFFFFFu, 0};
  EXPECT_EQ(SafeArrayRedim(psa, &huge), E_OUTOFMEMORY);
  EXPECT_EQ(psa->rgsabound[0].cElements, 4u);  // unchanged
  SafeArrayDestroy(psa);
}

TEST(SafeArray, NullArgumentsAreRejected) {
  LONG i = 0;
  LONG value = 0;
  EXPECT_EQ(SafeArrayPutElement(nullptr, &i, &value), E_INVALIDARG);
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 0, 1);
  EXPECT_EQ(SafeArrayPutElement(psa, nullptr, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPutElement(psa, &i, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(psa, &i, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayAccessData(psa, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  SafeArrayDestroy(psa);
}

}  // namespace
