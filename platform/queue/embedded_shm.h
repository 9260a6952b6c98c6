// The embedded store's shared parts, for the files that implement it: the
// layout of the mapped file (qm.shm), the SQLite wrappers, and SharedQm, the
// per-process state of one attached queue manager. Not an interface: only
// embedded_*.cpp include it.
//
//   embedded_shared.cpp    attaching, building and rebuilding the mapped file,
//                          entry and chunk pools, the message lists
//   embedded_recovery.cpp  group commit, repair after a holder's death, the
//                          damage checks, sweeps of what dead processes left
//   embedded_units.cpp     units of work (syncpoint gets and puts, commit,
//                          back-out, back-out of dead processes' units)
//   embedded_store.cpp     the Store over a SharedQm (definitions, messages)
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "common/trace/trace.h"
#include "platform/files/data_root.h"
#include "platform/sync/futex.h"
#include "platform/queue/embedded_store.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/process_identity.h"
#include "platform/queue/store.h"

namespace krsoap::queue::embedded {

// ---- Layout of the mapped file ----------------------------------------------

constexpr uint64_t kMagic = 0x314d48534d51524bull;  // "KRQMSHM1"
constexpr uint32_t kLayoutVersion = 9;  // 7: units of work, backout queues; 8: commit hand-off word; 9: commit tickets
constexpr int kMaxQueues = 1024;
constexpr int kMaxEntries = 32768;
constexpr int kChunkData = 1020;
constexpr int kMaxChunks = 65536;
constexpr int kMaxProcs = 256;
constexpr int kPriorities = 10;

// kHeld: got within a unit of work, off its queue until commit (gone) or
// back-out (back in its place). kUnitPut: put within a unit of work, on no
// queue until commit (published) or back-out (freed). Both carry the unit
// and its process in `unit` and `owner_*`.
enum EntryState : int32_t { kFree = 0, kWriting = 1, kReady = 2, kTaking = 3, kHeld = 4, kUnitPut = 5 };
// Database work an entry waits for (group commit). Pending ops are on the
// pending list; a committing leader marks the ones it took in flight.
enum PendingOp : int32_t { kNoOp = 0, kInsert = 1, kDelete = 2, kInsertInFlight = 11, kDeleteInFlight = 12 };
// Committers waiting for the disk at once (every one holds at least one
// entry while it waits, so this many cannot run short in practice).
constexpr int kMaxTickets = kMaxEntries;
// How long a committer sleeps on its ticket before it looks at the write
// mutex again: the wake-up of a leader that dies is not sent.
constexpr int64_t kCommitSliceMs = 50;
// Transactions one leader commits in a row while work keeps coming.
constexpr int kLeaderRounds = 4;
// How often the units of dead processes are looked for while units are open.
constexpr int64_t kUnitSweepMs = 100;

struct QueueSlot {
  uint32_t in_use;
  uint32_t incarnation;
  char name[52];
  int32_t kind;
  int32_t default_priority;
  int32_t default_persistence;
  int32_t max_depth;
  int32_t max_length;
  int32_t get_inhibited;
  int32_t put_inhibited;
  int32_t owner_pid;  // temporary dynamic queues: the creating process
  uint64_t owner_start;
  uint64_t owner_store;  // and the Store object in it
  int32_t depth;
  int32_t head[kPriorities];
  int32_t tail[kPriorities];
  uint32_t futex;  // bumped by every put (and by deletion); waiters sleep on it
  int32_t plain_waiters;    // waiting destructive gets without selection
  int32_t special_waiters;  // waiting browses and selective gets
  char backout_queue[52];   // where a server moves poison messages ("": none)
  int32_t backout_threshold;
  int32_t uncommitted;      // its kHeld and kUnitPut entries
};

struct Entry {
  int32_t state;
  int32_t queue;
  uint32_t queue_incarnation;
  int32_t prev;
  int32_t next;
  int32_t priority;
  int32_t persistent;
  int32_t length;
  int32_t first_chunk;
  int32_t owner_pid;  // kWriting / kTaking: who is doing it
  uint64_t owner_start;
  uint64_t seq;
  int64_t expiry_ms;
  int32_t pending_op;
  int32_t pending_next;
  int32_t ticket;  // the committer waiting for pending_op (-1: none)
  uint32_t ticket_generation;
  uint64_t unit;  // kHeld / kUnitPut: the unit of work
  KRMD md;
};

struct Chunk {
  int32_t next;
  char data[kChunkData];
};

// A committer's own record of its group-commit work: the leader that commits
// (or drops) one of its operations writes the outcome here, where only this
// committer reads it, so no later commit can overwrite it. `generation`
// moves on every reuse, so an entry naming a ticket its committer has let go
// (or a dead committer's ticket taken back) no longer reaches it.
struct CommitTicket {
  uint32_t word;       // moves when `remaining` reaches 0; the committer sleeps on it
  int32_t remaining;   // its operations not yet committed or dropped
  int32_t failed;      // one of them was not made durable
  int32_t sleeping;    // the committer may be asleep on `word`
  int32_t in_use;
  int32_t next_free;
  uint32_t generation;
  int32_t owner_pid;
  uint64_t owner_start;
};

struct ProcSlot {
  int32_t in_use;
  int32_t pid;
  uint64_t start;
  int32_t opens[kMaxQueues];
};

struct Header {
  uint64_t magic;
  uint32_t layout_version;
  uint32_t deleted;  // the queue manager was deleted or the file replaced: reconnect
  uint32_t damaged;  // a call found the file damaged: the next attach rebuilds it
  char damage_note[124];  // what that call found
  char boot_id[64];
  pthread_mutex_t mutex;
  // Taken around every SQLite write transaction: hands the database's write
  // lock from process to process at once, instead of SQLite's busy handler,
  // which polls with sleeps and starves some writers under contention.
  pthread_mutex_t write_mutex;
  uint64_t next_seq;
  uint64_t next_dynamic;
  uint64_t next_store_id;
  int32_t free_entry;
  int32_t entry_high;  // entries at or above this index were never used
  int32_t free_chunk;
  int32_t chunk_high;
  // Group commit: persistent puts and gets queue their database work here;
  // whoever takes the write mutex first commits everybody's in one
  // transaction (one disk flush), and tells each committer on its ticket.
  int32_t pending_head;
  int32_t pending_tail;
  int32_t lead_ticket;  // the committer of the first pending operation
  int32_t free_ticket;
  int32_t ticket_high;  // tickets at or above this index were never used
  // Units of work: ids, every kHeld and kUnitPut entry, and when the units
  // of dead processes may be looked for again (SweepDeadUnits).
  uint64_t next_unit;
  int32_t uncommitted;
  int64_t unit_sweep_ms;
};

struct Shm {
  Header h;
  QueueSlot queues[kMaxQueues];
  ProcSlot procs[kMaxProcs];
  Entry entries[kMaxEntries];
  CommitTicket tickets[kMaxTickets];
  Chunk chunks[kMaxChunks];
};

// ---- Small helpers -------------------------------------------------------------

using platform::BumpWord;
using platform::FutexWait;
using platform::FutexWake;
using platform::LoadWord;
using platform::WatchThenFutexWait;

inline std::string SlotName(const QueueSlot& q) { return std::string(q.name, strnlen(q.name, sizeof q.name)); }

inline QueueAttributes AttributesOf(const QueueSlot& q) {
  QueueAttributes a;
  a.name = SlotName(q);
  a.kind = static_cast<QueueKind>(q.kind);
  a.default_priority = q.default_priority;
  a.default_persistence = q.default_persistence;
  a.max_depth = q.max_depth;
  a.max_message_length = q.max_length;
  a.get_inhibited = q.get_inhibited != 0;
  a.put_inhibited = q.put_inhibited != 0;
  a.backout_queue.assign(q.backout_queue, strnlen(q.backout_queue, sizeof q.backout_queue));
  a.backout_threshold = q.backout_threshold;
  return a;
}

inline void FillSlot(QueueSlot* q, const QueueAttributes& a) {
  std::memset(q->name, 0, sizeof q->name);
  std::memcpy(q->name, a.name.data(), std::min(a.name.size(), size_t{48}));
  q->kind = static_cast<int32_t>(a.kind);
  q->default_priority = a.default_priority;
  q->default_persistence = a.default_persistence;
  q->max_depth = a.max_depth;
  q->max_length = a.max_message_length;
  q->get_inhibited = a.get_inhibited;
  q->put_inhibited = a.put_inhibited;
  std::memset(q->backout_queue, 0, sizeof q->backout_queue);
  std::memcpy(q->backout_queue, a.backout_queue.data(), std::min(a.backout_queue.size(), size_t{48}));
  q->backout_threshold = a.backout_threshold;
}

// Whether a queue slot in use holds what this code writes there. Bytes
// written into the file by anything else would otherwise show as a queue.
inline bool BackoutQueueSound(const QueueSlot& q) {
  // Most queues name none: all zeros, checked at the cost of one compare
  // (this runs on the way of every call that names a queue).
  static const char kNone[sizeof q.backout_queue] = {};
  if (q.backout_queue[0] == 0) return std::memcmp(q.backout_queue, kNone, sizeof kNone) == 0;
  const size_t len = strnlen(q.backout_queue, sizeof q.backout_queue);
  if (len > KR_Q_NAME_LENGTH || (len > 0 && CheckQueueName(std::string_view(q.backout_queue, len)) != KRRC_NONE))
    return false;
  for (size_t i = len; i < sizeof q.backout_queue; ++i)
    if (q.backout_queue[i]) return false;
  return true;
}

inline bool SlotSound(const QueueSlot& q) {
  if (q.in_use != 1) return false;
  const size_t len = strnlen(q.name, sizeof q.name);
  if (len > KR_Q_NAME_LENGTH || CheckQueueName(std::string_view(q.name, len)) != KRRC_NONE) return false;
  for (size_t i = len; i < sizeof q.name; ++i)
    if (q.name[i]) return false;
  return q.kind >= static_cast<int32_t>(QueueKind::kLocal) &&
         q.kind <= static_cast<int32_t>(QueueKind::kTemporaryDynamic) && q.default_priority >= 0 &&
         q.default_priority < kPriorities && (q.default_persistence == 0 || q.default_persistence == 1) &&
         q.max_depth >= 1 && q.max_length >= 0 && (q.get_inhibited == 0 || q.get_inhibited == 1) &&
         (q.put_inhibited == 0 || q.put_inhibited == 1) && q.depth >= 0 && q.depth <= kMaxEntries &&
         q.plain_waiters >= 0 && q.special_waiters >= 0 && BackoutQueueSound(q) && q.backout_threshold >= 0 &&
         q.uncommitted >= 0 && q.uncommitted <= kMaxEntries;
}

// Whether a stored descriptor is one a put leaves with an entry of this
// priority and persistence (the put works them out from it).
inline bool DescriptorFits(const KRMD& md, int32_t priority, int32_t persistent) {
  return std::memcmp(md.StrucId, KRMD_STRUC_ID, 4) == 0 && md.Version >= KRMD_VERSION_1 &&
         std::clamp(md.Priority, 0, kPriorities - 1) == priority &&
         (md.Persistence == KRPER_PERSISTENT) == (persistent == 1);
}

// Whether the header's flags and texts are what this code writes: flags 0
// or 1, texts of printable characters padded with zeros. (A boot id that is
// not one would pass for a file from before the last boot.)
inline bool HeaderSound(const Header& h) {
  auto text_ok = [](const char* p, size_t size) {
    const size_t len = strnlen(p, size);
    if (len == size) return false;
    for (size_t i = 0; i < size; ++i) {
      const unsigned char c = static_cast<unsigned char>(p[i]);
      if (i < len ? (c < 0x20 || c > 0x7E) : c != 0) return false;
    }
    return true;
  };
  return h.deleted <= 1 && h.damaged <= 1 && text_ok(h.damage_note, sizeof h.damage_note) &&
         text_ok(h.boot_id, sizeof h.boot_id) && h.boot_id[0] != 0;
}

// Whether a process-shared mutex in the file is one this code set up (its
// kind) and, when held, held by a thread that exists. Bytes written over it
// would otherwise make the next locker wait for ever. (The kernel marks a
// robust mutex whose holder died; a dead holder without the mark is garbage.)
inline bool MutexSound(const pthread_mutex_t& m) {
  static const int kind = [] {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_t reference;
    pthread_mutex_init(&reference, &attr);
    const int k = reference.__data.__kind;
    pthread_mutex_destroy(&reference);
    pthread_mutexattr_destroy(&attr);
    return k;
  }();
  if (__atomic_load_n(&m.__data.__kind, __ATOMIC_RELAXED) != kind) return false;
  const int word = __atomic_load_n(&m.__data.__lock, __ATOMIC_ACQUIRE);
  const int tid = word & FUTEX_TID_MASK;
  if (tid == 0 || (word & FUTEX_OWNER_DIED)) return true;
  if (::kill(tid, 0) == 0 || errno != ESRCH) return true;
  return __atomic_load_n(&m.__data.__lock, __ATOMIC_ACQUIRE) != word;  // moved on meanwhile: alive after all
}

inline bool Matches(const Entry& e, const GetRequest& r) {
  if (r.match_msg_id && std::memcmp(e.md.MsgId, r.msg_id, KR_MSG_ID_LENGTH) != 0) return false;
  if (r.match_correl_id && std::memcmp(e.md.CorrelId, r.correl_id, KR_CORREL_ID_LENGTH) != 0)
    return false;
  return true;
}

// ---- SQLite -------------------------------------------------------------------

class Db {
 public:
  ~Db() {
    if (db_) sqlite3_close_v2(db_);
  }
  // Opens (with `create`, makes) the database, and brings one written by an
  // earlier version up to this one's tables.
  int32_t Open(const std::string& path, bool create);
  bool Exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
  sqlite3* get() { return db_; }

