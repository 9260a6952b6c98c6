// client_e2e_bench: the toolkit's SoapClient calling the example
// Calculator's Add end to end, through corvel's queue connector and through
// the toolkit's HTTP connector, in one run.
//
//   queue  SoapClient with ConnectorProgID "KRSoapClient.KRServerConnector"
//          and CalculatorQueue.wsdl (port address krs:CALC.REQUEST@) ->
//          "krsoap serve" hosting the Calculator on CALC.REQUEST of the
//          default queue manager
//   http   SoapClient with its default HttpConnector and Calculator.wsdl,
//          EndPointURL the port of "krsoap serve-http"
//   gsoap  the anchor, when built (bench/gsoap_anchor): a gSOAP-generated
//          client calling a gSOAP-generated Add server over HTTP keep-alive
//
// With 1, 4 and 16 client processes (each its own SoapClient, calling in a
// loop for a fixed time) it prints p50 and p99 of one call and calls per
// second, then the ratios queue/HTTP and queue/gSOAP. The stacks run in turn,
// level by level, for several rounds: this machine's speed drifts by as much
// as 2x within minutes, so each ratio is taken between runs seconds apart
// (the median of the rounds' ratios), and each stack's figures printed at the
// end are those of its median round. Then (e): a new queue connector's
// first call to the host (create, connect, queues, call), and the same
// through a new SoapClient. Runs in a throwaway data root, tracing off.
//
//   client_e2e_bench [--seconds S] [--rounds N] [--concurrency 1,4,16] [--only queue|http|gsoap]
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/com.h"
#include "platform/com/stream.h"
#include "soaptoolkit.h"
#include "bench/support/process_load.h"
#include "tests/support/calculator_home.h"
#if KRSOAP_BENCH_GSOAP
#include "bench/gsoap_anchor/gsoap_calc.h"
#endif

