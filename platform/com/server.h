// The toolkit for writing in-process servers: object maps, class factories,
// objects with interface maps and aggregation, dispatch from the registered
// type library, and the four exported entry points of a module.
//
// A module is written as:
//
//   class CThing : public krsoap::com::ObjectRoot,
//                  public krsoap::com::DispatchImpl<IThing, &LIBID_ThingLib>,
//                  public IStream {
//    public:
//     KR_BEGIN_INTERFACE_MAP(CThing)
//       KR_INTERFACE_ENTRY(IThing)
//       KR_INTERFACE_ENTRY2(IDispatch, IThing)
//       KR_INTERFACE_ENTRY(IStream)
//     KR_END_INTERFACE_MAP()
//     HRESULT Add(LONG a, LONG b, LONG* r) override;  // IThing's methods
//     ...
//   };
//
//   KR_BEGIN_OBJECT_MAP(kObjects)
//     KR_OBJECT_ENTRY(CLSID_Thing, CThing, 102)   // 102: its REGISTRY script
//   KR_END_OBJECT_MAP()
//   KR_SERVER_MODULE(kObjects, &LIBID_ThingLib, nullptr)
//
// The interface map lists the interfaces QueryInterface answers, in search
// order; the first entry is the object's identity (its IUnknown). A second
// base class gives the object a second vtable. Objects are created through
// ComObject<T>, which supplies IUnknown: reference counts are atomic, and an
// object created with an outer unknown delegates IUnknown to it and hands its
// creator a separate non-delegating inner unknown.
//
// Module state: every live object and every LockServer(TRUE) counts in the
// module's lock count (atomic); the class factory of a class is created on
// its first request under a module-wide lock and kept, so concurrent first
// requests get the same one; cached factories do not keep the module loaded
// unless someone else holds them. The module's resources (registry scripts
// by id, TYPELIB 1) come from its embedded resource table.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/com.h"
#include "platform/com/resources.h"

namespace krsoap::com {

// What a module may add to its entry points, for marshalling code that it
// carries (proxy/stub classes). Every member may be null.
struct ServerHooks {
  // Offered every DllGetClassObject first; S_OK is the answer.
  HRESULT (*get_class_object)(REFCLSID clsid, REFIID iid, void** ppv) = nullptr;
  // Run first by DllRegisterServer; a failure is returned at once.
  HRESULT (*register_server)() = nullptr;
  // Run first by DllUnregisterServer; its result is not used.
  HRESULT (*unregister_server)() = nullptr;
  // False while the marshalling code has live proxies or stubs.
  bool (*can_unload)() = nullptr;
};

// One class of a module's object map.
struct ClassEntry {
  const CLSID* clsid;
  HRESULT (*create)(IUnknown* outer, REFIID iid, void** ppv);
  uint32_t registry_script;  // id of its REGISTRY resource; 0 for none
  std::atomic<IClassFactory*> factory;
};

// The state of one module; one instance per module, made by KR_SERVER_MODULE.
class ServerModuleState {
 public:
  ServerModuleState(ClassEntry* classes, size_t count, const GUID* libid, KrModuleResourcesFn resources,
                    const ServerHooks* hooks);
  ~ServerModuleState();  // releases the cached class factories at unload
  ServerModuleState(const ServerModuleState&) = delete;
  ServerModuleState& operator=(const ServerModuleState&) = delete;

  void Lock() { locks_.fetch_add(1, std::memory_order_acq_rel); }
  void Unlock() { locks_.fetch_sub(1, std::memory_order_acq_rel); }
  long LockCount() const { return locks_.load(std::memory_order_acquire); }

  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv);
  HRESULT CanUnloadNow();
  HRESULT RegisterServer();
  HRESULT UnregisterServer();

  // The module's file and resources.
  std::string ModulePath() const;
  const KrResourceTable* Resources() const { return resources_ ? resources_() : nullptr; }

  // Type information of `iid` from the registered library of this module
  // (LoadRegTypeLib of the LIBID, version 1.0), cached for the module's
  // life. `slot` is the caller's per-interface cache.
  HRESULT TypeInfoFor(REFGUID libid, WORD major, WORD minor, REFIID iid, std::atomic<ITypeInfo*>* slot,
                      ITypeInfo** out);

 private:
  HRESULT LoadOwnTypeLib(ITypeLib** lib, std::u16string* path);