 private:
  bool Upgrade();
  sqlite3* db_ = nullptr;
};

// A prepared statement, finalized on scope exit.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) == SQLITE_OK; }
  ~Stmt() { sqlite3_finalize(st_); }
  bool ok() const { return ok_; }
  sqlite3_stmt* operator*() { return st_; }

 private:
  sqlite3_stmt* st_ = nullptr;
  bool ok_ = false;
};
// ---- The per-process state of one queue manager --------------------------------

class SharedQm {
 public:
  ~SharedQm() {
    sqlite3_finalize(insert_stmt_);
    sqlite3_finalize(delete_stmt_);
    sqlite3_finalize(begin_stmt_);
    sqlite3_finalize(commit_stmt_);
    if (shm_) ::munmap(shm_, sizeof(Shm));
    if (fd_ >= 0) ::close(fd_);
  }

  static int32_t Attach(const std::string& name, bool create, std::shared_ptr<SharedQm>* out);

  const std::string& name() const { return name_; }
  bool Deleted() const { return __atomic_load_n(&shm_->h.deleted, __ATOMIC_ACQUIRE) != 0; }

  // A holder keeps the mapped file's mutex for a microsecond or two, so a
  // locker that finds it taken tries again for about that long before it
  // sleeps: sleeping and being woken cost a system call on each side and a
  // context switch, several times the wait. Not longer, since on a busy
  // machine the holder may have lost its core. Returns as pthread_mutex_lock.
  static int LockBriefly(pthread_mutex_t* m) {
    for (int i = 0; i < 16; ++i) {
      const int rc = pthread_mutex_trylock(m);
      if (rc != EBUSY) return rc;  // taken, its owner dead, or broken
      for (int j = 0; j < 16; ++j) platform::CpuRelax();
    }
    return pthread_mutex_lock(m);
  }

