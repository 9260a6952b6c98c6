// Queue manager benchmark: cross-process request/reply round trips and the
// connect+open+close+disconnect cycle, printed as a table with one column per
// store ("sqlite" always; "postgresql" when KRSOAP_BENCH_PG holds a libpq
// connection string, then beside it "raw SQL", a minimal queue in plain SQL on
// the same server, and "pg/raw", the store's round trips per second over it).
//
// A round trip: a requester puts a request naming its reply-to queue on the
// shared request queue; a server process, waiting in a get, takes it and puts
// a reply with the request's message id as correlation id; the requester,
// waiting on its reply-to queue, gets the reply by correlation id.
// Non-persistent runs use temporary dynamic reply-to queues (as the client
// connector does); persistent runs use persistent reply queues so that both
// legs are written to disk. The syncpoint rows are non-persistent round trips
// whose servers take each request and put its reply in one unit of work
// (get and put under syncpoint, then KRCMIT), as a transactional server does.
//
//   queue_bench [--seconds S] [--pairs 1,4,16] [--modes non-persistent,persistent,syncpoint]
//               [--stores sqlite,postgresql] [--rounds N]
//
// The PostgreSQL rows that have a raw SQL figure are measured in N rounds
// (default 3), the store and the minimal queue in turn, which goes first
// alternating: this machine's speed drifts too much for runs minutes apart to
// be compared. pg/raw is the median of the rounds' own ratios, and every
// round's is printed under the table.
//   queue_bench server QM [syncpoint]           (started by the benchmark)
//   queue_bench client QM IDX MILLIS MODE FILE  (started by the benchmark)
//   queue_bench rawserver CONNINFO MODE / rawclient CONNINFO IDX MILLIS MODE FILE
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/support/median.h"
#include "common/queue/krqueue.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/store.h"

#ifdef KRSOAP_QUEUE_HAS_PG
#include <libpq-fe.h>
#endif

namespace {

namespace q = krsoap::queue;
using Clock = std::chrono::steady_clock;

constexpr const char* kRequestQueue = "BENCH.REQ";
constexpr int kBodyBytes = 1024;
std::string g_self;

void SetField(char* f, size_t w, const std::string& s) {
  std::memset(f, 0, w);
  std::memcpy(f, s.data(), std::min(s.size(), w));
}

bool Check(const char* what, KRLONG rc) {
  if (rc == KRRC_NONE) return true;
  std::fprintf(stderr, "queue_bench: %s: reason %d (%s)\n", what, rc, KRReasonText(rc));
  return false;
}

KRHOBJ OpenQ(KRHCONN hc, const std::string& name, KRLONG options, std::string* dyn = nullptr) {
  KROD od = KROD_DEFAULT;
  SetField(od.ObjectName, 48, name);
  KRHOBJ h = 0;
  KRLONG cc, rc;
  KROPEN(hc, &od, options, &h, &cc, &rc);
  if (!Check("open", rc)) std::exit(1);
  if (dyn) *dyn = q::FieldToName(od.ObjectName, 48);
  return h;
}

// ---- Child roles -----------------------------------------------------------------

int Server(const std::string& qm, bool syncpoint) {
  KRHCONN hc;
  KRLONG cc, rc;
  KRCONN(qm.c_str(), &hc, &cc, &rc);
  if (!Check("connect", rc)) return 1;
  KRHOBJ in = OpenQ(hc, kRequestQueue, KROO_INPUT_AS_Q_DEF);
  std::map<std::string, KRHOBJ> outs;  // reply queues stay open, as a pooled server would
  std::vector<char> buf(65536);
  for (;;) {
    KRMD md = KRMD_DEFAULT;
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_WAIT | (syncpoint ? KRGMO_SYNCPOINT : 0);
    gmo.WaitInterval = 60000;
    KRLONG len = 0;
    KRGET(hc, in, &md, &gmo, static_cast<KRLONG>(buf.size()), buf.data(), &len, &cc, &rc);
    if (rc == KRRC_NO_MSG_AVAILABLE) continue;
    if (!Check("server get", rc)) return 1;
    if (len == 4 && std::memcmp(buf.data(), "STOP", 4) == 0) {
      if (syncpoint) KRCMIT(hc, &cc, &rc);
      break;
    }
    const std::string reply_to = q::FieldToName(md.ReplyToQ, 48);
    auto it = outs.find(reply_to);
    if (it == outs.end()) it = outs.emplace(reply_to, OpenQ(hc, reply_to, KROO_OUTPUT)).first;
    KRMD r = KRMD_DEFAULT;
    std::memcpy(r.CorrelId, md.MsgId, 24);
    KRPMO pmo = KRPMO_DEFAULT;
    if (syncpoint) pmo.Options = KRPMO_SYNCPOINT;
    KRPUT(hc, it->second, &r, &pmo, len, buf.data(), &cc, &rc);
    if (!Check("server put", rc)) return 1;
    if (syncpoint) {
      KRCMIT(hc, &cc, &rc);
      if (!Check("server commit", rc)) return 1;
    }
  }
  KRDISC(&hc, &cc, &rc);
  return 0;
}

// CPU seconds the whole machine has spent busy so far (/proc/stat): most of
// the PostgreSQL rows' work is in the database server's processes. -1 when
// unreadable.
double MachineBusySeconds() {
  std::FILE* f = std::fopen("/proc/stat", "r");
  if (!f) return -1;
  unsigned long long v[8] = {};
  const int n = std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4],
                            &v[5], &v[6], &v[7]);
  std::fclose(f);
  if (n != 8) return -1;
  // user, nice, system, irq, softirq: not idle, iowait, or steal (time the
  // hypervisor gave to others)
  const unsigned long long busy = v[0] + v[1] + v[2] + v[5] + v[6];
  return static_cast<double>(busy) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Runs round trips for `millis` after a short warm-up and writes the count, the
