// VARIANT: Automation's tagged value, and the calls that copy, clear and
// convert it.
//
// The layout is the Windows one: a 16-bit type tag (VARTYPE), three reserved
// words and an 8- or 16-byte union, 24 bytes in all on a 64-bit platform.
// Members are reached as on Windows (v.vt, v.lVal, v.bstrVal or V_VT(&v),
// V_I4(&v)).
//
// Ownership: a VARIANT owns the BSTR, interface reference or SAFEARRAY it
// holds unless VT_BYREF is set; VariantClear releases what it owns and
// VariantCopy duplicates it (new BSTR, AddRef, array copy).
//
// Conversion (VariantChangeType) follows the Automation rules for the types
// krsoap uses: empty, null, the integer types, R4, R8, BOOL, BSTR, ERROR,
// UNKNOWN, DISPATCH and byte arrays (VT_ARRAY | VT_UI1). Out-of-range values
// give DISP_E_OVERFLOW, text that is not a number DISP_E_TYPEMISMATCH;
// floating-point values round half to even; text is read and written in the
// invariant (US English) locale whatever locale is asked for. Currency, date
// and decimal values are carried and copied but not converted.
#pragma once

#include "platform/com/bstr.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/win32/types.h"

struct IUnknown;
struct IDispatch;
struct IRecordInfo;
struct SAFEARRAY;

typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
typedef float FLOAT;
typedef double DOUBLE;
typedef double DATE;
typedef DWORD LCID;

#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

// Locale identifiers accepted by the Ex calls (all read as invariant).
#define LOCALE_SYSTEM_DEFAULT 0x0800u
#define LOCALE_USER_DEFAULT 0x0400u
#define LOCALE_NEUTRAL 0x0000u
#define LOCALE_INVARIANT 0x007Fu

union CY {
  struct {
    ULONG Lo;
    LONG Hi;
  };
  LONGLONG int64;
};

struct DECIMAL {
  USHORT wReserved;
  union {
    struct {
      BYTE scale;
      BYTE sign;
    };
    USHORT signscale;
  };
  ULONG Hi32;
  union {
    struct {
      ULONG Lo32;
      ULONG Mid32;
    };
    ULONGLONG Lo64;
  };
};

enum VARENUM : unsigned short {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_INT_PTR = 37,
  VT_UINT_PTR = 38,
  VT_FILETIME = 64,
  VT_BLOB = 65,
  VT_STREAM = 66,
  VT_STORAGE = 67,
  VT_STREAMED_OBJECT = 68,
  VT_STORED_OBJECT = 69,
  VT_BLOB_OBJECT = 70,
  VT_CF = 71,
  VT_CLSID = 72,
  VT_VERSIONED_STREAM = 73,
  VT_BSTR_BLOB = 0x0fff,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_ILLEGAL = 0xffff,
  VT_ILLEGALMASKED = 0x0fff,
  VT_TYPEMASK = 0x0fff
};

struct VARIANT {
  union {
    struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        FLOAT* pfltVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        CY* pcyVal;
        DATE* pdate;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        void* byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        DECIMAL* pdecVal;
        CHAR* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        ULONGLONG* pullVal;
        INT* pintVal;
        UINT* puintVal;
        struct {
          void* pvRecord;
          IRecordInfo* pRecInfo;
        };
      };
    };
    DECIMAL decVal;
  };
};
static_assert(sizeof(VARIANT) == 8 + 2 * sizeof(void*) || sizeof(VARIANT) == 16, "VARIANT layout");

typedef VARIANT VARIANTARG;
typedef VARIANT* LPVARIANT;
typedef VARIANT* LPVARIANTARG;

