// Benchmark of cross-process object calls: IKRSoapMonitor's CanReuseObject
// get and GetMonitorStatus through a proxy to a real monitor in a host child
// process (com_rpc_host), and, for comparison in the same run, a plain
// Unix-socket ping-pong of a message of the same size between two
// processes. Prints p50/p99 of each, and the load average.
//
//   com_rpc_bench [CALLS=20000]
// The COM declarations come first: system headers define LOCK_* macros that
// clash with IStream's lock types.
#include "halvex.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/rpc/rpc.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void Report(const char* what, std::vector<int64_t>& ns) {
  std::sort(ns.begin(), ns.end());
  auto at = [&](double q) { return ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))] / 1000.0; };
  std::printf("%-44s n=%-6zu p50 %7.1f us  p99 %7.1f us  max %8.1f us\n", what, ns.size(), at(0.5), at(0.99),
              ns.back() / 1000.0);
}

// Two processes bouncing a 62-byte message (a frame header and a small
// body, the size of a CanReuseObject call) over a Unix stream socket pair.
void PlainPingPong(int calls) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
  constexpr size_t kSize = 62;
  pid_t pid = fork();
  if (pid == 0) {
    close(sv[0]);
    char buf[kSize];
    while (true) {
      size_t got = 0;
      while (got < kSize) {
        ssize_t n = read(sv[1], buf + got, kSize - got);
        if (n <= 0) _exit(0);
        got += static_cast<size_t>(n);
      }
      if (write(sv[1], buf, kSize) != static_cast<ssize_t>(kSize)) _exit(0);
    }
  }
  close(sv[1]);
  char buf[kSize] = {};
  std::vector<int64_t> ns;
  ns.reserve(static_cast<size_t>(calls));
  for (int i = 0; i < calls + 1000; ++i) {
    int64_t t0 = NowNs();
    if (write(sv[0], buf, kSize) != static_cast<ssize_t>(kSize)) break;
    size_t got = 0;
    while (got < kSize) {
      ssize_t n = read(sv[0], buf + got, kSize - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (i >= 1000) ns.push_back(NowNs() - t0);
  }
  close(sv[0]);
  waitpid(pid, nullptr, 0);
  Report("plain Unix-socket round trip (62 bytes)", ns);
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  char home[] = "/tmp/krsoap-rpc-bench-XXXXXX";
  if (!mkdtemp(home)) return 1;
  setenv("KRSOAP_HOME", home, 1);
  const std::string halvex = std::string(KRSOAP_BENCH_LIB_DIR) + "/libhalvex.so";
  void* module = dlopen(halvex.c_str(), RTLD_NOW);
  auto reg = module ? reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllRegisterServer")) : nullptr;
  if (!reg || FAILED(reg())) {
    std::fprintf(stderr, "cannot register %s\n", halvex.c_str());
    return 1;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);

  // The host child.
  const std::string socket_path = std::string(home) + "/run/host.sock";
  const std::string host = std::string(KRSOAP_BENCH_BIN_DIR) + "/com_rpc_host";
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return 1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    execl(host.c_str(), host.c_str(), socket_path.c_str(), "monitor=Halvex.KRSoapMonitor", nullptr);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  char said[64] = {};
  pollfd p{out[0], POLLIN, 0};
  if (poll(&p, 1, 60000) <= 0 || read(out[0], said, sizeof said - 1) <= 0 || std::string(said).rfind("ready", 0) != 0) {
    std::fprintf(stderr, "host did not start: %s\n", said);
    kill(pid, SIGKILL);
    return 1;
  }

  IKRSoapMonitor* monitor = nullptr;
  HRESULT hr = krsoap::com::rpc::ConnectToObject(socket_path, "monitor", IID_IKRSoapMonitor,
                                                 reinterpret_cast<void**>(&monitor));
  if (FAILED(hr)) {
    std::fprintf(stderr, "connect failed 0x%08X\n", static_cast<unsigned>(hr));
    kill(pid, SIGKILL);
    return 1;
  }
  std::vector<int64_t> ns;
  ns.reserve(static_cast<size_t>(calls));
  LONG value = 0;
  for (int i = 0; i < calls + 1000; ++i) {
    int64_t t0 = NowNs();
    monitor->get_CanReuseObject(&value);
    if (i >= 1000) ns.push_back(NowNs() - t0);
  }
  Report("CanReuseObject get through the proxy", ns);

  BSTR file = krsoap::com::AllocBstrFromUtf8(std::string(home) + "/status.txt");
  std::vector<int64_t> status;
  const int status_calls = std::max(100, calls / 10);
  for (int i = 0; i < status_calls + 100; ++i) {
    LONG threads = 0, rc = 0;
    int64_t t0 = NowNs();
    monitor->GetMonitorStatus(file, &threads, &rc);
    if (i >= 100) status.push_back(NowNs() - t0);
  }
  SysFreeString(file);
  Report("GetMonitorStatus through the proxy", status);
  monitor->Release();

  PlainPingPong(calls);

  close(in[1]);
  waitpid(pid, nullptr, 0);
  std::ifstream load("/proc/loadavg");
  std::string l1, l5, l15;
  load >> l1 >> l5 >> l15;
  std::printf("load average %s %s %s\n", l1.c_str(), l5.c_str(), l15.c_str());
  CoUninitialize();
  std::string cleanup = std::string("rm -rf ") + home;
  if (std::system(cleanup.c_str()) != 0) return 0;
  return 0;
}
