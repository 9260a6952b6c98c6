// Activation (see activation.h): per-thread apartments, the process's table
// of loaded in-process servers and remembered class lookups, and the
// registry lookups behind CLSIDs and ProgIDs.
#include "platform/com/activation.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

#include "platform/com/unknwn.h"
#include "platform/com/server_loader.h"
#include "platform/com/taskmem.h"
#include "platform/registry/registry.h"
#include "platform/text/convert.h"

namespace krsoap::com {
namespace {

// ---------------------------------------------------------------------------
// Apartments.

std::atomic<int> g_mta_threads{0};

struct ThreadApartment {
  int count = 0;
  DWORD model = 0;
  ~ThreadApartment() {
    // A thread that ends without CoUninitialize leaves the apartment anyway.
    if (count > 0 && model == COINIT_MULTITHREADED) g_mta_threads.fetch_sub(1);
  }
};
thread_local ThreadApartment t_apartment;

bool ThreadMayActivate() { return t_apartment.count > 0 || g_mta_threads.load(std::memory_order_relaxed) > 0; }

// ---------------------------------------------------------------------------
// Registry reads.

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h) RegCloseKey(h);
  }
};

// The default (or named) string value of HKCR\subkey; false when missing.
bool ReadString(const std::u16string& subkey, const char16_t* name, std::u16string* out) {
  Key key;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_QUERY_VALUE, &key.h) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.h, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::u16string value(size / sizeof(char16_t) + 1, u'\0');
  DWORD cb = static_cast<DWORD>(value.size() * sizeof(char16_t));
  if (RegQueryValueExW(key.h, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &cb) != ERROR_SUCCESS)
    return false;
  value.resize(cb / sizeof(char16_t));
  while (!value.empty() && value.back() == u'\0') value.pop_back();
  *out = std::move(value);
  return true;
}

bool KeyExists(const std::u16string& subkey) {
  Key key;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_QUERY_VALUE, &key.h) == ERROR_SUCCESS;
}

std::u16string ClsidKey(REFCLSID clsid) { return u"CLSID\\" + GuidToString(clsid); }

// ---------------------------------------------------------------------------
// Loaded servers and remembered classes.

struct LoadedServer {
  std::u16string path;
  ServerModule module;
  LPFNGETCLASSOBJECT get_class_object = nullptr;
  LPFNCANUNLOADNOW can_unload_now = nullptr;
  // Activations currently inside this module's DllGetClassObject; a module
  // is never unloaded under them.
  std::atomic<int> in_flight{0};
};

struct RememberedClass {
  std::shared_ptr<LoadedServer> server;
  uint64_t generation;
};

class ServerTable {
 public:
  static ServerTable& Get() {
    static ServerTable* table = new ServerTable;  // lives until exit, used by exit-time code
    return *table;
  }

  std::atomic<uint64_t> generation{1};

  // The remembered server of a class, with an activation counted in flight
  // (which keeps the table from dropping it, so a plain pointer is enough).
  LoadedServer* Remembered(REFCLSID clsid) {
    std::shared_lock lock(mu_);
    auto it = classes_.find(clsid);
    if (it == classes_.end() || it->second.generation != generation.load(std::memory_order_acquire)) return nullptr;
    it->second.server->in_flight.fetch_add(1, std::memory_order_acq_rel);
    return it->second.server.get();
  }

  // Finds or loads the module at `path` and remembers it for `clsid`; the
  // result has an activation counted in flight.
  HRESULT Load(REFCLSID clsid, const std::u16string& path, uint64_t seen_generation, LoadedServer** out) {
    std::lock_guard load_lock(load_mu_);
    std::shared_ptr<LoadedServer> server;
    {
      std::unique_lock lock(mu_);
      auto it = servers_.find(path);
      if (it != servers_.end()) {
        server = it->second;
        server->in_flight.fetch_add(1, std::memory_order_acq_rel);
        classes_[clsid] = RememberedClass{server, seen_generation};
        *out = server.get();
        return S_OK;
      }
    }
    auto fresh = std::make_shared<LoadedServer>();
    fresh->path = path;
    HRESULT hr = LoadServerModule(path, &fresh->module);
    if (FAILED(hr)) return hr;
    fresh->get_class_object =
        reinterpret_cast<LPFNGETCLASSOBJECT>(fresh->module.Symbol("DllGetClassObject"));
    fresh->can_unload_now = reinterpret_cast<LPFNCANUNLOADNOW>(fresh->module.Symbol("DllCanUnloadNow"));
    if (!fresh->get_class_object) return CO_E_ERRORINDLL;  // the module unloads with `fresh`
    std::unique_lock lock(mu_);
    fresh->in_flight.fetch_add(1, std::memory_order_acq_rel);
    servers_[path] = fresh;
    classes_[clsid] = RememberedClass{fresh, seen_generation};
    *out = fresh.get();
    return S_OK;
  }

