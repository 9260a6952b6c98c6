// SOAP server benchmark. Prints, for the example Calculator's Add:
//   - SoapInvoke over memory streams: wall and thread-CPU time per call
//     (median and best of five rounds);
//   - "krsoap serve-http" round trips per second and the median latency
//     with 1, 4 and 16 keep-alive HTTP clients (2 s each, loopback only).
// Runs in a throwaway data root where it registers the modules it uses.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/soap/buffer_stream.h"
#include "soaptoolkit.h"
#include "tests/support/calculator_home.h"
#include "tests/support/register_module.h"
#include "tests/support/test_home.h"

// After the platform headers: the system headers it brings define macros
// that name enumerators there.
#include <httplib.h>

namespace {

using namespace krsoap;

const std::string kRequest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
    "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
    "<c:Add xmlns:c=\"urn:krsoap-calculator\"><c:a>2</c:a><c:b>3</c:b></c:Add></SOAP-ENV:Body></SOAP-ENV:Envelope>";

double CpuNow() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

void BenchInvoke(ISoapServer* server) {
  constexpr int kCalls = 20000;
  std::vector<double> wall, cpu;
  com::BstrPtr action(com::AllocBstrFromUtf8("urn:krsoap-calculator#Add"));
  soap::BufferStream* in = soap::BufferStream::Create();
  soap::BufferStream* out = soap::BufferStream::Create();
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = static_cast<IStream*>(in);
  for (int round = 0; round < 5; ++round) {
    auto t0 = std::chrono::steady_clock::now();
    double c0 = CpuNow();
    for (int i = 0; i < kCalls; ++i) {
      in->Assign(kRequest);
      server->SoapInvoke(v, static_cast<IStream*>(out), action.get());
      std::string r = out->Take();
      if (r.find(">5</") == std::string::npos) {
        std::fprintf(stderr, "unexpected response: %s\n", r.c_str());
        std::exit(1);
      }
    }
    double c1 = CpuNow();
    auto t1 = std::chrono::steady_clock::now();
    wall.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / kCalls);
    cpu.push_back((c1 - c0) * 1e6 / kCalls);
  }
  in->Release();
  out->Release();
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("SoapInvoke Add over memory streams: wall median %.1f us (best %.1f), CPU median %.1f us (best %.1f)"
              "  [goal <= 20 us]\n",
              wall[2], wall[0], cpu[2], cpu[0]);
}

void BenchHttp(int port, int clients) {
  const auto duration = std::chrono::seconds(2);
  constexpr long kMaxPerClient = 200000;  // a bound on the loop whatever the speed
  std::atomic<long> total{0}, errors{0};
  std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  auto start = std::chrono::steady_clock::now();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", port);
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      httplib::Headers headers = {{"SOAPAction", "\"urn:krsoap-calculator#Add\""}};
      auto& lat = latencies[static_cast<size_t>(c)];
      for (long i = 0; i < kMaxPerClient && std::chrono::steady_clock::now() - start < duration; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        auto res = client.Post("/calculator", headers, kRequest, "text/xml");
        auto t1 = std::chrono::steady_clock::now();
        if (!res || res->status != 200) {
          ++errors;
          continue;
        }
        lat.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        ++total;
      }
    });
  }
  for (auto& t : threads) t.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  double p50 = all.empty() ? 0 : all[all.size() / 2];
  std::printf("serve-http, %2d keep-alive client%s: %8.0f round trips/s, p50 %.0f us, errors %ld%s\n", clients,
              clients == 1 ? " " : "s", total / seconds, p50, errors.load(),
              clients == 1 ? "  [goal >= 5000/s]" : clients == 16 ? "  [goal >= 15000/s]" : "");
}

}  // namespace

int main() {
  test::ScopedHome home;
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  for (const char* m : {"libkrxml.so", "libkrsoap.so", "libkrcalculator.so"}) {
    if (!test::RegisterLibModule(m)) {
      std::fprintf(stderr, "cannot register %s\n", m);
      return 1;
    }
  }
  ISoapServer* server = nullptr;
  if (FAILED(CoCreateInstance(CLSID_SoapServer, nullptr, CLSCTX_SERVER, IID_ISoapServer,
                              reinterpret_cast<void**>(&server)))) {
    return 1;
  }
  const std::string calc = std::string(KRSOAP_SOURCE_DIR) + "/examples/calculator/Calculator";
  com::BstrPtr wsdl(com::AllocBstrFromUtf8(calc + ".wsdl")), wsml(com::AllocBstrFromUtf8(calc + ".wsml"));
  if (FAILED(server->Init(wsdl.get(), wsml.get()))) return 1;
  BenchInvoke(server);
  server->Release();

  int port = 0;
  test::BuildDirs dirs;
  pid_t pid = test::FindBuildDirs(&dirs)
                  ? test::StartCalculatorHttpHost(dirs, home.path(), calc + ".wsdl", calc + ".wsml", &port)
                  : -1;
  if (pid > 0 && port == 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  if (pid < 0 || port == 0) {
    std::fprintf(stderr, "cannot start krsoap serve-http\n");
    return 1;
  }
  for (int clients : {1, 4, 16}) BenchHttp(port, clients);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  CoUninitialize();
  return 0;
}
