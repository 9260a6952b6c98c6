// pg_conn.cpp - libpq connections and the per-process connection pool of the
// PostgreSQL store (see pg_conn.h).
#include "platform/queue/pg_conn.h"

#include <endian.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>

#include "platform/queue/process_identity.h"

namespace krsoap::queue::pg {
namespace {

// Idle connections kept per connection string; more are closed on return.
constexpr size_t kMaxIdle = 64;

}  // namespace

int64_t PgResult::Int(int row, int col) const {
  if (!r_ || row >= PQntuples(r_) || col >= PQnfields(r_) || PQgetisnull(r_, row, col)) return 0;
  const char* p = PQgetvalue(r_, row, col);
  switch (PQgetlength(r_, row, col)) {
    case 2: { uint16_t v; std::memcpy(&v, p, 2); return static_cast<int16_t>(be16toh(v)); }
    case 4: { uint32_t v; std::memcpy(&v, p, 4); return static_cast<int32_t>(be32toh(v)); }
    case 8: { uint64_t v; std::memcpy(&v, p, 8); return static_cast<int64_t>(be64toh(v)); }
    default: return 0;
  }
}

bool PgResult::Bool(int row, int col) const {
  if (!r_ || row >= PQntuples(r_) || col >= PQnfields(r_) || PQgetisnull(r_, row, col)) return false;
  return PQgetlength(r_, row, col) == 1 && PQgetvalue(r_, row, col)[0] != 0;
}

std::string_view PgResult::Bytes(int row, int col) const {
  if (!r_ || row >= PQntuples(r_) || col >= PQnfields(r_) || PQgetisnull(r_, row, col)) return {};
  return std::string_view(PQgetvalue(r_, row, col),
                          static_cast<size_t>(PQgetlength(r_, row, col)));
}

std::unique_ptr<PgConn> PgConn::Connect(const std::string& conninfo, PgFailure* failure,
                                        std::string* message) {
  // Defaults first: a connection string that names them itself wins, since
  // the expanded dbname entry overrides what came before it. Keepalives and
  // a user timeout make a server that vanished from the network show up as
  // a failed call instead of a thread blocked for hours.
  const char* keys[] = {"connect_timeout", "application_name", "keepalives",
                        "keepalives_idle", "keepalives_interval", "keepalives_count",
                        "tcp_user_timeout", "dbname", nullptr};
  const char* vals[] = {"10", "krsoap-queue", "1", "10", "3", "3", "30000",
                        conninfo.c_str(), nullptr};
  PGconn* c = PQconnectdbParams(keys, vals, 1);
  if (c == nullptr) {
    *failure = PgFailure::kUnavailable;
    if (message) *message = "out of memory";
    return nullptr;
  }
  if (PQstatus(c) != CONNECTION_OK) {
    *failure = PgFailure::kUnavailable;
    if (message) *message = PQerrorMessage(c);
    PQfinish(c);
    return nullptr;
  }
  // A library has no business writing the server's notices (or its parting
  // "terminating connection") on the host process's stderr.
  PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
  // The socket must not leak into programs this process starts.
  int fd = PQsocket(c);
  if (fd >= 0) fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
  std::unique_ptr<PgConn> conn(new PgConn(c));
  // A queue's rows are found through its indexes in the order a get wants
  // them. A bitmap scan (which the planner likes for a queue it believes
  // short) reads every row of the queue whose index entry is still there,
  // and, unlike a plain index scan, never marks the entries of rows already
  // taken as dead; on a busy queue a get then wades through every message
  // taken since the last vacuum. The store's statements do best without.
  // Nor a sequential scan: the queue table is small enough for the planner
  // to scan it whole for every put and get, but dynamic queues come and go,
  // and each scan then checks every dead row version too; its name index
  // finds the one row.
  // And no JIT: with sequential scans priced out, a plan that cannot avoid
  // one costs more than the JIT threshold, and compiling it took 100 ms of
  // a statement that runs in microseconds.
  if (!conn->Exec("SET enable_bitmapscan = off; SET enable_seqscan = off; SET jit = off", failure)) {
    if (message) *message = conn->last_error();
    return nullptr;
  }
  return conn;
}

bool PgConn::LockOwner(int64_t key, PgFailure* failure) {
  static const PgStatement kLock = {"kr_owner_lock", "SELECT pg_advisory_lock($1::bigint)", 1};
  Run(kLock, {PgParam::Int(key)}, failure);
  if (*failure != PgFailure::kNone) return false;
  owner_key_ = key;
  return true;
}

PgConn::~PgConn() {
  if (c_) PQfinish(c_);
}

PgFailure PgConn::Classify(const PGresult* r) {
  last_error_ = PQerrorMessage(c_);
  if (PQstatus(c_) != CONNECTION_OK) {
    broken_ = true;
    return PgFailure::kUnavailable;
  }
  const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  if (state == nullptr) {
    broken_ = true;  // no answer at all: treat the connection as lost
    return PgFailure::kUnavailable;
  }
  std::string_view s(state);
  // Connection exceptions, administrator shutdown, crash shutdown, cannot
  // connect now, and a server that ran out of resources.
  if (s.substr(0, 2) == "08" || s == "57P01" || s == "57P02" || s == "57P03" ||
      s.substr(0, 2) == "53") {
    broken_ = true;
    return PgFailure::kUnavailable;
  }
  if (s == "40001" || s == "40P01") return PgFailure::kRetry;
  return PgFailure::kError;
}

namespace {

struct ParamArrays {
  explicit ParamArrays(const std::vector<PgParam>& params)
      : values(params.size()), lengths(params.size()), formats(params.size()) {
    for (size_t i = 0; i < params.size(); ++i) {
      values[i] = params[i].null ? nullptr : params[i].value.data();
      lengths[i] = static_cast<int>(params[i].value.size());
      formats[i] = params[i].binary ? 1 : 0;
    }
  }
  int count() const { return static_cast<int>(values.size()); }
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats;
};

using OwnedResult = std::unique_ptr<PGresult, void (*)(PGresult*)>;

bool Succeeded(const PGresult* r) {
  const ExecStatusType s = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
  return s == PGRES_TUPLES_OK || s == PGRES_COMMAND_OK;
}

}  // namespace

bool PgConn::Prepare(const PgStatement& st, PgFailure* failure) {
  if (prepared_.count(st.name)) return true;
  OwnedResult p(PQprepare(c_, st.name, st.sql, 0, nullptr), PQclear);
  if (!Succeeded(p.get())) {
    *failure = Classify(p.get());
    return false;
  }
  prepared_.insert(st.name);
  return true;
}

PgResult PgConn::Run(const PgStatement& st, const std::vector<PgParam>& params,
                     PgFailure* failure) {
  *failure = PgFailure::kNone;
  if (broken_) {
    *failure = PgFailure::kUnavailable;
    return PgResult();
  }
  if (!Prepare(st, failure)) return PgResult();
  const ParamArrays a(params);
  OwnedResult r(PQexecPrepared(c_, st.name, a.count(), a.values.data(), a.lengths.data(), a.formats.data(), 1),
                PQclear);
  if (!Succeeded(r.get())) {
    *failure = Classify(r.get());
    return PgResult();
  }
  return PgResult(r.release());
}

PgResult PgConn::RunAfter(const PgStatement& first, const PgStatement& st, const std::vector<PgParam>& params,
                          PgFailure* failure) {
  *failure = PgFailure::kNone;
  if (broken_) {
    *failure = PgFailure::kUnavailable;
    return PgResult();
  }
  if (!Prepare(first, failure) || !Prepare(st, failure)) return PgResult();
  const ParamArrays a(params);
  // Both go out before either answer comes back; the Sync after them ends
  // the transaction they share.
  const bool sent =
      PQenterPipelineMode(c_) == 1 && PQsendQueryPrepared(c_, first.name, 0, nullptr, nullptr, nullptr, 1) == 1 &&
      PQsendQueryPrepared(c_, st.name, a.count(), a.values.data(), a.lengths.data(), a.formats.data(), 1) == 1 &&
      PQpipelineSync(c_) == 1;
  if (!sent) {
    *failure = Classify(nullptr);
    return PgResult();
  }
  // Each statement's result is followed by a null; then the Sync's.
  auto next = [this] {
    OwnedResult r(PQgetResult(c_), PQclear);
    if (r) while (PGresult* extra = PQgetResult(c_)) PQclear(extra);
    return r;
  };
  OwnedResult before = next();
  OwnedResult result = next();
  OwnedResult sync(PQgetResult(c_), PQclear);
  if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC || PQexitPipelineMode(c_) != 1) {
    *failure = Classify(nullptr);
    return PgResult();
  }
  // The first statement's failure is the one to report (the second was then
  // not run).
  for (const PGresult* r : {before.get(), result.get()}) {
    if (!Succeeded(r)) {
      *failure = Classify(r);
      return PgResult();
    }
  }
  return PgResult(result.release());
}

