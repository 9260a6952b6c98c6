// SAFEARRAY descriptors, element storage and element ownership.
//
// A descriptor is allocated with a 16-byte prefix: the element type (the four
// bytes just before the descriptor, FADF_HAVEVARTYPE) or, for interface
// arrays, the interface identifier (the sixteen bytes before it,
// FADF_HAVEIID), as Windows lays them out. Data blocks are zero-filled, which
// makes every element an empty variant, a null string or a null interface.
#include "platform/com/safearray.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/com/dispatch.h"
#include "platform/com/variant.h"

namespace {

constexpr size_t kPrefix = 16;
// Arrays larger than this fail to allocate, as they would in a 32-bit
// process; it also keeps every byte count within a 32-bit ULONG.
constexpr uint64_t kMaxDataBytes = 0x7FFFFFFFu;
// Windows caps the lock count at 65535.
constexpr ULONG kMaxLocks = 0xFFFF;
constexpr USHORT kOwnershipFlags = FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT | FADF_RECORD;

ULONG ElementSize(VARTYPE vt) {
  if (size_t scalar = krsoap::com::ScalarSize(vt)) return static_cast<ULONG>(scalar);
  switch (vt) {
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(void*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    case VT_DECIMAL:
      return sizeof(DECIMAL);
    default:
      return 0;
  }
}

USHORT FeaturesFor(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_BSTR | FADF_HAVEVARTYPE;
    case VT_VARIANT:
      return FADF_VARIANT | FADF_HAVEVARTYPE;
    case VT_UNKNOWN:
      return FADF_UNKNOWN | FADF_HAVEIID;
    case VT_DISPATCH:
      return FADF_DISPATCH | FADF_HAVEIID;
    default:
      return FADF_HAVEVARTYPE;
  }
}

char* PrefixOf(SAFEARRAY* psa) { return reinterpret_cast<char*>(psa) - kPrefix; }

size_t DescriptorBytes(UINT dims) { return kPrefix + sizeof(SAFEARRAY) + (dims - 1) * sizeof(SAFEARRAYBOUND); }

// Total number of elements, or false when it overflows.
bool ElementCount(const SAFEARRAY* psa, uint64_t* count) {
  uint64_t total = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) {
    const uint64_t n = psa->rgsabound[i].cElements;
    if (n != 0 && total > UINT64_MAX / n) return false;
    total *= n;
  }
  *count = total;
  return true;
}

bool DataBytes(const SAFEARRAY* psa, uint64_t* bytes) {
  uint64_t count;
  if (!ElementCount(psa, &count)) return false;
  if (psa->cbElements != 0 && count > kMaxDataBytes / psa->cbElements) return false;
  *bytes = count * psa->cbElements;
  return *bytes <= kMaxDataBytes;
}

std::atomic_ref<ULONG> LockCount(SAFEARRAY* psa) { return std::atomic_ref<ULONG>(psa->cLocks); }

bool IsLocked(SAFEARRAY* psa) { return LockCount(psa).load(std::memory_order_acquire) != 0; }

// Releases what `count` elements starting at `data` own, leaving them zeroed.
void ReleaseElements(SAFEARRAY* psa, char* data, uint64_t count) {
  const USHORT f = psa->fFeatures;
  if (data == nullptr || !(f & kOwnershipFlags)) return;
  for (uint64_t i = 0; i < count; ++i) {
    char* cell = data + i * psa->cbElements;
    if (f & FADF_BSTR) {
      BSTR b;
      std::memcpy(&b, cell, sizeof b);
      SysFreeString(b);
    } else if (f & (FADF_UNKNOWN | FADF_DISPATCH)) {
      IUnknown* unknown;
      std::memcpy(&unknown, cell, sizeof unknown);
      if (unknown != nullptr) unknown->Release();
    } else if (f & FADF_VARIANT) {
      VariantClear(reinterpret_cast<VARIANT*>(cell));
    }
  }
  std::memset(data, 0, static_cast<size_t>(count * psa->cbElements));
}

