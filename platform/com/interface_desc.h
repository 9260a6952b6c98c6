// Interface descriptions: what the interface compiler (krcomgen) emits for
// every interface besides its C++ declaration and its type information. A
// description lists each method's vtable slot, DISPID, kind and parameter
// types, so that generic code (the dispatch call path, the interpreted
// proxies and stubs of platform/com/proxystub.h) can call or forward a method
// without hand-written per-method code. Each description also carries the
// constructor of the interface's generated proxy class, whose every method
// hands its argument addresses to the one generic proxy interpreter.
#pragma once

#include <cstdint>

#include "platform/com/guid.h"

namespace krsoap::com {

struct ProxyCore;

struct ParamDesc {
  const char* name;
  uint16_t vt;     // Automation VARTYPE, VT_BYREF (0x4000) for a pointer
  uint16_t flags;  // PARAMFLAG_FIN 1, FOUT 2, FRETVAL 8, FOPT 0x10
  // For interface pointers (VT_UNKNOWN/VT_DISPATCH, possibly VT_BYREF): the
  // interface the pointer is declared as; nullptr for every other type.
  const IID* iid = nullptr;
};

struct MethodDesc {
  const char* name;
  int32_t dispid;
  uint8_t invkind;  // 1 method, 2 property get, 4 property put, 8 put by reference
  uint16_t slot;    // vtable slot, QueryInterface being 0
  uint16_t param_count;
  const ParamDesc* params;
};

struct InterfaceDesc {
  const char* name;
  const IID& iid;
  uint16_t first_slot;  // 3 under IUnknown, 7 under IDispatch, more under an interface of the file
  uint16_t method_count;
  const MethodDesc* methods;
  bool dual;
  // The base interface when it is an interface of a description (its
  // methods come first in the vtable); nullptr under IUnknown or IDispatch.
  const InterfaceDesc* base = nullptr;
  // The generated proxy class: makes an interface proxy forwarding to
  // `core`, returned as a pointer to the interface; and destroys one.
  void* (*new_proxy)(ProxyCore* core) = nullptr;
  void (*delete_proxy)(void* proxy) = nullptr;
};

// The total vtable size of an interface: IUnknown's and IDispatch's methods
// included (what HKCR\Interface\{iid}\NumMethods records).
inline uint16_t MethodCountWithBases(const InterfaceDesc& d) {
  return static_cast<uint16_t>(d.first_slot + d.method_count);
}

// Whether the interface derives (directly or through bases) from IDispatch.
inline bool DerivesFromDispatch(const InterfaceDesc& d) {
  const InterfaceDesc* root = &d;
  while (root->base) root = root->base;
  return root->first_slot == 7;
}

// The description of the method at `slot` of the interface or its
// described bases; nullptr when no described method has that slot.
inline const MethodDesc* FindMethodBySlot(const InterfaceDesc& d, uint16_t slot) {
  for (const InterfaceDesc* i = &d; i; i = i->base) {
    if (slot >= i->first_slot && slot < i->first_slot + i->method_count) return &i->methods[slot - i->first_slot];
  }
  return nullptr;
}

}  // namespace krsoap::com