  // The mutex, with recovery after a holder's death.
  class Lock {
   public:
    explicit Lock(SharedQm* qm) : qm_(qm) {
      int rc = LockBriefly(&qm_->shm_->h.mutex);
      if (rc == EOWNERDEAD) {
        qm_->RebuildLocked();
        const std::string bad = qm_->ValidateLocked();
        if (!bad.empty()) qm_->NoteDamageLocked(bad);
        pthread_mutex_consistent(&qm_->shm_->h.mutex);
        rc = 0;
      }
      ok_ = rc == 0;
    }
    ~Lock() {
      if (ok_) pthread_mutex_unlock(&qm_->shm_->h.mutex);
    }
    void Unlock() {
      if (ok_) pthread_mutex_unlock(&qm_->shm_->h.mutex);
      ok_ = false;
    }
    void Relock() {
      Lock again(qm_);
      ok_ = again.ok_;
      again.ok_ = false;
    }
    bool ok() const { return ok_; }

   private:
    SharedQm* qm_;
    bool ok_ = false;
  };

  // Serialises SQLite writers across processes. A holder that died left
  // nothing to repair here: SQLite rolls its transaction back itself.
  // With `wait` false it only tries: busy() when another holds it.
  class WriteLock {
   public:
    explicit WriteLock(SharedQm* qm, bool wait = true) : qm_(qm) {
      int rc = wait ? pthread_mutex_lock(&qm_->shm_->h.write_mutex) : pthread_mutex_trylock(&qm_->shm_->h.write_mutex);
      if (rc == EBUSY && !wait) {
        busy_ = true;
        return;
      }
      if (rc == EOWNERDEAD) {
        // A committing leader may have died: its work goes back on the
        // pending list (inserts and deletes are idempotent).
        qm_->RequeueInFlight();
        pthread_mutex_consistent(&qm_->shm_->h.write_mutex);
        rc = 0;
      }
      ok_ = rc == 0;
      // A file that was replaced (or deleted) takes no more database work:
      // its successor was built from the database as it stood then.
      if (ok_ && qm_->Deleted()) {
        ReleaseWriteMutex(qm_->shm_);
        ok_ = false;
      }
    }
    bool ok() const { return ok_; }
    bool busy() const { return busy_; }
    ~WriteLock() {
      if (ok_) ReleaseWriteMutex(qm_->shm_);
    }

