// krsoap_soak: a reliability soak of the server transport. One "krsoap serve"
// host serves the example Calculator on one request queue of an embedded
// queue manager in a throwaway data root; requesting processes (forked from
// this program) send requests the way the client connector does and check
// every reply.
//
//   phase 1  valid Add requests with distinct operands; every request must be
//            answered exactly once, correlated with its message id, with its
//            own sum
//   phase 2  the same with malformed requests mixed in (not XML, empty,
//            binary bytes, hostile XML, an unknown operation, over 4,096
//            bytes); each of those must be answered with a SOAP fault
//   phase 3  the host is killed with SIGKILL part way and started again;
//            every request it had not taken must be answered after the
//            restart; requests lost are at most those it had in flight
//   phase 5  with --store (a PostgreSQL queue manager): a second host in a
//            second data root, over the same queue manager, serves the
//            same queue; the first is killed with SIGKILL halfway and the
//            second serves on alone
//
// Prints, per phase, the counts, the throughput and the host's resident
// memory at the start and the end; exits 0 when every check held, 1 when one
// failed, 2 on bad usage or when the set-up failed.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/queue/krqueue.h"
#include "tests/support/calculator_home.h"

namespace {

constexpr const char* kQueue = "SOAK.REQUEST";
constexpr const char* kBackoutQueue = "SOAK.REQUEST.BACKOUT";
constexpr const char* kModelQueue = "SYSTEM.DEFAULT.MODEL.QUEUE";
constexpr KRLONG kReplyBuffer = 1 << 16;

std::string g_bin, g_lib, g_root, g_src;
std::string g_qm = "SOAK.QM";
std::string g_root2;  // phase 5: the second host's data root

struct Options {
  long requests = 100000;
  int requesters = 16;
  int timeout_s = 60;    // per request: long enough to ride over a restart
  int bad_every = 10;    // phase 2: one request in this many is malformed
  int poison_every = 100;  // phase 4: one request in this many kills the host
  std::string phases = "1234";  // 4 only with --unit-of-work
  bool keep = false;
  bool unit_of_work = false;  // the host serves under units of work
  std::string store;  // a postgresql:// connection string: the queue manager's store
};

// Counters of one requesting process, handed to the parent through shared
// memory (one slot per requester, plus the overall progress).
struct Counters {
  long sent = 0;
  long answered = 0;     // the right reply, once
  long wrong = 0;        // a reply with the wrong content or correlation
  long lost = 0;         // no reply within the timeout
  long extra = 0;        // replies left over: duplicates or late ones
  long failed = 0;       // a queue call of the requester itself failed
  long poisoned = 0;     // phase 4: poison requests answered with the backout fault
  KRLONG last_reason = 0;
};

struct Shared {
  std::atomic<long> progress;  // requests answered so far, all requesters
  Counters per[64];
};

double NowS() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string Capture(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

// The host's resident set from /proc (kB), or -1.
long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

std::string Mb(long kb) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(kb) / 1024.0);
  return kb < 0 ? std::string("?") : std::string(buf);
}

// Depth of a queue (the request queue by default), from "krsoap qm queues";
// -1 when unknown.
long QueueDepth(const char* queue = kQueue) {
  std::istringstream in(Capture(g_bin + "/krsoap qm queues " + g_qm + " 2>/dev/null"));
  std::string name, kind;
  long depth = 0, open = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    if (l >> name >> kind >> depth >> open && name == queue) return depth;
  }
  return -1;
}

