// server_e2e_bench: the example Calculator served end to end, over a queue
// and over HTTP, with the same request bodies.
//
//   queue  "krsoap serve" hosting the Calculator on a request queue of an
//          embedded queue manager; each requester is a separate process that
//          puts a request (reply-to a temporary dynamic queue of its own) and
//          waits for the reply by correlation id: request put -> reply got
//   http   "krsoap serve-http" serving the same WSDL/WSML; each client is a
//          separate process with one keep-alive connection: POST -> response
//   gsoap  the anchor, when built (bench/gsoap_anchor): a gSOAP-generated
//          client calling a gSOAP-generated Add server over HTTP keep-alive
//          (Add only: not with --echo-kb)
//
// With 1, 4 and 16 concurrent requesters it prints p50 and p99 of the round
// trip and round trips per second, then the ratios queue/HTTP and
// queue/gSOAP with the goals beside them. The stacks run in turn, level by
// level, for several rounds; each ratio is the median of the rounds' ratios
// and each stack's figures printed at the end are those of its median round
// (this machine's speed drifts too much for stacks measured minutes apart).
// Runs in a throwaway data root, tracing off.
//
//   --unit-of-work  the host serves under units of work ("UnitOfWork" 1)
//   --echo-kb N     each request is an Echo of N kB of text (the reply as
//                   long); "MaxMessageLength" is raised to fit
//
//   server_e2e_bench [--seconds S] [--rounds N] [--concurrency 1,4,16] [--only queue|http|gsoap]
//                    [--unit-of-work] [--echo-kb N]
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "bench/support/process_load.h"
#include "common/queue/krqueue.h"
#include "tests/support/calculator_home.h"
#if KRSOAP_BENCH_GSOAP
#include "bench/gsoap_anchor/gsoap_calc.h"
#endif

