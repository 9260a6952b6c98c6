// Tests of what only the PostgreSQL store has to get right: competing getters
// in separate processes, a database server that stops and comes back in the
// middle of a run, dynamic queues of a process killed outright, and names
// that look like SQL. The behaviour both stores share is the conformance
// suite's (tests/queue).
//
// They run against the server named by KRSOAP_TEST_PG (the test run starts a
// throwaway one) and are skipped without it. The restart test starts a
// throwaway cluster of its own with scripts/pg-test-server.sh, so that
// stopping it disturbs no other test running at the same time.
//
// The same program doubles as the child processes of the tests: run with
// "--child MODE ..." it does one job and exits (see ChildMain).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/queue/pg_store.h"
#include "platform/queue/pg_wake.h"
#include "platform/queue/store.h"
#include "tests/support/store_get.h"
#include "tests/support/test_home.h"

extern char** environ;

namespace {

using krsoap::queue::BrowseCursor;
using krsoap::queue::GetMode;
using krsoap::queue::GetRequest;
using krsoap::queue::GetResult;
using krsoap::queue::Message;
using krsoap::queue::QueueAttributes;
using krsoap::queue::QueueInfo;
using krsoap::queue::QueueKind;
using krsoap::queue::Store;
using krsoap::test::GetOne;

std::string g_self;  // this program's path, for child processes

std::string Conninfo() {
  const char* c = std::getenv("KRSOAP_TEST_PG");
  return c ? c : "";
}

std::vector<std::string> g_made;  // queue managers the running test made

// A queue manager name no other test (or earlier run) uses.
std::string UniqueQm(const char* what) {
  static std::atomic<int> n{0};
  std::string name = std::string("T.") + what + "." + std::to_string(getpid()) + "." +
                     std::to_string(n.fetch_add(1)) + "." + std::to_string(time(nullptr) % 100000);
  g_made.push_back(name);
  return name;
}

std::unique_ptr<Store> OpenStore(const std::string& qm, const std::string& conninfo, bool create) {
  std::unique_ptr<Store> s;
  int32_t rc = krsoap::queue::OpenPgStore(qm, conninfo, create, &s);
  EXPECT_EQ(rc, KRRC_NONE) << "open " << qm;
  return s;
}

Message MakeMessage(const std::string& body, int persistence = KRPER_NOT_PERSISTENT) {
  Message m;
  KRMD md = KRMD_DEFAULT;
  md.Priority = 0;
  md.Persistence = persistence;
  // A distinct message id per body, as the bindings would assign.
  std::snprintf(reinterpret_cast<char*>(md.MsgId), sizeof md.MsgId, "%.23s", body.c_str());
  m.md = md;
  m.body = body;
  return m;
}

// A destructive get of the message with correlation id `correl`, into buf.
GetRequest CorrelGet(const std::string& correl, int32_t wait_ms, char* buf, int32_t buffer_length) {
  GetRequest r;
  std::memcpy(r.correl_id, correl.data(), std::min(correl.size(), sizeof r.correl_id));
  r.match_correl_id = true;
  r.wait_ms = wait_ms;
  r.buffer = buf;
  r.buffer_length = buffer_length;
  return r;
}

void DefineLocal(Store* s, const std::string& name, int32_t max_depth = 100000) {
  QueueAttributes a;
  a.name = name;
  a.max_depth = max_depth;
  ASSERT_EQ(s->DefineQueue(a, false), KRRC_NONE);
}

// A queue's id in the database, as the wake board knows it.
int64_t QueueId(const std::string& conninfo, const std::string& qm, const std::string& queue) {
  krsoap::queue::pg::PgFailure f;
  std::string message;
  auto c = krsoap::queue::pg::PgConn::Connect(conninfo, &f, &message);
  EXPECT_TRUE(c) << message;
  if (!c) return 0;
  static const krsoap::queue::pg::PgStatement kId = {
      "t_queue_id", "SELECT id FROM krsoap.queues WHERE qm = $1::text AND name = $2::text", 2};
  return c->Run(kId, {krsoap::queue::pg::PgParam::Text(qm), krsoap::queue::pg::PgParam::Text(queue)}, &f)
      .Int(0, 0);
}

// Starts this program as a child; its stdout comes back through *out_fd.
pid_t Spawn(const std::vector<std::string>& args, int* out_fd) {
  int p[2];
  if (pipe(p) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[1], 1);
  posix_spawn_file_actions_addclose(&fa, p[0]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(g_self.c_str()));
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, g_self.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(p[1]);
  *out_fd = p[0];
  return pid;
}

std::string ReadAll(int fd) {
  std::string s;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    s.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return s;
}

std::string ReadLine(int fd) {
  std::string s;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') s.push_back(c);
  return s;
}

int WaitExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class PgStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    conninfo_ = Conninfo();
    if (conninfo_.empty()) GTEST_SKIP() << "KRSOAP_TEST_PG not set: no PostgreSQL server to test against";
  }
  // The database is shared by the whole run: leave nothing behind.
  void TearDown() override {
    for (const auto& qm : g_made) krsoap::queue::DestroyPgStore(qm, conninfo_);
    g_made.clear();
  }
  std::string conninfo_;
};

