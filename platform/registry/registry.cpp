// The Win32 registry calls over the registry store.
//
// Owns: the handle table (open keys, validated on every call so that a closed
// or forged handle answers ERROR_INVALID_HANDLE), access-right checks, path
// parsing and limits, the Windows buffer rules of the query calls, the A/W
// text conversion, and the per-process read cache validated by the store's
// change stamp. The store itself is reached only through RegistryStore.
#include "platform/registry/registry.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/files/data_root.h"
#include "platform/registry/reg_text.h"
#include "platform/registry/registry_internal.h"
#include "platform/registry/registry_store.h"

namespace krsoap::platform {
namespace {

// Generic rights as the registry maps them.
constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericExecute = 0x20000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kMaximumAllowed = 0x02000000u;

REGSAM NormalizeAccess(REGSAM sam) {
  REGSAM out = sam & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll | kMaximumAllowed |
                       KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if (sam & kGenericRead) out |= KEY_READ;
  if (sam & kGenericWrite) out |= KEY_WRITE;
  if (sam & kGenericExecute) out |= KEY_EXECUTE;
  if (sam & (kGenericAll | kMaximumAllowed)) out |= KEY_ALL_ACCESS;
  return out;
}

// Values read through one process, kept until any writer commits. Entries
// carry the change stamp they were read under; a different stamp (or an odd
// one, a write in flight) sends the read to the store.
class ValueCache {
 public:
  bool Find(uint64_t stamp, const std::string& key, LONG* result, DWORD* type, std::string* data) {
    std::shared_lock lock(mu_);
    auto it = map_.find(key);
    if (it == map_.end() || it->second.stamp != stamp) return false;
    *result = it->second.result;
    *type = it->second.type;
    *data = it->second.data;
    return true;
  }
  void Put(uint64_t stamp, std::string key, LONG result, DWORD type, const std::string& data) {
    if (data.size() > kMaxCachedBytes) return;  // big values are read from the store each time
    std::unique_lock lock(mu_);
    if (map_.size() >= kMaxEntries) map_.clear();
    Entry& e = map_[std::move(key)];
    e.stamp = stamp;
    e.result = result;
    e.type = type;
    e.data = data;
  }

 private:
  static constexpr size_t kMaxEntries = 4096;
  static constexpr size_t kMaxCachedBytes = 64 * 1024;
  struct Entry {
    uint64_t stamp = 0;
    LONG result = 0;
    DWORD type = 0;
    std::string data;
  };
  std::shared_mutex mu_;
  std::unordered_map<std::string, Entry> map_;
};

}  // namespace

struct StoreRef {
  std::shared_ptr<RegistryStore> store;
  ValueCache cache;
  uint64_t serial = 0;  // tells the stores a process opened apart (RegistryVersion)
};

namespace {

struct KeyObject {
  std::shared_ptr<StoreRef> store;
  RegKeyId id = 0;
  REGSAM access = 0;
};

class KeyHandleTable {
 public:
  HKEY Add(KeyObject key) {
    auto obj = std::make_shared<KeyObject>(std::move(key));
    std::unique_lock lock(mu_);
    // Handle values are never reused, so a stale handle can never reach a
    // key opened later.
    uintptr_t value = next_;
    next_ += 4;
    map_.emplace(value, std::move(obj));
    return reinterpret_cast<HKEY>(value);
  }
  std::shared_ptr<KeyObject> Find(HKEY key) {
    std::shared_lock lock(mu_);
    auto it = map_.find(reinterpret_cast<uintptr_t>(key));
    return it == map_.end() ? nullptr : it->second;
  }
  bool Remove(HKEY key) {
    std::unique_lock lock(mu_);
    return map_.erase(reinterpret_cast<uintptr_t>(key)) != 0;
  }

