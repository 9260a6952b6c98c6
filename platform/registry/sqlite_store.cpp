// The registry store over SQLite: one database file, registry.db, in the data
// root, opened in WAL mode so that readers never wait for a writer.
//
// Owns: the connection pool of one store, the schema, the mapping of SQLite
// result codes onto Win32 codes, and the change stamp (registry.stamp, a small
// shared mapping bumped by every writer) that lets readers keep a cache.
//
// Every process opens its own connections; writers serialise on SQLite's
// write lock (BEGIN IMMEDIATE) with a bounded busy wait, so a store held by a
// stuck process yields ERROR_BUSY instead of a hang.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files/data_root.h"
#include "platform/registry/reg_text.h"
#include "platform/registry/registry_store.h"

namespace krsoap::platform {

const char* HiveName(RegKeyId id) {
  static const char* const kNames[] = {"HKEY_CLASSES_ROOT",     "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE",
                                       "HKEY_USERS",            "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG",
                                       "HKEY_DYN_DATA"};
  return IsHiveId(id) ? kNames[id - kFirstHiveId] : "";
}

RegName MakeRegName(std::u16string_view name) {
  return RegName{regtext::ToUtf8(name), regtext::Fold(name)};
}

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"  // ids are never reused: a handle
    " parent INTEGER NOT NULL,"               // to a deleted key stays deleted
    " name TEXT NOT NULL,"
    " fold TEXT NOT NULL,"
    " depth INTEGER NOT NULL,"
    " mtime INTEGER NOT NULL DEFAULT 0,"
    " UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " fold TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key, fold));"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold, depth) VALUES"
    " (1, 0, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT', 0),"
    " (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER', 0),"
    " (3, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', 0),"
    " (4, 0, 'HKEY_USERS', 'HKEY_USERS', 0),"
    " (5, 0, 'HKEY_PERFORMANCE_DATA', 'HKEY_PERFORMANCE_DATA', 0),"
    " (6, 0, 'HKEY_CURRENT_CONFIG', 'HKEY_CURRENT_CONFIG', 0),"
    " (7, 0, 'HKEY_DYN_DATA', 'HKEY_DYN_DATA', 0);"
    "PRAGMA user_version = 1;";

enum Stmt {
  kFindChild,
  kKeyRow,
  kInsertKey,
  kTouchKey,
  kHasChild,
  kDeleteTreeVals,
  kDeleteTreeKeys,
  kDeleteBelowVals,
  kDeleteBelowKeys,
  kGetValue,
  kSetValue,
  kDeleteValue,
  kEnumKey,
  kEnumValue,
  kAllKeyNames,
  kAllValueSizes,
  kStmtCount
};

const char* const kSql[kStmtCount] = {
    "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2",
    "SELECT depth, parent, mtime FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name, fold, depth, mtime) VALUES (?1, ?2, ?3, ?4, ?5)",
    "UPDATE keys SET mtime = ?2 WHERE id = ?1",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id)"
    " DELETE FROM vals WHERE key IN sub",
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id)"
    " DELETE FROM keys WHERE id IN sub",
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id)"
    " DELETE FROM vals WHERE key IN sub",
    "WITH RECURSIVE sub(id) AS (SELECT id FROM keys WHERE parent = ?1 UNION ALL"
    " SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) DELETE FROM keys WHERE id IN sub",
    "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2",
    "INSERT INTO vals(key, name, fold, type, data) VALUES (?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND fold = ?2",
    "SELECT name, mtime FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2",
    "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2",
    "SELECT name FROM keys WHERE parent = ?1",
    "SELECT name, length(data) FROM vals WHERE key = ?1",
};

uint64_t NowFiletime() {
  using namespace std::chrono;
  const auto since_epoch = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<uint64_t>(since_epoch / 100) + 116444736000000000ull;
}

int BusyTimeoutMs() {
  // Tests shorten the wait through the environment; the default rides out
  // any ordinary writer.
  if (const char* v = std::getenv("KRSOAP_REGISTRY_BUSY_MS")) {
    int ms = std::atoi(v);
    if (ms >= 0 && ms <= 600000) return ms;
  }
  return 5000;
}

