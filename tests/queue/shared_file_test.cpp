// The embedded queue manager's shared file (qm.shm) with bytes written over
// one of its parts by something else. The damage is found, the file is
// rebuilt from the database with every persistent message, the loss of the
// non-persistent ones is said once (standard error and trace), and no call
// ever reports a queue, depth or message that is not there. Also: a group
// commit that fails is reported to each committer in it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/queue/krqueue.h"
#include "platform/files/data_root.h"
#include "platform/queue/embedded_store.h"
#include "platform/queue/qm_directory.h"
#include "tests/queue/store_list.h"
#include "tests/registry/child_process.h"
#include "tests/support/store_get.h"
#include "tests/support/test_home.h"

namespace krsoap::test {
namespace {

namespace q = krsoap::queue;

std::string SharedFile(const std::string& qm) { return platform::DataRoot() + "/qm/" + qm + "/qm.shm"; }

// Overwrites `size` bytes at `offset` with bytes that depend on `seed` only.
void Scribble(const std::string& path, size_t offset, size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(gen() | 0x80);  // never a valid name, never zero
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(static_cast<ssize_t>(size), ::pwrite(fd, bytes.data(), size, static_cast<off_t>(offset)));
  ::close(fd);
}

std::string QueuesTable(int n_depth, int p_depth) {
  std::string out;
  char line[160];
  auto row = [&](const char* name, const char* type, int depth) {
    std::snprintf(line, sizeof line, "%-48s %-9s %8d %6d %9s -\n", name, type, depth, 0, "-");
    out += line;
  };
  std::snprintf(line, sizeof line, "%-48s %-9s %8s %6s %9s %s\n", "QUEUE", "TYPE", "DEPTH", "OPEN", "BACKOUTS",
                "BACKOUT QUEUE");
  out = line;
  row("N", "local", n_depth);
  row("P", "local", p_depth);
  row("SYSTEM.DEFAULT.MODEL.QUEUE", "model", 0);
  return out;
}

// Lines of the trace files of the data root that hold `text`.
int TraceLinesWith(const std::string& text) {
  int n = 0;
  std::error_code ec;
  for (const auto& f : std::filesystem::directory_iterator(platform::DataRoot() + "/Errors", ec)) {
    std::ifstream in(f.path());
    for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
  }
  return n;
}

// A fresh embedded queue manager `qm` with a persistent local queue P,
// opened in this process.
void MakeQmWithPersistentQueue(const char* qm, q::QmDefinition* def, std::unique_ptr<q::Store>* store) {
  ASSERT_EQ(KRRC_NONE, q::CreateQm(qm, "sqlite", true));
  ASSERT_EQ(KRRC_NONE, q::ResolveQm(qm, def));
  ASSERT_EQ(KRRC_NONE, q::OpenStore(*def, false, store));
  q::QueueAttributes p;
  p.name = "P";
  p.default_persistence = KRPER_PERSISTENT;
  ASSERT_EQ(KRRC_NONE, (*store)->DefineQueue(p, false));
}

q::Message PersistentMessage(const char* body) {
  q::Message m;
  m.md = KRMD_DEFAULT;
  m.md.Persistence = KRPER_PERSISTENT;
  m.body = body;
  return m;
}

TEST(SharedFileDamage, EachDamagedPartIsFoundAndTheFileRebuiltWithThePersistentMessages) {
  const q::EmbeddedSharedFileLayout l = q::SharedFileLayout();
  const struct {
    const char* part;
    size_t offset, size;
  } cases[] = {
      {"magic", 0, 8},
      {"header", 16, l.header_size - 16},
      {"queue table", l.queues_offset, 3 * l.queue_size},
      {"one queue's depth and lists", l.queues_offset + l.queue_size + 64, l.queue_size - 64},
      {"process slots", l.procs_offset, l.proc_size},
      {"message entries", l.entries_offset, 6 * l.entry_size},
      {"one entry's links", l.entries_offset + 2 * l.entry_size + 8, 16},
  };
  unsigned seed = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part);
    ScopedHome home;
    ASSERT_EQ(0, ::mkdir((home.path() + "/Errors").c_str(), 0700));
    ASSERT_EQ(0, RunKrsoap({"reg", "add", "HKLM\\SOFTWARE\\Orvane\\Korrin\\CurrentVersion", "/v", "WorkPath", "/d",
                         home.path(), "/f"})
                     .exit_code);
    ASSERT_EQ(0, RunKrsoap({"reg", "add", "HKLM\\SOFTWARE\\Orvane\\KRSoap", "/v", "soapTrace", "/t", "REG_DWORD", "/d",
                         "1", "/f"})
                     .exit_code);
    ASSERT_EQ(0, RunKrsoap({"qm", "create", "QMD", "--default"}).exit_code);
    ASSERT_EQ(0, RunKrsoap({"qm", "define", "-", "P", "--persistent", "yes"}).exit_code);
    ASSERT_EQ(0, RunKrsoap({"qm", "define", "-", "N"}).exit_code);
    for (const char* body : {"first", "second", "third"}) {
      ASSERT_EQ(0, RunKrsoap({"qm", "put", "-", "P"}, body).exit_code);
      ASSERT_EQ(0, RunKrsoap({"qm", "put", "-", "N"}, body).exit_code);
    }
    ASSERT_EQ(QueuesTable(3, 3), RunKrsoap({"qm", "queues", "-"}).out);