// Accessors as Windows code spells them.
#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#define V_ISARRAY(X) (V_VT(X) & VT_ARRAY)
#define V_ISVECTOR(X) (V_VT(X) & VT_VECTOR)
#define V_NONE(X) V_I2(X)
#define V_UI1(X) ((X)->bVal)
#define V_UI1REF(X) ((X)->pbVal)
#define V_I1(X) ((X)->cVal)
#define V_I2(X) ((X)->iVal)
#define V_I2REF(X) ((X)->piVal)
#define V_UI2(X) ((X)->uiVal)
#define V_I4(X) ((X)->lVal)
#define V_I4REF(X) ((X)->plVal)
#define V_UI4(X) ((X)->ulVal)
#define V_I8(X) ((X)->llVal)
#define V_UI8(X) ((X)->ullVal)
#define V_INT(X) ((X)->intVal)
#define V_UINT(X) ((X)->uintVal)
#define V_R4(X) ((X)->fltVal)
#define V_R8(X) ((X)->dblVal)
#define V_R8REF(X) ((X)->pdblVal)
#define V_CY(X) ((X)->cyVal)
#define V_DATE(X) ((X)->date)
#define V_BSTR(X) ((X)->bstrVal)
#define V_BSTRREF(X) ((X)->pbstrVal)
#define V_DISPATCH(X) ((X)->pdispVal)
#define V_DISPATCHREF(X) ((X)->ppdispVal)
#define V_ERROR(X) ((X)->scode)
#define V_BOOL(X) ((X)->boolVal)
#define V_BOOLREF(X) ((X)->pboolVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_UNKNOWNREF(X) ((X)->ppunkVal)
#define V_VARIANTREF(X) ((X)->pvarVal)
#define V_ARRAY(X) ((X)->parray)
#define V_ARRAYREF(X) ((X)->pparray)
#define V_BYREF(X) ((X)->byref)
#define V_DECIMAL(X) ((X)->decVal)

// VariantChangeType flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_CALENDAR_HIJRI 0x08
#define VARIANT_LOCALBOOL 0x10

extern "C" {
// Sets vt to VT_EMPTY without looking at the old contents.
KR_EXPORT void VariantInit(VARIANTARG* pvarg);
// Releases what the variant owns and leaves it VT_EMPTY. A variant with an
// invalid type gives DISP_E_BADVARTYPE; one holding a locked array gives
// DISP_E_ARRAYISLOCKED; in both cases it is left as it was.
KR_EXPORT HRESULT VariantClear(VARIANTARG* pvarg);
// Clears dest, then makes it a copy of src (deep for BSTRs and arrays,
// AddRef for interfaces; a VT_BYREF value copies the reference). dest == src
// is allowed and changes nothing.
KR_EXPORT HRESULT VariantCopy(VARIANTARG* pvarg_dest, const VARIANTARG* pvarg_src);
// As VariantCopy, but a VT_BYREF source is dereferenced, so that dest holds
// its own copy of the referenced value. dest == src is allowed.
KR_EXPORT HRESULT VariantCopyInd(VARIANT* pvar_dest, const VARIANTARG* pvarg_src);
// Converts src into type vt and stores the result in dest (which may be src).
// On failure dest is left unchanged.
KR_EXPORT HRESULT VariantChangeType(VARIANTARG* pvarg_dest, const VARIANTARG* pvar_src, USHORT flags,
                                    VARTYPE vt);
KR_EXPORT HRESULT VariantChangeTypeEx(VARIANTARG* pvarg_dest, const VARIANTARG* pvar_src, LCID lcid,
                                      USHORT flags, VARTYPE vt);
}

namespace krsoap::com {

// Bytes of a value of the plain scalar type `vt` (VT_I1 ... VT_DATE, VT_BOOL,
// VT_ERROR); 0 for types that own something or need more than a byte copy.
size_t ScalarSize(VARTYPE vt);

// Whether `vt` may appear in a VARIANT (with its VT_ARRAY / VT_BYREF bits).
bool IsValidVariantType(VARTYPE vt);

// Owns one VARIANT and clears it on destruction. Move-only.
class VariantHolder {
 public:
  VariantHolder() { VariantInit(&v_); }
  VariantHolder(const VariantHolder&) = delete;
  VariantHolder& operator=(const VariantHolder&) = delete;
  VariantHolder(VariantHolder&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  VariantHolder& operator=(VariantHolder&& other) noexcept {
    if (this != &other) {
      VariantClear(&v_);
      v_ = other.v_;
      VariantInit(&other.v_);
    }
    return *this;
  }
  ~VariantHolder() { VariantClear(&v_); }

  VARIANT* get() { return &v_; }
  const VARIANT* get() const { return &v_; }
  VARIANT* operator->() { return &v_; }
  const VARIANT* operator->() const { return &v_; }
  // Gives up ownership: the caller takes the value.
  VARIANT Release() {
    VARIANT out = v_;
    VariantInit(&v_);
    return out;
  }

 private:
  VARIANT v_;
};

}  // namespace krsoap::com