LONG MapSqlite(sqlite3* db, int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
      return ERROR_REGISTRY_CORRUPT;
    case SQLITE_NOMEM:
      return ERROR_OUTOFMEMORY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    case SQLITE_ERROR: {
      // A damaged header or schema surfaces as a plain error on some paths.
      const char* msg = db ? sqlite3_errmsg(db) : "";
      if (std::strstr(msg, "file format") || std::strstr(msg, "malformed")) return ERROR_REGISTRY_CORRUPT;
      return ERROR_REGISTRY_IO_FAILED;
    }
    case SQLITE_CANTOPEN: {
      int e = db ? sqlite3_system_errno(db) : 0;
      if (e == EACCES || e == EPERM || e == EROFS) return ERROR_ACCESS_DENIED;
      return ERROR_REGISTRY_IO_FAILED;
    }
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

LONG MapErrno(int e) {
  if (e == EACCES || e == EPERM || e == EROFS) return ERROR_ACCESS_DENIED;
  if (e == ENOSPC) return ERROR_DISK_FULL;
  return ERROR_REGISTRY_IO_FAILED;
}

// One SQLite connection with its prepared statements; used by one thread at a
// time (the pool hands it out).
struct Connection {
  sqlite3* db = nullptr;
  bool read_only = false;
  bool schema_known = false;
  sqlite3_stmt* stmts[kStmtCount] = {};

  ~Connection() {
    for (sqlite3_stmt* s : stmts) sqlite3_finalize(s);
    sqlite3_close_v2(db);
  }

  LONG Exec(const char* sql) { return MapSqlite(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr)); }

  // A damaged store is left exactly as it is: closing the last connection
  // must not copy the write-ahead log into it.
  void LeaveFileAlone() {
    if (db) sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  }
};

// Resets a statement when the scope ends, so that no read transaction stays
// open behind an unfinished statement.
class Use {
 public:
  Use(Connection& c, Stmt which, LONG* err) : c_(c) {
    sqlite3_stmt*& s = c.stmts[which];
    if (!s) {
      int rc = sqlite3_prepare_v3(c.db, kSql[which], -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
      if (rc != SQLITE_OK) {
        *err = MapSqlite(c.db, rc);
        s = nullptr;
      }
    }
    s_ = s;
  }
  ~Use() {
    if (s_) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  explicit operator bool() const { return s_ != nullptr; }
  sqlite3_stmt* get() const { return s_; }
  void Bind(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
  void Bind(int i, const std::string& t) {
    sqlite3_bind_text(s_, i, t.data(), static_cast<int>(t.size()), SQLITE_STATIC);
  }
  void BindBlob(int i, std::string_view b) {
    sqlite3_bind_blob(s_, i, b.empty() ? "" : b.data(), static_cast<int>(b.size()), SQLITE_STATIC);
  }
  // Steps once: SQLITE_ROW, SQLITE_DONE or an error mapped into *err.
  int Step(LONG* err) {
    int rc = sqlite3_step(s_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) *err = MapSqlite(c_.db, rc);
    return rc;
  }
  std::string Text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, col))) : std::string();
  }
  std::string Blob(int col) const {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(s_, col));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, col))) : std::string();
  }
  int64_t Int(int col) const { return sqlite3_column_int64(s_, col); }

 private:
  Connection& c_;
  sqlite3_stmt* s_ = nullptr;
};

// The operations over one connection.
class SqlTxn final : public RegistryTxn {
 public:
  SqlTxn(Connection& c, bool writable) : c_(c), writable_(writable) {}

  LONG CheckKey(RegKeyId key) override {
    int64_t depth = 0, parent = 0;
    return KeyRow(key, &depth, &parent);
  }

  LONG FindKey(RegKeyId parent, const std::vector<RegName>& path, RegKeyId* found) override {
    if (LONG e = CheckKey(parent)) return e;
    RegKeyId id = parent;
    for (const RegName& part : path) {
      LONG e = Child(id, part, &id);
      if (e) return e;
      if (id == 0) return ERROR_FILE_NOT_FOUND;
    }
    *found = id;
    return ERROR_SUCCESS;
  }

