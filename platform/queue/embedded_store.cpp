// The embedded store: one queue manager in one directory under the data root,
// shared by every process on the machine.
//
//   qm/<name>/qm.db    SQLite (WAL): queue definitions and persistent messages
//   qm/<name>/qm.shm   a mapped file: the live index of every message, the
//                      bodies of non-persistent messages, the queue table,
//                      per-process slots, one robust process-shared mutex and
//                      a futex word per queue for wake-ups
//
// Why two parts: a persistent message must be on disk when its put returns,
// which costs an SQLite commit; a non-persistent one must not pay for that
// (tens of thousands of round trips a second), so it lives only in the mapped
// file. The mapped file survives the crash of any process. It is rebuilt from
// the database when it is missing, of another layout, or from before the last
// boot (non-persistent messages do not survive a machine restart), and when it
// is found damaged: every structure is checked when a process attaches, and
// every index a call follows on its way, so bytes written into the file by
// anything else never show as queues, depths or messages. A rebuild replaces
// the file (processes still using the old one are told to reconnect), keeps
// every persistent message and says, on standard error and in the trace, that
// the non-persistent ones were lost.
//
// Crash safety. Every change to the mapped file is made under the robust
// mutex. When a process dies holding it, the next locker gets EOWNERDEAD and
// rebuilds the derived state (queue lists, depths, free lists) from the
// entries, whose `state` field is written last when a message is published.
// Half-done puts and gets of persistent messages (their SQLite part runs
// outside the mutex) are marked with the owner's identity; a sweep finishes
// or undoes them once the owner is found dead: the database row decides.
//
// SQLite writers are serialised by a second robust mutex (the write mutex),
// always taken before the mapped file's mutex, never after it. Persistent puts
// and gets use group commit: each queues its database work in the mapped file,
// and whoever holds the write mutex commits all queued work in one transaction
// (one disk flush) and makes the puts visible.
//
// This file holds the Store over a SharedQm; the rest is in embedded_*.cpp
// (embedded_shm.h lists them).
#include "platform/queue/embedded_shm.h"

namespace krsoap::queue {
namespace embedded {

#define kQueueColumns \
  "name, kind, def_priority, def_persistence, max_depth, max_length, get_inhibited, put_inhibited, " \
  "backout_queue, backout_threshold"

class EmbeddedStore final : public Store {
 public:
  explicit EmbeddedStore(std::shared_ptr<SharedQm> qm) : qm_(std::move(qm)) { id_ = qm_->NewStoreId(); }
  ~EmbeddedStore() override {
    // Dynamic queues die with the Store that made them.
    std::vector<std::string> mine;
    {
      SharedQm::Lock lock(qm_.get());
      if (!lock.ok()) return;
      ProcessIdentity me = SelfIdentity();
      for (auto& q : qm_->shm()->queues) {
        if (q.in_use && q.kind == static_cast<int32_t>(QueueKind::kTemporaryDynamic) &&
            q.owner_pid == me.pid && q.owner_store == id_)
          mine.push_back(SlotName(q));
      }
    }
    for (const auto& n : mine) DeleteDynamicQueue(n);
  }

  const std::string& Name() const override { return qm_->name(); }