// ---- Names are data, never SQL ---------------------------------------------

TEST_F(PgStoreTest, NamesThatLookLikeSqlAreStoredAsTheyAre) {
  const std::string qm = UniqueQm("SQL");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  // The bindings only let A-Z a-z 0-9 . _ % / through; the store must not
  // rely on that, so it is handed worse here.
  const std::vector<std::string> names = {"Q'); DELETE FROM krsoap.messages; --",
                                          "Q\"x", "Q%_/.", "Q\\x"};
  for (const auto& n : names) {
    DefineLocal(s.get(), n);
    ASSERT_EQ(s->Put(n, MakeMessage("body of " + n)), KRRC_NONE) << n;
  }
  for (const auto& n : names) {
    std::string body;
    ASSERT_EQ(GetOne(s.get(), n, &body), KRRC_NONE) << n;
    EXPECT_EQ(body, "body of " + n);
  }
  // A queue manager name with a quote keeps its own queues apart.
  const std::string qm2 = qm + "'x";
  auto s2 = OpenStore(qm2, conninfo_, true);
  ASSERT_TRUE(s2);
  QueueAttributes a;
  EXPECT_EQ(s2->LookupQueue(names[0], &a), KRRC_UNKNOWN_OBJECT_NAME);
  EXPECT_EQ(krsoap::queue::DestroyPgStore(qm2, conninfo_), KRRC_NONE);
}

TEST_F(PgStoreTest, UnknownQueueManagerAndUnreachableServer) {
  std::unique_ptr<Store> s;
  EXPECT_EQ(krsoap::queue::OpenPgStore(UniqueQm("NONE"), conninfo_, false, &s), KRRC_UNKNOWN_Q_MGR);
  // A port where nothing listens: the queue manager is unavailable, at once.
  EXPECT_EQ(krsoap::queue::OpenPgStore("QM", "host=127.0.0.1 port=1 dbname=x connect_timeout=2",
                                       true, &s),
            KRRC_Q_MGR_NOT_AVAILABLE);
  EXPECT_EQ(krsoap::queue::OpenPgStore("QM", "/not/a/connection/string", true, &s),
            KRRC_Q_MGR_NOT_AVAILABLE);
}

// ---- Competing getters in several processes ---------------------------------

TEST_F(PgStoreTest, GettersInSeveralProcessesTakeEachMessageExactlyOnce) {
  const std::string qm = UniqueQm("COMP");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "WORK");
  constexpr int kConsumers = 4;
  constexpr int kMessages = 2000;
  std::vector<pid_t> pids;
  std::vector<int> fds;
  for (int i = 0; i < kConsumers; ++i) {
    int fd = -1;
    pid_t pid = Spawn({"--child", "consume", conninfo_, qm, "WORK"}, &fd);
    ASSERT_GT(pid, 0);
    pids.push_back(pid);
    fds.push_back(fd);
  }
  // Put while the getters are already waiting, some persistent, so that
  // both commit paths are raced (not more: each costs a disk flush).
  for (int i = 0; i < kMessages; ++i) {
    ASSERT_EQ(s->Put("WORK", MakeMessage("m" + std::to_string(i),
                                         i % 10 ? KRPER_NOT_PERSISTENT : KRPER_PERSISTENT)),
              KRRC_NONE);
  }
  // One end marker per getter.
  for (int i = 0; i < kConsumers; ++i) ASSERT_EQ(s->Put("WORK", MakeMessage("END")), KRRC_NONE);
  std::map<std::string, int> seen;
  for (int i = 0; i < kConsumers; ++i) {
    std::string out = ReadAll(fds[i]);
    EXPECT_EQ(WaitExit(pids[i]), 0);
    size_t pos = 0;
    while (pos < out.size()) {
      size_t nl = out.find('\n', pos);
      if (nl == std::string::npos) nl = out.size();
      seen[out.substr(pos, nl - pos)]++;
      pos = nl + 1;
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) {
    EXPECT_EQ(seen["m" + std::to_string(i)], 1) << "message " << i;
  }
  std::string rest;
  EXPECT_EQ(GetOne(s.get(), "WORK", &rest), KRRC_NO_MSG_AVAILABLE);
}