  LONG CreateKey(RegKeyId parent, const std::vector<RegName>& path, RegKeyId* found, bool* created) override {
    if (!writable_) return ERROR_ACCESS_DENIED;
    int64_t depth = 0, grand = 0;
    if (LONG e = KeyRow(parent, &depth, &grand)) return e;
    RegKeyId id = parent;
    bool made = false;
    const uint64_t now = NowFiletime();
    for (const RegName& part : path) {
      RegKeyId child = 0;
      if (LONG e = Child(id, part, &child)) return e;
      ++depth;
      if (child == 0) {
        if (depth > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
        LONG err = ERROR_SUCCESS;
        {
          Use s(c_, kInsertKey, &err);
          if (!s) return err;
          s.Bind(1, id);
          s.Bind(2, part.text);
          s.Bind(3, part.fold);
          s.Bind(4, depth);
          s.Bind(5, static_cast<int64_t>(now));
          if (s.Step(&err) != SQLITE_DONE) return err;
        }
        if (LONG e = Touch(id, now)) return e;
        child = sqlite3_last_insert_rowid(c_.db);
        made = true;
      } else {
        made = false;
      }
      id = child;
    }
    *found = id;
    if (created) *created = made;
    return ERROR_SUCCESS;
  }

  LONG DeleteKey(RegKeyId key, bool subtree) override {
    if (!writable_) return ERROR_ACCESS_DENIED;
    if (IsHiveId(key)) return ERROR_ACCESS_DENIED;
    int64_t depth = 0, parent = 0;
    if (LONG e = KeyRow(key, &depth, &parent)) return e;
    LONG err = ERROR_SUCCESS;
    if (!subtree) {
      Use s(c_, kHasChild, &err);
      if (!s) return err;
      s.Bind(1, key);
      int rc = s.Step(&err);
      if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
      if (rc != SQLITE_DONE) return err;
    }
    if (LONG e = RunTree(kDeleteTreeVals, key)) return e;
    if (LONG e = RunTree(kDeleteTreeKeys, key)) return e;
    return Touch(parent, NowFiletime());
  }

  LONG DeleteSubtreeContents(RegKeyId key) override {
    if (!writable_) return ERROR_ACCESS_DENIED;
    if (LONG e = CheckKey(key)) return e;
    if (LONG e = RunTree(kDeleteBelowVals, key)) return e;
    if (LONG e = RunTree(kDeleteBelowKeys, key)) return e;
    return Touch(key, NowFiletime());
  }

  LONG GetValue(RegKeyId key, const RegName& name, DWORD* type, std::string* data) override {
    LONG err = ERROR_SUCCESS;
    {
      Use s(c_, kGetValue, &err);
      if (!s) return err;
      s.Bind(1, key);
      s.Bind(2, name.fold);
      int rc = s.Step(&err);
      if (rc == SQLITE_ROW) {
        *type = static_cast<DWORD>(s.Int(0));
        *data = s.Blob(1);
        return ERROR_SUCCESS;
      }
      if (rc != SQLITE_DONE) return err;
    }
    // Key ids are never reused, so a key seen now existed when the value was
    // looked for: the answer is "no such value" or "key deleted".
    if (LONG e = CheckKey(key)) return e;
    return ERROR_FILE_NOT_FOUND;
  }

  LONG SetValue(RegKeyId key, const RegName& name, DWORD type, std::string_view data) override {
    if (!writable_) return ERROR_ACCESS_DENIED;
    if (LONG e = CheckKey(key)) return e;
    LONG err = ERROR_SUCCESS;
    {
      Use s(c_, kSetValue, &err);
      if (!s) return err;
      s.Bind(1, key);
      s.Bind(2, name.text);
      s.Bind(3, name.fold);
      s.Bind(4, static_cast<int64_t>(type));
      s.BindBlob(5, data);
      if (s.Step(&err) != SQLITE_DONE) return err;
    }
    return Touch(key, NowFiletime());
  }

  LONG DeleteValue(RegKeyId key, const RegName& name) override {
    if (!writable_) return ERROR_ACCESS_DENIED;
    if (LONG e = CheckKey(key)) return e;
    LONG err = ERROR_SUCCESS;
    {
      Use s(c_, kDeleteValue, &err);
      if (!s) return err;
      s.Bind(1, key);
      s.Bind(2, name.fold);
      if (s.Step(&err) != SQLITE_DONE) return err;
    }
    if (sqlite3_changes(c_.db) == 0) return ERROR_FILE_NOT_FOUND;
    return Touch(key, NowFiletime());
  }

  LONG EnumKey(RegKeyId key, DWORD index, std::string* name, uint64_t* last_write) override {
    if (LONG e = CheckKey(key)) return e;
    LONG err = ERROR_SUCCESS;
    Use s(c_, kEnumKey, &err);
    if (!s) return err;
    s.Bind(1, key);
    s.Bind(2, static_cast<int64_t>(index));
    int rc = s.Step(&err);
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return err;
    *name = s.Text(0);
    if (last_write) *last_write = static_cast<uint64_t>(s.Int(1));
    return ERROR_SUCCESS;
  }

  LONG EnumValue(RegKeyId key, DWORD index, RegValueRecord* value) override {
    if (LONG e = CheckKey(key)) return e;
    LONG err = ERROR_SUCCESS;
    Use s(c_, kEnumValue, &err);
    if (!s) return err;
    s.Bind(1, key);
    s.Bind(2, static_cast<int64_t>(index));
    int rc = s.Step(&err);
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return err;
    value->name = s.Text(0);
    value->type = static_cast<DWORD>(s.Int(1));
    value->data = s.Blob(2);
    return ERROR_SUCCESS;
  }

  LONG QueryInfo(RegKeyId key, RegKeyInfo* info) override {
    *info = RegKeyInfo{};
    LONG err = ERROR_SUCCESS;
    {
      Use s(c_, kKeyRow, &err);
      if (!s) return err;
      s.Bind(1, key);
      int rc = s.Step(&err);
      if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
      if (rc != SQLITE_ROW) return err;
      info->last_write = static_cast<uint64_t>(s.Int(2));
    }
    {
      Use s(c_, kAllKeyNames, &err);
      if (!s) return err;
      s.Bind(1, key);
      int rc;
      while ((rc = s.Step(&err)) == SQLITE_ROW) {
        ++info->sub_keys;
        info->max_sub_key_len = std::max<DWORD>(info->max_sub_key_len, regtext::Utf16Length(s.Text(0)));
      }
      if (rc != SQLITE_DONE) return err;
    }
    {
      Use s(c_, kAllValueSizes, &err);
      if (!s) return err;
      s.Bind(1, key);
      int rc;
      while ((rc = s.Step(&err)) == SQLITE_ROW) {
        ++info->values;
        info->max_value_name_len = std::max<DWORD>(info->max_value_name_len, regtext::Utf16Length(s.Text(0)));
        info->max_value_len = std::max<DWORD>(info->max_value_len, static_cast<DWORD>(s.Int(1)));
      }
      if (rc != SQLITE_DONE) return err;
    }
    return ERROR_SUCCESS;
  }

 private:
  LONG KeyRow(RegKeyId key, int64_t* depth, int64_t* parent) {
    LONG err = ERROR_SUCCESS;
    Use s(c_, kKeyRow, &err);
    if (!s) return err;
    s.Bind(1, key);
    int rc = s.Step(&err);
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW) return err;
    *depth = s.Int(0);
    *parent = s.Int(1);
    return ERROR_SUCCESS;
  }