namespace {

using krsoap::bench::Figures;
using krsoap::bench::Load;
using krsoap::bench::LoadAverage;
using krsoap::bench::Measure;
using krsoap::bench::NowNs;
using krsoap::bench::MedianRound;
using krsoap::bench::Slot;

constexpr const char* kQm = "CLIENT.QM";
constexpr const char* kQueue = "CALC.REQUEST";
constexpr const char* kQueueWsdl = KRSOAP_SOURCE_DIR "/examples/calculator/CalculatorQueue.wsdl";
constexpr const char* kWsdl = KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsdl";
constexpr const char* kWsml = KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsml";
constexpr const char* kServerConnector = "KRSoapClient.KRServerConnector";

struct FirstCall {
  double p50_us, p99_us;
  long samples;
  bool ok;
};
struct Shared {
  Load load;
  FirstCall first[3];  // new connector alone, beside another, new SoapClient
};

struct Bs {
  BSTR b;
  explicit Bs(const std::string& s) : b(krsoap::com::AllocBstrFromUtf8(s)) {}
  ~Bs() { SysFreeString(b); }
  Bs(const Bs&) = delete;
  Bs& operator=(const Bs&) = delete;
};

VARIANT TextArg(const std::string& s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = krsoap::com::AllocBstrFromUtf8(s);
  return v;
}

// A SoapClient ready to call Add: over the queue (through corvel's server
// connector and the queue port) or over HTTP (the toolkit's connector, the
// endpoint given as a connector property). Null on failure.
ISoapClient* MakeClient(bool queue, int port, DISPID* add) {
  ISoapClient* client = nullptr;
  if (FAILED(CoCreateInstance(CLSID_SoapClient, nullptr, CLSCTX_INPROC_SERVER, IID_ISoapClient,
                              reinterpret_cast<void**>(&client)))) {
    return nullptr;
  }
  HRESULT hr;
  if (queue) {
    Bs name("ConnectorProgID");
    VARIANT v = TextArg(kServerConnector);
    hr = client->put_ClientProperty(name.b, v);
    VariantClear(&v);
  } else {
    Bs name("EndPointURL");
    VARIANT v = TextArg("http://127.0.0.1:" + std::to_string(port) + "/calculator");
    hr = client->put_ConnectorProperty(name.b, v);
    VariantClear(&v);
  }
  Bs wsdl(queue ? kQueueWsdl : kWsdl), wsml(kWsml), empty("");
  if (SUCCEEDED(hr)) hr = client->Init(wsdl.b, empty.b, empty.b, wsml.b);
  Bs op("Add");
  LPOLESTR names[1] = {op.b};
  if (SUCCEEDED(hr)) hr = client->GetIDsOfNames(IID_NULL, names, 1, 0, add);
  if (FAILED(hr)) {
    client->Release();
    return nullptr;
  }
  return client;
}

// One Add(a, 0.5) call; true when the result is a + 0.5.
bool CallAdd(ISoapClient* client, DISPID add, double a) {
  VARIANT args[2];  // last argument first
  VariantInit(&args[0]);
  args[0].vt = VT_R8;
  args[0].dblVal = 0.5;
  VariantInit(&args[1]);
  args[1].vt = VT_R8;
  args[1].dblVal = a;
  DISPPARAMS params{args, nullptr, 2, 0};
  VARIANT result;
  VariantInit(&result);
  const HRESULT hr = client->Invoke(add, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
  const bool ok = SUCCEEDED(hr) && result.vt == VT_R8 && result.dblVal == a + 0.5;
  VariantClear(&result);
  return ok;
}

// Makes calls until the stop signal, timing each.
void ClientProcess(Load* load, Slot* slot, long id, bool queue, int port) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  DISPID add = 0;
  ISoapClient* client = MakeClient(queue, port, &add);
  if (!client) {
    krsoap::bench::GiveUp(load, slot);
    return;
  }
  const double base = static_cast<double>(id) * 1e7;
  Measure(load, slot, [&](long i) { return CallAdd(client, add, base + static_cast<double>(i)); });
  client->Release();
  CoUninitialize();
}

Figures RunConcurrency(Load* load, int n, double seconds, bool queue, int port, pid_t host) {
  return krsoap::bench::Run(load, n, seconds, host,
                            [&](int r) { ClientProcess(load, &load->slots[r], r, queue, port); });
}

// ---- (e) first calls -------------------------------------------------------------------

HRESULT PutText(ISoapConnector* connector, const char* name, const std::string& value) {
  Bs n(name);
  VARIANT v = TextArg(value);
  HRESULT hr = connector->put_Property(n.b, v);
  VariantClear(&v);
  return hr;
}

// A new server connector's first call of Add, driven as the toolkit drives
// it; the connector is released afterwards (outside the time).
bool RawFirstCall(int64_t* ns, double a) {
  const std::string request =
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
      "<c:Add xmlns:c=\"urn:krsoap-calculator\"><c:a>" +
      std::to_string(a) + "</c:a><c:b>0.5</c:b></c:Add></SOAP-ENV:Body></SOAP-ENV:Envelope>";
  const int64_t t0 = NowNs();
  ISoapConnector* connector = nullptr;
  bool ok = false;
  CLSID clsid;
  if (SUCCEEDED(CLSIDFromProgID(u"KRSoapClient.KRServerConnector", &clsid)) &&
      SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISoapConnector,
                                 reinterpret_cast<void**>(&connector)))) {
    IUnknown* out = nullptr;
    IStream* stream = nullptr;
    if (SUCCEEDED(PutText(connector, "EndPointURL", "krs:CALC.REQUEST@")) &&
        SUCCEEDED(PutText(connector, "SoapAction", "urn:krsoap-calculator#Add")) &&
        SUCCEEDED(connector->get_OutputStream(&out)) && out &&
        SUCCEEDED(out->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)))) {
      ULONG n = 0;
      stream->Write(request.data(), static_cast<ULONG>(request.size()), &n);
      stream->Release();
      stream = nullptr;
      IUnknown* in = nullptr;
      if (SUCCEEDED(connector->EndMessage()) && SUCCEEDED(connector->get_InputStream(&in)) && in &&
          SUCCEEDED(in->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)))) {
        char reply[4096];
        ULONG got = 0;
        stream->Read(reply, sizeof reply, &got);
        ok = std::string_view(reply, got).find("Result>") != std::string_view::npos;
        stream->Release();
      }
      if (in) in->Release();
    }
    if (out) out->Release();
  }
  *ns = NowNs() - t0;
  if (connector) connector->Release();
  return ok;
}