  ClassEntry* classes_;
  size_t count_;
  const GUID* libid_;
  KrModuleResourcesFn resources_;
  ServerHooks hooks_;
  std::atomic<long> locks_{0};
  std::mutex factory_mu_;
  std::mutex typeinfo_mu_;
  std::vector<ITypeInfo*> typeinfos_;  // references held for the module's life
};

// The state of the module this code is linked into; defined by
// KR_SERVER_MODULE (each module has its own, symbols being module-private).
ServerModuleState& ThisModule();

// ---------------------------------------------------------------------------
// Objects.

template <class T>
struct InterfaceEntry {
  const IID* iid;
  IUnknown* (*cast)(T* object);
};

// State every object carries: its reference count and outer unknown. Objects
// count in their module's lock count from construction to destruction.
class ObjectRoot {
 public:
  ObjectRoot() { ThisModule().Lock(); }
  ~ObjectRoot() { ThisModule().Unlock(); }
  ObjectRoot(const ObjectRoot&) = delete;
  ObjectRoot& operator=(const ObjectRoot&) = delete;

  // Two-phase construction: a failure here fails the creation.
  HRESULT FinalConstruct() { return S_OK; }
  void FinalRelease() {}

  // The controlling unknown: the outer object when aggregated.
  IUnknown* ControllingUnknown() const { return outer_; }

 protected:
  std::atomic<ULONG> refs_{0};
  IUnknown* outer_ = nullptr;
};

template <class T>
class ComObject;

// The non-delegating unknown an aggregated object hands its outer object.
template <class T>
class InnerUnknown final : public IUnknown {
 public:
  explicit InnerUnknown(ComObject<T>* owner) : owner_(owner) {}
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return owner_->InternalQueryInterface(iid, ppv);
  }
  ULONG AddRef() override { return owner_->InternalAddRef(); }
  ULONG Release() override { return owner_->InternalRelease(); }

 private:
  ComObject<T>* owner_;
};

template <class T>
class ComObject final : public T {
 public:
  explicit ComObject(IUnknown* outer) : inner_(this) { this->outer_ = outer; }

  // The class factory's creation function for T.
  static HRESULT Create(IUnknown* outer, REFIID iid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) ComObject<T>(outer);
    if (!object) return E_OUTOFMEMORY;
    object->InternalAddRef();
    HRESULT hr = object->FinalConstruct();
    if (SUCCEEDED(hr)) {
      hr = outer ? object->inner_.QueryInterface(iid, ppv) : object->InternalQueryInterface(iid, ppv);
    }
    object->InternalRelease();  // destroys the object when nothing was handed out
    return hr;
  }

  // A non-aggregated instance for the module's own use, with one reference.
  static HRESULT CreateInstance(ComObject<T>** out) {
    *out = nullptr;
    auto* object = new (std::nothrow) ComObject<T>(nullptr);
    if (!object) return E_OUTOFMEMORY;
    object->InternalAddRef();
    HRESULT hr = object->FinalConstruct();
    if (FAILED(hr)) {
      object->InternalRelease();
      return hr;
    }
    *out = object;
    return S_OK;
  }

  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    return this->outer_ ? this->outer_->QueryInterface(iid, ppv) : InternalQueryInterface(iid, ppv);
  }
  ULONG AddRef() override { return this->outer_ ? this->outer_->AddRef() : InternalAddRef(); }
  ULONG Release() override { return this->outer_ ? this->outer_->Release() : InternalRelease(); }

  HRESULT InternalQueryInterface(REFIID iid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    size_t count = 0;
    const InterfaceEntry<T>* map = T::KrInterfaceMap(&count);
    if (count == 0) return E_NOINTERFACE;
    IUnknown* found = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
      found = map[0].cast(this);
    } else {
      for (size_t i = 0; i < count && !found; ++i) {
        if (IsEqualIID(iid, *map[i].iid)) found = map[i].cast(this);
      }
    }
    if (!found) return E_NOINTERFACE;
    found->AddRef();
    *ppv = found;
    return S_OK;
  }
  ULONG InternalAddRef() { return this->refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG InternalRelease() {
    ULONG left = this->refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
      this->refs_.store(1, std::memory_order_relaxed);  // keeps FinalRelease from re-entering
      this->FinalRelease();
      delete this;
    }
    return left;
  }

 private:
  InnerUnknown<T> inner_;
};

