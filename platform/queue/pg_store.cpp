// pg_store.cpp - the PostgreSQL store (see pg_store.h and pg_schema.cpp for
// the tables and the server-side functions).
//
// Each operation borrows a pooled connection, runs one prepared statement (a
// server-side function call with parameters only; names never become SQL
// text) and gives the connection back. A get that must wait sleeps on its
// queue's word on the machine's wake board (pg_wake.h) until a put moves it
// or its deadline passes, then looks again; while no relay listens for the
// machine, it listens on the connection it borrowed instead. It never polls
// the table.
#include "platform/queue/pg_store.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "platform/queue/pg_schema.h"
#include "platform/queue/pg_wake.h"
#include "platform/queue/process_identity.h"

namespace krsoap::queue {
namespace pg {
namespace {

const PgStatement kLookup = {
    "kr_lookup",
    "SELECT id, kind, def_priority, def_persistence, max_depth, max_length, get_inhibited, "
    "put_inhibited, owner_key, owner_host, owner_pid, owner_start, backout_queue, backout_threshold "
    "FROM krsoap.find_queue($1::text, $2::text) WHERE id IS NOT NULL",
    2};
const PgStatement kDefine = {
    "kr_define",
    "INSERT INTO krsoap.queues (qm, name, kind, def_priority, def_persistence, max_depth, "
    "max_length, get_inhibited, put_inhibited, backout_queue, backout_threshold) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11) "
    "ON CONFLICT (qm, name) DO NOTHING RETURNING id",
    11};
const PgStatement kRedefine = {
    "kr_redefine",
    // Waiting getters wake and see the new attributes (gets inhibited).
    "WITH up AS (INSERT INTO krsoap.queues AS q (qm, name, kind, def_priority, def_persistence, "
    "max_depth, max_length, get_inhibited, put_inhibited, backout_queue, backout_threshold) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11) "
    "ON CONFLICT (qm, name) DO UPDATE SET def_priority = EXCLUDED.def_priority, "
    "def_persistence = EXCLUDED.def_persistence, max_depth = EXCLUDED.max_depth, "
    "max_length = EXCLUDED.max_length, get_inhibited = EXCLUDED.get_inhibited, "
    "put_inhibited = EXCLUDED.put_inhibited, backout_queue = EXCLUDED.backout_queue, "
    "backout_threshold = EXCLUDED.backout_threshold WHERE q.kind = EXCLUDED.kind RETURNING id) "
    "SELECT id, pg_notify('krq', id::text) FROM up",
    11};
const PgStatement kDelete = {"kr_delete", "SELECT krsoap.delete_queue($1::text, $2::text)", 2};
const PgStatement kSweep = {"kr_sweep", "SELECT krsoap.sweep($1::text)", 1};
const PgStatement kList = {
    "kr_list",
    "SELECT name, kind, def_priority, def_persistence, max_depth, max_length, get_inhibited, "
    "put_inhibited, (SELECT count(*) FROM krsoap.messages m WHERE m.queue_id = q.id AND "
    "m.uow_owner IS NULL AND (m.expires_at IS NULL OR m.expires_at > clock_timestamp())), "
    "(SELECT coalesce(sum(o.handles), 0)::bigint FROM krsoap.opens o WHERE o.queue_id = q.id), "
    "q.id, q.owner_key, q.owner_host, q.owner_pid, q.owner_start, q.backout_queue, q.backout_threshold "
    "FROM krsoap.queues q WHERE q.qm = $1::text AND ($2::text IS NULL OR q.name = $2::text) "
    "ORDER BY q.name",
    2};
const PgStatement kClear = {"kr_clear", "SELECT krsoap.clear_queue($1::text, $2::text)", 2};
const PgStatement kCreateDynamic = {
    "kr_create_dynamic",
    "SELECT o_status, o_name FROM krsoap.create_dynamic($1::text, $2::text, $3::bigint, $4::int, "
    "$5::int, $6::int, $7::int, $8::bool, $9::bool, $10::text, $11::int, $12::bigint)",
    12};
const PgStatement kDropOrphan = {"kr_drop_orphan",
                                 "SELECT krsoap.drop_orphan($1::bigint, $2::bigint)", 2};
const PgStatement kDropDynamic = {
    "kr_drop_dynamic", "SELECT krsoap.drop_dynamic($1::text, $2::text, $3::bigint)", 3};
const PgStatement kDropOwner = {"kr_drop_owner",
                                "SELECT krsoap.drop_owner($1::text, $2::bigint)", 2};
const PgStatement kNoteOpen = {
    "kr_note_open", "SELECT krsoap.note_open($1::text, $2::text, $3::bigint, $4::int)", 4};
const PgStatement kPut = {
    "kr_put",
    "SELECT o_status, o_queue_id FROM krsoap.put($1::text, $2::text, $3::int, $4::bool, "
    "$5::bytea, $6::bytea, $7::bigint, $8::bytea, $9::bytea, $10::bigint, $11::bigint)",
    11};
const PgStatement kGet = {
    "kr_get",
    "SELECT o_status, o_queue_id, o_seq, o_priority, o_length, o_md, o_body, o_left_ms, o_empty "
    "FROM krsoap.get($1::text, $2::text, $3::int, $4::bytea, $5::bytea, $6::int, $7::bool, "
    "$8::int, $9::bigint, $10::bigint, $11::int, $12::bigint, $13::bigint)",
    13};
// Variants of one statement (by what a get or put selects by), made once
// and kept for the process: variant i is named prefix + i, its text and
// parameter count made by make(i).
class StatementVariants {
 public:
  template <typename Make>
  StatementVariants(const char* prefix, int count, Make make) : v_(static_cast<size_t>(count)) {
    for (int i = 0; i < count; ++i) {
      Variant& x = v_[static_cast<size_t>(i)];
      auto [sql, params] = make(i);
      x.name = prefix + std::to_string(i);
      x.sql = std::move(sql);
      x.st = PgStatement{x.name.c_str(), x.sql.c_str(), params};
    }
  }
  const PgStatement& operator[](int i) const { return v_[static_cast<size_t>(i)].st; }

