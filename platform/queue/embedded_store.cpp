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
// boot (non-persistent messages do not survive a machine restart).
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
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "platform/files/data_root.h"
#include "platform/queue/embedded_store.h"
#include "platform/queue/process_identity.h"
#include "platform/queue/store.h"

namespace krsoap::queue {
namespace {

// ---- Layout of the mapped file ----------------------------------------------

constexpr uint64_t kMagic = 0x314d48534d51524bull;  // "KRQMSHM1"
constexpr uint32_t kLayoutVersion = 5;
constexpr int kMaxQueues = 1024;
constexpr int kMaxEntries = 32768;
constexpr int kChunkData = 1020;
constexpr int kMaxChunks = 65536;
constexpr int kMaxProcs = 256;
constexpr int kPriorities = 10;

enum EntryState : int32_t { kFree = 0, kWriting = 1, kReady = 2, kTaking = 3 };
// Database work an entry waits for (group commit). Pending ops are on the
// pending list; a committing leader marks the ones it took in flight.
enum PendingOp : int32_t { kNoOp = 0, kInsert = 1, kDelete = 2, kInsertInFlight = 11, kDeleteInFlight = 12 };
constexpr int kFailedRing = 64;

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
  uint64_t batch;
  KRMD md;
};

struct Chunk {
  int32_t next;
  char data[kChunkData];
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
  uint32_t deleted;  // the queue manager was deleted; reconnect
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
  // transaction (one disk flush), and the others find their batch durable.
  int32_t pending_head;
  int32_t pending_tail;
  uint64_t open_batch;     // the batch new work joins
  uint64_t durable_batch;  // every batch up to this one is committed
  uint64_t failed_batches[kFailedRing];
};

struct Shm {
  Header h;
  QueueSlot queues[kMaxQueues];
  ProcSlot procs[kMaxProcs];
  Entry entries[kMaxEntries];
  Chunk chunks[kMaxChunks];
};

// ---- Small helpers -------------------------------------------------------------

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void FutexWait(uint32_t* word, uint32_t expected, int64_t timeout_ms) {
  if (timeout_ms < 0) {
    ::syscall(SYS_futex, word, FUTEX_WAIT, expected, nullptr, nullptr, 0);
    return;
  }
  timespec ts{static_cast<time_t>(timeout_ms / 1000), static_cast<long>((timeout_ms % 1000) * 1000000)};
  ::syscall(SYS_futex, word, FUTEX_WAIT, expected, &ts, nullptr, 0);
}

void FutexWake(uint32_t* word, int count) { ::syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0); }

// Relaxed atomic access to the futex word: other processes change it.
uint32_t LoadWord(uint32_t* w) { return __atomic_load_n(w, __ATOMIC_ACQUIRE); }
void BumpWord(uint32_t* w) { __atomic_add_fetch(w, 1, __ATOMIC_RELEASE); }

std::string SlotName(const QueueSlot& q) { return std::string(q.name, strnlen(q.name, sizeof q.name)); }

QueueAttributes AttributesOf(const QueueSlot& q) {
  QueueAttributes a;
  a.name = SlotName(q);
  a.kind = static_cast<QueueKind>(q.kind);
  a.default_priority = q.default_priority;
  a.default_persistence = q.default_persistence;
  a.max_depth = q.max_depth;
  a.max_message_length = q.max_length;
  a.get_inhibited = q.get_inhibited != 0;
  a.put_inhibited = q.put_inhibited != 0;
  return a;
}

void FillSlot(QueueSlot* q, const QueueAttributes& a) {
  std::memset(q->name, 0, sizeof q->name);
  std::memcpy(q->name, a.name.data(), std::min(a.name.size(), size_t{48}));
  q->kind = static_cast<int32_t>(a.kind);
  q->default_priority = a.default_priority;
  q->default_persistence = a.default_persistence;
  q->max_depth = a.max_depth;
  q->max_length = a.max_message_length;
  q->get_inhibited = a.get_inhibited;
  q->put_inhibited = a.put_inhibited;
}

