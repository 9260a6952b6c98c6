// Binary layout of the interfaces and structures that cross module
// boundaries: vtable slots in the documented Windows order and structure
// offsets as on 64-bit Windows.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "platform/com/com.h"

namespace {

// The vtable slot a virtual method occupies. Under the Itanium C++ ABI used
// on this platform, a pointer to a virtual member function holds 1 + the
// slot's byte offset in the vtable.
template <typename Method>
long SlotOf(Method method) {
  static_assert(sizeof(Method) == 2 * sizeof(void*));
  struct {
    uintptr_t ptr;
    ptrdiff_t adj;
  } repr;
  std::memcpy(&repr, &method, sizeof repr);
  if ((repr.ptr & 1) == 0) return -1;  // not virtual
  return static_cast<long>((repr.ptr - 1) / sizeof(void*));
}

TEST(InterfaceLayout, UnknownAndClassFactory) {
  EXPECT_EQ(SlotOf(&IUnknown::QueryInterface), 0);
  EXPECT_EQ(SlotOf(&IUnknown::AddRef), 1);
  EXPECT_EQ(SlotOf(&IUnknown::Release), 2);
  EXPECT_EQ(SlotOf(&IClassFactory::CreateInstance), 3);
  EXPECT_EQ(SlotOf(&IClassFactory::LockServer), 4);
  EXPECT_EQ(SlotOf(&IEnumUnknown::Clone), 6);
}

TEST(InterfaceLayout, Stream) {
  EXPECT_EQ(SlotOf(&IStream::Read), 3);
  EXPECT_EQ(SlotOf(&IStream::Write), 4);
  EXPECT_EQ(SlotOf(&IStream::Seek), 5);
  EXPECT_EQ(SlotOf(&IStream::SetSize), 6);
  EXPECT_EQ(SlotOf(&IStream::CopyTo), 7);
  EXPECT_EQ(SlotOf(&IStream::Commit), 8);
  EXPECT_EQ(SlotOf(&IStream::Revert), 9);
  EXPECT_EQ(SlotOf(&IStream::LockRegion), 10);
  EXPECT_EQ(SlotOf(&IStream::UnlockRegion), 11);
  EXPECT_EQ(SlotOf(&IStream::Stat), 12);
  EXPECT_EQ(SlotOf(&IStream::Clone), 13);
}

TEST(InterfaceLayout, DispatchAndTypeInformation) {
  EXPECT_EQ(SlotOf(&IDispatch::GetTypeInfoCount), 3);
  EXPECT_EQ(SlotOf(&IDispatch::GetTypeInfo), 4);
  EXPECT_EQ(SlotOf(&IDispatch::GetIDsOfNames), 5);
  EXPECT_EQ(SlotOf(&IDispatch::Invoke), 6);

  EXPECT_EQ(SlotOf(&ITypeInfo::GetTypeAttr), 3);
  EXPECT_EQ(SlotOf(&ITypeInfo::GetFuncDesc), 5);
  EXPECT_EQ(SlotOf(&ITypeInfo::GetNames), 7);
  EXPECT_EQ(SlotOf(&ITypeInfo::GetRefTypeOfImplType), 8);
  EXPECT_EQ(SlotOf(&ITypeInfo::GetIDsOfNames), 10);
  EXPECT_EQ(SlotOf(&ITypeInfo::Invoke), 11);
  EXPECT_EQ(SlotOf(&ITypeInfo::GetDocumentation), 12);
  EXPECT_EQ(SlotOf(&ITypeInfo::GetRefTypeInfo), 14);
  EXPECT_EQ(SlotOf(&ITypeInfo::GetContainingTypeLib), 18);
  EXPECT_EQ(SlotOf(&ITypeInfo::ReleaseTypeAttr), 19);
  EXPECT_EQ(SlotOf(&ITypeInfo::ReleaseVarDesc), 21);

  EXPECT_EQ(SlotOf(&ITypeLib::GetTypeInfoCount), 3);
  EXPECT_EQ(SlotOf(&ITypeLib::GetTypeInfoOfGuid), 6);
  EXPECT_EQ(SlotOf(&ITypeLib::GetLibAttr), 7);
  EXPECT_EQ(SlotOf(&ITypeLib::GetDocumentation), 9);
  EXPECT_EQ(SlotOf(&ITypeLib::ReleaseTLibAttr), 12);

  EXPECT_EQ(SlotOf(&ITypeComp::BindType), 4);
  EXPECT_EQ(SlotOf(&IErrorInfo::GetHelpContext), 7);
  EXPECT_EQ(SlotOf(&ISupportErrorInfo::InterfaceSupportsErrorInfo), 3);
}

TEST(InterfaceLayout, ProxyStub) {
  EXPECT_EQ(SlotOf(&IPSFactoryBuffer::CreateProxy), 3);
  EXPECT_EQ(SlotOf(&IPSFactoryBuffer::CreateStub), 4);
  EXPECT_EQ(SlotOf(&IRpcProxyBuffer::Disconnect), 4);
  EXPECT_EQ(SlotOf(&IRpcStubBuffer::Invoke), 5);
  EXPECT_EQ(SlotOf(&IRpcStubBuffer::DebugServerRelease), 9);
  EXPECT_EQ(SlotOf(&IRpcChannelBuffer::IsConnected), 7);
}

TEST(StructureLayout, AutomationTypes) {
  EXPECT_EQ(sizeof(VARIANT), 24u);
  EXPECT_EQ(offsetof(VARIANT, vt), 0u);
  EXPECT_EQ(offsetof(VARIANT, lVal), 8u);
  EXPECT_EQ(offsetof(VARIANT, pRecInfo), 16u);
  EXPECT_EQ(sizeof(DECIMAL), 16u);
  EXPECT_EQ(sizeof(GUID), 16u);

  EXPECT_EQ(offsetof(SAFEARRAY, fFeatures), 2u);
  EXPECT_EQ(offsetof(SAFEARRAY, cbElements), 4u);
  EXPECT_EQ(offsetof(SAFEARRAY, cLocks), 8u);
  EXPECT_EQ(offsetof(SAFEARRAY, pvData), 16u);
  EXPECT_EQ(offsetof(SAFEARRAY, rgsabound), 24u);

  EXPECT_EQ(sizeof(DISPPARAMS), 24u);
  EXPECT_EQ(offsetof(DISPPARAMS, cArgs), 16u);
  EXPECT_EQ(sizeof(EXCEPINFO), 64u);
  EXPECT_EQ(offsetof(EXCEPINFO, bstrSource), 8u);
  EXPECT_EQ(offsetof(EXCEPINFO, dwHelpContext), 32u);
  EXPECT_EQ(offsetof(EXCEPINFO, scode), 56u);

  EXPECT_EQ(sizeof(STATSTG), 80u);
  EXPECT_EQ(offsetof(STATSTG, type), 8u);
  EXPECT_EQ(offsetof(STATSTG, cbSize), 16u);
  EXPECT_EQ(offsetof(STATSTG, grfMode), 48u);
  EXPECT_EQ(offsetof(STATSTG, clsid), 56u);
  EXPECT_EQ(sizeof(LARGE_INTEGER), 8u);

  EXPECT_EQ(sizeof(TYPEDESC), 16u);
  EXPECT_EQ(sizeof(ELEMDESC), 32u);
  EXPECT_EQ(sizeof(TYPEATTR), 96u);
  EXPECT_EQ(offsetof(TYPEATTR, typekind), 44u);
  EXPECT_EQ(offsetof(TYPEATTR, cFuncs), 48u);
  EXPECT_EQ(sizeof(TLIBATTR), 32u);
  EXPECT_EQ(offsetof(RPCOLEMESSAGE, iMethod), 28u);
}

TEST(StructureLayout, LargeIntegerHalves) {
  ULARGE_INTEGER size;
  size.QuadPart = 0x0000000500000007ull;
  EXPECT_EQ(size.LowPart, 7u);
  EXPECT_EQ(size.HighPart, 5u);
  EXPECT_EQ(size.u.LowPart, 7u);
}

}  // namespace