// Runs one query on the PostgreSQL store's database through psql; its
// result, trimmed, or "" when psql is missing or the query failed. Only
// for figures the queue interface does not show.
std::string PgQuery(const std::string& conninfo, const std::string& sql) {
  std::string out = Capture("psql -XAtq '" + conninfo + "' -c \"" + sql + "\" 2>/dev/null");
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// ---- Requests ------------------------------------------------------------------

std::string Envelope(const std::string& op, const std::string& args) {
  return "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header>"
         "<SOAP-ENV:SoapAction>urn:krsoap-calculator#" +
         op + "</SOAP-ENV:SoapAction></SOAP-ENV:Header><SOAP-ENV:Body><c:" + op +
         " xmlns:c=\"urn:krsoap-calculator\">" + args + "</c:" + op + "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string Number(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

constexpr double kB = 0.25;

// A request that must be answered with a SOAP fault; `kind` picks which.
std::string BadRequest(long kind, long index) {
  switch (kind % 7) {
    case 0: return "this is not XML <<< " + std::to_string(index);
    case 1: return "";
    case 2: return std::string("\x01\x02\xff\xfe\x80\x7f binary \x03", 14);
    case 3:  // an entity expansion bomb
      return "<?xml version=\"1.0\"?><!DOCTYPE b [<!ENTITY a \"aaaaaaaaaaaaaaaa\">"
             "<!ENTITY c \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
             "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
             "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
             "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">]>"
             "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
             "<c:Echo xmlns:c=\"urn:krsoap-calculator\"><c:text>&f;&f;&f;&f;</c:text></c:Echo>"
             "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
    case 4:  // an external entity
      return "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY p SYSTEM \"file:///etc/passwd\">]>"
             "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
             "<c:Echo xmlns:c=\"urn:krsoap-calculator\"><c:text>&p;</c:text></c:Echo>"
             "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
    case 5: return Envelope("Frobnicate", "<c:a>1</c:a>");
    default: {  // a valid request, but over 4,096 bytes
      std::string pad(5000 + static_cast<size_t>(index % 100), ' ');
      return Envelope("Add", "<c:a>1</c:a>" + pad + "<c:b>2</c:b>");
    }
  }
}

// ---- A requesting process -----------------------------------------------------------

// Sends requests index = first, first + step, ... < count, one at a time,
// each waiting for its reply by correlation id, and records the outcome in
// `out`. `bad_every` > 0 mixes malformed requests in.
void RequesterMain(long first, long step, long count, long phase, int bad_every, int timeout_s, Counters* out,
                   std::atomic<long>* progress) {
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRLONG cc = 0, rc = 0;
  KRCONN(g_qm.c_str(), &hconn, &cc, &rc);
  if (rc) {
    out->failed++;
    out->last_reason = rc;
    return;
  }
  KROD od = KROD_DEFAULT;
  std::memcpy(od.ObjectName, kQueue, std::strlen(kQueue));
  KRHOBJ request = KRHO_UNUSABLE_HOBJ;
  KROPEN(hconn, &od, KROO_OUTPUT, &request, &cc, &rc);
  KROD rod = KROD_DEFAULT;
  std::memcpy(rod.ObjectName, kModelQueue, std::strlen(kModelQueue));
  std::memset(rod.DynamicQName, 0, sizeof rod.DynamicQName);
  rod.DynamicQName[0] = '*';
  KRHOBJ reply = KRHO_UNUSABLE_HOBJ;
  KRLONG rc2 = 0;
  KROPEN(hconn, &rod, KROO_INPUT_AS_Q_DEF, &reply, &cc, &rc2);
  if (rc || rc2) {
    out->failed++;
    out->last_reason = rc ? rc : rc2;
    return;
  }
  char reply_q[KR_Q_NAME_LENGTH];
  std::memcpy(reply_q, rod.ObjectName, KR_Q_NAME_LENGTH);
  for (char& c : reply_q) if (c == '\0') c = ' ';

  std::vector<char> buffer(static_cast<size_t>(kReplyBuffer));
  std::vector<std::string> lost_ids;
  for (long i = first; i < count; i += step) {
    const bool bad = bad_every > 0 && i % bad_every == bad_every - 1;
    // Phase 4 passes a negative bad_every: one request in that many is a
    // Concat, which the soak's mapping serves with the Calculator's Crash.
    const bool poison = bad_every < 0 && i % -bad_every == -bad_every - 1;
    const double a = static_cast<double>(phase * 1000000 + i);
    const std::string body = poison ? Envelope("Concat", "<c:a>" + std::to_string(i) + "</c:a><c:b>x</c:b>")
                             : bad  ? BadRequest(i / bad_every, i)
                                    : Envelope("Add", "<c:a>" + Number(a) + "</c:a><c:b>" + Number(kB) + "</c:b>");
    KRMD md = KRMD_DEFAULT;
    md.MsgType = KRMT_REQUEST;
    std::memcpy(md.Format, KRFMT_STRING, KR_FORMAT_LENGTH);
    std::memcpy(md.ReplyToQ, reply_q, KR_Q_NAME_LENGTH);
    std::memset(md.ReplyToQMgr, ' ', KR_Q_MGR_NAME_LENGTH);
    std::memcpy(md.ReplyToQMgr, g_qm.data(), g_qm.size());
    KRPMO pmo = KRPMO_DEFAULT;
    KRPUT(hconn, request, &md, &pmo, static_cast<KRLONG>(body.size()), const_cast<char*>(body.data()), &cc, &rc);
    if (rc) {
      out->failed++;
      out->last_reason = rc;
      continue;
    }
    out->sent++;
    KRMD gmd = KRMD_DEFAULT;
    std::memcpy(gmd.CorrelId, md.MsgId, KR_CORREL_ID_LENGTH);
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_WAIT | KRGMO_CONVERT;
    gmo.WaitInterval = timeout_s * 1000;
    KRLONG length = 0;
    KRGET(hconn, reply, &gmd, &gmo, kReplyBuffer, buffer.data(), &length, &cc, &rc);
    if (rc == KRRC_NO_MSG_AVAILABLE) {
      out->lost++;
      lost_ids.emplace_back(reinterpret_cast<const char*>(md.MsgId), KR_MSG_ID_LENGTH);
      continue;
    }
    if (rc) {
      out->failed++;
      out->last_reason = rc;
      continue;
    }
    const std::string text(buffer.data(), static_cast<size_t>(std::min(length, kReplyBuffer)));
    bool ok = std::memcmp(gmd.CorrelId, md.MsgId, KR_CORREL_ID_LENGTH) == 0;
    if (poison) {
      ok = ok && text.find(std::string("moved to the backout queue ") + kBackoutQueue) != std::string::npos;
      if (ok) out->poisoned++;
    } else if (bad) {
      ok = ok && text.find("Fault>") != std::string::npos;
    } else {
      ok = ok && text.find("Result>" + Number(a + kB) + "</") != std::string::npos;
    }
    if (ok) {
      out->answered++;
      progress->fetch_add(1, std::memory_order_relaxed);
    } else {
      out->wrong++;
      if (out->wrong <= 3) std::fprintf(stderr, "soak: wrong reply to request %ld: %.300s\n", i, text.c_str());
    }
  }
  // Whatever is left on the reply queue answered a request twice, or came
  // after its requester gave up on it.
  for (;;) {
    KRMD gmd = KRMD_DEFAULT;
    KRGMO gmo = KRGMO_DEFAULT;
    KRLONG length = 0;
    KRGET(hconn, reply, &gmd, &gmo, kReplyBuffer, buffer.data(), &length, &cc, &rc);
    if (rc == KRRC_NO_MSG_AVAILABLE || (rc && rc != KRRC_TRUNCATED_MSG_FAILED)) break;
    out->extra++;
  }
  KRCLOSE(hconn, &reply, KRCO_NONE, &cc, &rc);
  KRCLOSE(hconn, &request, KRCO_NONE, &cc, &rc);
  KRDISC(&hconn, &cc, &rc);
}

// ---- The host ---------------------------------------------------------------------

// Starts "krsoap serve" on the data root `root` (the soak's own by default).
pid_t StartHost(const std::string& root = g_root) {
  const std::string conf = root + "/host.conf";
  const std::string log = root + "/host.log";
  const std::string tool = g_bin + "/krsoap";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("KRSOAP_HOME", root.c_str(), 1);
    std::FILE* f = std::freopen(log.c_str(), "a", stderr);
    (void)f;
    ::execl(tool.c_str(), tool.c_str(), "serve", "--config", conf.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

void StopHost(pid_t pid, int sig) {
  if (pid <= 0) return;
  ::kill(pid, sig);
  int st = 0;
  ::waitpid(pid, &st, 0);
}

// Runs `n` requesting processes over requests [0, count) of `phase`;
// returns their counters summed.
struct PhaseRun {
  std::vector<pid_t> pids;
  Shared* shared = nullptr;
};

PhaseRun StartRequesters(Shared* shared, const Options& o, long count, long phase, int bad_every) {
  PhaseRun run;
  run.shared = shared;
  shared->progress.store(0);
  for (int r = 0; r < o.requesters; ++r) shared->per[r] = Counters{};
  std::fflush(nullptr);
  for (int r = 0; r < o.requesters; ++r) {
    pid_t pid = ::fork();
    if (pid == 0) {
      RequesterMain(r, o.requesters, count, phase, bad_every, o.timeout_s, &shared->per[r], &shared->progress);
      ::_exit(0);
    }
    run.pids.push_back(pid);
  }
  return run;
}

Counters WaitRequesters(const PhaseRun& run, int* crashed) {
  Counters sum;
  for (size_t r = 0; r < run.pids.size(); ++r) {
    int st = 0;
    ::waitpid(run.pids[r], &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) ++*crashed;
    const Counters& c = run.shared->per[r];
    sum.sent += c.sent;
    sum.answered += c.answered;
    sum.wrong += c.wrong;
    sum.lost += c.lost;
    sum.extra += c.extra;
    sum.failed += c.failed;
    sum.poisoned += c.poisoned;
    if (c.last_reason) sum.last_reason = c.last_reason;
  }
  return sum;
}

void PrintCounts(const char* what, const Counters& c, double seconds);

// Requests whose outcome the requesters have counted so far.
long Settled(const Shared& shared, int requesters) {
  long n = 0;
  for (int r = 0; r < requesters; ++r)
    n += shared.per[r].answered + shared.per[r].wrong + shared.per[r].lost + shared.per[r].failed;
  return n;
}

bool WaitReady(Shared* shared, const Options& o) {
  Options one = o;
  one.requesters = 1;
  one.timeout_s = 30;
  PhaseRun run = StartRequesters(shared, one, 1, 9, 0);
  int crashed = 0;
  Counters c = WaitRequesters(run, &crashed);
  if (c.answered != 1) PrintCounts("first request", c, 0);
  return c.answered == 1;
}

void PrintCounts(const char* what, const Counters& c, double seconds) {
  std::printf("  %s: sent %ld, answered %ld, wrong %ld, lost %ld, left over %ld, requester failures %ld%s\n", what,
              c.sent, c.answered, c.wrong, c.lost, c.extra, c.failed,
              c.last_reason ? (" (last reason " + std::to_string(c.last_reason) + ")").c_str() : "");
  std::printf("  %.1f s, %.0f requests answered/s\n", seconds, seconds > 0 ? static_cast<double>(c.answered) / seconds : 0.0);
}

int Usage() {
  std::fprintf(stderr,
               "usage: krsoap_soak [--requests N] [--requesters P] [--timeout S] [--bad-every K] [--phases 123] "
               "[--unit-of-work [--poison-every K]] [--store postgresql://...] [--keep]\n"
               "  phase 5 (two hosts on two data roots, one killed) needs --store\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has = i + 1 < argc;
    if (a == "--requests" && has) o.requests = std::atol(argv[++i]);
    else if (a == "--requesters" && has) o.requesters = std::atoi(argv[++i]);
    else if (a == "--timeout" && has) o.timeout_s = std::atoi(argv[++i]);
    else if (a == "--bad-every" && has) o.bad_every = std::atoi(argv[++i]);
    else if (a == "--phases" && has) o.phases = argv[++i];
    else if (a == "--keep") o.keep = true;
    else if (a == "--unit-of-work") o.unit_of_work = true;
    else if (a == "--poison-every" && has) o.poison_every = std::atoi(argv[++i]);
    else if (a == "--store" && has) o.store = argv[++i];
    else return Usage();
  }
  if (o.requests < 1 || o.requesters < 1 || o.requesters > 64 || o.timeout_s < 1 || o.bad_every < 2 || o.poison_every < 2) return Usage();
  const bool two_hosts = o.phases.find('5') != std::string::npos;
  if (two_hosts && o.store.empty()) return Usage();
  // Runs sharing one database keep to queue managers of their own.
  if (!o.store.empty()) g_qm += "." + std::to_string(::getpid());
  krsoap::test::BuildDirs dirs;
  if (!krsoap::test::FindBuildDirs(&dirs)) return 2;
  g_bin = dirs.bin;
  g_lib = dirs.lib;
  krsoap::test::HomeExtras extras;
  extras.store = o.store;
  if (!krsoap::test::MakeCalculatorHome(dirs, "krsoap-soak", g_qm, kQueue, &g_root, extras)) {
    std::fprintf(stderr, "soak: set-up of the data root %s failed\n", g_root.c_str());
    return 2;
  }
  // The Calculator's mapping, with Concat served by Crash: the poison of
  // phase 4 (the soak sends no other Concat).
  std::string wsml;
  {
    std::ifstream in(KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsml");
    std::stringstream text;
    text << in.rdbuf();
    wsml = text.str();
    const std::string concat = "method=\"Concat\" dispID=\"6\"";
    const std::string retval = "<parameter callIndex=\"-1\" name=\"retval\" elementName=\"Result\"/>";
    const size_t from = wsml.find(concat);
    const size_t result = wsml.find(retval, from);
    if (from == std::string::npos || result == std::string::npos) return 2;
    wsml.erase(result, retval.size());
    wsml.replace(from, concat.size(), "method=\"Crash\" dispID=\"7\"");
    std::ofstream(g_root + "/soak.wsml") << wsml;
  }
  // The host's configuration and registry in the data root KRSOAP_HOME
  // names. The backout queue is left to the host, which defines it when it
  // starts with UnitOfWork on.
  auto prepare_host = [&](const std::string& root) {
    std::ofstream(root + "/host.conf") << "[monitor calculator]\nqueue_manager = " << g_qm << "\nqueue = " << kQueue
                                       << "\nwsdl = " KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsdl\n"
                                       << "wsml = " << g_root << "/soak.wsml\n"
                                       << "can_reuse_object = 1\nstatus_file = " << root << "/calc.status\n";
    if (o.unit_of_work &&
        krsoap::test::RunQuiet(g_bin + "/krsoap reg add 'HKLM\\SOFTWARE\\Orvane\\KRSoap\\Server' /v UnitOfWork "
                                       "/t REG_DWORD /d 1 /f")) {
      std::fprintf(stderr, "soak: cannot set UnitOfWork in %s\n", root.c_str());
      return false;
    }
    return true;
  };
  if (!prepare_host(g_root)) return 2;
  // Phase 5's second "machine": a data root of its own whose queue manager
  // of the same name is the same database.
  if (two_hosts) {
    extras.attach = true;
    if (!krsoap::test::MakeCalculatorHome(dirs, "krsoap-soak2", g_qm, kQueue, &g_root2, extras) ||
        !prepare_host(g_root2)) {
      std::fprintf(stderr, "soak: set-up of the second data root %s failed\n", g_root2.c_str());
      return 2;
    }
    ::setenv("KRSOAP_HOME", g_root.c_str(), 1);
  }

  void* mem = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) return 2;
  auto* shared = new (mem) Shared();

  std::printf("krsoap_soak: %d requesting processes, %ld requests per phase, reply timeout %d s, data root %s%s\n",
              o.requesters, o.requests, o.timeout_s, g_root.c_str(), o.unit_of_work ? ", UnitOfWork 1" : "");
  pid_t host = StartHost();
  if (host <= 0 || !WaitReady(shared, o)) {
    std::fprintf(stderr, "soak: the host did not answer (see %s/host.log)\n", g_root.c_str());
    StopHost(host, SIGKILL);
    return 2;
  }
  int failures = 0;
  auto check = [&](bool ok, const char* what) {
    if (!ok) {
      std::printf("  FAILED: %s\n", what);
      ++failures;
    }
  };

  if (o.phases.find('1') != std::string::npos) {
    std::printf("phase 1: valid requests\n");
    const long rss0 = RssKb(host);
    const double t0 = NowS();
    int crashed = 0;
    Counters c = WaitRequesters(StartRequesters(shared, o, o.requests, 1, 0), &crashed);
    const double t1 = NowS();
    PrintCounts("requests", c, t1 - t0);
    std::printf("  host RSS %s at start, %s at end\n", Mb(rss0).c_str(), Mb(RssKb(host)).c_str());
    check(crashed == 0, "every requester ended normally");
    check(c.sent == o.requests && c.answered == o.requests, "every request answered once");
    check(c.wrong == 0 && c.lost == 0 && c.extra == 0 && c.failed == 0, "no wrong, lost or duplicate reply");
    check(QueueDepth() == 0, "the request queue is empty");
  }

  if (o.phases.find('2') != std::string::npos) {
    std::printf("phase 2: valid requests with one in %d malformed or oversized\n", o.bad_every);
    const long rss0 = RssKb(host);
    const double t0 = NowS();
    int crashed = 0;
    Counters c = WaitRequesters(StartRequesters(shared, o, o.requests, 2, o.bad_every), &crashed);
    const double t1 = NowS();
    PrintCounts("requests", c, t1 - t0);
    std::printf("  host RSS %s at start, %s at end\n", Mb(rss0).c_str(), Mb(RssKb(host)).c_str());
    check(crashed == 0, "every requester ended normally");
    check(c.sent == o.requests && c.answered == o.requests, "every request answered once (faults for the bad ones)");
    check(c.wrong == 0 && c.lost == 0 && c.extra == 0 && c.failed == 0, "no wrong, lost or duplicate reply");
    check(QueueDepth() == 0, "the request queue is empty");
    check(::waitpid(host, nullptr, WNOHANG) == 0, "the host still runs");
  }

  if (o.phases.find('3') != std::string::npos) {
    std::printf("phase 3: the host killed with SIGKILL after a third of the requests, then started again\n");
    const long rss0 = RssKb(host);
    const double t0 = NowS();
    PhaseRun run = StartRequesters(shared, o, o.requests, 3, 0);
    const long kill_at = std::max(1L, o.requests / 3);
    while (shared->progress.load() < kill_at) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const long rss_kill = RssKb(host);
    StopHost(host, SIGKILL);
    const double t_kill = NowS();
    const long answered_at_kill = shared->progress.load();
    const long depth = QueueDepth();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The restarted host writes its status file once its monitor started:
    // its memory is read then, and the restart timed to then.
    const std::string status = g_root + "/calc.status";
    std::filesystem::remove(status);
    const double t_restart = NowS();
    host = StartHost();
    for (int i = 0; i < 30000 && !std::filesystem::exists(status); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double t_serving = NowS();
    const long rss1 = RssKb(host);
    int crashed = 0;
    Counters c = WaitRequesters(run, &crashed);
    const double t1 = NowS();
    // Each requester has one request outstanding at a time, so at most
    // `requesters` were in flight; those waiting on the queue (depth) had
    // not been taken and must be answered.
    const long in_flight_bound = o.requesters - std::max(0L, depth);
    std::printf("  killed after %ld answered; request queue depth just after the kill %ld\n", answered_at_kill,
                depth);
    PrintCounts("requests (the time includes the reply timeout of lost requests)", c, t1 - t0);
    std::printf("  before the kill: %.0f requests answered/s; restarted host serving %.2f s after its start\n",
                static_cast<double>(answered_at_kill) / (t_kill - t0), t_serving - t_restart);
    std::printf("  lost at the kill: %ld (taken by the killed host, never answered; at most %ld were in flight)\n",
                c.lost, in_flight_bound);
    std::printf("  host RSS %s at start, %s at the kill; restarted host %s at start, %s at end\n", Mb(rss0).c_str(),
                Mb(rss_kill).c_str(), Mb(rss1).c_str(), Mb(RssKb(host)).c_str());
    check(crashed == 0, "every requester ended normally");
    check(c.sent == o.requests && c.answered + c.lost == o.requests, "every request answered once or lost");
    check(c.lost <= in_flight_bound, "no more lost than were in flight at the kill");
    // Under units of work a request taken by the killed host goes back to
    // its queue with the host's death, for the restarted host.
    if (o.unit_of_work) check(c.lost == 0, "none lost (UnitOfWork)");
    check(c.wrong == 0 && c.extra == 0 && c.failed == 0, "no wrong, late or duplicate reply");
    check(QueueDepth() == 0, "the request queue is empty");
  }

  if (o.phases.find('4') != std::string::npos && o.unit_of_work) {
    std::printf("phase 4: valid requests with one in %d killing the host (UnitOfWork; the host restarted each time)\n",
                o.poison_every);
    const double t0 = NowS();
    PhaseRun run = StartRequesters(shared, o, o.requests, 4, -o.poison_every);
    // Watch the host: every poison request kills it, until its backout
    // count reaches the threshold and it is moved aside.
    int restarts = 0;
    int crashed = 0;
    std::vector<bool> done(run.pids.size(), false);
    size_t finished = 0;
    Counters c;
    while (finished < run.pids.size()) {
      if (::waitpid(host, nullptr, WNOHANG) == host) {
        ++restarts;
        host = StartHost();
      }
      for (size_t r = 0; r < run.pids.size(); ++r) {
        int st = 0;
        if (!done[r] && ::waitpid(run.pids[r], &st, WNOHANG) == run.pids[r]) {
          done[r] = true;
          ++finished;
          if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) ++crashed;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (size_t r = 0; r < run.pids.size(); ++r) {
      const Counters& p = shared->per[r];
      c.sent += p.sent;
      c.answered += p.answered;
      c.wrong += p.wrong;
      c.lost += p.lost;
      c.extra += p.extra;
      c.failed += p.failed;
      c.poisoned += p.poisoned;
    }
    const double t1 = NowS();
    const long poison_count = o.requests / o.poison_every;
    PrintCounts("requests", c, t1 - t0);
    std::printf("  poison requests %ld: answered with the backout fault %ld, on %s %ld; host killed and restarted %d "
                "times\n",
                poison_count, c.poisoned, kBackoutQueue, QueueDepth(kBackoutQueue), restarts);
    check(crashed == 0, "every requester ended normally");
    check(c.sent == o.requests && c.answered == o.requests, "every request answered once");
    check(c.poisoned == poison_count, "every poison request answered with the backout fault");
    check(QueueDepth(kBackoutQueue) == poison_count, "every poison request on the backout queue");
    check(c.wrong == 0 && c.lost == 0 && c.extra == 0 && c.failed == 0, "no wrong, lost or duplicate reply");
    check(QueueDepth() == 0, "the request queue is empty");
  }

  if (two_hosts) {
    std::printf("phase 5: a second host on a second data root over the same queue manager; the first killed with "
                "SIGKILL halfway, the second serving on alone\n");
    // The first host holds its units' owner lock since its first request:
    // the keys of the advisory locks held before the second host starts
    // (other users of the database mark no message of this queue).
    const std::string first_owners =
        PgQuery(o.store, "SELECT string_agg(((classid::bigint << 32) | objid::bigint)::text, ',') FROM pg_locks "
                         "WHERE locktype = 'advisory' AND granted AND objsubid = 1");
    const std::string status2 = g_root2 + "/calc.status";
    std::filesystem::remove(status2);
    const pid_t second = StartHost(g_root2);
    for (int i = 0; i < 30000 && !std::filesystem::exists(status2); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    check(std::filesystem::exists(status2), "the second host started its monitor");
    const double t0 = NowS();
    PhaseRun run = StartRequesters(shared, o, o.requests, 5, 0);
    const long kill_at = std::max(1L, o.requests / 2);
    while (shared->progress.load() < kill_at && Settled(*shared, o.requesters) < o.requests)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Stopped first, so that the requests it holds under syncpoint can be
    // counted (its statements under way end meanwhile), and killed at a
    // moment it holds some: those are what the second host must serve.
    std::string held;
    for (int attempt = 0; attempt < 50; ++attempt) {
      ::kill(host, SIGSTOP);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (first_owners.empty()) break;
      held = PgQuery(o.store, "SELECT count(*) FROM krsoap.messages m JOIN krsoap.queues q ON q.id = m.queue_id "
                              "WHERE q.qm = '" + g_qm + "' AND q.name = '" + kQueue +
                                  "' AND m.uow_state = 1 AND m.uow_owner IN (" + first_owners + ")");
      if (held != "0") break;
      ::kill(host, SIGCONT);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    StopHost(host, SIGKILL);
    const double t_kill = NowS();
    const long answered_at_kill = shared->progress.load();
    host = second;
    int crashed = 0;
    Counters c = WaitRequesters(run, &crashed);
    const double t1 = NowS();
    std::printf("  first host killed after %ld answered (%.1f s into the phase), holding %s requests under "
                "syncpoint\n",
                answered_at_kill, t_kill - t0, held.empty() ? "?" : held.c_str());
    PrintCounts("requests", c, t1 - t0);
    std::printf("  answered/s: %.0f by both hosts before the kill, %.0f by the second alone after it\n",
                static_cast<double>(answered_at_kill) / (t_kill - t0),
                static_cast<double>(c.answered - answered_at_kill) / (t1 - t_kill));
    std::printf("  answered %ld, lost %ld, twice or late %ld; the second host %s\n", c.answered, c.lost, c.extra,
                ::waitpid(second, nullptr, WNOHANG) == 0 ? "still runs" : "ENDED");
    check(crashed == 0, "every requester ended normally");
    check(held != "0", "the killed host held requests under syncpoint");
    check(c.sent == o.requests && c.answered == o.requests, "every request answered once");
    check(c.wrong == 0 && c.lost == 0 && c.extra == 0 && c.failed == 0, "no wrong, lost or duplicate reply");
    check(QueueDepth() == 0, "the request queue is empty");
    check(::waitpid(second, nullptr, WNOHANG) == 0, "the second host still runs");
  }

  StopHost(host, SIGTERM);
  // A host built with a sanitizer reports into its log, not to the soak.
  for (const std::string& root : {g_root, g_root2}) {
    if (root.empty()) continue;
    std::ifstream log(root + "/host.log");
    std::string line;
    bool clean = true;
    while (clean && std::getline(log, line))
      clean = line.find("ERROR: AddressSanitizer") == std::string::npos &&
              line.find("ERROR: LeakSanitizer") == std::string::npos &&
              line.find("WARNING: ThreadSanitizer") == std::string::npos &&
              line.find("runtime error:") == std::string::npos;
    if (!clean) std::fprintf(stderr, "soak: %s/host.log: %s\n", root.c_str(), line.c_str());
    check(clean, "no sanitizer report in the host's log");
  }
  std::printf("%s\n", failures ? "soak FAILED" : "soak passed");
  if (!o.keep && !failures) {
    // A queue manager in a database outlives the data roots that name it.
    if (!o.store.empty()) krsoap::test::RunQuiet(g_bin + "/krsoap qm delete " + g_qm);
    std::filesystem::remove_all(g_root);
    if (!g_root2.empty()) std::filesystem::remove_all(g_root2);
  }
  return failures ? 1 : 0;
}