   private:
    SharedQm* qm_;
    bool ok_ = false;
    bool busy_ = false;
  };
  // Lets the write mutex go. Work still pending needs a leader: the
  // committer of the first pending operation is woken to lead (it may be
  // asleep on its ticket). Looked at after the unlock: a committer that
  // queued work and then found the mutex held is sure to be seen here. The
  // head and its ticket are read without the mutex; a stale pick only wakes
  // a committer that goes back to sleep (and sleepers look every
  // kCommitSliceMs anyway).
  static void ReleaseWriteMutex(Shm* shm) {
    pthread_mutex_unlock(&shm->h.write_mutex);
    if (__atomic_load_n(&shm->h.pending_head, __ATOMIC_SEQ_CST) < 0) return;
    const int32_t t = __atomic_load_n(&shm->h.lead_ticket, __ATOMIC_SEQ_CST);
    if (t < 0 || t >= kMaxTickets) return;
    __atomic_add_fetch(&shm->tickets[t].word, 1, __ATOMIC_SEQ_CST);
    FutexWake(&shm->tickets[t].word, 1);
  }
  // Every committer of a file that is being given up looks again.
  static void WakeAllCommitters(Shm* shm) {
    const int32_t high = std::clamp(__atomic_load_n(&shm->h.ticket_high, __ATOMIC_RELAXED), 0, kMaxTickets);
    for (int32_t t = 0; t < high; ++t) {
      __atomic_add_fetch(&shm->tickets[t].word, 1, __ATOMIC_SEQ_CST);
      FutexWake(&shm->tickets[t].word, INT_MAX);
    }
  }

