// Encoder and hardened decoder of the type-library binary (see
// typelib_format.h).
#include "platform/com/typelib_format.h"

#include <cstring>
#include <set>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/text/convert.h"

namespace krsoap::com::tlb {
namespace {

constexpr char kMagic[4] = {'K', 'R', 'T', 'L'};
constexpr uint16_t kFormat = 1;
// Upper bounds far above anything a real library holds; they keep a hostile
// file from making the reader allocate without limit.
constexpr uint32_t kMaxTypes = 4096;
constexpr uint32_t kMaxFuncs = 4096;
constexpr uint16_t kMaxParams = 64;

class Writer {
 public:
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void Guid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    for (uint8_t b : g.Data4) U8(b);
  }
  void Str(const std::u16string& s) {
    std::string utf8 = platform::Utf16ToUtf8(s);
    if (utf8.size() > 0xFFFF) utf8.resize(0xFFFF);
    U16(static_cast<uint16_t>(utf8.size()));
    out_.insert(out_.end(), utf8.begin(), utf8.end());
  }
  std::vector<uint8_t> Take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), left_(size) {}
  bool ok() const { return ok_; }
  size_t left() const { return left_; }

  uint8_t U8() {
    if (!Need(1)) return 0;
    uint8_t v = p_[0];
    Skip(1);
    return v;
  }
  uint16_t U16() {
    if (!Need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
    Skip(2);
    return v;
  }
  uint32_t U32() {
    uint32_t lo = U16();
    uint32_t hi = U16();
    return lo | (hi << 16);
  }
  GUID Guid() {
    GUID g{};
    g.Data1 = U32();
    g.Data2 = U16();
    g.Data3 = U16();
    for (auto& b : g.Data4) b = U8();
    return g;
  }
  std::u16string Str() {
    uint16_t n = U16();
    if (!Need(n)) return {};
    std::u16string s = platform::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(p_), n));
    Skip(n);
    return s;
  }
  // A count of records each at least `min_bytes` long must fit in what is left.
  bool CountFits(uint64_t count, size_t min_bytes) {
    if (count * min_bytes > left_) ok_ = false;
    return ok_;
  }

 private:
  bool Need(size_t n) {
    if (!ok_ || left_ < n) {
      ok_ = false;
      return false;
    }
    return true;
  }
  void Skip(size_t n) {
    p_ += n;
    left_ -= n;
  }
  const uint8_t* p_;
  size_t left_;
  bool ok_ = true;
};

bool IsZero(const GUID& g) {
  static const GUID zero{};
  return std::memcmp(&g, &zero, sizeof(GUID)) == 0;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

// Checks what a reader of the library relies on beyond the byte layout.
bool Consistent(const Library& lib) {
  std::set<GUID, GuidLess> seen;
  for (const Type& t : lib.types) {
    if (t.name.empty() || IsZero(t.guid)) return false;
    if (!seen.insert(t.guid).second) return false;
    if (t.kind == kKindCoclass) {
      if (!t.funcs.empty()) return false;
    } else {
      if (!t.impls.empty()) return false;
      if (t.first_slot < 3 && !t.funcs.empty()) return false;
    }
    for (const Func& f : t.funcs) {
      if (f.name.empty()) return false;
      if (f.invkind != kInvokeFunc && f.invkind != kInvokePropGet && f.invkind != kInvokePropPut &&
          f.invkind != kInvokePropPutRef)
        return false;
      if (f.slot < t.first_slot) return false;
      int retvals = 0;
      for (const Param& p : f.params) {
        if (p.flags & kParamRetval) {
          ++retvals;
          if (!(p.vt & kVtByRef)) return false;
        }
      }
      if (retvals > 1) return false;
      // A retval parameter is the last one.
      if (retvals == 1 && !(f.params.back().flags & kParamRetval)) return false;
    }
  }
  // Parents named inside the library must be interfaces of it.
  for (const Type& t : lib.types) {
    if (t.kind == kKindCoclass || IsZero(t.parent)) continue;
    for (const Type& u : lib.types) {
      if (SameGuid(u.guid, t.parent) && u.kind == kKindCoclass) return false;
    }
    if (SameGuid(t.parent, t.guid)) return false;
  }
  return true;
}

}  // namespace

