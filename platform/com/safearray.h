// SAFEARRAY: Automation's self-describing array.
//
// The descriptor has the Windows layout (dimension count, feature flags,
// element size, lock count, data pointer, bounds). As on Windows the bounds
// are stored last dimension first: rgsabound[0] describes the rightmost
// dimension, and the first index given to the element calls is the leftmost
// dimension, which varies fastest in memory. Arrays made here always record
// their element type (FADF_HAVEVARTYPE) in the four bytes before the
// descriptor.
//
// Elements of type BSTR, VARIANT, UNKNOWN and DISPATCH are owned by the
// array: putting copies them (new BSTR, VariantCopy, AddRef), getting hands
// out a copy, destroying releases them. Element counts whose total size does
// not fit (or exceeds 2 GB) fail instead of wrapping.
//
// The lock count is updated atomically, so one array may be locked and
// unlocked from several threads; access to its elements is the callers' to
// coordinate, as on Windows.
#pragma once

#include "platform/com/hresult.h"
#include "platform/com/variant.h"
#include "platform/win32/types.h"

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};
typedef SAFEARRAYBOUND* LPSAFEARRAYBOUND;

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};
typedef SAFEARRAY* LPSAFEARRAY;

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_RECORD 0x0020
#define FADF_HAVEIID 0x0040
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800
#define FADF_RESERVED 0xF008

extern "C" {
// nullptr for an element type that cannot be stored in an array, cDims 0,
// a null bound list, or a size that does not fit. Elements start zeroed
// (empty variants, null strings and interfaces).
KR_EXPORT SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
KR_EXPORT SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// Releases the elements and frees the array. nullptr gives S_OK; a locked
// array gives DISP_E_ARRAYISLOCKED and stays intact.
KR_EXPORT HRESULT SafeArrayDestroy(SAFEARRAY* psa);
// Releases the elements and the data block only; the descriptor stays.
KR_EXPORT HRESULT SafeArrayDestroyData(SAFEARRAY* psa);
// Reallocates the data block of a descriptor whose data was destroyed.
KR_EXPORT HRESULT SafeArrayAllocData(SAFEARRAY* psa);

KR_EXPORT HRESULT SafeArrayLock(SAFEARRAY* psa);
// E_UNEXPECTED when the array is not locked.
KR_EXPORT HRESULT SafeArrayUnlock(SAFEARRAY* psa);
KR_EXPORT HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
KR_EXPORT HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);

// rgIndices holds one index per dimension, leftmost dimension first.
// pv: for BSTR elements the BSTR itself, for interfaces the pointer itself,
// for VARIANT elements a VARIANT*, otherwise a pointer to the value.
KR_EXPORT HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
// pv receives a copy: a new BSTR, an AddRef'd interface, a copied VARIANT
// (pv must point at an initialised or garbage VARIANT; it is overwritten).
KR_EXPORT HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
// The address of one element, without copying or locking.
KR_EXPORT HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData);

KR_EXPORT UINT SafeArrayGetDim(SAFEARRAY* psa);
KR_EXPORT UINT SafeArrayGetElemsize(SAFEARRAY* psa);
// nDim counts from 1 (the leftmost dimension); out of range: DISP_E_BADINDEX.
KR_EXPORT HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
KR_EXPORT HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
KR_EXPORT HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);

// Changes the rightmost dimension's bounds; elements that fall away are
// released, new ones start zeroed. A locked array: DISP_E_ARRAYISLOCKED.
KR_EXPORT HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);
// A deep copy; a null source gives a null copy and S_OK.
KR_EXPORT HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
// Copies the elements of psaSource into psaTarget, which must have the same
// shape; the target's old elements are released.
KR_EXPORT HRESULT SafeArrayCopyData(SAFEARRAY* psaSource, SAFEARRAY* psaTarget);
}