  int32_t DefineQueue(const QueueAttributes& a, bool replace) override {
    if (a.kind == QueueKind::kTemporaryDynamic) return KRRC_OBJECT_TYPE_ERROR;
    {
      SharedQm::Lock lock(qm_.get());
      if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
      int32_t q = qm_->FindQueueLocked(a.name);
      if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (q >= 0 && (!replace || qm_->shm()->queues[q].kind == static_cast<int32_t>(QueueKind::kTemporaryDynamic)))
        return KRRC_OBJECT_ALREADY_EXISTS;
    }
    SharedQm::WriteLock write(qm_.get());
    if (!write.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    Stmt st(qm_->db(), replace ? "INSERT OR REPLACE INTO queues(" kQueueColumns ") VALUES(?,?,?,?,?,?,?,?,?,?)"
                               : "INSERT INTO queues(" kQueueColumns ") VALUES(?,?,?,?,?,?,?,?,?,?)");
    if (!st.ok()) return KRRC_STORE_ERROR;
    sqlite3_bind_text(*st, 1, a.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(*st, 2, static_cast<int>(a.kind));
    sqlite3_bind_int(*st, 3, a.default_priority);
    sqlite3_bind_int(*st, 4, a.default_persistence);
    sqlite3_bind_int(*st, 5, a.max_depth);
    sqlite3_bind_int(*st, 6, a.max_message_length);
    sqlite3_bind_int(*st, 7, a.get_inhibited);
    sqlite3_bind_int(*st, 8, a.put_inhibited);
    sqlite3_bind_text(*st, 9, a.backout_queue.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(*st, 10, a.backout_threshold);
    int rc = sqlite3_step(*st);
    if (rc == SQLITE_CONSTRAINT) return KRRC_OBJECT_ALREADY_EXISTS;
    if (rc != SQLITE_DONE) return KRRC_STORE_ERROR;
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    int32_t q = qm_->FindQueueLocked(a.name);
    if (q < 0) {
      for (int i = 0; i < kMaxQueues && q < 0; ++i)
        if (!qm_->shm()->queues[i].in_use) q = i;
      if (q < 0) return KRRC_RESOURCE_PROBLEM;
      QueueSlot& s = qm_->shm()->queues[q];
      uint32_t inc = s.incarnation;
      uint32_t word = s.futex;
      std::memset(&s, 0, sizeof s);
      s.incarnation = inc + 1;
      s.futex = word;
      for (int p = 0; p < kPriorities; ++p) s.head[p] = s.tail[p] = -1;
      for (auto& p : qm_->shm()->procs) p.opens[q] = 0;
      FillSlot(&s, a);
      s.in_use = 1;
    } else {
      FillSlot(&qm_->shm()->queues[q], a);
    }
    return KRRC_NONE;
  }

  int32_t DeleteQueue(const std::string& name) override {
    // Lock order everywhere: the write mutex before the mapped file's mutex.
    SharedQm::WriteLock write(qm_.get());
    if (!write.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    std::vector<uint64_t> rows;
    {
      SharedQm::Lock lock(qm_.get());
      if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
      qm_->SweepLocked(false);
      int32_t q = qm_->FindQueueLocked(name);
      if (q < 0) return qm_->MissingQueue();
      QueueSlot& s = qm_->shm()->queues[q];
      if (s.kind == static_cast<int32_t>(QueueKind::kTemporaryDynamic)) return KRRC_OBJECT_TYPE_ERROR;
      if (OpenCountLocked(q) > 0) return KRRC_OBJECT_IN_USE;
      Stmt st(qm_->db(), "DELETE FROM queues WHERE name=?");
      sqlite3_bind_text(*st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      if (!st.ok() || sqlite3_step(*st) != SQLITE_DONE) return KRRC_STORE_ERROR;
      qm_->RemoveQueueMessagesLocked(q, &rows);
      s.in_use = 0;
      s.incarnation++;
      qm_->WakeAll(q);
    }
    Stmt st(qm_->db(), "DELETE FROM messages WHERE queue=?");
    sqlite3_bind_text(*st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    if (st.ok()) sqlite3_step(*st);
    return KRRC_NONE;
  }

  int32_t LookupQueue(const std::string& name, QueueAttributes* out) override { return Lookup(name, out, false); }
  int32_t LookupAndNoteOpen(const std::string& name, QueueAttributes* out) override {
    return Lookup(name, out, true);
  }

  int32_t ListQueues(std::vector<QueueInfo>* out) override {
    qm_->SweepDeadUnits(true);
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    qm_->SweepLocked(true);
    out->clear();
    if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
    for (int q = 0; q < kMaxQueues; ++q) {
      const QueueSlot& s = qm_->shm()->queues[q];
      if (!s.in_use) continue;
      if (!qm_->SlotSoundLocked(q)) {
        out->clear();
        return KRRC_Q_MGR_NOT_AVAILABLE;
      }
      QueueInfo info;
      info.attributes = AttributesOf(s);
      info.depth = s.depth;
      info.open_handles = OpenCountLocked(q);
      out->push_back(std::move(info));
    }
    std::sort(out->begin(), out->end(),
              [](const QueueInfo& a, const QueueInfo& b) { return a.attributes.name < b.attributes.name; });
    return KRRC_NONE;
  }

  int32_t ClearQueue(const std::string& name) override {
    std::vector<uint64_t> rows;
    {
      SharedQm::Lock lock(qm_.get());
      if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
      int32_t q = qm_->FindQueueLocked(name);
      if (q < 0) return qm_->MissingQueue();
      qm_->RemoveQueueMessagesLocked(q, &rows);
      if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
    }
    // The rows go too, unless the file was replaced meanwhile (its successor
    // still shows them): then the clear did not happen.
    return qm_->DeleteRows(rows) ? KRRC_NONE : KRRC_Q_MGR_NOT_AVAILABLE;
  }

  int32_t CreateDynamicQueue(const QueueAttributes& model, const std::string& pattern,
                             std::string* name_out) override {
    if (pattern.empty() || pattern.size() > 48) return KRRC_DYNAMIC_Q_NAME_ERROR;
    size_t star = pattern.find('*');
    if (star != std::string::npos && star != pattern.size() - 1) return KRRC_DYNAMIC_Q_NAME_ERROR;
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    qm_->SweepLocked(false);
    std::string name;
    for (int attempt = 0; attempt < 16; ++attempt) {
      if (star == std::string::npos) {
        name = pattern;
      } else {
        char suffix[17];
        uint64_t n = ++qm_->shm()->h.next_dynamic;
        std::snprintf(suffix, sizeof suffix, "%016llX", static_cast<unsigned long long>(n));
        name = (pattern == "*" ? std::string("KR.TEMP.") : pattern.substr(0, star)) + suffix;
        if (name.size() > 48) name.resize(48);
      }
      if (qm_->FindQueueLocked(name) < 0) break;
      if (star == std::string::npos) return KRRC_OBJECT_ALREADY_EXISTS;
      name.clear();
    }
    if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
    if (name.empty()) return KRRC_DYNAMIC_Q_NAME_ERROR;
    int32_t q = -1;
    for (int i = 0; i < kMaxQueues && q < 0; ++i)
      if (!qm_->shm()->queues[i].in_use) q = i;
    if (q < 0) return KRRC_RESOURCE_PROBLEM;
    QueueSlot& s = qm_->shm()->queues[q];
    uint32_t inc = s.incarnation;
    uint32_t word = s.futex;
    std::memset(&s, 0, sizeof s);
    s.incarnation = inc + 1;
    s.futex = word;
    for (int p = 0; p < kPriorities; ++p) s.head[p] = s.tail[p] = -1;
    for (auto& p : qm_->shm()->procs) p.opens[q] = 0;
    QueueAttributes a = model;
    a.name = name;
    a.kind = QueueKind::kTemporaryDynamic;
    a.default_persistence = KRPER_NOT_PERSISTENT;
    FillSlot(&s, a);
    ProcessIdentity me = SelfIdentity();
    s.owner_pid = me.pid;
    s.owner_start = me.start_time;
    s.owner_store = id_;
    s.in_use = 1;
    *name_out = name;
    return KRRC_NONE;
  }

  int32_t DeleteDynamicQueue(const std::string& name) override {
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    int32_t q = qm_->FindQueueLocked(name);
    if (q < 0) return qm_->MissingQueue();
    QueueSlot& s = qm_->shm()->queues[q];
    if (s.kind != static_cast<int32_t>(QueueKind::kTemporaryDynamic)) return KRRC_OBJECT_TYPE_ERROR;
    qm_->RemoveQueueMessagesLocked(q, nullptr);
    s.in_use = 0;
    s.incarnation++;
    for (auto& p : qm_->shm()->procs) p.opens[q] = 0;
    qm_->WakeAll(q);
    return KRRC_NONE;
  }

  void NoteOpen(const std::string& name) override { AdjustOpen(name, +1); }
  void NoteClose(const std::string& name) override { AdjustOpen(name, -1); }

  int32_t Put(const std::string& queue, const Message& m) override { return PutInUnit(queue, m, 0); }

  int32_t PutInUnit(const std::string& queue, const Message& m, uint64_t unit) override {
    const bool persistent = m.md.Persistence == KRPER_PERSISTENT;
    const int32_t length = static_cast<int32_t>(m.body.size());
    int32_t e;
    int32_t q;
    uint32_t incarnation;
    {
      SharedQm::Lock lock(qm_.get());
      if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
      q = qm_->FindQueueLocked(queue);
      if (q < 0) return qm_->MissingQueue();
      QueueSlot& s = qm_->shm()->queues[q];
      if (s.kind == static_cast<int32_t>(QueueKind::kModel)) return KRRC_MODEL_Q_NOT_ALLOWED;
      if (s.put_inhibited) return KRRC_PUT_INHIBITED;
      if (length > s.max_length) return KRRC_MSG_TOO_BIG_FOR_Q;
      if (s.depth + s.uncommitted >= s.max_depth) return KRRC_Q_FULL;
      if (persistent && s.kind == static_cast<int32_t>(QueueKind::kTemporaryDynamic))
        return KRRC_PERSISTENT_NOT_ALLOWED;
      e = qm_->AllocEntryLocked();
      if (e < 0) return qm_->Deleted() ? KRRC_Q_MGR_NOT_AVAILABLE : KRRC_STORAGE_NOT_AVAILABLE;
      Entry& en = qm_->shm()->entries[e];
      en.queue = q;
      en.queue_incarnation = incarnation = s.incarnation;
      en.priority = std::clamp(m.md.Priority, 0, 9);
      en.persistent = persistent;
      en.length = length;
      en.seq = qm_->shm()->h.next_seq++;
      en.expiry_ms = m.expiry_deadline_ms;
      std::memcpy(&en.md, &m.md, sizeof(KRMD));
      ProcessIdentity me = SelfIdentity();
      en.owner_pid = me.pid;
      en.owner_start = me.start_time;
      // The body goes into the mapped file: the only copy of a
      // non-persistent message, a cache of a persistent one (which, when the
      // space is short, lives in the database alone).
      int32_t c = length > 0 ? qm_->AllocChunksLocked(length) : -1;
      if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (c < -1 && (!persistent || unit != 0)) {
        qm_->FreeEntryLocked(e);
        return KRRC_STORAGE_NOT_AVAILABLE;
      }
      if (c >= 0) {
        en.first_chunk = c;
        const char* src = m.body.data();
        for (int32_t left = length; left > 0; c = qm_->shm()->chunks[c].next) {
          int32_t n = std::min(left, kChunkData);
          std::memcpy(qm_->shm()->chunks[c].data, src, n);
          src += n;
          left -= n;
        }
      }
      if (unit != 0) {
        // Visible at commit (a persistent one is written then).
        qm_->HoldLocked(e, unit, kUnitPut);
        return KRRC_NONE;
      }
      if (!persistent) return PublishLocked(e, q, lock);
      if (length == 0 || en.first_chunk >= 0) {
        // Durable with everybody else's work in one commit; the committing
        // process makes it visible.
        const int32_t ticket = qm_->NewTicketLocked();
        if (ticket < 0) {
          qm_->FreeEntryLocked(e);
          return qm_->Deleted() ? KRRC_Q_MGR_NOT_AVAILABLE : KRRC_STORAGE_NOT_AVAILABLE;
        }
        qm_->JoinTicketLocked(e, ticket);
        qm_->AppendPendingLocked(e, kInsert);
        lock.Unlock();
        return qm_->AwaitCommit(ticket);
      }
    }
    // Persistent without room in the mapped file: on disk first, then visible.
    int32_t rc = KRRC_NONE;
    {
      SharedQm::WriteLock write(qm_.get());
      Stmt st(qm_->db(), "INSERT INTO messages(seq, queue, md, body, expiry) VALUES(?,?,?,?,?)");
      if (!write.ok()) {
        rc = KRRC_Q_MGR_NOT_AVAILABLE;
      } else if (!st.ok()) {
        rc = KRRC_STORE_ERROR;
      } else {
        sqlite3_bind_int64(*st, 1, static_cast<sqlite3_int64>(qm_->shm()->entries[e].seq));
        sqlite3_bind_text(*st, 2, queue.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(*st, 3, &m.md, sizeof(KRMD), SQLITE_TRANSIENT);
        sqlite3_bind_blob(*st, 4, m.body.data(), length, SQLITE_STATIC);
        sqlite3_bind_int64(*st, 5, m.expiry_deadline_ms);
        if (sqlite3_step(*st) != SQLITE_DONE) rc = KRRC_STORE_ERROR;
      }
    }
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    QueueSlot& s = qm_->shm()->queues[q];
    if (rc != KRRC_NONE || !s.in_use || s.incarnation != incarnation) {
      uint64_t seq = qm_->shm()->entries[e].seq;
      qm_->FreeEntryLocked(e);
      lock.Unlock();
      if (rc == KRRC_NONE) {
        qm_->DeleteRows({seq});
        rc = KRRC_Q_DELETED;
      }
      return rc;
    }
    return PublishLocked(e, q, lock);
  }

  int32_t Get(const std::string& queue, const GetRequest& r, BrowseCursor* cursor, GetResult* out) override {
    const bool browse = r.mode != GetMode::kRemove;
    const bool special = browse || r.match_msg_id || r.match_correl_id;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(r.wait_ms, 0));
    BrowseCursor local_cursor;
    if (r.mode == GetMode::kBrowseFirst || !cursor) {
      local_cursor.valid = false;
    } else {
      local_cursor = *cursor;
    }
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    int32_t q = qm_->FindQueueLocked(queue);
    if (q < 0) return qm_->MissingQueue();
    const uint32_t incarnation = qm_->shm()->queues[q].incarnation;
    for (;;) {
      QueueSlot& s = qm_->shm()->queues[q];
      if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (!s.in_use || s.incarnation != incarnation) return KRRC_Q_DELETED;
      if (s.get_inhibited) return KRRC_GET_INHIBITED;
      std::vector<uint64_t> expired;
      int32_t e = FindLocked(q, r, browse ? &local_cursor : nullptr, &expired);
      if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (!expired.empty()) {
        lock.Unlock();
        qm_->DeleteRows(expired);
        lock.Relock();
        if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
        continue;  // the queue may have changed meanwhile
      }
      if (e >= 0) {
        const int32_t found_priority = qm_->shm()->entries[e].priority;
        const int64_t found_seq = static_cast<int64_t>(qm_->shm()->entries[e].seq);
        int32_t rc = TakeLocked(e, q, r, browse, lock, out);
        if (rc == KRRC_NONE && browse && cursor) {
          cursor->valid = true;
          cursor->priority = found_priority;
          cursor->seq = found_seq;
        }
        if (rc == -1) {  // lost a race with another getter: look again
          lock.Relock();
          if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
          continue;
        }
        return rc;
      }
      // Nothing matching: messages held by the units of dead processes
      // come back first (at most one look per kUnitSweepMs for everybody).
      if (s.uncommitted > 0 && qm_->UnitSweepDueLocked()) {
        lock.Unlock();
        qm_->SweepDeadUnits(false);
        lock.Relock();
        if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
        continue;
      }
      // Wait for the next put on this queue.
      int64_t left = r.wait_ms < 0 ? -1
                                   : std::chrono::duration_cast<std::chrono::milliseconds>(
                                         deadline - std::chrono::steady_clock::now())
                                         .count();
      if (r.wait_ms == 0 || (r.wait_ms > 0 && left <= 0)) return KRRC_NO_MSG_AVAILABLE;
      // While units hold messages of this queue, a holder may die without a
      // wake-up: the wait is cut into slices, each ending in a look.
      if (s.uncommitted > 0 && (left < 0 || left > 2 * kUnitSweepMs)) left = 2 * kUnitSweepMs;
      uint32_t word = LoadWord(&s.futex);
      if (special) s.special_waiters++; else s.plain_waiters++;
      lock.Unlock();
      WatchThenFutexWait(&s.futex, word, left);
      lock.Relock();
      if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (s.in_use && s.incarnation == incarnation) {
        int32_t& count = special ? s.special_waiters : s.plain_waiters;
        if (count > 0) count--;
      }
    }
  }

  int32_t BeginUnit(uint64_t* unit) override {
    *unit = qm_->NewUnitId();
    return qm_->Deleted() ? KRRC_Q_MGR_NOT_AVAILABLE : KRRC_NONE;
  }
  int32_t CommitUnit(uint64_t unit) override { return qm_->CommitUnit(unit); }
  int32_t BackoutUnit(uint64_t unit) override { return qm_->BackoutUnit(unit); }

  int32_t InquireQueue(const std::string& name, QueueInfo* out) override {
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok() || qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
    int32_t q = qm_->FindQueueLocked(name);
    if (q < 0) return qm_->MissingQueue();
    const QueueSlot& s = qm_->shm()->queues[q];
    out->attributes = AttributesOf(s);
    out->depth = s.depth;
    out->open_handles = OpenCountLocked(q);
    return KRRC_NONE;
  }

 private:
  int32_t OpenCountLocked(int32_t q) {
    int64_t n = 0;
    for (auto& p : qm_->shm()->procs)
      if (p.in_use) n += std::max(p.opens[q], 0);
    return static_cast<int32_t>(n);
  }

  // Finds a queue and, if asked, counts this process's open of it (not of a
  // model queue), under one lock. A dynamic queue of a dead process is
  // swept and reported unknown; this cheap check of its owner (an open of
  // every reply's queue makes it) runs outside the mutex, since a system call
  // under it would hold up every process of the queue manager. The full
  // check, with the start time, runs in the sweeps.
  int32_t Lookup(const std::string& name, QueueAttributes* out, bool note_open) {
    pid_t owner = 0;
    int32_t q;
    uint32_t incarnation;
    bool noted = false;
    {
      SharedQm::Lock lock(qm_.get());
      if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
      q = qm_->FindQueueLocked(name);
      if (q < 0) return qm_->MissingQueue();
      QueueSlot& s = qm_->shm()->queues[q];
      incarnation = s.incarnation;
      if (s.kind == static_cast<int32_t>(QueueKind::kTemporaryDynamic) && s.owner_pid != SelfIdentity().pid)
        owner = s.owner_pid;
      if (note_open && s.kind != static_cast<int32_t>(QueueKind::kModel)) noted = AdjustOpenLocked(q, +1);
      if (out) *out = AttributesOf(s);
    }
    if (owner == 0 || ::kill(owner, 0) == 0 || errno != ESRCH) return KRRC_NONE;
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    const QueueSlot& s = qm_->shm()->queues[q];
    if (noted && s.in_use && s.incarnation == incarnation) AdjustOpenLocked(q, -1);
    qm_->SweepLocked(false);
    return KRRC_UNKNOWN_OBJECT_NAME;
  }

  void AdjustOpen(const std::string& name, int delta) {
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return;
    int32_t q = qm_->FindQueueLocked(name);
    if (q >= 0) AdjustOpenLocked(q, delta);
  }

  // Counts this process's opens of queue q up or down (never below 0); false
  // when the process has no slot to count in.
  bool AdjustOpenLocked(int32_t q, int delta) {
    int32_t slot = qm_->ProcSlotLocked();
    if (slot < 0) return false;
    int32_t& n = qm_->shm()->procs[slot].opens[q];
    n = std::max(0, n + delta);
    return true;
  }

  // Makes entry e visible on queue q and wakes waiters. Unlocks.
  int32_t PublishLocked(int32_t e, int32_t q, SharedQm::Lock& lock) {
    Entry& en = qm_->shm()->entries[e];
    QueueSlot& s = qm_->shm()->queues[q];
    en.owner_pid = 0;
    __atomic_store_n(&en.state, kReady, __ATOMIC_RELEASE);
    qm_->LinkLocked(e);
    s.depth++;
    BumpWord(&s.futex);
    int wake = s.special_waiters > 0 ? INT_MAX : (s.plain_waiters > 0 ? 1 : 0);
    lock.Unlock();
    if (wake) FutexWake(&s.futex, wake);
    return KRRC_NONE;
  }

  // The first matching, unexpired message in get order (past the cursor when
  // browsing). Expired ones met on the way are removed; their database rows
  // are returned for deletion outside the mutex.
  int32_t FindLocked(int32_t q, const GetRequest& r, const BrowseCursor* cursor, std::vector<uint64_t>* expired) {
    QueueSlot& s = qm_->shm()->queues[q];
    const int64_t now = WallClockMs();
    for (int p = kPriorities - 1; p >= 0; --p) {
      if (cursor && cursor->valid && p > cursor->priority) continue;
      for (int32_t i = s.head[p], steps = 0; i >= 0; ++steps) {
        Entry& e = qm_->shm()->entries[std::clamp(i, 0, kMaxEntries - 1)];
        if (!qm_->EntryIndexOk(i) || steps > kMaxEntries || e.state != kReady || e.queue != q || e.priority != p ||
            !qm_->EntryFits(e)) {
          qm_->NoteDamageLocked("the message list of queue " + SlotName(s) + " is broken");
          return -1;
        }
        int32_t next = e.next;
        if (e.expiry_ms != 0 && e.expiry_ms <= now) {
          if (e.persistent) expired->push_back(e.seq);
          qm_->UnlinkLocked(i);
          qm_->FreeEntryLocked(i);
          s.depth--;
          i = next;
          continue;
        }
        if (cursor && cursor->valid && p == cursor->priority && static_cast<int64_t>(e.seq) <= cursor->seq) {
          i = next;
          continue;
        }
        if (Matches(e, r)) return i;
        i = next;
      }
    }
    return -1;
  }

  // The descriptor as the getter sees it: the expiry counts down.
  void CopyOut(const Entry& e, GetResult* out) {
    out->md = e.md;
    if (e.expiry_ms != 0) out->md.Expiry = ExpiryTenthsLeft(e.expiry_ms - WallClockMs());
    out->data_length = e.length;
  }

  // Copies the body of an entry kept in the mapped file into the caller's
  // buffer. False (and the file marked damaged) when its chunks are not all
  // there.
  bool CopyChunks(const Entry& e, void* buffer, int32_t limit) {
    if (qm_->CopyBodyLocked(e, static_cast<char*>(buffer), limit)) return true;
    qm_->NoteDamageLocked("the body of a message is broken");
    return false;
  }

  // Reads a persistent body from the database (outside the mutex).
  int32_t ReadBody(uint64_t seq, void* buffer, int32_t limit, bool remove) {
    std::unique_ptr<SharedQm::WriteLock> write;
    if (remove) {
      write = std::make_unique<SharedQm::WriteLock>(qm_.get());
      if (!write->ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (sqlite3_exec(qm_->db(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return KRRC_STORE_ERROR;
    }
    int32_t rc = KRRC_NONE;
    {
      Stmt st(qm_->db(), "SELECT body FROM messages WHERE seq=?");
      if (!st.ok()) {
        rc = KRRC_STORE_ERROR;
      } else {
        sqlite3_bind_int64(*st, 1, static_cast<sqlite3_int64>(seq));
        int s = sqlite3_step(*st);
        if (s == SQLITE_ROW) {
          int n = std::min(sqlite3_column_bytes(*st, 0), limit);
          if (n > 0) std::memcpy(buffer, sqlite3_column_blob(*st, 0), n);
        } else {
          rc = s == SQLITE_DONE ? -1 : KRRC_STORE_ERROR;  // -1: gone meanwhile
        }
      }
    }
    if (remove && rc == KRRC_NONE) {
      Stmt st(qm_->db(), "DELETE FROM messages WHERE seq=?");
      sqlite3_bind_int64(*st, 1, static_cast<sqlite3_int64>(seq));
      if (!st.ok() || sqlite3_step(*st) != SQLITE_DONE) rc = KRRC_STORE_ERROR;
    }
    if (remove) {
      sqlite3_exec(qm_->db(), rc == KRRC_NONE ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
      if (rc == KRRC_NONE && sqlite3_get_autocommit(qm_->db()) == 0) {
        sqlite3_exec(qm_->db(), "ROLLBACK", nullptr, nullptr, nullptr);
        rc = KRRC_STORE_ERROR;
      }
    }
    return rc;
  }

  // Hands entry e to the caller: copies it out and, for a destructive get,
  // removes it. Returns a reason code, or -1 when the message vanished (the
  // lock is then released and the caller retries). Releases the lock.
  int32_t TakeLocked(int32_t e, int32_t q, const GetRequest& r, bool browse, SharedQm::Lock& lock, GetResult* out) {
    Entry& en = qm_->shm()->entries[e];
    QueueSlot& s = qm_->shm()->queues[q];
    const bool too_long = en.length > r.buffer_length;
    const int32_t limit = std::min(en.length, r.buffer_length);
    CopyOut(en, out);
    if (!en.persistent) {
      if (limit > 0 && !CopyChunks(en, r.buffer, limit)) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (too_long) return KRRC_TRUNCATED_MSG_FAILED;
      if (!browse) {
        qm_->UnlinkLocked(e);
        s.depth--;
        if (r.unit != 0) qm_->HoldLocked(e, r.unit, kHeld);
        else qm_->FreeEntryLocked(e);
      }
      return KRRC_NONE;
    }
    // Persistent with its body cached in the mapped file.
    if (en.first_chunk >= 0 || en.length == 0) {
      if (limit > 0 && !CopyChunks(en, r.buffer, limit)) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (too_long) return KRRC_TRUNCATED_MSG_FAILED;
      if (browse) return KRRC_NONE;
      if (r.unit != 0) {  // the row goes with the unit's commit
        qm_->UnlinkLocked(e);
        s.depth--;
        qm_->HoldLocked(e, r.unit, kHeld);
        return KRRC_NONE;
      }
      // Claim it; the row goes with the next group commit.
      const int32_t ticket = qm_->NewTicketLocked();
      if (ticket < 0) return qm_->Deleted() ? KRRC_Q_MGR_NOT_AVAILABLE : KRRC_STORAGE_NOT_AVAILABLE;
      ProcessIdentity me = SelfIdentity();
      qm_->UnlinkLocked(e);
      s.depth--;
      en.owner_pid = me.pid;
      en.owner_start = me.start_time;
      __atomic_store_n(&en.state, kTaking, __ATOMIC_RELEASE);
      qm_->JoinTicketLocked(e, ticket);
      qm_->AppendPendingLocked(e, kDelete);
      lock.Unlock();
      return qm_->AwaitCommit(ticket);
    }
    // Persistent: the body is in the database.
    const uint64_t seq = en.seq;
    if (browse || too_long) {
      lock.Unlock();
      int32_t rc = ReadBody(seq, r.buffer, limit, false);
      if (rc == -1) return -1;
      if (rc) return rc;
      return too_long ? KRRC_TRUNCATED_MSG_FAILED : KRRC_NONE;
    }
    if (r.unit != 0) {
      // Held for the unit (the row stays until its commit) while the body
      // is read.
      qm_->UnlinkLocked(e);
      s.depth--;
      qm_->HoldLocked(e, r.unit, kHeld);
      lock.Unlock();
      int32_t rc = ReadBody(seq, r.buffer, limit, false);
      if (rc == KRRC_NONE) return rc;
      lock.Relock();
      if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (en.state == kHeld && en.unit == r.unit && en.owner_pid == SelfIdentity().pid) {
        qm_->DropUncommittedLocked(e);
        if (rc != -1 && s.in_use && en.queue_incarnation == s.incarnation) {
          en.state = kReady;  // the database failed: back where it was, no back-out counted
          qm_->LinkLocked(e);
          s.depth++;
        } else {
          qm_->FreeEntryLocked(e);  // gone meanwhile (-1: the caller looks again)
        }
      }
      lock.Unlock();
      return rc;
    }
    // Claim it, so nobody else takes it while the row is deleted.
    ProcessIdentity me = SelfIdentity();
    qm_->UnlinkLocked(e);
    s.depth--;
    en.owner_pid = me.pid;
    en.owner_start = me.start_time;
    __atomic_store_n(&en.state, kTaking, __ATOMIC_RELEASE);
    lock.Unlock();
    int32_t rc = ReadBody(seq, r.buffer, limit, true);
    lock.Relock();
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    if (rc == KRRC_NONE || rc == -1) {
      qm_->FreeEntryLocked(e);
      lock.Unlock();
      return rc;
    }
    // The database failed: the message goes back where it was.
    if (s.in_use && en.queue_incarnation == s.incarnation) {
      en.state = kReady;
      en.owner_pid = 0;
      qm_->LinkLocked(e);
      s.depth++;
    } else {
      qm_->FreeEntryLocked(e);
    }
    lock.Unlock();
    return rc;
  }

  std::shared_ptr<SharedQm> qm_;
  uint64_t id_ = 0;
};

}  // namespace embedded

using namespace embedded;

int32_t OpenEmbeddedStore(const std::string& name, bool create, std::unique_ptr<Store>* out) {
  std::shared_ptr<SharedQm> qm;
  if (int32_t rc = SharedQm::Attach(name, create, &qm)) return rc;
  qm->SweepDeadUnits(true);
  *out = std::make_unique<EmbeddedStore>(std::move(qm));
  return KRRC_NONE;
}

int32_t DestroyEmbeddedStore(const std::string& name) {
  std::shared_ptr<SharedQm> qm;
  const std::string dir = QmDir(name);
  if (SharedQm::Attach(name, false, &qm) == KRRC_NONE) {
    SharedQm::Lock lock(qm.get());
    __atomic_store_n(&qm->shm()->h.deleted, 1u, __ATOMIC_RELEASE);
    for (int q = 0; q < kMaxQueues; ++q)
      if (qm->shm()->queues[q].in_use) qm->WakeAll(q);
  }
  {
    std::lock_guard<std::mutex> guard(g_attach_mu);
    Attached().erase(dir);
  }
  for (const char* f : {"/qm.db", "/qm.db-wal", "/qm.db-shm", "/qm.shm"}) ::unlink((dir + f).c_str());
  ::rmdir(dir.c_str());
  return KRRC_NONE;
}

EmbeddedSharedFileLayout SharedFileLayout() {
  return {sizeof(Shm),
          sizeof(Header),
          offsetof(Shm, queues),
          sizeof(QueueSlot),
          offsetof(Shm, procs),
          sizeof(ProcSlot),
          offsetof(Shm, entries),
          sizeof(Entry),
          offsetof(Shm, chunks),
          sizeof(Chunk)};
}

bool EmbeddedStoreExists(const std::string& name) {
  struct stat st {};
  return ::lstat((QmDir(name) + "/qm.db").c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace krsoap::queue