bool PgConn::Exec(const std::string& sql, PgFailure* failure) {
  *failure = PgFailure::kNone;
  if (broken_) {
    *failure = PgFailure::kUnavailable;
    return false;
  }
  OwnedResult r(PQexec(c_, sql.c_str()), PQclear);
  if (!Succeeded(r.get())) {
    *failure = Classify(r.get());
    return false;
  }
  return true;
}

bool PgConn::Listen(PgFailure* failure) {
  *failure = PgFailure::kNone;
  if (listening_) return true;
  if (!Exec(ListenSql("", false), failure)) return false;
  listening_ = true;
  return Exec(kListenFenceSql, failure);
}

bool PgConn::UnlistenAll(PgFailure* failure) {
  *failure = PgFailure::kNone;
  if (!listening_) return true;
  if (!Exec(kUnlistenSql, failure)) return false;
  listening_ = false;
  DrainNotifications();
  return true;
}

void PgConn::DrainNotifications() {
  if (broken_) return;
  if (PQconsumeInput(c_) == 0) {
    broken_ = true;
    last_error_ = PQerrorMessage(c_);
    return;
  }
  while (PGnotify* n = PQnotifies(c_)) Take(n, 0);
}

PgFailure PgConn::WaitNotification(int64_t queue_id, Clock::time_point deadline) {
  if (broken_) return PgFailure::kUnavailable;
  for (;;) {
    // Notifications may already sit in libpq's buffer from the last result.
    bool ours = false;
    while (PGnotify* n = PQnotifies(c_)) ours = Take(n, queue_id) || ours;
    if (ours) return PgFailure::kNone;
    auto now = Clock::now();
    if (now >= deadline) return PgFailure::kRetry;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    // Round up so that a wait never ends a fraction of a millisecond early.
    int timeout = static_cast<int>(std::min<int64_t>(left + 1, 1 << 30));
    pollfd pfd{PQsocket(c_), POLLIN, 0};
    if (pfd.fd < 0) {
      broken_ = true;
      return PgFailure::kUnavailable;
    }
    int rc = ::poll(&pfd, 1, timeout);
    if (rc < 0) {
      if (errno == EINTR) continue;
      broken_ = true;
      return PgFailure::kUnavailable;
    }
    if (rc == 0) continue;  // re-check the deadline at the top
    if (PQconsumeInput(c_) == 0 || PQstatus(c_) != CONNECTION_OK) {
      broken_ = true;
      last_error_ = PQerrorMessage(c_);
      return PgFailure::kUnavailable;
    }
  }
}

