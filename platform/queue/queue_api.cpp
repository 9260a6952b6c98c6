// The queue-manager calls over the store interface: argument checks,
// handles, descriptor defaults, message ids, the pool of opened queue
// managers, routing of an object queue manager name, units of work and the
// attribute inquiry (see queue_api.h).
#include "platform/queue/queue_api.h"

#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/queue/process_identity.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/store.h"

namespace krsoap::queue::api {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kResolutionLifetime = std::chrono::seconds(2);

// ---- Pool of opened queue managers ----------------------------------------------

struct PooledQm {
  QmDefinition def;
  std::unique_ptr<Store> store;
};

struct Resolution {
  std::string key;  // lower-case canonical name
  Clock::time_point at;
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

class Pool {
 public:
  int32_t Acquire(const std::string& requested, std::shared_ptr<PooledQm>* out) {
    std::lock_guard<std::mutex> lock(mu_);
    CheckForkLocked();
    auto r = resolved_.find(requested);
    if (r != resolved_.end() && Clock::now() - r->second.at < kResolutionLifetime) {
      auto o = open_.find(r->second.key);
      if (o != open_.end()) {
        *out = o->second;
        return KRRC_NONE;
      }
    }
    QmDefinition def;
    if (int32_t rc = ResolveQm(requested, &def)) return rc;
    const std::string key = Lower(def.name);
    auto o = open_.find(key);
    if (o == open_.end() || o->second->def.store != def.store) {
      auto qm = std::make_shared<PooledQm>();
      qm->def = def;
      if (int32_t rc = OpenStore(def, false, &qm->store)) return rc;
      o = open_.insert_or_assign(key, qm).first;
    }
    resolved_[requested] = Resolution{key, Clock::now()};
    *out = o->second;
    return KRRC_NONE;
  }

  // A store reported that it is gone: the next connect opens it again.
  void Drop(const std::shared_ptr<PooledQm>& qm) {
    std::lock_guard<std::mutex> lock(mu_);
    auto o = open_.find(Lower(qm->def.name));
    if (o != open_.end() && o->second == qm) open_.erase(o);
    resolved_.clear();
  }

  void Forget() {
    std::lock_guard<std::mutex> lock(mu_);
    resolved_.clear();
  }

 private:
  // After a fork the child must not use the parent's store connections: they
  // are abandoned (not closed, which could disturb the parent's locks).
  void CheckForkLocked() {
    pid_t pid = CurrentPid();
    if (pid_ == pid) return;
    if (pid_ != 0) {
      for (auto& [k, qm] : open_) new std::shared_ptr<PooledQm>(qm);  // leaked on purpose
    }
    open_.clear();
    resolved_.clear();
    pid_ = pid;
  }

  std::mutex mu_;
  pid_t pid_ = 0;
  std::map<std::string, std::shared_ptr<PooledQm>> open_;
  std::map<std::string, Resolution> resolved_;
};

Pool& ThePool() {
  static Pool* pool = new Pool();  // lives until exit; no destruction order issues
  return *pool;
}

// ---- Handles -------------------------------------------------------------------

// Generations start at a random point per table, so a handle of another
// binding library loaded in the same process (which has its own tables) is
// almost never taken for one of ours.
template <class T>
class HandleTable {
 public:
  HandleTable() {
    std::random_device rd;
    salt_ = static_cast<uint16_t>(rd() % 0x7FFF);
  }
  KRLONG Add(std::shared_ptr<T> p) {
    std::lock_guard<std::mutex> lock(mu_);
    uint32_t idx;
    if (!free_.empty()) {
      idx = free_.back();
      free_.pop_back();
    } else if (slots_.size() < 0xFFFE) {
      idx = static_cast<uint32_t>(slots_.size());
      slots_.push_back({});
      slots_.back().gen = salt_;
    } else {
      return 0;
    }
    Slot& s = slots_[idx];
    s.gen = static_cast<uint16_t>(s.gen % 0x7FFF + 1);
    s.p = std::move(p);
    return static_cast<KRLONG>((static_cast<uint32_t>(s.gen) << 16) | (idx + 1));
  }
  std::shared_ptr<T> Find(KRLONG h) {
    std::lock_guard<std::mutex> lock(mu_);
    Slot* s = SlotOf(h);
    return s ? s->p : nullptr;
  }
  std::shared_ptr<T> Remove(KRLONG h) {
    std::lock_guard<std::mutex> lock(mu_);
    Slot* s = SlotOf(h);
    if (!s) return nullptr;
    auto p = std::move(s->p);
    s->p.reset();
    free_.push_back(static_cast<uint32_t>((h & 0xFFFF) - 1));
    return p;
  }

