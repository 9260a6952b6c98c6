// pg_wake.cpp - the PostgreSQL store's wake board and its relay (see
// pg_wake.h): the board file, its futex words, and the thread that listens
// for the machine.
#include "platform/queue/pg_wake.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include "common/queue/krqueue.h"
#include "platform/files/data_root.h"
#include "platform/queue/pg_conn.h"
#include "platform/queue/process_identity.h"
#include "platform/queue/store.h"
#include "platform/sync/futex.h"

namespace krsoap::queue::pg {
namespace {

// Words on a board: queues whose ids differ by a multiple share one, which
// only costs the other queue's getters a look.
constexpr size_t kWords = 4096;
// Hand-off slots on a board: getters of the machine that may sleep at once
// with an offer out; one that finds none free waits without.
constexpr size_t kHandOffs = 64;
// How long a getter waits for the putter that claimed its slot before it
// makes sure that putter still runs.
constexpr int64_t kClaimRecheckMs = 200;
// How often the relay looks for messages handed to getters that died before
// they took them, and how long a message must have lain in its slot first.
constexpr int kRescueMs = 1000;

// How long a relay's connection may stay silent before the relay asks the
// server whether it is still there (a server machine that vanished sends
// nothing, not even a reset).
constexpr int kRelayProbeMs = 10000;
// How long a relay waits before connecting again after it failed.
constexpr int kRelayRetryFirstMs = 100;
constexpr int kRelayRetryMaxMs = 5000;
// How often a relay drops the registrations of listeners that are gone.
constexpr std::chrono::seconds kSweepInterval(60);

uint64_t Fnv64(std::string_view s, uint64_t h = 1469598103934665603ull) {
  for (unsigned char ch : s) h = (h ^ ch) * 1099511628211ull;
  return h;
}

std::string Hex64(uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

std::mutex& RegistryMutex() {
  static std::mutex* mu = new std::mutex;  // never destroyed: relay threads outlive main
  return *mu;
}

// Boards by process, data root and connection string (null: none could be
// made). The process is part of the key: a forked child's boards are its
// parent's, whose descriptors the child closed (CloseAfterFork) and whose
// relay threads it does not have.
std::map<std::string, PgWakeBoard*>& Boards() {
  static auto* boards = new std::map<std::string, PgWakeBoard*>;
  return *boards;
}

void LockBeforeFork() { RegistryMutex().lock(); }
void UnlockAfterFork() { RegistryMutex().unlock(); }

// The relay threads' calls into libpq, and the process's exit. The shared
// libraries' destructors (libpq's, and those of the security libraries under
// it) run after the exit handlers; once StopRelaysAtExit holds this lock, no
// relay thread is inside libpq while they run, and none enters it again. A
// relay never holds it while it waits for the server, so an exit waits at
// most for one short call.
std::mutex& RelayCallMutex() {
  static std::mutex* mu = new std::mutex;
  return *mu;
}
void StopRelaysAtExit() { RelayCallMutex().lock(); }  // held until the process is gone

using RelayLock = std::lock_guard<std::mutex>;

// Waits for the relay connection's socket; false on a timeout or an error.
bool WaitSocket(PGconn* c, short events, int timeout_ms) {
  pollfd p{PQsocket(c), events, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, timeout_ms);
    if (rc < 0 && errno == EINTR) continue;
    return rc > 0;
  }
}

// Connects without holding the lock while the server answers; null on failure.
PGconn* RelayConnect(const std::string& conninfo) {
  PGconn* c;
  {
    RelayLock lock(RelayCallMutex());
    c = PQconnectStart(conninfo.c_str());
    if (!c) return nullptr;
    // What the server says unasked (that it shuts down) shows as the lost
    // connection, not on the caller's standard error.
    PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
  }
  PostgresPollingStatusType st = PQstatus(c) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  while (st != PGRES_POLLING_OK && st != PGRES_POLLING_FAILED) {
    if (!WaitSocket(c, st == PGRES_POLLING_READING ? POLLIN : POLLOUT, kRelayProbeMs)) {
      st = PGRES_POLLING_FAILED;
      break;
    }
    RelayLock lock(RelayCallMutex());
    st = PQconnectPoll(c);
  }
  if (st == PGRES_POLLING_OK) return c;
  RelayLock lock(RelayCallMutex());
  PQfinish(c);
  return nullptr;
}

// Runs a statement the same way (with parameters, when given); true when it
// succeeded.
bool RelayExec(PGconn* c, const char* sql, int n = 0, const char* const* values = nullptr,
               const int* lengths = nullptr, const int* formats = nullptr) {
  {
    RelayLock lock(RelayCallMutex());
    if (!(n == 0 ? PQsendQuery(c, sql) : PQsendQueryParams(c, sql, n, nullptr, values, lengths, formats, 0)))
      return false;
  }
  for (;;) {
    {
      RelayLock lock(RelayCallMutex());
      if (PQconsumeInput(c) == 0) return false;
      if (!PQisBusy(c)) break;
    }
    if (!WaitSocket(c, POLLIN, kRelayProbeMs)) return false;
  }
  RelayLock lock(RelayCallMutex());
  bool ok = true;
  while (PGresult* r = PQgetResult(c)) {
    ok = ok && (PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK);
    PQclear(r);
  }
  return ok;
}

// A rescued message (RescueHandOffs) into its queue, non-persistent, as a
// plain put would have inserted it; nothing when the queue is gone.
constexpr const char* kRescueSql =
    "WITH i AS (INSERT INTO krsoap.messages (queue_id, priority, persistent, msg_id, correl_id, expires_at,"
    "                                        md, body)"
    " SELECT q.id, $2::int, false, $3::bytea, $4::bytea,"
    "        CASE WHEN $5::bigint IS NULL THEN NULL"
    "             ELSE clock_timestamp() + $5::bigint * interval '1 millisecond' END,"
    "        $6::bytea, $7::bytea"
    "   FROM krsoap.queues q WHERE q.id = $1::bigint RETURNING queue_id)"
    " SELECT set_config('synchronous_commit', 'off', true), pg_notify('krq', queue_id::text) FROM i";

// The same in every process of the machine, and never set back.
int64_t MonotonicMs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

struct PgWakeBoard::Word {
  uint32_t seq;       // moves on every wake-up of the queues it stands for
  uint32_t sleepers;  // getters asleep on seq (a dead one's count stays)
};

// A hand-off slot (pg_wake.h). Its word, `state`, is a step in the low
// bits (kStep), kWatched when its getter sleeps on the word, and above them
// a generation that every offer moves, so that a getter or putter holding an
// old value of the word can never act on the slot's next use. The other
// fields are written before the step that publishes them and read after it;
// they are atomics only because a putter may read a slot that is being
// offered again at that moment (its claim then fails).
struct PgWakeBoard::HandOff {
  uint32_t state;
  int32_t pid;          // the offering getter's process and thread
  uint32_t tid;
  int32_t claimer_pid;  // the putter that claimed it, and its thread
  uint32_t claimer_tid;
  int32_t max_length;
  int64_t queue_id;
  uint32_t select;      // kByMsgId | kByCorrelId
  int32_t length;       // filled: the body's length
  int64_t filled_ms;    // filled: when (CLOCK_MONOTONIC, the machine's)
  int64_t expiry_ms;    // filled: the deadline (0: none)
  uint64_t msg_id[3];
  uint64_t correl_id[3];
};

struct PgWakeBoard::Shared {
  uint32_t relaying;  // 1 while a relay listens; also a futex word
  uint32_t offered;   // hand-off slots between offer and withdrawal
  uint64_t handed;    // messages handed over
  int64_t reclaimed_ms;  // the last look for hand-off slots to take back
  uint32_t reserved[10];
  Word words[kWords];
  // Per word, the last queue a look found empty and the word's value then:
  // QueueKey(queue) in the high half (never 0), the value in the low half.
  uint64_t empty[kWords];
  // Per word, the waiter lock: 0 when free, else QueueKey(queue) in the high
  // half and the holder's thread id in the low half (the futex word its
  // waiters sleep on); the holder's pid, written after it took the lock, to
  // tell whether that thread still runs; and how many wait for the lock (a
  // dead one's count stays, which costs its releases a wake-up call).
  uint64_t waiter[kWords];
  int32_t waiter_pid[kWords];
  uint32_t lock_waiters[kWords];
  HandOff handoffs[kHandOffs];
  uint8_t handoff_md[kHandOffs][PgWakeBoard::kHandOffMd];
  uint8_t handoff_body[kHandOffs][PgWakeBoard::kHandOffBody];
};

namespace {

// The word (and empty record) a queue shares with the queues whose ids
// differ from its by a multiple of kWords.
size_t WordIndex(int64_t queue_id) { return static_cast<uint64_t>(queue_id) % kWords; }

// Which of the queues sharing a word an empty record or a waiter lock is
// about: the rest of the id past the word's index, with the top bit set so
// that a record of a new (all zero) board is never anybody's. Exact for ids
// below 2^43.
uint64_t QueueKey(int64_t queue_id) {
  return ((static_cast<uint64_t>(queue_id) / kWords) & 0x7fffffffu) | 0x80000000u;
}

// How often a getter waiting for a waiter lock makes sure its holder runs
// (a holder's process that exits frees its locks; one killed outright
// cannot).
constexpr auto kLockRecheck = std::chrono::milliseconds(500);

// Not cached: a forked child's thread would inherit its parent's. Only gets
// that wait ask for it.
uint32_t ThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

// Whether a thread still runs; one that cannot be asked about counts as
// running (a lock or slot is only ever taken from a thread known gone).
bool ThreadRuns(int32_t pid, uint32_t tid) {
  return pid <= 0 || tid == 0 || ::syscall(SYS_tgkill, pid, tid, 0) == 0 || errno != ESRCH;
}
// The same for a thread recorded in shared memory.
bool ThreadRuns(const int32_t* pid, const uint32_t* tid) {
  return ThreadRuns(__atomic_load_n(pid, __ATOMIC_RELAXED), __atomic_load_n(tid, __ATOMIC_RELAXED));
}

// The futex word of a waiter lock: its low half, the holder's thread id.
uint32_t* LockFutex(uint64_t* lock) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the low half comes first");
  return reinterpret_cast<uint32_t*>(lock);
}

// Wakes one getter waiting for a waiter lock, if any waits.
void WakeLockWaiter(uint64_t* lock, uint32_t* waiters) {
  if (__atomic_load_n(waiters, __ATOMIC_SEQ_CST) != 0) platform::FutexWake(LockFutex(lock), 1);
}

// Frees a waiter lock still held as `held` and hands it to one waiter;
// false when it has changed hands meanwhile.
bool FreeWaiterLock(uint64_t* lock, uint32_t* waiters, uint64_t held) {
  if (!__atomic_compare_exchange_n(lock, &held, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) return false;
  WakeLockWaiter(lock, waiters);
  return true;
}

}  // namespace

PgWakeBoard::PgWakeBoard(std::string conninfo, int fd, Shared* shared, std::string tag)
    : conninfo_(std::move(conninfo)), fd_(fd), shared_(shared), tag_(std::move(tag)) {}

PgWakeBoard* PgWakeBoard::For(const std::string& conninfo) {
  static std::once_flag atfork;
  std::call_once(atfork, [] {
    pthread_atfork(LockBeforeFork, UnlockAfterFork, CloseAfterFork);
    std::atexit(StopRelaysAtExit);
    std::atexit(ReleaseWaiterLocksAtExit);
  });
  const std::string root = platform::DataRoot();
  const std::string key = std::to_string(::getpid()) + '\n' + root + '\n' + conninfo;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto found = Boards().find(key);
  if (found != Boards().end()) return found->second;
  PgWakeBoard*& board = Boards()[key];  // a failure is remembered too: null
  const std::string dir = root + "/pgwake";
  if (platform::EnsureDataRoot() != 0 || platform::MakePrivateDirectory(dir) != 0) return nullptr;
  // The file is named by the connection string, which it does not hold (it
  // may carry a password).
  // "-4": the layout with the hand-off slots; a process of a version before
  // keeps its own board.
  const std::string path = dir + "/" + Hex64(Fnv64(conninfo)) + "-4.board";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return nullptr;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
  // A new file is all zeros: no relay, every word at 0. Two processes that
  // size it at once size it the same.
  if (ok && st.st_size == 0) ok = ::ftruncate(fd, sizeof(Shared)) == 0;
  else if (ok) ok = st.st_size == static_cast<off_t>(sizeof(Shared));
  void* map = ok ? ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
  if (map == MAP_FAILED) {
    ::close(fd);
    return nullptr;
  }
  // The tag names this file on this boot: boards of other data roots,
  // connection strings or machines are told apart by it.
  const std::string tag = Hex64(Fnv64(std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino), Fnv64(BootId())));
  board = new PgWakeBoard(conninfo, fd, static_cast<Shared*>(map), tag);
  return board;
}

void PgWakeBoard::CloseAfterFork() {
  // The relay lock belongs to the open file description: the child's copy of
  // a descriptor would hold it for the parent after the parent ended.
  for (auto& [key, board] : Boards()) {
    if (board && board->fd_ >= 0) ::close(board->fd_);
    if (board) board->fd_ = -1;
  }
  RegistryMutex().unlock();
}

bool PgWakeBoard::Relaying(Clock::time_point deadline) {
  std::call_once(relay_started_, [this] { std::thread([this] { RelayLoop(); }).detach(); });
  const auto until = std::min(deadline, Clock::now() + std::chrono::seconds(1));
  for (;;) {
    if (platform::LoadWord(&shared_->relaying) == 1) return true;
    const auto now = Clock::now();
    if (now >= until) return false;
    platform::FutexWait(&shared_->relaying, 0,
                        std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1);
  }
}

PgWakeBoard::Word& PgWakeBoard::WordOf(int64_t queue_id) const { return shared_->words[WordIndex(queue_id)]; }

void PgWakeBoard::Move(Word& w) {
  __atomic_add_fetch(&w.seq, 1, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&w.sleepers, __ATOMIC_SEQ_CST) != 0) platform::FutexWake(&w.seq, INT_MAX);
}

