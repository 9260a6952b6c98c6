// What the operator commands that talk to a running host share (krsoap
// status, krsoap monitor): finding the host's socket and monitors from the
// host configuration, and describing HRESULTs in plain words.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/com.h"
#include "tools/krsoap/host_config.h"

namespace krsoap::tool {

struct HostTarget {
  std::string socket_path;  // where the host listens
  bool have_config = false;
  HostConfig config;        // when have_config
};

// Reads "--config FILE" anywhere in args[first...] and returns the other
// arguments in *rest. The configuration is FILE, else $KRSOAP_HOME/host.conf
// when it exists; without one the default socket is used, unless
// `need_config`. Prints its own errors; returns 0, or 2 (bad usage or
// configuration).
int ResolveHost(const char* command, const char* usage, const std::vector<std::string>& args, size_t first,
                bool need_config, HostTarget* target, std::vector<std::string>* rest);

// Takes "--timeout SECONDS" (1-86400) out of `args` into *seconds, the
// other arguments into *rest. False (message printed) on a bad value.
bool TakeTimeoutOption(const char* command, const char* usage, const std::vector<std::string>& args, int* seconds,
                       std::vector<std::string>* rest);

// A host that is alive but does not answer (stopped, stuck) keeps calls
// waiting as long as its connection lives; the operator gets an answer
// instead: after `seconds` the command says so and exits 1.
class Watchdog {
 public:
  Watchdog(const char* command, int seconds, std::string socket);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  void Run();

  const char* command_;
  int seconds_;
  std::string socket_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// The [monitor NAME] section, or nullptr.
const MonitorConfig* FindMonitor(const HostConfig& config, const std::string& name);

// The dispatch member (a read-only string) by which the host's face of a
// monitor tells its state: krsoap serve answers it, krsoap status asks it.
inline constexpr char16_t kMonitorStateMember[] = u"MonitorState";
// Likewise the member that gives the monitor's metrics as JSON
// (host_metrics.h): krsoap serve answers it, krsoap metrics asks it.
inline constexpr char16_t kMonitorMetricsMember[] = u"Metrics";

// "0x80070002 (HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))"-style text.
std::string DescribeHr(HRESULT hr);

// Names joined with ", " (or "(none)").
std::string JoinNames(const std::vector<std::string>& names);

}  // namespace krsoap::tool