    Scribble(SharedFile("QMD"), c.offset, c.size, seed++);
    ChildResult r = RunKrsoap({"qm", "queues", "-"});
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ(QueuesTable(0, 3), r.out);
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << "one line: " << r.err;
    for (const std::string& said : std::vector<std::string>{SharedFile("QMD") + " was rebuilt", "3 persistent messages kept",
                                                            "non-persistent messages and temporary dynamic queues it held were lost"})
      EXPECT_NE(std::string::npos, r.err.find(said)) << r.err;
    EXPECT_EQ(1, TraceLinesWith(SharedFile("QMD") + " was rebuilt"));

    r = RunKrsoap({"qm", "queues", "-"});
    EXPECT_EQ("", r.err) << "said once";
    EXPECT_EQ(QueuesTable(0, 3), r.out);
    for (const char* body : {"first", "second", "third"}) {
      r = RunKrsoap({"qm", "get", "-", "P"});
      EXPECT_EQ(0, r.exit_code) << r.err;
      EXPECT_EQ(std::string("\n") + body + "\n", r.out.substr(r.out.rfind("\n\n") + 1));
    }
    EXPECT_EQ(1, RunKrsoap({"qm", "get", "-", "P"}).exit_code);
    EXPECT_EQ(1, RunKrsoap({"qm", "get", "-", "N"}).exit_code);
  }
}

// Standard error of this process while it lives.
class CapturedStderr {
 public:
  CapturedStderr() : path_(platform::DataRoot() + "/stderr.txt") {
    std::fflush(stderr);
    saved_ = ::dup(2);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  std::string Take() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    std::ifstream in(path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::string path_;
  int saved_ = -1;
};

// A process attached when the damage happens meets it on its next call,
// which fails as for a queue manager that went away (so pools reconnect);
// the next attach rebuilds the file.
TEST(SharedFileDamage, AnAttachedProcessIsSentToReconnectAndFindsThePersistentMessages) {
  ScopedHome home;
  q::QmDefinition def;
  std::unique_ptr<q::Store> before;
  ASSERT_NO_FATAL_FAILURE(MakeQmWithPersistentQueue("QMA", &def, &before));
  q::Message m = PersistentMessage("kept");
  m.md.Priority = 0;
  ASSERT_EQ(KRRC_NONE, before->Put("P", m));
  m.md.Persistence = KRPER_NOT_PERSISTENT;
  ASSERT_EQ(KRRC_NONE, before->Put("P", m));

  const q::EmbeddedSharedFileLayout l = q::SharedFileLayout();
  Scribble(SharedFile("QMA"), l.queues_offset + l.queue_size, 52, 7);  // P's name
  EXPECT_EQ(KRRC_Q_MGR_NOT_AVAILABLE, before->Put("P", m));
  std::vector<q::QueueInfo> list;
  EXPECT_EQ(KRRC_Q_MGR_NOT_AVAILABLE, before->ListQueues(&list));
  EXPECT_TRUE(list.empty());

  CapturedStderr err;
  std::unique_ptr<q::Store> after;
  ASSERT_EQ(KRRC_NONE, q::OpenStore(def, false, &after));
  const std::string said = err.Take();
  EXPECT_EQ(said.size() - 1, said.find('\n')) << said;
  EXPECT_NE(std::string::npos, said.find("queue slot 1 holds what no queue can; 1 persistent message kept")) << said;
  ASSERT_EQ(KRRC_NONE, after->ListQueues(&list));
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ("P", list[0].attributes.name);
  EXPECT_EQ(1, list[0].depth);
  std::string body;
  ASSERT_EQ(KRRC_NONE, GetOne(after.get(), "P", &body));
  EXPECT_EQ("kept", body);
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, GetOne(after.get(), "P", &body));
  EXPECT_EQ(KRRC_Q_MGR_NOT_AVAILABLE, GetOne(before.get(), "P", &body)) << "the old file stays abandoned";
}

// A queue manager written by the version before backout queues (its queues
// table without their two columns, its mapped file of the layout before)
// opens in a new process with its queues and persistent messages, and takes
// backout queues from then on.
TEST(EmbeddedUpgrade, AQueueManagerOfTheEarlierLayoutOpensWithItsMessages) {
  ScopedHome home;
  ASSERT_EQ(KRRC_NONE, q::CreateQm("QMU", "sqlite", true));
  q::QmDefinition def;
  ASSERT_EQ(KRRC_NONE, q::ResolveQm("QMU", &def));
  std::unique_ptr<q::Store> store;
  ASSERT_EQ(KRRC_NONE, q::OpenStore(def, false, &store));
  q::QueueAttributes p;
  p.name = "P";
  p.default_persistence = KRPER_PERSISTENT;
  ASSERT_EQ(KRRC_NONE, store->DefineQueue(p, false));
  q::Message m;
  m.md = KRMD_DEFAULT;
  m.md.Priority = 0;
  m.md.Persistence = KRPER_PERSISTENT;
  for (const char* body : {"one", "two"}) {
    m.body = body;
    ASSERT_EQ(KRRC_NONE, store->Put("P", m));
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((platform::DataRoot() + "/qm/QMU/qm.db").c_str(), &db));
  sqlite3_busy_timeout(db, 10000);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                    "BEGIN;"
                                    "CREATE TABLE old(name TEXT PRIMARY KEY, kind INT, def_priority INT, "
                                    "def_persistence INT, max_depth INT, max_length INT, get_inhibited INT, "
                                    "put_inhibited INT);"
                                    "INSERT INTO old SELECT name, kind, def_priority, def_persistence, max_depth, "
                                    "max_length, get_inhibited, put_inhibited FROM queues;"
                                    "DROP TABLE queues; ALTER TABLE old RENAME TO queues; COMMIT;",
                                    nullptr, nullptr, nullptr));
  sqlite3_close(db);
  const uint32_t earlier_layout = 6;
  int fd = ::open(SharedFile("QMU").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(4, ::pwrite(fd, &earlier_layout, 4, 8));  // the layout version after the magic
  ::close(fd);

  std::string out;
  ASSERT_EQ(0, RunProgram({BinDir() + "/queue_helper", "get", "QMU", "P", "0"}, &out));
  EXPECT_EQ("one\ntwo\n", out);
  std::unique_ptr<q::Store> again;
  ASSERT_EQ(KRRC_NONE, q::OpenStore(def, false, &again));
  p.name = "Q";
  p.backout_queue = "Q.BACKOUT";
  p.backout_threshold = 2;
  ASSERT_EQ(KRRC_NONE, again->DefineQueue(p, false));
  q::QueueAttributes looked;
  ASSERT_EQ(KRRC_NONE, again->LookupQueue("Q", &looked));
  EXPECT_EQ("Q.BACKOUT", looked.backout_queue);
  EXPECT_EQ(2, looked.backout_threshold);
}

