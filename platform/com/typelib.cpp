// Type libraries (see typelib.h): the ITypeLib / ITypeInfo objects over a
// decoded library, loading from files, modules and the registry, and the
// registration records.
#include "platform/com/typelib.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/resources.h"
#include "platform/com/server_loader.h"
#include "platform/com/unknown_impl.h"
#include "platform/com/stddispatch.h"
#include "platform/registry/registry.h"
#include "platform/text/convert.h"

namespace krsoap::com {
namespace {

constexpr size_t kMaxFileBytes = 16u << 20;

char16_t Fold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  return c;
}

struct FoldHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view s) const noexcept {
    size_t h = 1469598103934665603ull;
    for (char16_t c : s) h = (h ^ Fold(c)) * 1099511628211ull;
    return h;
  }
};
struct FoldEq {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
  }
};

BSTR Bstr(const std::u16string& s) { return SysAllocStringLen(s.data(), static_cast<UINT>(s.size())); }

class TypeLibImpl;

// Href values: a type of the same library is its index + 1; the two
// standard interfaces have fixed values.
constexpr HREFTYPE kHrefIUnknown = 0xFFFF0001u;
constexpr HREFTYPE kHrefIDispatch = 0xFFFF0002u;
constexpr HREFTYPE kHrefUnresolved = 0xFFFF0000u;

class TypeInfoImpl final : public ITypeInfo {
 public:
  TypeInfoImpl(TypeLibImpl* lib, UINT index, const tlb::Type* type) : lib_(lib), index_(index), type_(type) {}

  // Set up once the library's types exist: the member tables including
  // methods inherited from parents inside the library.
  void Link();

  const tlb::Type& type() const { return *type_; }
  const std::vector<const tlb::Func*>& all_funcs() const { return all_; }

  HRESULT Resolve(MEMBERID memid, WORD flags, const tlb::Func** out) const {
    auto it = by_id_.find(memid);
    if (it == by_id_.end()) return DISP_E_MEMBERNOTFOUND;
    const tlb::Func* get = nullptr;
    const tlb::Func* method = nullptr;
    const tlb::Func* put = nullptr;
    const tlb::Func* putref = nullptr;
    for (const tlb::Func* f : it->second) {
      switch (f->invkind) {
        case tlb::kInvokeFunc: method = f; break;
        case tlb::kInvokePropGet: get = f; break;
        case tlb::kInvokePropPut: put = f; break;
        case tlb::kInvokePropPutRef: putref = f; break;
      }
    }
    const tlb::Func* chosen = nullptr;
    if (flags & DISPATCH_PROPERTYPUT) chosen = put ? put : nullptr;
    else if (flags & DISPATCH_PROPERTYPUTREF) chosen = putref ? putref : put;
    else if ((flags & DISPATCH_METHOD) && method) chosen = method;
    else if (flags & DISPATCH_PROPERTYGET) chosen = get;
    if (!chosen) return DISP_E_MEMBERNOTFOUND;
    *out = chosen;
    return S_OK;
  }

  // IUnknown: the type infos live and die with their library.
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ITypeInfo)) {
      *ppv = static_cast<ITypeInfo*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetTypeAttr(TYPEATTR** out) override;
  HRESULT GetTypeComp(ITypeComp** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetFuncDesc(UINT index, FUNCDESC** out) override;
  HRESULT GetVarDesc(UINT, VARDESC** out) override {
    if (out) *out = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT max_names, UINT* count) override;
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* out) override;
  HRESULT GetImplTypeFlags(UINT index, INT* out) override {
    if (!out) return E_INVALIDARG;
    if (type_->kind == tlb::kKindCoclass) {
      if (index >= type_->impls.size()) return TYPE_E_ELEMENTNOTFOUND;
      *out = type_->impls[index].flags;
      return S_OK;
    }
    if (index != 0 || parent_href_ == 0) return TYPE_E_ELEMENTNOTFOUND;
    *out = 0;
    return S_OK;
  }
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override;
  HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo, UINT* arg_err) override {
    if (!instance || !params) return E_INVALIDARG;
    const tlb::Func* func = nullptr;
    HRESULT hr = Resolve(memid, flags, &func);
    if (FAILED(hr)) return hr;
    return InvokeDescribed(instance, *func, params, result, excepinfo, arg_err, type_->name);
  }
  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* help_context, BSTR* help_file) override;
  HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return TYPE_E_BADMODULEKIND; }
  HRESULT GetRefTypeInfo(HREFTYPE href, ITypeInfo** out) override;
  HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return TYPE_E_BADMODULEKIND;
  }
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (type_->kind != tlb::kKindCoclass) return TYPE_E_WRONGTYPEKIND;
    return CoCreateInstance(type_->guid, outer, CLSCTX_ALL, iid, ppv);
  }
  HRESULT GetMops(MEMBERID, BSTR* out) override {
    if (out) *out = nullptr;
    return S_OK;
  }
  HRESULT GetContainingTypeLib(ITypeLib** lib, UINT* index) override;
  void ReleaseTypeAttr(TYPEATTR* attr) override { delete attr; }
  void ReleaseFuncDesc(FUNCDESC* desc) override;
  void ReleaseVarDesc(VARDESC*) override {}

 private:
  void Collect(std::vector<const tlb::Func*>* out, int depth) const;

  TypeLibImpl* lib_;
  UINT index_;
  const tlb::Type* type_;
  HREFTYPE parent_href_ = 0;
  std::vector<const tlb::Func*> all_;
  std::unordered_map<std::u16string, MEMBERID, FoldHash, FoldEq> by_name_;
  std::unordered_map<MEMBERID, std::vector<const tlb::Func*>> by_id_;
};