bool Matches(const Entry& e, const GetRequest& r) {
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
  int32_t Open(const std::string& path, bool create) {
    if (create) {
      int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd < 0) return KRRC_Q_MGR_NOT_AVAILABLE;
      ::close(fd);
    }
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) return KRRC_Q_MGR_NOT_AVAILABLE;
    sqlite3_busy_timeout(db_, 10000);
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=FULL")) return KRRC_Q_MGR_NOT_AVAILABLE;
    if (create) {
      if (!Exec("CREATE TABLE IF NOT EXISTS queues(name TEXT PRIMARY KEY, kind INT, "
                "def_priority INT, def_persistence INT, max_depth INT, max_length INT, "
                "get_inhibited INT, put_inhibited INT)") ||
          !Exec("CREATE TABLE IF NOT EXISTS messages(seq INTEGER PRIMARY KEY, queue TEXT, "
                "md BLOB, body BLOB, expiry INT)") ||
          !Exec("INSERT OR IGNORE INTO queues VALUES('SYSTEM.DEFAULT.MODEL.QUEUE',2,0,0,5000," +
                std::to_string(4 * 1024 * 1024) + ",0,0)"))
        return KRRC_Q_MGR_NOT_AVAILABLE;
    }
    // A database that is not ours (or corrupt) fails here.
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM queues", -1, &st, nullptr) != SQLITE_OK) {
      sqlite3_finalize(st);
      return KRRC_Q_MGR_NOT_AVAILABLE;
    }
    int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    return rc == SQLITE_ROW ? KRRC_NONE : KRRC_Q_MGR_NOT_AVAILABLE;
  }
  bool Exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
  sqlite3* get() { return db_; }

 private:
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

}  // namespace

// ---- The per-process state of one queue manager --------------------------------

class SharedQm {
 public:
  ~SharedQm() {
    if (shm_) ::munmap(shm_, sizeof(Shm));
    if (fd_ >= 0) ::close(fd_);
  }

  static int32_t Attach(const std::string& name, bool create, std::shared_ptr<SharedQm>* out);

  const std::string& name() const { return name_; }
  bool Deleted() const { return __atomic_load_n(&shm_->h.deleted, __ATOMIC_ACQUIRE) != 0; }