  // The child's id in *child, or 0 when there is none.
  LONG Child(RegKeyId parent, const RegName& name, RegKeyId* child) {
    LONG err = ERROR_SUCCESS;
    Use s(c_, kFindChild, &err);
    if (!s) return err;
    s.Bind(1, parent);
    s.Bind(2, name.fold);
    int rc = s.Step(&err);
    if (rc == SQLITE_ROW) {
      *child = s.Int(0);
      return ERROR_SUCCESS;
    }
    if (rc != SQLITE_DONE) return err;
    *child = 0;
    return ERROR_SUCCESS;
  }

  LONG Touch(RegKeyId key, uint64_t now) {
    LONG err = ERROR_SUCCESS;
    Use s(c_, kTouchKey, &err);
    if (!s) return err;
    s.Bind(1, key);
    s.Bind(2, static_cast<int64_t>(now));
    return s.Step(&err) == SQLITE_DONE ? ERROR_SUCCESS : err;
  }

  LONG RunTree(Stmt which, RegKeyId key) {
    LONG err = ERROR_SUCCESS;
    Use s(c_, which, &err);
    if (!s) return err;
    s.Bind(1, key);
    return s.Step(&err) == SQLITE_DONE ? ERROR_SUCCESS : err;
  }

  Connection& c_;
  bool writable_;
};

