// The generic dispatch path (see stddispatch.h): maps DISPPARAMS onto a
// described method's parameters, coerces them, and calls the vtable slot
// through one generic caller that lays the arguments out as the platform's
// calling convention wants them.
//
// The caller (x86-64 System V): integer-class arguments (integers, pointers,
// BSTRs, interfaces, 8-byte structures) go to the six general registers in
// order, floating-point arguments to the eight vector registers in order,
// and whatever does not fit — and every argument larger than 16 bytes, such
// as a VARIANT by value — to the stack in argument order. Calling a fixed
// signature of six integers, eight doubles and N stack words therefore
// reaches any method of such parameters: each argument is placed in the
// register or stack word the callee reads it from.
#include "platform/com/stddispatch.h"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "platform/com/typelib.h"
#include "platform/text/convert.h"

#if !defined(__x86_64__)
#error "the generic dispatch caller is written for the x86-64 System V calling convention"
#endif

namespace krsoap::com {
namespace {

using Word = uint64_t;
constexpr int kMaxStackWords = 48;
constexpr size_t kMaxParams = 64;

struct Frame {
  Word gpr[6] = {};
  double xmm[8] = {};
  Word stack[kMaxStackWords] = {};
  int ngpr = 0;
  int nxmm = 0;
  int nstack = 0;
  bool overflow = false;

