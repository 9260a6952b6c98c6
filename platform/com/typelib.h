// Type libraries: loading (from a ".tlb" file, from a module's embedded
// TYPELIB resource, or through the registry), registering and unregistering
// them, and the ITypeLib / ITypeInfo objects over a loaded library.
//
// Registration writes what Windows writes:
//   HKCR\TypeLib\{LIBID}\<major>.<minor>            default = help string (or name)
//   HKCR\TypeLib\{LIBID}\<major>.<minor>\<lcid>\win32 default = path of the file
//   HKCR\TypeLib\{LIBID}\<major>.<minor>\FLAGS       default = library flags
//   HKCR\TypeLib\{LIBID}\<major>.<minor>\HELPDIR     default = help directory
// with <major>.<minor> and <lcid> in hexadecimal ("1.0", "409", "0"), and for
// every dual or OLE-automation interface
//   HKCR\Interface\{IID}                            default = interface name
//   HKCR\Interface\{IID}\ProxyStubClsid(32)         the standard automation marshaler
//   HKCR\Interface\{IID}\TypeLib                    default = {LIBID}, Version = "1.0"
//
// Dual interfaces appear as TKIND_INTERFACE with TYPEFLAG_FDUAL and list only
// their own methods (the IDispatch part comes from the parent, which
// GetRefTypeOfImplType(0) names); FUNCDESC::oVft is the byte offset of the
// method's vtable slot. ITypeInfo::Invoke calls through the vtable by the
// description (see stddispatch.h).
#pragma once

#include <memory>
#include <string>

#include "platform/com/com.h"
#include "platform/com/typelib_format.h"

// The standard automation marshaler, entered as proxy/stub of dual interfaces.
DEFINE_GUID(CLSID_PSOAInterface, 0x00020424, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

enum REGKIND { REGKIND_DEFAULT = 0, REGKIND_REGISTER = 1, REGKIND_NONE = 2 };

extern "C" {
// Loads a library from a ".tlb" file or from the TYPELIB 1 resource of a
// module. Does not register it (LoadTypeLibEx with REGKIND_REGISTER does).
// A missing or unloadable file gives TYPE_E_CANTLOADLIBRARY; a file that is
// not a type library TYPE_E_UNSUPFORMAT; a damaged one TYPE_E_INVDATAREAD.
KR_EXPORT HRESULT LoadTypeLib(LPCOLESTR file, ITypeLib** pptlib);
KR_EXPORT HRESULT LoadTypeLibEx(LPCOLESTR file, REGKIND regkind, ITypeLib** pptlib);
// Loads the registered library: the highest registered minor version at
// least `minor` of version `major`, the locale `lcid`, its primary
// language or neutral. TYPE_E_LIBNOTREGISTERED when there is none.
KR_EXPORT HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, ITypeLib** pptlib);
KR_EXPORT HRESULT QueryPathOfRegTypeLib(REFGUID libid, USHORT major, USHORT minor, LCID lcid, BSTR* path);
KR_EXPORT HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR full_path, LPCOLESTR help_dir);
KR_EXPORT HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, SYSKIND syskind);
}

namespace krsoap::com {

// A library object over decoded bytes (an embedded resource, say).
// TYPE_E_INVDATAREAD / TYPE_E_UNSUPFORMAT for bad bytes.
HRESULT LoadTypeLibFromBytes(const uint8_t* data, size_t size, ITypeLib** pptlib);

// The decoded library behind an ITypeLib or ITypeInfo made by this runtime;
// nullptr for foreign objects.
const tlb::Library* LibraryOf(ITypeLib* lib);

// The description of one member behind a type info made by this runtime,
// for the dispatch path: the function with `memid` that `flags` (DISPATCH_*)
// selects, searching parents inside the library too. Returns
// DISP_E_MEMBERNOTFOUND when there is none.
struct ResolvedFunc {
  const tlb::Func* func = nullptr;
  const tlb::Type* owner = nullptr;
};

}  // namespace krsoap::com
