// Interface descriptions: what the interface compiler (krcomgen) emits for
// every interface besides its C++ declaration and its type information. A
// description lists each method's vtable slot, DISPID, kind and parameter
// types, so that generic code (the dispatch call path, marshalling code) can
// call a method without a hand-written stub.
#pragma once

#include <cstdint>

#include "platform/com/guid.h"

namespace krsoap::com {

struct ParamDesc {
  const char* name;
  uint16_t vt;     // Automation VARTYPE, VT_BYREF (0x4000) for a pointer
  uint16_t flags;  // PARAMFLAG_FIN 1, FOUT 2, FRETVAL 8, FOPT 0x10
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
  uint16_t first_slot;  // 3 under IUnknown, 7 under IDispatch
  uint16_t method_count;
  const MethodDesc* methods;
  bool dual;
};

}  // namespace krsoap::com