TEST_F(PgStoreTest, ThreadsSharingOneStoreTakeEachMessageOnceAndWakeOnPuts) {
  const std::string qm = UniqueQm("THR");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "T");
  constexpr int kGetters = 4, kPutters = 2, kEach = 150;
  std::mutex mu;
  std::map<std::string, int> seen;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  // Getters start first and wait on the empty queue: every message reaches
  // them through a wake-up.
  for (int g = 0; g < kGetters; ++g) {
    threads.emplace_back([&] {
      for (;;) {
        std::string body;
        int32_t rc = GetOne(s.get(), "T", &body, 30000);
        if (rc != KRRC_NONE) { failures++; return; }
        if (body == "END") return;
        std::lock_guard<std::mutex> lock(mu);
        seen[body]++;
      }
    });
  }
  std::vector<std::thread> putters;
  for (int p = 0; p < kPutters; ++p) {
    putters.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        if (s->Put("T", MakeMessage("p" + std::to_string(p) + "." + std::to_string(i))) != KRRC_NONE)
          failures++;
      }
    });
  }
  for (auto& t : putters) t.join();
  for (int g = 0; g < kGetters; ++g) ASSERT_EQ(s->Put("T", MakeMessage("END")), KRRC_NONE);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kPutters * kEach));
  for (auto& [body, n] : seen) EXPECT_EQ(n, 1) << body;
}

// A connection that saw its queue empty waits without looking first; a put
// that happened while it sat idle in the pool must still be found, at once
// (the wait here is shorter than the store's periodic second look).
TEST_F(PgStoreTest, AWaitingGetSeesWhatWasPutWhileItsConnectionSatIdle) {
  const std::string qm = UniqueQm("IDLE");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "Q");
  auto other = OpenStore(qm, conninfo_, false);
  ASSERT_TRUE(other);
  for (int round = 0; round < 3; ++round) {
    std::string body;
    ASSERT_EQ(GetOne(s.get(), "Q", &body, 100), KRRC_NO_MSG_AVAILABLE);
    ASSERT_EQ(other->Put("Q", MakeMessage("r" + std::to_string(round))), KRRC_NONE);
    ASSERT_EQ(GetOne(s.get(), "Q", &body, 500), KRRC_NONE) << round;
    EXPECT_EQ(body, "r" + std::to_string(round));
  }
  // The same for a get selecting by correlation id.
  std::string body;
  char buf[64];
  GetRequest r = CorrelGet("CORREL-1", 100, buf, sizeof buf);
  GetResult out;
  ASSERT_EQ(s->Get("Q", r, nullptr, &out), KRRC_NO_MSG_AVAILABLE);
  Message m = MakeMessage("reply");
  std::memcpy(m.md.CorrelId, "CORREL-1", 8);
  ASSERT_EQ(other->Put("Q", m), KRRC_NONE);
  r.wait_ms = 500;
  ASSERT_EQ(s->Get("Q", r, nullptr, &out), KRRC_NONE);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(out.data_length)), "reply");
}

TEST_F(PgStoreTest, DeletingAQueueEndsAWaitOnIt) {
  const std::string qm = UniqueQm("DEL");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "GONE");
  std::atomic<int32_t> rc{-1};
  std::thread waiter([&] { rc = GetOne(s.get(), "GONE", nullptr, 5000); });
  usleep(100000);
  ASSERT_EQ(s->DeleteQueue("GONE"), KRRC_NONE);
  // Made anew under the same name: a different queue, and a put on it
  // wakes the waiter, which reports the old one gone.
  DefineLocal(s.get(), "GONE");
  ASSERT_EQ(s->Put("GONE", MakeMessage("new")), KRRC_NONE);
  waiter.join();
  EXPECT_TRUE(rc == KRRC_Q_DELETED || rc == KRRC_NONE) << rc;
  if (rc == KRRC_Q_DELETED) {
    std::string body;
    EXPECT_EQ(GetOne(s.get(), "GONE", &body), KRRC_NONE);
  }
}

// ---- Wake-ups through the machine's relay ------------------------------------

// The relay of the machine's wake board is a thread of whichever process got
// its lock first. When that process is killed, a waiting process relays in
// its place: its waiter still hears of a put from another machine (here a
// NOTIFY with a foreign tag, as another machine's put sends it).
TEST_F(PgStoreTest, WakeBoardRelaysOnAfterTheRelayingProcessIsKilled) {
  using krsoap::queue::pg::PgWakeBoard;
  // A data root of its own, so that the board is new: earlier tests made this
  // process the relay of the usual one.
  krsoap::test::ScopedHome home;
  PgWakeBoard* board = PgWakeBoard::For(conninfo_);
  ASSERT_NE(board, nullptr);
  int fd = -1;
  const pid_t relay = Spawn({"--child", "relay", conninfo_}, &fd);
  ASSERT_GT(relay, 0);
  ASSERT_EQ(ReadLine(fd), "relaying");
  close(fd);
  const auto soon = [] { return PgWakeBoard::Clock::now() + std::chrono::seconds(60); };
  ASSERT_TRUE(board->Relaying(soon()));  // the child's relay; this process waits for the lock
  constexpr int64_t kQueue = 2147480001;  // a word no queue of this run uses
  uint32_t seen = board->Read(kQueue);
  kill(relay, SIGKILL);
  WaitExit(relay);
  // The new relay moves every word once it listens.
  ASSERT_TRUE(board->Wait(kQueue, seen, soon()));
  seen = board->Read(kQueue);
  krsoap::queue::pg::PgFailure f;
  std::string message;
  auto c = krsoap::queue::pg::PgConn::Connect(conninfo_, &f, &message);
  ASSERT_TRUE(c) << message;
  ASSERT_TRUE(c->Exec("SELECT pg_notify('krq', '" + std::to_string(kQueue) + " 0123456789abcdef')", &f));
  EXPECT_TRUE(board->Wait(kQueue, seen, soon()));
}