// Answers for a store whose file does not exist yet: the hives exist and are
// empty, nothing else does. Never creates anything.
class EmptyTxn final : public RegistryTxn {
 public:
  LONG CheckKey(RegKeyId key) override { return IsHiveId(key) ? ERROR_SUCCESS : ERROR_KEY_DELETED; }
  LONG FindKey(RegKeyId parent, const std::vector<RegName>& path, RegKeyId* found) override {
    if (LONG e = CheckKey(parent)) return e;
    if (!path.empty()) return ERROR_FILE_NOT_FOUND;
    *found = parent;
    return ERROR_SUCCESS;
  }
  LONG CreateKey(RegKeyId, const std::vector<RegName>&, RegKeyId*, bool*) override { return ERROR_ACCESS_DENIED; }
  LONG DeleteKey(RegKeyId, bool) override { return ERROR_ACCESS_DENIED; }
  LONG DeleteSubtreeContents(RegKeyId) override { return ERROR_ACCESS_DENIED; }
  LONG GetValue(RegKeyId key, const RegName&, DWORD*, std::string*) override {
    if (LONG e = CheckKey(key)) return e;
    return ERROR_FILE_NOT_FOUND;
  }
  LONG SetValue(RegKeyId, const RegName&, DWORD, std::string_view) override { return ERROR_ACCESS_DENIED; }
  LONG DeleteValue(RegKeyId, const RegName&) override { return ERROR_ACCESS_DENIED; }
  LONG EnumKey(RegKeyId key, DWORD, std::string*, uint64_t*) override {
    if (LONG e = CheckKey(key)) return e;
    return ERROR_NO_MORE_ITEMS;
  }
  LONG EnumValue(RegKeyId key, DWORD, RegValueRecord*) override {
    if (LONG e = CheckKey(key)) return e;
    return ERROR_NO_MORE_ITEMS;
  }
  LONG QueryInfo(RegKeyId key, RegKeyInfo* info) override {
    *info = RegKeyInfo{};
    return CheckKey(key);
  }
};

bool FileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Creates `dir` and its missing parents; the last component owner-only.
int MakeDirs(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    const bool last = pos == dir.size();
    if (::mkdir(part.c_str(), last ? 0700 : 0755) != 0 && errno != EEXIST) return errno;
  }
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  return 0;
}

class SqliteStore final : public RegistryStore {
 public:
  explicit SqliteStore(std::string dir)
      : dir_(std::move(dir)), db_path_(dir_ + "/registry.db"), stamp_path_(dir_ + "/registry.stamp") {}

  ~SqliteStore() override {
    idle_.clear();
    for (auto& [p, len] : mappings_) ::munmap(p, len);
  }

  const std::string& Directory() const override { return dir_; }

  LONG Read(FunctionRef<LONG(RegistryTxn&)> body, bool snapshot) override {
    if (LONG e = Gate()) return e;
    std::unique_ptr<Connection> c;
    LONG err = Acquire(false, &c);
    if (err == ERROR_FILE_NOT_FOUND) {
      EmptyTxn empty;
      return body(empty);
    }
    if (err) return err;
    if (!c->schema_known) {
      bool present = false;
      if (LONG e = SchemaPresent(*c, &present)) return Release(std::move(c), e);
      if (!present) {
        EmptyTxn empty;
        return Release(std::move(c), body(empty));
      }
      c->schema_known = true;
    }
    SqlTxn txn(*c, false);
    if (!snapshot) return Release(std::move(c), body(txn));
    if (LONG e = c->Exec("BEGIN DEFERRED")) return Release(std::move(c), e);
    LONG r = body(txn);
    if (c->Exec("COMMIT") != ERROR_SUCCESS) c->Exec("ROLLBACK");
    return Release(std::move(c), r);
  }