 private:
  std::shared_mutex mu_;
  uintptr_t next_ = 0x10000;
  std::unordered_map<uintptr_t, std::shared_ptr<KeyObject>> map_;
};

// Process-wide state lives for the whole process (never destroyed), so that
// registry calls made while other statics are torn down stay safe.
KeyHandleTable& Handles() {
  static KeyHandleTable* table = new KeyHandleTable;
  return *table;
}

RegKeyId HiveOf(HKEY key) {
  const auto v = reinterpret_cast<uintptr_t>(key);
  const auto base = reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT);
  if (v >= base && v < base + kHiveCount) return kFirstHiveId + static_cast<RegKeyId>(v - base);
  return 0;
}

// The key behind a handle: a predefined hive of the current data root, or an
// open key from the table.
LONG Resolve(HKEY key, KeyObject* out) {
  if (RegKeyId hive = HiveOf(key)) {
    out->store = CurrentStoreRef();
    out->id = hive;
    out->access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  if (!key) return ERROR_INVALID_HANDLE;
  auto obj = Handles().Find(key);
  if (!obj) return ERROR_INVALID_HANDLE;
  *out = *obj;
  return ERROR_SUCCESS;
}

std::u16string_view View(LPCWSTR s) {
  return s ? std::u16string_view(s) : std::u16string_view();
}

template <typename F>
LONG Guard(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_REGISTRY_IO_FAILED;
  }
}

// Windows buffer rules for value data: no buffer asks for the size; a buffer
// too small gets ERROR_MORE_DATA and the size needed, and is left alone.
LONG CopyOut(DWORD type, const std::string& bytes, LPDWORD type_out, LPBYTE data, LPDWORD cb_data) {
  if (type_out) *type_out = type;
  if (!cb_data) return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  const auto need = static_cast<DWORD>(bytes.size());
  if (!data) {
    *cb_data = need;
    return ERROR_SUCCESS;
  }
  if (*cb_data < need) {
    *cb_data = need;
    return ERROR_MORE_DATA;
  }
  if (need) std::memcpy(data, bytes.data(), need);
  *cb_data = need;
  return ERROR_SUCCESS;
}

// The cache can be switched off (KRSOAP_REGISTRY_CACHE=0) to measure or
// rule out the store alone; read once per process.
bool CacheEnabled() {
  static const bool enabled = [] {
    const char* v = std::getenv("KRSOAP_REGISTRY_CACHE");
    return !(v && v[0] == '0');
  }();
  return enabled;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

LONG GetValue(const KeyObject& k, const RegName& name, DWORD* type, std::string* data) {
  if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  RegistryStore& store = *k.store->store;
  std::string cache_key = std::to_string(k.id);
  cache_key.push_back('\0');
  cache_key += name.fold;
  const uint64_t before = CacheEnabled() ? store.ChangeStamp() : 1;
  LONG result = ERROR_SUCCESS;
  if (!(before & 1) && k.store->cache.Find(before, cache_key, &result, type, data)) return result;
  result = store.Read([&](RegistryTxn& txn) { return txn.GetValue(k.id, name, type, data); });
  if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND || result == ERROR_KEY_DELETED) {
    if (!(before & 1) && store.ChangeStamp() == before) {
      k.store->cache.Put(before, std::move(cache_key), result, result ? 0 : *type,
                         result ? std::string() : *data);
    }
  }
  return result;
}

// Key lookups share the value cache under keys of their own ("\1" cannot
// start a value entry, which begins with a decimal key id).
LONG FindKeyCached(const KeyObject& parent, const std::vector<RegName>& path, RegKeyId* found) {
  RegistryStore& store = *parent.store->store;
  std::string cache_key = "\1" + std::to_string(parent.id);
  for (const RegName& n : path) {
    cache_key.push_back('\\');
    cache_key += n.fold;
  }
  const uint64_t before = CacheEnabled() ? store.ChangeStamp() : 1;
  LONG result = ERROR_SUCCESS;
  DWORD unused = 0;
  std::string id_bytes;
  if (!(before & 1) && parent.store->cache.Find(before, cache_key, &result, &unused, &id_bytes)) {
    if (result == ERROR_SUCCESS && id_bytes.size() == sizeof(RegKeyId)) {
      std::memcpy(found, id_bytes.data(), sizeof(RegKeyId));
      return ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS) return result;
  }
  result = store.Read([&](RegistryTxn& txn) { return txn.FindKey(parent.id, path, found); });
  if ((result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) && !(before & 1) &&
      store.ChangeStamp() == before) {
    id_bytes.assign(reinterpret_cast<const char*>(found), result == ERROR_SUCCESS ? sizeof(RegKeyId) : 0);
    parent.store->cache.Put(before, std::move(cache_key), result, 0, id_bytes);
  }
  return result;
}

LONG OpenKey(HKEY key, std::u16string_view sub_key, REGSAM sam, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyObject parent;
  if (LONG e = Resolve(key, &parent)) return e;
  std::vector<RegName> path;
  if (LONG e = ParseKeyPath(sub_key, &path)) return e;
  RegKeyId found = 0;
  if (LONG r = FindKeyCached(parent, path, &found)) return r;
  *result = Handles().Add(KeyObject{parent.store, found, NormalizeAccess(sam)});
  return ERROR_SUCCESS;
}

LONG CreateKey(HKEY key, LPCWSTR sub_key_ptr, REGSAM sam, PHKEY result, LPDWORD disposition) {
  if (!result || !sub_key_ptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyObject parent;
  if (LONG e = Resolve(key, &parent)) return e;
  std::vector<RegName> path;
  if (LONG e = ParseKeyPath(View(sub_key_ptr), &path)) return e;
  RegistryStore& store = *parent.store->store;
  RegKeyId found = 0;
  bool created = false;
  // An existing key opens without writing, so it works on a read-only store.
  LONG r = FindKeyCached(parent, path, &found);
  if (r == ERROR_FILE_NOT_FOUND) {
    if (!(parent.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    r = store.Write([&](RegistryTxn& txn) { return txn.CreateKey(parent.id, path, &found, &created); });
  }
  if (r) return r;
  *result = Handles().Add(KeyObject{parent.store, found, NormalizeAccess(sam)});
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG QueryValue(HKEY key, const RegName& name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb_data,
                bool narrow) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  KeyObject k;
  if (LONG e = Resolve(key, &k)) return e;
  DWORD t = 0;
  std::string bytes;
  if (LONG e = GetValue(k, name, &t, &bytes)) return e;
  if (narrow && IsStringType(t)) bytes = regtext::Utf16BytesToUtf8(bytes);
  return CopyOut(t, bytes, type, data, cb_data);
}

LONG SetValue(HKEY key, const RegName& name, DWORD type, const BYTE* data, DWORD cb_data, bool narrow) {
  if (!data && cb_data) return ERROR_NOACCESS;
  if (cb_data > kMaxValueBytes) return ERROR_INVALID_PARAMETER;
  if (regtext::Utf16Length(name.text) > kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
  KeyObject k;
  if (LONG e = Resolve(key, &k)) return e;
  if (!(k.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string bytes(reinterpret_cast<const char*>(data ? data : reinterpret_cast<const BYTE*>("")), cb_data);
  if (narrow && IsStringType(type)) {
    bytes = regtext::Utf8ToUtf16Bytes(bytes);
    if (bytes.size() > kMaxValueBytes) return ERROR_INVALID_PARAMETER;
  }
  return k.store->store->Write([&](RegistryTxn& txn) { return txn.SetValue(k.id, name, type, bytes); });
}

LONG DeleteValue(HKEY key, const RegName& name) {
  KeyObject k;
  if (LONG e = Resolve(key, &k)) return e;
  if (!(k.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return k.store->store->Write([&](RegistryTxn& txn) { return txn.DeleteValue(k.id, name); });
}

LONG DeleteKey(HKEY key, LPCWSTR sub_key, bool tree) {
  KeyObject k;
  if (LONG e = Resolve(key, &k)) return e;
  if (tree) {
    constexpr REGSAM kNeeded = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
    if ((k.access & kNeeded) != kNeeded) return ERROR_ACCESS_DENIED;
  } else if (!sub_key) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<RegName> path;
  if (LONG e = ParseKeyPath(View(sub_key), &path)) return e;
  return k.store->store->Write([&](RegistryTxn& txn) -> LONG {
    if (tree && path.empty()) return txn.DeleteSubtreeContents(k.id);
    RegKeyId target = 0;
    if (LONG e = txn.FindKey(k.id, path, &target)) return e;
    return txn.DeleteKey(target, tree);
  });
}

// Copies a name into a caller's buffer of *cch characters (terminator
// included); on success *cch is the length without the terminator.
template <typename Char, typename Str>
LONG CopyName(const Str& name, Char* out, LPDWORD cch) {
  if (!out || !cch) return ERROR_INVALID_PARAMETER;
  if (*cch < name.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(out, name.data(), name.size() * sizeof(Char));
  out[name.size()] = 0;
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

template <typename Char>
void EmptyClass(Char* cls, LPDWORD cch_class) {
  if (cch_class) {
    if (cls && *cch_class > 0) cls[0] = 0;
    *cch_class = 0;
  }
}

void ToFiletime(uint64_t ticks, FILETIME* ft) {
  if (!ft) return;
  ft->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

template <typename Char>
LONG EnumKey(HKEY key, DWORD index, Char* name, LPDWORD cch_name, LPDWORD reserved, Char* cls, LPDWORD cch_class,
             FILETIME* last_write) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  if (!name || !cch_name) return ERROR_INVALID_PARAMETER;
  KeyObject k;
  if (LONG e = Resolve(key, &k)) return e;
  if (!(k.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  std::string utf8;
  uint64_t mtime = 0;
  LONG r = k.store->store->Read([&](RegistryTxn& txn) { return txn.EnumKey(k.id, index, &utf8, &mtime); });
  if (r) return r;
  if constexpr (sizeof(Char) == 2) {
    r = CopyName(regtext::ToUtf16(utf8), name, cch_name);
  } else {
    r = CopyName(utf8, name, cch_name);
  }
  if (r) return r;
  EmptyClass(cls, cch_class);
  ToFiletime(mtime, last_write);
  return ERROR_SUCCESS;
}

template <typename Char>
LONG EnumValue(HKEY key, DWORD index, Char* name, LPDWORD cch_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
               LPDWORD cb_data) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  if (!name || !cch_name) return ERROR_INVALID_PARAMETER;
  KeyObject k;
  if (LONG e = Resolve(key, &k)) return e;
  if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  RegValueRecord v;
  LONG r = k.store->store->Read([&](RegistryTxn& txn) { return txn.EnumValue(k.id, index, &v); });
  if (r) return r;
  if constexpr (sizeof(Char) == 2) {
    r = CopyName(regtext::ToUtf16(v.name), name, cch_name);
  } else {
    r = CopyName(v.name, name, cch_name);
    if (IsStringType(v.type)) v.data = regtext::Utf16BytesToUtf8(v.data);
  }
  if (r) return r;
  return CopyOut(v.type, v.data, type, data, cb_data);
}

}  // namespace

std::shared_ptr<StoreRef> CurrentStoreRef() {
  static std::mutex* mu = new std::mutex;
  static std::shared_ptr<StoreRef>* current = new std::shared_ptr<StoreRef>;
  std::string dir = DataRoot();
  std::lock_guard<std::mutex> lock(*mu);
  if (!*current || (*current)->store->Directory() != dir) {
    static uint64_t serial = 0;
    auto ref = std::make_shared<StoreRef>();
    ref->store = OpenSqliteRegistryStore(dir);
    ref->serial = ++serial;
    *current = std::move(ref);
  }
  return *current;
}

std::shared_ptr<RegistryStore> CurrentRegistryStore() { return CurrentStoreRef()->store; }

LONG ParseKeyPath(std::u16string_view path, std::vector<RegName>* out) {
  out->clear();
  if (path.empty()) return ERROR_SUCCESS;
  if (path.front() == u'\\') return ERROR_BAD_PATHNAME;
  // One trailing backslash is accepted ("Software\"); an empty component
  // anywhere else is a malformed path.
  if (path.back() == u'\\') path.remove_suffix(1);
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    std::u16string_view part = path.substr(start, end - start);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (part.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
    if (out->size() >= static_cast<size_t>(kMaxKeyDepth)) return ERROR_INVALID_PARAMETER;
    out->push_back(MakeRegName(part));
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

LONG ResolveHandle(HKEY key, std::shared_ptr<RegistryStore>* store, RegKeyId* id) {
  KeyObject k;
  if (LONG e = Resolve(key, &k)) return e;
  *store = k.store->store;
  *id = k.id;
  return ERROR_SUCCESS;
}

}  // namespace krsoap::platform

using krsoap::platform::Guard;
using krsoap::platform::MakeRegName;
using krsoap::platform::View;
namespace regtext = krsoap::platform::regtext;

namespace {
std::u16string Wide(LPCSTR s) { return s ? regtext::ToUtf16(s) : std::u16string(); }
}  // namespace

extern "C" {

LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM sam, PHKEY result) {
  return Guard([&] { return krsoap::platform::OpenKey(key, View(sub_key), sam, result); });
}

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM sam, PHKEY result) {
  return Guard([&] { return krsoap::platform::OpenKey(key, Wide(sub_key), sam, result); });
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR cls, DWORD options, REGSAM sam,
                     void* security, PHKEY result, LPDWORD disposition) {
  return Guard([&] { return krsoap::platform::CreateKey(key, sub_key, sam, result, disposition); });
}

LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR cls, DWORD options, REGSAM sam,
                     void* security, PHKEY result, LPDWORD disposition) {
  return Guard([&] {
    if (!sub_key) return krsoap::platform::CreateKey(key, nullptr, sam, result, disposition);
    std::u16string w = Wide(sub_key);
    return krsoap::platform::CreateKey(key, w.c_str(), sam, result, disposition);
  });
}

LONG RegCloseKey(HKEY key) {
  return Guard([&]() -> LONG {
    if (krsoap::platform::HiveOf(key)) return ERROR_SUCCESS;
    return krsoap::platform::Handles().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  });
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb_data) {
  return Guard([&] {
    return krsoap::platform::QueryValue(key, MakeRegName(View(name)), reserved, type, data, cb_data, false);
  });
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb_data) {
  return Guard([&] {
    return krsoap::platform::QueryValue(key, MakeRegName(Wide(name)), reserved, type, data, cb_data, true);
  });
}

LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD cb_data) {
  return Guard([&] { return krsoap::platform::SetValue(key, MakeRegName(View(name)), type, data, cb_data, false); });
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD cb_data) {
  return Guard([&] { return krsoap::platform::SetValue(key, MakeRegName(Wide(name)), type, data, cb_data, true); });
}

LONG RegDeleteKeyW(HKEY key, LPCWSTR sub_key) {
  return Guard([&] { return krsoap::platform::DeleteKey(key, sub_key, false); });
}

LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key) {
  return Guard([&] {
    if (!sub_key) return krsoap::platform::DeleteKey(key, nullptr, false);
    std::u16string w = Wide(sub_key);
    return krsoap::platform::DeleteKey(key, w.c_str(), false);
  });
}

LONG RegDeleteTreeW(HKEY key, LPCWSTR sub_key) {
  return Guard([&] { return krsoap::platform::DeleteKey(key, sub_key, true); });
}

LONG RegDeleteTreeA(HKEY key, LPCSTR sub_key) {
  return Guard([&] {
    if (!sub_key) return krsoap::platform::DeleteKey(key, nullptr, true);
    std::u16string w = Wide(sub_key);
    return krsoap::platform::DeleteKey(key, w.c_str(), true);
  });
}

LONG RegDeleteValueW(HKEY key, LPCWSTR name) {
  return Guard([&] { return krsoap::platform::DeleteValue(key, MakeRegName(View(name))); });
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
  return Guard([&] { return krsoap::platform::DeleteValue(key, MakeRegName(Wide(name))); });
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name, LPDWORD reserved, LPWSTR cls,
                   LPDWORD cch_class, FILETIME* last_write) {
  return Guard(
      [&] { return krsoap::platform::EnumKey(key, index, name, cch_name, reserved, cls, cch_class, last_write); });
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD cch_name, LPDWORD reserved, LPSTR cls,
                   LPDWORD cch_class, FILETIME* last_write) {
  return Guard(
      [&] { return krsoap::platform::EnumKey(key, index, name, cch_name, reserved, cls, cch_class, last_write); });
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD cb_data) {
  return Guard(
      [&] { return krsoap::platform::EnumValue(key, index, name, cch_name, reserved, type, data, cb_data); });
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD cch_name, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD cb_data) {
  return Guard(
      [&] { return krsoap::platform::EnumValue(key, index, name, cch_name, reserved, type, data, cb_data); });
}

LONG RegQueryInfoKeyW(HKEY key, LPWSTR cls, LPDWORD cch_class, LPDWORD reserved, LPDWORD sub_keys,
                      LPDWORD max_sub_key_len, LPDWORD max_class_len, LPDWORD values, LPDWORD max_value_name_len,
                      LPDWORD max_value_len, LPDWORD security_descriptor, FILETIME* last_write) {
  return Guard([&]() -> LONG {
    if (reserved) return ERROR_INVALID_PARAMETER;
    krsoap::platform::KeyObject k;
    if (LONG e = krsoap::platform::Resolve(key, &k)) return e;
    if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    krsoap::platform::RegKeyInfo info;
    LONG r = k.store->store->Read([&](krsoap::platform::RegistryTxn& txn) { return txn.QueryInfo(k.id, &info); });
    if (r) return r;
    krsoap::platform::EmptyClass(cls, cch_class);
    if (sub_keys) *sub_keys = info.sub_keys;
    if (max_sub_key_len) *max_sub_key_len = info.max_sub_key_len;
    if (max_class_len) *max_class_len = 0;
    if (values) *values = info.values;
    if (max_value_name_len) *max_value_name_len = info.max_value_name_len;
    if (max_value_len) *max_value_len = info.max_value_len;
    if (security_descriptor) *security_descriptor = 0;
    krsoap::platform::ToFiletime(info.last_write, last_write);
    return ERROR_SUCCESS;
  });
}

LONG RegSetValueW(HKEY key, LPCWSTR sub_key, DWORD type, LPCWSTR data, DWORD cb_data) {
  return Guard([&]() -> LONG {
    // Only strings, and the length always comes from the string itself.
    if (type != REG_SZ || !data) return ERROR_INVALID_PARAMETER;
    const auto bytes = static_cast<DWORD>((std::u16string_view(data).size() + 1) * sizeof(WCHAR));
    if (!sub_key || !*sub_key) return RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), bytes);
    HKEY sub = nullptr;
    LONG r = RegCreateKeyExW(key, sub_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &sub, nullptr);
    if (r) return r;
    r = RegSetValueExW(sub, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), bytes);
    RegCloseKey(sub);
    return r;
  });
}

LONG RegQueryValueW(HKEY key, LPCWSTR sub_key, LPWSTR data, LONG* cb_data) {
  return Guard([&]() -> LONG {
    HKEY sub = key;
    if (sub_key && *sub_key) {
      LONG r = RegOpenKeyExW(key, sub_key, 0, KEY_QUERY_VALUE, &sub);
      if (r) return r;
    }
    DWORD type = 0;
    DWORD cb = cb_data ? static_cast<DWORD>(*cb_data < 0 ? 0 : *cb_data) : 0;
    LONG r = RegQueryValueExW(sub, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(data), cb_data ? &cb : nullptr);
    if (r == ERROR_FILE_NOT_FOUND) {
      // A key without a default value reads as the empty string.
      type = REG_SZ;
      cb = sizeof(WCHAR);
      r = ERROR_SUCCESS;
      if (data && cb_data && *cb_data >= static_cast<LONG>(sizeof(WCHAR))) {
        data[0] = 0;
      } else if (data && cb_data) {
        r = ERROR_MORE_DATA;
      }
    } else if ((r == ERROR_SUCCESS || r == ERROR_MORE_DATA) && !(type == REG_SZ || type == REG_EXPAND_SZ)) {
      r = ERROR_INVALID_DATA;
    }
    if (sub != key) RegCloseKey(sub);
    if ((r == ERROR_SUCCESS || r == ERROR_MORE_DATA) && cb_data) *cb_data = static_cast<LONG>(cb);
    return r;
  });
}

}  // extern "C"

namespace krsoap::platform {

bool CurrentRegistryVersion(RegistryVersion* version) noexcept {
  try {
    if (!CacheEnabled()) return false;
    const std::shared_ptr<StoreRef> ref = CurrentStoreRef();
    const uint64_t stamp = ref->store->ChangeStamp();
    if (stamp & 1) return false;
    version->store = ref->serial;
    version->stamp = stamp;
    return true;
  } catch (...) {
    return false;
  }
}

bool ReadRegistryDword(HKEY root, LPCWSTR sub_key, LPCWSTR name, DWORD* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, sub_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0, data = 0, size = sizeof data;
  const bool found = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size) ==
                         ERROR_SUCCESS &&
                     type == REG_DWORD && size == sizeof data;
  RegCloseKey(key);
  if (found) *value = data;
  return found;
}

}  // namespace krsoap::platform