class TypeLibImpl final : public UnknownImpl<TypeLibImpl, ITypeLib, IID_ITypeLib> {
 public:
  explicit TypeLibImpl(tlb::Library lib) : lib_(std::move(lib)) {
    infos_.reserve(lib_.types.size());
    for (UINT i = 0; i < lib_.types.size(); ++i)
      infos_.push_back(std::make_unique<TypeInfoImpl>(this, i, &lib_.types[i]));
    for (auto& info : infos_) info->Link();
  }

  const tlb::Library& library() const { return lib_; }
  TypeInfoImpl* info(UINT i) const { return infos_[i].get(); }
  UINT count() const { return static_cast<UINT>(infos_.size()); }
  // Index of the type with this GUID, or -1.
  int Find(const GUID& guid) const {
    for (UINT i = 0; i < lib_.types.size(); ++i) {
      if (IsEqualGUID(lib_.types[i].guid, guid)) return static_cast<int>(i);
    }
    return -1;
  }

  UINT GetTypeInfoCount() override { return count(); }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= count()) return TYPE_E_ELEMENTNOTFOUND;
    *out = info(index);
    AddRef();
    return S_OK;
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (!kind) return E_INVALIDARG;
    if (index >= count()) return TYPE_E_ELEMENTNOTFOUND;
    *kind = static_cast<TYPEKIND>(lib_.types[index].kind);
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    int i = Find(guid);
    if (i < 0) return TYPE_E_ELEMENTNOTFOUND;
    *out = info(static_cast<UINT>(i));
    AddRef();
    return S_OK;
  }
  HRESULT GetLibAttr(TLIBATTR** out) override {
    if (!out) return E_INVALIDARG;
    auto* a = new (std::nothrow) TLIBATTR{};
    if (!a) return E_OUTOFMEMORY;
    a->guid = lib_.libid;
    a->lcid = lib_.lcid;
    a->syskind = static_cast<SYSKIND>(lib_.syskind);
    a->wMajorVerNum = lib_.major;
    a->wMinorVerNum = lib_.minor;
    a->wLibFlags = static_cast<WORD>(lib_.flags);
    *out = a;
    return S_OK;
  }
  HRESULT GetTypeComp(ITypeComp** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* help_context, BSTR* help_file) override {
    const std::u16string* n = &lib_.name;
    const std::u16string* d = &lib_.help;
    if (index >= 0) {
      if (static_cast<UINT>(index) >= count()) return TYPE_E_ELEMENTNOTFOUND;
      n = &lib_.types[index].name;
      d = &lib_.types[index].help;
    } else if (index != -1) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    if (name) *name = Bstr(*n);
    if (doc) *doc = d->empty() ? nullptr : Bstr(*d);
    if (help_context) *help_context = 0;
    if (help_file) *help_file = nullptr;
    return S_OK;
  }
  HRESULT IsName(LPOLESTR name, ULONG, BOOL* found) override {
    if (!name || !found) return E_INVALIDARG;
    std::u16string_view n(name, platform::WideLength(name));
    *found = FALSE;
    for (UINT i = 0; i < count() && !*found; ++i) {
      if (FoldEq{}(n, lib_.types[i].name)) *found = TRUE;
      for (const auto& f : lib_.types[i].funcs) {
        if (FoldEq{}(n, f.name)) *found = TRUE;
      }
    }
    return S_OK;
  }
  HRESULT FindName(LPOLESTR name, ULONG, ITypeInfo** infos, MEMBERID* ids, USHORT* found) override {
    if (!name || !infos || !ids || !found) return E_INVALIDARG;
    std::u16string_view n(name, platform::WideLength(name));
    USHORT max = *found, got = 0;
    for (UINT i = 0; i < count() && got < max; ++i) {
      const tlb::Type& t = lib_.types[i];
      MEMBERID id = MEMBERID_NIL;
      bool hit = FoldEq{}(n, t.name);
      for (const auto& f : t.funcs) {
        if (!hit && FoldEq{}(n, f.name)) {
          hit = true;
          id = f.dispid;
        }
      }
      if (hit) {
        infos[got] = info(i);
        AddRef();
        ids[got++] = id;
      }
    }
    *found = got;
    return S_OK;
  }
  void ReleaseTLibAttr(TLIBATTR* attr) override { delete attr; }

 private:
  friend UnknownImpl;  // deletes it at the last Release
  ~TypeLibImpl() = default;
  tlb::Library lib_;
  std::vector<std::unique_ptr<TypeInfoImpl>> infos_;
};

