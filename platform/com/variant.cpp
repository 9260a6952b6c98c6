// VARIANT lifetime (init, clear, copy) and type conversion.
//
// Conversions are computed into a temporary and stored only on success, so a
// failed conversion never disturbs the destination and converting a variant
// into itself is safe. Text is read and written in the invariant locale:
// '.' as decimal point, ',' as thousands separator, no currency symbols.
#include "platform/com/variant.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/com/dispatch.h"
#include "platform/com/number_text.h"
#include "platform/com/safearray.h"

namespace krsoap::com {

namespace {

bool IsValidBaseType(VARTYPE base) {
  switch (base) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_RECORD:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool IsValidVariantType(VARTYPE vt) {
  if (vt & (VT_VECTOR | VT_RESERVED)) return false;
  const VARTYPE base = vt & VT_TYPEMASK;
  if (vt & (VT_ARRAY | VT_BYREF)) {
    if (base == VT_EMPTY || base == VT_NULL) return false;
    return base == VT_VARIANT || IsValidBaseType(base);
  }
  return IsValidBaseType(base);
}

namespace {

// Copies a variant that is not VT_BYREF, or copies the reference of one that
// is, into `out` (whose old contents are ignored). Owned contents are
// duplicated.
HRESULT CopyOwned(VARIANT* out, const VARIANT* src) {
  const VARTYPE vt = src->vt;
  if (vt & VT_BYREF) {
    *out = *src;
    return S_OK;
  }
  if (vt & VT_ARRAY) {
    SAFEARRAY* copy = nullptr;
    if (src->parray != nullptr) {
      const HRESULT hr = SafeArrayCopy(src->parray, &copy);
      if (FAILED(hr)) return hr;
    }
    *out = *src;
    out->parray = copy;
    return S_OK;
  }
  switch (vt) {
    case VT_BSTR: {
      BSTR copy = nullptr;
      if (src->bstrVal != nullptr) {
        copy = SysAllocStringByteLen(reinterpret_cast<const char*>(src->bstrVal), SysStringByteLen(src->bstrVal));
        if (copy == nullptr) return E_OUTOFMEMORY;
      }
      *out = *src;
      out->bstrVal = copy;
      return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH:
      *out = *src;
      if (out->punkVal != nullptr) out->punkVal->AddRef();
      return S_OK;
    case VT_RECORD:
      // Records need IRecordInfo, which nothing in krsoap provides.
      return DISP_E_BADVARTYPE;
    default:
      *out = *src;
      return S_OK;
  }
}

// Makes `out` own a copy of the value `src` refers to (src is VT_BYREF).
HRESULT CopyDereferenced(VARIANT* out, const VARIANT* src, int depth) {
  const VARTYPE base = src->vt & ~VT_BYREF;
  if (src->byref == nullptr) return E_INVALIDARG;
  if (base == VT_VARIANT) {
    const VARIANT* inner = src->pvarVal;
    if (!IsValidVariantType(inner->vt)) return DISP_E_BADVARTYPE;
    if (inner->vt & VT_BYREF) {
      if (depth > 0 || inner->vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;
      return CopyDereferenced(out, inner, depth + 1);
    }
    return CopyOwned(out, inner);
  }
  VARIANT value;
  VariantInit(&value);
  if (base & VT_ARRAY) {
    value.vt = base;
    value.parray = *src->pparray;
    return CopyOwned(out, &value);
  }
  switch (base) {
    case VT_BSTR:
      value.vt = VT_BSTR;
      value.bstrVal = *src->pbstrVal;
      return CopyOwned(out, &value);
    case VT_UNKNOWN:
    case VT_DISPATCH:
      value.vt = base;
      value.punkVal = *src->ppunkVal;
      return CopyOwned(out, &value);
    case VT_DECIMAL:
      value.decVal = *src->pdecVal;
      value.vt = VT_DECIMAL;  // the decimal's first word overlays the tag
      *out = value;
      return S_OK;
    default: {
      const size_t size = krsoap::com::ScalarSize(base);
      if (size == 0) return DISP_E_BADVARTYPE;
      value.vt = base;
      std::memcpy(&value.llVal, src->byref, size);
      *out = value;
      return S_OK;
    }
  }
}

// Replaces *dest by `value` (which the caller gives up), clearing dest first.
HRESULT Assign(VARIANT* dest, VARIANT* value) {
  const HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(value);
    return hr;
  }
  *dest = *value;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Conversion.

bool IsIntegerType(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
      return true;
    default:
      return false;
  }
}

bool IsNumericTarget(VARTYPE vt) { return IsIntegerType(vt) || vt == VT_R4 || vt == VT_R8 || vt == VT_BOOL; }

struct IntRange {
  __int128 min;
  __int128 max;
};

IntRange RangeOf(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
      return {-128, 127};
    case VT_UI1:
      return {0, 255};
    case VT_I2:
      return {-32768, 32767};
    case VT_UI2:
      return {0, 65535};
    case VT_I4:
    case VT_INT:
      return {INT32_MIN, INT32_MAX};
    case VT_UI4:
    case VT_UINT:
      return {0, UINT32_MAX};
    case VT_I8:
      return {INT64_MIN, INT64_MAX};
    default:  // VT_UI8
      return {0, static_cast<__int128>(UINT64_MAX)};
  }
}

// Stores an in-range integer into an integer-typed variant.
void StoreInteger(VARIANT* out, VARTYPE vt, __int128 value) {
  VariantInit(out);
  out->vt = vt;
  switch (vt) {
    case VT_I1:
      out->cVal = static_cast<CHAR>(value);
      break;
    case VT_UI1:
      out->bVal = static_cast<BYTE>(value);
      break;
    case VT_I2:
      out->iVal = static_cast<SHORT>(value);
      break;
    case VT_UI2:
      out->uiVal = static_cast<USHORT>(value);
      break;
    case VT_I4:
    case VT_INT:
      out->lVal = static_cast<LONG>(value);
      break;
    case VT_UI4:
    case VT_UINT:
      out->ulVal = static_cast<ULONG>(value);
      break;
    case VT_I8:
      out->llVal = static_cast<LONGLONG>(value);
      break;
    default:
      out->ullVal = static_cast<ULONGLONG>(value);
      break;
  }
}

HRESULT IntegerToTarget(__int128 value, VARTYPE to, VARIANT* out) {
  if (to == VT_BOOL) {
    VariantInit(out);
    out->vt = VT_BOOL;
    out->boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  if (to == VT_R8 || to == VT_R4) {
    VariantInit(out);
    out->vt = to;
    if (to == VT_R8) {
      out->dblVal = static_cast<double>(value);
    } else {
      out->fltVal = static_cast<float>(value);
    }
    return S_OK;
  }
  const IntRange range = RangeOf(to);
  if (value < range.min || value > range.max) return DISP_E_OVERFLOW;
  StoreInteger(out, to, value);
  return S_OK;
}

HRESULT RealToTarget(double value, VARTYPE to, VARIANT* out) {
  VariantInit(out);
  switch (to) {
    case VT_R8:
      out->vt = VT_R8;
      out->dblVal = value;
      return S_OK;
    case VT_R4:
      if (std::fabs(value) > FLT_MAX) return DISP_E_OVERFLOW;
      out->vt = VT_R4;
      out->fltVal = static_cast<float>(value);
      return S_OK;
    case VT_BOOL:
      out->vt = VT_BOOL;
      out->boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    default:
      break;
  }
  if (std::isnan(value)) return DISP_E_OVERFLOW;
  // Round half to even (the default floating-point rounding mode), then
  // check the range on the rounded value.
  const double rounded = std::nearbyint(value);
  const IntRange range = RangeOf(to);
  // 2^64 and -2^63 are exact doubles; the comparisons bound every target.
  if (rounded < -9223372036854775808.0 || rounded >= 18446744073709551616.0) return DISP_E_OVERFLOW;
  const __int128 whole = static_cast<__int128>(rounded);
  if (whole < range.min || whole > range.max) return DISP_E_OVERFLOW;
  StoreInteger(out, to, whole);
  return S_OK;
}

// A boolean converts to integers by keeping its 16-bit pattern (TRUE is
// -1, so 255 as UI1, 65535 as UI2), the way Automation has always done it.
HRESULT BoolToTarget(VARIANT_BOOL value, VARTYPE to, VARIANT* out) {
  if (to == VT_R8 || to == VT_R4 || to == VT_BOOL) return IntegerToTarget(value, to, out);
  __int128 bits;
  switch (to) {
    case VT_I1:
      bits = static_cast<int8_t>(value);
      break;
    case VT_UI1:
      bits = static_cast<uint8_t>(value);
      break;
    case VT_UI2:
      bits = static_cast<uint16_t>(value);
      break;
    case VT_UI4:
    case VT_UINT:
      bits = static_cast<uint32_t>(static_cast<int32_t>(value));
      break;
    case VT_UI8:
      bits = static_cast<uint64_t>(static_cast<int64_t>(value));
      break;
    default:
      bits = value;
      break;
  }
  StoreInteger(out, to, bits);
  return S_OK;
}

bool EqualsIgnoreCase(std::u16string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != static_cast<char16_t>(word[i])) return false;
  }
  return true;
}

HRESULT TextToTarget(BSTR text, VARTYPE to, VARIANT* out) {
  // Text is read as a zero-terminated string, as Automation reads it: an
  // embedded zero ends it.
  std::u16string_view view = BstrView(text);
  view = view.substr(0, view.find(u'\0'));
  const std::u16string_view trimmed = TrimBlanks(view);
  if (to == VT_BOOL) {
    VARIANT_BOOL b;
    if (EqualsIgnoreCase(trimmed, "true") || EqualsIgnoreCase(trimmed, "#true#")) {
      b = VARIANT_TRUE;
    } else if (EqualsIgnoreCase(trimmed, "false") || EqualsIgnoreCase(trimmed, "#false#")) {
      b = VARIANT_FALSE;
    } else {
      ParsedNumber number;
      if (!ParseNumberText(trimmed, &number)) return DISP_E_TYPEMISMATCH;
      b = number.IsZero() ? VARIANT_FALSE : VARIANT_TRUE;
    }
    VariantInit(out);
    out->vt = VT_BOOL;
    out->boolVal = b;
    return S_OK;
  }
  ParsedNumber number;
  if (!ParseNumberText(trimmed, &number)) return DISP_E_TYPEMISMATCH;
  if (to == VT_R8 || to == VT_R4) {
    double value;
    if (!number.ToDouble(&value)) return DISP_E_OVERFLOW;
    return RealToTarget(value, to, out);
  }
  __int128 value;
  if (!number.ToRoundedInteger(&value)) return DISP_E_OVERFLOW;
  return IntegerToTarget(value, to, out);
}

// `ascii` is number text or a boolean word: short and plain ASCII, so each
// byte widens to one UTF-16 unit in place.
HRESULT MakeBstr(std::string_view ascii, VARIANT* out) {
  BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(ascii.size()));
  if (b == nullptr) return E_OUTOFMEMORY;
  for (size_t i = 0; i < ascii.size(); ++i) b[i] = static_cast<unsigned char>(ascii[i]);
  VariantInit(out);
  out->vt = VT_BSTR;
  out->bstrVal = b;
  return S_OK;
}

HRESULT ToBstr(const VARIANT& s, USHORT flags, VARIANT* out) {
  switch (s.vt) {
    case VT_EMPTY:
      return MakeBstr("", out);
    case VT_BOOL:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) return MakeBstr(s.boolVal ? "True" : "False", out);
      return MakeBstr(std::to_string(s.boolVal), out);
    case VT_I1:
      return MakeBstr(std::to_string(static_cast<int>(s.cVal)), out);
    case VT_UI1:
      return MakeBstr(std::to_string(s.bVal), out);
    case VT_I2:
      return MakeBstr(std::to_string(s.iVal), out);
    case VT_UI2:
      return MakeBstr(std::to_string(s.uiVal), out);
    case VT_I4:
    case VT_INT:
      return MakeBstr(std::to_string(s.lVal), out);
    case VT_UI4:
    case VT_UINT:
      return MakeBstr(std::to_string(s.ulVal), out);
    case VT_I8:
      return MakeBstr(std::to_string(s.llVal), out);
    case VT_UI8:
      return MakeBstr(std::to_string(s.ullVal), out);
    case VT_R8:
      return MakeBstr(FormatReal(s.dblVal, 15), out);
    case VT_R4:
      return MakeBstr(FormatReal(s.fltVal, 7), out);
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// A byte array (one dimension) as a BSTR of that many bytes, and back.
HRESULT ByteArrayToBstr(SAFEARRAY* array, VARIANT* out) {
  if (array == nullptr || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) {
    return DISP_E_TYPEMISMATCH;
  }
  void* data = nullptr;
  HRESULT hr = SafeArrayAccessData(array, &data);
  if (FAILED(hr)) return hr;
  BSTR b = SysAllocStringByteLen(static_cast<const char*>(data), array->rgsabound[0].cElements);
  SafeArrayUnaccessData(array);
  if (b == nullptr) return E_OUTOFMEMORY;
  VariantInit(out);
  out->vt = VT_BSTR;
  out->bstrVal = b;
  return S_OK;
}

HRESULT BstrToByteArray(BSTR text, VARIANT* out) {
  const UINT bytes = SysStringByteLen(text);
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, bytes);
  if (array == nullptr) return E_OUTOFMEMORY;
  if (bytes) std::memcpy(array->pvData, text, bytes);
  VariantInit(out);
  out->vt = VT_ARRAY | VT_UI1;
  out->parray = array;
  return S_OK;
}

HRESULT QueryInto(IUnknown* from, const IID& iid, VARTYPE to, VARIANT* out) {
  void* result = nullptr;
  if (from != nullptr && FAILED(from->QueryInterface(iid, &result))) return DISP_E_TYPEMISMATCH;
  VariantInit(out);
  out->vt = to;
  out->byref = result;
  return S_OK;
}

HRESULT Coerce(const VARIANT& s, VARTYPE to, USHORT flags, LCID lcid, VARIANT* out, int depth);

// An object converts to a value through its default member (DISPID_VALUE),
// unless the caller asked not to.
HRESULT ValueOfObject(IDispatch* object, VARTYPE to, USHORT flags, LCID lcid, VARIANT* out, int depth) {
  if (object == nullptr || (flags & VARIANT_NOVALUEPROP) || depth > 0) return DISP_E_TYPEMISMATCH;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VariantHolder value;
  const HRESULT hr =
      object->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none, value.get(), nullptr, nullptr);
  if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
  if (value->vt & VT_BYREF) return DISP_E_TYPEMISMATCH;
  return Coerce(*value.get(), to, flags, lcid, out, depth + 1);
}

HRESULT Coerce(const VARIANT& s, VARTYPE to, USHORT flags, LCID lcid, VARIANT* out, int depth) {
  const VARTYPE from = s.vt;
  if (from == to) return CopyOwned(out, &s);
  if (to == VT_EMPTY) {
    VariantInit(out);
    return S_OK;
  }
  if (from == VT_NULL) return DISP_E_TYPEMISMATCH;
  if (to == VT_NULL) {
    if (from != VT_EMPTY) return DISP_E_TYPEMISMATCH;
    VariantInit(out);
    out->vt = VT_NULL;
    return S_OK;
  }
  if (to == (VT_ARRAY | VT_UI1) && from == VT_BSTR) return BstrToByteArray(s.bstrVal, out);
  if (to == VT_BSTR && from == (VT_ARRAY | VT_UI1)) return ByteArrayToBstr(s.parray, out);
  if ((to & VT_ARRAY) || (from & VT_ARRAY)) return DISP_E_TYPEMISMATCH;

  if (to == VT_UNKNOWN || to == VT_DISPATCH) {
    if (from == VT_EMPTY) {
      VariantInit(out);
      out->vt = to;
      out->punkVal = nullptr;
      return S_OK;
    }
    if (from == VT_UNKNOWN || from == VT_DISPATCH) {
      return QueryInto(s.punkVal, to == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, to, out);
    }
    return DISP_E_TYPEMISMATCH;
  }
  if (from == VT_DISPATCH) return ValueOfObject(s.pdispVal, to, flags, lcid, out, depth);
  if (to == VT_BSTR) return ToBstr(s, flags, out);

  if (to == VT_ERROR) {
    // An error code and a 32-bit integer share their representation.
    if (from != VT_I4 && from != VT_UI4 && from != VT_INT && from != VT_UINT) return DISP_E_TYPEMISMATCH;
    VariantInit(out);
    out->vt = VT_ERROR;
    out->scode = s.lVal;
    return S_OK;
  }
  if (!IsNumericTarget(to)) return DISP_E_TYPEMISMATCH;

  switch (from) {
    case VT_EMPTY:
      return IntegerToTarget(0, to, out);
    case VT_I1:
      return IntegerToTarget(s.cVal, to, out);
    case VT_UI1:
      return IntegerToTarget(s.bVal, to, out);
    case VT_I2:
      return IntegerToTarget(s.iVal, to, out);
    case VT_UI2:
      return IntegerToTarget(s.uiVal, to, out);
    case VT_I4:
    case VT_INT:
      return IntegerToTarget(s.lVal, to, out);
    case VT_UI4:
    case VT_UINT:
      return IntegerToTarget(s.ulVal, to, out);
    case VT_I8:
      return IntegerToTarget(s.llVal, to, out);
    case VT_UI8:
      return IntegerToTarget(s.ullVal, to, out);
    case VT_R4:
      return RealToTarget(s.fltVal, to, out);
    case VT_R8:
      return RealToTarget(s.dblVal, to, out);
    case VT_BOOL:
      return BoolToTarget(s.boolVal, to, out);
    case VT_BSTR:
      return TextToTarget(s.bstrVal, to, out);
    case VT_ERROR:
      if (to == VT_I4 || to == VT_UI4 || to == VT_INT || to == VT_UINT) {
        VariantInit(out);
        out->vt = to;
        out->lVal = s.scode;
        return S_OK;
      }
      return DISP_E_TYPEMISMATCH;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// A shallow, non-owning view of the value a (possibly VT_BYREF) variant
// holds. False when the reference cannot be followed.
bool ValueView(const VARIANT* src, VARIANT* view, HRESULT* error) {
  if (!(src->vt & VT_BYREF)) {
    *view = *src;
    return true;
  }
  if (src->byref == nullptr) {
    *error = E_INVALIDARG;
    return false;
  }
  const VARTYPE base = src->vt & ~VT_BYREF;
  if (base == VT_VARIANT) {
    const VARIANT* inner = src->pvarVal;
    if (!IsValidVariantType(inner->vt) || (inner->vt & VT_BYREF)) {
      *error = (inner->vt & VT_BYREF) ? E_INVALIDARG : DISP_E_BADVARTYPE;
      return false;
    }
    *view = *inner;
    return true;
  }
  VariantInit(view);
  if (base & VT_ARRAY) {
    view->vt = base;
    view->parray = *src->pparray;
    return true;
  }
  switch (base) {
    case VT_BSTR:
      view->vt = base;
      view->bstrVal = *src->pbstrVal;
      return true;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      view->vt = base;
      view->punkVal = *src->ppunkVal;
      return true;
    case VT_DECIMAL:
      view->decVal = *src->pdecVal;
      view->vt = VT_DECIMAL;
      return true;
    default: {
      const size_t size = krsoap::com::ScalarSize(base);
      if (size == 0) {
        *error = DISP_E_BADVARTYPE;
        return false;
      }
      view->vt = base;
      std::memcpy(&view->llVal, src->byref, size);
      return true;
    }
  }
}

}  // namespace
}  // namespace krsoap::com

using krsoap::com::IsValidVariantType;

extern "C" {

void VariantInit(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  const VARTYPE vt = pvarg->vt;
  if (!IsValidVariantType(vt)) return DISP_E_BADVARTYPE;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      const HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      SysFreeString(pvarg->bstrVal);
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
    }
  }
  pvarg->vt = VT_EMPTY;
  pvarg->llVal = 0;
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvarg_dest, const VARIANTARG* pvarg_src) {
  if (pvarg_dest == nullptr || pvarg_src == nullptr) return E_INVALIDARG;
  if (pvarg_dest == pvarg_src) return S_OK;
  if (!IsValidVariantType(pvarg_src->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy;
  const HRESULT hr = krsoap::com::CopyOwned(&copy, pvarg_src);
  if (FAILED(hr)) return hr;
  return krsoap::com::Assign(pvarg_dest, &copy);
}

HRESULT VariantCopyInd(VARIANT* pvar_dest, const VARIANTARG* pvarg_src) {
  if (pvar_dest == nullptr || pvarg_src == nullptr) return E_INVALIDARG;
  if (!IsValidVariantType(pvarg_src->vt)) return DISP_E_BADVARTYPE;
  if (!(pvarg_src->vt & VT_BYREF)) return VariantCopy(pvar_dest, pvarg_src);
  VARIANT copy;
  const HRESULT hr = krsoap::com::CopyDereferenced(&copy, pvarg_src, 0);
  if (FAILED(hr)) return hr;
  return krsoap::com::Assign(pvar_dest, &copy);
}

HRESULT VariantChangeTypeEx(VARIANTARG* pvarg_dest, const VARIANTARG* pvar_src, LCID lcid, USHORT flags,
                            VARTYPE vt) {
  if (pvarg_dest == nullptr || pvar_src == nullptr) return E_INVALIDARG;
  if (!IsValidVariantType(pvar_src->vt) || !IsValidVariantType(vt)) return DISP_E_BADVARTYPE;
  VARIANT result;
  if (vt & VT_BYREF) {
    // A reference cannot be made from a value; only a copy of the same
    // reference type is possible.
    if (vt != pvar_src->vt) return DISP_E_TYPEMISMATCH;
    return VariantCopy(pvarg_dest, pvar_src);
  }
  VARIANT view;
  HRESULT hr = S_OK;
  if (!krsoap::com::ValueView(pvar_src, &view, &hr)) return hr;
  hr = krsoap::com::Coerce(view, vt, flags, lcid, &result, 0);
  if (FAILED(hr)) return hr;
  return krsoap::com::Assign(pvarg_dest, &result);
}

HRESULT VariantChangeType(VARIANTARG* pvarg_dest, const VARIANTARG* pvar_src, USHORT flags, VARTYPE vt) {
  return VariantChangeTypeEx(pvarg_dest, pvar_src, LOCALE_USER_DEFAULT, flags, vt);
}

}  // extern "C"

namespace krsoap::com {

size_t ScalarSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    default:
      return 0;
  }
}

}  // namespace krsoap::com