// A group commit whose transaction fails (a trigger in the database refuses
// the rows) is a failure for every put and get in it, however they were
// grouped: the puts never show, the gets leave their message in place.
TEST(EmbeddedGroupCommit, AFailedCommitFailsEveryCommitterInIt) {
  ScopedHome home;
  q::QmDefinition def;
  std::unique_ptr<q::Store> store;
  ASSERT_NO_FATAL_FAILURE(MakeQmWithPersistentQueue("QMF", &def, &store));
  const q::Message m = PersistentMessage("kept");
  ASSERT_EQ(KRRC_NONE, store->Put("P", m));

  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((platform::DataRoot() + "/qm/QMF/qm.db").c_str(), &db));
  sqlite3_busy_timeout(db, 10000);
  auto exec = [&](const char* sql) { ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr)); };
  exec("CREATE TRIGGER refuse_put BEFORE INSERT ON messages BEGIN SELECT RAISE(ABORT, 'refused'); END;"
       "CREATE TRIGGER refuse_get BEFORE DELETE ON messages BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  std::vector<int32_t> rcs(8, KRRC_NONE);
  std::vector<std::thread> putters;
  for (size_t i = 0; i < rcs.size(); ++i) {
    putters.emplace_back([&, i] {
      std::unique_ptr<q::Store> own;
      rcs[i] = q::OpenStore(def, false, &own);
      if (rcs[i] == KRRC_NONE) rcs[i] = own->Put("P", m);
    });
  }
  for (auto& t : putters) t.join();
  for (int32_t rc : rcs) EXPECT_EQ(KRRC_STORE_ERROR, rc);
  std::string body;
  EXPECT_EQ(KRRC_STORE_ERROR, GetOne(store.get(), "P", &body));

  exec("DROP TRIGGER refuse_put; DROP TRIGGER refuse_get;");
  sqlite3_close(db);
  ASSERT_EQ(KRRC_NONE, GetOne(store.get(), "P", &body));
  EXPECT_EQ("kept", body);
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, GetOne(store.get(), "P", &body)) << "a refused put showed";
}

}  // namespace
}  // namespace krsoap::test
