// Shared by the operator commands that talk to a running host (see
// host_client.h).
#include "tools/krsoap/host_client.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/files/data_root.h"

namespace krsoap::tool {

int ResolveHost(const char* command, const char* usage, const std::vector<std::string>& args, size_t first,
                bool need_config, HostTarget* target, std::vector<std::string>* rest) {
  std::string path;
  bool named = false;
  for (size_t i = first; i < args.size(); ++i) {
    if (args[i] == "--config") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        std::fprintf(stderr, "krsoap %s: --config needs a file name\n%s", command, usage);
        return 2;
      }
      path = args[++i];
      named = true;
    } else if (args[i].rfind("--config=", 0) == 0) {
      path = args[i].substr(9);
      named = true;
      if (path.empty()) {
        std::fprintf(stderr, "krsoap %s: --config needs a file name\n%s", command, usage);
        return 2;
      }
    } else if (args[i].rfind("--", 0) == 0) {
      std::fprintf(stderr, "krsoap %s: unknown option '%s'\n%s", command, args[i].c_str(), usage);
      return 2;
    } else {
      rest->push_back(args[i]);
    }
  }
  if (!named) path = krsoap::platform::DataRoot() + "/host.conf";
  target->have_config = false;
  target->socket_path = DefaultHostSocket();
  if (!named && ::access(path.c_str(), F_OK) != 0) {
    if (!need_config) return 0;
    std::fprintf(stderr, "krsoap %s: no host configuration at %s (name one with --config FILE)\n", command,
                 path.c_str());
    return 2;
  }
  std::vector<std::string> errors;
  if (!LoadHostConfig(path, &target->config, &errors)) {
    for (const auto& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
    return 2;
  }
  target->have_config = true;
  target->socket_path = target->config.socket_path;
  return 0;
}

bool TakeTimeoutOption(const char* command, const char* usage, const std::vector<std::string>& args, int* seconds,
                       std::vector<std::string>* rest) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (i == 0 || args[i] != "--timeout") {
      rest->push_back(args[i]);
      continue;
    }
    char* end = nullptr;
    errno = 0;
    long value = i + 1 < args.size() ? std::strtol(args[i + 1].c_str(), &end, 10) : 0;
    if (i + 1 >= args.size() || args[i + 1].empty() || *end || errno || value < 1 || value > 86400) {
      std::fprintf(stderr, "krsoap %s: --timeout takes a number of seconds from 1 to 86400\n%s", command, usage);
      return false;
    }
    *seconds = static_cast<int>(value);
    ++i;
  }
  return true;
}

Watchdog::Watchdog(const char* command, int seconds, std::string socket)
    : command_(command), seconds_(seconds), socket_(std::move(socket)) {
  thread_ = std::thread([this] { Run(); });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void Watchdog::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  if (cv_.wait_for(lock, std::chrono::seconds(seconds_), [this] { return done_; })) return;
  std::fflush(stdout);
  std::fprintf(stderr, "krsoap %s: the host on %s does not answer within %d s\n", command_, socket_.c_str(), seconds_);
  std::fflush(stderr);
  ::_exit(1);
}

const MonitorConfig* FindMonitor(const HostConfig& config, const std::string& name) {
  for (const MonitorConfig& m : config.monitors)
    if (m.name == name) return &m;
  return nullptr;
}

std::string DescribeHr(HRESULT hr) { return com::HResultText(hr); }

std::string JoinNames(const std::vector<std::string>& names) {
  if (names.empty()) return "(none)";
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

}  // namespace krsoap::tool