  void FreeUnused() {
    std::vector<std::shared_ptr<LoadedServer>> unloaded;
    {
      std::unique_lock lock(mu_);
      for (auto it = servers_.begin(); it != servers_.end();) {
        LoadedServer& s = *it->second;
        // A module without DllCanUnloadNow is never unloaded.
        if (s.in_flight.load(std::memory_order_acquire) == 0 && s.can_unload_now && s.can_unload_now() == S_OK) {
          unloaded.push_back(it->second);
          it = servers_.erase(it);
        } else {
          ++it;
        }
      }
      if (!unloaded.empty()) {
        for (auto it = classes_.begin(); it != classes_.end();) {
          bool gone = false;
          for (const auto& u : unloaded) gone = gone || it->second.server == u;
          it = gone ? classes_.erase(it) : std::next(it);
        }
      }
    }
    // The modules are unloaded as the last references go, outside the lock.
  }

  size_t Count() {
    std::shared_lock lock(mu_);
    return servers_.size();
  }

 private:
  struct U16Hash {
    size_t operator()(const std::u16string& s) const { return std::hash<std::u16string>{}(s); }
  };
  std::shared_mutex mu_;
  // Loading may run module initialisers that activate classes themselves.
  std::recursive_mutex load_mu_;
  std::unordered_map<std::u16string, std::shared_ptr<LoadedServer>, U16Hash> servers_;
  std::unordered_map<GUID, RememberedClass> classes_;
};

// Drops an in-flight count when an activation leaves the module.
struct InFlight {
  LoadedServer* server = nullptr;
  ~InFlight() {
    if (server) server->in_flight.fetch_sub(1, std::memory_order_acq_rel);
  }
};

HRESULT FindServer(REFCLSID clsid, InFlight* found) {
  ServerTable& table = ServerTable::Get();
  found->server = table.Remembered(clsid);
  if (found->server) return S_OK;
  uint64_t generation = table.generation.load(std::memory_order_acquire);
  std::u16string path;
  if (!ReadString(ClsidKey(clsid) + u"\\InprocServer32", nullptr, &path) || path.empty()) return REGDB_E_CLASSNOTREG;
  return table.Load(clsid, path, generation, &found->server);
}

HRESULT GetClassObject(REFCLSID clsid, DWORD context, REFIID iid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (context == 0 || (context & ~0x1Fu)) return E_INVALIDARG;
  if (!ThreadMayActivate()) return CO_E_NOTINITIALIZED;
  if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  InFlight server;
  HRESULT hr = FindServer(clsid, &server);
  if (FAILED(hr)) return hr;
  return server.server->get_class_object(clsid, iid, ppv);
}

bool ValidProgId(std::u16string_view id) {
  if (id.empty() || id.size() > KR_REG_MAX_KEY_NAME) return false;
  for (char16_t c : id) {
    if (c == u'\\' || c < 0x20) return false;
  }
  return true;
}

HRESULT ProgIdToClsid(std::u16string prog_id, CLSID* out) {
  // CurVer may chain to another ProgID; a loop ends after a few steps.
  for (int hops = 0; hops < 8; ++hops) {
    if (!ValidProgId(prog_id)) return CO_E_CLASSSTRING;
    std::u16string cur;
    if (ReadString(prog_id + u"\\CurVer", nullptr, &cur) && !cur.empty() &&
        cur != prog_id && ValidProgId(cur) && KeyExists(cur)) {
      prog_id = cur;
      continue;
    }
    std::u16string text;
    if (!ReadString(prog_id + u"\\CLSID", nullptr, &text)) return CO_E_CLASSSTRING;
    auto clsid = ParseGuid(text);
    if (!clsid) return CO_E_CLASSSTRING;
    *out = *clsid;
    return S_OK;
  }
  return CO_E_CLASSSTRING;
}

}  // namespace

Apartment CurrentApartment() {
  if (t_apartment.count > 0)
    return t_apartment.model == COINIT_MULTITHREADED ? Apartment::kMultithreaded : Apartment::kSingleThreaded;
  return g_mta_threads.load() > 0 ? Apartment::kImplicitMultithreaded : Apartment::kNone;
}

size_t LoadedServerCount() { return ServerTable::Get().Count(); }