// A queue's waiter lock on the board is held by a getter of a process that
// is then killed: the next getter takes it over instead of waiting for it
// until its deadline. A getter of another queue that shares the word waits
// without it. A process that exits frees its locks on the way.
TEST_F(PgStoreTest, AWaiterLockOfAKilledProcessIsTakenOver) {
  using krsoap::queue::pg::PgWakeBoard;
  krsoap::test::ScopedHome home;  // a board of its own
  PgWakeBoard* board = PgWakeBoard::For(conninfo_);
  ASSERT_NE(board, nullptr);
  constexpr int64_t kQueue = 2147480002;
  int fd = -1;
  const pid_t holder = Spawn({"--child", "hold-waiter-lock", conninfo_, std::to_string(kQueue)}, &fd);
  ASSERT_GT(holder, 0);
  ASSERT_EQ(ReadLine(fd), "holding");
  close(fd);
  const auto soon = PgWakeBoard::Clock::now() + std::chrono::seconds(60);
  EXPECT_EQ(board->LockWaiter(kQueue + 4096, soon), PgWakeBoard::WaiterLock::kOtherQueue);
  kill(holder, SIGKILL);
  WaitExit(holder);
  EXPECT_EQ(board->LockWaiter(kQueue, soon), PgWakeBoard::WaiterLock::kTaken);
  board->UnlockWaiter(kQueue);

  const pid_t leaver = Spawn({"--child", "take-waiter-lock-and-exit", conninfo_, std::to_string(kQueue)}, &fd);
  ASSERT_GT(leaver, 0);
  ASSERT_EQ(ReadLine(fd), "holding");
  close(fd);
  WaitExit(leaver);
  // Free already: a deadline of now does not wait.
  EXPECT_EQ(board->LockWaiter(kQueue, PgWakeBoard::Clock::now()), PgWakeBoard::WaiterLock::kTaken);
  board->UnlockWaiter(kQueue);
}

// A put made through one board leaves out its NOTIFY while only that board's
// relay listens; the relay of another board (another machine, data root or
// connection string) that listens must still hear of it.
TEST_F(PgStoreTest, APutWakesTheGettersOfAnotherBoard) {
  using krsoap::queue::pg::PgWakeBoard;
  const std::string qm = UniqueQm("BOARDS");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "Q");
  ASSERT_EQ(s->Put("Q", MakeMessage("first")), KRRC_NONE);  // the store now puts through this root's board
  const int64_t id = QueueId(conninfo_, qm, "Q");
  ASSERT_GT(id, 0);

  krsoap::test::ScopedHome home;  // another data root: another board
  PgWakeBoard* other = PgWakeBoard::For(conninfo_);
  ASSERT_NE(other, nullptr);
  const auto soon = [] { return PgWakeBoard::Clock::now() + std::chrono::seconds(60); };
  uint32_t seen = other->Read(id);
  ASSERT_TRUE(other->Relaying(soon()));
  ASSERT_TRUE(other->Wait(id, seen, soon()));  // the new relay's first move of every word
  seen = other->Read(id);
  ASSERT_EQ(s->Put("Q", MakeMessage("second")), KRRC_NONE);
  EXPECT_TRUE(other->Wait(id, seen, soon()));
}

// ---- Hand-off to a getter of the machine -------------------------------------

// A getter waiting for a correlation id, on a thread of its own.
struct CorrelWaiter {
  CorrelWaiter(Store* s, const char* correl, int32_t wait_ms = 60000) : r(CorrelGet(correl, wait_ms, buf, sizeof buf)) {
    t = std::thread([this, s] { rc = s->Get("Q", r, nullptr, &out); });
  }
  std::string Body() {
    t.join();
    return rc == KRRC_NONE ? std::string(buf, static_cast<size_t>(out.data_length)) : "rc " + std::to_string(rc);
  }
  char buf[64];
  GetRequest r;
  GetResult out;
  int32_t rc = -1;
  std::thread t;
};