uint32_t PgWakeBoard::Read(int64_t queue_id) const { return __atomic_load_n(&WordOf(queue_id).seq, __ATOMIC_SEQ_CST); }

bool PgWakeBoard::Wait(int64_t queue_id, uint32_t seen, Clock::time_point until) {
  Word& w = WordOf(queue_id);
  __atomic_add_fetch(&w.sleepers, 1, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&w.seq, __ATOMIC_SEQ_CST) == seen) {
    const auto now = Clock::now();
    if (now < until) {
      const int64_t ms =
          until == Clock::time_point::max()
              ? -1
              : std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
      platform::WatchThenFutexWait(&w.seq, seen, ms);
    }
  }
  __atomic_sub_fetch(&w.sleepers, 1, __ATOMIC_SEQ_CST);
  return __atomic_load_n(&w.seq, __ATOMIC_SEQ_CST) != seen;
}

void PgWakeBoard::Wake(int64_t queue_id) {
  if (queue_id > 0) Move(WordOf(queue_id));
}

void PgWakeBoard::NoteEmpty(int64_t queue_id, uint32_t seen) {
  __atomic_store_n(&shared_->empty[WordIndex(queue_id)], QueueKey(queue_id) << 32 | seen, __ATOMIC_SEQ_CST);
}

bool PgWakeBoard::KnownEmpty(int64_t queue_id, uint32_t* seen) const {
  const uint64_t rec = __atomic_load_n(&shared_->empty[WordIndex(queue_id)], __ATOMIC_SEQ_CST);
  const uint32_t now = Read(queue_id);
  if (rec >> 32 != QueueKey(queue_id) || static_cast<uint32_t>(rec) != now) return false;
  *seen = now;
  return true;
}

