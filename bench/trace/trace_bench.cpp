// Measures the trace facility: nanoseconds per Logerror call while tracing is
// off (goal: at most 2 ns, one load and branch), and lines per second into one
// trace file from 1 and 4 threads while tracing is on (goal: at least 50,000;
// every line opens, locks, appends to and closes the file).
//
// Runs against a throwaway data root of its own; prints its figures.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/trace/trace.h"
#include "platform/registry/registry.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool EnableTracing() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\Korrin\\CurrentVersion", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  DWORD one = 1;
  LONG rc = RegSetValueExW(key, u"soapTrace", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

// Entry, free text and exit lines, as a traced operation writes them.
void TraceOperations(int operations) {
  for (int i = 0; i < operations; ++i) {
    Logerror(krsoap::trace::kTraceEntry, u"%s/%s", u"KRSoap:Server", u"CKRSoapHandler::Read");
    LogText("KRGET cc=%d rc=%d len=%d", 0, 0, i);
    Logerror(krsoap::trace::kTraceExit, u"%s/%s rc = %ld", u"KRSoap:Server", u"CKRSoapHandler::Read",
             0L);
  }
}

double ProcessCpuSeconds() {
  struct rusage u;
  ::getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
  struct timespec t;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct Rate {
  double wall;  // lines per second of elapsed time
  double cpu;   // lines per second of CPU time the process spent
};

// The machine may be shared: the CPU-time figure is what a line costs, the
// wall-clock figure what this run got.
Rate LinesPerSecond(int threads, int operations_per_thread) {
  std::vector<std::thread> workers;
  double cpu_start = ProcessCpuSeconds();
  auto start = Clock::now();
  for (int t = 0; t < threads; ++t) workers.emplace_back(TraceOperations, operations_per_thread);
  for (auto& w : workers) w.join();
  double lines = 3.0 * threads * operations_per_thread;
  return Rate{lines / Seconds(start), lines / (ProcessCpuSeconds() - cpu_start)};
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/krsoap-trace-bench-XXXXXX";
  if (!::mkdtemp(root.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  ::setenv("KRSOAP_HOME", root.c_str(), 1);
  int scale = argc > 1 ? std::atoi(argv[1]) : 1;
  if (scale < 1) scale = 1;

  // Tracing off: the first call reads the (empty) registry and turns it off.
  Logerror(krsoap::trace::kTraceText, u"first call");
  const long kCalls = 200'000'000L * scale / 2;
  auto start = Clock::now();
  double cpu = ThreadCpuSeconds();
  for (long i = 0; i < kCalls; ++i) {
    Logerror(krsoap::trace::kTraceEntry, u"%s/%s", u"KRSoap:Server", u"CKRSoapHandler::Read");
  }
  double off_ns = Seconds(start) * 1e9 / double(kCalls);
  double off_cpu_ns = (ThreadCpuSeconds() - cpu) * 1e9 / double(kCalls);
  start = Clock::now();
  cpu = ThreadCpuSeconds();
  for (long i = 0; i < kCalls; ++i) LogText("cc=%d rc=%d", 0, 2033);
  double off_text_ns = Seconds(start) * 1e9 / double(kCalls);
  double off_text_cpu_ns = (ThreadCpuSeconds() - cpu) * 1e9 / double(kCalls);

  krsoap::trace::ResetForTesting();
  if (!EnableTracing()) {
    std::fprintf(stderr, "cannot write the registry under %s\n", root.c_str());
    return 1;
  }
  char name[4096];
  Logerror(krsoap::trace::kTraceText, u"warm-up");
  krsoap::trace::CurrentTraceFileName(name, sizeof(name));
  Rate one = LinesPerSecond(1, 30000 * scale);
  std::filesystem::remove(name);
  Rate four = LinesPerSecond(4, 10000 * scale);
  bool failures = std::filesystem::exists(root + "/error.txt");

  std::printf("trace benchmark (data root %s, %u CPUs)\n", root.c_str(),
              std::thread::hardware_concurrency());
  std::printf("  tracing off: Logerror %6.2f ns/call elapsed, %6.2f ns/call CPU (goal <= 2 ns)\n",
              off_ns, off_cpu_ns);
  std::printf("  tracing off: LogText  %6.2f ns/call elapsed, %6.2f ns/call CPU\n", off_text_ns,
              off_text_cpu_ns);
  std::printf("  tracing on, 1 thread : %8.0f lines/s elapsed, %8.0f lines per CPU second (goal >= 50,000)\n",
              one.wall, one.cpu);
  std::printf("  tracing on, 4 threads: %8.0f lines/s elapsed, %8.0f lines per CPU second (goal >= 50,000)\n",
              four.wall, four.cpu);
  if (failures) std::printf("  note: some lines failed (see error.txt)\n");
  double load[3];
  if (::getloadavg(load, 3) == 3) std::printf("  load average during the run: %.2f\n", load[0]);

  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
