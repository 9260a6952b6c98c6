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
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "common/trace/trace.h"
#include "platform/files/data_root.h"
#include "platform/queue/embedded_store.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/process_identity.h"
#include "platform/queue/store.h"

namespace krsoap::queue {
namespace {

// ---- Layout of the mapped file ----------------------------------------------

constexpr uint64_t kMagic = 0x314d48534d51524bull;  // "KRQMSHM1"
constexpr uint32_t kLayoutVersion = 6;
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

// Whether a queue slot in use holds what this code writes there. Bytes
// written into the file by anything else would otherwise show as a queue.
bool SlotSound(const QueueSlot& q) {
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
         q.plain_waiters >= 0 && q.special_waiters >= 0;
}

// Whether a stored descriptor is one a put leaves with an entry of this
// priority and persistence (the put works them out from it).
bool DescriptorFits(const KRMD& md, int32_t priority, int32_t persistent) {
  return std::memcmp(md.StrucId, KRMD_STRUC_ID, 4) == 0 && md.Version >= KRMD_VERSION_1 &&
         std::clamp(md.Priority, 0, kPriorities - 1) == priority &&
         (md.Persistence == KRPER_PERSISTENT) == (persistent == 1);
}

// Whether the header's flags and texts are what this code writes: flags 0
// or 1, texts of printable characters padded with zeros. (A boot id that is
// not one would pass for a file from before the last boot.)
bool HeaderSound(const Header& h) {
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
bool MutexSound(const pthread_mutex_t& m) {
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
      // A file that was replaced (or deleted) takes no more database work:
      // its successor was built from the database as it stood then.
      if (ok_ && qm_->Deleted()) {
        pthread_mutex_unlock(&qm_->shm_->h.write_mutex);
        ok_ = false;
      }
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

 private:
  int32_t MapShared();
  int32_t Rebuild(Shm* old, bool live, const std::string& boot, const std::string& why);
  int32_t InitLocked(const std::string& boot, int32_t* kept);  // under the file lock

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
  if (int32_t rc = qm->MapShared()) return rc;
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

// Maps qm.shm, once it is known to be usable as it is. A new (empty) file is
// built in place: nobody can have used it yet. One of another layout, from
// before the last boot, marked deleted, or damaged is replaced by a new one
// built from the database beside it, so that processes still using it keep
// a consistent mapping (of an abandoned file) until they reconnect.
int32_t SharedQm::MapShared() {
  const std::string path = dir_ + "/qm.shm";
  const std::string boot = BootId();
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return KRRC_Q_MGR_NOT_AVAILABLE;
    struct stat st {}, now {};
    if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return KRRC_Q_MGR_NOT_AVAILABLE;
    }
    if (::lstat(path.c_str(), &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
      ::close(fd);  // replaced while this process waited for the lock
      continue;
    }
    fd_ = fd;
    if (st.st_size == 0) {
      int32_t kept = 0;
      const int32_t rc = InitLocked(boot, &kept);
      ::flock(fd, LOCK_UN);
      return rc;
    }
    Shm* old = nullptr;
    if (st.st_size == static_cast<off_t>(sizeof(Shm))) {
      void* p = ::mmap(nullptr, sizeof(Shm), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) old = static_cast<Shm*>(p);
    }
    // Why the file is rebuilt, when that is news (a file from before the
    // last boot, or one its maker never finished, is rebuilt quietly).
    std::string why;
    bool rebuild = true;
    bool live = false;  // processes may be using it now
    if (!old) {
      why = "it is not of this layout";
    } else {
      const Header& h = old->h;
      const uint64_t magic = __atomic_load_n(&h.magic, __ATOMIC_ACQUIRE);
      if (magic == 0) {
      } else if (magic != kMagic) {
        why = "it is damaged: its header is not a queue manager's";
      } else if (h.layout_version != kLayoutVersion) {
        why = "it was written by another version of the queue manager";
      } else if (!HeaderSound(h)) {
        why = "it is damaged: its header holds garbage";
      } else if (strncmp(h.boot_id, boot.c_str(), sizeof h.boot_id) != 0) {
      } else {
        live = true;
        const std::string note(h.damage_note, strnlen(h.damage_note, sizeof h.damage_note));
        if (__atomic_load_n(&h.deleted, __ATOMIC_ACQUIRE)) {
          if (__atomic_load_n(&h.damaged, __ATOMIC_ACQUIRE)) why = "it is damaged: " + note;
        } else if (!MutexSound(h.mutex) || !MutexSound(h.write_mutex)) {
          why = "it is damaged: one of its locks holds garbage";
        } else {
          shm_ = old;
          {
            Lock lock(this);
            if (!lock.ok()) {
              why = "it is damaged: its lock cannot be taken";
            } else if (Deleted()) {  // what the lock's recovery found
              why = "it is damaged: " + std::string(h.damage_note, strnlen(h.damage_note, sizeof h.damage_note));
            } else if (std::string bad = ValidateLocked(); !bad.empty()) {
              why = "it is damaged: " + bad;
            } else {
              rebuild = false;
            }
          }
          shm_ = nullptr;
        }
      }
    }
    if (!rebuild) {
      shm_ = old;
      ::flock(fd, LOCK_UN);
      return KRRC_NONE;
    }
    const int32_t rc = Rebuild(old, live, boot, why);
    if (old) ::munmap(old, sizeof(Shm));
    ::close(fd);  // and with it the lock on the old file
    fd_ = -1;
    if (rc) return rc;
    // Round again: the new file is attached like any other.
  }
  return KRRC_Q_MGR_NOT_AVAILABLE;
}

// Builds a new file from the database beside the old one and puts it in the
// old one's place. Persistent work running on a live old file ends first and
// none starts on it afterwards: its write lock is held across, and it is
// marked deleted before that lock is let go (WriteLock refuses a deleted
// file). So the database read here holds every committed message, and
// nothing is committed through the old file later.
int32_t SharedQm::Rebuild(Shm* old, bool live, const std::string& boot, const std::string& why) {
  bool write_held = false;
  if (old && live && MutexSound(old->h.write_mutex)) {
    int rc = pthread_mutex_lock(&old->h.write_mutex);
    if (rc == EOWNERDEAD) {
      pthread_mutex_consistent(&old->h.write_mutex);
      rc = 0;
    }
    write_held = rc == 0;
  }
  const std::string path = dir_ + "/qm.shm";
  std::string temp = path + ".XXXXXX";
  int32_t rc = KRRC_Q_MGR_NOT_AVAILABLE;
  int32_t kept = 0;
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // 0600
  if (fd >= 0) {
    const int old_fd = fd_;
    fd_ = fd;
    shm_ = nullptr;
    rc = InitLocked(boot, &kept);
    if (rc == KRRC_NONE && ::rename(temp.c_str(), path.c_str()) != 0) rc = KRRC_Q_MGR_NOT_AVAILABLE;
    if (rc != KRRC_NONE) ::unlink(temp.c_str());
    if (shm_) ::munmap(shm_, sizeof(Shm));
    shm_ = nullptr;
    ::close(fd);
    fd_ = old_fd;
  }
  if (rc == KRRC_NONE && old) {
    __atomic_store_n(&old->h.deleted, 1u, __ATOMIC_RELEASE);
    for (QueueSlot& q : old->queues) {
      BumpWord(&q.futex);
      FutexWake(&q.futex, INT_MAX);
    }
  }
  if (write_held) pthread_mutex_unlock(&old->h.write_mutex);
  if (rc == KRRC_NONE && !why.empty()) {
    char line[1024];
    std::snprintf(line, sizeof line,
                  "queue manager %s: its shared file %s was rebuilt from %s/qm.db because %s; %d persistent "
                  "message%s kept, the non-persistent messages and temporary dynamic queues it held were lost",
                  name_.c_str(), path.c_str(), dir_.c_str(), why.c_str(), kept, kept == 1 ? "" : "s");
    std::fprintf(stderr, "krsoap: %s\n", line);
    LogText("%s", line);
  }
  return rc;
}

// Builds the file behind fd_ from the database: an all-zero (sparse) file of
// the layout's size, the queues, then every persistent message (`kept`).
int32_t SharedQm::InitLocked(const std::string& boot, int32_t* kept) {
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
      QueueSlot& q = shm_->queues[n];
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
      // A row no queue can have (the database edited by hand) is left out,
      // or the new file would be found damaged in its turn.
      if (!SlotSound(q) || FindQueueLocked(a.name) != n) {
        std::memset(&q, 0, sizeof q);
        continue;
      }
      ++n;
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
      KRMD row_md;
      std::memcpy(&row_md, md, sizeof(KRMD));
      if (!DescriptorFits(row_md, std::clamp(row_md.Priority, 0, 9), 1)) continue;
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
      ++*kept;
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

// The slot found is checked; when none is, every slot in use is, so that a
// queue whose slot was written over is reported as damage, not as missing.
int32_t SharedQm::FindQueueLocked(const std::string& name) {
  int32_t found = -1;
  for (int i = 0; i < kMaxQueues && found < 0; ++i) {
    const QueueSlot& q = shm_->queues[i];
    if (q.in_use && strnlen(q.name, sizeof q.name) == name.size() &&
        std::memcmp(q.name, name.data(), name.size()) == 0)
      found = i;
  }
  for (int i = found < 0 ? 0 : found; i < (found < 0 ? kMaxQueues : found + 1); ++i) {
    if (shm_->queues[i].in_use && !SlotSoundLocked(i)) return -1;
  }
  return found;
}

int32_t SharedQm::AllocEntryLocked() {
  Header& h = shm_->h;
  int32_t i;
  if (h.free_entry >= 0) {
    i = h.free_entry;
    if (!EntryIndexOk(i) || shm_->entries[i].state != kFree) {
      NoteDamageLocked("the list of free message entries is broken");
      return -1;
    }
    h.free_entry = shm_->entries[i].next;
  } else if (h.entry_high < 0) {
    NoteDamageLocked("the count of message entries is negative");
    return -1;
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
      if (!ChunkIndexOk(c)) {
        NoteDamageLocked("the list of free body chunks is broken");
        if (first >= 0) FreeChunksLocked(first);
        return -2;
      }
      h.free_chunk = shm_->chunks[c].next;
    } else if (h.chunk_high < 0) {
      NoteDamageLocked("the count of body chunks is negative");
      return -2;
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
  while (ChunkIndexOk(first) && steps++ < kMaxChunks) {
    int32_t next = shm_->chunks[first].next;
    shm_->chunks[first].next = shm_->h.free_chunk;
    shm_->h.free_chunk = first;
    first = next;
  }
}

void SharedQm::LinkLocked(int32_t i) {
  Entry& e = shm_->entries[i];
  if (e.queue < 0 || e.queue >= kMaxQueues || e.priority < 0 || e.priority >= kPriorities) {
    NoteDamageLocked("a message names no queue or priority");
    return;
  }
  QueueSlot& q = shm_->queues[e.queue];
  int32_t p = e.priority;
  // Almost always appended; a message put back after a failed take goes to
  // its place by seq.
  int32_t after = q.tail[p];
  bool broken = false;
  for (int steps = 0; after >= 0; ++steps) {
    if (!EntryIndexOk(after) || steps > kMaxEntries) {
      broken = true;
      break;
    }
    if (shm_->entries[after].seq <= e.seq) break;
    after = shm_->entries[after].prev;
  }
  const int32_t next = broken || after < -1 ? -2 : after >= 0 ? shm_->entries[after].next : q.head[p];
  if (next != -1 && !EntryIndexOk(next)) {
    NoteDamageLocked("a message list of queue slot " + std::to_string(e.queue) + " is broken");
    return;
  }
  e.prev = after;
  e.next = next;
  if (e.next >= 0) shm_->entries[e.next].prev = i; else q.tail[p] = i;
  if (after >= 0) shm_->entries[after].next = i; else q.head[p] = i;
}

void SharedQm::UnlinkLocked(int32_t i) {
  Entry& e = shm_->entries[i];
  if (e.queue < 0 || e.queue >= kMaxQueues || e.priority < 0 || e.priority >= kPriorities ||
      (e.prev != -1 && !EntryIndexOk(e.prev)) || (e.next != -1 && !EntryIndexOk(e.next))) {
    NoteDamageLocked("a message's links are broken");
    return;
  }
  QueueSlot& q = shm_->queues[e.queue];
  if (e.prev >= 0) shm_->entries[e.prev].next = e.next; else q.head[e.priority] = e.next;
  if (e.next >= 0) shm_->entries[e.next].prev = e.prev; else q.tail[e.priority] = e.prev;
  e.prev = e.next = -1;
}

void SharedQm::RemoveQueueMessagesLocked(int32_t q, std::vector<uint64_t>* rows) {
  QueueSlot& qs = shm_->queues[q];
  for (int p = 0; p < kPriorities; ++p) {
    int32_t i = qs.head[p];
    for (int steps = 0; i >= 0; ++steps) {
      if (!EntryIndexOk(i) || steps > kMaxEntries) {
        NoteDamageLocked("a message list of queue slot " + std::to_string(q) + " is broken");
        break;
      }
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

bool SharedQm::DeleteRows(const std::vector<uint64_t>& seqs) {
  if (seqs.empty()) return true;
  WriteLock write(this);
  if (!write.ok()) return false;
  db_.Exec("BEGIN IMMEDIATE");
  Stmt st(db(), "DELETE FROM messages WHERE seq=?");
  for (uint64_t s : seqs) {
    sqlite3_reset(*st);
    sqlite3_bind_int64(*st, 1, static_cast<sqlite3_int64>(s));
    sqlite3_step(*st);
  }
  db_.Exec("COMMIT");
  return true;
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
  for (int32_t i = 0; i < std::min(shm_->h.entry_high, kMaxEntries); ++i) {
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
    h.pending_head = h.pending_tail = -1;
    // Damage met on the way: nothing of it goes to the disk, whoever waits is
    // told the queue manager is gone, and the rebuild reads the database.
    if (Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
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
  if (h.open_batch == 0 || h.durable_batch >= h.open_batch) return "its commit counters disagree";
  for (uint64_t f : h.failed_batches)
    if (f > h.durable_batch) return "its commit counters disagree";

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
  for (int32_t i = 0; i < entries; ++i) {
    const Entry& e = m.entries[i];
    if (e.state < kFree || e.state > kTaking) return is("message entry ", n(i), " is in no known state");
    if (e.state == kFree) continue;
    const bool op_ok = e.pending_op == kNoOp || e.pending_op == kInsert || e.pending_op == kDelete ||
                       e.pending_op == kInsertInFlight || e.pending_op == kDeleteInFlight;
    if (!op_ok || e.queue < 0 || e.queue >= kMaxQueues || e.priority < 0 || e.priority >= kPriorities ||
        e.seq >= h.next_seq || !EntryFits(e))
      return is("message entry ", n(i), " holds what no message can");
    if (e.state == kReady) ++ready;
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
      if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
      if (q >= 0 && (!replace || qm_->shm()->queues[q].kind == static_cast<int32_t>(QueueKind::kTemporaryDynamic)))
        return KRRC_OBJECT_ALREADY_EXISTS;
    }
    SharedQm::WriteLock write(qm_.get());
    if (!write.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
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

  int32_t LookupQueue(const std::string& name, QueueAttributes* out) override {
    SharedQm::Lock lock(qm_.get());
    if (!lock.ok()) return KRRC_Q_MGR_NOT_AVAILABLE;
    if (qm_->Deleted()) return KRRC_Q_MGR_NOT_AVAILABLE;
    int32_t q = qm_->FindQueueLocked(name);
    if (q < 0) return qm_->MissingQueue();
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
      if (q < 0) return qm_->MissingQueue();
      QueueSlot& s = qm_->shm()->queues[q];
      if (s.kind == static_cast<int32_t>(QueueKind::kModel)) return KRRC_MODEL_Q_NOT_ALLOWED;
      if (s.put_inhibited) return KRRC_PUT_INHIBITED;
      if (length > s.max_length) return KRRC_MSG_TOO_BIG_FOR_Q;
      if (s.depth >= s.max_depth) return KRRC_Q_FULL;
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
    if (e.expiry_ms != 0) {
      int64_t left = (e.expiry_ms - NowMs() + 99) / 100;
      out->md.Expiry = static_cast<KRLONG>(std::clamp<int64_t>(left, 1, INT32_MAX));
    }
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
        qm_->FreeEntryLocked(e);
        s.depth--;
      }
      return KRRC_NONE;
    }
    // Persistent with its body cached in the mapped file.
    if (en.first_chunk >= 0 || en.length == 0) {
      if (limit > 0 && !CopyChunks(en, r.buffer, limit)) return KRRC_Q_MGR_NOT_AVAILABLE;
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