// The standard OLE library: IUnknown and IDispatch, the parents every
// library refers to. It lives for the whole process.
TypeLibImpl* StdOle() {
  static TypeLibImpl* lib = [] {
    tlb::Library l;
    l.libid = LIBID_STDOLE;
    l.major = 2;
    l.name = u"stdole";
    l.help = u"OLE Automation";
    tlb::Type unk;
    unk.kind = tlb::kKindInterface;
    unk.guid = IID_IUnknown;
    unk.name = u"IUnknown";
    tlb::Type disp;
    disp.kind = tlb::kKindInterface;
    disp.guid = IID_IDispatch;
    disp.name = u"IDispatch";
    disp.parent = IID_IUnknown;
    disp.parent_name = u"IUnknown";
    disp.first_slot = 3;
    l.types.push_back(unk);
    l.types.push_back(disp);
    return new TypeLibImpl(std::move(l));
  }();
  return lib;
}

ULONG TypeInfoImpl::AddRef() { return lib_->AddRef(); }
ULONG TypeInfoImpl::Release() { return lib_->Release(); }

void TypeInfoImpl::Link() {
  if (type_->kind != tlb::kKindCoclass) {
    if (IsEqualGUID(type_->parent, IID_IUnknown)) {
      parent_href_ = kHrefIUnknown;
    } else if (IsEqualGUID(type_->parent, IID_IDispatch)) {
      parent_href_ = kHrefIDispatch;
    } else if (!IsEqualGUID(type_->parent, GUID_NULL)) {
      int i = lib_->Find(type_->parent);
      parent_href_ = i >= 0 ? static_cast<HREFTYPE>(i + 1) : kHrefUnresolved;
    }
  }
  Collect(&all_, 0);
  for (const tlb::Func* f : all_) {
    by_name_.emplace(f->name, f->dispid);
    by_id_[f->dispid].push_back(f);
  }
}

void TypeInfoImpl::Collect(std::vector<const tlb::Func*>* out, int depth) const {
  // Parents inside the library first, so their members come first; the depth
  // bound stops a cycle in a hostile library.
  if (depth > 32) return;
  if (parent_href_ != 0 && parent_href_ < kHrefUnresolved) {
    const TypeInfoImpl* parent = lib_->info(parent_href_ - 1);
    if (parent != this) parent->Collect(out, depth + 1);
  }
  for (const auto& f : type_->funcs) out->push_back(&f);
}

