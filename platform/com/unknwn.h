// IUnknown and the class-object interfaces, with their Windows identifiers.
//
// Every COM interface is a C++ class of pure virtual functions whose vtable
// holds the methods in the interface's documented order, IUnknown's three
// first. That is the binary contract between modules: a caller built
// against these declarations can call an object built by any other module.
// The rules that keep the layout intact:
//   - no virtual destructor, no data members, no overloaded methods;
//   - single inheritance from the base interface only;
//   - methods use the platform's default calling convention. Windows marks
//     them __stdcall; on x86-64 Linux there is only one C calling convention
//     (System V), so the word has no counterpart and is left out;
//   - nothing crosses the boundary but plain types: no exceptions, no
//     standard-library types.
#pragma once

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/win32/types.h"

// Spelling used by Windows headers for interface methods; it has no effect
// here and exists so that declarations read as they do on Windows.
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDMETHOD(method) virtual HRESULT method
#define STDMETHOD_(type, method) virtual type method
#define PURE = 0

DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IMalloc, 0x00000002, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IEnumUnknown, 0x00000100, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;
};
typedef IClassFactory* LPCLASSFACTORY;

struct IMalloc : public IUnknown {
  virtual void* Alloc(SIZE_T cb) = 0;
  virtual void* Realloc(void* pv, SIZE_T cb) = 0;
  virtual void Free(void* pv) = 0;
  virtual SIZE_T GetSize(void* pv) = 0;
  virtual int DidAlloc(void* pv) = 0;
  virtual void HeapMinimize() = 0;
};

struct IEnumUnknown : public IUnknown {
  virtual HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumUnknown** ppenum) = 0;
};

// The interface identifier of an interface type, for typed QueryInterface
// helpers: specialise KrIidOf<T> next to an interface's declaration.
template <typename T>
struct KrIidOf;
template <>
struct KrIidOf<IUnknown> {
  static constexpr const IID& value = IID_IUnknown;
};
template <>
struct KrIidOf<IClassFactory> {
  static constexpr const IID& value = IID_IClassFactory;
};
template <>
struct KrIidOf<IEnumUnknown> {
  static constexpr const IID& value = IID_IEnumUnknown;
};