// Copies `count` elements into zeroed target storage, duplicating what they
// own. On failure the elements copied so far stay in the target, owned by it.
HRESULT CopyElements(SAFEARRAY* psa, const char* from, char* to, uint64_t count) {
  const USHORT f = psa->fFeatures;
  if (!(f & kOwnershipFlags)) {
    std::memcpy(to, from, static_cast<size_t>(count * psa->cbElements));
    return S_OK;
  }
  for (uint64_t i = 0; i < count; ++i) {
    const char* src = from + i * psa->cbElements;
    char* dst = to + i * psa->cbElements;
    if (f & FADF_BSTR) {
      BSTR b;
      std::memcpy(&b, src, sizeof b);
      BSTR copy = nullptr;
      if (b != nullptr) {
        copy = SysAllocStringByteLen(reinterpret_cast<const char*>(b), SysStringByteLen(b));
        if (copy == nullptr) return E_OUTOFMEMORY;
      }
      std::memcpy(dst, &copy, sizeof copy);
    } else if (f & (FADF_UNKNOWN | FADF_DISPATCH)) {
      IUnknown* unknown;
      std::memcpy(&unknown, src, sizeof unknown);
      if (unknown != nullptr) unknown->AddRef();
      std::memcpy(dst, &unknown, sizeof unknown);
    } else if (f & FADF_VARIANT) {
      VARIANT* target = reinterpret_cast<VARIANT*>(dst);
      VariantInit(target);
      const HRESULT hr = VariantCopy(target, reinterpret_cast<const VARIANT*>(src));
      if (FAILED(hr)) return hr;
    } else {
      return E_INVALIDARG;  // records
    }
  }
  return S_OK;
}

SAFEARRAY* AllocDescriptor(UINT dims) {
  char* block = static_cast<char*>(std::calloc(1, DescriptorBytes(dims)));
  if (block == nullptr) return nullptr;
  SAFEARRAY* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefix);
  psa->cDims = static_cast<USHORT>(dims);
  return psa;
}

void FreeDescriptor(SAFEARRAY* psa) { std::free(PrefixOf(psa)); }

void SetType(SAFEARRAY* psa, VARTYPE vt) {
  psa->fFeatures = FeaturesFor(vt);
  psa->cbElements = ElementSize(vt);
  char* prefix = PrefixOf(psa);
  if (psa->fFeatures & FADF_HAVEIID) {
    const IID& iid = vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown;
    std::memcpy(prefix, &iid, sizeof iid);
  } else {
    const DWORD type = vt;
    std::memcpy(prefix + kPrefix - sizeof type, &type, sizeof type);
  }
}

bool OwnsData(const SAFEARRAY* psa) { return !(psa->fFeatures & (FADF_STATIC | FADF_AUTO | FADF_EMBEDDED)); }

// The address of the element at `indices` (leftmost dimension first; it is
// the fastest-varying one and lives in the last bound slot).
HRESULT CellOf(SAFEARRAY* psa, const LONG* indices, char** cell) {
  if (psa == nullptr || indices == nullptr) return E_INVALIDARG;
  if (psa->cDims == 0) return E_INVALIDARG;
  uint64_t offset = 0;
  uint64_t stride = 1;
  for (USHORT d = 0; d < psa->cDims; ++d) {
    const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - 1 - d];
    const int64_t position = static_cast<int64_t>(indices[d]) - bound.lLbound;
    if (position < 0 || static_cast<uint64_t>(position) >= bound.cElements) return DISP_E_BADINDEX;
    offset += static_cast<uint64_t>(position) * stride;
    stride *= bound.cElements;
  }
  if (psa->pvData == nullptr) return E_UNEXPECTED;
  *cell = static_cast<char*>(psa->pvData) + offset * psa->cbElements;
  return S_OK;
}

HRESULT AllocateData(SAFEARRAY* psa) {
  uint64_t bytes;
  if (!DataBytes(psa, &bytes)) return E_OUTOFMEMORY;
  void* data = std::calloc(1, static_cast<size_t>(bytes ? bytes : 1));
  if (data == nullptr) return E_OUTOFMEMORY;
  psa->pvData = data;
  return S_OK;
}

}  // namespace