// elapsed seconds, the machine's busy seconds meanwhile and each latency in
// nanoseconds to `file` for the parent to merge. Shared by the queue-manager
// client and the raw SQL client so both columns are timed the same way. False
// when a round trip fails.
template <typename RoundTrip>
bool TimeRoundTrips(int millis, const std::string& file, RoundTrip&& round_trip) {
  std::vector<int64_t> lat;
  lat.reserve(1 << 20);
  for (int i = 0; i < 50; ++i)
    if (!round_trip()) return false;  // warm-up
  const double busy_start = MachineBusySeconds();
  const auto start = Clock::now();
  const auto end = start + std::chrono::milliseconds(millis);
  for (;;) {
    auto t0 = Clock::now();
    if (t0 >= end) break;
    if (!round_trip()) return false;
    lat.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
  }
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  const double busy = busy_start < 0 ? -1 : MachineBusySeconds() - busy_start;
  std::ofstream f(file);
  f << lat.size() << " " << secs << " " << busy << "\n";
  for (int64_t v : lat) f << v << "\n";
  return true;
}

int Client(const std::string& qm, int idx, int millis, const std::string& mode, const std::string& file) {
  const bool persistent = mode == "persistent";
  KRHCONN hc;
  KRLONG cc, rc;
  KRCONN(qm.c_str(), &hc, &cc, &rc);
  if (!Check("connect", rc)) return 1;
  KRHOBJ out = OpenQ(hc, kRequestQueue, KROO_OUTPUT | KROO_FAIL_IF_QUIESCING);
  std::string reply_q;
  KRHOBJ in;
  if (persistent) {
    reply_q = "BENCH.REPLY." + std::to_string(idx);
    in = OpenQ(hc, reply_q, KROO_INPUT_AS_Q_DEF);
  } else {
    KROD od = KROD_DEFAULT;
    SetField(od.ObjectName, 48, q::kModelQueueName);
    SetField(od.DynamicQName, 48, "TKR.*");
    KROPEN(hc, &od, KROO_INPUT_AS_Q_DEF | KROO_FAIL_IF_QUIESCING, &in, &cc, &rc);
    if (!Check("open model", rc)) return 1;
    reply_q = q::FieldToName(od.ObjectName, 48);
  }
  std::string body(kBodyBytes, 'r');
  std::vector<char> buf(4096);
  auto round_trip = [&]() -> bool {
    KRMD md = KRMD_DEFAULT;
    md.MsgType = KRMT_REQUEST;
    std::memcpy(md.Format, KRFMT_STRING, 8);
    SetField(md.ReplyToQ, 48, reply_q);
    KRPMO pmo = KRPMO_DEFAULT;
    KRPUT(hc, out, &md, &pmo, static_cast<KRLONG>(body.size()), body.data(), &cc, &rc);
    if (!Check("client put", rc)) return false;
    KRMD r = KRMD_DEFAULT;
    std::memcpy(r.CorrelId, md.MsgId, 24);
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_WAIT | KRGMO_CONVERT;
    gmo.WaitInterval = 15000;
    KRLONG len = 0;
    KRGET(hc, in, &r, &gmo, 4095, buf.data(), &len, &cc, &rc);
    return Check("client get", rc);
  };
  if (!TimeRoundTrips(millis, file, round_trip)) return 1;
  KRDISC(&hc, &cc, &rc);
  return 0;
}