  Shm* shm() { return shm_; }
  sqlite3* db() { return db_.get(); }

  int32_t ProcSlotLocked();
  void SweepLocked(bool entries);
  void RebuildLocked();
  int32_t FindQueueLocked(const std::string& name);
  uint64_t NewStoreId() {
    Lock lock(this);
    return ++shm_->h.next_store_id;
  }
  bool RowExists(uint64_t seq);
  // Group commit (see Header). A committer takes a ticket, joins each of
  // its entries to it and queues their work, then waits on the ticket.
  int32_t NewTicketLocked();  // -1: none free
  void JoinTicketLocked(int32_t e, int32_t ticket);
  void AppendPendingLocked(int32_t e, PendingOp op);
  void RequeueInFlight();
  // Returns once all of the ticket's work is on disk (KRRC_NONE) or some of
  // it failed (KRRC_STORE_ERROR), and gives the ticket back.
  int32_t AwaitCommit(int32_t ticket);

  // Entry and chunk pools.
  int32_t AllocEntryLocked();
  void FreeEntryLocked(int32_t i);
  int32_t AllocChunksLocked(int32_t length);  // -1 when the pool is exhausted
  void FreeChunksLocked(int32_t first);
  void LinkLocked(int32_t i);    // into its queue's list, ordered by seq
  void UnlinkLocked(int32_t i);  // from its queue's list
  void RemoveQueueMessagesLocked(int32_t q, std::vector<uint64_t>* persistent_rows);
  bool DeleteRows(const std::vector<uint64_t>& seqs);  // false: the file was replaced meanwhile
  void WakeAll(int32_t q) {
    BumpWord(&shm_->queues[q].futex);
    FutexWake(&shm_->queues[q].futex, INT_MAX);
  }

