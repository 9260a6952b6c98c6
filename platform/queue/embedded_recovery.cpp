// The embedded store's recovery: group commit of persistent work (and its
// requeueing after a dead leader), the rebuild of derived state after a
// process died holding the mutex, the full check of the mapped file, and the
// sweep of what dead processes left (see embedded_shm.h).
#include "platform/queue/embedded_shm.h"

namespace krsoap::queue::embedded {

void SharedQm::AppendPendingLocked(int32_t e, PendingOp op) {
  Header& h = shm_->h;
  Entry& en = shm_->entries[e];
  en.pending_op = op;
  en.pending_next = -1;
  if (h.pending_tail >= 0) {
    shm_->entries[h.pending_tail].pending_next = e;
  } else {
    // Both read by ReleaseWriteMutex without the mutex.
    __atomic_store_n(&h.lead_ticket, en.ticket, __ATOMIC_SEQ_CST);
    __atomic_store_n(&h.pending_head, e, __ATOMIC_SEQ_CST);
  }
  h.pending_tail = e;
}

int32_t SharedQm::NewTicketLocked() {
  Header& h = shm_->h;
  for (int pass = 0; pass < 2; ++pass) {
    int32_t t = -1;
    if (h.free_ticket >= 0) {
      t = h.free_ticket;
      if (t >= kMaxTickets || t >= h.ticket_high || shm_->tickets[t].in_use) {
        NoteDamageLocked("the list of free commit tickets is broken");
        return -1;
      }
      h.free_ticket = shm_->tickets[t].next_free;
    } else if (h.ticket_high >= 0 && h.ticket_high < kMaxTickets) {
      t = h.ticket_high;
      __atomic_store_n(&h.ticket_high, t + 1, __ATOMIC_RELAXED);
    }
    if (t >= 0) {
      CommitTicket& c = shm_->tickets[t];
      const ProcessIdentity me = SelfIdentity();
      __atomic_store_n(&c.remaining, 0, __ATOMIC_RELAXED);
      __atomic_store_n(&c.failed, 0, __ATOMIC_RELAXED);
      __atomic_store_n(&c.sleeping, 0, __ATOMIC_RELAXED);
      c.in_use = 1;
      c.owner_pid = me.pid;
      c.owner_start = me.start_time;
      return t;
    }
    // All taken: those of dead committers come back (their entries no
    // longer reach them once the generation moved).
    for (int32_t i = 0; i < std::min(h.ticket_high, kMaxTickets); ++i)
      if (shm_->tickets[i].in_use && !IsAlive({shm_->tickets[i].owner_pid, shm_->tickets[i].owner_start}))
        FreeTicketLocked(i);
  }
  return -1;
}

void SharedQm::FreeTicketLocked(int32_t ticket) {
  CommitTicket& c = shm_->tickets[ticket];
  c.in_use = 0;
  c.generation++;
  c.next_free = shm_->h.free_ticket;
  shm_->h.free_ticket = ticket;
}

void SharedQm::JoinTicketLocked(int32_t e, int32_t ticket) {
  Entry& en = shm_->entries[e];
  CommitTicket& c = shm_->tickets[ticket];
  en.ticket = ticket;
  en.ticket_generation = c.generation;
  __atomic_add_fetch(&c.remaining, 1, __ATOMIC_RELAXED);
}

void SharedQm::SettleLocked(Entry& e, bool ok, std::vector<int32_t>* wake) {
  const int32_t t = e.ticket;
  e.ticket = -1;
  if (t < 0 || t >= kMaxTickets || t >= shm_->h.ticket_high) return;
  CommitTicket& c = shm_->tickets[t];
  if (!c.in_use || c.generation != e.ticket_generation || __atomic_load_n(&c.remaining, __ATOMIC_RELAXED) <= 0) return;
  if (!ok) __atomic_store_n(&c.failed, 1, __ATOMIC_RELAXED);
  if (__atomic_sub_fetch(&c.remaining, 1, __ATOMIC_SEQ_CST) > 0) return;
  __atomic_add_fetch(&c.word, 1, __ATOMIC_SEQ_CST);
  if (wake) wake->push_back(t);
  else WakeTicket(shm_, t);
}

void SharedQm::RequeueInFlight() {
  Lock lock(this);
  if (!lock.ok()) return;
  for (int32_t i = 0; i < std::min(shm_->h.entry_high, kMaxEntries); ++i) {
    Entry& e = shm_->entries[i];
    if (e.pending_op == kInsertInFlight) AppendPendingLocked(i, kInsert);
    else if (e.pending_op == kDeleteInFlight) AppendPendingLocked(i, kDelete);
  }
}

// Makes the ticket's database work durable: either another process commits
// it, or this one commits everything pending in one transaction. Returns
// KRRC_NONE, or KRRC_STORE_ERROR when some of it failed (its puts were then
// not made visible and its gets were put back).
//
// Only the leader holds the write mutex. The others sleep on their own
// ticket, which the leader moves when their work is done; one whose work is
// still pending when the mutex is let go is woken to lead the next commit
// (ReleaseWriteMutex). Queueing on the mutex itself would make a committer
// whose work is already on disk wait behind the next leader's flush, and a
// shared word would wake every committer after every commit.
int32_t SharedQm::AwaitCommit(int32_t ticket) {
  CommitTicket& t = shm_->tickets[ticket];
  int32_t rc = -1;
  for (;;) {
    // The word is read before the outcome is looked at, so a leader that
    // finishes the work afterwards has moved it and the wait returns at once.
    const uint32_t word = __atomic_load_n(&t.word, __ATOMIC_SEQ_CST);
    rc = TicketOutcome(ticket);
    if (rc != -1) break;
    WriteLock write(this, false);
    if (!write.busy()) {
      rc = write.ok() ? LeadCommit(ticket) : KRRC_Q_MGR_NOT_AVAILABLE;
      break;
    }
    // Marked only now, and the outcome looked at again: a leader that
    // finished the work before seeing the mark was seen here, and one that
    // sees it wakes us; a committer not yet asleep costs no wake-up.
    __atomic_store_n(&t.sleeping, 1, __ATOMIC_SEQ_CST);
    if ((rc = TicketOutcome(ticket)) != -1) break;
    FutexWait(&t.word, word, kCommitSliceMs);
    __atomic_store_n(&t.sleeping, 0, __ATOMIC_SEQ_CST);
    if (Deleted()) {
      rc = KRRC_Q_MGR_NOT_AVAILABLE;
      break;
    }
  }
  __atomic_store_n(&t.sleeping, 0, __ATOMIC_RELAXED);
  FreeTicket(ticket);
  return rc;
}

void SharedQm::FreeTicket(int32_t ticket) {
  Lock lock(this);
  if (lock.ok()) FreeTicketLocked(ticket);
}

// The leader keeps the disk busy: while work is pending when its commit is
// done, it commits again (up to kLeaderRounds in all) instead of letting go
// of the write mutex, because the committer sleeping on that work would
// first have to be woken and scheduled before it could lead, and the disk
// would stand idle meanwhile. Each round wakes the committers it finished.
int32_t SharedQm::LeadCommit(int32_t ticket) {
  int32_t rc = TicketOutcome(ticket);
  if (rc != -1) return rc;  // committed while we took the mutex
  bool more = false;
  const int32_t round = CommitRound(&more);
  for (int r = 1; r < kLeaderRounds && more && !Deleted(); ++r) CommitRound(&more);
  rc = TicketOutcome(ticket);
  // Our work was pending when we took the mutex (a dead leader's in-flight
  // work is requeued first), so the first round took it. Not settled means
  // it was lost to damage: never report that as success.
  if (rc == -1) rc = round != KRRC_NONE ? round : KRRC_Q_MGR_NOT_AVAILABLE;
  return rc;
}

int32_t SharedQm::CommitRound(bool* more) {
  struct Op {
    int32_t entry;
    bool insert;
    uint64_t seq;
    std::string queue;
    KRMD md;
    std::string body;
    int64_t expiry;
  };
  std::vector<Op> ops;
  *more = false;
  {
    Lock lock(this);
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    Header& h = shm_->h;
    // Lead: take every pending operation. Everything the transaction needs is
    // copied out now, so nothing shared is read without the mutex.
    for (int32_t i = h.pending_head, n = 0; i >= 0 && n < kMaxEntries; ++n) {
      if (!EntryIndexOk(i)) {
        NoteDamageLocked("the list of messages waiting for the disk is broken");
        break;
      }
      Entry& e = shm_->entries[i];
      int32_t next = e.pending_next;
      if (e.pending_op == kInsert || e.pending_op == kDelete) {
        Op op;
        op.entry = i;
        op.insert = e.pending_op == kInsert;
        op.seq = e.seq;
        if (op.insert) {
          if (e.queue < 0 || e.queue >= kMaxQueues || !EntryFits(e)) {
            NoteDamageLocked("a message waiting for the disk names no queue");
            break;
          }
          op.queue = SlotName(shm_->queues[e.queue]);
          op.md = e.md;
          op.expiry = e.expiry_ms;
          op.body.resize(static_cast<size_t>(e.length));
          if (!CopyBodyLocked(e, op.body.data(), e.length)) {
            NoteDamageLocked("the body of a message waiting for the disk is broken");
            break;
          }
        }
        e.pending_op = op.insert ? kInsertInFlight : kDeleteInFlight;
        ops.push_back(std::move(op));
      }
      i = next;
    }
    __atomic_store_n(&h.pending_head, -1, __ATOMIC_SEQ_CST);
    h.pending_tail = -1;
    if (ops.empty()) return KRRC_NONE;
    // Damage met on the way: nothing of it goes to the disk, whoever waits is
    // told the queue manager is gone, and the rebuild reads the database.
    if (Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
  }
  auto prepare = [this](sqlite3_stmt** st, const char* sql) {
    return *st || sqlite3_prepare_v3(db(), sql, -1, SQLITE_PREPARE_PERSISTENT, st, nullptr) == SQLITE_OK;
  };
  // BEGIN and COMMIT too: sqlite3_exec would parse and compile them again
  // for every transaction.
  auto run = [](sqlite3_stmt* st) {
    const bool done = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_reset(st);
    return done;
  };
  bool ok = prepare(&insert_stmt_, "INSERT OR REPLACE INTO messages(seq, queue, md, body, expiry) VALUES(?,?,?,?,?)") &&
            prepare(&delete_stmt_, "DELETE FROM messages WHERE seq=?") && prepare(&begin_stmt_, "BEGIN IMMEDIATE") &&
            prepare(&commit_stmt_, "COMMIT") && run(begin_stmt_);
  if (ok) {
    for (const Op& op : ops) {
      if (!ok) break;
      sqlite3_stmt* st = op.insert ? insert_stmt_ : delete_stmt_;
      sqlite3_reset(st);
      sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(op.seq));
      if (op.insert) {
        sqlite3_bind_text(st, 2, op.queue.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_blob(st, 3, &op.md, sizeof(KRMD), SQLITE_STATIC);
        sqlite3_bind_blob(st, 4, op.body.data(), static_cast<int>(op.body.size()), SQLITE_STATIC);
        sqlite3_bind_int64(st, 5, op.expiry);
      }
      ok = sqlite3_step(st) == SQLITE_DONE;
    }
    // The bindings point into `ops`.
    sqlite3_reset(insert_stmt_);
    sqlite3_clear_bindings(insert_stmt_);
    sqlite3_reset(delete_stmt_);
    ok = ok && run(commit_stmt_);
    if (!ok) db_.Exec("ROLLBACK");
  }
  // Queues that got messages, and how many of their waiters to wake; the
  // committers whose work is all done.
  std::vector<std::pair<int32_t, int>> wake;
  std::vector<int32_t> done;
  done.reserve(ops.size());
  {
    Lock lock(this);
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    Header& h = shm_->h;
    std::vector<std::pair<int32_t, int>> published;  // queue, messages
    for (const Op& op : ops) {
      Entry& e = shm_->entries[op.entry];
      if (e.seq != op.seq || (e.pending_op != kInsertInFlight && e.pending_op != kDeleteInFlight)) continue;
      e.pending_op = kNoOp;
      SettleLocked(e, ok, &done);
      if (e.queue < 0 || e.queue >= kMaxQueues) {
        NoteDamageLocked("a committed message names no queue");
        continue;
      }
      QueueSlot& q = shm_->queues[e.queue];
      const bool queue_ok = q.in_use && q.incarnation == e.queue_incarnation;
      if (op.insert == ok && queue_ok) {
        // A committed put, or a get whose delete failed: visible (again).
        e.owner_pid = 0;
        __atomic_store_n(&e.state, kReady, __ATOMIC_RELEASE);
        LinkLocked(op.entry);
        q.depth++;
        BumpWord(&q.futex);
        if (!published.empty() && published.back().first == e.queue) published.back().second++;
        else published.emplace_back(e.queue, 1);
      } else {
        FreeEntryLocked(op.entry);
      }
    }
    *more = h.pending_head >= 0;
    // As a single put does: one plain getter per message when only plain
    // getters wait, everybody when a browse or a selective get waits (only
    // they know what they match). Waking every getter of a busy request
    // queue for each batch would send most of them back to sleep.
    std::sort(published.begin(), published.end());
    for (size_t i = 0; i < published.size(); ++i) {
      int n = published[i].second;
      while (i + 1 < published.size() && published[i + 1].first == published[i].first) n += published[++i].second;
      const QueueSlot& q = shm_->queues[published[i].first];
      const int count = q.special_waiters > 0 ? INT_MAX : std::min(n, q.plain_waiters);
      if (count > 0) wake.emplace_back(published[i].first, count);
    }
  }
  for (const auto& [q, count] : wake) FutexWake(&shm_->queues[q].futex, count);
  for (int32_t t : done) WakeTicket(shm_, t);
  return ok ? KRRC_NONE : KRRC_STORE_ERROR;
}

// Rebuilds every derived structure from the entries after a process died
// holding the mutex: the lists, depths and free lists may be half changed, but
// an entry's state is always either its old or its new value.
void SharedQm::RebuildLocked() {
  Header& h = shm_->h;
  h.entry_high = std::clamp(h.entry_high, 0, kMaxEntries);
  h.chunk_high = std::clamp(h.chunk_high, 0, kMaxChunks);
  for (int q = 0; q < kMaxQueues; ++q) {
    QueueSlot& qs = shm_->queues[q];
    for (int p = 0; p < kPriorities; ++p) qs.head[p] = qs.tail[p] = -1;
    qs.depth = 0;
    qs.uncommitted = 0;
  }
  h.uncommitted = 0;
  std::vector<char> chunk_used(static_cast<size_t>(h.chunk_high), 0);
  std::vector<int32_t> ready;
  h.free_entry = -1;
  for (int32_t i = h.entry_high - 1; i >= 0; --i) {
    Entry& e = shm_->entries[i];
    bool queue_ok = e.queue >= 0 && e.queue < kMaxQueues && shm_->queues[e.queue].in_use &&
                    shm_->queues[e.queue].incarnation == e.queue_incarnation &&
                    e.priority >= 0 && e.priority < kPriorities;
    bool keep = false;
    if (e.pending_op != kNoOp && (e.state == kWriting || e.state == kTaking)) {
      keep = true;  // the group commit finishes it
    } else if (queue_ok && (e.state == kHeld || e.state == kUnitPut)) {
      keep = true;  // its unit's commit or back-out finishes it (or a sweep, its owner dead)
      shm_->queues[e.queue].uncommitted++;
      h.uncommitted++;
    } else if (queue_ok && (e.state == kReady || e.state == kWriting || e.state == kTaking)) {
      bool ours_in_flight = e.state != kReady && IsAlive({e.owner_pid, e.owner_start});
      if (e.state == kReady) {
        keep = true;
      } else if (ours_in_flight) {
        keep = e.persistent != 0;  // non-persistent work never leaves the mutex
      } else if (e.persistent) {
        keep = RowExists(e.seq);  // the database decides
        if (keep) e.state = kReady;
      }
    }
    if (keep && e.first_chunk >= 0) {
      // Its chunk chain must be intact.
      int32_t c = e.first_chunk, n = 0, need = (e.length + kChunkData - 1) / kChunkData;
      bool chain_ok = true;
      while (n < need) {
        if (c < 0 || c >= h.chunk_high || chunk_used[c]) { chain_ok = false; break; }
        chunk_used[c] = 1;
        c = shm_->chunks[c].next;
        ++n;
      }
      if (!chain_ok) {
        if (e.persistent && e.pending_op == kNoOp) {
          e.first_chunk = -1;  // a cached body: the database has it
        } else {
          keep = false;
        }
      }
    }
    if (keep) {
      if (e.state == kReady) ready.push_back(i);
      e.prev = e.next = -1;
    } else {
      SettleLocked(e, false, nullptr);  // its committer is told it failed
      e.pending_op = kNoOp;
      e.state = kFree;
      e.first_chunk = -1;
      e.next = h.free_entry;
      h.free_entry = i;
    }
  }
  h.free_chunk = -1;
  for (int32_t c = h.chunk_high - 1; c >= 0; --c) {
    if (!chunk_used[c]) {
      shm_->chunks[c].next = h.free_chunk;
      h.free_chunk = c;
    }
  }
  std::sort(ready.begin(), ready.end(),
            [&](int32_t a, int32_t b) { return shm_->entries[a].seq < shm_->entries[b].seq; });
  // The pending list, from the entries that wait for a commit (in-flight ones
  // belong to a live leader, or are requeued when the write mutex recovers).
  __atomic_store_n(&h.pending_head, -1, __ATOMIC_SEQ_CST);
  h.pending_tail = -1;
  std::vector<int32_t> pending;
  for (int32_t i = 0; i < h.entry_high; ++i) {
    const Entry& e = shm_->entries[i];
    if (e.state != kFree && (e.pending_op == kInsert || e.pending_op == kDelete)) pending.push_back(i);
  }
  std::sort(pending.begin(), pending.end(),
            [&](int32_t a, int32_t b) { return shm_->entries[a].seq < shm_->entries[b].seq; });
  for (int32_t i : pending) {
    AppendPendingLocked(i, static_cast<PendingOp>(shm_->entries[i].pending_op));
  }
  for (int32_t i : ready) {
    LinkLocked(i);
    shm_->queues[shm_->entries[i].queue].depth++;
  }
  for (int q = 0; q < kMaxQueues; ++q) {
    shm_->queues[q].plain_waiters = 0;
    shm_->queues[q].special_waiters = 0;
    if (shm_->queues[q].in_use) WakeAll(q);  // waiters recount themselves
  }
}

// Checks every structure of the file against what the code that writes it
// (always under the mutex) can leave there: counters and list heads in range,
// queue slots as SlotSound says, each queue's lists walking back and forth
// over ready messages of that queue and priority and adding up to its depth,
// every message of a sound kind with its descriptor, body chunks used once,
// the free and pending lists in range and without cycles, process slots.
std::string SharedQm::ValidateLocked() {
  const Shm& m = *shm_;
  const Header& h = m.h;
  auto is = [](auto&&... parts) {
    std::string s;
    ((s += parts), ...);
    return s;
  };
  auto n = [](int64_t v) { return std::to_string(v); };
  if (h.entry_high < 0 || h.entry_high > kMaxEntries) return is("its message entry count is ", n(h.entry_high));
  if (h.chunk_high < 0 || h.chunk_high > kMaxChunks) return is("its body chunk count is ", n(h.chunk_high));
  const int32_t entries = h.entry_high, chunks = h.chunk_high;
  auto entry_ref = [&](int32_t i) { return i >= -1 && i < entries; };
  if (!entry_ref(h.free_entry) || !entry_ref(h.pending_head) || !entry_ref(h.pending_tail) || h.free_chunk < -1 ||
      h.free_chunk >= chunks)
    return "a list head lies outside its table";
  if (h.ticket_high < 0 || h.ticket_high > kMaxTickets || h.free_ticket < -1 || h.free_ticket >= h.ticket_high)
    return "its commit tickets lie outside their table";
  for (int32_t t = h.free_ticket, steps = 0; t != -1; t = m.tickets[t].next_free)
    if (t < 0 || t >= h.ticket_high || ++steps > h.ticket_high || m.tickets[t].in_use)
      return "the list of free commit tickets is broken";

  int32_t listed = 0;
  for (int q = 0; q < kMaxQueues; ++q) {
    const QueueSlot& s = m.queues[q];
    if (s.in_use == 0) continue;
    if (!SlotSound(s)) return is("queue slot ", n(q), " holds what no queue can");
    int32_t count = 0;
    for (int p = 0; p < kPriorities; ++p) {
      int32_t prev = -1;
      for (int32_t i = s.head[p]; i != -1; i = m.entries[i].next) {
        if (i < 0 || i >= entries || count >= entries) return is("the message list of queue ", SlotName(s), " is broken");
        const Entry& e = m.entries[i];
        if (e.state != kReady || e.queue != q || e.priority != p || e.prev != prev ||
            e.queue_incarnation != s.incarnation)
          return is("the message list of queue ", SlotName(s), " is broken");
        prev = i;
        ++count;
      }
      if (s.tail[p] != prev) return is("the message list of queue ", SlotName(s), " is broken");
    }
    if (count != s.depth) return is("queue ", SlotName(s), " counts ", n(s.depth), " messages but holds ", n(count));
    listed += count;
  }

  std::vector<char> chunk_used(static_cast<size_t>(chunks), 0);
  int32_t ready = 0;
  std::vector<int32_t> held(kMaxQueues, 0);
  int32_t held_total = 0;
  for (int32_t i = 0; i < entries; ++i) {
    const Entry& e = m.entries[i];
    if (e.state < kFree || e.state > kUnitPut) return is("message entry ", n(i), " is in no known state");
    if (e.state == kFree) continue;
    const bool op_ok = e.pending_op == kNoOp || e.pending_op == kInsert || e.pending_op == kDelete ||
                       e.pending_op == kInsertInFlight || e.pending_op == kDeleteInFlight;
    if (!op_ok || e.queue < 0 || e.queue >= kMaxQueues || e.priority < 0 || e.priority >= kPriorities ||
        e.seq >= h.next_seq || !EntryFits(e))
      return is("message entry ", n(i), " holds what no message can");
    if (e.state == kReady) ++ready;
    if (e.state == kHeld || e.state == kUnitPut) {
      if (e.queue_incarnation == m.queues[e.queue].incarnation && m.queues[e.queue].in_use) held[e.queue]++;
      ++held_total;
    }
    if (e.first_chunk == -1) continue;
    int32_t c = e.first_chunk;
    for (int32_t k = 0, need = (e.length + kChunkData - 1) / kChunkData; k < need; ++k) {
      if (c < 0 || c >= chunks || chunk_used[static_cast<size_t>(c)])
        return is("the body of message entry ", n(i), " is broken");
      chunk_used[static_cast<size_t>(c)] = 1;
      c = m.chunks[c].next;
    }
  }
  if (ready != listed) return is(n(ready), " messages are ready but ", n(listed), " are on queues");
  if (held_total != h.uncommitted) return is(n(held_total), " messages are in units of work but ", n(h.uncommitted), " are counted");
  for (int q = 0; q < kMaxQueues; ++q)
    if (m.queues[q].in_use && held[q] != m.queues[q].uncommitted)
      return is("queue ", SlotName(m.queues[q]), " counts ", n(m.queues[q].uncommitted), " messages in units of work but has ", n(held[q]));

  int32_t steps = 0;
  for (int32_t i = h.free_entry; i != -1; i = m.entries[i].next) {
    if (i < 0 || i >= entries || ++steps > entries || m.entries[i].state != kFree)
      return "the list of free message entries is broken";
  }
  steps = 0;
  for (int32_t c = h.free_chunk; c != -1; c = m.chunks[c].next) {
    if (c < 0 || c >= chunks || chunk_used[static_cast<size_t>(c)] || ++steps > chunks)
      return "the list of free body chunks is broken";
    chunk_used[static_cast<size_t>(c)] = 2;
  }
  steps = 0;
  for (int32_t i = h.pending_head; i != -1; i = m.entries[i].pending_next) {
    if (i < 0 || i >= entries || ++steps > entries || m.entries[i].state == kFree ||
        (m.entries[i].pending_op != kInsert && m.entries[i].pending_op != kDelete))
      return "the list of messages waiting for the disk is broken";
  }
  for (int p = 0; p < kMaxProcs; ++p) {
    const ProcSlot& slot = m.procs[p];
    if (slot.in_use != 0 && slot.in_use != 1) return is("process slot ", n(p), " holds garbage");
    if (!slot.in_use) continue;
    for (int32_t opens : slot.opens)
      if (opens < 0) return is("process slot ", n(p), " holds garbage");
  }
  return std::string();
}

// Something a call met cannot be: the file is marked for a rebuild by the
// next attach, in whatever process, and everybody is sent to reconnect.
void SharedQm::NoteDamageLocked(const std::string& what) {
  Header& h = shm_->h;
  if (!__atomic_load_n(&h.damaged, __ATOMIC_ACQUIRE)) {
    std::memset(h.damage_note, 0, sizeof h.damage_note);
    std::memcpy(h.damage_note, what.data(), std::min(what.size(), sizeof h.damage_note - 1));
    __atomic_store_n(&h.damaged, 1u, __ATOMIC_RELEASE);
  }
  __atomic_store_n(&h.deleted, 1u, __ATOMIC_RELEASE);
  for (int q = 0; q < kMaxQueues; ++q) WakeAll(q);
}

// Removes what dead processes left: their temporary dynamic queues, their
// process slots and, with `entries`, their half-done persistent puts and gets.
void SharedQm::SweepLocked(bool entries) {
  std::vector<uint64_t> rows;
  for (int q = 0; q < kMaxQueues; ++q) {
    QueueSlot& qs = shm_->queues[q];
    if (!qs.in_use || qs.kind != static_cast<int32_t>(QueueKind::kTemporaryDynamic)) continue;
    if (IsAlive({qs.owner_pid, qs.owner_start})) continue;
    RemoveQueueMessagesLocked(q, &rows);
    qs.in_use = 0;
    qs.incarnation++;
    for (auto& p : shm_->procs) p.opens[q] = 0;
    WakeAll(q);
  }
  for (auto& p : shm_->procs) {
    if (p.in_use && !IsAlive({p.pid, p.start})) p.in_use = 0;
  }
  if (entries) {
    for (int32_t i = 0; i < std::min(shm_->h.entry_high, kMaxEntries); ++i) {
      Entry& e = shm_->entries[i];
      if ((e.state != kWriting && e.state != kTaking) || !e.persistent || e.pending_op != kNoOp) continue;
      if (IsAlive({e.owner_pid, e.owner_start})) continue;
      if (e.queue < 0 || e.queue >= kMaxQueues) {
        NoteDamageLocked("a message names no queue");
        return;
      }
      QueueSlot& qs = shm_->queues[e.queue];
      if (qs.in_use && qs.incarnation == e.queue_incarnation && RowExists(e.seq)) {
        e.state = kReady;
        LinkLocked(i);
        qs.depth++;
        BumpWord(&qs.futex);
      } else {
        FreeEntryLocked(i);
      }
    }
  }
  (void)rows;  // dynamic queues hold no persistent messages
}

}  // namespace krsoap::queue::embedded