// ---- The minimal SQL queue (the "raw" column) -------------------------------------
//
// What the PostgreSQL store is measured against: one table, a prepared INSERT
// plus NOTIFY per put, DELETE ... WHERE id = (SELECT ... FOR UPDATE SKIP
// LOCKED LIMIT 1) RETURNING per get, LISTEN to wait. Same server, same
// message sizes and round trip as the store's rows; synchronous_commit off
// for the non-persistent rows and on for the persistent ones, as the store
// commits them.
#ifdef KRSOAP_QUEUE_HAS_PG

constexpr const char* kRawTable = "krbench_raw";

PGconn* RawConnect(const std::string& conninfo, bool persistent) {
  PGconn* c = PQconnectdb(conninfo.c_str());
  if (PQstatus(c) != CONNECTION_OK) {
    std::fprintf(stderr, "queue_bench: raw: %s", PQerrorMessage(c));
    PQfinish(c);
    return nullptr;
  }
  auto exec = [&](const std::string& sql) {
    PGresult* r = PQexec(c, sql.c_str());
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    if (!ok) std::fprintf(stderr, "queue_bench: raw: %s", PQerrorMessage(c));
    PQclear(r);
    return ok;
  };
  const std::string t = kRawTable;
  bool ok = exec(std::string("SET synchronous_commit = ") + (persistent ? "on" : "off")) &&
            exec("SET client_min_messages = warning");
  if (ok) {
    PGresult* p1 = PQprepare(c, "raw_put",
                             ("WITH i AS (INSERT INTO " + t + " (q, correl, body) VALUES ($1, $2, $3) "
                              "RETURNING 1) SELECT pg_notify($1, '') FROM i").c_str(), 3, nullptr);
    PGresult* p2 = PQprepare(c, "raw_get",
                             ("DELETE FROM " + t + " WHERE id = (SELECT id FROM " + t +
                              " WHERE q = $1 ORDER BY id FOR UPDATE SKIP LOCKED LIMIT 1) "
                              "RETURNING correl, body").c_str(), 1, nullptr);
    PGresult* p3 = PQprepare(c, "raw_get_correl",
                             ("DELETE FROM " + t + " WHERE id = (SELECT id FROM " + t +
                              " WHERE q = $1 AND correl = $2 ORDER BY id FOR UPDATE SKIP LOCKED LIMIT 1) "
                              "RETURNING correl, body").c_str(), 2, nullptr);
    ok = PQresultStatus(p1) == PGRES_COMMAND_OK && PQresultStatus(p2) == PGRES_COMMAND_OK &&
         PQresultStatus(p3) == PGRES_COMMAND_OK;
    if (!ok) std::fprintf(stderr, "queue_bench: raw prepare: %s", PQerrorMessage(c));
    PQclear(p1);
    PQclear(p2);
    PQclear(p3);
  }
  if (!ok) {
    PQfinish(c);
    return nullptr;
  }
  return c;
}

bool RawSetUp(const std::string& conninfo) {
  PGconn* c = PQconnectdb(conninfo.c_str());
  bool ok = PQstatus(c) == CONNECTION_OK;
  if (ok) {
    const std::string t = kRawTable;
    PGresult* r = PQexec(c, ("SET client_min_messages = warning; DROP TABLE IF EXISTS " + t + "; CREATE TABLE " + t +
                             " (id bigserial PRIMARY KEY, q text NOT NULL, correl bytea NOT NULL, "
                             "body bytea NOT NULL); CREATE INDEX ON " + t + " (q, id); CREATE INDEX ON " + t +
                             " (q, correl)").c_str());
    ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) std::fprintf(stderr, "queue_bench: raw set-up: %s", PQerrorMessage(c));
    PQclear(r);
  }
  PQfinish(c);
  return ok;
}