  // Damage. ValidateLocked checks every structure of the file and returns
  // what is wrong ("" when nothing is); NoteDamageLocked marks the file for a
  // rebuild by the next attach and sends everybody to reconnect. Calls then
  // answer KRRC_Q_MGR_NOT_AVAILABLE, as for a deleted queue manager.
  std::string ValidateLocked();
  void NoteDamageLocked(const std::string& what);
  bool EntryIndexOk(int32_t i) const { return i >= 0 && i < kMaxEntries && i < shm_->h.entry_high; }
  bool ChunkIndexOk(int32_t c) const { return c >= 0 && c < kMaxChunks && c < shm_->h.chunk_high; }
  // SlotSound for queue slot `q`, in use; when it is not, the file is marked.
  bool SlotSoundLocked(int32_t q) {
    if (SlotSound(shm_->queues[q])) return true;
    NoteDamageLocked("queue slot " + std::to_string(q) + " holds what no queue can");
    return false;
  }
  // Whether a message entry's own fields hold together: a length, a
  // persistence flag and a descriptor a put leaves, and a body where the
  // entry says (a non-persistent one always in the file).
  bool EntryFits(const Entry& e) const {
    if (e.length < 0 || (e.persistent != 0 && e.persistent != 1) || !DescriptorFits(e.md, e.priority, e.persistent))
      return false;
    if (e.first_chunk == -1) return e.persistent || e.length == 0;
    return ChunkIndexOk(e.first_chunk) && e.length <= kMaxChunks * kChunkData;
  }
  // Copies the first min(length, limit) bytes of a body kept in the file
  // into `dst`; false when its chain of chunks ends before them.
  bool CopyBodyLocked(const Entry& e, char* dst, int32_t limit) const {
    int32_t left = std::min(e.length, limit);
    for (int32_t c = e.first_chunk; left > 0 && ChunkIndexOk(c); c = shm_->chunks[c].next) {
      const int32_t n = std::min(left, kChunkData);
      std::memcpy(dst, shm_->chunks[c].data, static_cast<size_t>(n));
      dst += n;
      left -= n;
    }
    return left <= 0;
  }
  // The answer for a queue name not found: the file may have been found
  // damaged on the way.
  int32_t MissingQueue() const { return Deleted() ? KRRC_Q_MGR_NOT_AVAILABLE : KRRC_UNKNOWN_OBJECT_NAME; }