extern "C" {

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  if (cDims == 0 || cDims > 0xFFFF || rgsabound == nullptr || ElementSize(vt) == 0) return nullptr;
  SAFEARRAY* psa = AllocDescriptor(cDims);
  if (psa == nullptr) return nullptr;
  SetType(psa, vt);
  // Stored last dimension first.
  for (UINT i = 0; i < cDims; ++i) psa->rgsabound[i] = rgsabound[cDims - 1 - i];
  if (FAILED(AllocateData(psa))) {
    FreeDescriptor(psa);
    return nullptr;
  }
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound = {cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroyData(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  if (IsLocked(psa)) return DISP_E_ARRAYISLOCKED;
  uint64_t count = 0;
  ElementCount(psa, &count);
  ReleaseElements(psa, static_cast<char*>(psa->pvData), count);
  if (OwnsData(psa)) {
    std::free(psa->pvData);
    psa->pvData = nullptr;
  }
  return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  const HRESULT hr = SafeArrayDestroyData(psa);
  if (FAILED(hr)) return hr;
  FreeDescriptor(psa);
  return S_OK;
}

HRESULT SafeArrayAllocData(SAFEARRAY* psa) {
  if (psa == nullptr || psa->cDims == 0) return E_INVALIDARG;
  if (psa->pvData != nullptr) return E_UNEXPECTED;
  return AllocateData(psa);
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  auto locks = LockCount(psa);
  ULONG current = locks.load(std::memory_order_relaxed);
  do {
    if (current >= kMaxLocks) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel));
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  auto locks = LockCount(psa);
  ULONG current = locks.load(std::memory_order_relaxed);
  do {
    if (current == 0) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) {
    *ppvData = nullptr;
    return hr;
  }
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
  if (ppvData == nullptr) return E_INVALIDARG;
  char* cell = nullptr;
  const HRESULT hr = CellOf(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;
  *ppvData = cell;
  return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  char* cell = nullptr;
  HRESULT hr = CellOf(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;
  const USHORT f = psa->fFeatures;
  // A null pv is a null string or interface; for values it has no meaning.
  if (pv == nullptr && !(f & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH))) return E_INVALIDARG;
  hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  if (f & FADF_BSTR) {
    BSTR source = static_cast<BSTR>(pv);
    BSTR copy = nullptr;
    if (source != nullptr) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(source), SysStringByteLen(source));
      if (copy == nullptr) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) {
      BSTR old;
      std::memcpy(&old, cell, sizeof old);
      std::memcpy(cell, &copy, sizeof copy);
      SysFreeString(old);
    }
  } else if (f & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* fresh = static_cast<IUnknown*>(pv);
    if (fresh != nullptr) fresh->AddRef();
    IUnknown* old;
    std::memcpy(&old, cell, sizeof old);
    std::memcpy(cell, &fresh, sizeof fresh);
    if (old != nullptr) old->Release();
  } else if (f & FADF_VARIANT) {
    hr = VariantCopy(reinterpret_cast<VARIANT*>(cell), static_cast<const VARIANT*>(pv));
  } else if (f & FADF_RECORD) {
    hr = E_NOTIMPL;
  } else {
    std::memcpy(cell, pv, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (pv == nullptr) return E_INVALIDARG;
  char* cell = nullptr;
  HRESULT hr = CellOf(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;
  hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  const USHORT f = psa->fFeatures;
  if (f & FADF_BSTR) {
    BSTR b;
    std::memcpy(&b, cell, sizeof b);
    BSTR copy = nullptr;
    if (b != nullptr) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(b), SysStringByteLen(b));
      if (copy == nullptr) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) *static_cast<BSTR*>(pv) = copy;
  } else if (f & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* unknown;
    std::memcpy(&unknown, cell, sizeof unknown);
    if (unknown != nullptr) unknown->AddRef();
    *static_cast<IUnknown**>(pv) = unknown;
  } else if (f & FADF_VARIANT) {
    VARIANT* target = static_cast<VARIANT*>(pv);
    VariantInit(target);
    hr = VariantCopy(target, reinterpret_cast<const VARIANT*>(cell));
  } else if (f & FADF_RECORD) {
    hr = E_NOTIMPL;
  } else {
    std::memcpy(pv, cell, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - nDim];
  // An empty dimension has an upper bound one below its lower bound; the
  // arithmetic is done wide and truncated as a 32-bit value, as on Windows.
  *plUbound = static_cast<LONG>(static_cast<uint32_t>(static_cast<int64_t>(bound.lLbound) + bound.cElements - 1));
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  const USHORT f = psa->fFeatures;
  if (f & FADF_RECORD) {
    *pvt = VT_RECORD;
  } else if (f & FADF_HAVEIID) {
    *pvt = (f & FADF_DISPATCH) ? VT_DISPATCH : VT_UNKNOWN;
  } else if (f & FADF_HAVEVARTYPE) {
    DWORD type;
    std::memcpy(&type, PrefixOf(psa) + kPrefix - sizeof type, sizeof type);
    *pvt = static_cast<VARTYPE>(type);
  } else if (f & FADF_BSTR) {
    *pvt = VT_BSTR;
  } else if (f & FADF_VARIANT) {
    *pvt = VT_VARIANT;
  } else if (f & FADF_DISPATCH) {
    *pvt = VT_DISPATCH;
  } else if (f & FADF_UNKNOWN) {
    *pvt = VT_UNKNOWN;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) {
  if (psa == nullptr || psaboundNew == nullptr || psa->cDims == 0) return E_INVALIDARG;
  if (psa->fFeatures & FADF_FIXEDSIZE) return E_INVALIDARG;
  if (!OwnsData(psa)) return E_INVALIDARG;
  if (IsLocked(psa)) return DISP_E_ARRAYISLOCKED;
  uint64_t old_count = 0;
  if (!ElementCount(psa, &old_count)) return E_UNEXPECTED;
  const SAFEARRAYBOUND old_bound = psa->rgsabound[0];
  psa->rgsabound[0] = *psaboundNew;
  uint64_t new_count = 0;
  uint64_t new_bytes = 0;
  if (!ElementCount(psa, &new_count) || !DataBytes(psa, &new_bytes)) {
    psa->rgsabound[0] = old_bound;
    return E_OUTOFMEMORY;
  }
  char* data = static_cast<char*>(psa->pvData);
  if (new_count == old_count) return S_OK;
  // The rightmost dimension varies slowest, so its elements are the tail of
  // the data block: shrinking drops the tail, growing appends zeroed cells.
  if (new_count < old_count) {
    ReleaseElements(psa, data + new_count * psa->cbElements, old_count - new_count);
    // A shrinking realloc that fails leaves the larger block, which is fine.
    if (void* smaller = std::realloc(data, static_cast<size_t>(new_bytes ? new_bytes : 1))) psa->pvData = smaller;
    return S_OK;
  }
  void* larger = std::realloc(data, static_cast<size_t>(new_bytes));
  if (larger == nullptr) {
    psa->rgsabound[0] = old_bound;
    return E_OUTOFMEMORY;
  }
  const size_t old_bytes = static_cast<size_t>(old_count * psa->cbElements);
  std::memset(static_cast<char*>(larger) + old_bytes, 0, static_cast<size_t>(new_bytes) - old_bytes);
  psa->pvData = larger;
  return S_OK;
}

HRESULT SafeArrayCopyData(SAFEARRAY* psaSource, SAFEARRAY* psaTarget) {
  if (psaSource == nullptr || psaTarget == nullptr) return E_INVALIDARG;
  if (psaSource == psaTarget) return S_OK;
  if (psaSource->cDims != psaTarget->cDims || psaSource->cbElements != psaTarget->cbElements ||
      (psaSource->fFeatures & kOwnershipFlags) != (psaTarget->fFeatures & kOwnershipFlags)) {
    return E_INVALIDARG;
  }
  for (USHORT i = 0; i < psaSource->cDims; ++i) {
    if (psaSource->rgsabound[i].cElements != psaTarget->rgsabound[i].cElements) return E_INVALIDARG;
  }
  if (psaSource->pvData == nullptr || psaTarget->pvData == nullptr) return E_INVALIDARG;
  if (IsLocked(psaTarget)) return DISP_E_ARRAYISLOCKED;
  uint64_t count = 0;
  ElementCount(psaSource, &count);
  ReleaseElements(psaTarget, static_cast<char*>(psaTarget->pvData), count);
  return CopyElements(psaSource, static_cast<const char*>(psaSource->pvData), static_cast<char*>(psaTarget->pvData),
                      count);
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;
  if (psa->cDims == 0) return E_INVALIDARG;
  SAFEARRAY* copy = AllocDescriptor(psa->cDims);
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::memcpy(PrefixOf(copy), PrefixOf(psa), kPrefix);
  copy->fFeatures = static_cast<USHORT>(psa->fFeatures & ~(FADF_STATIC | FADF_AUTO | FADF_EMBEDDED));
  copy->cbElements = psa->cbElements;
  std::memcpy(copy->rgsabound, psa->rgsabound, psa->cDims * sizeof(SAFEARRAYBOUND));
  if (psa->pvData != nullptr) {
    HRESULT hr = AllocateData(copy);
    if (SUCCEEDED(hr)) {
      uint64_t count = 0;
      ElementCount(psa, &count);
      hr = CopyElements(psa, static_cast<const char*>(psa->pvData), static_cast<char*>(copy->pvData), count);
    }
    if (FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *ppsaOut = copy;
  return S_OK;
}

}  // extern "C"
