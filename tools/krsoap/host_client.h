// What the operator commands that talk to a running host share (krsoap
// status, krsoap monitor): finding the host's socket and monitors from the
// host configuration, and describing HRESULTs in plain words.
#pragma once

#include <string>
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

// The [monitor NAME] section, or nullptr.
const MonitorConfig* FindMonitor(const HostConfig& config, const std::string& name);

// "0x80070002 (HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))"-style text.
std::string DescribeHr(HRESULT hr);

// Names joined with ", " (or "(none)").
std::string JoinNames(const std::vector<std::string>& names);

}  // namespace krsoap::tool
