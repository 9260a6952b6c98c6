// pg_conn.h - one PostgreSQL connection of the queue manager's PostgreSQL
// store, and the per-process pool that keeps them.
//
// A PgConn owns one libpq connection: it runs prepared, parameterised
// statements only (binary results), listens for queues' wake-ups, and waits for
// notifications on its socket with a deadline. A store's owner connection
// also holds a session-level advisory lock on the store's random key for its
// whole life: dynamic queues and open-handle records carry that key, so any
// other session can tell that their creator is gone (its lock is free) once
// its process died.
//
// A PgPool keeps the idle connections of one connection string for the whole
// process, so connecting to a queue manager that the process has used before
// costs no database connection. A connection that has failed is never put
// back; the next lease makes a new one, which is how a restarted server is
// picked up again.
#pragma once

#include <libpq-fe.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace krsoap::queue::pg {

using Clock = std::chrono::steady_clock;

// How a statement failed, as the store reports it upward.
enum class PgFailure {
  kNone,
  kUnavailable,  // the server cannot be reached or dropped the connection
  kRetry,        // serialization failure or deadlock: run the statement again
  kError,        // any other error from the server (a bug or a broken schema)
};

// One statement parameter: bytes handed to the server as they are, in text
// format (numbers, names) or binary format (bytea).
struct PgParam {
  std::string value;
  bool null = false;
  bool binary = false;

  static PgParam Text(std::string_view s) { return PgParam{std::string(s), false, false}; }
  static PgParam Int(int64_t v) { return PgParam{std::to_string(v), false, false}; }
  static PgParam Bool(bool v) { return PgParam{v ? "t" : "f", false, false}; }
  static PgParam Bytes(const void* p, size_t n) {
    return PgParam{std::string(static_cast<const char*>(p), n), false, true};
  }
  static PgParam Null() { return PgParam{std::string(), true, false}; }
};

// A result in binary format, owned.
class PgResult {
 public:
  PgResult() = default;
  explicit PgResult(PGresult* r) : r_(r) {}
  ~PgResult() { if (r_) PQclear(r_); }
  PgResult(PgResult&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  PgResult& operator=(PgResult&& o) noexcept {
    if (this != &o) { if (r_) PQclear(r_); r_ = o.r_; o.r_ = nullptr; }
    return *this;
  }
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;

  int rows() const { return r_ ? PQntuples(r_) : 0; }
  bool IsNull(int row, int col) const { return PQgetisnull(r_, row, col) != 0; }
  // Binary accessors for int2/int4/int8/bool columns; they check the width
  // so that a schema mismatch reads as zero, never past the value.
  int64_t Int(int row, int col) const;
  bool Bool(int row, int col) const;
  std::string_view Bytes(int row, int col) const;

 private:
  PGresult* r_ = nullptr;
};

// The statements the store runs, prepared once per connection.
struct PgStatement {
  const char* name;
  const char* sql;
  int param_count;
};

class PgConn {
 public:
  // Connects. Returns null and sets
  // *failure (kUnavailable when the server cannot be reached) on failure.
  static std::unique_ptr<PgConn> Connect(const std::string& conninfo, PgFailure* failure,
                                         std::string* message);
  ~PgConn();
  PgConn(const PgConn&) = delete;
  PgConn& operator=(const PgConn&) = delete;

  // Runs a prepared statement. On failure returns an empty result and sets
  // *failure; a connection that failed as unavailable is marked broken.
  PgResult Run(const PgStatement& st, const std::vector<PgParam>& params, PgFailure* failure);
  // Runs the parameterless statement `first`, then `st`, in one transaction
  // and one round trip; `st` takes its snapshot after `first` has run. The
  // result is st's; a failure of either fails the call.
  PgResult RunAfter(const PgStatement& first, const PgStatement& st, const std::vector<PgParam>& params,
                    PgFailure* failure);
  // Runs a parameterless utility statement (schema setup, LISTEN).
  bool Exec(const std::string& sql, PgFailure* failure);

  // Starts listening for wake-ups (idempotent). Only a get that waits while
  // no relay listens for the machine does this, and it stops before the
  // connection goes back to the pool (pg_wake.h).
  bool Listen(PgFailure* failure);
  // Forgets every pending notification already received.
  void DrainNotifications();
  // Waits until a notification for the queue arrives or the deadline
  // passes. kNone: notified; kRetry: deadline passed; kUnavailable: the
  // connection broke while waiting.
  PgFailure WaitNotification(int64_t queue_id, Clock::time_point deadline);
  // Reads what the server has sent; true when a notification for the queue
  // is among it (all pending notifications are consumed).
  bool ConsumeNotified(int64_t queue_id);
  // Takes the session-level advisory lock (k1, k2), waiting for it until the
  // deadline. kNone: held; kRetry: the deadline passed first; kUnavailable:
  // the connection broke.
  PgFailure LockUntil(int32_t k1, int32_t k2, Clock::time_point deadline);

