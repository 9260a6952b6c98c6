// server_monitor_bench: how fast the queue monitor hands requests to its
// workers, and what the service host costs in memory.
//
//   latency     put by another process -> start of the trigger's Execute
//               (p50, p99), one request at a time
//   throughput  requests dispatched per second with a trigger that takes the
//               message and returns at once, with 1 and 16 putter processes
//   host RSS    "krsoap serve" with 16 workers held busy, and after N more
//               requests (default 100,000; --requests N)
//
// Runs in a throwaway data root (tracing off). Putters are this program
// started again as "put" processes.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/queue/krqueue.h"
#include "halvex.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/registry/registry.h"
#include "platform/text/convert.h"

namespace {

constexpr const char* kQm = "BENCH.QM";
std::string g_bin, g_lib, g_self;

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

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

// "put QUEUE COUNT GAP_US STAMP": puts COUNT requests, retrying while the
// queue is full; with STAMP the body is the put time.
int PutMain(int argc, char** argv) {
  if (argc < 6) return 2;
  std::string queue = argv[2];
  long count = std::atol(argv[3]);
  long gap_us = std::atol(argv[4]);
  bool stamp = std::atoi(argv[5]) != 0;
  KRHCONN hconn;
  KRLONG cc, rc;
  KRCONN(kQm, &hconn, &cc, &rc);
  if (rc) return 1;
  KROD od = KROD_DEFAULT;
  std::strncpy(od.ObjectName, queue.c_str(), sizeof od.ObjectName - 1);
  KRHOBJ hobj;
  KROPEN(hconn, &od, KROO_OUTPUT, &hobj, &cc, &rc);
  if (rc) return 1;
  std::string body(200, 'x');
  for (long i = 0; i < count; ++i) {
    if (stamp) body = std::to_string(NowNs());
    for (;;) {
      KRMD md = KRMD_DEFAULT;
      md.MsgType = KRMT_REQUEST;
      KRPMO pmo = KRPMO_DEFAULT;
      KRPUT(hconn, hobj, &md, &pmo, static_cast<KRLONG>(body.size()), body.data(), &cc, &rc);
      if (rc != KRRC_Q_FULL && rc != KRRC_STORAGE_NOT_AVAILABLE) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (rc) return 1;
    if (gap_us) std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
  }
  KRCLOSE(hconn, &hobj, KRCO_NONE, &cc, &rc);
  KRDISC(&hconn, &cc, &rc);
  return 0;
}

pid_t Spawn(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

void Putters(const std::string& queue, int processes, long total, long gap_us, bool stamp) {
  std::vector<pid_t> pids;
  for (int i = 0; i < processes; ++i)
    pids.push_back(Spawn({g_self, "put", queue, std::to_string(total / processes), std::to_string(gap_us),
                          stamp ? "1" : "0"}));
  for (pid_t p : pids) ::waitpid(p, nullptr, 0);
}

void SetString(HKEY root, const std::u16string& path, const char16_t* name, const std::u16string& value) {
  HKEY key = nullptr;
  RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
  RegCloseKey(key);
}

IKRSoapMonitor* StartMonitor(const std::string& queue, const std::string& param) {
  CLSID clsid{};
  CLSIDFromString(u"Halvex.KRSoapMonitor", &clsid);
  IKRSoapMonitor* m = nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IKRSoapMonitor, reinterpret_cast<void**>(&m))))
    return nullptr;
  m->put_CanReuseObject(1);
  BSTR qm = krsoap::com::AllocBstrFromUtf8(kQm), q = krsoap::com::AllocBstrFromUtf8(queue),
       p = krsoap::com::AllocBstrFromUtf8("KRTest.Trigger"), u = krsoap::com::AllocBstrFromUtf8(param);
  LONG rc = -1;
  m->Start(qm, q, p, u, &rc);
  SysFreeString(qm), SysFreeString(q), SysFreeString(p), SysFreeString(u);
  if (rc != 0) {
    std::fprintf(stderr, "Start failed: %ld\n", static_cast<long>(rc));
    m->Release();
    return nullptr;
  }
  return m;
}

long StatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  return -1;
}

// Resident set, and its private (heap, stacks) and shared-file parts: the
// queue manager's mapped file counts as shared pages once touched.
std::string Rss(pid_t pid) {
  char text[160];
  std::snprintf(text, sizeof text, "%ld kB (anonymous %ld kB, file %ld kB, shared memory %ld kB)",
                StatusKb(pid, "VmRSS"), StatusKb(pid, "RssAnon"), StatusKb(pid, "RssFile"),
                StatusKb(pid, "RssShmem"));
  return text;
}