bool RawListen(PGconn* c, const std::string& channel) {
  char* id = PQescapeIdentifier(c, channel.c_str(), channel.size());
  PGresult* r = PQexec(c, (std::string("LISTEN ") + id).c_str());
  PQfreemem(id);
  bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  return ok;
}

bool RawPut(PGconn* c, const std::string& queue, const std::string& correl, const std::string& body) {
  const char* v[3] = {queue.data(), correl.data(), body.data()};
  int l[3] = {0, static_cast<int>(correl.size()), static_cast<int>(body.size())};
  int f[3] = {0, 1, 1};
  PGresult* r = PQexecPrepared(c, "raw_put", 3, v, l, f, 1);
  bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
  if (!ok) std::fprintf(stderr, "queue_bench: raw put: %s", PQerrorMessage(c));
  PQclear(r);
  return ok;
}

// Takes a message (by correlation id when `correl` is given), waiting on the
// queue's channel while there is none. False on an error or after `wait_ms`.
bool RawGet(PGconn* c, const std::string& queue, const std::string* correl, std::string* correl_out,
            std::string* body, int wait_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    const char* v[2] = {queue.data(), correl ? correl->data() : nullptr};
    int l[2] = {0, correl ? static_cast<int>(correl->size()) : 0};
    int f[2] = {0, 1};
    PGresult* r = PQexecPrepared(c, correl ? "raw_get_correl" : "raw_get", correl ? 2 : 1, v, l, f, 1);
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
      std::fprintf(stderr, "queue_bench: raw get: %s", PQerrorMessage(c));
      PQclear(r);
      return false;
    }
    if (PQntuples(r) == 1) {
      correl_out->assign(PQgetvalue(r, 0, 0), PQgetlength(r, 0, 0));
      body->assign(PQgetvalue(r, 0, 1), PQgetlength(r, 0, 1));
      PQclear(r);
      // Notifications that came with the statement are spent.
      while (PGnotify* n = PQnotifies(c)) PQfreemem(n);
      return true;
    }
    PQclear(r);
    // Wait for a notification (one may have arrived with the statement).
    bool notified = false;
    while (!notified) {
      PQconsumeInput(c);
      while (PGnotify* n = PQnotifies(c)) {
        notified = true;
        PQfreemem(n);
      }
      if (notified) break;
      if (Clock::now() >= deadline) return false;
      pollfd p{PQsocket(c), POLLIN, 0};
      if (::poll(&p, 1, 1000) < 0 && errno != EINTR) return false;
      if (p.revents == 0) break;  // look again now and then
    }
  }
}

int RawServer(const std::string& conninfo, bool persistent) {
  PGconn* c = RawConnect(conninfo, persistent);
  if (!c || !RawListen(c, "req")) return 1;
  std::string correl, body, reply_to;
  for (;;) {
    if (!RawGet(c, "req", nullptr, &correl, &body, 60000)) continue;
    if (body == "STOP") break;
    // The correlation id carries the reply queue's name after 8 bytes of
    // counter, so the reply goes where the requester waits.
    if (correl.size() <= 8) continue;
    if (!RawPut(c, correl.substr(8), correl, body)) return 1;
  }
  PQfinish(c);
  return 0;
}

int RawClient(const std::string& conninfo, int idx, int millis, const std::string& mode,
              const std::string& file) {
  const bool persistent = mode == "persistent";
  PGconn* c = RawConnect(conninfo, persistent);
  const std::string reply_q = "rep" + std::to_string(::getpid()) + "." + std::to_string(idx);
  if (!c || !RawListen(c, reply_q)) return 1;
  std::string body(kBodyBytes, 'r'), got_correl, got_body;
  uint64_t counter = 0;
  auto round_trip = [&]() -> bool {
    std::string correl(8, '\0');
    ++counter;
    std::memcpy(correl.data(), &counter, 8);
    correl += reply_q;
    if (!RawPut(c, "req", correl, body)) return false;
    return RawGet(c, reply_q, &correl, &got_correl, &got_body, 15000);
  };
  if (!TimeRoundTrips(millis, file, round_trip)) return 1;
  PQfinish(c);
  return 0;
}

bool RawStop(const std::string& conninfo, int servers) {
  PGconn* c = RawConnect(conninfo, false);
  if (!c) return false;
  for (int i = 0; i < servers; ++i) RawPut(c, "req", std::string(8, '\0'), "STOP");
  PQfinish(c);
  return true;
}