// Until a getter sleeps with an offer out on the queue (false: none came).
bool AwaitOffer(krsoap::queue::pg::PgWakeBoard* board, int64_t id) {
  for (int i = 0; i < 60000 && board->Offered(id) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return board->Offered(id) != 0;
}

// This process relays for the board, and the relay's first wake-up of every
// word is over: nothing but the test's puts wakes its getters.
bool Relay(krsoap::queue::pg::PgWakeBoard* board) {
  return board->Relaying(krsoap::queue::pg::PgWakeBoard::Clock::now() + std::chrono::seconds(60));
}

// One message through queue Q, so that `putter` knows the queue's id (a put
// hands over only to getters of a queue whose id it knows).
void Prime(Store* putter, Store* getter) {
  std::string body;
  ASSERT_EQ(putter->Put("Q", MakeMessage("first")), KRRC_NONE);
  ASSERT_EQ(GetOne(getter, "Q", &body, 1), KRRC_NONE);
}

Message WithCorrel(const std::string& body, const char* correl, int persistence = KRPER_NOT_PERSISTENT) {
  Message m = MakeMessage(body, persistence);
  std::memcpy(m.md.CorrelId, correl, std::strlen(correl));
  return m;
}

// A non-persistent put for a waiting getter of the same machine goes to it
// through the board when nothing else on the queue matches; a persistent one
// is always written (it must outlive the machine).
TEST_F(PgStoreTest, AWaitingGetterIsHandedANonPersistentMessageForIt) {
  using krsoap::queue::pg::PgWakeBoard;
  krsoap::test::ScopedHome home;  // a board of its own: its count is this test's
  const std::string qm = UniqueQm("HAND");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "Q");
  auto putter = OpenStore(qm, conninfo_, false);
  ASSERT_TRUE(putter);
  PgWakeBoard* board = PgWakeBoard::For(conninfo_);
  ASSERT_NE(board, nullptr);
  ASSERT_TRUE(Relay(board));
  const int64_t id = QueueId(conninfo_, qm, "Q");
  Prime(putter.get(), s.get());
  std::string body;
  ASSERT_EQ(GetOne(s.get(), "Q", &body, 1), KRRC_NO_MSG_AVAILABLE);
  ASSERT_EQ(putter->Put("Q", WithCorrel("stranger", "C-2")), KRRC_NONE);

  const uint64_t handed = board->HandedOver();
  {
    CorrelWaiter w(s.get(), "C-1");
    ASSERT_TRUE(AwaitOffer(board, id));
    Message reply = WithCorrel("reply", "C-1");
    reply.expiry_deadline_ms = krsoap::queue::WallClockMs() + 60000;
    ASSERT_EQ(putter->Put("Q", reply), KRRC_NONE);
    EXPECT_EQ(w.Body(), "reply");
    EXPECT_EQ(0, std::memcmp(w.out.md.MsgId, reply.md.MsgId, sizeof reply.md.MsgId));
    EXPECT_GT(w.out.md.Expiry, 500);  // tenths of a second left
    EXPECT_LE(w.out.md.Expiry, 600);
  }
  EXPECT_EQ(board->HandedOver(), handed + 1);
  {
    CorrelWaiter w(s.get(), "C-3");
    ASSERT_TRUE(AwaitOffer(board, id));
    ASSERT_EQ(putter->Put("Q", WithCorrel("kept", "C-3", KRPER_PERSISTENT)), KRRC_NONE);
    EXPECT_EQ(w.Body(), "kept");
  }
  EXPECT_EQ(board->HandedOver(), handed + 1);
  {
    // A claim whose statement never ends (standing in for a putter stuck on
    // the server) does not hold the getter past its wait.
    CorrelWaiter w(s.get(), "C-4", 200);
    ASSERT_TRUE(AwaitOffer(board, id));
    KRBYTE correl[KR_CORREL_ID_LENGTH] = {'C', '-', '4'};
    KRBYTE msg_id[KR_MSG_ID_LENGTH] = {};
    bool by_msg_id = false, by_correl_id = false;
    const PgWakeBoard::Slot claim = board->ClaimHandOff(id, msg_id, correl, 5, &by_msg_id, &by_correl_id);
    ASSERT_GE(claim.slot, 0);
    EXPECT_TRUE(by_correl_id);
    EXPECT_EQ(w.Body(), "rc " + std::to_string(KRRC_NO_MSG_AVAILABLE));
    KRMD md = KRMD_DEFAULT;
    EXPECT_FALSE(board->Fill(claim, id, board->Read(id), false, &md, sizeof md, "late!", 5, 0));
  }
  // What matched nobody stays, alone.
  ASSERT_EQ(GetOne(s.get(), "Q", &body), KRRC_NONE);
  EXPECT_EQ(body, "stranger");
  EXPECT_EQ(GetOne(s.get(), "Q", &body), KRRC_NO_MSG_AVAILABLE);
}

