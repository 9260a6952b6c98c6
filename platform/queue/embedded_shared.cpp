// The embedded store's mapped file: attaching a process to a queue manager,
// checking, building and rebuilding the file from the database, and the
// pools and lists every message operation uses (see embedded_shm.h).
#include "platform/queue/embedded_shm.h"

namespace krsoap::queue::embedded {

int32_t Db::Open(const std::string& path, bool create) {
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
              "get_inhibited INT, put_inhibited INT, backout_queue TEXT NOT NULL DEFAULT '', "
              "backout_threshold INT NOT NULL DEFAULT 0)") ||
        !Exec("CREATE TABLE IF NOT EXISTS messages(seq INTEGER PRIMARY KEY, queue TEXT, "
              "md BLOB, body BLOB, expiry INT)") ||
        !Exec("INSERT OR IGNORE INTO queues(name, kind, def_priority, def_persistence, max_depth, "
              "max_length, get_inhibited, put_inhibited) VALUES('SYSTEM.DEFAULT.MODEL.QUEUE',2,0,0,5000," +
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
  if (rc != SQLITE_ROW) return KRRC_Q_MGR_NOT_AVAILABLE;
  return Upgrade() ? KRRC_NONE : KRRC_Q_MGR_NOT_AVAILABLE;
}

// A database written before queues had backout queues gets their two columns
// (every queue: none, threshold 0); its rows and messages stay as they are.
// Processes that open it at the same moment serialise on the write lock and
// look again inside it.
bool Db::Upgrade() {
  auto has_columns = [this] {
    sqlite3_stmt* st = nullptr;
    const bool ok =
        sqlite3_prepare_v2(db_, "SELECT backout_queue, backout_threshold FROM queues LIMIT 0", -1, &st, nullptr) ==
        SQLITE_OK;
    sqlite3_finalize(st);
    return ok;
  };
  if (has_columns()) return true;
  if (!Exec("BEGIN IMMEDIATE")) return false;
  bool ok = has_columns() ||
            (Exec("ALTER TABLE queues ADD COLUMN backout_queue TEXT NOT NULL DEFAULT ''") &&
             Exec("ALTER TABLE queues ADD COLUMN backout_threshold INT NOT NULL DEFAULT 0"));
  ok = ok && Exec("COMMIT");
  if (!ok) Exec("ROLLBACK");
  return ok;
}

std::mutex g_attach_mu;
std::map<std::string, std::weak_ptr<SharedQm>>& Attached() {
  static auto* m = new std::map<std::string, std::weak_ptr<SharedQm>>();
  return *m;
}

std::string QmDir(const std::string& name) { return platform::DataRoot() + "/qm/" + name; }

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
    if (platform::MakePrivateDirectory(platform::DataRoot() + "/qm") != 0 || platform::MakePrivateDirectory(dir) != 0)
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
    WakeAllCommitters(old);
  }
  if (write_held) ReleaseWriteMutex(old);
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
  h.free_ticket = -1;
  h.next_unit = 1;
  std::random_device rd;
  h.next_dynamic = (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ static_cast<uint64_t>(WallClockMs());

  // Queues from the database.
  {
    Stmt st(db(), "SELECT name, kind, def_priority, def_persistence, max_depth, max_length, "
                  "get_inhibited, put_inhibited, backout_queue, backout_threshold FROM queues");
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
      const char* bq = reinterpret_cast<const char*>(sqlite3_column_text(*st, 8));
      a.backout_queue = bq ? bq : "";
      a.backout_threshold = sqlite3_column_int(*st, 9);
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
  e.prev = e.next = e.first_chunk = e.ticket = -1;
  e.state = kWriting;
  return i;
}

void SharedQm::FreeEntryLocked(int32_t i) {
  Entry& e = shm_->entries[i];
  // Work still owed to a committer is dropped with the entry: it is told so.
  if (e.ticket >= 0) SettleLocked(e, false, nullptr);
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

}  // namespace krsoap::queue::embedded