namespace internal {
void NoteRegistrationChanged() { ServerTable::Get().generation.fetch_add(1, std::memory_order_acq_rel); }
}  // namespace internal

HRESULT QueryClassRegistration(REFCLSID clsid, ClassRegistration* out) {
  const std::u16string key = ClsidKey(clsid);
  if (!KeyExists(key)) return REGDB_E_CLASSNOTREG;
  ClassRegistration r;
  r.clsid = clsid;
  ReadString(key, nullptr, &r.description);
  ReadString(key + u"\\ProgID", nullptr, &r.prog_id);
  ReadString(key + u"\\VersionIndependentProgID", nullptr, &r.version_independent_prog_id);
  ReadString(key + u"\\InprocServer32", nullptr, &r.inproc_server);
  ReadString(key + u"\\InprocServer32", u"ThreadingModel", &r.threading_model);
  ReadString(key + u"\\TypeLib", nullptr, &r.type_lib);
  *out = std::move(r);
  return S_OK;
}

}  // namespace krsoap::com

using namespace krsoap::com;

extern "C" {

KR_EXPORT HRESULT CoInitializeEx(LPVOID reserved, DWORD coinit) {
  if (reserved) return E_INVALIDARG;
  if (coinit & ~(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY)) return E_INVALIDARG;
  const DWORD model = coinit & COINIT_APARTMENTTHREADED;
  ThreadApartment& a = t_apartment;
  if (a.count > 0) {
    if (a.model != model) return RPC_E_CHANGED_MODE;
    ++a.count;
    return S_FALSE;
  }
  a.model = model;
  a.count = 1;
  if (model == COINIT_MULTITHREADED) g_mta_threads.fetch_add(1);
  return S_OK;
}

KR_EXPORT HRESULT CoInitialize(LPVOID reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

KR_EXPORT void CoUninitialize() {
  ThreadApartment& a = t_apartment;
  if (a.count == 0) return;
  if (--a.count == 0 && a.model == COINIT_MULTITHREADED) g_mta_threads.fetch_sub(1);
}

KR_EXPORT HRESULT CoGetClassObject(REFCLSID clsid, DWORD cls_context, LPVOID server_info, REFIID iid,
                                   LPVOID* ppv) {
  if (server_info) {
    if (ppv) *ppv = nullptr;
    return E_INVALIDARG;
  }
  return GetClassObject(clsid, cls_context, iid, ppv);
}

KR_EXPORT HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD cls_context, REFIID iid,
                                   LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  // An aggregated object hands out only its inner IUnknown.
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  IClassFactory* factory = nullptr;
  HRESULT hr = GetClassObject(clsid, cls_context, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  if (!factory) return E_UNEXPECTED;
  hr = factory->CreateInstance(outer, iid, ppv);
  factory->Release();
  return hr;
}

KR_EXPORT void CoFreeUnusedLibraries() { ServerTable::Get().FreeUnused(); }

KR_EXPORT void CoFreeUnusedLibrariesEx(DWORD, DWORD) { ServerTable::Get().FreeUnused(); }

KR_EXPORT HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
  if (!clsid) return E_INVALIDARG;
  *clsid = CLSID_NULL;
  if (!text) return S_OK;  // a null string is CLSID_NULL, as on Windows
  std::u16string_view view(text, krsoap::platform::WideLength(text));
  if (!view.empty() && view.front() == u'{') {
    auto parsed = ParseGuid(view);
    if (!parsed) return CO_E_CLASSSTRING;
    *clsid = *parsed;
    return S_OK;
  }
  return ProgIdToClsid(std::u16string(view), clsid);
}

KR_EXPORT HRESULT CLSIDFromProgID(LPCOLESTR prog_id, LPCLSID clsid) {
  if (!prog_id || !clsid) return E_INVALIDARG;
  *clsid = CLSID_NULL;
  return ProgIdToClsid(std::u16string(prog_id, krsoap::platform::WideLength(prog_id)), clsid);
}

KR_EXPORT HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* prog_id) {
  if (!prog_id) return E_INVALIDARG;
  *prog_id = nullptr;
  std::u16string value;
  if (!ReadString(ClsidKey(clsid) + u"\\ProgID", nullptr, &value) || value.empty()) return REGDB_E_CLASSNOTREG;
  auto* out = static_cast<OLECHAR*>(CoTaskMemAlloc((value.size() + 1) * sizeof(OLECHAR)));
  if (!out) return E_OUTOFMEMORY;
  std::copy(value.begin(), value.end(), out);
  out[value.size()] = u'\0';
  *prog_id = out;
  return S_OK;
}

}  // extern "C"