  LONG Write(FunctionRef<LONG(RegistryTxn&)> body) override {
    if (LONG e = Gate()) return e;
    std::unique_ptr<Connection> c;
    if (LONG err = Acquire(true, &c)) return err;
    if (c->read_only) return Release(std::move(c), ERROR_ACCESS_DENIED);
    sqlite3_busy_timeout(c->db, BusyTimeoutMs());
    if (LONG e = c->Exec("BEGIN IMMEDIATE")) return Release(std::move(c), e);
    LONG r = ERROR_SUCCESS;
    if (!c->schema_known) {
      r = c->Exec(kSchema);
      if (r == ERROR_SUCCESS) c->schema_known = true;
    }
    if (r == ERROR_SUCCESS) {
      SqlTxn txn(*c, true);
      r = body(txn);
    }
    if (r != ERROR_SUCCESS) {
      c->Exec("ROLLBACK");
      return Release(std::move(c), r);
    }
    // Readers must not cache across a commit: the stamp is odd from before
    // the commit until after it. A writer that dies in between leaves it odd,
    // which only turns caching off until the next write.
    uint64_t* stamp = WritableStamp();
    uint64_t odd = 0;
    if (stamp) {
      uint64_t g = __atomic_load_n(stamp, __ATOMIC_ACQUIRE);
      if (g & 1) ++g;
      odd = g + 1;
      __atomic_store_n(stamp, odd, __ATOMIC_SEQ_CST);
    }
    r = c->Exec("COMMIT");
    if (r != ERROR_SUCCESS) c->Exec("ROLLBACK");
    if (stamp) {
      uint64_t expected = odd;
      __atomic_compare_exchange_n(stamp, &expected, odd + 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
    return Release(std::move(c), r);
  }

  LONG Check(std::string* problem) override {
    LONG r = Gate();
    if (r) {
      std::lock_guard<std::mutex> lock(mu_);
      *problem = problem_;
    }
    return r;
  }

  uint64_t ChangeStamp() override {
    uint64_t* p = stamp_.load(std::memory_order_acquire);
    if (!p) {
      p = MapStamp(false);
      if (!p) return 1;  // no stamp file: never cache
    }
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
  }

 private:
  // Every Read and Write passes here first. A store found usable stays so for
  // the life of this object; a refusal is looked at again on the next call
  // (permissions may have been put right, a file restored).
  LONG Gate() {
    if (usable_.load(std::memory_order_acquire)) return ERROR_SUCCESS;
    std::string problem;
    bool settled = false;
    LONG r = Verify(&problem, &settled);
    std::lock_guard<std::mutex> lock(mu_);
    if (r) problem_ = problem;
    if (settled) usable_.store(true, std::memory_order_release);
    return r;
  }

  // The directory must be one nobody else can change (a registry planted
  // there names the libraries a root-run host loads), and the file, when
  // there is one, intact. Nothing here writes to the store. `settled`: the
  // verdict holds from now on (a store that does not exist yet is judged
  // again once it does).
  LONG Verify(std::string* problem, bool* settled) {
    // A directory found safe stays so, as a usable store does: only the file
    // is looked at again while it does not exist yet.
    if (!trusted_.load(std::memory_order_acquire)) {
      std::string why;
      if (CheckDirectoryTrust(dir_, &why) != 0) {
        *problem = "the data root " + dir_ + " is not safe to use: " + why;
        return ERROR_ACCESS_DENIED;
      }
      trusted_.store(true, std::memory_order_release);
    }
    struct stat st;
    if (::lstat(db_path_.c_str(), &st) != 0) return ERROR_SUCCESS;
    if (st.st_size == 0 && FileExists(stamp_path_)) {
      // Only a store that was never written is empty; the stamp is made by
      // the first write, which also gives the file its header.
      *problem = "the registry " + db_path_ + " is corrupt: it is empty, but the registry was written before";
      return ERROR_REGISTRY_CORRUPT;
    }
    if (st.st_size == 0) return ERROR_SUCCESS;
    std::unique_ptr<Connection> c;
    LONG err = Acquire(false, &c);
    if (err == ERROR_REGISTRY_CORRUPT) {
      std::lock_guard<std::mutex> lock(mu_);
      *problem = "the registry " + db_path_ + " is corrupt: " + open_error_;
      return err;
    }
    if (err) return ERROR_SUCCESS;  // the call itself meets and reports whatever this was
    sqlite3_stmt* q = nullptr;
    int rc = sqlite3_prepare_v2(c->db, "PRAGMA quick_check(1)", -1, &q, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(q);
    std::string verdict = rc == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(q, 0)) : "";
    if (rc != SQLITE_ROW) verdict = sqlite3_errmsg(c->db);
    sqlite3_finalize(q);
    LONG r = rc == SQLITE_ROW ? ERROR_SUCCESS : MapSqlite(c->db, rc);
    if (rc == SQLITE_ROW && verdict != "ok") {
      r = ERROR_REGISTRY_CORRUPT;
      // One line: "*** in database main ***\nPage 2: ..." reads "Page 2: ...".
      const std::string banner = "*** in database main ***";
      if (verdict.compare(0, banner.size(), banner) == 0) verdict.erase(0, banner.size());
      std::replace(verdict.begin(), verdict.end(), '\n', ' ');
      verdict.erase(0, verdict.find_first_not_of(' '));
    }
    if (r == ERROR_REGISTRY_CORRUPT) {
      *problem = "the registry " + db_path_ + " is corrupt: " + verdict;
      c->LeaveFileAlone();
      return r;
    }
    *settled = r == ERROR_SUCCESS;
    Release(std::move(c), r);
    return ERROR_SUCCESS;
  }

  LONG Release(std::unique_ptr<Connection> c, LONG result) {
    // A connection that met a store failure is dropped, not pooled: the next
    // call starts from a fresh open (the file may have been repaired).
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND || result == ERROR_KEY_DELETED ||
        result == ERROR_NO_MORE_ITEMS || result == ERROR_ACCESS_DENIED || result == ERROR_INVALID_PARAMETER ||
        result == ERROR_BUSY) {
      std::lock_guard<std::mutex> lock(mu_);
      if (idle_.size() < 8) idle_.push_back(std::move(c));
    } else if (result == ERROR_REGISTRY_CORRUPT) {
      // Damage the first check did not see: the store is judged afresh by
      // the next call, and the tool can tell what was met.
      std::lock_guard<std::mutex> lock(mu_);
      problem_ = "the registry " + db_path_ + " is corrupt: " + sqlite3_errmsg(c->db);
      c->LeaveFileAlone();
      usable_.store(false, std::memory_order_release);
    }
    return result;
  }

  LONG SchemaPresent(Connection& c, bool* present) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(c.db, "SELECT count(*) FROM sqlite_master WHERE name = 'vals'", -1, &s, nullptr);
    if (rc != SQLITE_OK) return MapSqlite(c.db, rc);
    rc = sqlite3_step(s);
    *present = rc == SQLITE_ROW && sqlite3_column_int(s, 0) > 0;
    sqlite3_finalize(s);
    return rc == SQLITE_ROW ? ERROR_SUCCESS : MapSqlite(c.db, rc);
  }