// Getters whose waits run out while putters claim their offers: every
// message still reaches its getter once, and none stays behind.
TEST_F(PgStoreTest, ShortWaitsRacingHandOffsLoseNothing) {
  const std::string qm = UniqueQm("HANDR");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "Q");
  Prime(s.get(), s.get());
  constexpr int kGetters = 3, kEach = 60;
  auto correl = [](int g, int i) { return "C-" + std::to_string(g) + "-" + std::to_string(i); };
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int g = 0; g < kGetters; ++g) {
    threads.emplace_back([&, g] {
      for (int i = 0; i < kEach; ++i) {
        const std::string c = correl(g, i);
        char buf[64];
        const GetRequest r = CorrelGet(c, 1 + i % 3, buf, sizeof buf);
        GetResult out;
        int32_t rc = KRRC_NO_MSG_AVAILABLE;
        for (int tries = 0; rc == KRRC_NO_MSG_AVAILABLE && tries < 20000; ++tries) rc = s->Get("Q", r, nullptr, &out);
        if (rc != KRRC_NONE || std::string(buf, static_cast<size_t>(out.data_length)) != c) failures++;
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < kEach; ++i)
      for (int g = 0; g < kGetters; ++g)
        if (s->Put("Q", WithCorrel(correl(g, i), correl(g, i).c_str())) != KRRC_NONE) failures++;
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  std::string body;
  EXPECT_EQ(GetOne(s.get(), "Q", &body), KRRC_NO_MSG_AVAILABLE);
}

// A getter killed while it waited left its offer on the board: the next put
// for it must go into the queue, not to the dead process. One killed after a
// put handed it a message, before it took it: the relay puts the message
// into the queue.
TEST_F(PgStoreTest, WhatAKilledGetterWasHandedOrOfferedStaysInTheQueue) {
  using krsoap::queue::pg::PgWakeBoard;
  krsoap::test::ScopedHome home;
  const std::string qm = UniqueQm("HANDK");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "Q");
  PgWakeBoard* board = PgWakeBoard::For(conninfo_);
  ASSERT_NE(board, nullptr);
  ASSERT_TRUE(Relay(board));  // and so puts the handed message of a dead getter into the queue
  const int64_t id = QueueId(conninfo_, qm, "Q");
  Prime(s.get(), s.get());
  std::string body;
  int fd = -1;
  const pid_t getter = Spawn({"--child", "wait-correl", conninfo_, qm, "C-K"}, &fd);
  ASSERT_GT(getter, 0);
  close(fd);
  ASSERT_TRUE(AwaitOffer(board, id));
  kill(getter, SIGKILL);
  WaitExit(getter);
  const uint64_t handed = board->HandedOver();
  ASSERT_EQ(s->Put("Q", WithCorrel("reply", "C-K")), KRRC_NONE);
  EXPECT_EQ(board->HandedOver(), handed);
  ASSERT_EQ(GetOne(s.get(), "Q", &body), KRRC_NONE);
  EXPECT_EQ(body, "reply");

  const pid_t stopped = Spawn({"--child", "wait-correl", conninfo_, qm, "C-S"}, &fd);
  ASSERT_GT(stopped, 0);
  close(fd);
  ASSERT_TRUE(AwaitOffer(board, id));
  kill(stopped, SIGSTOP);  // its thread runs still, but takes nothing
  ASSERT_EQ(s->Put("Q", WithCorrel("handed", "C-S")), KRRC_NONE);
  EXPECT_EQ(board->HandedOver(), handed + 1);
  kill(stopped, SIGKILL);
  WaitExit(stopped);
  ASSERT_EQ(GetOne(s.get(), "Q", &body, 60000), KRRC_NONE);
  EXPECT_EQ(body, "handed");
}

// Offers of threads that ended without withdrawing them fill every slot: the
// getter that finds none free takes them back and offers one of them, and
// the getters after it find the others free.
TEST_F(PgStoreTest, AGetterTakesBackTheSlotsOfGettersThatAreGone) {
  using krsoap::queue::pg::PgWakeBoard;
  krsoap::test::ScopedHome home;  // a board of its own
  PgWakeBoard* board = PgWakeBoard::For(conninfo_);
  ASSERT_NE(board, nullptr);
  PgWakeBoard::HandOffWish wish;
  wish.queue_id = 2147480003;
  wish.max_length = 64;
  int refused = 0;  // more offers than the board has slots
  for (int i = 0; i < 100; ++i) std::thread([&] { refused += board->OfferHandOff(wish).slot < 0; }).join();
  EXPECT_EQ(refused, 0);
}

// The longest message a queue takes goes through whole; a put through the
// board sends it in one round trip behind the listeners' fence.
TEST_F(PgStoreTest, AMessageOfTheLongestLengthGoesThroughWhole) {
  const std::string qm = UniqueQm("LONG");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "Q");
  std::string body(QueueAttributes().max_message_length, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 23);
  ASSERT_EQ(s->Put("Q", MakeMessage(body)), KRRC_NONE);
  std::string got;
  ASSERT_EQ(GetOne(s.get(), "Q", &got, 0, static_cast<int32_t>(body.size())), KRRC_NONE);
  EXPECT_TRUE(got == body);
}

// ---- Dynamic queues of a killed process ------------------------------------