#endif  // KRSOAP_QUEUE_HAS_PG

// ---- The benchmark ---------------------------------------------------------------

pid_t Spawn(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

struct RoundTrips {
  double p50_us = 0, p99_us = 0, per_sec = 0;
  double cpu_us = -1;  // the machine's busy time per round trip (all processes)
  size_t count = 0;  // timed round trips, all pairs together
  bool ok = false;
};

// Of several rounds, the one with the median rate; a failed round fails all.
RoundTrips MedianRound(const std::vector<RoundTrips>& rounds) {
  for (const RoundTrips& r : rounds)
    if (!r.ok) return r;
  return krsoap::bench::MedianBy(rounds, &RoundTrips::per_sec);
}

// `raw`: the minimal SQL queue on the PostgreSQL server `qm` names.
RoundTrips RunPairs(const std::string& qm, const std::string& dir, int pairs, bool persistent, int millis,
                    bool syncpoint, bool raw = false) {
  RoundTrips r;
  std::vector<pid_t> servers, clients;
  const std::string mode = persistent ? "persistent" : "transient";
  for (int i = 0; i < pairs; ++i) {
    if (raw)
      servers.push_back(Spawn({g_self, "rawserver", qm, mode}));
    else
      servers.push_back(syncpoint ? Spawn({g_self, "server", qm, "syncpoint"}) : Spawn({g_self, "server", qm}));
  }
  std::vector<std::string> files;
  for (int i = 0; i < pairs; ++i) {
    files.push_back(dir + "/lat." + std::to_string(i));
    clients.push_back(Spawn({g_self, raw ? "rawclient" : "client", qm, std::to_string(i), std::to_string(millis),
                             mode, files.back()}));
  }
  bool ok = true;
  for (pid_t p : clients) {
    int st = 0;
    ::waitpid(p, &st, 0);
    ok = ok && WIFEXITED(st) && WEXITSTATUS(st) == 0;
  }
#ifdef KRSOAP_QUEUE_HAS_PG
  if (raw) RawStop(qm, pairs);
#endif
  // One STOP per server.
  KRHCONN hc;
  KRLONG cc, rc = KRRC_NONE;
  if (!raw) KRCONN(qm.c_str(), &hc, &cc, &rc);
  if (!raw && rc == KRRC_NONE) {
    KRHOBJ h = OpenQ(hc, kRequestQueue, KROO_OUTPUT);
    for (int i = 0; i < pairs; ++i) {
      KRMD md = KRMD_DEFAULT;
      md.Priority = 0;
      KRPMO pmo = KRPMO_DEFAULT;
      KRPUT(hc, h, &md, &pmo, 4, const_cast<char*>("STOP"), &cc, &rc);
    }
    KRDISC(&hc, &cc, &rc);
  }
  for (pid_t p : servers) {
    int st = 0;
    ::waitpid(p, &st, 0);
  }
  if (!ok) return r;
  std::vector<int64_t> all;
  for (auto& f : files) {
    std::ifstream in(f);
    size_t n = 0;
    double secs = 0, busy = -1;
    in >> n >> secs >> busy;
    if (secs > 0) r.per_sec += static_cast<double>(n) / secs;
    // The first pair's window stands for the run: the pairs run side by side.
    if (&f == &files.front() && secs > 0 && busy >= 0) r.cpu_us = busy / secs;
    for (size_t i = 0; i < n; ++i) {
      int64_t v;
      in >> v;
      all.push_back(v);
    }
  }
  if (all.empty()) return r;
  std::sort(all.begin(), all.end());
  r.count = all.size();
  if (r.cpu_us >= 0 && r.per_sec > 0) r.cpu_us = r.cpu_us * 1e6 / r.per_sec;
  r.p50_us = all[all.size() / 2] / 1000.0;
  r.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)] / 1000.0;
  r.ok = true;
  return r;
}

// The disk's flush latency where a queue manager keeps its database:
// write + fdatasync of one 4 KiB block, overwritten in place, in a file
// beside qm.db, 200 times; each latency in nanoseconds is added to `t`.
// That is what the commit of a small WAL transaction waits for (SQLite
// rewrites WAL frames in place once the WAL has wrapped). False when the
// disk refused.
bool ProbeFlushes(const std::string& dir, std::vector<int64_t>* t) {
  const std::string path = dir + "/flush-probe";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::vector<char> block(4096, 'f');
  bool ok = true;
  for (int i = 0; i < 216 && ok; ++i) {
    const auto t0 = Clock::now();
    ok = ::pwrite(fd, block.data(), block.size(), (i % 8) * 4096) == 4096 && ::fdatasync(fd) == 0;
    if (ok && i >= 16) t->push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
  }
  ::close(fd);
  ::unlink(path.c_str());
  return ok;
}