bool PgConn::ConsumeNotified(int64_t queue_id) {
  if (broken_) return false;
  if (PQconsumeInput(c_) == 0) {
    broken_ = true;
    last_error_ = PQerrorMessage(c_);
    return false;
  }
  bool ours = false;
  while (PGnotify* n = PQnotifies(c_)) ours = Take(n, queue_id) || ours;
  return ours;
}

bool PgConn::Take(PGnotify* n, int64_t queue_id) {
  int64_t id = std::strcmp(n->relname, kWakeChannel) == 0 ? WakeQueueId(n->extra, nullptr) : 0;
  PQfreemem(n);
  return id != 0 && id == queue_id;
}

std::string ListenSql(std::string_view tag, bool sweep) {
  // Tags are hex digits; anything else would be a fault here, and is
  // registered as '' (needs every wake-up), which is never wrong.
  const bool plain = std::all_of(tag.begin(), tag.end(), [](char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f');
  });
  // Several statements in one query string run as one transaction, and
  // LISTEN takes effect when it commits: registered and listening at once.
  return std::string(sweep ? std::string(kSweepListenersSql) + "; " : std::string()) +
         "INSERT INTO krsoap.listeners (backend_pid, tag) VALUES (pg_backend_pid(), '" +
         std::string(plain ? tag : std::string_view()) +
         "') ON CONFLICT (backend_pid) DO UPDATE SET tag = EXCLUDED.tag; LISTEN " + kWakeChannel;
}

int64_t WakeQueueId(const char* payload, std::string_view* tag) {
  int64_t id = 0;
  const char* p = payload ? payload : "";
  for (; *p >= '0' && *p <= '9' && id < (INT64_MAX - 9) / 10; ++p) id = id * 10 + (*p - '0');
  if (tag) *tag = *p == ' ' ? std::string_view(p + 1) : std::string_view();
  return id;
}