  // Hands out an idle connection or opens one. ERROR_FILE_NOT_FOUND: the
  // store does not exist and `for_write` is false.
  LONG Acquire(bool for_write, std::unique_ptr<Connection>* out) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto it = idle_.end(); it != idle_.begin();) {
        --it;
        if (!for_write || !(*it)->read_only) {
          *out = std::move(*it);
          idle_.erase(it);
          return ERROR_SUCCESS;
        }
      }
    }
    if (!FileExists(db_path_)) {
      if (!for_write) return ERROR_FILE_NOT_FOUND;
      if (int e = MakeDirs(dir_)) return MapErrno(e);
      int fd = ::open(db_path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd < 0) return MapErrno(errno);
      ::close(fd);
    }
    auto c = std::make_unique<Connection>();
    int rc = sqlite3_open_v2(db_path_.c_str(), &c->db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_close_v2(c->db);
      c->db = nullptr;
      c->read_only = true;
      rc = sqlite3_open_v2(db_path_.c_str(), &c->db,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
      if (rc != SQLITE_OK) return OpenFailed(*c, MapSqlite(c->db, rc));
    }
    sqlite3_busy_timeout(c->db, BusyTimeoutMs());
    sqlite3_extended_result_codes(c->db, 0);
    if (!c->read_only) {
      // Switching to WAL reads the header, so a file that is not a database
      // fails here without being written to.
      sqlite3_stmt* s = nullptr;
      rc = sqlite3_prepare_v2(c->db, "PRAGMA journal_mode = WAL", -1, &s, nullptr);
      if (rc == SQLITE_OK) rc = sqlite3_step(s);
      std::string mode = (rc == SQLITE_ROW) ? reinterpret_cast<const char*>(sqlite3_column_text(s, 0)) : "";
      sqlite3_finalize(s);
      if (rc != SQLITE_ROW) {
        LONG e = MapSqlite(c->db, rc);
        // A directory we may not write to keeps the file from switching
        // journals; reading still works.
        if (e != ERROR_ACCESS_DENIED) return OpenFailed(*c, e);
        c->read_only = true;
      } else if (mode != "wal") {
        c->read_only = true;
      }
      if (!c->read_only) {
        c->Exec("PRAGMA synchronous = NORMAL");
        // Keep the -wal and -shm files after the last connection closes, so
        // a process that may only read the directory can still open the store.
        int persist = 1;
        sqlite3_file_control(c->db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
      }
    }
    if (c->read_only && for_write) {
      // Still worth pooling for readers.
      Release(std::move(c), ERROR_SUCCESS);
      return ERROR_ACCESS_DENIED;
    }
    *out = std::move(c);
    return ERROR_SUCCESS;
  }

  // A connection that could not be opened is dropped, leaving the file as it
  // is; SQLite's reason is kept for Verify.
  LONG OpenFailed(Connection& c, LONG err) {
    if (err == ERROR_REGISTRY_CORRUPT) {
      std::lock_guard<std::mutex> lock(mu_);
      open_error_ = c.db ? sqlite3_errmsg(c.db) : "cannot be opened";
      c.LeaveFileAlone();
    }
    return err;
  }

  // Maps the stamp file (creating it when `writable`). Returns nullptr when
  // that fails, never a read-only mapping to a writer.
  uint64_t* MapStamp(bool writable) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t* cur = stamp_.load(std::memory_order_acquire);
    if (cur && (!writable || stamp_writable_)) return cur;
    if (writable) cur = nullptr;
    int fd = writable ? ::open(stamp_path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)
                      : ::open(stamp_path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return cur;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return cur;
    }
    constexpr size_t kLen = 4096;
    if (static_cast<size_t>(st.st_size) < kLen) {
      if (!writable || ::ftruncate(fd, kLen) != 0) {
        ::close(fd);
        return cur;
      }
    }
    void* p = ::mmap(nullptr, kLen, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return cur;
    mappings_.emplace_back(p, kLen);  // earlier mappings stay valid for racing readers
    stamp_writable_ = writable;
    stamp_.store(static_cast<uint64_t*>(p), std::memory_order_release);
    return static_cast<uint64_t*>(p);
  }

  uint64_t* WritableStamp() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stamp_writable_) return stamp_.load(std::memory_order_acquire);
    }
    return MapStamp(true);
  }

  const std::string dir_;
  const std::string db_path_;
  const std::string stamp_path_;
  std::mutex mu_;
  std::vector<std::unique_ptr<Connection>> idle_;
  std::atomic<uint64_t*> stamp_{nullptr};
  bool stamp_writable_ = false;
  std::vector<std::pair<void*, size_t>> mappings_;
  std::atomic<bool> usable_{false};
  std::atomic<bool> trusted_{false};  // the directory passed CheckDirectoryTrust
  std::string problem_;     // why the last Gate refused, under mu_
  std::string open_error_;  // SQLite's reason for the last failed open, under mu_
};

}  // namespace

std::shared_ptr<RegistryStore> OpenSqliteRegistryStore(const std::string& directory) {
  return std::make_shared<SqliteStore>(directory);
}

}  // namespace krsoap::platform