// IDispatch served from the module's registered type library for interface
// Itf (a dual interface declared by the interface compiler).
template <class Itf, const GUID* Libid, WORD Major = 1, WORD Minor = 0>
class DispatchImpl : public Itf {
 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_INVALIDARG;
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* info = nullptr;
    HRESULT hr = Info(&info);
    if (FAILED(hr)) return hr;
    info->AddRef();
    *out = info;
    return S_OK;
  }
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = nullptr;
    HRESULT hr = Info(&info);
    if (FAILED(hr)) return hr;
    return info->GetIDsOfNames(names, count, ids);
  }
  HRESULT Invoke(DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo, UINT* arg_err) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = nullptr;
    HRESULT hr = Info(&info);
    if (FAILED(hr)) return hr;
    return info->Invoke(static_cast<Itf*>(this), member, flags, params, result, excepinfo, arg_err);
  }

 private:
  static HRESULT Info(ITypeInfo** out) {
    static std::atomic<ITypeInfo*> slot{nullptr};
    if (ITypeInfo* info = slot.load(std::memory_order_acquire)) {
      *out = info;
      return S_OK;
    }
    return ThisModule().TypeInfoFor(*Libid, Major, Minor, KrIidOf<Itf>::value, &slot, out);
  }
};

}  // namespace krsoap::com

#define KR_BEGIN_INTERFACE_MAP(cls)                                                          \
  using KrThisClass = cls;                                                                   \
  static const ::krsoap::com::InterfaceEntry<cls>* KrInterfaceMap(size_t* kr_count) {        \
    static const ::krsoap::com::InterfaceEntry<cls> kr_entries[] = {
#define KR_INTERFACE_ENTRY(itf) \
  {&IID_##itf, [](KrThisClass* p) -> IUnknown* { return static_cast<itf*>(p); }},
#define KR_INTERFACE_ENTRY2(itf, via) \
  {&IID_##itf, [](KrThisClass* p) -> IUnknown* { return static_cast<itf*>(static_cast<via*>(p)); }},
#define KR_INTERFACE_ENTRY_IID(iid, itf) \
  {&(iid), [](KrThisClass* p) -> IUnknown* { return static_cast<itf*>(p); }},
#define KR_END_INTERFACE_MAP()                             \
  };                                                       \
  *kr_count = sizeof(kr_entries) / sizeof(kr_entries[0]);  \
  return kr_entries;                                       \
  }

#define KR_BEGIN_OBJECT_MAP(name) static ::krsoap::com::ClassEntry name[] = {
#define KR_OBJECT_ENTRY(clsid, cls, script) \
  {&(clsid), &::krsoap::com::ComObject<cls>::Create, (script), {nullptr}},
#define KR_END_OBJECT_MAP() };

// Defines the module's state and its four exported entry points. `libid`
// points at the LIBID of the module's TYPELIB 1 resource (nullptr: the module
// has no type library); `hooks` is a const ServerHooks* or nullptr. The
// module must also embed its resources (krsoap_com_resources), which provides
// KrModuleResources.
#define KR_SERVER_MODULE(object_map, libid, hooks)                                                           \
  extern "C" KR_EXPORT const KrResourceTable* KrModuleResources();                                          \
  ::krsoap::com::ServerModuleState& ::krsoap::com::ThisModule() {                                            \
    static ::krsoap::com::ServerModuleState state(object_map, sizeof(object_map) / sizeof(object_map[0]),    \
                                                  (libid), &KrModuleResources, (hooks));                    \
    return state;                                                                                            \
  }                                                                                                          \
  extern "C" KR_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* ppv) {                  \
    return ::krsoap::com::ThisModule().GetClassObject(clsid, iid, ppv);                                      \
  }                                                                                                          \
  extern "C" KR_EXPORT HRESULT DllCanUnloadNow() { return ::krsoap::com::ThisModule().CanUnloadNow(); }     \
  extern "C" KR_EXPORT HRESULT DllRegisterServer() { return ::krsoap::com::ThisModule().RegisterServer(); } \
  extern "C" KR_EXPORT HRESULT DllUnregisterServer() {                                                      \
    return ::krsoap::com::ThisModule().UnregisterServer();                                                   \
  }