namespace {

using krsoap::bench::Figures;
using krsoap::bench::Load;
using krsoap::bench::LoadAverage;
using krsoap::bench::Measure;
using krsoap::bench::MedianRound;
using krsoap::bench::Slot;

constexpr const char* kQm = "E2E.QM";
constexpr const char* kQueue = "CALC.REQUEST";
constexpr const char* kModelQueue = "SYSTEM.DEFAULT.MODEL.QUEUE";
constexpr const char* kWsdl = KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsdl";
constexpr const char* kWsml = KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsml";

std::string g_root;
// --echo-kb: the text each request echoes; empty: Add requests.
std::string g_echo;

std::string EchoRequest() {
  return "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header>"
         "<SOAP-ENV:SoapAction>urn:krsoap-calculator#Echo</SOAP-ENV:SoapAction></SOAP-ENV:Header><SOAP-ENV:Body>"
         "<c:Echo xmlns:c=\"urn:krsoap-calculator\"><c:text>" +
         g_echo + "</c:text></c:Echo></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string AddRequest(long a) {
  if (!g_echo.empty()) return EchoRequest();
  return "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header>"
         "<SOAP-ENV:SoapAction>urn:krsoap-calculator#Add</SOAP-ENV:SoapAction></SOAP-ENV:Header><SOAP-ENV:Body>"
         "<c:Add xmlns:c=\"urn:krsoap-calculator\"><c:a>" +
         std::to_string(a) + "</c:a><c:b>0.5</c:b></c:Add></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

void QueueRequester(Load* load, Slot* slot, long id) {
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRLONG cc = 0, rc = 0;
  KRCONN(kQm, &hconn, &cc, &rc);
  KROD od = KROD_DEFAULT;
  std::memcpy(od.ObjectName, kQueue, std::strlen(kQueue));
  KRHOBJ request = KRHO_UNUSABLE_HOBJ;
  KROPEN(hconn, &od, KROO_OUTPUT, &request, &cc, &rc);
  KROD rod = KROD_DEFAULT;
  std::memcpy(rod.ObjectName, kModelQueue, std::strlen(kModelQueue));
  std::memset(rod.DynamicQName, 0, sizeof rod.DynamicQName);
  rod.DynamicQName[0] = '*';
  KRHOBJ reply = KRHO_UNUSABLE_HOBJ;
  KROPEN(hconn, &rod, KROO_INPUT_AS_Q_DEF, &reply, &cc, &rc);
  char reply_q[KR_Q_NAME_LENGTH];
  std::memcpy(reply_q, rod.ObjectName, KR_Q_NAME_LENGTH);
  for (char& c : reply_q) if (c == '\0') c = ' ';
  std::vector<char> buffer(g_echo.size() + (1 << 16));
  Measure(load, slot, [&](long i) {
    const std::string body = AddRequest(id * 10000000 + i);
    KRMD md = KRMD_DEFAULT;
    md.MsgType = KRMT_REQUEST;
    std::memcpy(md.Format, KRFMT_STRING, KR_FORMAT_LENGTH);
    std::memcpy(md.ReplyToQ, reply_q, KR_Q_NAME_LENGTH);
    std::memset(md.ReplyToQMgr, ' ', KR_Q_MGR_NAME_LENGTH);
    std::memcpy(md.ReplyToQMgr, kQm, std::strlen(kQm));
    KRPMO pmo = KRPMO_DEFAULT;
    KRLONG c = 0, r = 0;
    KRPUT(hconn, request, &md, &pmo, static_cast<KRLONG>(body.size()), const_cast<char*>(body.data()), &c, &r);
    if (r) return false;
    KRMD gmd = KRMD_DEFAULT;
    std::memcpy(gmd.CorrelId, md.MsgId, KR_CORREL_ID_LENGTH);
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_WAIT | KRGMO_CONVERT;
    gmo.WaitInterval = 30000;
    KRLONG length = 0;
    KRGET(hconn, reply, &gmd, &gmo, static_cast<KRLONG>(buffer.size()), buffer.data(), &length, &c, &r);
    return r == 0 && std::string_view(buffer.data(), static_cast<size_t>(length)).find("Result>") != std::string::npos;
  });
  KRCLOSE(hconn, &reply, KRCO_NONE, &cc, &rc);
  KRCLOSE(hconn, &request, KRCO_NONE, &cc, &rc);
  KRDISC(&hconn, &cc, &rc);
}

void HttpRequester(Load* load, Slot* slot, long id, int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  client.set_read_timeout(30, 0);
  const httplib::Headers headers = {
      {"SOAPAction", g_echo.empty() ? "\"urn:krsoap-calculator#Add\"" : "\"urn:krsoap-calculator#Echo\""}};
  Measure(load, slot, [&](long i) {
    auto res = client.Post("/", headers, AddRequest(id * 10000000 + i), "text/xml; charset=utf-8");
    return res && res->status == 200 && res->body.find("Result>") != std::string::npos;
  });
}

Figures RunConcurrency(Load* load, int n, double seconds, bool queue, int port) {
  return krsoap::bench::Run(load, n, seconds, 0, [&](int r) {
    if (queue) {
      QueueRequester(load, &load->slots[r], r);
    } else {
      HttpRequester(load, &load->slots[r], r, port);
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  int rounds = 3;
  std::vector<int> levels = {1, 4, 16};
  std::string only;
  bool unit_of_work = false;
  int echo_kb = 0;
  for (int i = 1; i < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--unit-of-work") {
      unit_of_work = true;
      --i;
    } else if (i + 1 >= argc) {
      std::fprintf(stderr, "server_e2e_bench: %s needs a value\n", a.c_str());
      return 2;
    } else if (a == "--echo-kb") {
      echo_kb = std::clamp(std::atoi(argv[i + 1]), 1, 4000);
    } else if (a == "--seconds") {
      seconds = std::atof(argv[i + 1]);
    } else if (a == "--rounds") {
      rounds = std::clamp(std::atoi(argv[i + 1]), 1, 15);
    } else if (a == "--concurrency") {
      levels.clear();
      std::stringstream s(argv[i + 1]);
      std::string item;
      while (std::getline(s, item, ',')) levels.push_back(std::clamp(std::atoi(item.c_str()), 1, 16));
    } else if (a == "--only") {
      only = argv[i + 1];
    } else {
      std::fprintf(stderr,
                   "usage: server_e2e_bench [--seconds S] [--rounds N] [--concurrency 1,4,16] [--only queue|http|gsoap] "
                   "[--unit-of-work] [--echo-kb N]\n");
      return 2;
    }
  }
  krsoap::test::BuildDirs dirs;
  if (!krsoap::test::FindBuildDirs(&dirs)) return 2;
  if (!krsoap::test::MakeCalculatorHome(dirs, "krsoap-e2e", kQm, kQueue, &g_root)) {
    std::fprintf(stderr, "server_e2e_bench: set-up failed in %s\n", g_root.c_str());
    return 2;
  }
  const std::string server_key = " reg add 'HKLM\\SOFTWARE\\Orvane\\KRSoap\\Server' /t REG_DWORD /f /v ";
  if (unit_of_work && krsoap::test::RunQuiet(dirs.bin + "/krsoap" + server_key + "UnitOfWork /d 1")) return 2;
  if (echo_kb > 0) {
    g_echo.assign(static_cast<size_t>(echo_kb) * 1024, 'x');
    const long limit = echo_kb * 1024L + 4096;
    if (krsoap::test::RunQuiet(dirs.bin + "/krsoap" + server_key + "MaxMessageLength /d " + std::to_string(limit)))
      return 2;
  }
  Load* shared = krsoap::bench::MapShared<Load>();

  std::printf("server_e2e_bench: Calculator %s, %.1f s per figure, %d rounds, requesters are separate processes%s\n",
              g_echo.empty() ? "Add" : ("Echo of " + std::to_string(echo_kb) + " kB").c_str(), seconds, rounds,
              unit_of_work ? ", UnitOfWork 1" : "");
  std::printf("load average at start: %s\n", LoadAverage().c_str());

  using krsoap::bench::StackKind;
  krsoap::bench::Stacks stacks;
  if (only.empty() || only == "queue")
    stacks.Add(StackKind::kQueue).server = krsoap::test::StartCalculatorHost(dirs, g_root, kQm, kQueue, kWsdl, kWsml);
  if (only.empty() || only == "http") {
    krsoap::bench::Stack& st = stacks.Add(StackKind::kHttp);
    st.server = krsoap::test::StartCalculatorHttpHost(dirs, g_root, kWsdl, kWsml, &st.port);
    if (st.port <= 0) {
      std::fprintf(stderr, "server_e2e_bench: serve-http did not start (see %s/http.log)\n", g_root.c_str());
      return 1;
    }
  }
#if KRSOAP_BENCH_GSOAP
  if ((only.empty() || only == "gsoap") && g_echo.empty()) {
    krsoap::bench::Stack& st = stacks.Add(StackKind::kGsoap);
    st.server = krsoap::bench::gsoap::StartServer(&st.port);
    if (st.server <= 0) {
      std::fprintf(stderr, "server_e2e_bench: the gSOAP anchor's server did not start\n");
      stacks.StopAll();
      std::filesystem::remove_all(g_root);
      return 1;
    }
  }
#else
  std::printf("gsoap: the anchor is not built (bench/gsoap_anchor/install-gsoap.sh, then reconfigure)\n");
#endif
  auto print = [](StackKind kind, int level, const Figures& f) {
    std::printf("%s %2d %s p50 %8.1f us  p99 %9.1f us  %8.0f round trips/s  (%ld errors)\n",
                krsoap::bench::StackLabel(kind), level, kind == StackKind::kQueue ? "requesters:" : "clients:   ",
                f.p50_us, f.p99_us, f.per_s, f.errors);
    std::fflush(stdout);
  };
  const auto figures = krsoap::bench::RunInTurn(stacks.size(), levels, rounds, [&](size_t s, int level, int r) {
    const krsoap::bench::Stack& st = stacks[s];
    Figures f;
    if (st.kind == StackKind::kGsoap) {
#if KRSOAP_BENCH_GSOAP
      f = krsoap::bench::Run(shared, level, seconds, st.server,
                             [&](int slot) { krsoap::bench::GsoapAdds(shared, &shared->slots[slot], slot, st.port); });
#endif
    } else {
      f = RunConcurrency(shared, level, seconds, st.kind == StackKind::kQueue, st.port);
    }
    std::printf("round %d  ", r + 1);
    print(st.kind, level, f);
    return f;
  });
  stacks.StopAll();
  std::printf("median rounds\n");
  for (size_t s = 0; s < stacks.size(); ++s)
    for (size_t i = 0; i < levels.size(); ++i) print(stacks[s].kind, levels[i], MedianRound(figures[s][i]));
  krsoap::bench::PrintStackRatios(stacks, figures, levels, "round trips/s", {}, {0.8, 1.3});
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  std::filesystem::remove_all(g_root);
  return 0;
}