// CPU seconds (user + system) of the children waited for so far.
double ChildCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_CHILDREN, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// connect + open + close + disconnect in a process that connected before.
double CycleMicros(const std::string& qm) {
  KRHCONN hc;
  KRLONG cc, rc;
  KRCONN(qm.c_str(), &hc, &cc, &rc);
  if (rc) return -1;
  KRDISC(&hc, &cc, &rc);
  constexpr int kIterations = 20000;
  std::vector<int64_t> t;
  t.reserve(kIterations);
  for (int i = 0; i < kIterations; ++i) {
    auto t0 = Clock::now();
    KRCONN(qm.c_str(), &hc, &cc, &rc);
    KROD od = KROD_DEFAULT;
    SetField(od.ObjectName, 48, kRequestQueue);
    KRHOBJ h;
    KROPEN(hc, &od, KROO_INPUT_AS_Q_DEF, &h, &cc, &rc);
    KRCLOSE(hc, &h, KRCO_NONE, &cc, &rc);
    KRDISC(&hc, &cc, &rc);
    if (rc) return -1;
    t.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2] / 1000.0;
}

std::string Fmt(double v, const char* f = "%.1f") {
  if (v < 0) return "n/a";
  char b[32];
  std::snprintf(b, sizeof b, f, v);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  char exe[4096];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  g_self = n > 0 ? std::string(exe, static_cast<size_t>(n)) : argv[0];
  std::vector<std::string> a(argv + 1, argv + argc);
  if ((a.size() == 2 || a.size() == 3) && a[0] == "server") return Server(a[1], a.size() == 3);
  if (a.size() == 6 && a[0] == "client") return Client(a[1], std::atoi(a[2].c_str()), std::atoi(a[3].c_str()), a[4], a[5]);
#ifdef KRSOAP_QUEUE_HAS_PG
  if (a.size() == 3 && a[0] == "rawserver") return RawServer(a[1], a[2] == "persistent");
  if (a.size() == 6 && a[0] == "rawclient")
    return RawClient(a[1], std::atoi(a[2].c_str()), std::atoi(a[3].c_str()), a[4], a[5]);
#endif

  double seconds = 2;
  std::vector<int> pair_counts{1, 4, 16};
  std::vector<std::string> modes{"non-persistent", "persistent", "syncpoint"};
  std::vector<std::string> only_stores;  // empty: every store
  int rounds = 3;
  auto split = [](const std::string& list) {
    std::vector<std::string> out;
    std::stringstream ss(list);
    for (std::string p; std::getline(ss, p, ',');) out.push_back(p);
    return out;
  };
  for (size_t i = 0; i + 1 < a.size(); i += 2) {
    if (a[i] == "--seconds") seconds = std::atof(a[i + 1].c_str());
    if (a[i] == "--pairs") {
      pair_counts.clear();
      for (const std::string& p : split(a[i + 1])) pair_counts.push_back(std::atoi(p.c_str()));
    }
    if (a[i] == "--modes") modes = split(a[i + 1]);
    if (a[i] == "--stores") only_stores = split(a[i + 1]);
    if (a[i] == "--rounds") rounds = std::max(1, std::atoi(a[i + 1].c_str()));
  }
  // A throwaway data root unless one is given.
  std::string home;
  if (const char* h = std::getenv("KRSOAP_HOME"); h && *h) {
    home = h;
  } else {
    char templ[] = "/tmp/krsoap-bench-XXXXXX";
    home = ::mkdtemp(templ);
    ::setenv("KRSOAP_HOME", home.c_str(), 1);
  }
  std::vector<std::pair<std::string, std::string>> stores{{"sqlite", "sqlite"}};
  std::string pg_conninfo;
  if (const char* pg = std::getenv("KRSOAP_BENCH_PG"); pg && *pg) {
    pg_conninfo = pg;
    stores.push_back({"postgresql", pg});
#ifdef KRSOAP_QUEUE_HAS_PG
    stores.push_back({"raw SQL", ""});
    stores.push_back({"pg/raw", ""});
#endif
  }

  std::vector<std::string> rows;
  std::map<std::string, std::map<std::string, std::string>> cell;  // row -> store -> value
  auto add = [&](const std::string& row, const std::string& store, const std::string& v) {
    if (std::find(rows.begin(), rows.end(), row) == rows.end()) rows.push_back(row);
    cell[row][store] = v;
  };
  const int millis = static_cast<int>(seconds * 1000);
  bool flush_note = false;
  std::vector<std::string> round_lines;  // pg/raw of every round, printed under the table
#ifdef KRSOAP_QUEUE_HAS_PG
  const bool raw_ready = !pg_conninfo.empty() && RawSetUp(pg_conninfo);
#endif
  for (auto& [label, store] : stores) {
    if (label == "pg/raw") continue;  // filled in below
    if (label == "raw SQL") continue;  // run beside the store's rows, below
    if (!only_stores.empty() &&
        std::find(only_stores.begin(), only_stores.end(), label) == only_stores.end())
      continue;
    const std::string qm = "BENCH." + label + "." + std::to_string(::getpid());
    if (int32_t rc = q::CreateQm(qm, store, false)) {
      std::fprintf(stderr, "queue_bench: cannot create %s queue manager: %d\n", label.c_str(), rc);
      continue;
    }
    {
      q::QmDefinition d;
      q::ResolveQm(qm, &d);
      std::unique_ptr<q::Store> s;
      q::OpenStore(d, false, &s);
      for (const std::string& mode : modes) {
        const bool persistent = mode == "persistent";
        const bool syncpoint = mode == "syncpoint";
        q::QueueAttributes qa;
        qa.name = kRequestQueue;
        qa.max_depth = 100000;
        qa.default_persistence = persistent ? KRPER_PERSISTENT : KRPER_NOT_PERSISTENT;
        s->DefineQueue(qa, true);
        if (persistent) {
          for (int i = 0; i < 64; ++i) {
            q::QueueAttributes ra = qa;
            ra.name = "BENCH.REPLY." + std::to_string(i);
            s->DefineQueue(ra, true);
          }
        }
        for (int pairs : pair_counts) {
          // The embedded store's persistent rows against the disk: the flush
          // latency is measured right before and right after each run, under
          // the machine's load of the moment, and the CPU the run's processes
          // used is counted.
          const bool against_disk = persistent && label == "sqlite";
          const std::string qm_dir = home + "/qm/" + qm;
          std::vector<int64_t> flushes;
          bool beside_raw = false;  // the minimal SQL queue measured in turn with the store
#ifdef KRSOAP_QUEUE_HAS_PG
          beside_raw = label == "postgresql" && !syncpoint && raw_ready;
#endif
          std::vector<RoundTrips> mine, theirs;
          auto run_raw = [&] {
#ifdef KRSOAP_QUEUE_HAS_PG
            theirs.push_back(RunPairs(pg_conninfo, home, pairs, persistent, millis, false, true));
#endif
          };
          bool probed = against_disk && ProbeFlushes(qm_dir, &flushes);
          const double cpu_before = ChildCpuSeconds();
          for (int round = 0; round < (beside_raw ? rounds : 1); ++round) {
            if (beside_raw && round % 2 == 1) run_raw();
            mine.push_back(RunPairs(qm, home, pairs, persistent, millis, syncpoint));
            if (beside_raw && round % 2 == 0) run_raw();
          }
          const double cpu = ChildCpuSeconds() - cpu_before;
          const RoundTrips r = MedianRound(mine);
          probed = probed && ProbeFlushes(qm_dir, &flushes);
          std::sort(flushes.begin(), flushes.end());
          const double flush_us = probed ? flushes[flushes.size() / 2] / 1000.0 : -1;
          const std::string tag = mode + ", " + std::to_string(pairs) + (pairs == 1 ? " pair" : " pairs");
          add("round trip p50 us (" + tag + ")", label, r.ok ? Fmt(r.p50_us) : "failed");
          add("round trip p99 us (" + tag + ")", label, r.ok ? Fmt(r.p99_us) : "failed");
          add("round trips/s     (" + tag + ")", label, r.ok ? Fmt(r.per_sec, "%.0f") : "failed");
          if (against_disk) {
            // See the note under the table.
            const double limit = flush_us > 0 ? pairs * 1e6 / (4 * flush_us) : -1;
            add("disk flush p50 us (" + tag + ")", label, Fmt(flush_us));
            add("flush limit rt/s  (" + tag + ")", label, Fmt(limit, "%.0f"));
            add("rt/s / limit      (" + tag + ")", label,
                r.ok && limit > 0 ? Fmt(r.per_sec / limit, "%.2f") : "n/a");
            // Warm-up round trips (50 a pair) used CPU too.
            add("CPU us per rt     (" + tag + ")", label,
                r.ok ? Fmt(cpu * 1e6 / static_cast<double>(r.count + 50 * pairs)) : "n/a");
            flush_note = true;
          }
          if (beside_raw) {
            const RoundTrips w = MedianRound(theirs);
            add("round trip p50 us (" + tag + ")", "raw SQL", w.ok ? Fmt(w.p50_us) : "failed");
            add("round trip p99 us (" + tag + ")", "raw SQL", w.ok ? Fmt(w.p99_us) : "failed");
            add("round trips/s     (" + tag + ")", "raw SQL", w.ok ? Fmt(w.per_sec, "%.0f") : "failed");
            add("machine CPU us/rt (" + tag + ")", label, r.ok && r.cpu_us >= 0 ? Fmt(r.cpu_us, "%.0f") : "n/a");
            add("machine CPU us/rt (" + tag + ")", "raw SQL", w.ok && w.cpu_us >= 0 ? Fmt(w.cpu_us, "%.0f") : "n/a");
            // The ratios of each round, between runs made seconds apart.
            std::vector<double> rates, cpus;
            for (size_t i = 0; i < mine.size() && i < theirs.size(); ++i) {
              if (mine[i].ok && theirs[i].ok && theirs[i].per_sec > 0)
                rates.push_back(mine[i].per_sec / theirs[i].per_sec);
              if (mine[i].cpu_us > 0 && theirs[i].cpu_us > 0) cpus.push_back(mine[i].cpu_us / theirs[i].cpu_us);
            }
            if (r.ok && w.ok && !rates.empty()) {
              add("round trips/s     (" + tag + ")", "pg/raw", Fmt(krsoap::bench::Median(rates), "%.2fx"));
              std::string line = "  " + tag + ":";
              for (double v : rates) line += " " + Fmt(v, "%.2f");
              round_lines.push_back(line);
            }
            if (!cpus.empty()) add("machine CPU us/rt (" + tag + ")", "pg/raw", Fmt(krsoap::bench::Median(cpus), "%.2fx"));
          }
        }
      }
    }
    add("connect+open+close+disconnect p50 us", label, Fmt(CycleMicros(qm), "%.2f"));
    q::DeleteQm(qm);
  }
  std::printf("%-56s", "figure");
  for (auto& [label, store] : stores) std::printf(" %12s", label.c_str());
  std::printf("\n");
  for (auto& row : rows) {
    std::printf("%-56s", row.c_str());
    for (auto& [label, store] : stores) {
      auto it = cell[row].find(label);
      std::printf(" %12s", it == cell[row].end() ? "-" : it->second.c_str());
    }
    std::printf("\n");
  }
  if (!round_lines.empty()) {
    std::printf("\npg/raw round trips/s by round (the table gives their median; the store's and the raw\n"
                "figures are each from its median round):\n");
    for (const std::string& line : round_lines) std::printf("%s\n", line.c_str());
  }
  if (!pg_conninfo.empty())
    std::printf(
        "\nmachine CPU us/rt: the whole machine's busy time (/proc/stat, database server included) over the\n"
        "first pair's timed window, per round trip of all pairs in it; meaningful on an otherwise idle machine.\n");
  if (flush_note)
    std::printf(
        "\nflush limit: a persistent round trip is four durable steps in sequence (request put, request get,\n"
        "reply put, reply get), and each returns only after a flush of the WAL that covers it; one flush can\n"
        "carry the steps of every pair waiting, so N pairs cannot pass N / (4 x disk flush) round trips/s\n"
        "(the CPU is not counted). disk flush: median of write + fdatasync of 4 KiB beside qm.db, 200 right\n"
        "before and 200 right after the run. CPU us per rt: user + system time of the run's processes per\n"
        "round trip; the machine's cores / that is what the CPU alone would allow.\n");
  return 0;
}