HRESULT TypeInfoImpl::GetTypeAttr(TYPEATTR** out) {
  if (!out) return E_INVALIDARG;
  auto* a = new (std::nothrow) TYPEATTR{};
  if (!a) return E_OUTOFMEMORY;
  const tlb::Library& lib = lib_->library();
  a->guid = type_->guid;
  a->lcid = lib.lcid;
  a->memidConstructor = MEMBERID_NIL;
  a->memidDestructor = MEMBERID_NIL;
  a->cbSizeInstance = sizeof(void*);
  a->typekind = static_cast<TYPEKIND>(type_->kind);
  a->cFuncs = static_cast<WORD>(type_->funcs.size());
  a->cImplTypes = static_cast<WORD>(type_->kind == tlb::kKindCoclass ? type_->impls.size() : parent_href_ ? 1 : 0);
  uint16_t slots = type_->first_slot;
  for (const auto& f : type_->funcs) slots = std::max<uint16_t>(slots, static_cast<uint16_t>(f.slot + 1));
  a->cbSizeVft = type_->kind == tlb::kKindCoclass ? 0 : static_cast<WORD>(slots * sizeof(void*));
  a->cbAlignment = alignof(void*);
  a->wTypeFlags = static_cast<WORD>(type_->flags);
  a->wMajorVerNum = lib.major;
  a->wMinorVerNum = lib.minor;
  *out = a;
  return S_OK;
}

struct FuncDescBlock {
  FUNCDESC desc;
  std::vector<ELEMDESC> params;
  std::vector<TYPEDESC> inner;
};

void FillTypeDesc(uint16_t vt, TYPEDESC* td, TYPEDESC* inner) {
  if (vt & tlb::kVtByRef) {
    td->vt = VT_PTR;
    td->lptdesc = inner;
    FillTypeDesc(static_cast<uint16_t>(vt & ~tlb::kVtByRef), inner, nullptr);
  } else if ((vt & VT_ARRAY) && inner) {
    td->vt = VT_SAFEARRAY;
    td->lptdesc = inner;
    inner->vt = static_cast<VARTYPE>(vt & ~VT_ARRAY);
  } else {
    td->vt = vt;
  }
}