 private:
  struct Slot {
    uint16_t gen = 0;
    std::shared_ptr<T> p;
  };
  Slot* SlotOf(KRLONG h) {
    if (h <= 0) return nullptr;
    uint32_t idx = (static_cast<uint32_t>(h) & 0xFFFF);
    uint32_t gen = static_cast<uint32_t>(h) >> 16;
    if (idx == 0 || idx > slots_.size()) return nullptr;
    Slot& s = slots_[idx - 1];
    if (!s.p || s.gen != gen) return nullptr;
    return &s;
  }
  std::mutex mu_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
  uint16_t salt_ = 0;
};

// A connection's unit of work on one queue manager (a connection whose
// objects route to several has one on each).
struct Unit {
  std::shared_ptr<PooledQm> qm;
  uint64_t id = 0;
};

struct Connection {
  std::mutex mu;
  std::shared_ptr<PooledQm> qm;
  std::vector<KRHOBJ> objects;
  pid_t pid = 0;
  // The open unit of work (empty: none) and how many messages it holds.
  std::mutex unit_mu;  // taken after an object's mutex, never before it
  std::vector<Unit> units;
  int32_t unit_messages = 0;
  // Set once a unit was begun: a connection that never used one (the
  // per-request connect and disconnect of the transport) skips the rest.
  std::atomic<bool> used_units{false};
};

// Messages one unit of work may hold: a caller that never commits must not
// tie up the queue manager's space (the embedded store holds 32,768 messages
// in all) or its own memory without end.
constexpr int32_t kMaxUnitMessages = 10000;

struct Object {
  std::mutex mu;  // serialises calls on this handle
  KRHCONN hconn = 0;
  std::shared_ptr<PooledQm> qm;  // the queue manager the queue is on
  std::string queue;
  KRLONG options = 0;
  QueueAttributes attributes;
  bool dynamic = false;
  bool closed = false;
  BrowseCursor cursor;
  pid_t pid = 0;
};

HandleTable<Connection>& Connections() {
  static auto* t = new HandleTable<Connection>();
  return *t;
}
HandleTable<Object>& Objects() {
  static auto* t = new HandleTable<Object>();
  return *t;
}

// A handle made before a fork is the parent's: not valid in the child.
template <class T>
std::shared_ptr<T> Valid(std::shared_ptr<T> p) {
  if (p && p->pid != CurrentPid()) return nullptr;
  return p;
}

void Done(KRLONG* cc, KRLONG* reason, KRLONG code) {
  *reason = code;
  *cc = code == KRRC_NONE ? KRCC_OK : KRCC_FAILED;
}

bool StrucIs(const char* field, const char* id) { return std::memcmp(field, id, 4) == 0; }

bool AllZero(const KRBYTE* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// 24 bytes unique across processes, restarts and machines: "KR", a random
// per-process nonce, the pid and a counter.
void NewMessageId(KRBYTE* id) {
  static std::atomic<uint64_t> counter{0};
  static std::atomic<pid_t> nonce_pid{0};
  static std::atomic<uint64_t> nonce{0};
  pid_t pid = CurrentPid();
  if (nonce_pid.load(std::memory_order_acquire) != pid) {
    std::random_device rd;
    nonce.store((static_cast<uint64_t>(rd()) << 32) ^ rd(), std::memory_order_relaxed);
    nonce_pid.store(pid, std::memory_order_release);
  }
  uint64_t n = nonce.load(std::memory_order_relaxed);
  uint64_t c = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  uint32_t p = static_cast<uint32_t>(pid);
  id[0] = 'K';
  id[1] = 'R';
  std::memcpy(id + 2, &n, 8);
  std::memcpy(id + 10, &p, 4);
  std::memcpy(id + 14, &c, 8);
  id[22] = id[23] = 0;
}

void StampPutTime(KRMD* md) {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  tm t{};
  time_t secs = tv.tv_sec;
  ::gmtime_r(&secs, &t);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", (t.tm_year + 1900) % 10000, t.tm_mon + 1, t.tm_mday);
  std::memcpy(md->PutDate, buf, 8);
  std::snprintf(buf, sizeof buf, "%02d%02d%02d%02d", t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<int>(tv.tv_usec / 10000));
  std::memcpy(md->PutTime, buf, 8);
}

// Looks up an object handle that must belong to `hconn`.
int32_t FindObject(KRHCONN hconn, KRHOBJ hobj, std::shared_ptr<Object>* out,
                   std::shared_ptr<Connection>* conn_out = nullptr) {
  auto conn = Valid(Connections().Find(hconn));
  if (!conn) return KRRC_HCONN_ERROR;
  auto obj = Valid(Objects().Find(hobj));
  if (!obj || obj->hconn != hconn) return KRRC_HOBJ_ERROR;
  *out = std::move(obj);
  if (conn_out) *conn_out = std::move(conn);
  return KRRC_NONE;
}

// The connection's unit on `qm`, begun when it has none; refuses a message
// past the limit. On success the unit counts one message more.
int32_t JoinUnit(Connection& conn, const std::shared_ptr<PooledQm>& qm, uint64_t* id) {
  std::lock_guard<std::mutex> lock(conn.unit_mu);
  if (conn.unit_messages >= kMaxUnitMessages) return KRRC_SYNCPOINT_LIMIT_REACHED;
  for (const Unit& u : conn.units) {
    if (u.qm == qm) {
      *id = u.id;
      ++conn.unit_messages;
      return KRRC_NONE;
    }
  }
  Unit u;
  u.qm = qm;
  if (int32_t rc = qm->store->BeginUnit(&u.id)) return rc;
  conn.used_units.store(true, std::memory_order_relaxed);
  *id = u.id;
  conn.units.push_back(std::move(u));
  ++conn.unit_messages;
  return KRRC_NONE;
}

// A get or put within the unit failed: it does not count.
void LeaveUnit(Connection& conn) {
  std::lock_guard<std::mutex> lock(conn.unit_mu);
  if (conn.unit_messages > 0) --conn.unit_messages;
}

// Ends the connection's unit of work: commit or back-out on every queue
// manager it touched. A failed commit has backed its unit out.
int32_t EndUnits(Connection& conn, bool commit) {
  std::vector<Unit> units;
  {
    std::lock_guard<std::mutex> lock(conn.unit_mu);
    units.swap(conn.units);
    conn.unit_messages = 0;
  }
  int32_t rc = KRRC_NONE;
  for (const Unit& u : units) {
    int32_t urc = commit ? u.qm->store->CommitUnit(u.id) : u.qm->store->BackoutUnit(u.id);
    if (urc == KRRC_Q_MGR_NOT_AVAILABLE || urc == KRRC_CONNECTION_BROKEN) ThePool().Drop(u.qm);
    if (urc && !rc) rc = urc;
  }
  return rc;
}

// Closes an object whose mutex the caller holds.
int32_t CloseLocked(Object& obj) {
  if (obj.closed) return KRRC_HOBJ_ERROR;
  obj.closed = true;
  obj.qm->store->NoteClose(obj.queue);
  if (obj.dynamic) {
    int32_t rc = obj.qm->store->DeleteDynamicQueue(obj.queue);
    if (rc != KRRC_NONE && rc != KRRC_UNKNOWN_OBJECT_NAME) return rc;
  }
  return KRRC_NONE;
}

void NoteStoreFailure(const std::shared_ptr<PooledQm>& qm, int32_t rc) {
  if (rc == KRRC_Q_MGR_NOT_AVAILABLE || rc == KRRC_CONNECTION_BROKEN) ThePool().Drop(qm);
}

}  // namespace

void ForgetResolutions() { ThePool().Forget(); }

void Conn(const KRCHAR* name, KRHCONN* hconn, KRLONG* cc, KRLONG* reason) {
  if (!cc || !reason) return;
  if (!hconn) return Done(cc, reason, KRRC_HANDLE_NOT_AVAILABLE);
  std::string requested;
  if (name) {
    size_t n = strnlen(name, KR_Q_MGR_NAME_LENGTH + 1);
    if (n > KR_Q_MGR_NAME_LENGTH) {
      // Longer than the field; blanks after 48 bytes still make a valid name.
      size_t full = strnlen(name, 4096);
      size_t trimmed = full;
      while (trimmed > 0 && name[trimmed - 1] == ' ') --trimmed;
      if (trimmed > KR_Q_MGR_NAME_LENGTH) return Done(cc, reason, KRRC_NAME_TOO_LONG);
      n = trimmed;
    }
    requested = FieldToName(name, n);
  }
  if (!requested.empty()) {
    if (int32_t rc = CheckQmName(requested)) return Done(cc, reason, rc);
  }
  auto conn = std::make_shared<Connection>();
  conn->pid = CurrentPid();
  if (int32_t rc = ThePool().Acquire(requested, &conn->qm)) return Done(cc, reason, rc);
  KRLONG h = Connections().Add(conn);
  if (h == 0) return Done(cc, reason, KRRC_RESOURCE_PROBLEM);
  *hconn = h;
  Done(cc, reason, KRRC_NONE);
}

void Open(KRHCONN hconn, KROD* od, KRLONG options, KRHOBJ* hobj, KRLONG* cc, KRLONG* reason) {
  if (!cc || !reason) return;
  auto conn = Valid(Connections().Find(hconn));
  if (!conn) return Done(cc, reason, KRRC_HCONN_ERROR);
  if (!hobj) return Done(cc, reason, KRRC_HANDLE_NOT_AVAILABLE);
  if (!od || !StrucIs(od->StrucId, KROD_STRUC_ID) || od->Version < KROD_VERSION_1)
    return Done(cc, reason, KRRC_OD_ERROR);
  if (od->ObjectType != KROT_Q) return Done(cc, reason, KRRC_OBJECT_TYPE_ERROR);
  constexpr KRLONG kInputs = KROO_INPUT_AS_Q_DEF | KROO_INPUT_SHARED | KROO_INPUT_EXCLUSIVE;
  constexpr KRLONG kKnown = kInputs | KROO_BROWSE | KROO_OUTPUT | KROO_INQUIRE | KROO_FAIL_IF_QUIESCING;
  const KRLONG inputs = options & kInputs;
  if ((options & ~kKnown) != 0 || (inputs & (inputs - 1)) != 0 ||
      (options & (kInputs | KROO_BROWSE | KROO_OUTPUT | KROO_INQUIRE)) == 0)
    return Done(cc, reason, KRRC_OPTIONS_ERROR);

  const std::string name = FieldToName(od->ObjectName, KR_Q_NAME_LENGTH);
  if (int32_t rc = CheckQueueName(name)) return Done(cc, reason, rc == KRRC_NAME_NOT_VALID && name.empty() ? KRRC_UNKNOWN_OBJECT_NAME : rc);

  // The queue manager the queue lives on: the connected one, or another one
  // this machine knows.
  std::shared_ptr<PooledQm> qm = conn->qm;
  const std::string qm_name = FieldToName(od->ObjectQMgrName, KR_Q_MGR_NAME_LENGTH);
  if (!qm_name.empty() && strcasecmp(qm_name.c_str(), qm->def.name.c_str()) != 0) {
    if (CheckQmName(qm_name) != KRRC_NONE) return Done(cc, reason, KRRC_UNKNOWN_REMOTE_Q_MGR);
    int32_t rc = ThePool().Acquire(qm_name, &qm);
    if (rc == KRRC_UNKNOWN_Q_MGR) rc = KRRC_UNKNOWN_REMOTE_Q_MGR;
    if (rc) return Done(cc, reason, rc);
  }

  auto obj = std::make_shared<Object>();
  obj->pid = CurrentPid();
  obj->hconn = hconn;
  obj->qm = qm;
  obj->options = options;
  int32_t rc = qm->store->LookupAndNoteOpen(name, &obj->attributes);
  if (rc) {
    NoteStoreFailure(qm, rc);
    return Done(cc, reason, rc);
  }
  obj->queue = name;
  if (obj->attributes.kind == QueueKind::kModel) {
    const std::string pattern = FieldToName(od->DynamicQName, KR_Q_NAME_LENGTH);
    if (pattern.empty()) return Done(cc, reason, KRRC_DYNAMIC_Q_NAME_ERROR);
    if (pattern != "*") {
      std::string stem = pattern.back() == '*' ? pattern.substr(0, pattern.size() - 1) : pattern;
      if (!stem.empty() && CheckQueueName(stem) != KRRC_NONE) return Done(cc, reason, KRRC_DYNAMIC_Q_NAME_ERROR);
    }
    std::string dyn;
    rc = qm->store->CreateDynamicQueue(obj->attributes, pattern, &dyn);
    if (rc) return Done(cc, reason, rc);
    obj->queue = dyn;
    obj->dynamic = true;
    obj->attributes.name = dyn;
    obj->attributes.kind = QueueKind::kTemporaryDynamic;
    obj->attributes.default_persistence = KRPER_NOT_PERSISTENT;
    NameToField(dyn, od->ObjectName, KR_Q_NAME_LENGTH);
    qm->store->NoteOpen(obj->queue);
  }
  KRHOBJ h = Objects().Add(obj);
  if (h == 0) {
    std::lock_guard<std::mutex> lock(obj->mu);
    CloseLocked(*obj);
    return Done(cc, reason, KRRC_RESOURCE_PROBLEM);
  }
  {
    std::lock_guard<std::mutex> lock(conn->mu);
    conn->objects.push_back(h);
  }
  *hobj = h;
  Done(cc, reason, KRRC_NONE);
}

void Put(KRHCONN hconn, KRHOBJ hobj, KRMD* md, KRPMO* pmo, KRLONG length, void* buffer, KRLONG* cc,
         KRLONG* reason) {
  if (!cc || !reason) return;
  std::shared_ptr<Object> obj;
  std::shared_ptr<Connection> conn;
  if (int32_t rc = FindObject(hconn, hobj, &obj, &conn)) return Done(cc, reason, rc);
  if (!md || !StrucIs(md->StrucId, KRMD_STRUC_ID) || md->Version < KRMD_VERSION_1)
    return Done(cc, reason, KRRC_MD_ERROR);
  if (!pmo || !StrucIs(pmo->StrucId, KRPMO_STRUC_ID) || pmo->Version < KRPMO_VERSION_1)
    return Done(cc, reason, KRRC_PMO_ERROR);
  if ((pmo->Options & ~(KRPMO_SYNCPOINT | KRPMO_NO_SYNCPOINT)) != 0 ||
      pmo->Options == (KRPMO_SYNCPOINT | KRPMO_NO_SYNCPOINT))
    return Done(cc, reason, KRRC_OPTIONS_ERROR);
  const bool syncpoint = (pmo->Options & KRPMO_SYNCPOINT) != 0;
  if (length < 0) return Done(cc, reason, KRRC_BUFFER_LENGTH_ERROR);
  if (length > 0 && !buffer) return Done(cc, reason, KRRC_BUFFER_ERROR);
  if (md->Priority < KRPRI_PRIORITY_AS_Q_DEF || md->Priority > 9) return Done(cc, reason, KRRC_PRIORITY_ERROR);
  if (md->Persistence < 0 || md->Persistence > 2) return Done(cc, reason, KRRC_PERSISTENCE_ERROR);
  if (md->Expiry != KREI_UNLIMITED && md->Expiry <= 0) return Done(cc, reason, KRRC_EXPIRY_ERROR);

  std::lock_guard<std::mutex> lock(obj->mu);
  if (obj->closed) return Done(cc, reason, KRRC_HOBJ_ERROR);
  if (!(obj->options & KROO_OUTPUT)) return Done(cc, reason, KRRC_NOT_OPEN_FOR_OUTPUT);
  Message m;
  m.md = *md;
  if (m.md.Priority == KRPRI_PRIORITY_AS_Q_DEF) m.md.Priority = obj->attributes.default_priority;
  if (m.md.Persistence == KRPER_PERSISTENCE_AS_Q_DEF) m.md.Persistence = obj->attributes.default_persistence;
  if (m.md.Persistence == KRPER_PERSISTENT && obj->dynamic) return Done(cc, reason, KRRC_PERSISTENT_NOT_ALLOWED);
  if (AllZero(m.md.MsgId, KR_MSG_ID_LENGTH)) NewMessageId(m.md.MsgId);
  m.md.BackoutCount = 0;
  StampPutTime(&m.md);
  if (m.md.Expiry != KREI_UNLIMITED) m.expiry_deadline_ms = WallClockMs() + int64_t{m.md.Expiry} * 100;
  // Checked before the buffer is read: a huge length with a small buffer must
  // not make us read past it when the queue would refuse the message anyway.
  if (length > obj->attributes.max_message_length) return Done(cc, reason, KRRC_MSG_TOO_BIG_FOR_Q);
  m.body.assign(static_cast<const char*>(buffer), static_cast<size_t>(length));
  uint64_t unit = 0;
  if (syncpoint) {
    if (int32_t rc = JoinUnit(*conn, obj->qm, &unit)) return Done(cc, reason, rc);
  }
  int32_t rc = syncpoint ? obj->qm->store->PutInUnit(obj->queue, m, unit) : obj->qm->store->Put(obj->queue, m);
  if (rc) {
    if (syncpoint) LeaveUnit(*conn);
    NoteStoreFailure(obj->qm, rc);
    return Done(cc, reason, rc);
  }
  std::memcpy(md->MsgId, m.md.MsgId, KR_MSG_ID_LENGTH);
  std::memcpy(md->PutDate, m.md.PutDate, KR_PUT_DATE_LENGTH);
  std::memcpy(md->PutTime, m.md.PutTime, KR_PUT_TIME_LENGTH);
  pmo->KnownDestCount = 1;
  pmo->UnknownDestCount = 0;
  pmo->InvalidDestCount = 0;
  NameToField(obj->queue, pmo->ResolvedQName, KR_Q_NAME_LENGTH);
  NameToField(obj->qm->def.name, pmo->ResolvedQMgrName, KR_Q_MGR_NAME_LENGTH);
  Done(cc, reason, KRRC_NONE);
}

void Get(KRHCONN hconn, KRHOBJ hobj, KRMD* md, KRGMO* gmo, KRLONG length, void* buffer, KRLONG* data_length,
         KRLONG* cc, KRLONG* reason) {
  if (!cc || !reason) return;
  std::shared_ptr<Object> obj;
  std::shared_ptr<Connection> conn;
  if (int32_t rc = FindObject(hconn, hobj, &obj, &conn)) return Done(cc, reason, rc);
  if (!md || !StrucIs(md->StrucId, KRMD_STRUC_ID) || md->Version < KRMD_VERSION_1)
    return Done(cc, reason, KRRC_MD_ERROR);
  if (!gmo || !StrucIs(gmo->StrucId, KRGMO_STRUC_ID) || gmo->Version < KRGMO_VERSION_1)
    return Done(cc, reason, KRRC_GMO_ERROR);
  constexpr KRLONG kKnown = KRGMO_WAIT | KRGMO_BROWSE_FIRST | KRGMO_BROWSE_NEXT | KRGMO_SYNCPOINT |
                            KRGMO_NO_SYNCPOINT | KRGMO_FAIL_IF_QUIESCING | KRGMO_CONVERT;
  const KRLONG opts = gmo->Options;
  const bool syncpoint = (opts & KRGMO_SYNCPOINT) != 0;
  if ((opts & ~kKnown) != 0 || ((opts & KRGMO_BROWSE_FIRST) && (opts & KRGMO_BROWSE_NEXT)) ||
      (syncpoint && (opts & (KRGMO_NO_SYNCPOINT | KRGMO_BROWSE_FIRST | KRGMO_BROWSE_NEXT))))
    return Done(cc, reason, KRRC_OPTIONS_ERROR);
  if (length < 0) return Done(cc, reason, KRRC_BUFFER_LENGTH_ERROR);
  if (length > 0 && !buffer) return Done(cc, reason, KRRC_BUFFER_ERROR);
  if (!data_length) return Done(cc, reason, KRRC_DATA_LENGTH_ERROR);
  if ((opts & KRGMO_WAIT) && gmo->WaitInterval < KRWI_UNLIMITED) return Done(cc, reason, KRRC_WAIT_INTERVAL_ERROR);

  std::lock_guard<std::mutex> lock(obj->mu);
  if (obj->closed) return Done(cc, reason, KRRC_HOBJ_ERROR);
  GetRequest r;
  const bool browse = (opts & (KRGMO_BROWSE_FIRST | KRGMO_BROWSE_NEXT)) != 0;
  if (browse) {
    if (!(obj->options & KROO_BROWSE)) return Done(cc, reason, KRRC_NOT_OPEN_FOR_BROWSE);
    r.mode = (opts & KRGMO_BROWSE_FIRST) ? GetMode::kBrowseFirst : GetMode::kBrowseNext;
  } else if (!(obj->options & (KROO_INPUT_AS_Q_DEF | KROO_INPUT_SHARED | KROO_INPUT_EXCLUSIVE))) {
    return Done(cc, reason, KRRC_NOT_OPEN_FOR_INPUT);
  }
  r.match_msg_id = !AllZero(md->MsgId, KR_MSG_ID_LENGTH);
  r.match_correl_id = !AllZero(md->CorrelId, KR_CORREL_ID_LENGTH);
  std::memcpy(r.msg_id, md->MsgId, KR_MSG_ID_LENGTH);
  std::memcpy(r.correl_id, md->CorrelId, KR_CORREL_ID_LENGTH);
  r.wait_ms = (opts & KRGMO_WAIT) ? gmo->WaitInterval : 0;
  r.buffer = buffer;
  r.buffer_length = length;
  if (syncpoint) {
    if (int32_t rc = JoinUnit(*conn, obj->qm, &r.unit)) return Done(cc, reason, rc);
  }
  GetResult result;
  int32_t rc = obj->qm->store->Get(obj->queue, r, &obj->cursor, &result);
  if (syncpoint && rc != KRRC_NONE) LeaveUnit(*conn);
  if (rc == KRRC_NONE || rc == KRRC_TRUNCATED_MSG_FAILED) {
    *md = result.md;
    *data_length = result.data_length;
    NameToField(obj->queue, gmo->ResolvedQName, KR_Q_NAME_LENGTH);
  } else {
    *data_length = 0;
    NoteStoreFailure(obj->qm, rc);
  }
  Done(cc, reason, rc);
}

void Close(KRHCONN hconn, KRHOBJ* hobj, KRLONG options, KRLONG* cc, KRLONG* reason) {
  if (!cc || !reason) return;
  if (!hobj) return Done(cc, reason, KRRC_HANDLE_NOT_AVAILABLE);
  std::shared_ptr<Object> obj;
  if (int32_t rc = FindObject(hconn, *hobj, &obj)) return Done(cc, reason, rc);
  if (options != KRCO_NONE) return Done(cc, reason, KRRC_OPTIONS_ERROR);
  int32_t rc;
  {
    std::lock_guard<std::mutex> lock(obj->mu);
    if (obj->closed) return Done(cc, reason, KRRC_HOBJ_ERROR);
    rc = CloseLocked(*obj);
  }
  Objects().Remove(*hobj);
  if (auto conn = Valid(Connections().Find(hconn))) {
    std::lock_guard<std::mutex> lock(conn->mu);
    conn->objects.erase(std::remove(conn->objects.begin(), conn->objects.end(), *hobj), conn->objects.end());
  }
  *hobj = KRHO_UNUSABLE_HOBJ;
  Done(cc, reason, rc);
}

void Disc(KRHCONN* hconn, KRLONG* cc, KRLONG* reason) {
  if (!cc || !reason) return;
  if (!hconn) return Done(cc, reason, KRRC_HANDLE_NOT_AVAILABLE);
  auto conn = Valid(Connections().Remove(*hconn));
  if (!conn) return Done(cc, reason, KRRC_HCONN_ERROR);
  // What the unit of work got goes back and what it put goes away, before
  // the objects close (a temporary dynamic queue would take them with it).
  if (conn->used_units.load(std::memory_order_relaxed)) EndUnits(*conn, false);
  std::vector<KRHOBJ> objects;
  {
    std::lock_guard<std::mutex> lock(conn->mu);
    objects.swap(conn->objects);
  }
  int32_t rc = KRRC_NONE;
  for (KRHOBJ h : objects) {
    auto obj = Objects().Remove(h);
    if (!obj) continue;
    std::lock_guard<std::mutex> lock(obj->mu);
    if (!obj->closed) {
      int32_t crc = CloseLocked(*obj);
      if (crc && !rc) rc = crc;
    }
  }
  *hconn = KRHC_UNUSABLE_HCONN;
  Done(cc, reason, rc);
}

void Cmit(KRHCONN hconn, KRLONG* cc, KRLONG* reason) {
  if (!cc || !reason) return;
  auto conn = Valid(Connections().Find(hconn));
  if (!conn) return Done(cc, reason, KRRC_HCONN_ERROR);
  Done(cc, reason, EndUnits(*conn, true));
}

void Back(KRHCONN hconn, KRLONG* cc, KRLONG* reason) {
  if (!cc || !reason) return;
  auto conn = Valid(Connections().Find(hconn));
  if (!conn) return Done(cc, reason, KRRC_HCONN_ERROR);
  Done(cc, reason, EndUnits(*conn, false));
}

void Inq(KRHCONN hconn, KRHOBJ hobj, KRLONG selector_count, const KRLONG* selectors, KRLONG int_count,
         KRLONG* ints, KRLONG char_length, KRCHAR* chars, KRLONG* cc, KRLONG* reason) {
  if (!cc || !reason) return;
  std::shared_ptr<Object> obj;
  if (int32_t rc = FindObject(hconn, hobj, &obj)) return Done(cc, reason, rc);
  // Selectors first: how many of each kind, and room for them.
  constexpr KRLONG kMaxSelectors = 256;
  if (selector_count < 0 || selector_count > kMaxSelectors || (selector_count > 0 && !selectors) ||
      int_count < 0 || char_length < 0)
    return Done(cc, reason, KRRC_SELECTOR_ERROR);
  KRLONG ints_needed = 0, chars_needed = 0;
  for (KRLONG i = 0; i < selector_count; ++i) {
    switch (selectors[i]) {
      case KRIA_CURRENT_Q_DEPTH:
      case KRIA_MAX_MSG_LENGTH:
      case KRIA_MAX_Q_DEPTH:
      case KRIA_BACKOUT_THRESHOLD: ++ints_needed; break;
      case KRCA_BACKOUT_REQ_Q_NAME:
      case KRCA_Q_NAME: chars_needed += KR_Q_NAME_LENGTH; break;
      default: return Done(cc, reason, KRRC_SELECTOR_ERROR);
    }
  }
  if (int_count < ints_needed || (ints_needed > 0 && !ints) || char_length < chars_needed ||
      (chars_needed > 0 && !chars))
    return Done(cc, reason, KRRC_SELECTOR_ERROR);

  std::lock_guard<std::mutex> lock(obj->mu);
  if (obj->closed) return Done(cc, reason, KRRC_HOBJ_ERROR);
  if (!(obj->options & KROO_INQUIRE)) return Done(cc, reason, KRRC_NOT_OPEN_FOR_INQUIRE);
  QueueInfo info;
  int32_t rc = obj->qm->store->InquireQueue(obj->queue, &info);
  if (rc) {
    NoteStoreFailure(obj->qm, rc);
    return Done(cc, reason, rc);
  }
  KRLONG ni = 0, nc = 0;
  auto text = [&](const std::string& s) {
    std::memset(chars + nc, ' ', KR_Q_NAME_LENGTH);
    std::memcpy(chars + nc, s.data(), std::min(s.size(), size_t{KR_Q_NAME_LENGTH}));
    nc += KR_Q_NAME_LENGTH;
  };
  for (KRLONG i = 0; i < selector_count; ++i) {
    switch (selectors[i]) {
      case KRIA_CURRENT_Q_DEPTH:
        ints[ni++] = static_cast<KRLONG>(std::min<int64_t>(info.depth, INT32_MAX));
        break;
      case KRIA_MAX_MSG_LENGTH: ints[ni++] = info.attributes.max_message_length; break;
      case KRIA_MAX_Q_DEPTH: ints[ni++] = info.attributes.max_depth; break;
      case KRIA_BACKOUT_THRESHOLD: ints[ni++] = info.attributes.backout_threshold; break;
      case KRCA_BACKOUT_REQ_Q_NAME: text(info.attributes.backout_queue); break;
      case KRCA_Q_NAME: text(obj->queue); break;
    }
  }
  Done(cc, reason, KRRC_NONE);
}

}  // namespace krsoap::queue::api