 private:
  struct Variant {
    std::string name, sql;
    PgStatement st;
  };
  std::vector<Variant> v_;
};

// The common put as one plain INSERT instead of a call of krsoap.put: no
// function call, no PL/pgSQL, and few plan nodes for the executor to set up,
// which is most of what a put costs the server. It inserts when the queue is
// a local one that takes the message and has room, and then answers one row;
// otherwise it inserts nothing and answers none, and the caller asks
// krsoap.put, which gives the reason (unknown name, alias, inhibited, too
// long, full, a persistent message for a temporary queue, a dynamic queue
// whose owner is gone). A put in a unit notifies nobody (its message is
// invisible until the commit) and is durable at the commit, not before.
//
// Its parts, shared with the hand-off put below: the columns, the values
// (over a queue row q), the queue's conditions, the room, the answer.
constexpr const char* kPutColumns =
    "INSERT INTO krsoap.messages (queue_id, priority, persistent, msg_id, correl_id, expires_at,"
    "                             md, body, uow_owner, uow_id, uow_state)";
constexpr const char* kPutValues =
    " SELECT q.id, $3::int, $4::bool, $5::bytea, $6::bytea,"
    "        CASE WHEN $7::bigint IS NULL THEN NULL"
    "             ELSE clock_timestamp() + $7::bigint * interval '1 millisecond' END,"
    "        $8::bytea, $9::bytea,"
    "        CASE WHEN $11::bigint <> 0 THEN $10::bigint END,"
    "        CASE WHEN $11::bigint <> 0 THEN $11::bigint END,"
    "        CASE WHEN $11::bigint <> 0 THEN 2::smallint END";
constexpr const char* kPutQueue =
    " q.qm = $1::text AND q.name = $2::text AND q.kind <> 2 AND NOT q.put_inhibited"
    " AND octet_length($9::bytea) <= q.max_length AND NOT ($4::bool AND q.kind = 3)"
    " AND (q.owner_key IS NULL OR NOT pg_try_advisory_xact_lock_shared(q.owner_key))";
// Room: no message at the max_depth-th place along the queue's ordering
// index (the ORDER BY picks it), whose entries of rows taken lately are
// together at the front, marked dead by earlier scans, where another index
// would have them strewn. One probe with an offset costs the executor less
// than counting (about 20 us a put); a depth limit below 1 is left to
// krsoap.put.
constexpr const char* kPutRoom =
    " AND q.max_depth > 0 AND (SELECT 1 FROM krsoap.messages m WHERE m.queue_id = q.id"
    "                          ORDER BY m.priority DESC, m.seq OFFSET q.max_depth - 1 LIMIT 1) IS NULL";
// $12: the tag of the wake board the caller wakes its own machine's getters
// through ('': none), so that its relay need not (pg_wake.h); when only that
// board's relay listens, nobody needs the notification. Such a put runs
// after kListenersFence in its transaction, so that this statement's
// snapshot holds every listener registered before the fence.
constexpr const char* kPutReturning =
    " RETURNING CASE WHEN $11::bigint <> 0 THEN NULL"
    "                WHEN $12::text <> '' AND NOT EXISTS (SELECT 1 FROM krsoap.listeners l"
    "                                                      WHERE l.tag <> $12::text) THEN NULL"
    "                ELSE pg_notify('krq', concat_ws(' ', queue_id, nullif($12::text, ''))) END IS NULL,"
    "           CASE WHEN NOT $4::bool OR $11::bigint <> 0"
    "                THEN set_config('synchronous_commit', 'off', true) END IS NULL,"
    "           queue_id";

const PgStatement& PutFast() {
  static const auto* variants = new StatementVariants("kr_put_fast", 1, [](int) {
    return std::make_pair(std::string(kPutColumns) + kPutValues + " FROM krsoap.queues q WHERE" + kPutQueue +
                              kPutRoom + kPutReturning,
                          12);
  });
  return (*variants)[0];
}

// The put that a getter of this machine waits for (pg_wake.h, hand-off): $13
// is the queue the getter waits on, then the message id and/or correlation
// id it selects by. When the queue holds no message the getter could take
// instead (nothing visible that matches; rows in units do not count), the
// statement inserts nothing and the message goes to the getter through the
// board; otherwise it inserts as PutFast does. Answers one row (handed,
// inserted, queue id, and whether a handed message left the queue with
// nothing a get could take) when the queue takes the message, none otherwise
// (the caller then asks krsoap.put, as after PutFast).
std::string PutHandOffSql(bool by_msg_id, bool by_correl_id) {
  std::string match;
  if (by_msg_id) match += " AND m.msg_id = $14::bytea";
  if (by_correl_id) match += std::string(" AND m.correl_id = $") + (by_msg_id ? "15" : "14") + "::bytea";
  return std::string("WITH q AS MATERIALIZED (SELECT * FROM krsoap.queues q WHERE") + kPutQueue +
         " AND q.max_depth > 0),"
         " h AS MATERIALIZED (SELECT q.id = $13::bigint AND NOT q.get_inhibited AND (SELECT 1 FROM krsoap.messages m"
         "   WHERE m.queue_id = q.id AND m.uow_owner IS NULL" + match + " LIMIT 1) IS NULL" +
         // A full queue takes no message, not even one that would not stay.
         (by_msg_id || by_correl_id ? kPutRoom : "") + " AS handed FROM q),"
         " i AS (" + kPutColumns + kPutValues + " FROM q, h WHERE NOT h.handed" + kPutRoom + kPutReturning + ")"
         " SELECT h.handed, (SELECT count(*) FROM i)::int, q.id," +
         (by_msg_id || by_correl_id
              ? " h.handed AND (SELECT 1 FROM krsoap.messages e WHERE e.queue_id = q.id"
                " AND e.uow_owner IS NULL LIMIT 1) IS NULL"
              : " h.handed") +
         " FROM q, h";
}

const PgStatement& PutHandOff(bool by_msg_id, bool by_correl_id) {
  static const auto* variants = new StatementVariants("kr_put_handoff_", 4, [](int i) {
    return std::make_pair(PutHandOffSql(i & 1, i & 2), 13 + (i & 1 ? 1 : 0) + (i & 2 ? 1 : 0));
  });
  return (*variants)[(by_msg_id ? 1 : 0) | (by_correl_id ? 2 : 0)];
}

// The common destructive get as one plain statement (see PutFast for why).
// Parameters: $1 queue manager, $2 queue, $3 buffer length, $4 the queue id
// the caller started on (0: any), $5 the waiter lock the caller holds (0:
// none; handed on with a message), $6/$7 the unit's owner and number (0:
// none), $8 the waiter lock to try when nothing is there (0: none), then
// the message id and/or correlation id to match, when selected by them.
//
// It answers 0 with the message, 2033 when nothing matches, and -1 when
// krsoap.get must decide: the queue is not a plain local one that may be
// read, its owner is gone, the first match has expired or is too long for
// the buffer, or nothing matched while units hold rows of the queue (the
// units of dead owners may need backing out first). Nothing has been taken
// or locked when it answers -1.
//
// Columns: status, queue id, seq, priority, length, descriptor, body, time
// left in ms, queue now empty, waiter lock taken.
std::string GetFastSql(bool by_msg_id, bool by_correl_id, bool in_unit) {
  std::string match;
  int next = 9;
  if (by_msg_id) match += " AND m.msg_id = $" + std::to_string(next++) + "::bytea";
  if (by_correl_id) match += " AND m.correl_id = $" + std::to_string(next++) + "::bytea";
  const std::string live = "(x.expires_at IS NULL OR x.expires_at > clock_timestamp())"
                           " AND octet_length(x.body) <= $3::int";
  const std::string take =
      in_unit ? "UPDATE krsoap.messages x SET uow_owner = $6::bigint, uow_id = $7::bigint, uow_state = 1"
                " WHERE x.seq = (SELECT seq FROM c) AND " + live
              : "DELETE FROM krsoap.messages x WHERE x.seq = (SELECT seq FROM c) AND " + live +
                    " AND $6::bigint = 0 AND $7::bigint = 0";  // outside any unit
  // Whether the queue holds nothing more. Rows of a busy queue that were
  // taken lately stay in its index until vacuumed, ahead of the live ones, so
  // a plain get looks only past the message it took: anything ahead of that
  // was locked by other getters, who take it or (failing) wake the waiters.
  // Having found nothing, a plain get knows the same. A selective get must
  // look at the whole queue: messages it did not match may be anywhere.
  // Each look goes along the ordering index, as the put's depth count does.
  const std::string empty =
      by_msg_id || by_correl_id
          ? "r.st >= 0 AND (SELECT 1 FROM krsoap.messages e WHERE e.queue_id = r.id"
            " AND e.uow_owner IS NULL AND e.seq <> coalesce(r.seq, 0)"
            " ORDER BY e.priority DESC, e.seq LIMIT 1) IS NULL"
          : "CASE WHEN r.st = 2033 THEN true WHEN r.st = 0 THEN"
            " (SELECT 1 FROM krsoap.messages e WHERE e.queue_id = r.id AND e.uow_owner IS NULL"
            "  AND e.priority = r.priority AND e.seq > r.seq ORDER BY e.priority DESC, e.seq LIMIT 1) IS NULL"
            " AND (SELECT 1 FROM krsoap.messages e WHERE e.queue_id = r.id AND e.uow_owner IS NULL"
            "  AND e.priority < r.priority ORDER BY e.priority DESC, e.seq LIMIT 1) IS NULL"
            " ELSE false END";
  return "WITH q AS MATERIALIZED ("
         "  SELECT id FROM krsoap.queues"
         "   WHERE qm = $1::text AND name = $2::text AND kind <> 2 AND NOT get_inhibited"
         "     AND ($4::bigint = 0 OR id = $4::bigint)"
         "     AND (owner_key IS NULL OR NOT pg_try_advisory_xact_lock_shared(owner_key))),"
         " c AS MATERIALIZED ("
         "  SELECT m.seq FROM krsoap.messages m"
         "   WHERE m.queue_id = (SELECT id FROM q) AND m.uow_owner IS NULL" + match +
         "   ORDER BY m.priority DESC, m.seq LIMIT 1 FOR UPDATE SKIP LOCKED),"
         " d AS (" + take +
         "   RETURNING x.seq, x.priority, x.persistent, x.md, x.body, x.expires_at),"
         " r AS MATERIALIZED ("
         "  SELECT q.id, d.seq, d.priority, d.persistent, d.md, d.body, d.expires_at,"
         "         CASE WHEN q.id IS NULL THEN -1"
         "              WHEN d.seq IS NOT NULL THEN 0"
         "              WHEN c.seq IS NOT NULL THEN -1"
         "              WHEN EXISTS (SELECT 1 FROM krsoap.messages u"
         "                            WHERE u.queue_id = q.id AND u.uow_owner IS NOT NULL) THEN -1"
         "              ELSE 2033 END AS st"
         "    FROM (SELECT 1) one LEFT JOIN q ON true LEFT JOIN c ON true LEFT JOIN d ON true)"
         " SELECT r.st, coalesce(r.id, 0), coalesce(r.seq, 0), coalesce(r.priority, 0),"
         "        coalesce(octet_length(r.body), 0), r.md, r.body,"
         "        CASE WHEN r.expires_at IS NULL THEN NULL"
         "             ELSE greatest(1, ceil(extract(epoch FROM r.expires_at - clock_timestamp()) * 1000))::bigint"
         "        END,"
         "        " + empty + ","
         "        CASE WHEN r.st = 2033 AND $8::int <> 0 THEN pg_try_advisory_lock(19282, $8::int)"
         "             ELSE false END,"
         "        CASE WHEN r.st = 0 AND $5::int <> 0 THEN pg_advisory_unlock(19282, $5::int) END IS NULL,"
         // A taken persistent message commits synchronously (it cannot come
         // back after the get returned it); anything else need not wait for
         // the disk. Within a unit, the unit's commit is what must be durable.
         "        CASE WHEN r.st >= 0 AND NOT " + std::string(in_unit ? "false" : "coalesce(r.persistent, false)") +
         "             THEN set_config('synchronous_commit', 'off', true) END IS NULL"
         "   FROM r";
}

// The statement for a get's selection, made once.
const PgStatement& GetFast(bool by_msg_id, bool by_correl_id, bool in_unit) {
  // Never destroyed: a get may still run while the process exits.
  static const auto* variants = new StatementVariants("kr_get_fast_", 8, [](int i) {
    return std::make_pair(GetFastSql(i & 1, i & 2, i & 4), 8 + (i & 1 ? 1 : 0) + (i & 2 ? 1 : 0));
  });
  return (*variants)[(by_msg_id ? 1 : 0) | (by_correl_id ? 2 : 0) | (in_unit ? 4 : 0)];
}

const PgStatement kEndUnit = {"kr_end_unit",
                              "SELECT krsoap.end_unit($1::bigint, $2::bigint, $3::bool)", 3};
const PgStatement kWaiterUnlock = {"kr_waiter_unlock",
                                   "SELECT pg_advisory_unlock(19282, $1::int)", 1};
const PgStatement kQmExists = {"kr_qm_exists",
                               "SELECT 1 FROM krsoap.qmgrs WHERE name = $1::text", 1};
const PgStatement kQmCreate = {
    "kr_qm_create", "INSERT INTO krsoap.qmgrs (name) VALUES ($1::text) ON CONFLICT DO NOTHING", 1};
const PgStatement kQmOpenHandles = {
    "kr_qm_open_handles",
    "SELECT count(*) FROM krsoap.opens o JOIN krsoap.queues q ON q.id = o.queue_id "
    "WHERE q.qm = $1::text AND o.handles > 0",
    1};
const PgStatement kQmDestroy = {
    "kr_qm_destroy",
    "WITH gone AS (DELETE FROM krsoap.queues WHERE qm = $1::text RETURNING id), "
    "msgs AS (DELETE FROM krsoap.messages WHERE queue_id IN (SELECT id FROM gone)) "
    "DELETE FROM krsoap.qmgrs WHERE name = $1::text",
    1};

constexpr const char* kModelQueue = "SYSTEM.DEFAULT.MODEL.QUEUE";

// Safety net for the one case a notification cannot cover: a message that a
// competing getter had locked and then released without taking it (its
// session died mid-call). A waiting get looks again this often.
constexpr auto kRecheck = std::chrono::seconds(2);

// Where this process runs: the boot and the pid namespace, so that a pid is
// only ever compared with pids of the same machine and namespace.
const std::string& LocalHost() {
  static const std::string tag = [] {
    char ns[128] = {};
    ssize_t n = readlink("/proc/self/ns/pid", ns, sizeof ns - 1);
    return BootId() + "/" + (n > 0 ? std::string(ns, static_cast<size_t>(n)) : std::string("?"));
  }();
  return tag;
}

// True when the row's owner columns (key, host, pid, start) at `first` name
// a process of this machine that no longer runs.
bool OwnerKnownDead(const PgResult& r, int row, int first) {
  if (r.IsNull(row, first) || r.IsNull(row, first + 1)) return false;
  if (r.Bytes(row, first + 1) != LocalHost()) return false;
  ProcessIdentity who;
  who.pid = static_cast<int32_t>(r.Int(row, first + 2));
  who.start_time = static_cast<uint64_t>(r.Int(row, first + 3));
  if (who.pid <= 0 || who.pid == SelfIdentity().pid) return false;
  return !IsAlive(who);
}

// The second half of the queue's waiter lock (the first is 19282).
int32_t WaiterKey(int64_t queue_id) { return static_cast<int32_t>(queue_id % 2147483646) + 1; }

int32_t MapFailure(PgFailure f) {
  switch (f) {
    case PgFailure::kNone: return KRRC_NONE;
    case PgFailure::kUnavailable: return KRRC_CONNECTION_BROKEN;
    case PgFailure::kRetry:
    case PgFailure::kError: return KRRC_STORE_ERROR;
  }
  return KRRC_STORE_ERROR;
}

std::vector<PgParam> AttributeParams(const std::string& qm, const QueueAttributes& a) {
  return {PgParam::Text(qm),
          PgParam::Text(a.name),
          PgParam::Int(static_cast<int32_t>(a.kind)),
          PgParam::Int(a.default_priority),
          PgParam::Int(a.default_persistence),
          PgParam::Int(a.max_depth),
          PgParam::Int(a.max_message_length),
          PgParam::Bool(a.get_inhibited),
          PgParam::Bool(a.put_inhibited),
          PgParam::Text(a.backout_queue),
          PgParam::Int(a.backout_threshold)};
}

// `backout` is the column of the backout queue (its threshold follows).
QueueAttributes AttributesFromRow(const PgResult& r, int row, int first, std::string name, int backout) {
  QueueAttributes a;
  a.name = std::move(name);
  a.kind = static_cast<QueueKind>(r.Int(row, first));
  a.default_priority = static_cast<int32_t>(r.Int(row, first + 1));
  a.default_persistence = static_cast<int32_t>(r.Int(row, first + 2));
  a.max_depth = static_cast<int32_t>(r.Int(row, first + 3));
  a.max_message_length = static_cast<int32_t>(r.Int(row, first + 4));
  a.get_inhibited = r.Bool(row, first + 5);
  a.put_inhibited = r.Bool(row, first + 6);
  a.backout_queue = std::string(r.Bytes(row, backout));
  a.backout_threshold = static_cast<int32_t>(r.Int(row, backout + 1));
  return a;
}

// Lays the schema out once per process and database.
int32_t EnsureSchema(PgPool* pool, PgConn* c) {
  static std::mutex mu;
  static std::vector<std::string> done;
  std::lock_guard<std::mutex> lock(mu);
  if (std::find(done.begin(), done.end(), pool->conninfo()) != done.end()) return KRRC_NONE;
  PgFailure f;
  static const PgStatement kVersion = {"kr_schema_version", kSchemaVersionSql, 0};
  PgResult r = c->Run(kVersion, {}, &f);
  if (f != PgFailure::kNone) return f == PgFailure::kUnavailable ? KRRC_Q_MGR_NOT_AVAILABLE
                                                                  : KRRC_STORE_ERROR;
  if (r.rows() == 0) {
    std::string sql = std::string("BEGIN;") + kSchemaLockSql + ";" + kSchemaSql + "COMMIT;";
    if (!c->Exec(sql, &f)) {
      c->Exec("ROLLBACK", &f);
      return f == PgFailure::kUnavailable ? KRRC_Q_MGR_NOT_AVAILABLE : KRRC_STORE_ERROR;
    }
  }
  done.push_back(pool->conninfo());
  return KRRC_NONE;
}

}  // namespace

PgStore::PgStore(std::string name, std::shared_ptr<PgPool> pool)
    : name_(std::move(name)), pool_(std::move(pool)), owner_key_(NewOwnerKey()) {}

PgStore::~PgStore() {
  std::lock_guard<std::mutex> lock(owner_mu_);
  if (owner_ && owner_pid_ != getpid()) {
    owner_->Abandon();  // a forked child's copy: what it names is the parent's
    return;
  }
  if (owner_) {
    // Dynamic queues and open-handle records of this store go with it. Should
    // the server be unreachable, they go as soon as another session sees the
    // owner lock free, which closing the owner connection below makes it.
    PgResult r;
    Run(kDropOwner, {PgParam::Text(name_), PgParam::Int(owner_key_)}, &r);
    owner_.reset();
  }
}

int32_t PgStore::Run(const PgStatement& st, const std::vector<PgParam>& params, PgResult* out,
                     const PgStatement* first) {
  for (int attempt = 0;; ++attempt) {
    PgFailure f;
    std::string message;
    PgPool::Lease c = pool_->Acquire(&f, &message);
    if (!c) return KRRC_Q_MGR_NOT_AVAILABLE;
    *out = first ? c->RunAfter(*first, st, params, &f) : c->Run(st, params, &f);
    if (f == PgFailure::kRetry && attempt < 5) continue;
    return MapFailure(f);
  }
}

int64_t PgStore::CachedQueueId(const std::string& name) {
  std::lock_guard<std::mutex> lock(ids_mu_);
  auto it = ids_.find(name);
  return it == ids_.end() ? 0 : it->second;
}

void PgStore::NoteQueueId(const std::string& name, int64_t id) {
  std::lock_guard<std::mutex> lock(ids_mu_);
  if (ids_.size() > 4096) ids_.clear();  // names are many only with dynamic queues
  ids_[name] = id;
}

void PgStore::ForgetQueueId(const std::string& name) {
  std::lock_guard<std::mutex> lock(ids_mu_);
  ids_.erase(name);
}

int32_t PgStore::EnsureOwner() {
  std::lock_guard<std::mutex> lock(owner_mu_);
  if (owner_ && owner_pid_ != getpid()) owner_->Abandon();  // the parent's, after a fork
  if (owner_) {
    owner_->DrainNotifications();  // reads the end of a connection the server closed
    if (!owner_->broken()) return KRRC_NONE;
    owner_.reset();
  }
  PgFailure f;
  std::string message;
  auto c = PgConn::Connect(pool_->conninfo(), &f, &message);
  if (!c) return KRRC_Q_MGR_NOT_AVAILABLE;
  if (!c->LockOwner(owner_key_, &f)) return KRRC_Q_MGR_NOT_AVAILABLE;
  owner_ = std::move(c);
  owner_pid_ = getpid();
  ++owner_generation_;
  return KRRC_NONE;
}

int32_t PgStore::DefineQueue(const QueueAttributes& attributes, bool replace) {
  PgResult r;
  if (int32_t rc = Run(replace ? kRedefine : kDefine, AttributeParams(name_, attributes), &r))
    return rc;
  return r.rows() == 1 ? KRRC_NONE : KRRC_OBJECT_ALREADY_EXISTS;
}

int32_t PgStore::DeleteQueue(const std::string& name) {
  PgResult r;
  if (int32_t rc = Run(kDelete, {PgParam::Text(name_), PgParam::Text(name)}, &r)) return rc;
  return r.rows() == 1 ? static_cast<int32_t>(r.Int(0, 0)) : KRRC_STORE_ERROR;
}

int32_t PgStore::LookupQueue(const std::string& name, QueueAttributes* out) {
  PgResult r;
  if (int32_t rc = Run(kLookup, {PgParam::Text(name_), PgParam::Text(name)}, &r)) return rc;
  if (r.rows() == 0) return KRRC_UNKNOWN_OBJECT_NAME;
  if (OwnerKnownDead(r, 0, 8)) {
    PgResult d;
    Run(kDropOrphan, {PgParam::Int(r.Int(0, 0)), PgParam::Int(r.Int(0, 8))}, &d);
    return KRRC_UNKNOWN_OBJECT_NAME;
  }
  if (out) *out = AttributesFromRow(r, 0, 1, name, 12);
  return KRRC_NONE;
}

int32_t PgStore::ListQueues(std::vector<QueueInfo>* out) {
  PgResult r;
  if (int32_t rc = Run(kSweep, {PgParam::Text(name_)}, &r)) return rc;
  if (int32_t rc = Run(kList, {PgParam::Text(name_), PgParam::Null()}, &r)) return rc;
  out->clear();
  for (int i = 0; i < r.rows(); ++i) {
    if (OwnerKnownDead(r, i, 11)) {
      PgResult d;
      Run(kDropOrphan, {PgParam::Int(r.Int(i, 10)), PgParam::Int(r.Int(i, 11))}, &d);
      continue;
    }
    QueueInfo info;
    info.attributes = AttributesFromRow(r, i, 1, std::string(r.Bytes(i, 0)), 15);
    info.depth = r.Int(i, 8);
    info.open_handles = r.Int(i, 9);
    out->push_back(std::move(info));
  }
  return KRRC_NONE;
}

int32_t PgStore::ClearQueue(const std::string& name) {
  PgResult r;
  if (int32_t rc = Run(kClear, {PgParam::Text(name_), PgParam::Text(name)}, &r)) return rc;
  return r.rows() == 1 ? static_cast<int32_t>(r.Int(0, 0)) : KRRC_STORE_ERROR;
}

int32_t PgStore::CreateDynamicQueue(const QueueAttributes& model, const std::string& pattern,
                                    std::string* name_out) {
  if (pattern.empty() || pattern.size() > KR_Q_NAME_LENGTH) return KRRC_DYNAMIC_Q_NAME_ERROR;
  size_t star = pattern.find('*');
  if (star != std::string::npos && star != pattern.size() - 1) return KRRC_DYNAMIC_Q_NAME_ERROR;
  if (int32_t rc = EnsureOwner()) return rc;
  PgResult r;
  int32_t rc = Run(kCreateDynamic,
                   {PgParam::Text(name_), PgParam::Text(pattern), PgParam::Int(owner_key_),
                    PgParam::Int(model.default_priority), PgParam::Int(KRPER_NOT_PERSISTENT),
                    PgParam::Int(model.max_depth), PgParam::Int(model.max_message_length),
                    PgParam::Bool(model.get_inhibited), PgParam::Bool(model.put_inhibited),
                    PgParam::Text(LocalHost()), PgParam::Int(SelfIdentity().pid),
                    PgParam::Int(static_cast<int64_t>(SelfIdentity().start_time))},
                   &r);
  if (rc) return rc;
  if (r.rows() != 1) return KRRC_STORE_ERROR;
  rc = static_cast<int32_t>(r.Int(0, 0));
  if (rc == KRRC_NONE) *name_out = std::string(r.Bytes(0, 1));
  return rc;
}

int32_t PgStore::DeleteDynamicQueue(const std::string& name) {
  PgResult r;
  if (int32_t rc = Run(kDropDynamic,
                       {PgParam::Text(name_), PgParam::Text(name), PgParam::Int(owner_key_)}, &r))
    return rc;
  return r.rows() == 1 ? static_cast<int32_t>(r.Int(0, 0)) : KRRC_STORE_ERROR;
}

void PgStore::NoteOpen(const std::string& name) {
  if (EnsureOwner() != KRRC_NONE) return;
  PgResult r;
  Run(kNoteOpen, {PgParam::Text(name_), PgParam::Text(name), PgParam::Int(owner_key_),
                  PgParam::Int(1)}, &r);
}

void PgStore::NoteClose(const std::string& name) {
  PgResult r;
  Run(kNoteOpen, {PgParam::Text(name_), PgParam::Text(name), PgParam::Int(owner_key_),
                  PgParam::Int(-1)}, &r);
}

int32_t PgStore::InquireQueue(const std::string& name, QueueInfo* out) {
  PgResult r;
  if (int32_t rc = Run(kList, {PgParam::Text(name_), PgParam::Text(name)}, &r)) return rc;
  if (r.rows() != 1) return KRRC_UNKNOWN_OBJECT_NAME;
  out->attributes = AttributesFromRow(r, 0, 1, name, 15);
  out->depth = r.Int(0, 8);
  out->open_handles = r.Int(0, 9);
  return KRRC_NONE;
}

int32_t PgStore::BeginUnit(uint64_t* unit) {
  // The owner lock must be held for as long as the unit is open: its being
  // free is how other sessions know the unit's process is gone.
  if (int32_t rc = EnsureOwner()) return rc;
  std::lock_guard<std::mutex> lock(owner_mu_);
  *unit = ++last_unit_;
  units_[*unit] = owner_generation_;
  return KRRC_NONE;
}

// Ends a unit. A unit whose owner connection was lost meanwhile may have
// been backed out by another session already (the lock went with the
// connection): its commit is answered KRRC_BACKED_OUT.
int32_t PgStore::EndUnit(uint64_t unit, bool commit) {
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(owner_mu_);
    auto it = units_.find(unit);
    if (it == units_.end()) return KRRC_NONE;
    generation = it->second;
    units_.erase(it);
  }
  // EnsureOwner notices a connection the server closed; a new one is another
  // generation.
  bool lost = EnsureOwner() != KRRC_NONE;
  {
    std::lock_guard<std::mutex> lock(owner_mu_);
    if (owner_generation_ != generation) lost = true;
  }
  PgResult r;
  int32_t rc = Run(kEndUnit, {PgParam::Int(owner_key_), PgParam::Int(static_cast<int64_t>(unit)),
                              PgParam::Bool(commit && !lost)}, &r);
  if (rc) return commit ? KRRC_BACKED_OUT : rc;
  return commit && lost ? KRRC_BACKED_OUT : KRRC_NONE;
}

int32_t PgStore::CommitUnit(uint64_t unit) { return EndUnit(unit, true); }
int32_t PgStore::BackoutUnit(uint64_t unit) { return EndUnit(unit, false); }

int32_t PgStore::Put(const std::string& queue, const Message& m) { return PutInUnit(queue, m, 0); }

int32_t PgStore::PutInUnit(const std::string& queue, const Message& m, uint64_t unit) {
  PgParam expire = PgParam::Null();
  if (m.expiry_deadline_ms != 0) {
    // The deadline travels as time left, so that it counts on the server's
    // clock whichever machine puts or gets.
    expire = PgParam::Int(std::max<int64_t>(1, m.expiry_deadline_ms - WallClockMs()));
  }
  std::vector<PgParam> params = {
      PgParam::Text(name_), PgParam::Text(queue), PgParam::Int(std::clamp(m.md.Priority, 0, 9)),
      PgParam::Bool(m.md.Persistence == KRPER_PERSISTENT),
      PgParam::Bytes(m.md.MsgId, sizeof m.md.MsgId),
      PgParam::Bytes(m.md.CorrelId, sizeof m.md.CorrelId), expire,
      PgParam::Bytes(&m.md, sizeof m.md), PgParam::Bytes(m.body.data(), m.body.size()),
      PgParam::Int(unit != 0 ? owner_key_ : 0), PgParam::Int(static_cast<int64_t>(unit))};
  PgWakeBoard* const wakes = unit == 0 ? Wakes() : nullptr;
  params.push_back(PgParam::Text(wakes ? wakes->tag() : std::string()));  // PutFast's $12
  PgResult r;
  bool plain = true;  // false: the hand-off's statement found this no plain case
  // A non-persistent message that a getter of this machine waits for goes to
  // it through the board when the queue holds nothing it could take instead.
  const int64_t hint = wakes && m.md.Persistence != KRPER_PERSISTENT ? CachedQueueId(queue) : 0;
  bool by_msg_id = false, by_correl_id = false;
  const PgWakeBoard::Slot claim =
      hint != 0 && sizeof m.md <= PgWakeBoard::kHandOffMd
          ? wakes->ClaimHandOff(hint, m.md.MsgId, m.md.CorrelId, m.body.size(), &by_msg_id, &by_correl_id)
          : PgWakeBoard::Slot{};
  if (claim.slot >= 0) {
    // The queue's word before the statement: a hand-off that leaves the
    // queue empty may say so on the board, unless another put moved the word
    // since (as a get's look does).
    const uint32_t seen = wakes->Read(hint);
    std::vector<PgParam> handoff = params;
    handoff.push_back(PgParam::Int(hint));
    if (by_msg_id) handoff.push_back(params[4]);
    if (by_correl_id) handoff.push_back(params[5]);
    const int32_t rc = Run(PutHandOff(by_msg_id, by_correl_id), handoff, &r, &kListenersFence);
    if (rc == KRRC_NONE && r.rows() == 1 && r.Bool(0, 0) &&
        wakes->Fill(claim, hint, seen, r.Bool(0, 3), &m.md, sizeof m.md, m.body.data(), m.body.size(),
                    m.expiry_deadline_ms))
      return KRRC_NONE;
    wakes->Unclaim(claim);  // its getter looks at the queue again once woken
    if (rc) return rc;
    if (r.rows() == 1 && r.Int(0, 1) == 1) {
      wakes->Wake(r.Int(0, 2));
      return KRRC_NONE;
    }
    // Handed, but the getter gave the slot up: put it as any other. Neither
    // handed nor inserted: the function gives the reason.
    plain = r.rows() == 1 && r.Bool(0, 0);
  }
  // Through a board, the put takes the listeners' fence first (see PutFast).
  if (plain) {
    if (int32_t rc = Run(PutFast(), params, &r, wakes ? &kListenersFence : nullptr)) return rc;
    if (r.rows() == 1) {
      const int64_t id = r.Int(0, 2);
      if (wakes) wakes->Wake(id);  // committed: this machine's getters may look
      if (wakes && id != hint && m.md.Persistence != KRPER_PERSISTENT) NoteQueueId(queue, id);
      return KRRC_NONE;
    }
  }
  // Not a plain case: nothing was inserted; the function gives the answer.
  params.pop_back();
  if (int32_t rc = Run(kPut, params, &r)) return rc;
  return r.rows() == 1 ? static_cast<int32_t>(r.Int(0, 0)) : KRRC_STORE_ERROR;
}

int32_t PgStore::Get(const std::string& queue, const GetRequest& req, BrowseCursor* cursor,
                     GetResult* out) {
  if (req.buffer_length < 0 || (req.buffer_length > 0 && req.buffer == nullptr))
    return KRRC_BUFFER_LENGTH_ERROR;
  const bool browse = req.mode != GetMode::kRemove;
  // A plain destructive get can be served by any message; selective gets and
  // browses wait for their own.
  const bool plain = !browse && !req.match_msg_id && !req.match_correl_id;
  BrowseCursor from;
  if (req.mode == GetMode::kBrowseNext && cursor) from = *cursor;
  std::vector<PgParam> params = {
      PgParam::Text(name_),
      PgParam::Text(queue),
      PgParam::Int(static_cast<int32_t>(req.mode)),
      req.match_msg_id ? PgParam::Bytes(req.msg_id, sizeof req.msg_id) : PgParam::Null(),
      req.match_correl_id ? PgParam::Bytes(req.correl_id, sizeof req.correl_id) : PgParam::Null(),
      PgParam::Int(req.buffer_length),
      PgParam::Bool(from.valid),
      PgParam::Int(from.priority),
      PgParam::Int(from.seq),
      PgParam::Int(0),
      PgParam::Int(0),
      PgParam::Int(req.unit != 0 ? owner_key_ : 0),
      PgParam::Int(static_cast<int64_t>(req.unit))};

  const bool forever = req.wait_ms < 0;
  const auto deadline = forever ? Clock::time_point::max()
                                : Clock::now() + std::chrono::milliseconds(req.wait_ms);
  PgFailure f;
  std::string message;
  // The queue's id from an earlier call: its word on the wake board can be
  // read before the first look.
  const int64_t hint = CachedQueueId(queue);
  PgPool::Lease c = pool_->Acquire(&f, &message);
  if (!c) return KRRC_Q_MGR_NOT_AVAILABLE;
  int64_t queue_id = 0;     // the queue this get works on, once known
  bool confirmed = false;   // queue_id came from the server in this call
  // How this get hears of puts while it waits. On the machine's wake board
  // (`board` set): `seen` is the queue's word as read before the current
  // look. Otherwise, while no relay listens, the connection itself listens
  // until the get ends. `listening`: what is put from now on will be heard
  // of.
  PgWakeBoard* const wakes = req.wait_ms != 0 ? Wakes() : nullptr;
  PgWakeBoard* board = nullptr;
  uint32_t seen = 0;
  bool listening = false;
  // A waiting get that knows the queue empty (nothing was put since a look
  // found it so: the board's word has not moved) can go straight to its
  // wait.
  bool look = true;
  if (hint != 0 && wakes && wakes->Relaying(Clock::time_point::min())) {
    board = wakes;
    queue_id = hint;
    listening = true;
    look = !board->KnownEmpty(hint, &seen);
  }
  // Plain getters that must wait queue up on the queue's waiter lock, so
  // that only one of them at a time sleeps on the queue's channel: a put
  // then sets one getter looking, not every waiting process at once. On the
  // board the lock is the board's own (`locked`: the board whose lock this
  // get holds), which costs no statement; otherwise it is an advisory lock
  // of the server (`waiter_key`), handed on inside the get that takes a
  // message.
  int32_t waiter_key = 0;
  PgWakeBoard* locked = nullptr;
  auto unlock_board = [&] {
    if (locked) locked->UnlockWaiter(queue_id);
    locked = nullptr;
  };
  auto release = [&] {
    if (waiter_key != 0 && c && !c->broken()) {
      PgFailure uf;
      c->Run(kWaiterUnlock, {PgParam::Int(waiter_key)}, &uf);
    }
    waiter_key = 0;
    params[10] = PgParam::Int(0);
    unlock_board();
  };
  // A connection that listened for this get stops, so that it is not
  // signalled for every put of the database from the pool.
  auto finish = [&](int32_t rc) {
    unlock_board();  // the server's lock was released or handed on already
    if (c && c->listening() && !c->broken()) {
      PgFailure uf;
      c->UnlistenAll(&uf);
    }
    return rc;
  };
  for (int retries = 0;;) {
    if (look) {
      if (board) seen = board->Read(queue_id);
      PgResult r;
      // The waiter lock to try in the same statement when nothing is
      // there, so that an uncontended wait costs no statement of its own.
      const int32_t try_key =
          plain && req.wait_ms != 0 && listening && !board && waiter_key == 0 ? WaiterKey(queue_id) : 0;
      bool got_lock = false;
      if (!browse) {
        std::vector<PgParam> fast = {PgParam::Text(name_), PgParam::Text(queue),
                                     PgParam::Int(req.buffer_length), params[9], params[10],
                                     params[11], params[12], PgParam::Int(try_key)};
        if (req.match_msg_id) fast.push_back(params[3]);
        if (req.match_correl_id) fast.push_back(params[4]);
        r = c->Run(GetFast(req.match_msg_id, req.match_correl_id, req.unit != 0), fast, &f);
        if (f == PgFailure::kNone && r.rows() == 1 && r.Int(0, 0) < 0) {
          r = c->Run(kGet, params, &f);  // not a plain case: the function decides
        } else if (f == PgFailure::kNone && r.rows() == 1) {
          got_lock = r.Bool(0, 9);
        }
      } else {
        r = c->Run(kGet, params, &f);
      }
      if (f == PgFailure::kRetry && retries++ < 5) continue;
      if (f != PgFailure::kNone) {
        release();  // a lost session holds no lock; a live one must not keep it
        return finish(MapFailure(f));
      }
      if (r.rows() != 1) {
        release();
        return finish(KRRC_STORE_ERROR);
      }
      const int32_t status = static_cast<int32_t>(r.Int(0, 0));
      const int64_t id = r.Int(0, 1);
      if (status == KRRC_UNKNOWN_OBJECT_NAME || status == KRRC_Q_DELETED) {
        ForgetQueueId(queue);
        release();
        if (status == KRRC_Q_DELETED) return finish(KRRC_Q_DELETED);  // deleted and made anew
        return finish(confirmed ? KRRC_Q_DELETED : KRRC_UNKNOWN_OBJECT_NAME);
      }
      if (!confirmed && id != 0) {
        confirmed = true;
        if (queue_id != 0 && queue_id != id) {
          // The cached id was stale: stop waiting on the old queue's wake-ups.
          release();
          listening = c->listening();  // the connection hears of every queue
          board = nullptr;
        }
        queue_id = id;
        params[9] = PgParam::Int(queue_id);
        NoteQueueId(queue, queue_id);
      }
      if (r.Bool(0, 8) && board) board->NoteEmpty(queue_id, seen);
      if (status == KRRC_NONE || status == KRRC_TRUNCATED_MSG_FAILED) {
        waiter_key = 0;  // handed on by the statement
        std::string_view md = r.Bytes(0, 5);
        if (md.size() != sizeof(KRMD)) return finish(KRRC_STORE_ERROR);
        std::memcpy(&out->md, md.data(), sizeof(KRMD));
        if (!r.IsNull(0, 7)) out->md.Expiry = ExpiryTenthsLeft(r.Int(0, 7));
        out->data_length = static_cast<int32_t>(r.Int(0, 4));
        std::string_view body = r.Bytes(0, 6);
        size_t n = std::min(body.size(), static_cast<size_t>(req.buffer_length));
        if (n > 0) std::memcpy(req.buffer, body.data(), n);
        if (status == KRRC_NONE && browse && cursor) {
          cursor->valid = true;
          cursor->priority = static_cast<int32_t>(r.Int(0, 3));
          cursor->seq = r.Int(0, 2);
        }
        return finish(status);
      }
      if (got_lock) {
        waiter_key = try_key;
        params[10] = PgParam::Int(try_key);
      }
      if (status != KRRC_NO_MSG_AVAILABLE) {
        release();
        return finish(status);
      }
      if (req.wait_ms == 0 || Clock::now() >= deadline) {
        release();
        return finish(KRRC_NO_MSG_AVAILABLE);
      }
      if (!listening) {
        // Start hearing of puts, then look once more: a put that committed
        // between the look above and now is seen by that second look. On the
        // board, that look reads the word first.
        if (wakes && wakes->Relaying(deadline)) {
          board = wakes;
        } else if (!c->Listen(&f)) {
          return finish(MapFailure(f));
        }
        listening = true;
        continue;
      }
    }
    look = true;
    if (plain && waiter_key == 0 && !locked) {
      // Anything put since the look above has moved the word or notified
      // this connection; look again after the lock if so.
      bool notified = board ? board->Read(queue_id) != seen : c->ConsumeNotified(queue_id);
      if (board) {
        // Held for another queue that shares the word: wait without it.
        PgWakeBoard::WaiterLock l = board->LockWaiter(queue_id, deadline);
        if (l == PgWakeBoard::WaiterLock::kTimedOut) return finish(KRRC_NO_MSG_AVAILABLE);
        if (l == PgWakeBoard::WaiterLock::kTaken) locked = board;
      } else {
        int32_t key = WaiterKey(queue_id);
        f = c->LockUntil(19282, key, deadline);
        if (f == PgFailure::kUnavailable) return finish(KRRC_CONNECTION_BROKEN);
        if (f == PgFailure::kRetry) return finish(KRRC_NO_MSG_AVAILABLE);
        if (f != PgFailure::kNone) return finish(KRRC_STORE_ERROR);
        waiter_key = key;
        params[10] = PgParam::Int(key);
      }
      // A moved word needs a look, unless the look that moved past it (the
      // getter before, which handed us the lock) found the queue empty.
      if ((notified || (board ? board->Read(queue_id) != seen : c->ConsumeNotified(queue_id))) &&
          !(board && board->KnownEmpty(queue_id, &seen)))
        continue;
    }
    auto until = Clock::now() + kRecheck;
    if (deadline < until) until = deadline;
    if (board) {
      // A put of this machine may hand its message over while this get
      // sleeps (pg_wake.h, hand-off).
      PgWakeBoard::Slot offer;
      if (!browse && req.unit == 0 && req.buffer_length > 0) {
        PgWakeBoard::HandOffWish wish;
        wish.queue_id = queue_id;
        wish.msg_id = req.match_msg_id ? req.msg_id : nullptr;
        wish.correl_id = req.match_correl_id ? req.correl_id : nullptr;
        wish.max_length = req.buffer_length;
        offer = board->OfferHandOff(wish);
      }
      f = board->Wait(queue_id, seen, until) ? PgFailure::kNone : PgFailure::kRetry;
      int32_t length = 0;
      int64_t expiry_ms = 0;
      if (board->Withdraw(offer, deadline, &out->md, sizeof out->md, req.buffer, &length, &expiry_ms)) {
        if (expiry_ms != 0) out->md.Expiry = ExpiryTenthsLeft(expiry_ms - WallClockMs());
        out->data_length = length;
        return finish(KRRC_NONE);
      }
      // A relay that stopped listening moved every word: hear of puts
      // through the connection until one listens again.
      if (!board->Relaying(Clock::time_point::min())) {
        release();  // the board's lock: the server's is taken from now on
        board = nullptr;
        listening = false;
      }
    } else {
      f = c->WaitNotification(queue_id, until);
    }
    if (f == PgFailure::kUnavailable) return finish(KRRC_CONNECTION_BROKEN);
    if (f == PgFailure::kRetry && Clock::now() >= deadline) {
      release();
      return finish(KRRC_NO_MSG_AVAILABLE);
    }
  }
}

PgWakeBoard* PgStore::Wakes() {
  const pid_t pid = CurrentPid();
  std::lock_guard<std::mutex> lock(ids_mu_);
  if (wakes_pid_ != pid) {
    wakes_ = PgWakeBoard::For(pool_->conninfo());
    wakes_pid_ = pid;
  }
  return wakes_;
}

}  // namespace pg