  // ---- Units of work (embedded_units.cpp) ----------------------------------
  // A new unit id, unique in this file.
  uint64_t NewUnitId() {
    Lock lock(this);
    return ++shm_->h.next_unit;
  }
  // Takes entry e (ready, on queue q, unlinked by the caller) into `unit`,
  // or counts a new kUnitPut entry, for this process.
  void HoldLocked(int32_t e, uint64_t unit, EntryState state);
  // Ends entry e's part in its unit (counts, unit, owner); the caller frees,
  // publishes or commits it.
  void DropUncommittedLocked(int32_t e);
  // Commit: gets gone for good, puts visible, persistent work in one group
  // commit; KRRC_BACKED_OUT when that commit failed (the unit is then backed
  // out). Back-out: gets back in their places with their backout count one
  // higher (persisted for persistent messages), puts discarded.
  int32_t CommitUnit(uint64_t unit);
  int32_t BackoutUnit(uint64_t unit);
  // Backs out the units of processes that died (any kind of death). Cheap
  // when no unit is open; otherwise at most one look per kUnitSweepMs for
  // all the processes together, unless `now`.
  void SweepDeadUnits(bool now);
  bool UnitSweepDueLocked() const {
    return shm_->h.uncommitted > 0 && WallClockMs() >= shm_->h.unit_sweep_ms;
  }

 private:
  // KRRC_NONE when all of the ticket's work is committed, KRRC_STORE_ERROR
  // when some failed, -1 while some waits. Read without the mutex.
  int32_t TicketOutcome(int32_t ticket) const {
    const CommitTicket& t = shm_->tickets[ticket];
    if (__atomic_load_n(&t.remaining, __ATOMIC_ACQUIRE) > 0) return -1;
    return __atomic_load_n(&t.failed, __ATOMIC_RELAXED) ? KRRC_STORE_ERROR : KRRC_NONE;
  }
  // Writes the outcome of entry e's database work on its committer's ticket;
  // a ticket whose work is all done goes on `wake` (or is woken at once).
  void SettleLocked(Entry& e, bool ok, std::vector<int32_t>* wake);
  static void WakeTicket(Shm* shm, int32_t ticket) {
    CommitTicket& t = shm->tickets[ticket];
    if (__atomic_load_n(&t.sleeping, __ATOMIC_SEQ_CST)) FutexWake(&t.word, INT_MAX);
  }
  void FreeTicket(int32_t ticket);
  void FreeTicketLocked(int32_t ticket);
  // Commits everything pending, the ticket's work among it, in one
  // transaction or a few in a row; the caller holds the write mutex.
  int32_t LeadCommit(int32_t ticket);
  // One transaction of everything pending; `more`: work came meanwhile.
  int32_t CommitRound(bool* more);
  // The group commit's statements, prepared once per process (used under
  // the write mutex only).
  sqlite3_stmt* insert_stmt_ = nullptr;
  sqlite3_stmt* delete_stmt_ = nullptr;
  sqlite3_stmt* begin_stmt_ = nullptr;
  sqlite3_stmt* commit_stmt_ = nullptr;
  int32_t MapShared();
  int32_t Rebuild(Shm* old, bool live, const std::string& boot, const std::string& why);
  int32_t InitLocked(const std::string& boot, int32_t* kept);  // under the file lock
  // Backs out the units that `pick` chooses among kHeld / kUnitPut entries.
  template <class Pick>
  int32_t BackOut(const std::vector<int32_t>* only, Pick pick);
  void ReturnHeldLocked(int32_t e, std::vector<int32_t>* wake);
  // Takes this process's record of a unit's entries; false when it has none.
  bool TakeUnitEntries(uint64_t unit, std::vector<int32_t>* entries);

  std::string name_;
  std::string dir_;
  Db db_;
  int fd_ = -1;
  Shm* shm_ = nullptr;
  int32_t proc_slot_ = -1;
  int32_t proc_pid_ = 0;
  // The entries of each open unit of work of this process (HoldLocked).
  std::mutex units_mu_;
  std::map<uint64_t, std::vector<int32_t>> units_;
};

// The directory of queue manager `name`, and the SharedQm of each directory
// this process has attached (under g_attach_mu).
std::string QmDir(const std::string& name);
extern std::mutex g_attach_mu;
std::map<std::string, std::weak_ptr<SharedQm>>& Attached();

}  // namespace krsoap::queue::embedded