  void Int(Word w) {
    if (ngpr < 6) gpr[ngpr++] = w;
    else Stack(w);
  }
  void Float(Word bits) {
    if (nxmm < 8) xmm[nxmm++] = std::bit_cast<double>(bits);
    else Stack(bits);
  }
  void Stack(Word w) {
    if (nstack < kMaxStackWords) stack[nstack++] = w;
    else overflow = true;
  }
  void Memory(const void* p, size_t bytes) {
    for (size_t off = 0; off < bytes; off += sizeof(Word)) {
      Word w = 0;
      std::memcpy(&w, static_cast<const char*>(p) + off, std::min(sizeof(Word), bytes - off));
      Stack(w);
    }
  }
};

template <size_t>
using StackWord = Word;

template <size_t... I>
HRESULT CallWith(void* fn, const Frame& f, std::index_sequence<I...>) {
  using Fn = HRESULT (*)(Word, Word, Word, Word, Word, Word, double, double, double, double, double, double, double,
                         double, StackWord<I>...);
  return reinterpret_cast<Fn>(fn)(f.gpr[0], f.gpr[1], f.gpr[2], f.gpr[3], f.gpr[4], f.gpr[5], f.xmm[0], f.xmm[1],
                                  f.xmm[2], f.xmm[3], f.xmm[4], f.xmm[5], f.xmm[6], f.xmm[7], f.stack[I]...);
}

template <size_t N>
HRESULT CallN(void* fn, const Frame& f) {
  return CallWith(fn, f, std::make_index_sequence<N>{});
}

template <size_t... N>
constexpr auto MakeCallers(std::index_sequence<N...>) {
  return std::array<HRESULT (*)(void*, const Frame&), sizeof...(N)>{&CallN<N>...};
}
constexpr auto kCallers = MakeCallers(std::make_index_sequence<kMaxStackWords + 1>{});

HRESULT CallSlot(void* instance, uint16_t slot, Frame& f) {
  void** vtable = *static_cast<void***>(instance);
  return kCallers[f.nstack](vtable[slot], f);
}

// Places a value of type `vt` (no VT_BYREF) held in `v` into the frame.
bool PushValue(Frame& f, VARTYPE vt, const VARIANT& v) {
  if (vt & VT_ARRAY) {
    f.Int(reinterpret_cast<Word>(v.parray));
    return true;
  }
  switch (vt) {
    case VT_I1: f.Int(static_cast<Word>(static_cast<int64_t>(v.cVal))); return true;
    case VT_UI1: f.Int(v.bVal); return true;
    case VT_I2: f.Int(static_cast<Word>(static_cast<int64_t>(v.iVal))); return true;
    case VT_BOOL: f.Int(static_cast<Word>(static_cast<int64_t>(v.boolVal))); return true;
    case VT_UI2: f.Int(v.uiVal); return true;
    case VT_I4:
    case VT_INT:
    case VT_ERROR: f.Int(static_cast<Word>(static_cast<int64_t>(v.lVal))); return true;
    case VT_UI4:
    case VT_UINT: f.Int(v.ulVal); return true;
    case VT_I8:
    case VT_UI8:
    case VT_CY: f.Int(static_cast<Word>(v.llVal)); return true;
    case VT_R4: f.Float(std::bit_cast<uint32_t>(v.fltVal)); return true;
    case VT_R8:
    case VT_DATE: f.Float(std::bit_cast<Word>(v.dblVal)); return true;
    case VT_BSTR: f.Int(reinterpret_cast<Word>(v.bstrVal)); return true;
    case VT_UNKNOWN:
    case VT_DISPATCH: f.Int(reinterpret_cast<Word>(v.punkVal)); return true;
    case VT_VARIANT: f.Memory(&v, sizeof(VARIANT)); return true;
    default: return false;
  }
}

// Temporaries of one call, cleared on every path out.
struct Temps {
  std::array<VARIANT, kMaxParams> v;
  std::array<bool, kMaxParams> used{};
  ~Temps() {
    for (size_t i = 0; i < v.size(); ++i) {
      if (used[i]) VariantClear(&v[i]);
    }
  }
  VARIANT& Take(size_t i) {
    std::memset(&v[i], 0, sizeof(VARIANT));
    used[i] = true;
    return v[i];
  }
};

void FillException(EXCEPINFO* info, HRESULT hr, const std::u16string& source) {
  if (!info) return;
  std::memset(info, 0, sizeof(*info));
  info->bstrSource = SysAllocStringLen(source.data(), static_cast<UINT>(source.size()));
  std::u16string text = platform::Utf8ToUtf16(HResultMessage(hr));
  info->bstrDescription = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  info->scode = hr;
}

}  // namespace

HRESULT InvokeDescribed(void* instance, const tlb::Func& func, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepinfo, UINT* arg_err, const std::u16string& source) {
  const size_t nparams = func.params.size();
  if (nparams > kMaxParams) return DISP_E_BADCALLEE;
  const bool has_retval = nparams > 0 && (func.params.back().flags & tlb::kParamRetval);
  const size_t ninputs = has_retval ? nparams - 1 : nparams;
  const UINT cargs = params->cArgs;
  const UINT cnamed = params->cNamedArgs;
  if (cnamed > cargs || (cargs && !params->rgvarg) || (cnamed && !params->rgdispidNamedArgs)) return E_INVALIDARG;
  const bool is_put = func.invkind == tlb::kInvokePropPut || func.invkind == tlb::kInvokePropPutRef;

  // Which rgvarg entry feeds each parameter (-1: none).
  std::array<int, kMaxParams> source_of;
  source_of.fill(-1);
  UINT positional = cargs - cnamed;
  if (is_put && cnamed == 0 && cargs > 0) {
    // A put without the named DISPID_PROPERTYPUT: the value is rgvarg[0].
    positional = cargs - 1;
    if (ninputs > 0) source_of[ninputs - 1] = 0;
  }
  if (is_put && ninputs == 0) return DISP_E_BADPARAMCOUNT;
  const size_t max_positional = is_put ? ninputs - 1 : ninputs;
  if (positional > max_positional) return DISP_E_BADPARAMCOUNT;
  for (UINT i = 0; i < positional; ++i) source_of[i] = static_cast<int>(cargs - 1 - i);
  for (UINT j = 0; j < cnamed; ++j) {
    DISPID id = params->rgdispidNamedArgs[j];
    size_t target;
    if (id == DISPID_PROPERTYPUT && is_put) {
      target = ninputs - 1;
    } else if (id >= 0 && static_cast<size_t>(id) < ninputs) {
      target = static_cast<size_t>(id);
    } else {
      if (arg_err) *arg_err = j;
      return DISP_E_PARAMNOTFOUND;
    }
    if (source_of[target] != -1) {
      if (arg_err) *arg_err = j;
      return DISP_E_PARAMNOTFOUND;
    }
    source_of[target] = static_cast<int>(j);
  }
  for (size_t i = 0; i < ninputs; ++i) {
    if (source_of[i] == -1 && !(func.params[i].flags & tlb::kParamOptional)) return DISP_E_BADPARAMCOUNT;
  }

  Temps temps;
  // Out parameters handed a VT_BYREF|VT_VARIANT: written back after the call.
  std::array<VARIANT*, kMaxParams> write_back{};
  Frame frame;
  frame.Int(reinterpret_cast<Word>(instance));
  for (size_t i = 0; i < nparams; ++i) {
    const tlb::Param& p = func.params[i];
    const VARTYPE base = static_cast<VARTYPE>(p.vt & ~tlb::kVtByRef);
    const bool byref = (p.vt & tlb::kVtByRef) != 0;
    if (has_retval && i == nparams - 1) {
      VARIANT& slot = temps.Take(i);
      if (base != VT_VARIANT) slot.vt = base;
      frame.Int(reinterpret_cast<Word>(base == VT_VARIANT ? static_cast<void*>(&slot) : static_cast<void*>(&slot.llVal)));
      continue;
    }
    const int src_index = source_of[i];
    if (src_index < 0) {
      // A missing optional argument: "not found" for VARIANTs, zero otherwise.
      VARIANT& missing = temps.Take(i);
      if (base == VT_VARIANT) {
        missing.vt = VT_ERROR;
        missing.scode = DISP_E_PARAMNOTFOUND;
      }
      if (byref) frame.Int(reinterpret_cast<Word>(base == VT_VARIANT ? static_cast<void*>(&missing) : static_cast<void*>(&missing.llVal)));
      else if (!PushValue(frame, base, missing)) return DISP_E_BADVARTYPE;
      continue;
    }
    VARIANT* arg = &params->rgvarg[src_index];
    auto mismatch = [&](HRESULT hr) {
      if (arg_err) *arg_err = static_cast<UINT>(src_index);
      return hr;
    };
    if (byref) {
      if (arg->vt == (base | VT_BYREF)) {
        frame.Int(reinterpret_cast<Word>(arg->byref));
      } else if (base == VT_VARIANT && !(arg->vt & VT_BYREF)) {
        frame.Int(reinterpret_cast<Word>(arg));
      } else if (arg->vt == (VT_BYREF | VT_VARIANT) && arg->pvarVal) {
        VARIANT& tmp = temps.Take(i);
        if (p.flags & tlb::kParamIn) {
          HRESULT hr = VariantChangeType(&tmp, arg->pvarVal, 0, base);
          if (FAILED(hr)) return mismatch(hr);
        } else {
          tmp.vt = base;
        }
        write_back[i] = arg->pvarVal;
        frame.Int(reinterpret_cast<Word>(&tmp.llVal));
      } else if (!(p.flags & tlb::kParamOut) && arg->vt == base) {
        frame.Int(reinterpret_cast<Word>(&arg->llVal));
      } else {
        return mismatch(DISP_E_TYPEMISMATCH);
      }
      continue;
    }
    const VARIANT* value = arg;
    if (arg->vt == (VT_BYREF | VT_VARIANT) && arg->pvarVal) value = arg->pvarVal;
    if (base == VT_VARIANT) {
      if (value->vt & VT_BYREF) {
        VARIANT& tmp = temps.Take(i);
        HRESULT hr = VariantCopyInd(&tmp, value);
        if (FAILED(hr)) return mismatch(hr);
        value = &tmp;
      }
      PushValue(frame, VT_VARIANT, *value);
      continue;
    }
    if (value->vt != base) {
      VARIANT& tmp = temps.Take(i);
      HRESULT hr = VariantChangeType(&tmp, value, 0, base);
      if (FAILED(hr)) return mismatch(hr);
      value = &tmp;
    }
    if (!PushValue(frame, base, *value)) return mismatch(DISP_E_BADVARTYPE);
  }
  if (frame.overflow) return DISP_E_BADCALLEE;

  HRESULT hr = CallSlot(instance, func.slot, frame);
  if (FAILED(hr)) {
    FillException(excepinfo, hr, source);
    return DISP_E_EXCEPTION;
  }
  for (size_t i = 0; i < nparams; ++i) {
    if (!write_back[i]) continue;
    VariantClear(write_back[i]);
    *write_back[i] = temps.v[i];
    temps.used[i] = false;
  }
  if (has_retval) {
    VARIANT& out = temps.v[nparams - 1];
    if (result) {
      *result = out;
      temps.used[nparams - 1] = false;
    }
  } else if (result) {
    VariantInit(result);
  }
  return S_OK;
}

HRESULT CallSlotWithValues(void* instance, uint16_t slot, size_t count, const VARTYPE* vts, VARIANT* const* values) {
  Frame frame;
  frame.Int(reinterpret_cast<Word>(instance));
  for (size_t i = 0; i < count; ++i) {
    if (vts[i] & VT_BYREF) {
      frame.Int(reinterpret_cast<Word>(values[i]->byref));
    } else if (!PushValue(frame, vts[i], *values[i])) {
      return DISP_E_BADVARTYPE;
    }
  }
  if (frame.overflow) return DISP_E_BADCALLEE;
  return CallSlot(instance, slot, frame);
}

}  // namespace krsoap::com

extern "C" {

KR_EXPORT HRESULT DispGetIDsOfNames(ITypeInfo* ptinfo, LPOLESTR* names, UINT count, DISPID* ids) {
  if (!ptinfo) return E_INVALIDARG;
  return ptinfo->GetIDsOfNames(names, count, ids);
}

KR_EXPORT HRESULT DispInvoke(void* instance, ITypeInfo* ptinfo, DISPID member, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* excepinfo, UINT* arg_err) {
  if (!ptinfo) return E_INVALIDARG;
  return ptinfo->Invoke(instance, member, flags, params, result, excepinfo, arg_err);
}

}  // extern "C"
