// The registry's storage service: a narrow interface over keys and values
// addressed by key ids, with one implementation over SQLite
// (sqlite_store.cpp). The Win32 calls in registry.cpp hold the portable logic
// (handles, access rights, buffer rules, text conversion, the read cache) and
// reach the disk only through this interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/win32/error_codes.h"
#include "platform/win32/types.h"

namespace krsoap::platform {

using RegKeyId = int64_t;

// Hive roots have fixed ids, so a predefined handle needs no lookup (and works
// on a store that does not exist yet): HKEY_CLASSES_ROOT is 1, then
// HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_PERFORMANCE_DATA,
// HKEY_CURRENT_CONFIG, HKEY_DYN_DATA.
inline constexpr RegKeyId kFirstHiveId = 1;
inline constexpr RegKeyId kHiveCount = 7;
inline bool IsHiveId(RegKeyId id) { return id >= kFirstHiveId && id < kFirstHiveId + kHiveCount; }
const char* HiveName(RegKeyId id);  // "HKEY_LOCAL_MACHINE", ...

// Limits (see docs/registry.md).
inline constexpr size_t kMaxKeyNameChars = 255;      // one path component
inline constexpr size_t kMaxValueNameChars = 16383;
inline constexpr size_t kMaxValueBytes = 1u << 20;  // 1 MiB of data per value
inline constexpr int kMaxKeyDepth = 512;            // components below the hive

// A key or value name: as given (UTF-8) and its folded comparison key.
struct RegName {
  std::string text;
  std::string fold;
};
RegName MakeRegName(std::u16string_view name);

struct RegValueRecord {
  std::string name;  // UTF-8
  DWORD type = 0;
  std::string data;  // raw bytes; strings as UTF-16LE
};

struct RegKeyInfo {
  DWORD sub_keys = 0;
  DWORD max_sub_key_len = 0;  // UTF-16 units, no terminator
  DWORD values = 0;
  DWORD max_value_name_len = 0;
  DWORD max_value_len = 0;    // bytes
  uint64_t last_write = 0;    // FILETIME ticks (100 ns since 1601)
};

// A minimal non-owning callable reference: transactions run caller code
// without allocating.
template <typename Sig>
class FunctionRef;
template <typename R, typename... A>
class FunctionRef<R(A...)> {
 public:
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
  FunctionRef(F&& f)  // NOLINT: implicit on purpose
      : obj_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, A... a) -> R { return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<A>(a)...); }) {}
  R operator()(A... a) const { return call_(obj_, std::forward<A>(a)...); }

 private:
  void* obj_;
  R (*call_)(void*, A...);
};

// The operations available inside one transaction. Every call returns a Win32
// code: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (no such key or value),
// ERROR_KEY_DELETED (the key id no longer exists), ERROR_NO_MORE_ITEMS,
// ERROR_ACCESS_DENIED, or a store failure (ERROR_BUSY,
// ERROR_REGISTRY_CORRUPT, ERROR_REGISTRY_IO_FAILED, ERROR_OUTOFMEMORY).
class RegistryTxn {
 public:
  virtual ~RegistryTxn() = default;
  virtual LONG CheckKey(RegKeyId key) = 0;
  virtual LONG FindKey(RegKeyId parent, const std::vector<RegName>& path, RegKeyId* found) = 0;
  // Creates the missing keys along `path`; `created` tells whether the last
  // one is new. Fails with ERROR_INVALID_PARAMETER past kMaxKeyDepth.
  virtual LONG CreateKey(RegKeyId parent, const std::vector<RegName>& path, RegKeyId* found,
                         bool* created) = 0;
  // Deletes a key (and with `subtree` everything below it). Without
  // `subtree`, a key with subkeys is refused with ERROR_ACCESS_DENIED.
  virtual LONG DeleteKey(RegKeyId key, bool subtree) = 0;
  virtual LONG DeleteSubtreeContents(RegKeyId key) = 0;  // values and subkeys, key stays
  virtual LONG GetValue(RegKeyId key, const RegName& name, DWORD* type, std::string* data) = 0;
  virtual LONG SetValue(RegKeyId key, const RegName& name, DWORD type, std::string_view data) = 0;
  virtual LONG DeleteValue(RegKeyId key, const RegName& name) = 0;
  virtual LONG EnumKey(RegKeyId key, DWORD index, std::string* name, uint64_t* last_write) = 0;
  virtual LONG EnumValue(RegKeyId key, DWORD index, RegValueRecord* value) = 0;
  virtual LONG QueryInfo(RegKeyId key, RegKeyInfo* info) = 0;
};

class RegistryStore {
 public:
  virtual ~RegistryStore() = default;
  // Runs `body` for reading. Without `snapshot` every call inside is atomic
  // on its own; with it the whole body sees one consistent state.
  virtual LONG Read(FunctionRef<LONG(RegistryTxn&)> body, bool snapshot = false) = 0;
  // Runs `body` as one write transaction: all of it is applied, or none of it
  // (any result other than ERROR_SUCCESS rolls back). Creates the store on
  // first use.
  virtual LONG Write(FunctionRef<LONG(RegistryTxn&)> body) = 0;
  // A stamp that changes whenever any process commits a write to this store.
  // An odd stamp means "a write may be in flight": nothing may be cached.
  virtual uint64_t ChangeStamp() = 0;
  virtual const std::string& Directory() const = 0;
  // Whether the store may be used at all, as every Read and Write finds out
  // first: ERROR_SUCCESS; ERROR_ACCESS_DENIED when its directory, or one
  // above it, could be changed by someone other than this user or root;
  // ERROR_REGISTRY_CORRUPT when the file is damaged. On failure *problem
  // holds one line naming the directory or the file.
  virtual LONG Check(std::string* problem) = 0;
};

// The SQLite store kept in `directory`/registry.db.
std::shared_ptr<RegistryStore> OpenSqliteRegistryStore(const std::string& directory);

// The store of the current data root (reopened when KRSOAP_HOME changes).
std::shared_ptr<RegistryStore> CurrentRegistryStore();

}  // namespace krsoap::platform