int32_t OpenPgStore(const std::string& name, const std::string& conninfo, bool create,
                    std::unique_ptr<Store>* out) {
  if (name.empty() || name.size() > KR_Q_MGR_NAME_LENGTH) return KRRC_NAME_NOT_VALID;
  if (!pg::IsPgConninfo(conninfo)) return KRRC_Q_MGR_NOT_AVAILABLE;
  auto pool = pg::PgPool::For(conninfo);
  pg::PgFailure f;
  std::string message;
  {
    pg::PgPool::Lease c = pool->Acquire(&f, &message);
    if (!c) return KRRC_Q_MGR_NOT_AVAILABLE;
    if (int32_t rc = pg::EnsureSchema(pool.get(), c.get())) return rc;
    if (create) {
      c->Run(pg::kQmCreate, {pg::PgParam::Text(name)}, &f);
      if (f != pg::PgFailure::kNone) return pg::MapFailure(f);
      QueueAttributes model;
      model.name = pg::kModelQueue;
      model.kind = QueueKind::kModel;
      c->Run(pg::kDefine, pg::AttributeParams(name, model), &f);
      if (f != pg::PgFailure::kNone) return pg::MapFailure(f);
    } else {
      pg::PgResult r = c->Run(pg::kQmExists, {pg::PgParam::Text(name)}, &f);
      if (f != pg::PgFailure::kNone) return pg::MapFailure(f);
      if (r.rows() == 0) return KRRC_UNKNOWN_Q_MGR;
    }
  }
  *out = std::make_unique<pg::PgStore>(name, std::move(pool));
  return KRRC_NONE;
}

int32_t DestroyPgStore(const std::string& name, const std::string& conninfo) {
  if (!pg::IsPgConninfo(conninfo)) return KRRC_Q_MGR_NOT_AVAILABLE;
  auto pool = pg::PgPool::For(conninfo);
  pg::PgFailure f;
  std::string message;
  pg::PgPool::Lease c = pool->Acquire(&f, &message);
  if (!c) return KRRC_Q_MGR_NOT_AVAILABLE;
  if (int32_t rc = pg::EnsureSchema(pool.get(), c.get())) return rc;
  c->Run(pg::kSweep, {pg::PgParam::Text(name)}, &f);
  if (f != pg::PgFailure::kNone) return pg::MapFailure(f);
  pg::PgResult r = c->Run(pg::kQmOpenHandles, {pg::PgParam::Text(name)}, &f);
  if (f != pg::PgFailure::kNone) return pg::MapFailure(f);
  if (r.Int(0, 0) > 0) return KRRC_OBJECT_IN_USE;
  c->Run(pg::kQmDestroy, {pg::PgParam::Text(name)}, &f);
  return pg::MapFailure(f);
}

}  // namespace krsoap::queue