PgFailure PgConn::LockUntil(int32_t k1, int32_t k2, Clock::time_point deadline) {
  if (broken_) return PgFailure::kUnavailable;
  const std::string a = std::to_string(k1), b = std::to_string(k2);
  const char* values[] = {a.c_str(), b.c_str()};
  // Prepared once per connection: a waiting getter takes this lock for every
  // wait, and parsing it each time cost the server more than running it.
  static constexpr PgStatement kLock = {"kr_waiter_lock", "SELECT pg_advisory_lock($1::int, $2::int)", 2};
  PgFailure pf = PgFailure::kNone;
  if (!Prepare(kLock, &pf)) return pf == PgFailure::kRetry ? PgFailure::kError : pf;
  if (!PQsendQueryPrepared(c_, kLock.name, 2, values, nullptr, nullptr, 0)) {
    broken_ = true;
    last_error_ = PQerrorMessage(c_);
    return PgFailure::kUnavailable;
  }
  bool cancelled = false;
  while (PQisBusy(c_)) {
    auto now = Clock::now();
    if (!cancelled && now >= deadline) {
      // Give up the wait; the lock may still have been granted in the
      // meantime, which the result below tells.
      if (PGcancel* cancel = PQgetCancel(c_)) {
        char err[256];
        PQcancel(cancel, err, sizeof err);
        PQfreeCancel(cancel);
      }
      cancelled = true;
    }
    int timeout = cancelled ? 1000
                            : static_cast<int>(std::min<int64_t>(
                                  std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                                          .count() + 1,
                                  1 << 30));
    pollfd pfd{PQsocket(c_), POLLIN, 0};
    int rc = ::poll(&pfd, 1, timeout);
    if (rc < 0 && errno != EINTR) {
      broken_ = true;
      return PgFailure::kUnavailable;
    }
    if (rc > 0 && (PQconsumeInput(c_) == 0 || PQstatus(c_) != CONNECTION_OK)) {
      broken_ = true;
      last_error_ = PQerrorMessage(c_);
      return PgFailure::kUnavailable;
    }
  }
  PgFailure out = PgFailure::kNone;
  while (PGresult* r = PQgetResult(c_)) {
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
      const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
      out = (state && std::string_view(state) == "57014") ? PgFailure::kRetry : Classify(r);
    }
    PQclear(r);
  }
  if (PQstatus(c_) != CONNECTION_OK) {
    broken_ = true;
    return PgFailure::kUnavailable;
  }
  return out;
}

// ---- pool -------------------------------------------------------------------

std::shared_ptr<PgPool> PgPool::For(const std::string& conninfo) {
  // Pools live as long as the process: connection handles of any thread may
  // still point into them while static destructors run.
  static std::mutex* mu = new std::mutex;
  static auto* pools = new std::map<std::string, std::shared_ptr<PgPool>>;
  std::lock_guard<std::mutex> lock(*mu);
  auto& p = (*pools)[conninfo];
  if (!p) p.reset(new PgPool(conninfo));
  return p;
}

PgPool::PgPool(std::string conninfo) : conninfo_(std::move(conninfo)), pid_(CurrentPid()) {}

PgPool::Lease PgPool::Acquire(PgFailure* failure, std::string* message) {
  *failure = PgFailure::kNone;
  std::unique_ptr<PgConn> c;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (pid_ != CurrentPid()) {
      // A forked child: the idle connections are the parent's.
      for (auto& old : idle_) old->Abandon();
      idle_.clear();
      pid_ = CurrentPid();
    }
    if (!idle_.empty()) {
      c = std::move(idle_.back());  // most recently used: warmest
      idle_.pop_back();
    }
  }
  if (c) {
    // Anything the server sent while the connection sat idle (the notice
    // that it is shutting down) is read now.
    c->DrainNotifications();
    if (!c->broken()) return Lease(this, std::move(c));
    // The server went away while this one was idle: so did the others.
    DropIdle();
  }
  c = PgConn::Connect(conninfo_, failure, message);
  if (!c) return Lease();
  return Lease(this, std::move(c));
}

void PgPool::DropIdle() {
  std::vector<std::unique_ptr<PgConn>> old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    old.swap(idle_);
  }
}

void PgPool::Return(std::unique_ptr<PgConn> c) {
  if (!c || c->broken()) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (idle_.size() < kMaxIdle) idle_.push_back(std::move(c));
}

void PgPool::Lease::Release() {
  if (pool_ && c_) pool_->Return(std::move(c_));
  c_.reset();
  pool_ = nullptr;
}

int64_t NewOwnerKey() {
  uint64_t v = 0;
  if (getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v)) {
    // No entropy source: fall back on what differs between processes.
    v = (static_cast<uint64_t>(getpid()) << 32) ^
        static_cast<uint64_t>(Clock::now().time_since_epoch().count());
  }
  // Keep it positive and away from zero, which marks "no owner".
  v &= 0x7fffffffffffffffULL;
  return v == 0 ? 1 : static_cast<int64_t>(v);
}

bool IsPgConninfo(std::string_view store) {
  if (store.rfind("postgresql://", 0) == 0 || store.rfind("postgres://", 0) == 0) return true;
  // keyword=value form: the first word is a libpq keyword followed by '='.
  static const char* kKeys[] = {"host=", "hostaddr=", "dbname=", "port=", "user=", "service="};
  for (const char* k : kKeys) {
    if (store.rfind(k, 0) == 0) return true;
  }
  return false;
}

}  // namespace krsoap::queue::pg