long Depth(const std::string& queue) {
  std::istringstream in(Capture(g_bin + "/krsoap qm queues " + kQm + " 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string name;
    long depth = -1;
    words >> name >> depth;
    if (name == queue) return depth;
  }
  return -1;
}

bool WaitUntil(const std::function<bool()>& done, int seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

}  // namespace

int main(int argc, char** argv) {
  g_self = "/proc/self/exe";
  {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) g_self.assign(path, static_cast<size_t>(n));
  }
  if (argc > 1 && std::string(argv[1]) == "put") return PutMain(argc, argv);
  long host_requests = 100000;
  long throughput_requests = 20000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--requests") host_requests = std::atol(argv[i + 1]);
    if (std::string(argv[i]) == "--throughput") throughput_requests = std::atol(argv[i + 1]);
  }
  g_bin = g_self.substr(0, g_self.rfind('/'));
  g_lib = g_bin.substr(0, g_bin.rfind('/')) + "/lib";
  char root_template[] = "/tmp/krsoap-bench-XXXXXX";
  std::string root = ::mkdtemp(root_template);
  ::setenv("KRSOAP_HOME", root.c_str(), 1);
  std::string tool = g_bin + "/krsoap";
  if (Run(tool + " qm create " + kQm + " --default") || Run(tool + " qm define " + kQm + " LAT") ||
      Run(tool + " qm define " + kQm + " FAST") || Run(tool + " qm define " + kQm + " BUSY") ||
      Run(tool + " qm define " + kQm + " HOSTFAST") || Run(tool + " register " + g_lib + "/libhalvex.so")) {
    std::fprintf(stderr, "setup failed\n");
    return 1;
  }
  const std::u16string clsid = u"{5C1E9F0A-7B2D-4E61-9A3C-2F8D4B6E1A07}";
  SetString(HKEY_CLASSES_ROOT, u"KRTest.Trigger\\CLSID", nullptr, clsid);
  SetString(HKEY_CLASSES_ROOT, u"CLSID\\" + clsid + u"\\InprocServer32", nullptr,
            krsoap::platform::Utf8ToUtf16(g_lib + "/libkrtesttrigger.so"));
  SetString(HKEY_CLASSES_ROOT, u"CLSID\\" + clsid + u"\\InprocServer32", u"ThreadingModel", u"Free");

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  void* trigger = ::dlopen((g_lib + "/libkrtesttrigger.so").c_str(), RTLD_NOW);
  auto executions = reinterpret_cast<long (*)()>(::dlsym(trigger, "KrTestTriggerExecutions"));
  auto latencies = reinterpret_cast<int (*)(int64_t*, int)>(::dlsym(trigger, "KrTestTriggerLatencies"));
  if (!executions || !latencies) {
    std::fprintf(stderr, "trigger module not found\n");
    return 1;
  }

  // Latency: one putter process, one request every 2 ms.
  {
    IKRSoapMonitor* m = StartMonitor("LAT", "stamp=1");
    if (!m) return 1;
    const long n = 2000;
    long before = executions();
    Putters("LAT", 1, n, 2000, true);
    WaitUntil([&] { return executions() - before >= n; }, 120);
    std::vector<int64_t> v(n);
    int got = latencies(v.data(), static_cast<int>(n));
    v.resize(got);
    std::sort(v.begin(), v.end());
    if (got > 0)
      std::printf("latency put -> Execute start (%d requests): p50 %.1f us, p99 %.1f us\n", got,
                  v[got / 2] / 1000.0, v[std::min<int>(got - 1, got * 99 / 100)] / 1000.0);
    LONG rc;
    m->Stop(&rc);
    m->Release();
  }

  // Throughput with 1 and 16 putters.
  {
    IKRSoapMonitor* m = StartMonitor("FAST", "");
    if (!m) return 1;
    for (int putters : {1, 16}) {
      long total = throughput_requests - throughput_requests % putters;
      long before = executions();
      int64_t start = NowNs();
      Putters("FAST", putters, total, 0, false);
      bool all = WaitUntil([&] { return executions() - before >= total; }, 300);
      double seconds = (NowNs() - start) / 1e9;
      std::printf("dispatched %ld requests with %2d putter(s): %.0f requests/s%s\n", executions() - before, putters,
                  (executions() - before) / seconds, all ? "" : " (not all within 300 s)");
    }
    LONG rc;
    m->Stop(&rc);
    m->Release();
  }

  // The host's resident memory.
  {
    std::string conf = root + "/host.conf";
    std::ofstream(conf) << "[host]\nstatus_interval = 1\n"
                        << "[monitor busy]\nqueue = BUSY\nprogid = KRTest.Trigger\nuser_param = gate=" << root
                        << "/gate\nstatus_file = " << root << "/busy.status\n"
                        << "[monitor fast]\nqueue = HOSTFAST\nprogid = KRTest.Trigger\ncan_reuse_object = 1\n"
                        << "status_file = " << root << "/fast.status\n";
    pid_t host = Spawn({tool, "serve", "--config", conf});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("host RSS idle: %s\n", Rss(host).c_str());
    Putters("BUSY", 1, 16, 0, false);
    WaitUntil(
        [&] {
          std::ifstream in(root + "/busy.status");
          std::string line;
          int busy = 0;
          while (std::getline(in, line))
            if (line.find(",1,") != std::string::npos) ++busy;
          return busy >= 16;
        },
        60);
    std::printf("host RSS with 16 busy workers: %s\n", Rss(host).c_str());
    std::ofstream(root + "/gate") << "open";
    int64_t start = NowNs();
    Putters("HOSTFAST", 16, host_requests, 0, false);
    WaitUntil([&] { return Depth("HOSTFAST") == 0; }, 600);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("host RSS after %ld more requests: %s (%.1f s)\n", host_requests, Rss(host).c_str(),
                (NowNs() - start) / 1e9);
    Putters("HOSTFAST", 16, host_requests, 0, false);
    WaitUntil([&] { return Depth("HOSTFAST") == 0; }, 600);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("host RSS after %ld more again: %s\n", host_requests, Rss(host).c_str());
    std::ifstream status_file(root + "/fast.status");
    std::string line;
    int workers = 0;
    while (std::getline(status_file, line)) ++workers;
    std::printf("host threads: %ld, fast monitor's worker blocks: %d\n", StatusKb(host, "Threads"), workers);
    ::kill(host, SIGTERM);
    int status = 0;
    ::waitpid(host, &status, 0);
    std::printf("host exit status after SIGTERM: %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  CoUninitialize();
  Run("rm -rf " + root);
  return 0;
}
