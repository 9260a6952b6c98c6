// The generic IDispatch machinery: name lookup and Invoke served from type
// information, calling the described vtable slot through one generic call
// path (no stub per method).
//
// Invoke follows the Automation rules: arguments arrive last first in
// DISPPARAMS; a property put takes its value as the named argument
// DISPID_PROPERTYPUT; each argument is coerced to the parameter's type with
// VariantChangeType (a failure gives that error, DISP_E_TYPEMISMATCH or
// DISP_E_OVERFLOW, with *puArgErr the argument's index in rgvarg); [out]
// parameters take VT_BYREF arguments of their type (or VT_BYREF|VT_VARIANT);
// the [out, retval] parameter becomes *pVarResult. A wrong argument count is
// DISP_E_BADPARAMCOUNT, an unknown DISPID or a kind the member does not have
// DISP_E_MEMBERNOTFOUND, and a method that returns a failure HRESULT makes
// Invoke return DISP_E_EXCEPTION with that HRESULT in EXCEPINFO::scode.
#pragma once

#include "platform/com/com.h"
#include "platform/com/typelib_format.h"

extern "C" {
KR_EXPORT HRESULT DispGetIDsOfNames(ITypeInfo* ptinfo, LPOLESTR* names, UINT count, DISPID* ids);
KR_EXPORT HRESULT DispInvoke(void* instance, ITypeInfo* ptinfo, DISPID member, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_err);
}

namespace krsoap::com {

// Invokes `func` on `instance` (the interface pointer whose vtable holds the
// method). `source` names the interface for EXCEPINFO.
HRESULT InvokeDescribed(void* instance, const tlb::Func& func, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepinfo, UINT* arg_err, const std::u16string& source);

// Calls the method at vtable `slot` of `instance` through the same generic
// caller, with `count` arguments: argument i is of type vts[i]; a VT_BYREF
// type passes values[i]->byref as the pointer, any other type passes the
// value held in *values[i] (VT_VARIANT: the whole VARIANT by value).
// DISP_E_BADVARTYPE for a type the caller cannot place, DISP_E_BADCALLEE
// when the arguments do not fit; otherwise the method's own HRESULT.
HRESULT CallSlotWithValues(void* instance, uint16_t slot, size_t count, const VARTYPE* vts, VARIANT* const* values);

}  // namespace krsoap::com