std::vector<uint8_t> Encode(const Library& lib) {
  Writer w;
  for (char c : kMagic) w.U8(static_cast<uint8_t>(c));
  w.U16(kFormat);
  w.U16(0);
  w.Guid(lib.libid);
  w.U16(lib.major);
  w.U16(lib.minor);
  w.U32(lib.lcid);
  w.U32(lib.syskind);
  w.U32(lib.flags);
  w.Str(lib.name);
  w.Str(lib.help);
  w.U32(static_cast<uint32_t>(lib.types.size()));
  for (const Type& t : lib.types) {
    w.U8(t.kind);
    w.U32(t.flags);
    w.Guid(t.guid);
    w.Str(t.name);
    w.Str(t.help);
    w.Guid(t.parent);
    w.Str(t.parent_name);
    w.U16(t.first_slot);
    w.U32(static_cast<uint32_t>(t.funcs.size()));
    for (const Func& f : t.funcs) {
      w.U32(static_cast<uint32_t>(f.dispid));
      w.U8(f.invkind);
      w.U16(f.slot);
      w.U16(f.return_vt);
      w.Str(f.name);
      w.Str(f.help);
      w.U16(static_cast<uint16_t>(f.params.size()));
      for (const Param& p : f.params) {
        w.U16(p.vt);
        w.U16(p.flags);
        w.Str(p.name);
      }
    }
    w.U32(static_cast<uint32_t>(t.impls.size()));
    for (const Impl& i : t.impls) {
      w.Guid(i.iid);
      w.U32(static_cast<uint32_t>(i.flags));
    }
  }
  return w.Take();
}

bool LooksLikeTypeLibrary(const uint8_t* data, size_t size) {
  return data && size >= sizeof(kMagic) && std::memcmp(data, kMagic, sizeof(kMagic)) == 0;
}

HRESULT Decode(const uint8_t* data, size_t size, Library* out) {
  if (!data || size < 8) return size < 4 || !LooksLikeTypeLibrary(data, size) ? TYPE_E_UNSUPFORMAT : TYPE_E_INVDATAREAD;
  if (!LooksLikeTypeLibrary(data, size)) return TYPE_E_UNSUPFORMAT;
  Reader r(data + 4, size - 4);
  if (r.U16() != kFormat) return TYPE_E_UNSUPFORMAT;
  r.U16();
  Library lib;
  lib.libid = r.Guid();
  lib.major = r.U16();
  lib.minor = r.U16();
  lib.lcid = r.U32();
  lib.syskind = r.U32();
  lib.flags = r.U32();
  lib.name = r.Str();
  lib.help = r.Str();
  uint32_t ntypes = r.U32();
  // Smallest type record: kind, flags, two GUIDs, three empty strings, slot, two counts.
  if (!r.ok() || ntypes > kMaxTypes || !r.CountFits(ntypes, 1 + 4 + 16 + 16 + 6 + 2 + 8)) return TYPE_E_INVDATAREAD;
  lib.types.resize(ntypes);
  for (Type& t : lib.types) {
    t.kind = r.U8();
    if (t.kind != kKindInterface && t.kind != kKindDispatch && t.kind != kKindCoclass) return TYPE_E_INVDATAREAD;
    t.flags = r.U32();
    t.guid = r.Guid();
    t.name = r.Str();
    t.help = r.Str();
    t.parent = r.Guid();
    t.parent_name = r.Str();
    t.first_slot = r.U16();
    uint32_t nfuncs = r.U32();
    if (!r.ok() || nfuncs > kMaxFuncs || !r.CountFits(nfuncs, 4 + 1 + 2 + 2 + 2 + 2 + 2)) return TYPE_E_INVDATAREAD;
    t.funcs.resize(nfuncs);
    for (Func& f : t.funcs) {
      f.dispid = static_cast<int32_t>(r.U32());
      f.invkind = r.U8();
      f.slot = r.U16();
      f.return_vt = r.U16();
      f.name = r.Str();
      f.help = r.Str();
      uint16_t nparams = r.U16();
      if (!r.ok() || nparams > kMaxParams || !r.CountFits(nparams, 6)) return TYPE_E_INVDATAREAD;
      f.params.resize(nparams);
      for (Param& p : f.params) {
        p.vt = r.U16();
        p.flags = r.U16();
        p.name = r.Str();
      }
    }
    uint32_t nimpls = r.U32();
    if (!r.ok() || !r.CountFits(nimpls, 20)) return TYPE_E_INVDATAREAD;
    t.impls.resize(nimpls);
    for (Impl& i : t.impls) {
      i.iid = r.Guid();
      i.flags = static_cast<int32_t>(r.U32());
    }
    if (!r.ok()) return TYPE_E_INVDATAREAD;
  }
  if (!r.ok() || r.left() != 0) return TYPE_E_INVDATAREAD;
  if (lib.name.empty() || !Consistent(lib)) return TYPE_E_INVDATAREAD;
  *out = std::move(lib);
  return S_OK;
}

}  // namespace krsoap::com::tlb