  // Takes the session-level advisory lock that marks its holder alive.
  bool LockOwner(int64_t key, PgFailure* failure);

  bool broken() const { return broken_; }
  int64_t owner_key() const { return owner_key_; }
  const std::string& last_error() const { return last_error_; }
  bool listening() const { return listening_; }
  // Forgets the connection without closing it: after a fork the socket
  // belongs to the parent, and closing it here would end the parent's
  // session.
  void Abandon() { c_ = nullptr; broken_ = true; }
  // Stops listening (and forgets what was heard).
  bool UnlistenAll(PgFailure* failure);

 private:
  explicit PgConn(PGconn* c) : c_(c) {}
  PgFailure Classify(const PGresult* r);
  bool Prepare(const PgStatement& st, PgFailure* failure);

  PGconn* c_;
  bool broken_ = false;
  int64_t owner_key_ = 0;
  std::string last_error_;
  std::set<std::string> prepared_;
  bool listening_ = false;
  // Frees a notification; true when it is for `queue_id`.
  static bool Take(PGnotify* n, int64_t queue_id);
};

class PgPool {
 public:
  // The pool of the connection string, made on first use, kept for the
  // process's life.
  static std::shared_ptr<PgPool> For(const std::string& conninfo);

  // A connection on loan; goes back to the pool when destroyed unless broken.
  class Lease {
   public:
    Lease() = default;
    Lease(PgPool* pool, std::unique_ptr<PgConn> c) : pool_(pool), c_(std::move(c)) {}
    ~Lease() { Release(); }
    Lease(Lease&& o) noexcept = default;
    Lease& operator=(Lease&& o) noexcept {
      if (this != &o) { Release(); pool_ = o.pool_; c_ = std::move(o.c_); }
      return *this;
    }
    PgConn* operator->() const { return c_.get(); }
    PgConn* get() const { return c_.get(); }
    explicit operator bool() const { return c_ != nullptr; }
    void Release();

   private:
    PgPool* pool_ = nullptr;
    std::unique_ptr<PgConn> c_;
  };

  // Lends an idle connection, the one used last, or makes a new one.
  Lease Acquire(PgFailure* failure, std::string* message);
  const std::string& conninfo() const { return conninfo_; }
  // Drops every idle connection (after the server was found gone).
  void DropIdle();

 private:
  explicit PgPool(std::string conninfo);
  void Return(std::unique_ptr<PgConn> c);

  const std::string conninfo_;
  std::mutex mu_;
  std::vector<std::unique_ptr<PgConn>> idle_;
  pid_t pid_;  // the process the idle connections belong to
};

// The one channel every wake-up of a waiting get is notified on. The payload
// is the queue's id, followed, for a put made through a machine's wake board
// (pg_wake.h), by a space and that board's tag.
inline constexpr const char* kWakeChannel = "krq";
// The queue id of a wake-up's payload (0 when it has none), and its tag.
int64_t WakeQueueId(const char* payload, std::string_view* tag);

// Listening for wake-ups, in two steps (krsoap.listeners, pg_schema.cpp):
// ListenSql registers the session with the tag of the board it relays for
// ('': a getter listening for itself) and listens, in one transaction; then
// kListenFenceSql waits for every put still running that may have missed the
// registration and so not notified. Only after both may the listener look at
// a queue. A relay (`sweep`) also drops the rows of sessions that are gone.
std::string ListenSql(std::string_view tag, bool sweep);
// The listeners' fence, advisory lock (19283, 0), held to the commit: a put
// through a board takes it shared before it looks at the listeners
// (kListenersFence, then PutFast in pg_store.cpp); a new listener takes it
// exclusively once it registered. So every put either saw the listener's row
// and notified, or committed before the listener's first look.
inline constexpr PgStatement kListenersFence = {"kr_listeners_fence",
                                                "SELECT pg_advisory_xact_lock_shared(19283, 0)", 0};
inline constexpr const char* kListenFenceSql = "SELECT pg_advisory_xact_lock(19283, 0)";
inline constexpr const char* kUnlistenSql =
    "UNLISTEN *; DELETE FROM krsoap.listeners WHERE backend_pid = pg_backend_pid()";
inline constexpr const char* kSweepListenersSql =
    "DELETE FROM krsoap.listeners WHERE backend_pid NOT IN "
    "(SELECT pid FROM pg_stat_activity WHERE pid IS NOT NULL)";

// A random positive 63-bit key for a store's owner lock.
int64_t NewOwnerKey();

// Whether a string is a PostgreSQL connection string rather than a path:
// a "postgresql://" or "postgres://" URI, or libpq keyword=value pairs.
bool IsPgConninfo(std::string_view store);

}  // namespace krsoap::queue::pg
