// The harness of the end-to-end benchmarks: requesting processes forked from
// one parent, each timing its round trips into its own slot of a shared
// mapping; the parent starts and stops them together and gathers the
// percentiles, the rate and the CPU time per round trip. Header only.
#pragma once

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if KRSOAP_BENCH_GSOAP
#include "bench/gsoap_anchor/gsoap_calc.h"
#endif
#include "bench/support/median.h"

namespace krsoap::bench {

inline constexpr size_t kMaxSamples = 1 << 17;  // per process
inline constexpr int kMaxProcesses = 16;
inline constexpr int kWarmup = 200;  // round trips before the start signal

inline int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t ProcessCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// User plus system time of another process so far, from /proc (clock-tick
// resolution); 0 when it cannot be read.
inline double CpuSecondsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {  // the state is field 3
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) {
      stime = std::strtoull(field.c_str(), nullptr, 10);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

// One requesting process's record.
struct Slot {
  long count;
  long errors;
  int64_t first_ns;
  int64_t last_ns;
  int64_t cpu_ns;  // the process's CPU time while measuring
  int64_t samples[kMaxSamples];
};

// Shared between the parent and the requesting processes.
struct Load {
  std::atomic<int> ready;
  std::atomic<int> go;
  std::atomic<int> stop;
  Slot slots[kMaxProcesses];
};

// A zeroed shared mapping for a T that begins with (or is) a Load; exits
// when none can be made.
template <class T>
T* MapShared() {
  void* p = ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    std::perror("mmap");
    std::exit(1);
  }
  return static_cast<T*>(p);
}

// In a requesting process: runs `one(i)` (one round trip; false on failure)
// kWarmup times, says it is ready, waits for the start signal, then runs it
// until the stop signal, recording each round trip's duration.
template <class F>
void Measure(Load* load, Slot* slot, F one) {
  for (int i = 0; i < kWarmup; ++i) one(i);
  load->ready.fetch_add(1);
  while (!load->go.load()) std::this_thread::yield();
  slot->first_ns = NowNs();
  const int64_t cpu0 = ProcessCpuNs();
  long i = kWarmup;
  while (!load->stop.load()) {
    const int64_t t0 = NowNs();
    const bool ok = one(i++);
    const int64_t t1 = NowNs();
    if (!ok) {
      slot->errors++;
      continue;
    }
    if (static_cast<size_t>(slot->count) < kMaxSamples) slot->samples[slot->count] = t1 - t0;
    slot->count++;
    slot->last_ns = t1;
  }
  slot->cpu_ns = ProcessCpuNs() - cpu0;
}

// In a requesting process that cannot start: counts the failure and lets the
// parent go on.
inline void GiveUp(Load* load, Slot* slot) {
  slot->errors++;
  load->ready.fetch_add(1);
}

#if KRSOAP_BENCH_GSOAP
// The gSOAP anchor's requesting process: the generated Add over one
// keep-alive connection, each call checked.
inline void GsoapAdds(Load* load, Slot* slot, long id, int port) {
  gsoap::Client* client = gsoap::NewClient(port);
  if (!client) {
    GiveUp(load, slot);
    return;
  }
  const double base = static_cast<double>(id) * 1e7;
  Measure(load, slot, [&](long i) {
    const double a = base + static_cast<double>(i);
    double result = 0;
    return gsoap::Add(client, a, 0.5, &result) && result == a + 0.5;
  });
  gsoap::FreeClient(client);
}
#endif

struct Figures {
  double p50_us = 0, p99_us = 0, per_s = 0;
  double client_cpu_us = 0, host_cpu_us = 0;  // per round trip
  long errors = 0;
};

// Ends a server a benchmark started (SIGTERM, then waits for it); none when
// pid <= 0.
inline void StopServer(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

// The stacks the end-to-end benchmarks compare. Every stack's server runs
// for the whole measurement (only the one measured is called) and is stopped
// with the list, or before by StopAll.
enum class StackKind { kQueue, kHttp, kGsoap };

inline const char* StackLabel(StackKind kind) {
  return kind == StackKind::kQueue ? "queue" : kind == StackKind::kHttp ? "http " : "gsoap";
}

struct Stack {
  StackKind kind;
  pid_t server = 0;
  int port = 0;
};

class Stacks {
 public:
  Stacks() = default;
  Stacks(const Stacks&) = delete;
  Stacks& operator=(const Stacks&) = delete;
  ~Stacks() { StopAll(); }

  Stack& Add(StackKind kind) {
    list_.push_back(Stack{kind});
    return list_.back();
  }
  void StopAll() {
    for (Stack& s : list_) {
      StopServer(s.server);
      s.server = 0;
    }
  }
  // The index of the stack of that kind, or -1.
  int Find(StackKind kind) const {
    for (size_t i = 0; i < list_.size(); ++i)
      if (list_[i].kind == kind) return static_cast<int>(i);
    return -1;
  }
  size_t size() const { return list_.size(); }
  const Stack& operator[](size_t i) const { return list_[i]; }

 private:
  std::vector<Stack> list_;
};

// Of several rounds' figures, the round with the median rate.
inline Figures MedianRound(const std::vector<Figures>& rounds) { return MedianBy(rounds, &Figures::per_s); }

// Measures every stack at every level in turn, round after round:
// run(stack, level, round) measures one. This machine's speed drifts by as
// much as 2x within minutes, so stacks are compared between runs made seconds
// apart. Returns the figures as [stack][level][round].
template <class RunOne>
std::vector<std::vector<std::vector<Figures>>> RunInTurn(size_t stacks, const std::vector<int>& levels, int rounds,
                                                         RunOne run) {
  std::vector<std::vector<std::vector<Figures>>> out(stacks, std::vector<std::vector<Figures>>(levels.size()));
  for (int r = 0; r < rounds; ++r)
    for (size_t i = 0; i < levels.size(); ++i)
      for (size_t s = 0; s < stacks; ++s) out[s][i].push_back(run(s, levels[i], r));
  return out;
}

// Prints the queue's figures over another stack's, level by level, with the
// goals for 1 and 16 processes beside them when given (> 0); `unit` names the
// rate ("calls/s", "round trips/s"). The stacks were measured in turn over
// several rounds (RunInTurn; figures as [level][round]): each ratio is the
// median of the rounds' own ratios, every one taken between runs made seconds
// apart, and the rate's ratio of every round is listed after it.
inline void PrintRoundRatios(const char* other, const char* unit, const std::vector<int>& levels,
                             const std::vector<std::vector<Figures>>& queue,
                             const std::vector<std::vector<Figures>>& them, double p50_goal_at_1,
                             double rate_goal_at_16) {
  std::printf("ratios queue/%s, median of %zu rounds (p50, p99: lower is better for the queue; %s: higher is)\n", other,
              queue.empty() ? size_t{0} : queue[0].size(), unit);
  for (size_t i = 0; i < levels.size(); ++i) {
    std::vector<double> p50s, p99s, rates;
    for (size_t r = 0; r < queue[i].size() && r < them[i].size(); ++r) {
      const Figures& q = queue[i][r];
      const Figures& t = them[i][r];
      if (t.p50_us > 0) p50s.push_back(q.p50_us / t.p50_us);
      if (t.p99_us > 0) p99s.push_back(q.p99_us / t.p99_us);
      if (t.per_s > 0) rates.push_back(q.per_s / t.per_s);
    }
    const double p50 = Median(p50s), p99 = Median(p99s), per_s = Median(rates);
    std::printf("  %2d: p50 %.2f  p99 %.2f  %s %.2f", levels[i], p50, p99, unit, per_s);
    if (levels[i] == 1 && p50_goal_at_1 > 0)
      std::printf("   goal p50 <= %.2f: %s", p50_goal_at_1, p50 <= p50_goal_at_1 ? "met" : "MISSED");
    if (levels[i] == 16 && rate_goal_at_16 > 0)
      std::printf("   goal %s >= %.2f: %s", unit, rate_goal_at_16, per_s >= rate_goal_at_16 ? "met" : "MISSED");
    std::printf("   (%s by round:", unit);
    for (double r : rates) std::printf(" %.2f", r);
    std::printf(")\n");
  }
}

// The goals printed beside a ratio (0: none): the p50's with 1 process, the
// rate's with 16.
struct RatioGoals {
  double p50_at_1 = 0;
  double rate_at_16 = 0;
};

// PrintRoundRatios of the queue over HTTP and over gSOAP, for those of them
// that were measured (RunInTurn's figures, [stack][level][round]).
inline void PrintStackRatios(const Stacks& stacks, const std::vector<std::vector<std::vector<Figures>>>& figures,
                             const std::vector<int>& levels, const char* unit, RatioGoals http, RatioGoals gsoap) {
  const int queue = stacks.Find(StackKind::kQueue);
  if (queue < 0) return;
  const int h = stacks.Find(StackKind::kHttp);
  const int g = stacks.Find(StackKind::kGsoap);
  if (h >= 0) PrintRoundRatios("http", unit, levels, figures[queue], figures[h], http.p50_at_1, http.rate_at_16);
  if (g >= 0) PrintRoundRatios("gSOAP", unit, levels, figures[queue], figures[g], gsoap.p50_at_1, gsoap.rate_at_16);
}

// Forks `n` requesting processes, each running `child(slot index)` (which
// calls Measure or GiveUp), measures for `seconds` and gathers the figures.
// `host` (0: none) is the serving process whose CPU time is counted.
template <class Child>
Figures Run(Load* load, int n, double seconds, pid_t host, Child child) {
  load->ready.store(0);
  load->go.store(0);
  load->stop.store(0);
  for (int r = 0; r < n; ++r) {
    load->slots[r].count = 0;
    load->slots[r].errors = 0;
    load->slots[r].cpu_ns = 0;
    load->slots[r].first_ns = load->slots[r].last_ns = 0;
  }
  std::fflush(nullptr);
  std::vector<pid_t> pids;
  for (int r = 0; r < n; ++r) {
    pid_t pid = ::fork();
    if (pid == 0) {
      child(r);
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  while (load->ready.load() < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const int64_t t0 = NowNs();
  const double host0 = host > 0 ? CpuSecondsOf(host) : 0;
  load->go.store(1);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  load->stop.store(1);
  const double host1 = host > 0 ? CpuSecondsOf(host) : 0;
  for (pid_t p : pids) ::waitpid(p, nullptr, 0);
  int64_t t1 = t0;
  std::vector<int64_t> all;
  Figures f;
  long total = 0;
  int64_t client_cpu = 0;
  for (int r = 0; r < n; ++r) {
    const Slot& s = load->slots[r];
    total += s.count;
    client_cpu += s.cpu_ns;
    f.errors += s.errors;
    t1 = std::max(t1, s.last_ns);
    const size_t kept = std::min<size_t>(static_cast<size_t>(s.count), kMaxSamples);
    all.insert(all.end(), s.samples, s.samples + kept);
  }
  std::sort(all.begin(), all.end());
  if (!all.empty()) {
    f.p50_us = static_cast<double>(all[all.size() / 2]) / 1000.0;
    f.p99_us = static_cast<double>(all[std::min(all.size() - 1, all.size() * 99 / 100)]) / 1000.0;
  }
  f.per_s = t1 > t0 ? static_cast<double>(total) * 1e9 / static_cast<double>(t1 - t0) : 0;
  if (total > 0) {
    f.client_cpu_us = static_cast<double>(client_cpu) / 1000.0 / static_cast<double>(total);
    // The host's time over the measured seconds, per round trip made in them.
    f.host_cpu_us = f.per_s > 0 ? (host1 - host0) * 1e6 / (f.per_s * seconds) : 0;
  }
  return f;
}

}  // namespace krsoap::bench