TEST_F(PgStoreTest, DynamicQueueOfAKilledProcessIsSwept) {
  const std::string qm = UniqueQm("DYN");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  int fd = -1;
  pid_t pid = Spawn({"--child", "own-dynamic", conninfo_, qm}, &fd);
  ASSERT_GT(pid, 0);
  const std::string name = ReadLine(fd);
  ASSERT_FALSE(name.empty());
  QueueAttributes a;
  // Alive: the queue is there, and another process can put to it.
  ASSERT_EQ(s->LookupQueue(name, &a), KRRC_NONE);
  EXPECT_EQ(a.kind, QueueKind::kTemporaryDynamic);
  EXPECT_EQ(s->Put(name, MakeMessage("reply")), KRRC_NONE);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_EQ(WaitExit(pid), 128 + SIGKILL);
  close(fd);
  // The server notices the closed socket when it next reads it; the lookup
  // below may race that by a moment, so it is retried for a bounded time.
  int32_t rc = KRRC_NONE;
  for (int i = 0; i < 500 && rc == KRRC_NONE; ++i) {
    rc = s->LookupQueue(name, &a);
    if (rc == KRRC_NONE) usleep(10000);
  }
  EXPECT_EQ(rc, KRRC_UNKNOWN_OBJECT_NAME);
  std::vector<QueueInfo> list;
  ASSERT_EQ(s->ListQueues(&list), KRRC_NONE);
  for (const auto& q : list) EXPECT_NE(q.attributes.name, name);
}

TEST_F(PgStoreTest, OpenHandlesOfAnotherStoreBlockDeleteUntilItGoes) {
  const std::string qm = UniqueQm("OPEN");
  auto s = OpenStore(qm, conninfo_, true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "HELD");
  {
    auto other = OpenStore(qm, conninfo_, false);
    ASSERT_TRUE(other);
    other->NoteOpen("HELD");
    other->NoteOpen("HELD");
    std::vector<QueueInfo> list;
    ASSERT_EQ(s->ListQueues(&list), KRRC_NONE);
    for (const auto& q : list) {
      if (q.attributes.name == "HELD") {
        EXPECT_EQ(q.open_handles, 2);
      }
    }
    EXPECT_EQ(s->DeleteQueue("HELD"), KRRC_OBJECT_IN_USE);
    // A dynamic queue of the other store goes with it.
    QueueAttributes model;
    ASSERT_EQ(other->LookupQueue("SYSTEM.DEFAULT.MODEL.QUEUE", &model), KRRC_NONE);
    std::string dyn;
    ASSERT_EQ(other->CreateDynamicQueue(model, "REPLY.*", &dyn), KRRC_NONE);
    EXPECT_EQ(dyn.rfind("REPLY.", 0), 0u);
    EXPECT_EQ(dyn.size(), 22u);
    ASSERT_EQ(s->LookupQueue(dyn, nullptr), KRRC_NONE);
    other.reset();
    EXPECT_EQ(s->LookupQueue(dyn, nullptr), KRRC_UNKNOWN_OBJECT_NAME);
  }
  EXPECT_EQ(s->DeleteQueue("HELD"), KRRC_NONE);
}

// ---- A server that stops and comes back ------------------------------------

class ThrowawayCluster {
 public:
  ThrowawayCluster() {
    std::string out = Run(Script() + " start");
    while (!out.empty() && out.back() == '\n') out.pop_back();
    dir_ = out;
    if (!dir_.empty()) {
      conninfo_ = Run(Script() + " conninfo " + dir_);
      while (!conninfo_.empty() && conninfo_.back() == '\n') conninfo_.pop_back();
    }
  }
  ~ThrowawayCluster() {
    if (!dir_.empty()) Run(Script() + " stop " + dir_);
  }
  bool ok() const { return !conninfo_.empty(); }
  const std::string& conninfo() const { return conninfo_; }
  bool Halt() { return Status(Script() + " halt " + dir_) == 0; }
  bool Resume() { return Status(Script() + " resume " + dir_) == 0; }

 private:
  static std::string Script() { return std::string(KRSOAP_SOURCE_DIR) + "/scripts/pg-test-server.sh"; }
  static std::string Run(const std::string& cmd) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, f)) out += buf;
    pclose(f);
    return out;
  }
  static int Status(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()); }
  std::string dir_;
  std::string conninfo_;
};