  // The mutex, with recovery after a holder's death.
  class Lock {
   public:
    explicit Lock(SharedQm* qm) : qm_(qm) {
      int rc = pthread_mutex_lock(&qm_->shm_->h.mutex);
      if (rc == EOWNERDEAD) {
        qm_->RebuildLocked();
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
  class WriteLock {
   public:
    explicit WriteLock(SharedQm* qm) : qm_(qm) {
      int rc = pthread_mutex_lock(&qm_->shm_->h.write_mutex);
      if (rc == EOWNERDEAD) {
        // A committing leader may have died: its work goes back on the
        // pending list (inserts and deletes are idempotent).
        qm_->RequeueInFlight();
        pthread_mutex_consistent(&qm_->shm_->h.write_mutex);
        rc = 0;
      }
      ok_ = rc == 0;
    }
    bool ok() const { return ok_; }
    ~WriteLock() {
      if (ok_) pthread_mutex_unlock(&qm_->shm_->h.write_mutex);
    }

   private:
    SharedQm* qm_;
    bool ok_ = false;
  };

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
  // Group commit (see Header).
  void AppendPendingLocked(int32_t e, PendingOp op);
  void RequeueInFlight();
  int32_t CommitBatch(uint64_t batch);

  // Entry and chunk pools.
  int32_t AllocEntryLocked();
  void FreeEntryLocked(int32_t i);
  int32_t AllocChunksLocked(int32_t length);  // -1 when the pool is exhausted
  void FreeChunksLocked(int32_t first);
  void LinkLocked(int32_t i);    // into its queue's list, ordered by seq
  void UnlinkLocked(int32_t i);  // from its queue's list
  void RemoveQueueMessagesLocked(int32_t q, std::vector<uint64_t>* persistent_rows);
  void DeleteRows(const std::vector<uint64_t>& seqs);
  void WakeAll(int32_t q) {
    BumpWord(&shm_->queues[q].futex);
    FutexWake(&shm_->queues[q].futex, INT_MAX);
  }

 private:
  int32_t InitLocked(const std::string& boot);  // under the file lock

  std::string name_;
  std::string dir_;
  Db db_;
  int fd_ = -1;
  Shm* shm_ = nullptr;
  int32_t proc_slot_ = -1;
  int32_t proc_pid_ = 0;
};

namespace {

std::mutex g_attach_mu;
std::map<std::string, std::weak_ptr<SharedQm>>& Attached() {
  static auto* m = new std::map<std::string, std::weak_ptr<SharedQm>>();
  return *m;
}

std::string QmDir(const std::string& name) { return platform::DataRoot() + "/qm/" + name; }

int MkdirPrivate(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) return 0;
  if (errno != EEXIST) return errno;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;  // a symbolic link or a file: refuse
  return 0;
}

}  // namespace

int32_t SharedQm::Attach(const std::string& name, bool create, std::shared_ptr<SharedQm>* out) {
  std::lock_guard<std::mutex> guard(g_attach_mu);
  const std::string dir = QmDir(name);
  auto it = Attached().find(dir);
  if (it != Attached().end()) {
    if (auto existing = it->second.lock()) {
      if (!existing->Deleted() && existing->proc_pid_ == SelfIdentity().pid) {
        *out = existing;
        return KRRC_NONE;
      }
    }
  }
  auto qm = std::shared_ptr<SharedQm>(new SharedQm());
  qm->name_ = name;
  qm->dir_ = dir;
  if (create) {
    if (platform::EnsureDataRoot() != 0) return KRRC_Q_MGR_NOT_AVAILABLE;
    if (MkdirPrivate(platform::DataRoot() + "/qm") != 0 || MkdirPrivate(dir) != 0)
      return KRRC_Q_MGR_NOT_AVAILABLE;
  } else {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return KRRC_Q_MGR_NOT_AVAILABLE;
    if (::lstat((dir + "/qm.db").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return KRRC_Q_MGR_NOT_AVAILABLE;
  }
  if (int32_t rc = qm->db_.Open(dir + "/qm.db", create)) return rc;
  qm->fd_ = ::open((dir + "/qm.shm").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (qm->fd_ < 0) return KRRC_Q_MGR_NOT_AVAILABLE;
  if (::flock(qm->fd_, LOCK_EX) != 0) return KRRC_Q_MGR_NOT_AVAILABLE;
  const std::string boot = BootId();
  struct stat st {};
  bool valid = false;
  if (::fstat(qm->fd_, &st) == 0 && st.st_size == static_cast<off_t>(sizeof(Shm))) {
    void* p = ::mmap(nullptr, sizeof(Shm), PROT_READ | PROT_WRITE, MAP_SHARED, qm->fd_, 0);
    if (p != MAP_FAILED) {
      qm->shm_ = static_cast<Shm*>(p);
      const Header& h = qm->shm_->h;
      valid = h.magic == kMagic && h.layout_version == kLayoutVersion && h.deleted == 0 &&
              strncmp(h.boot_id, boot.c_str(), sizeof h.boot_id) == 0;
    }
  }
  int32_t rc = KRRC_NONE;
  if (!valid) rc = qm->InitLocked(boot);
  ::flock(qm->fd_, LOCK_UN);
  if (rc) return rc;
  {
    Lock lock(qm.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    qm->SweepLocked(true);
    if (int32_t prc = qm->ProcSlotLocked(); prc < 0) return KRRC_RESOURCE_PROBLEM;
  }
  Attached()[dir] = qm;
  *out = qm;
  return KRRC_NONE;
}

int32_t SharedQm::InitLocked(const std::string& boot) {
  if (shm_) {
    ::munmap(shm_, sizeof(Shm));
    shm_ = nullptr;
  }
  // A fresh, all-zero (sparse) file of the layout's size.
  if (::ftruncate(fd_, 0) != 0 || ::ftruncate(fd_, sizeof(Shm)) != 0) return KRRC_Q_MGR_NOT_AVAILABLE;
  void* p = ::mmap(nullptr, sizeof(Shm), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) return KRRC_Q_MGR_NOT_AVAILABLE;
  shm_ = static_cast<Shm*>(p);
  Header& h = shm_->h;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&h.mutex, &attr);
  pthread_mutex_init(&h.write_mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  std::strncpy(h.boot_id, boot.c_str(), sizeof h.boot_id - 1);
  h.free_entry = -1;
  h.free_chunk = -1;
  h.pending_head = h.pending_tail = -1;
  h.open_batch = 1;
  std::random_device rd;
  h.next_dynamic = (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ static_cast<uint64_t>(NowMs());

  // Queues from the database.
  {
    Stmt st(db(), "SELECT name, kind, def_priority, def_persistence, max_depth, max_length, "
                  "get_inhibited, put_inhibited FROM queues");
    if (!st.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    int n = 0;
    while (sqlite3_step(*st) == SQLITE_ROW && n < kMaxQueues) {
      QueueSlot& q = shm_->queues[n++];
      QueueAttributes a;
      const char* nm = reinterpret_cast<const char*>(sqlite3_column_text(*st, 0));
      a.name = nm ? nm : "";
      a.kind = static_cast<QueueKind>(sqlite3_column_int(*st, 1));
      a.default_priority = sqlite3_column_int(*st, 2);
      a.default_persistence = sqlite3_column_int(*st, 3);
      a.max_depth = sqlite3_column_int(*st, 4);
      a.max_message_length = sqlite3_column_int(*st, 5);
      a.get_inhibited = sqlite3_column_int(*st, 6) != 0;
      a.put_inhibited = sqlite3_column_int(*st, 7) != 0;
      FillSlot(&q, a);
      q.in_use = 1;
      q.incarnation = 1;
      for (int p2 = 0; p2 < kPriorities; ++p2) q.head[p2] = q.tail[p2] = -1;
    }
  }
  // Persistent messages, in put order.
  {
    Stmt st(db(), "SELECT seq, queue, md, length(body), expiry FROM messages ORDER BY seq");
    if (!st.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    uint64_t max_seq = 0;
    while (sqlite3_step(*st) == SQLITE_ROW) {
      uint64_t seq = static_cast<uint64_t>(sqlite3_column_int64(*st, 0));
      max_seq = std::max(max_seq, seq);
      const char* qn = reinterpret_cast<const char*>(sqlite3_column_text(*st, 1));
      int32_t q = FindQueueLocked(qn ? qn : "");
      const void* md = sqlite3_column_blob(*st, 2);
      if (q < 0 || !md || sqlite3_column_bytes(*st, 2) != sizeof(KRMD)) continue;
      int32_t e = AllocEntryLocked();
      if (e < 0) break;  // more than the index holds: the rest wait for a restart
      Entry& en = shm_->entries[e];
      std::memcpy(&en.md, md, sizeof(KRMD));
      en.queue = q;
      en.queue_incarnation = shm_->queues[q].incarnation;
      en.priority = std::clamp(en.md.Priority, 0, 9);
      en.persistent = 1;
      en.length = sqlite3_column_int(*st, 3);
      en.first_chunk = -1;
      en.seq = seq;
      en.expiry_ms = sqlite3_column_int64(*st, 4);
      en.state = kReady;
      LinkLocked(e);
      shm_->queues[q].depth++;
    }
    h.next_seq = max_seq + 1;
  }
  h.layout_version = kLayoutVersion;
  __atomic_store_n(&h.magic, kMagic, __ATOMIC_RELEASE);
  return KRRC_NONE;
}

int32_t SharedQm::ProcSlotLocked() {
  ProcessIdentity me = SelfIdentity();
  if (proc_slot_ >= 0 && proc_pid_ == me.pid && shm_->procs[proc_slot_].in_use &&
      shm_->procs[proc_slot_].pid == me.pid)
    return proc_slot_;
  for (int i = 0; i < kMaxProcs; ++i) {
    ProcSlot& p = shm_->procs[i];
    if (!p.in_use) {
      std::memset(&p, 0, sizeof p);
      p.in_use = 1;
      p.pid = me.pid;
      p.start = me.start_time;
      proc_slot_ = i;
      proc_pid_ = me.pid;
      return i;
    }
  }
  return -1;
}

int32_t SharedQm::FindQueueLocked(const std::string& name) {
  for (int i = 0; i < kMaxQueues; ++i) {
    const QueueSlot& q = shm_->queues[i];
    if (q.in_use && strnlen(q.name, sizeof q.name) == name.size() &&
        std::memcmp(q.name, name.data(), name.size()) == 0)
      return i;
  }
  return -1;
}

int32_t SharedQm::AllocEntryLocked() {
  Header& h = shm_->h;
  int32_t i;
  if (h.free_entry >= 0) {
    i = h.free_entry;
    h.free_entry = shm_->entries[i].next;
  } else if (h.entry_high < kMaxEntries) {
    i = h.entry_high++;
  } else {
    return -1;
  }
  Entry& e = shm_->entries[i];
  std::memset(&e, 0, offsetof(Entry, md));
  e.prev = e.next = e.first_chunk = -1;
  e.state = kWriting;
  return i;
}

void SharedQm::FreeEntryLocked(int32_t i) {
  Entry& e = shm_->entries[i];
  if (e.first_chunk >= 0) FreeChunksLocked(e.first_chunk);
  e.first_chunk = -1;
  e.state = kFree;
  e.next = shm_->h.free_entry;
  shm_->h.free_entry = i;
}

int32_t SharedQm::AllocChunksLocked(int32_t length) {
  int32_t needed = (length + kChunkData - 1) / kChunkData;
  int32_t first = -1, last = -1;
  Header& h = shm_->h;
  for (int32_t n = 0; n < needed; ++n) {
    int32_t c;
    if (h.free_chunk >= 0) {
      c = h.free_chunk;
      h.free_chunk = shm_->chunks[c].next;
    } else if (h.chunk_high < kMaxChunks) {
      c = h.chunk_high++;
    } else {
      if (first >= 0) FreeChunksLocked(first);
      return -2;
    }
    shm_->chunks[c].next = -1;
    if (last >= 0) shm_->chunks[last].next = c; else first = c;
    last = c;
  }
  return first;
}

void SharedQm::FreeChunksLocked(int32_t first) {
  int32_t steps = 0;
  while (first >= 0 && first < kMaxChunks && steps++ < kMaxChunks) {
    int32_t next = shm_->chunks[first].next;
    shm_->chunks[first].next = shm_->h.free_chunk;
    shm_->h.free_chunk = first;
    first = next;
  }
}

void SharedQm::LinkLocked(int32_t i) {
  Entry& e = shm_->entries[i];
  QueueSlot& q = shm_->queues[e.queue];
  int32_t p = e.priority;
  // Almost always appended; a message put back after a failed take goes to
  // its place by seq.
  int32_t after = q.tail[p];
  while (after >= 0 && shm_->entries[after].seq > e.seq) after = shm_->entries[after].prev;
  e.prev = after;
  e.next = after >= 0 ? shm_->entries[after].next : q.head[p];
  if (e.next >= 0) shm_->entries[e.next].prev = i; else q.tail[p] = i;
  if (after >= 0) shm_->entries[after].next = i; else q.head[p] = i;
}

void SharedQm::UnlinkLocked(int32_t i) {
  Entry& e = shm_->entries[i];
  QueueSlot& q = shm_->queues[e.queue];
  if (e.prev >= 0) shm_->entries[e.prev].next = e.next; else q.head[e.priority] = e.next;
  if (e.next >= 0) shm_->entries[e.next].prev = e.prev; else q.tail[e.priority] = e.prev;
  e.prev = e.next = -1;
}

void SharedQm::RemoveQueueMessagesLocked(int32_t q, std::vector<uint64_t>* rows) {
  QueueSlot& qs = shm_->queues[q];
  for (int p = 0; p < kPriorities; ++p) {
    int32_t i = qs.head[p];
    while (i >= 0) {
      int32_t next = shm_->entries[i].next;
      if (shm_->entries[i].persistent && rows) rows->push_back(shm_->entries[i].seq);
      shm_->entries[i].prev = shm_->entries[i].next = -1;
      FreeEntryLocked(i);
      i = next;
    }
    qs.head[p] = qs.tail[p] = -1;
  }
  qs.depth = 0;
}

bool SharedQm::RowExists(uint64_t seq) {
  Stmt st(db(), "SELECT 1 FROM messages WHERE seq=?");
  if (!st.ok()) return true;  // when in doubt keep the message
  sqlite3_bind_int64(*st, 1, static_cast<sqlite3_int64>(seq));
  int rc = sqlite3_step(*st);
  return rc == SQLITE_ROW || rc != SQLITE_DONE;
}

void SharedQm::DeleteRows(const std::vector<uint64_t>& seqs) {
  if (seqs.empty()) return;
  WriteLock write(this);
  db_.Exec("BEGIN IMMEDIATE");
  Stmt st(db(), "DELETE FROM messages WHERE seq=?");
  for (uint64_t s : seqs) {
    sqlite3_reset(*st);
    sqlite3_bind_int64(*st, 1, static_cast<sqlite3_int64>(s));
    sqlite3_step(*st);
  }
  db_.Exec("COMMIT");
}

void SharedQm::AppendPendingLocked(int32_t e, PendingOp op) {
  Header& h = shm_->h;
  Entry& en = shm_->entries[e];
  en.pending_op = op;
  en.pending_next = -1;
  en.batch = h.open_batch;
  if (h.pending_tail >= 0) shm_->entries[h.pending_tail].pending_next = e; else h.pending_head = e;
  h.pending_tail = e;
}

void SharedQm::RequeueInFlight() {
  Lock lock(this);
  if (!lock.ok()) return;
  for (int32_t i = 0; i < shm_->h.entry_high; ++i) {
    Entry& e = shm_->entries[i];
    if (e.pending_op == kInsertInFlight) AppendPendingLocked(i, kInsert);
    else if (e.pending_op == kDeleteInFlight) AppendPendingLocked(i, kDelete);
  }
}

// Makes the database work of `batch` durable: either another process already
// committed it, or this one commits everything pending in one transaction.
// Returns KRRC_NONE, or KRRC_STORE_ERROR when the batch's transaction failed
// (its puts were then not made visible and its gets were put back).
int32_t SharedQm::CommitBatch(uint64_t batch) {
  WriteLock write(this);
  if (!write.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
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
  uint64_t taken = 0;
  {
    Lock lock(this);
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    Header& h = shm_->h;
    auto failed = [&](uint64_t b) {
      for (uint64_t f : h.failed_batches)
        if (f == b) return true;
      return false;
    };
    if (h.durable_batch >= batch) return failed(batch) ? KRRC_STORE_ERROR : KRRC_NONE;
    // Lead: take every pending operation. Everything the transaction needs is
    // copied out now, so nothing shared is read without the mutex.
    taken = h.open_batch++;
    for (int32_t i = h.pending_head, n = 0; i >= 0 && n < kMaxEntries; ++n) {
      Entry& e = shm_->entries[i];
      int32_t next = e.pending_next;
      if (e.pending_op == kInsert || e.pending_op == kDelete) {
        Op op;
        op.entry = i;
        op.insert = e.pending_op == kInsert;
        op.seq = e.seq;
        if (op.insert) {
          op.queue = SlotName(shm_->queues[e.queue]);
          op.md = e.md;
          op.expiry = e.expiry_ms;
          op.body.resize(static_cast<size_t>(e.length));
          char* dst = op.body.data();
          int32_t left = e.length;
          for (int32_t c = e.first_chunk; left > 0 && c >= 0; c = shm_->chunks[c].next) {
            int32_t k = std::min(left, kChunkData);
            std::memcpy(dst, shm_->chunks[c].data, static_cast<size_t>(k));
            dst += k;
            left -= k;
          }
        }
        e.pending_op = op.insert ? kInsertInFlight : kDeleteInFlight;
        ops.push_back(std::move(op));
      }
      i = next;
    }
    h.pending_head = h.pending_tail = -1;
  }
  bool ok = db_.Exec("BEGIN IMMEDIATE");
  if (ok) {
    Stmt ins(db(), "INSERT OR REPLACE INTO messages(seq, queue, md, body, expiry) VALUES(?,?,?,?,?)");
    Stmt del(db(), "DELETE FROM messages WHERE seq=?");
    ok = ins.ok() && del.ok();
    for (const Op& op : ops) {
      if (!ok) break;
      sqlite3_stmt* st = op.insert ? *ins : *del;
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
    ok = ok && db_.Exec("COMMIT");
    if (!ok) db_.Exec("ROLLBACK");
  }
  std::vector<int32_t> wake;
  {
    Lock lock(this);
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    Header& h = shm_->h;
    for (const Op& op : ops) {
      Entry& e = shm_->entries[op.entry];
      if (e.seq != op.seq || (e.pending_op != kInsertInFlight && e.pending_op != kDeleteInFlight)) continue;
      e.pending_op = kNoOp;
      QueueSlot& q = shm_->queues[e.queue];
      const bool queue_ok = q.in_use && q.incarnation == e.queue_incarnation;
      if (op.insert == ok && queue_ok) {
        // A committed put, or a get whose delete failed: visible (again).
        e.owner_pid = 0;
        __atomic_store_n(&e.state, kReady, __ATOMIC_RELEASE);
        LinkLocked(op.entry);
        q.depth++;
        BumpWord(&q.futex);
        if (q.plain_waiters > 0 || q.special_waiters > 0) wake.push_back(e.queue);
      } else {
        FreeEntryLocked(op.entry);
      }
    }
    h.durable_batch = taken;
    if (!ok) h.failed_batches[taken % kFailedRing] = taken;
    else if (h.failed_batches[taken % kFailedRing] == taken) h.failed_batches[taken % kFailedRing] = 0;
  }
  std::sort(wake.begin(), wake.end());
  wake.erase(std::unique(wake.begin(), wake.end()), wake.end());
  for (int32_t q : wake) FutexWake(&shm_->queues[q].futex, INT_MAX);
  // Our own work was in what we took: it joined batch `batch`, which nobody
  // had taken (leaders run one at a time), or it was requeued after a dead
  // leader into a later one.
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
  }
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
  h.pending_head = h.pending_tail = -1;
  std::vector<int32_t> pending;
  for (int32_t i = 0; i < h.entry_high; ++i) {
    const Entry& e = shm_->entries[i];
    if (e.state != kFree && (e.pending_op == kInsert || e.pending_op == kDelete)) pending.push_back(i);
  }
  std::sort(pending.begin(), pending.end(),
            [&](int32_t a, int32_t b) { return shm_->entries[a].seq < shm_->entries[b].seq; });
  for (int32_t i : pending) {
    Entry& e = shm_->entries[i];
    uint64_t b = e.batch;
    AppendPendingLocked(i, static_cast<PendingOp>(e.pending_op));
    e.batch = b;
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
    for (int32_t i = 0; i < shm_->h.entry_high; ++i) {
      Entry& e = shm_->entries[i];
      if ((e.state != kWriting && e.state != kTaking) || !e.persistent || e.pending_op != kNoOp) continue;
      if (IsAlive({e.owner_pid, e.owner_start})) continue;
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

// ---- The Store over a SharedQm --------------------------------------------------

namespace {

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
      if (q >= 0 && (!replace || qm_->shm()->queues[q].kind == static_cast<int32_t>(QueueKind::kTemporaryDynamic)))
        return KRRC_OBJECT_ALREADY_EXISTS;
    }
    SharedQm::WriteLock write(qm_.get());
    Stmt st(qm_->db(), replace ? "INSERT OR REPLACE INTO queues VALUES(?,?,?,?,?,?,?,?)"
                               : "INSERT INTO queues VALUES(?,?,?,?,?,?,?,?)");
    if (!st.ok()) return KRRC_STORE_ERROR;
    sqlite3_bind_text(*st, 1, a.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(*st, 2, static_cast<int>(a.kind));
    sqlite3_bind_int(*st, 3, a.default_priority);
    sqlite3_bind_int(*st, 4, a.default_persistence);
    sqlite3_bind_int(*st, 5, a.max_depth);
    sqlite3_bind_int(*st, 6, a.max_message_length);
    sqlite3_bind_int(*st, 7, a.get_inhibited);
    sqlite3_bind_int(*st, 8, a.put_inhibited);
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
    std::vector<uint64_t> rows;
    {
      SharedQm::Lock lock(qm_.get());
      if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
      qm_->SweepLocked(false);
      int32_t q = qm_->FindQueueLocked(name);
      if (q < 0) return KRRC_UNKNOWN_OBJECT_NAME;
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

  int32_t LookupQueue(const std::string& name, QueueAttributes* out) override {
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
    int32_t q = qm_->FindQueueLocked(name);
    if (q < 0) return KRRC_UNKNOWN_OBJECT_NAME;
    QueueSlot& s = qm_->shm()->queues[q];
    // A cheap check on this path (opened for every reply): the full one,
    // with the start time, runs in the sweeps.
    if (s.kind == static_cast<int32_t>(QueueKind::kTemporaryDynamic) && s.owner_pid != SelfIdentity().pid &&
        ::kill(s.owner_pid, 0) != 0 && errno == ESRCH) {
      qm_->SweepLocked(false);
      return KRRC_UNKNOWN_OBJECT_NAME;
    }
    if (out) *out = AttributesOf(s);
    return KRRC_NONE;
  }

  int32_t ListQueues(std::vector<QueueInfo>* out) override {
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    qm_->SweepLocked(true);
    out->clear();
    for (int q = 0; q < kMaxQueues; ++q) {
      const QueueSlot& s = qm_->shm()->queues[q];
      if (!s.in_use) continue;
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
      if (q < 0) return KRRC_UNKNOWN_OBJECT_NAME;
      qm_->RemoveQueueMessagesLocked(q, &rows);
    }
    qm_->DeleteRows(rows);
    return KRRC_NONE;
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
    if (q < 0) return KRRC_UNKNOWN_OBJECT_NAME;
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

  int32_t Put(const std::string& queue, const Message& m) override {
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
      if (q < 0) return KRRC_UNKNOWN_OBJECT_NAME;
      QueueSlot& s = qm_->shm()->queues[q];
      if (s.kind == static_cast<int32_t>(QueueKind::kModel)) return KRRC_MODEL_Q_NOT_ALLOWED;
      if (s.put_inhibited) return KRRC_PUT_INHIBITED;
      if (length > s.max_length) return KRRC_MSG_TOO_BIG_FOR_Q;
      if (s.depth >= s.max_depth) return KRRC_Q_FULL;
      if (persistent && s.kind == static_cast<int32_t>(QueueKind::kTemporaryDynamic))
        return KRRC_PERSISTENT_NOT_ALLOWED;
      e = qm_->AllocEntryLocked();
      if (e < 0) return KRRC_STORAGE_NOT_AVAILABLE;
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
      if (c < -1 && !persistent) {
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
      if (!persistent) return PublishLocked(e, q, lock);
      if (length == 0 || en.first_chunk >= 0) {
        // Durable with everybody else's work in one commit; the committing
        // process makes it visible.
        qm_->AppendPendingLocked(e, kInsert);
        const uint64_t batch = en.batch;
        lock.Unlock();
        return qm_->CommitBatch(batch);
      }
    }
    // Persistent without room in the mapped file: on disk first, then visible.
    int32_t rc = KRRC_NONE;
    {
      SharedQm::WriteLock write(qm_.get());
      Stmt st(qm_->db(), "INSERT INTO messages(seq, queue, md, body, expiry) VALUES(?,?,?,?,?)");
      if (!st.ok()) {
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
    if (q < 0) return KRRC_UNKNOWN_OBJECT_NAME;
    const uint32_t incarnation = qm_->shm()->queues[q].incarnation;
    for (;;) {
      QueueSlot& s = qm_->shm()->queues[q];
      if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (!s.in_use || s.incarnation != incarnation) return KRRC_Q_DELETED;
      if (s.get_inhibited) return KRRC_GET_INHIBITED;
      std::vector<uint64_t> expired;
      int32_t e = FindLocked(q, r, browse ? &local_cursor : nullptr, &expired);
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
      // Nothing matching: wait for the next put on this queue.
      int64_t left = r.wait_ms < 0 ? -1
                                   : std::chrono::duration_cast<std::chrono::milliseconds>(
                                         deadline - std::chrono::steady_clock::now())
                                         .count();
      if (r.wait_ms == 0 || (r.wait_ms > 0 && left <= 0)) return KRRC_NO_MSG_AVAILABLE;
      uint32_t word = LoadWord(&s.futex);
      if (special) s.special_waiters++; else s.plain_waiters++;
      lock.Unlock();
      FutexWait(&s.futex, word, left);
      lock.Relock();
      if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (s.in_use && s.incarnation == incarnation) {
        int32_t& count = special ? s.special_waiters : s.plain_waiters;
        if (count > 0) count--;
      }
    }
  }

 private:
  int32_t OpenCountLocked(int32_t q) {
    int64_t n = 0;
    for (auto& p : qm_->shm()->procs)
      if (p.in_use) n += std::max(p.opens[q], 0);
    return static_cast<int32_t>(n);
  }

  void AdjustOpen(const std::string& name, int delta) {
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return;
    int32_t q = qm_->FindQueueLocked(name);
    int32_t slot = qm_->ProcSlotLocked();
    if (q < 0 || slot < 0) return;
    int32_t& n = qm_->shm()->procs[slot].opens[q];
    n = std::max(0, n + delta);
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
    const int64_t now = NowMs();
    for (int p = kPriorities - 1; p >= 0; --p) {
      if (cursor && cursor->valid && p > cursor->priority) continue;
      for (int32_t i = s.head[p]; i >= 0;) {
        Entry& e = qm_->shm()->entries[i];
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
    if (e.expiry_ms != 0) {
      int64_t left = (e.expiry_ms - NowMs() + 99) / 100;
      out->md.Expiry = static_cast<KRLONG>(std::clamp<int64_t>(left, 1, INT32_MAX));
    }
    out->data_length = e.length;
  }

  // Copies the body of a non-persistent entry into the caller's buffer.
  void CopyChunks(const Entry& e, void* buffer, int32_t limit) {
    char* dst = static_cast<char*>(buffer);
    int32_t left = std::min(e.length, limit);
    for (int32_t c = e.first_chunk; left > 0 && c >= 0; c = qm_->shm()->chunks[c].next) {
      int32_t n = std::min(left, kChunkData);
      std::memcpy(dst, qm_->shm()->chunks[c].data, n);
      dst += n;
      left -= n;
    }
  }

  // Reads a persistent body from the database (outside the mutex).
  int32_t ReadBody(uint64_t seq, void* buffer, int32_t limit, bool remove) {
    std::unique_ptr<SharedQm::WriteLock> write;
    if (remove) {
      write = std::make_unique<SharedQm::WriteLock>(qm_.get());
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
      if (limit > 0) CopyChunks(en, r.buffer, limit);
      if (too_long) return KRRC_TRUNCATED_MSG_FAILED;
      if (!browse) {
        qm_->UnlinkLocked(e);
        qm_->FreeEntryLocked(e);
        s.depth--;
      }
      return KRRC_NONE;
    }
    // Persistent with its body cached in the mapped file.
    if (en.first_chunk >= 0 || en.length == 0) {
      if (limit > 0) CopyChunks(en, r.buffer, limit);
      if (too_long) return KRRC_TRUNCATED_MSG_FAILED;
      if (browse) return KRRC_NONE;
      // Claim it; the row goes with the next group commit.
      ProcessIdentity me = SelfIdentity();
      qm_->UnlinkLocked(e);
      s.depth--;
      en.owner_pid = me.pid;
      en.owner_start = me.start_time;
      __atomic_store_n(&en.state, kTaking, __ATOMIC_RELEASE);
      qm_->AppendPendingLocked(e, kDelete);
      const uint64_t batch = en.batch;
      lock.Unlock();
      return qm_->CommitBatch(batch);
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

}  // namespace

int32_t OpenEmbeddedStore(const std::string& name, bool create, std::unique_ptr<Store>* out) {
  std::shared_ptr<SharedQm> qm;
  if (int32_t rc = SharedQm::Attach(name, create, &qm)) return rc;
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

bool EmbeddedStoreExists(const std::string& name) {
  struct stat st {};
  return ::lstat((QmDir(name) + "/qm.db").c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace krsoap::queue