// A new SoapClient (queue connector, CalculatorQueue.wsdl read, connector
// made) and its first Add.
bool SoapClientFirstCall(int64_t* ns, double a) {
  const int64_t t0 = NowNs();
  DISPID add = 0;
  ISoapClient* client = MakeClient(true, 0, &add);
  const bool ok = client && CallAdd(client, add, a);
  *ns = NowNs() - t0;
  if (client) client->Release();
  return ok;
}

FirstCall Percentiles(std::vector<int64_t> ns, bool ok) {
  FirstCall f{0, 0, static_cast<long>(ns.size()), ok && !ns.empty()};
  if (ns.empty()) return f;
  std::sort(ns.begin(), ns.end());
  f.p50_us = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
  f.p99_us = static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1000.0;
  return f;
}

// Runs in a process of its own, so that the first connector it makes finds
// nothing of corvel loaded that a client process would not have.
void FirstCallProcess(Shared* shared, double seconds) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int64_t ns = 0;
  double a = 1;
  // Alone: each connector is the process's only one.
  for (int kind = 0; kind < 3; ++kind) {
    ISoapConnector* keeper = nullptr;
    if (kind == 1) {
      // Another connector alive keeps the bindings library loaded.
      CLSID clsid;
      CLSIDFromProgID(u"KRSoapClient.KRServerConnector", &clsid);
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISoapConnector, reinterpret_cast<void**>(&keeper));
    }
    auto one = [&] { return kind == 2 ? SoapClientFirstCall(&ns, a++) : RawFirstCall(&ns, a++); };
    bool ok = true;
    for (int i = 0; i < 20; ++i) ok = one() && ok;
    std::vector<int64_t> samples;
    const int64_t until = NowNs() + static_cast<int64_t>(seconds * 1e9);
    while (NowNs() < until && samples.size() < 20000) {
      ok = one() && ok;
      samples.push_back(ns);
    }
    shared->first[kind] = Percentiles(std::move(samples), ok);
    if (keeper) keeper->Release();
  }
  CoUninitialize();
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

// One line of figures for `n` clients of one stack.
void PrintFigures(const char* stack, int n, const Figures& f) {
  std::printf("%s %2d clients: p50 %8.1f us  p99 %9.1f us  %8.0f calls/s  CPU per call: clients %5.1f us, "
              "host %5.1f us  (%ld errors)\n", stack, n, f.p50_us, f.p99_us, f.per_s, f.client_cpu_us, f.host_cpu_us,
              f.errors);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 2;
  int rounds = 3;
  std::vector<int> levels = {1, 4, 16};
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--seconds") {
      seconds = std::clamp(std::atof(argv[i + 1]), 0.1, 60.0);
    } else if (a == "--rounds") {
      rounds = std::clamp(std::atoi(argv[i + 1]), 1, 15);
    } else if (a == "--concurrency") {
      levels.clear();
      std::stringstream s(argv[i + 1]);
      std::string item;
      while (std::getline(s, item, ',')) levels.push_back(std::clamp(std::atoi(item.c_str()), 1, krsoap::bench::kMaxProcesses));
    } else if (a == "--only") {
      only = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: client_e2e_bench [--seconds S] [--rounds N] [--concurrency 1,4,16] [--only queue|http|gsoap]\n");
      return 2;
    }
  }
  if (argc % 2 == 0) {
    std::fprintf(stderr, "usage: client_e2e_bench [--seconds S] [--rounds N] [--concurrency 1,4,16] [--only queue|http|gsoap]\n");
    return 2;
  }
  krsoap::test::BuildDirs dirs;
  if (!krsoap::test::FindBuildDirs(&dirs)) return 2;
  std::string root;
  krsoap::test::HomeExtras extras;
  extras.default_qm = true;  // the queue port's address, krs:CALC.REQUEST@, names the default queue manager
  extras.modules = {"libcorvel.so"};
  if (!krsoap::test::MakeCalculatorHome(dirs, "krsoap-client-e2e", kQm, kQueue, &root, extras)) {
    std::fprintf(stderr, "client_e2e_bench: set-up failed in %s\n", root.c_str());
    if (!root.empty()) std::filesystem::remove_all(root);
    return 2;
  }
  Shared* shared = krsoap::bench::MapShared<Shared>();

  std::printf("client_e2e_bench: SoapClient calling Calculator Add, %.1f s per figure, %d rounds, each client a "
              "separate process\n", seconds, rounds);
  std::printf("load average at start: %s\n", LoadAverage().c_str());

  using krsoap::bench::StackKind;
  krsoap::bench::Stacks stacks;
  if (only.empty() || only == "queue")
    stacks.Add(StackKind::kQueue).server = krsoap::test::StartCalculatorHost(dirs, root, "", kQueue, kWsdl, kWsml);
  if (only.empty() || only == "http") {
    krsoap::bench::Stack& st = stacks.Add(StackKind::kHttp);
    st.server = krsoap::test::StartCalculatorHttpHost(dirs, root, kWsdl, kWsml, &st.port);
    if (st.port <= 0) {
      std::fprintf(stderr, "client_e2e_bench: serve-http did not start (see %s/http.log)\n", root.c_str());
      return 1;
    }
  }