TEST_F(PgStoreTest, ServerRestartFailsCallsAsUnavailableAndLosesNothing) {
  ThrowawayCluster cluster;
  ASSERT_TRUE(cluster.ok()) << "could not start a throwaway cluster";
  const std::string qm = UniqueQm("RST");
  auto s = OpenStore(qm, cluster.conninfo(), true);
  ASSERT_TRUE(s);
  DefineLocal(s.get(), "Q");
  DefineLocal(s.get(), "IDLE");
  constexpr int kBefore = 100;
  for (int i = 0; i < kBefore; ++i) {
    ASSERT_EQ(s->Put("Q", MakeMessage("b" + std::to_string(i),
                                      i % 2 ? KRPER_PERSISTENT : KRPER_NOT_PERSISTENT)),
              KRRC_NONE);
  }
  // Take a few first, so that there are connections in the pool to go stale.
  std::set<std::string> taken;
  for (int i = 0; i < 10; ++i) {
    std::string body;
    ASSERT_EQ(GetOne(s.get(), "Q", &body), KRRC_NONE);
    EXPECT_TRUE(taken.insert(body).second);
  }
  // A getter waiting on an empty queue when the server goes: it must come
  // back with the connection broken, not sleep out its wait.
  std::atomic<int32_t> waiting_rc{-1};
  std::atomic<bool> started{false};
  std::thread waiter([&] {
    started = true;
    waiting_rc = GetOne(s.get(), "IDLE", nullptr, 600000);
  });
  while (!started) std::this_thread::yield();
  usleep(200000);  // let it reach its wait; the outcome is the same if not
  ASSERT_TRUE(cluster.Halt());
  waiter.join();
  EXPECT_TRUE(waiting_rc == KRRC_CONNECTION_BROKEN || waiting_rc == KRRC_Q_MGR_NOT_AVAILABLE)
      << waiting_rc;

  // While it is down every call fails with one of the two reasons.
  int32_t rc = s->Put("Q", MakeMessage("during"));
  EXPECT_TRUE(rc == KRRC_CONNECTION_BROKEN || rc == KRRC_Q_MGR_NOT_AVAILABLE) << rc;
  rc = GetOne(s.get(), "Q", nullptr);
  EXPECT_TRUE(rc == KRRC_CONNECTION_BROKEN || rc == KRRC_Q_MGR_NOT_AVAILABLE) << rc;
  std::unique_ptr<Store> none;
  EXPECT_EQ(krsoap::queue::OpenPgStore(qm, cluster.conninfo(), false, &none),
            KRRC_Q_MGR_NOT_AVAILABLE);

  ASSERT_TRUE(cluster.Resume());
  // The next call connects again; everything put before is there once.
  std::string body;
  for (;;) {
    rc = GetOne(s.get(), "Q", &body);
    if (rc != KRRC_NONE) break;
    EXPECT_TRUE(taken.insert(body).second) << "twice: " << body;
  }
  EXPECT_EQ(rc, KRRC_NO_MSG_AVAILABLE);
  EXPECT_EQ(taken.size(), static_cast<size_t>(kBefore));
  EXPECT_EQ(taken.count("during"), 0u);
  EXPECT_EQ(s->Put("Q", MakeMessage("after")), KRRC_NONE);
  EXPECT_EQ(GetOne(s.get(), "Q", &body), KRRC_NONE);
  EXPECT_EQ(body, "after");
}

// ---- Child processes --------------------------------------------------------

// consume CONNINFO QM QUEUE: gets until it takes "END", printing each body.
// own-dynamic CONNINFO QM: creates a dynamic queue, prints its name, sleeps.
int ChildMain(int argc, char** argv) {
  std::string mode = argv[2];
  if (mode == "consume" && argc == 6) {
    std::unique_ptr<Store> s;
    if (krsoap::queue::OpenPgStore(argv[4], argv[3], false, &s) != KRRC_NONE) return 2;
    std::string out;
    for (;;) {
      std::string body;
      int32_t rc = GetOne(s.get(), argv[5], &body, 60000);
      if (rc != KRRC_NONE) return 3;
      if (body == "END") break;
      out += body + "\n";
    }
    fwrite(out.data(), 1, out.size(), stdout);
    return 0;
  }
  if (mode == "relay" && argc == 4) {
    auto* board = krsoap::queue::pg::PgWakeBoard::For(argv[3]);
    if (!board || !board->Relaying(krsoap::queue::pg::PgWakeBoard::Clock::now() + std::chrono::seconds(60)))
      return 2;
    std::printf("relaying\n");
    std::fflush(stdout);
    for (;;) pause();
  }
  if ((mode == "hold-waiter-lock" || mode == "take-waiter-lock-and-exit") && argc == 5) {
    using krsoap::queue::pg::PgWakeBoard;
    auto* board = PgWakeBoard::For(argv[3]);
    if (!board || board->LockWaiter(std::atoll(argv[4]), PgWakeBoard::Clock::now()) != PgWakeBoard::WaiterLock::kTaken)
      return 2;
    std::printf("holding\n");
    std::fflush(stdout);
    if (mode == "take-waiter-lock-and-exit") return 0;
    for (;;) pause();
  }
  if (mode == "wait-correl" && argc == 6) {  // waits on queue Q of QM for a correlation id
    std::unique_ptr<Store> s;
    if (krsoap::queue::OpenPgStore(argv[4], argv[3], false, &s) != KRRC_NONE) return 2;
    char buf[64];
    const GetRequest r = CorrelGet(argv[5], 600000, buf, sizeof buf);
    GetResult out;
    return s->Get("Q", r, nullptr, &out) == KRRC_NONE ? 0 : 3;
  }
  if (mode == "own-dynamic" && argc == 5) {
    std::unique_ptr<Store> s;
    if (krsoap::queue::OpenPgStore(argv[4], argv[3], false, &s) != KRRC_NONE) return 2;
    QueueAttributes model;
    if (s->LookupQueue("SYSTEM.DEFAULT.MODEL.QUEUE", &model) != KRRC_NONE) return 3;
    std::string name;
    if (s->CreateDynamicQueue(model, "*", &name) != KRRC_NONE) return 4;
    std::printf("%s\n", name.c_str());
    std::fflush(stdout);
    sleep(600);  // until killed
    return 0;
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  g_self = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]);
  if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) return ChildMain(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
