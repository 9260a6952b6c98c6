// The non-template part of the in-process server toolkit (see server.h):
// the standard class factory and the module state behind the four entry
// points.
#include "platform/com/server.h"

#include "platform/com/registrar.h"
#include "platform/com/server_loader.h"
#include "platform/com/typelib.h"
#include "platform/text/convert.h"

namespace krsoap::com {
namespace {

// The class factory of one class. The module keeps one reference while it
// caches the factory; references beyond that lock the module, so a client
// holding a factory keeps the module loaded while the cache alone does not.
class ClassFactory final : public IClassFactory {
 public:
  ClassFactory(ServerModuleState* module, ClassEntry* entry) : module_(module), entry_(entry) {}

  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override {
    ULONG n = refs_.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (n == 2) module_->Lock();
    return n;
  }
  ULONG Release() override {
    ULONG n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 1) module_->Unlock();
    if (n == 0) delete this;
    return n;
  }
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return entry_->create(outer, iid, ppv);
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) module_->Lock();
    else module_->Unlock();
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
  ServerModuleState* module_;
  ClassEntry* entry_;
};

std::string ReplaceExtension(const std::string& path, const char* ext) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ext;
  return path.substr(0, dot) + ext;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

ServerModuleState::ServerModuleState(ClassEntry* classes, size_t count, const GUID* libid,
                                     KrModuleResourcesFn resources, const ServerHooks* hooks)
    : classes_(classes), count_(count), libid_(libid), resources_(resources) {
  if (hooks) hooks_ = *hooks;
}

ServerModuleState::~ServerModuleState() {
  for (size_t i = 0; i < count_; ++i) {
    if (IClassFactory* f = classes_[i].factory.exchange(nullptr)) f->Release();
  }
  for (ITypeInfo* info : typeinfos_) info->Release();
}

HRESULT ServerModuleState::GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (hooks_.get_class_object && hooks_.get_class_object(clsid, iid, ppv) == S_OK) return S_OK;
  for (size_t i = 0; i < count_; ++i) {
    ClassEntry& entry = classes_[i];
    if (!IsEqualCLSID(*entry.clsid, clsid)) continue;
    IClassFactory* factory = entry.factory.load(std::memory_order_acquire);
    if (!factory) {
      std::lock_guard lock(factory_mu_);
      factory = entry.factory.load(std::memory_order_acquire);
      if (!factory) {
        factory = new (std::nothrow) ClassFactory(this, &entry);
        if (!factory) return E_OUTOFMEMORY;
        entry.factory.store(factory, std::memory_order_release);
      }
    }
    return factory->QueryInterface(iid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ServerModuleState::CanUnloadNow() {
  if (hooks_.can_unload && !hooks_.can_unload()) return S_FALSE;
  return LockCount() == 0 ? S_OK : S_FALSE;
}

std::string ServerModuleState::ModulePath() const {
  return ModulePathOf(reinterpret_cast<const void*>(resources_ ? reinterpret_cast<const void*>(resources_)
                                                               : static_cast<const void*>(this)));
}

HRESULT ServerModuleState::LoadOwnTypeLib(ITypeLib** lib, std::u16string* path) {
  const std::string module = ModulePath();
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (FindResource(Resources(), "TYPELIB", 1, &data, &size) && SUCCEEDED(LoadTypeLibFromBytes(data, size, lib))) {
    *path = platform::Utf8ToUtf16(module);
    return S_OK;
  }
  // The fallback: a ".tlb" file beside the module with the same stem.
  *path = platform::Utf8ToUtf16(ReplaceExtension(module, ".tlb"));
  return LoadTypeLib(path->c_str(), lib);
}

HRESULT ServerModuleState::RegisterServer() {
  if (hooks_.register_server) {
    HRESULT hr = hooks_.register_server();
    if (FAILED(hr)) return hr;
  }
  const std::string module = ModulePath();
  if (module.empty()) return E_UNEXPECTED;
  const RegistrarReplacements replacements = {{"MODULE", module}};
  for (size_t i = 0; i < count_; ++i) {
    if (!classes_[i].registry_script) continue;
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!FindResource(Resources(), "REGISTRY", classes_[i].registry_script, &data, &size))
      return HRESULT_FROM_WIN32(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
    HRESULT hr = RunRegistryScript(std::string_view(reinterpret_cast<const char*>(data), size), replacements,
                                   RegistrarMode::kRegister);
    if (FAILED(hr)) return hr;
  }
  if (!libid_) return S_OK;
  ITypeLib* lib = nullptr;
  std::u16string path;
  HRESULT hr = LoadOwnTypeLib(&lib, &path);
  if (FAILED(hr)) return hr;
  const std::u16string dir = platform::Utf8ToUtf16(DirectoryOf(platform::Utf16ToUtf8(path)));
  hr = RegisterTypeLib(lib, path.c_str(), dir.c_str());
  lib->Release();
  return hr;
}

HRESULT ServerModuleState::UnregisterServer() {
  if (hooks_.unregister_server) hooks_.unregister_server();
  const RegistrarReplacements replacements = {{"MODULE", ModulePath()}};
  for (size_t i = 0; i < count_; ++i) {
    if (!classes_[i].registry_script) continue;
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!FindResource(Resources(), "REGISTRY", classes_[i].registry_script, &data, &size))
      return HRESULT_FROM_WIN32(1814);
    HRESULT hr = RunRegistryScript(std::string_view(reinterpret_cast<const char*>(data), size), replacements,
                                   RegistrarMode::kUnregister);
    if (FAILED(hr)) return hr;
  }
  if (!libid_) return S_OK;
  ITypeLib* lib = nullptr;
  std::u16string path;
  if (FAILED(LoadOwnTypeLib(&lib, &path))) return S_OK;  // nothing to say which locale was registered
  TLIBATTR* attr = nullptr;
  HRESULT hr = lib->GetLibAttr(&attr);
  if (SUCCEEDED(hr)) {
    hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    lib->ReleaseTLibAttr(attr);
    // A library that is not registered is already where unregistering leads.
    if (hr == TYPE_E_REGISTRYACCESS) hr = S_OK;
  }
  lib->Release();
  return hr;
}

HRESULT ServerModuleState::TypeInfoFor(REFGUID libid, WORD major, WORD minor, REFIID iid,
                                       std::atomic<ITypeInfo*>* slot, ITypeInfo** out) {
  std::lock_guard lock(typeinfo_mu_);
  if (ITypeInfo* info = slot->load(std::memory_order_acquire)) {
    *out = info;
    return S_OK;
  }
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadRegTypeLib(libid, major, minor, 0, &lib);
  if (FAILED(hr)) return hr;
  ITypeInfo* info = nullptr;
  hr = lib->GetTypeInfoOfGuid(iid, &info);
  lib->Release();
  if (FAILED(hr)) return hr;
  typeinfos_.push_back(info);  // the module holds this reference until it unloads
  slot->store(info, std::memory_order_release);
  *out = info;
  return S_OK;
}

}  // namespace krsoap::com