HRESULT TypeInfoImpl::GetFuncDesc(UINT index, FUNCDESC** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (index >= type_->funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
  const tlb::Func& f = type_->funcs[index];
  auto* block = new (std::nothrow) FuncDescBlock{};
  if (!block) return E_OUTOFMEMORY;
  block->params.resize(f.params.size());
  block->inner.resize(f.params.size() * 2);
  FUNCDESC& d = block->desc;
  d.memid = f.dispid;
  d.funckind = FUNC_PUREVIRTUAL;
  d.invkind = static_cast<INVOKEKIND>(f.invkind);
  d.callconv = CC_STDCALL;
  d.cParams = static_cast<SHORT>(f.params.size());
  for (const auto& p : f.params) d.cParamsOpt += (p.flags & tlb::kParamOptional) ? 1 : 0;
  d.oVft = static_cast<SHORT>(f.slot * sizeof(void*));
  d.elemdescFunc.tdesc.vt = f.return_vt;
  for (size_t i = 0; i < f.params.size(); ++i) {
    FillTypeDesc(f.params[i].vt, &block->params[i].tdesc, &block->inner[i * 2]);
    block->params[i].paramdesc.wParamFlags = f.params[i].flags;
  }
  d.lprgelemdescParam = block->params.empty() ? nullptr : block->params.data();
  static_assert(offsetof(FuncDescBlock, desc) == 0, "FUNCDESC first");
  *out = &block->desc;
  return S_OK;
}

void TypeInfoImpl::ReleaseFuncDesc(FUNCDESC* desc) { delete reinterpret_cast<FuncDescBlock*>(desc); }

HRESULT TypeInfoImpl::GetNames(MEMBERID memid, BSTR* names, UINT max_names, UINT* count) {
  if (!names || !count) return E_INVALIDARG;
  *count = 0;
  auto it = by_id_.find(memid);
  if (it == by_id_.end()) return TYPE_E_ELEMENTNOTFOUND;
  const tlb::Func* f = it->second.front();
  for (const tlb::Func* g : it->second) {
    if (g->invkind != tlb::kInvokePropPut && g->invkind != tlb::kInvokePropPutRef) {
      f = g;
      break;
    }
  }
  if (max_names == 0) return S_OK;
  names[(*count)++] = Bstr(f->name);
  for (const auto& p : f->params) {
    if (*count >= max_names) break;
    if (p.name.empty()) continue;
    names[(*count)++] = Bstr(p.name);
  }
  return S_OK;
}

HRESULT TypeInfoImpl::GetRefTypeOfImplType(UINT index, HREFTYPE* out) {
  if (!out) return E_INVALIDARG;
  if (type_->kind == tlb::kKindCoclass) {
    if (index >= type_->impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    const GUID& iid = type_->impls[index].iid;
    int i = lib_->Find(iid);
    *out = i >= 0 ? static_cast<HREFTYPE>(i + 1)
                  : IsEqualGUID(iid, IID_IDispatch) ? kHrefIDispatch
                  : IsEqualGUID(iid, IID_IUnknown)  ? kHrefIUnknown
                                                    : kHrefUnresolved;
    return S_OK;
  }
  if (index != 0 || parent_href_ == 0) return TYPE_E_ELEMENTNOTFOUND;
  *out = parent_href_;
  return S_OK;
}

HRESULT TypeInfoImpl::GetRefTypeInfo(HREFTYPE href, ITypeInfo** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  TypeInfoImpl* info = nullptr;
  if (href == kHrefIUnknown) {
    info = StdOle()->info(0);
  } else if (href == kHrefIDispatch) {
    info = StdOle()->info(1);
  } else if (href >= 1 && href <= lib_->count()) {
    info = lib_->info(href - 1);
  }
  if (!info) return TYPE_E_ELEMENTNOTFOUND;
  info->AddRef();
  *out = info;
  return S_OK;
}

HRESULT TypeInfoImpl::GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) {
  if (!names || !ids || count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = MEMBERID_NIL;
  if (!names[0]) return DISP_E_UNKNOWNNAME;
  std::u16string_view name(names[0], platform::WideLength(names[0]));
  auto it = by_name_.find(name);
  if (it == by_name_.end()) return DISP_E_UNKNOWNNAME;
  ids[0] = it->second;
  if (count == 1) return S_OK;
  // Further names are parameters of that member: their positions.
  const std::vector<const tlb::Func*>& candidates = by_id_.at(it->second);
  const tlb::Func* f = candidates.front();
  for (const tlb::Func* g : candidates) {
    if (FoldEq{}(g->name, name) && g->invkind == tlb::kInvokeFunc) f = g;
  }
  HRESULT hr = S_OK;
  for (UINT i = 1; i < count; ++i) {
    if (!names[i]) {
      hr = DISP_E_UNKNOWNNAME;
      continue;
    }
    std::u16string_view p(names[i], platform::WideLength(names[i]));
    bool found = false;
    for (size_t k = 0; k < f->params.size(); ++k) {
      if (FoldEq{}(f->params[k].name, p)) {
        ids[i] = static_cast<MEMBERID>(k);
        found = true;
        break;
      }
    }
    if (!found) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT TypeInfoImpl::GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* help_context,
                                       BSTR* help_file) {
  const std::u16string* n = nullptr;
  const std::u16string* d = nullptr;
  if (memid == MEMBERID_NIL) {
    n = &type_->name;
    d = &type_->help;
  } else {
    auto it = by_id_.find(memid);
    if (it == by_id_.end()) return TYPE_E_ELEMENTNOTFOUND;
    n = &it->second.front()->name;
    d = &it->second.front()->help;
  }
  if (name) *name = Bstr(*n);
  if (doc) *doc = d->empty() ? nullptr : Bstr(*d);
  if (help_context) *help_context = 0;
  if (help_file) *help_file = nullptr;
  return S_OK;
}

HRESULT TypeInfoImpl::GetContainingTypeLib(ITypeLib** lib, UINT* index) {
  if (lib) {
    lib_->AddRef();
    *lib = lib_;
  }
  if (index) *index = index_;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Loading.

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out, HRESULT* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *err = TYPE_E_CANTLOADLIBRARY;
    return false;
  }
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) {
    *err = TYPE_E_CANTLOADLIBRARY;
    return false;
  }
  if (static_cast<uint64_t>(size) > kMaxFileBytes) {
    *err = TYPE_E_INVDATAREAD;
    return false;
  }
  in.seekg(0, std::ios::beg);
  out->resize(static_cast<size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(out->data()), size)) {
    *err = TYPE_E_INVDATAREAD;
    return false;
  }
  return true;
}

