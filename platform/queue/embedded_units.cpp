// The embedded store's units of work. A message got under syncpoint stays in
// its entry, off its queue (kHeld); one put under syncpoint stays in a new
// entry on no queue (kUnitPut). Both carry the unit id and the owning process
// until commit or back-out. The owning process keeps the entries of each of
// its units in a list of its own, so commit and back-out visit only those;
// the units of processes that died are found by a scan of the entries that
// the next caller runs (SweepDeadUnits), at most once per kUnitSweepMs.
//
// Durability: a persistent message got under syncpoint keeps its row until
// the commit deletes it (with the unit's persistent puts, in one group
// commit); its backout count is written to its row before it is back on its
// queue, so a count survives a restart.
#include "platform/queue/embedded_shm.h"

namespace krsoap::queue::embedded {

void SharedQm::HoldLocked(int32_t e, uint64_t unit, EntryState state) {
  Entry& en = shm_->entries[e];
  const ProcessIdentity me = SelfIdentity();
  en.unit = unit;
  en.owner_pid = me.pid;
  en.owner_start = me.start_time;
  shm_->queues[en.queue].uncommitted++;
  shm_->h.uncommitted++;
  __atomic_store_n(&en.state, state, __ATOMIC_RELEASE);
  std::lock_guard<std::mutex> guard(units_mu_);
  units_[unit].push_back(e);
}

// Ends entry e's part in its unit (the counts); the caller frees, publishes
// or commits it.
void SharedQm::DropUncommittedLocked(int32_t e) {
  Entry& en = shm_->entries[e];
  QueueSlot& q = shm_->queues[en.queue];
  if (q.in_use && q.incarnation == en.queue_incarnation && q.uncommitted > 0) q.uncommitted--;
  if (shm_->h.uncommitted > 0) shm_->h.uncommitted--;
  en.unit = 0;
  en.owner_pid = 0;
}

// A held message back in its place on its queue (by its seq), one backout
// higher; freed when its queue was deleted meanwhile.
void SharedQm::ReturnHeldLocked(int32_t e, std::vector<int32_t>* wake) {
  Entry& en = shm_->entries[e];
  DropUncommittedLocked(e);
  QueueSlot& q = shm_->queues[en.queue];
  if (!q.in_use || q.incarnation != en.queue_incarnation) {
    FreeEntryLocked(e);
    return;
  }
  if (en.md.BackoutCount < INT32_MAX) en.md.BackoutCount++;
  __atomic_store_n(&en.state, kReady, __ATOMIC_RELEASE);
  LinkLocked(e);
  q.depth++;
  BumpWord(&q.futex);
  wake->push_back(en.queue);
}

namespace {

void WakeQueues(Shm* shm, std::vector<int32_t>* wake) {
  std::sort(wake->begin(), wake->end());
  wake->erase(std::unique(wake->begin(), wake->end()), wake->end());
  for (int32_t q : *wake) FutexWake(&shm->queues[q].futex, INT_MAX);
  wake->clear();
}

}  // namespace

// Backs out the kHeld / kUnitPut entries that `pick` chooses, among `only`
// (or all entries when null). Persistent held messages are claimed for this
// process while their new count goes to the disk (so no other sweeper takes
// them meanwhile; should this process die then, the next sweep does it
// again, and the row gets the same count).
template <class Pick>
int32_t SharedQm::BackOut(const std::vector<int32_t>* only, Pick pick) {
  struct Row {
    int32_t entry;
    uint64_t seq;
    KRMD md;
  };
  std::vector<Row> rows;
  std::vector<int32_t> wake;
  const ProcessIdentity me = SelfIdentity();
  {
    Lock lock(this);
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    const int32_t high = std::clamp(shm_->h.entry_high, 0, kMaxEntries);
    const size_t count = only ? only->size() : static_cast<size_t>(high);
    for (size_t k = 0; k < count && shm_->h.uncommitted > 0; ++k) {
      const int32_t i = only ? (*only)[k] : static_cast<int32_t>(k);
      if (i < 0 || i >= high) continue;
      Entry& e = shm_->entries[i];
      if ((e.state != kHeld && e.state != kUnitPut) || !pick(e)) continue;
      if (e.queue < 0 || e.queue >= kMaxQueues) {
        NoteDamageLocked("a message of a unit of work names no queue");
        return KRRC_Q_MGR_NOT_AVAILABLE;
      }
      if (e.state == kUnitPut) {
        DropUncommittedLocked(i);
        FreeEntryLocked(i);
      } else if (!e.persistent) {
        ReturnHeldLocked(i, &wake);
      } else {
        e.owner_pid = me.pid;
        e.owner_start = me.start_time;
        Row r{i, e.seq, e.md};
        if (r.md.BackoutCount < INT32_MAX) r.md.BackoutCount++;
        rows.push_back(r);
      }
    }
  }
  WakeQueues(shm_, &wake);
  if (rows.empty()) return KRRC_NONE;
  {
    WriteLock write(this);
    if (write.ok() && db_.Exec("BEGIN IMMEDIATE")) {
      bool ok;
      {
        Stmt st(db(), "UPDATE messages SET md=? WHERE seq=?");
        ok = st.ok();
        for (const Row& r : rows) {
          if (!ok) break;
          sqlite3_reset(*st);
          sqlite3_bind_blob(*st, 1, &r.md, sizeof(KRMD), SQLITE_STATIC);
          sqlite3_bind_int64(*st, 2, static_cast<sqlite3_int64>(r.seq));
          ok = sqlite3_step(*st) == SQLITE_DONE;
        }
      }
      if (!(ok && db_.Exec("COMMIT"))) db_.Exec("ROLLBACK");
    }
  }
  Lock lock(this);
  if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
  for (const Row& r : rows) {
    Entry& e = shm_->entries[r.entry];
    if (e.state == kHeld && e.seq == r.seq && e.owner_pid == me.pid) ReturnHeldLocked(r.entry, &wake);
  }
  lock.Unlock();
  WakeQueues(shm_, &wake);
  return KRRC_NONE;
}

bool SharedQm::TakeUnitEntries(uint64_t unit, std::vector<int32_t>* entries) {
  std::lock_guard<std::mutex> guard(units_mu_);
  auto it = units_.find(unit);
  if (it == units_.end()) return false;
  entries->swap(it->second);
  units_.erase(it);
  return true;
}

int32_t SharedQm::CommitUnit(uint64_t unit) {
  std::vector<int32_t> entries;
  if (!TakeUnitEntries(unit, &entries)) return KRRC_NONE;
  const int32_t self = SelfIdentity().pid;
  auto ours = [&](const Entry& e) {
    return (e.state == kHeld || e.state == kUnitPut) && e.unit == unit && e.owner_pid == self;
  };
  std::vector<int32_t> fleeting;  // non-persistent: finished once the disk part is done
  int32_t ticket = -1;  // taken at the first persistent entry
  {
    Lock lock(this);
    if (!lock.ok() || Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
    const int32_t high = std::clamp(shm_->h.entry_high, 0, kMaxEntries);
    for (int32_t i : entries) {
      if (i < 0 || i >= high || !ours(shm_->entries[i])) continue;
      Entry& e = shm_->entries[i];
      if (e.queue < 0 || e.queue >= kMaxQueues) {
        NoteDamageLocked("a message of a unit of work names no queue");
        return KRRC_Q_MGR_NOT_AVAILABLE;
      }
      if (!e.persistent) {
        fleeting.push_back(i);
        continue;
      }
      // Persistent: the row goes (a get) or comes (a put) with the next group
      // commit, whose leader then frees or publishes the entry, as for any
      // persistent get or put.
      if (ticket < 0 && (ticket = NewTicketLocked()) < 0)
        return Deleted() ? KRRC_Q_MGR_NOT_AVAILABLE : KRRC_STORAGE_NOT_AVAILABLE;
      const bool put = e.state == kUnitPut;
      DropUncommittedLocked(i);
      const ProcessIdentity me = SelfIdentity();
      e.owner_pid = me.pid;
      e.owner_start = me.start_time;
      __atomic_store_n(&e.state, put ? kWriting : kTaking, __ATOMIC_RELEASE);
      JoinTicketLocked(i, ticket);
      AppendPendingLocked(i, put ? kInsert : kDelete);
    }
  }
  const int32_t rc = ticket >= 0 ? AwaitCommit(ticket) : KRRC_NONE;
  std::vector<int32_t> wake;
  {
    Lock lock(this);
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    for (int32_t i : fleeting) {
      Entry& e = shm_->entries[i];
      if (!ours(e)) continue;
      if (e.state == kUnitPut && rc == KRRC_NONE) {
        DropUncommittedLocked(i);
        QueueSlot& q = shm_->queues[e.queue];
        if (!q.in_use || q.incarnation != e.queue_incarnation) {
          FreeEntryLocked(i);
          continue;
        }
        __atomic_store_n(&e.state, kReady, __ATOMIC_RELEASE);
        LinkLocked(i);
        q.depth++;
        BumpWord(&q.futex);
        if (q.plain_waiters > 0 || q.special_waiters > 0) wake.push_back(e.queue);
      } else if (e.state == kHeld && rc != KRRC_NONE) {
        ReturnHeldLocked(i, &wake);  // the persistent part failed: all of it is backed out
      } else {
        DropUncommittedLocked(i);
        FreeEntryLocked(i);
      }
    }
  }
  WakeQueues(shm_, &wake);
  if (rc == KRRC_STORE_ERROR) return KRRC_BACKED_OUT;
  return rc;
}

int32_t SharedQm::BackoutUnit(uint64_t unit) {
  std::vector<int32_t> entries;
  if (!TakeUnitEntries(unit, &entries)) return KRRC_NONE;
  const int32_t self = SelfIdentity().pid;
  return BackOut(&entries, [&](const Entry& e) { return e.unit == unit && e.owner_pid == self; });
}

void SharedQm::SweepDeadUnits(bool now) {
  {
    Lock lock(this);
    if (!lock.ok() || shm_->h.uncommitted <= 0) return;
    const int64_t t = WallClockMs();
    if (!now && t < shm_->h.unit_sweep_ms) return;
    shm_->h.unit_sweep_ms = t + kUnitSweepMs;
  }
  const int32_t self = SelfIdentity().pid;
  std::map<std::pair<int32_t, uint64_t>, bool> dead;  // one look per process
  BackOut(nullptr, [&](const Entry& e) {
    if (e.owner_pid == self) return false;
    const auto who = std::make_pair(e.owner_pid, e.owner_start);
    auto it = dead.find(who);
    if (it == dead.end()) it = dead.emplace(who, !IsAlive({e.owner_pid, e.owner_start})).first;
    return it->second;
  });
}

}  // namespace krsoap::queue::embedded