PgWakeBoard::WaiterLock PgWakeBoard::LockWaiter(int64_t queue_id, Clock::time_point deadline) {
  const size_t i = WordIndex(queue_id);
  uint64_t* lock = &shared_->waiter[i];
  const uint64_t key = QueueKey(queue_id);
  const uint64_t mine = key << 32 | ThreadId();
  // A waiter that leaves without the lock while others still wait passes
  // on the wake-up it may have taken from them.
  auto pass_on = [&] { WakeLockWaiter(lock, &shared_->lock_waiters[i]); };
  for (bool waited = false;; waited = true) {
    uint64_t held = __atomic_load_n(lock, __ATOMIC_SEQ_CST);
    if (held == 0) {
      if (!__atomic_compare_exchange_n(lock, &held, mine, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        continue;
      __atomic_store_n(&shared_->waiter_pid[i], CurrentPid(), __ATOMIC_SEQ_CST);
      return WaiterLock::kTaken;
    }
    if (held >> 32 != key) {
      if (waited) pass_on();
      return WaiterLock::kOtherQueue;
    }
    if (held == mine) return WaiterLock::kTaken;  // left by a get of this thread that failed to unlock
    const auto now = Clock::now();
    if (now >= deadline) {
      if (waited) pass_on();
      return WaiterLock::kTimedOut;
    }
    const auto until = std::min(deadline, now + kLockRecheck);
    __atomic_add_fetch(&shared_->lock_waiters[i], 1, __ATOMIC_SEQ_CST);
    platform::FutexWait(LockFutex(lock), static_cast<uint32_t>(held),
                        std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1);
    __atomic_sub_fetch(&shared_->lock_waiters[i], 1, __ATOMIC_SEQ_CST);
    // Still the same holder after a recheck's time: take the lock over if
    // its thread is gone (its process died in a get).
    if (Clock::now() >= until && __atomic_load_n(lock, __ATOMIC_SEQ_CST) == held) {
      const int32_t pid = __atomic_load_n(&shared_->waiter_pid[i], __ATOMIC_SEQ_CST);
      const uint32_t tid = static_cast<uint32_t>(held);
      if (!ThreadRuns(pid, tid))
        __atomic_compare_exchange_n(lock, &held, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
  }
}

void PgWakeBoard::UnlockWaiter(int64_t queue_id) {
  const size_t i = WordIndex(queue_id);
  // Not ours any more when a waiter took it over from a thread it thought
  // gone: that holder keeps it.
  FreeWaiterLock(&shared_->waiter[i], &shared_->lock_waiters[i], QueueKey(queue_id) << 32 | ThreadId());
}

void PgWakeBoard::ReleaseWaiterLocksAtExit() {
  // Another thread may be in For(), or the fork handlers hold the mutex:
  // the locks are then left to be taken over.
  std::unique_lock<std::mutex> registry(RegistryMutex(), std::try_to_lock);
  if (!registry.owns_lock()) return;
  const int32_t self = CurrentPid();
  for (auto& [key, board] : Boards()) {
    if (!board) continue;
    Shared* const sh = board->shared_;
    for (size_t i = 0; i < kWords; ++i) {
      uint64_t held = __atomic_load_n(&sh->waiter[i], __ATOMIC_SEQ_CST);
      if (held == 0 || __atomic_load_n(&sh->waiter_pid[i], __ATOMIC_SEQ_CST) != self) continue;
      // The pid may be a moment old: free only a lock whose holder is one of
      // this process's threads.
      if (::syscall(SYS_tgkill, self, static_cast<uint32_t>(held), 0) == 0)
        FreeWaiterLock(&sh->waiter[i], &sh->lock_waiters[i], held);
    }
  }
}

// ---- Hand-off ------------------------------------------------------------------

namespace {

// kRescuing: the relay puts the message of a getter that died before it
// took it into the queue.
enum Step : uint32_t { kFree = 0, kOffering = 1, kWaiting = 2, kClaimed = 3, kFilling = 4, kFilled = 5,
                       kRescuing = 6 };
constexpr uint32_t kStep = 0x7f;
constexpr uint32_t kWatched = 0x80;
constexpr uint32_t kGeneration = ~0xffu;
constexpr uint32_t kByMsgId = 1, kByCorrelId = 2;

uint32_t StepOf(uint32_t word) { return word & kStep; }
uint32_t GenerationOf(uint32_t word) { return word & kGeneration; }

void StoreId(uint64_t* to, const uint8_t* id) {
  uint64_t v[3] = {};
  if (id) std::memcpy(v, id, sizeof v);
  for (int i = 0; i < 3; ++i) __atomic_store_n(&to[i], v[i], __ATOMIC_RELAXED);
}

bool SameId(const uint64_t* slot, const uint8_t* id) {
  uint64_t v[3];
  std::memcpy(v, id, sizeof v);
  for (int i = 0; i < 3; ++i)
    if (__atomic_load_n(&slot[i], __ATOMIC_RELAXED) != v[i]) return false;
  return true;
}

// Moves a slot's word from step `from` of its generation to step `to`,
// keeping the generation, and wakes a getter sleeping on it; false when the
// word is no longer at that step of that generation.
bool Step(uint32_t* word, uint32_t generation, uint32_t from, uint32_t to) {
  for (;;) {
    uint32_t w = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    if (GenerationOf(w) != generation || StepOf(w) != from) return false;
    if (__atomic_compare_exchange_n(word, &w, generation | to, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
      if (w & kWatched) platform::FutexWake(word, INT_MAX);
      return true;
    }
  }
}

// Frees a slot whose word is still *seen and counts its offer out; false
// (and *seen the word now) when the word has moved.
bool FreeSlot(uint32_t* state, uint32_t* seen, uint32_t* offered) {
  if (!__atomic_compare_exchange_n(state, seen, GenerationOf(*seen) | kFree, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE))
    return false;
  __atomic_sub_fetch(offered, 1, __ATOMIC_SEQ_CST);
  return true;
}

}  // namespace

PgWakeBoard::Slot PgWakeBoard::OfferHandOff(const HandOffWish& wish) {
  if (wish.queue_id <= 0 || wish.max_length <= 0) return {};
  const int32_t pid = CurrentPid();
  const uint32_t tid = ThreadId();
  // None free on the first pass: take back the slots that getters which are
  // gone left behind, then look again.
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1 && !TakeBackSlots()) break;
    for (size_t n = 0; n < kHandOffs; ++n) {
      const size_t i = (tid + n) % kHandOffs;  // threads start apart
      HandOff& h = shared_->handoffs[i];
      uint32_t w = __atomic_load_n(&h.state, __ATOMIC_ACQUIRE);
      if (StepOf(w) != kFree) continue;
      const uint32_t generation = GenerationOf(w + 0x100);
      if (!__atomic_compare_exchange_n(&h.state, &w, generation | kOffering, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE))
        continue;
      __atomic_store_n(&h.pid, pid, __ATOMIC_RELAXED);
      __atomic_store_n(&h.tid, tid, __ATOMIC_RELAXED);
      __atomic_store_n(&h.claimer_pid, 0, __ATOMIC_RELAXED);
      __atomic_store_n(&h.claimer_tid, 0u, __ATOMIC_RELAXED);
      __atomic_store_n(&h.max_length, wish.max_length, __ATOMIC_RELAXED);
      __atomic_store_n(&h.queue_id, wish.queue_id, __ATOMIC_RELAXED);
      __atomic_store_n(&h.select, (wish.msg_id ? kByMsgId : 0) | (wish.correl_id ? kByCorrelId : 0),
                       __ATOMIC_RELAXED);
      StoreId(h.msg_id, wish.msg_id);
      StoreId(h.correl_id, wish.correl_id);
      __atomic_add_fetch(&shared_->offered, 1, __ATOMIC_SEQ_CST);
      __atomic_store_n(&h.state, generation | kWaiting, __ATOMIC_RELEASE);
      return Slot{static_cast<int>(i), generation | kWaiting};
    }
  }
  return {};
}

bool PgWakeBoard::TakeBackSlots() {
  // At most once a second on the machine: with more getters waiting than
  // slots, every wait would otherwise ask after every slot's thread.
  const int64_t now = MonotonicMs();
  int64_t last = __atomic_load_n(&shared_->reclaimed_ms, __ATOMIC_RELAXED);
  if (now - last < kRescueMs ||
      !__atomic_compare_exchange_n(&shared_->reclaimed_ms, &last, now, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
    return false;
  for (HandOff& h : shared_->handoffs) {
    uint32_t w = __atomic_load_n(&h.state, __ATOMIC_ACQUIRE);
    // A waiting slot is its getter's; a claimed one its getter's and its
    // putter's. A filled one holds a message, which the relay puts into the
    // queue.
    const bool claimed = StepOf(w) == kClaimed || StepOf(w) == kFilling;
    if ((StepOf(w) == kWaiting || claimed) && !ThreadRuns(&h.pid, &h.tid) &&
        !(claimed && ThreadRuns(&h.claimer_pid, &h.claimer_tid)))
      FreeSlot(&h.state, &w, &shared_->offered);
  }
  return true;
}

bool PgWakeBoard::Withdraw(const Slot& offer, Clock::time_point deadline, void* md, size_t md_size, void* body,
                           int32_t* length, int64_t* expiry_ms) {
  if (offer.slot < 0) return false;
  HandOff& h = shared_->handoffs[offer.slot];
  const uint32_t generation = GenerationOf(offer.state);
  for (;;) {
    uint32_t w = __atomic_load_n(&h.state, __ATOMIC_ACQUIRE);
    if (GenerationOf(w) != generation) return false;  // not ours any more (never happens to a live getter)
    switch (StepOf(w)) {
      case kWaiting:
        if (!FreeSlot(&h.state, &w, &shared_->offered)) continue;
        return false;
      case kFilled: {
        const int32_t n = __atomic_load_n(&h.length, __ATOMIC_RELAXED);
        std::memcpy(md, shared_->handoff_md[offer.slot], std::min(md_size, kHandOffMd));
        if (n > 0) std::memcpy(body, shared_->handoff_body[offer.slot], static_cast<size_t>(n));
        *length = n;
        *expiry_ms = __atomic_load_n(&h.expiry_ms, __ATOMIC_RELAXED);
        // The relay may be taking it for a dead getter's only if this getter
        // is dead: from kFilled nobody else moves the slot.
        __atomic_store_n(&h.state, generation | kFree, __ATOMIC_RELEASE);
        __atomic_sub_fetch(&shared_->offered, 1, __ATOMIC_SEQ_CST);
        return true;
      }
      case kClaimed:
      case kFilling: {
        // A putter's statement decides; sleep until it hands the message
        // over or lets the slot go. Past the get's deadline a claim still
        // undecided is taken back: the putter's Fill then fails, and it puts
        // the message into the queue.
        int64_t slice = kClaimRecheckMs;
        if (StepOf(w) == kClaimed) {
          const auto now = Clock::now();
          if (now >= deadline) {
            if (!FreeSlot(&h.state, &w, &shared_->offered)) continue;
            return false;
          }
          slice = std::min<int64_t>(
              slice, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1);
        }
        if (!(w & kWatched)) {
          const uint32_t watched = w | kWatched;
          if (!__atomic_compare_exchange_n(&h.state, &w, watched, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            continue;
          w = watched;
        }
        platform::FutexWait(&h.state, w, slice);
        // Its putter died with the claim: whatever it put is in the queue or
        // was never put.
        if (__atomic_load_n(&h.state, __ATOMIC_ACQUIRE) == w && !ThreadRuns(&h.claimer_pid, &h.claimer_tid) &&
            FreeSlot(&h.state, &w, &shared_->offered))
          return false;
        continue;
      }
      default:
        return false;
    }
  }
}

PgWakeBoard::Slot PgWakeBoard::ClaimHandOff(int64_t queue_id, const uint8_t* msg_id, const uint8_t* correl_id,
                                            size_t length, bool* by_msg_id, bool* by_correl_id) {
  if (queue_id <= 0 || length > kHandOffBody || __atomic_load_n(&shared_->offered, __ATOMIC_SEQ_CST) == 0)
    return {};
  for (size_t i = 0; i < kHandOffs; ++i) {
    HandOff& h = shared_->handoffs[i];
    uint32_t w = __atomic_load_n(&h.state, __ATOMIC_ACQUIRE);
    if (StepOf(w) != kWaiting || __atomic_load_n(&h.queue_id, __ATOMIC_RELAXED) != queue_id) continue;
    const uint32_t select = __atomic_load_n(&h.select, __ATOMIC_RELAXED);
    if (static_cast<int64_t>(length) > __atomic_load_n(&h.max_length, __ATOMIC_RELAXED)) continue;
    if ((select & kByMsgId) && !SameId(h.msg_id, msg_id)) continue;
    if ((select & kByCorrelId) && !SameId(h.correl_id, correl_id)) continue;
    if (!ThreadRuns(&h.pid, &h.tid)) {
      FreeSlot(&h.state, &w, &shared_->offered);  // its getter was killed in its wait
      continue;
    }
    // The word at the value read: the fields read above were this offer's.
    const uint32_t claimed = GenerationOf(w) | kClaimed;
    if (!__atomic_compare_exchange_n(&h.state, &w, claimed, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) continue;
    __atomic_store_n(&h.claimer_pid, CurrentPid(), __ATOMIC_RELAXED);
    __atomic_store_n(&h.claimer_tid, ThreadId(), __ATOMIC_RELAXED);
    *by_msg_id = select & kByMsgId;
    *by_correl_id = select & kByCorrelId;
    return Slot{static_cast<int>(i), claimed};
  }
  return {};
}

bool PgWakeBoard::Fill(const Slot& claim, int64_t queue_id, uint32_t seen, bool empty, const void* md,
                       size_t md_size, const void* body, size_t length, int64_t expiry_ms) {
  if (claim.slot < 0 || md_size > kHandOffMd || length > kHandOffBody) return false;
  HandOff& h = shared_->handoffs[claim.slot];
  const uint32_t generation = GenerationOf(claim.state);
  // kFilling first: a getter that took this putter for dead and gave the
  // slot up cannot have it offered and filled by another meanwhile.
  if (!Step(&h.state, generation, kClaimed, kFilling)) return false;
  std::memcpy(shared_->handoff_md[claim.slot], md, md_size);
  if (length > 0) std::memcpy(shared_->handoff_body[claim.slot], body, length);
  __atomic_store_n(&h.length, static_cast<int32_t>(length), __ATOMIC_RELAXED);
  __atomic_store_n(&h.expiry_ms, expiry_ms, __ATOMIC_RELAXED);
  __atomic_store_n(&h.filled_ms, MonotonicMs(), __ATOMIC_RELAXED);
  if (!Step(&h.state, generation, kFilling, kFilled)) return false;
  __atomic_add_fetch(&shared_->handed, 1, __ATOMIC_RELAXED);
  // The getter sleeps on the queue's word. Moved from `seen` by this put
  // alone, the queue is as the statement found it: empty, when it said so.
  Word& w = WordOf(queue_id);
  uint32_t expected = seen;
  if (empty && __atomic_compare_exchange_n(&w.seq, &expected, seen + 1, false, __ATOMIC_SEQ_CST,
                                           __ATOMIC_SEQ_CST)) {
    NoteEmpty(queue_id, seen + 1);
    if (__atomic_load_n(&w.sleepers, __ATOMIC_SEQ_CST) != 0) platform::FutexWake(&w.seq, INT_MAX);
  } else {
    Move(w);
  }
  return true;
}

void PgWakeBoard::Unclaim(const Slot& claim) {
  if (claim.slot >= 0) Step(&shared_->handoffs[claim.slot].state, GenerationOf(claim.state), kClaimed, kWaiting);
}

uint64_t PgWakeBoard::HandedOver() const { return __atomic_load_n(&shared_->handed, __ATOMIC_RELAXED); }

int PgWakeBoard::Offered(int64_t queue_id) const {
  int n = 0;
  for (const HandOff& h : shared_->handoffs)
    if (StepOf(__atomic_load_n(&h.state, __ATOMIC_ACQUIRE)) == kWaiting &&
        __atomic_load_n(&h.queue_id, __ATOMIC_RELAXED) == queue_id)
      ++n;
  return n;
}

bool PgWakeBoard::RescueHandOffs(PGconn* c) {
  if (__atomic_load_n(&shared_->offered, __ATOMIC_SEQ_CST) == 0) return true;
  const int64_t now_ms = MonotonicMs();
  for (size_t i = 0; i < kHandOffs; ++i) {
    HandOff& h = shared_->handoffs[i];
    uint32_t w = __atomic_load_n(&h.state, __ATOMIC_ACQUIRE);
    if (StepOf(w) != kFilled || now_ms - __atomic_load_n(&h.filled_ms, __ATOMIC_RELAXED) < kRescueMs ||
        ThreadRuns(&h.pid, &h.tid) ||
        !__atomic_compare_exchange_n(&h.state, &w, GenerationOf(w) | kRescuing, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
      continue;
    // Its getter died before it took the message: into the queue with it,
    // as the put would have done without the getter (unless it expired).
    KRMD md;
    std::memcpy(&md, shared_->handoff_md[i], sizeof md);
    const int64_t expiry = __atomic_load_n(&h.expiry_ms, __ATOMIC_RELAXED);
    const int64_t left = expiry == 0 ? 0 : expiry - WallClockMs();
    bool ok = true;
    if (expiry == 0 || left > 0) {
      const std::string queue = std::to_string(__atomic_load_n(&h.queue_id, __ATOMIC_RELAXED));
      const std::string priority = std::to_string(std::clamp<int32_t>(md.Priority, 0, 9));
      const std::string expire = std::to_string(left);
      const char* values[7] = {queue.c_str(), priority.c_str(), reinterpret_cast<const char*>(md.MsgId),
                               reinterpret_cast<const char*>(md.CorrelId), expiry == 0 ? nullptr : expire.c_str(),
                               reinterpret_cast<const char*>(shared_->handoff_md[i]),
                               reinterpret_cast<const char*>(shared_->handoff_body[i])};
      const int lengths[7] = {0, 0, sizeof md.MsgId, sizeof md.CorrelId, 0, static_cast<int>(sizeof md),
                              __atomic_load_n(&h.length, __ATOMIC_RELAXED)};
      const int formats[7] = {0, 0, 1, 1, 0, 1, 1};
      ok = RelayExec(c, kRescueSql, 7, values, lengths, formats);
    }
    if (!ok) {
      // The connection failed: the next relay tries again.
      __atomic_store_n(&h.state, GenerationOf(w) | kFilled, __ATOMIC_RELEASE);
      return false;
    }
    __atomic_store_n(&h.state, GenerationOf(w) | kFree, __ATOMIC_RELEASE);
    __atomic_sub_fetch(&shared_->offered, 1, __ATOMIC_SEQ_CST);
  }
  return true;
}

void PgWakeBoard::WakeAll() {
  for (Word& w : shared_->words) Move(w);
}

void PgWakeBoard::RelayLoop() {
  // One relay per board: the others wait here until its process ends.
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1;
  while (::fcntl(fd_, F_OFD_SETLKW, &fl) != 0) {
    if (errno != EINTR) return;  // no relay from this process; others may still be one
  }
  const std::string listen = ListenSql(tag_, true);
  for (int retry_ms = 0;;) {
    // The previous holder may have died listening: nobody listens until the
    // LISTEN below has committed.
    __atomic_store_n(&shared_->relaying, 0, __ATOMIC_SEQ_CST);
    if (retry_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(retry_ms));
    retry_ms = std::clamp(retry_ms * 2, kRelayRetryFirstMs, kRelayRetryMaxMs);
    PGconn* c = RelayConnect(conninfo_);
    if (!c) continue;
    if (!RelayExec(c, listen.c_str()) || !RelayExec(c, kListenFenceSql)) {
      RelayLock lock(RelayCallMutex());
      PQfinish(c);
      continue;
    }
    retry_ms = 0;
    __atomic_store_n(&shared_->relaying, 1, __ATOMIC_SEQ_CST);
    platform::FutexWake(&shared_->relaying, INT_MAX);
    WakeAll();  // puts made while nobody listened
    auto swept = Clock::now();
    auto heard = Clock::now();
    for (bool up = true; up;) {
      const bool readable = WaitSocket(c, POLLIN, kRescueMs);
      if (!RescueHandOffs(c)) break;
      if (!readable) {
        // Silence: is the server still there?
        if (Clock::now() - heard >= std::chrono::milliseconds(kRelayProbeMs)) {
          up = RelayExec(c, "SELECT 1");
          heard = Clock::now();
        }
      } else if (Clock::now() - swept > kSweepInterval) {
        // Listeners that are gone make every put notify until swept.
        up = RelayExec(c, kSweepListenersSql);
        swept = Clock::now();
      } else {
        RelayLock lock(RelayCallMutex());
        up = PQconsumeInput(c) != 0;
        heard = Clock::now();
      }
      RelayLock lock(RelayCallMutex());
      while (PGnotify* n = PQnotifies(c)) {
        std::string_view tag;
        const int64_t id = WakeQueueId(n->extra, &tag);
        if (tag != tag_) Wake(id);
        PQfreemem(n);
      }
    }
    {
      RelayLock lock(RelayCallMutex());
      PQfinish(c);
    }
    __atomic_store_n(&shared_->relaying, 0, __ATOMIC_SEQ_CST);
    WakeAll();  // sleepers go back to listening on their own connections
    retry_ms = kRelayRetryFirstMs;
  }
}

}  // namespace krsoap::queue::pg