HRESULT LoadFromPath(const std::u16string& path, ITypeLib** out) {
  std::string narrow = platform::Utf16ToUtf8(path);
  if (narrow.empty()) return TYPE_E_CANTLOADLIBRARY;
  std::vector<uint8_t> bytes;
  HRESULT hr = S_OK;
  if (!ReadWholeFile(narrow, &bytes, &hr)) return hr;
  static const uint8_t kElf[4] = {0x7F, 'E', 'L', 'F'};
  if (bytes.size() >= 4 && std::equal(kElf, kElf + 4, bytes.begin())) {
    // A module: its TYPELIB 1 resource.
    ServerModule module;
    if (FAILED(LoadServerModule(path, &module))) return TYPE_E_CANTLOADLIBRARY;
    const KrResourceTable* table = ModuleResourceTable(module.handle());
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!FindResource(table, "TYPELIB", 1, &data, &size)) return TYPE_E_CANTLOADLIBRARY;
    return LoadTypeLibFromBytes(data, size, out);  // decoded (copied) before the module goes
  }
  return LoadTypeLibFromBytes(bytes.data(), bytes.size(), out);
}

// ---------------------------------------------------------------------------
// Registry records.

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h) RegCloseKey(h);
  }
};

std::u16string Hex(unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", v);
  return platform::Utf8ToUtf16(buf);
}

std::u16string VersionKey(REFGUID libid, unsigned major, unsigned minor) {
  return u"TypeLib\\" + GuidToString(libid) + u"\\" + Hex(major) + u"." + Hex(minor);
}

LONG SetValue(const std::u16string& subkey, const char16_t* name, const std::u16string& value) {
  Key key;
  LONG err = RegCreateKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                             nullptr, &key.h, nullptr);
  if (err != ERROR_SUCCESS) return err;
  return RegSetValueExW(key.h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}

bool ReadValue(const std::u16string& subkey, const char16_t* name, std::u16string* out) {
  Key key;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_QUERY_VALUE, &key.h) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.h, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::u16string v(size / 2 + 1, u'\0');
  DWORD cb = static_cast<DWORD>(v.size() * 2);
  if (RegQueryValueExW(key.h, name, nullptr, &type, reinterpret_cast<BYTE*>(v.data()), &cb) != ERROR_SUCCESS)
    return false;
  v.resize(cb / 2);
  while (!v.empty() && v.back() == u'\0') v.pop_back();
  *out = std::move(v);
  return true;
}

std::vector<std::u16string> SubKeys(const std::u16string& subkey) {
  std::vector<std::u16string> names;
  Key key;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_READ, &key.h) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    char16_t buf[KR_REG_MAX_KEY_NAME + 1];
    DWORD cch = KR_REG_MAX_KEY_NAME + 1;
    if (RegEnumKeyExW(key.h, i, buf, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(buf, cch);
  }
  return names;
}

bool ParseHex(std::u16string_view s, unsigned* out) {
  if (s.empty() || s.size() > 8) return false;
  unsigned v = 0;
  for (char16_t c : s) {
    int d = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10 : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
    if (d < 0) return false;
    v = v * 16 + static_cast<unsigned>(d);
  }
  *out = v;
  return true;
}

// The registered path of a library version, trying the locale, its primary
// language, neutral, then any registered locale.
bool RegisteredPath(REFGUID libid, WORD major, WORD minor, LCID lcid, std::u16string* path) {
  const std::u16string lib_key = u"TypeLib\\" + GuidToString(libid);
  // The best version: same major, highest minor >= minor.
  int best_minor = -1;
  for (const auto& name : SubKeys(lib_key)) {
    size_t dot = name.find(u'.');
    unsigned maj = 0, min = 0;
    if (dot == std::u16string::npos || !ParseHex(std::u16string_view(name).substr(0, dot), &maj) ||
        !ParseHex(std::u16string_view(name).substr(dot + 1), &min))
      continue;
    if (maj == major && min >= minor && static_cast<int>(min) > best_minor) best_minor = static_cast<int>(min);
  }
  if (best_minor < 0) return false;
  const std::u16string version = VersionKey(libid, major, static_cast<unsigned>(best_minor));
  const unsigned tries[] = {lcid, lcid & 0x3FFu, 0u};
  for (unsigned l : tries) {
    if (ReadValue(version + u"\\" + Hex(l) + u"\\win32", nullptr, path) ||
        ReadValue(version + u"\\" + Hex(l) + u"\\win64", nullptr, path))
      return !path->empty();
  }
  for (const auto& name : SubKeys(version)) {
    unsigned l = 0;
    if (!ParseHex(name, &l)) continue;
    if (ReadValue(version + u"\\" + name + u"\\win32", nullptr, path)) return !path->empty();
  }
  return false;
}

bool RegistryKeyExists(const std::u16string& subkey) {
  Key key;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_QUERY_VALUE, &key.h) == ERROR_SUCCESS;
}

}  // namespace