#if KRSOAP_BENCH_GSOAP
  if (only.empty() || only == "gsoap") {
    krsoap::bench::Stack& st = stacks.Add(StackKind::kGsoap);
    st.server = krsoap::bench::gsoap::StartServer(&st.port);
    if (st.server <= 0) {
      std::fprintf(stderr, "client_e2e_bench: the gSOAP anchor's server did not start\n");
      stacks.StopAll();
      std::filesystem::remove_all(root);
      return 1;
    }
  }
#else
  std::printf("gsoap: the anchor is not built (bench/gsoap_anchor/install-gsoap.sh, then reconfigure)\n");
#endif
  const auto figures = krsoap::bench::RunInTurn(stacks.size(), levels, rounds, [&](size_t s, int level, int r) {
    const krsoap::bench::Stack& st = stacks[s];
    Figures f;
    if (st.kind == StackKind::kGsoap) {
#if KRSOAP_BENCH_GSOAP
      f = krsoap::bench::Run(&shared->load, level, seconds, st.server, [&](int slot) {
        krsoap::bench::GsoapAdds(&shared->load, &shared->load.slots[slot], slot, st.port);
      });
#endif
    } else {
      f = RunConcurrency(&shared->load, level, seconds, st.kind == StackKind::kQueue, st.port, st.server);
    }
    std::printf("round %d  ", r + 1);
    PrintFigures(krsoap::bench::StackLabel(st.kind), level, f);
    return f;
  });
  std::printf("median rounds\n");
  for (size_t s = 0; s < stacks.size(); ++s)
    for (size_t i = 0; i < levels.size(); ++i)
      PrintFigures(krsoap::bench::StackLabel(stacks[s].kind), levels[i], MedianRound(figures[s][i]));
  krsoap::bench::PrintStackRatios(stacks, figures, levels, "calls/s", {1.0, 1.1}, {0, 1.0});
  bool first_ran = false;
  if (stacks.Find(StackKind::kQueue) >= 0) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
      FirstCallProcess(shared, std::min(seconds, 1.0));
      ::_exit(0);
    }
    ::waitpid(pid, nullptr, 0);
    first_ran = true;
  }
  stacks.StopAll();
  if (first_ran) {
    const char* what[3] = {"new queue connector, first call (create, connect, queues, call), none other alive",
                           "new queue connector, first call, another connector of the process alive",
                           "new SoapClient (WSDL read, queue connector made), first call"};
    std::printf("(e) first calls to the queue host\n");
    for (int k = 0; k < 3; ++k) {
      const FirstCall& f = shared->first[k];
      std::printf("    %-84s p50 %7.1f us  p99 %8.1f us  (%ld samples)%s", what[k], f.p50_us, f.p99_us, f.samples,
                  f.ok ? "" : "  SOME FAILED");
      if (k < 2) std::printf("   goal p50 <= 200 us: %s", Verdict(f.ok && f.p50_us <= 200));
      std::printf("\n");
    }
  }
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  std::filesystem::remove_all(root);
  return 0;
}
