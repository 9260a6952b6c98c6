// The type-library data model and its compact binary form.
//
// A library is what an interface description compiles to: LIBID, version,
// locale, name and help string; interfaces (IID, name, flags, parent, the
// vtable slot of their first own method, their methods with DISPIDs, kinds,
// parameter types and directions); coclasses (CLSID, help string, the
// interfaces they implement and which is the default). The same bytes are
// embedded in a module as its TYPELIB 1 resource and written to ".tlb" files.
//
// Encoding (all integers little endian):
//   "KRTL" u16 format(=1) u16 0
//   GUID libid, u16 major, u16 minor, u32 lcid, u32 syskind, u32 libflags,
//   str name, str help, u32 type count, types...
//   type: u8 kind, u32 typeflags, GUID, str name, str help, GUID parent,
//         str parent name, u16 first slot, u32 func count, funcs...,
//         u32 impl count, impls...
//   func: i32 dispid, u8 invkind, u16 slot, u16 return vt, str name,
//         str help, u16 param count, params (u16 vt, u16 flags, str name)
//   impl: GUID, i32 impltypeflags
//   str:  u16 byte count, UTF-8 bytes
//   GUID: u32 Data1, u16 Data2, u16 Data3, 8 bytes Data4
// The decoder trusts nothing: every count is checked against the bytes left,
// every enumeration against its legal values, every reference inside the
// library is resolved; bad input gives TYPE_E_INVDATAREAD (truncated or
// inconsistent) or TYPE_E_UNSUPFORMAT (not this format, or a later version).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com/guid.h"
#include "platform/win32/types.h"

namespace krsoap::com::tlb {

// Type kinds, invocation kinds and flags use the Automation values.
enum : uint8_t { kKindInterface = 3, kKindDispatch = 4, kKindCoclass = 5 };
enum : uint8_t { kInvokeFunc = 1, kInvokePropGet = 2, kInvokePropPut = 4, kInvokePropPutRef = 8 };
enum : uint32_t { kTypeFlagCanCreate = 0x2, kTypeFlagDual = 0x40, kTypeFlagOleAutomation = 0x100 };
enum : uint16_t { kParamIn = 0x1, kParamOut = 0x2, kParamRetval = 0x8, kParamOptional = 0x10 };
enum : int32_t { kImplDefault = 0x1 };
// VT_BYREF marks a pointer parameter ("[out] long*" is VT_I4 | VT_BYREF).
constexpr uint16_t kVtByRef = 0x4000;

struct Param {
  std::u16string name;
  uint16_t vt = 0;
  uint16_t flags = 0;
};

struct Func {
  int32_t dispid = 0;
  uint8_t invkind = kInvokeFunc;
  uint16_t slot = 0;  // vtable slot, IUnknown's QueryInterface being 0
  uint16_t return_vt = 25;  // VT_HRESULT
  std::u16string name;
  std::u16string help;
  std::vector<Param> params;
};

struct Impl {
  GUID iid{};
  int32_t flags = 0;
};

struct Type {
  uint8_t kind = kKindInterface;
  uint32_t flags = 0;
  GUID guid{};
  std::u16string name;
  std::u16string help;
  GUID parent{};               // zero for none (IUnknown itself, coclasses)
  std::u16string parent_name;  // "IDispatch", "IUnknown" or a type of this library
  uint16_t first_slot = 0;     // slot of the first own method: 3 under IUnknown, 7 under IDispatch
  std::vector<Func> funcs;
  std::vector<Impl> impls;
};

struct Library {
  GUID libid{};
  uint16_t major = 1;
  uint16_t minor = 0;
  uint32_t lcid = 0;
  uint32_t syskind = 1;  // SYS_WIN32
  uint32_t flags = 0;
  std::u16string name;
  std::u16string help;
  std::vector<Type> types;
};

std::vector<uint8_t> Encode(const Library& library);

// Returns S_OK, TYPE_E_INVDATAREAD or TYPE_E_UNSUPFORMAT. `out` is only
// written on success.
HRESULT Decode(const uint8_t* data, size_t size, Library* out);

// True when the bytes start with this format's magic.
bool LooksLikeTypeLibrary(const uint8_t* data, size_t size);

}  // namespace krsoap::com::tlb