HRESULT LoadTypeLibFromBytes(const uint8_t* data, size_t size, ITypeLib** pptlib) {
  if (!pptlib) return E_INVALIDARG;
  *pptlib = nullptr;
  tlb::Library lib;
  HRESULT hr = tlb::Decode(data, size, &lib);
  if (FAILED(hr)) return hr;
  auto* impl = new (std::nothrow) TypeLibImpl(std::move(lib));
  if (!impl) return E_OUTOFMEMORY;
  *pptlib = impl;
  return S_OK;
}

const tlb::Library* LibraryOf(ITypeLib* lib) {
  // Only this runtime's library objects carry a decoded library.
  if (!lib) return nullptr;
  auto* impl = dynamic_cast<TypeLibImpl*>(lib);
  return impl ? &impl->library() : nullptr;
}

}  // namespace krsoap::com

using namespace krsoap::com;

extern "C" {

KR_EXPORT HRESULT LoadTypeLibEx(LPCOLESTR file, REGKIND regkind, ITypeLib** pptlib) {
  if (!pptlib) return E_INVALIDARG;
  *pptlib = nullptr;
  if (!file) return E_INVALIDARG;
  std::u16string path(file, krsoap::platform::WideLength(file));
  HRESULT hr = LoadFromPath(path, pptlib);
  if (FAILED(hr)) return hr;
  if (regkind == REGKIND_REGISTER) {
    std::u16string dir = path.substr(0, path.find_last_of(u'/') == std::u16string::npos ? 0 : path.find_last_of(u'/'));
    hr = RegisterTypeLib(*pptlib, path.c_str(), dir.c_str());
    if (FAILED(hr)) {
      (*pptlib)->Release();
      *pptlib = nullptr;
    }
  }
  return hr;
}

KR_EXPORT HRESULT LoadTypeLib(LPCOLESTR file, ITypeLib** pptlib) { return LoadTypeLibEx(file, REGKIND_NONE, pptlib); }

KR_EXPORT HRESULT QueryPathOfRegTypeLib(REFGUID libid, USHORT major, USHORT minor, LCID lcid, BSTR* path) {
  if (!path) return E_INVALIDARG;
  *path = nullptr;
  std::u16string p;
  if (!RegisteredPath(libid, major, minor, lcid, &p)) return TYPE_E_LIBNOTREGISTERED;
  *path = SysAllocStringLen(p.data(), static_cast<UINT>(p.size()));
  return *path ? S_OK : E_OUTOFMEMORY;
}

KR_EXPORT HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, ITypeLib** pptlib) {
  if (!pptlib) return E_INVALIDARG;
  *pptlib = nullptr;
  if (IsEqualGUID(libid, LIBID_STDOLE)) {
    StdOle()->AddRef();
    *pptlib = StdOle();
    return S_OK;
  }
  std::u16string path;
  if (!RegisteredPath(libid, major, minor, lcid, &path)) return TYPE_E_LIBNOTREGISTERED;
  HRESULT hr = LoadFromPath(path, pptlib);
  if (FAILED(hr)) return hr;
  return S_OK;
}

KR_EXPORT HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR full_path, LPCOLESTR help_dir) {
  if (!ptlib || !full_path) return E_INVALIDARG;
  const tlb::Library* lib = LibraryOf(ptlib);
  if (!lib) return E_NOTIMPL;
  const std::u16string version = VersionKey(lib->libid, lib->major, lib->minor);
  const std::u16string libid = GuidToString(lib->libid);
  const std::u16string path(full_path, krsoap::platform::WideLength(full_path));
  const std::u16string sys = lib->syskind == SYS_WIN64 ? u"win64" : u"win32";
  LONG err = SetValue(version, nullptr, lib->help.empty() ? lib->name : lib->help);
  if (!err) err = SetValue(version + u"\\" + Hex(lib->lcid) + u"\\" + sys, nullptr, path);
  if (!err) err = SetValue(version + u"\\FLAGS", nullptr, krsoap::platform::Utf8ToUtf16(std::to_string(lib->flags)));
  if (!err)
    err = SetValue(version + u"\\HELPDIR", nullptr,
                   help_dir ? std::u16string(help_dir, krsoap::platform::WideLength(help_dir)) : std::u16string());
  const std::u16string marshaler = GuidToString(CLSID_PSOAInterface);
  const std::u16string ver_text = Hex(lib->major) + u"." + Hex(lib->minor);
  for (const tlb::Type& t : lib->types) {
    if (err) break;
    if (t.kind == tlb::kKindCoclass || !(t.flags & (tlb::kTypeFlagDual | tlb::kTypeFlagOleAutomation))) continue;
    const std::u16string key = u"Interface\\" + GuidToString(t.guid);
    err = SetValue(key, nullptr, t.name);
    // An interface whose module registered a proxy/stub of its own keeps it:
    // only interfaces without one are marshalled by the type library's
    // marshaler.
    std::u16string existing;
    const bool own_proxy = ReadValue(key + u"\\ProxyStubClsid32", nullptr, &existing) && !existing.empty() &&
                           !FoldEq{}(existing, marshaler);
    if (!err && !own_proxy) err = SetValue(key + u"\\ProxyStubClsid", nullptr, marshaler);
    if (!err && !own_proxy) err = SetValue(key + u"\\ProxyStubClsid32", nullptr, marshaler);
    if (!err) err = SetValue(key + u"\\TypeLib", nullptr, libid);
    if (!err) err = SetValue(key + u"\\TypeLib", u"Version", ver_text);
  }
  internal::NoteRegistrationChanged();
  return err ? TYPE_E_REGISTRYACCESS : S_OK;
}

KR_EXPORT HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, SYSKIND syskind) {
  const std::u16string version = VersionKey(libid, major, minor);
  if (!RegistryKeyExists(version)) return TYPE_E_REGISTRYACCESS;
  const std::u16string lcid_key = version + u"\\" + Hex(lcid);
  const std::u16string sys = syskind == SYS_WIN64 ? u"win64" : u"win32";
  std::u16string path;
  if (!ReadValue(lcid_key + u"\\" + sys, nullptr, &path)) return TYPE_E_REGISTRYACCESS;
  // The interfaces this library entered, where they still point at it.
  ITypeLib* loaded = nullptr;
  if (SUCCEEDED(LoadFromPath(path, &loaded))) {
    const std::u16string libid_text = GuidToString(libid);
    if (const tlb::Library* lib = LibraryOf(loaded)) {
      for (const tlb::Type& t : lib->types) {
        if (t.kind == tlb::kKindCoclass) continue;
        const std::u16string key = u"Interface\\" + GuidToString(t.guid);
        std::u16string owner;
        if (ReadValue(key + u"\\TypeLib", nullptr, &owner) && FoldEq{}(owner, libid_text)) {
          std::u16string iid_name = GuidToString(t.guid);
          Key iface;
          if (RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Interface", 0, KEY_ALL_ACCESS, &iface.h) == ERROR_SUCCESS)
            RegDeleteTreeW(iface.h, iid_name.c_str());
        }
      }
    }
    loaded->Release();
  }
  // The locale's entry, then the version and the library key once empty.
  Key v;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, version.c_str(), 0, KEY_ALL_ACCESS, &v.h) == ERROR_SUCCESS) {
    const std::u16string lcid_name = Hex(lcid);
    RegDeleteTreeW(v.h, lcid_name.c_str());
  }
  bool other_locales = false;
  for (const auto& name : SubKeys(version)) {
    unsigned l = 0;
    if (ParseHex(name, &l)) other_locales = true;
  }
  LONG err = ERROR_SUCCESS;
  const std::u16string lib_key = u"TypeLib\\" + GuidToString(libid);
  if (!other_locales) {
    Key lk;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, lib_key.c_str(), 0, KEY_ALL_ACCESS, &lk.h) == ERROR_SUCCESS) {
      const std::u16string ver_name = Hex(major) + u"." + Hex(minor);
      err = RegDeleteTreeW(lk.h, ver_name.c_str());
    }
    if (SubKeys(lib_key).empty()) {
      Key root;
      if (RegOpenKeyExW(HKEY_CLASSES_ROOT, u"TypeLib", 0, KEY_ALL_ACCESS, &root.h) == ERROR_SUCCESS) {
        const std::u16string id = GuidToString(libid);
        RegDeleteKeyW(root.h, id.c_str());
      }
    }
  }
  internal::NoteRegistrationChanged();
  return err == ERROR_SUCCESS || err == ERROR_FILE_NOT_FOUND ? S_OK : TYPE_E_REGISTRYACCESS;
}

}  // extern "C"
