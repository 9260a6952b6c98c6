// The service host's configuration file (krsoap serve, krsoap status,
// krsoap monitor): INI form, one "[monitor NAME]" section per monitor and an
// optional "[host]" section. Every mistake is reported as "FILE:LINE: message"; a file with
// any mistake yields no configuration at all.
#pragma once

#include <string>
#include <vector>

namespace krsoap::tool {

struct MonitorConfig {
  std::string name;
  int line = 0;  // of the section header
  std::string queue_manager;
  std::string queue;
  std::string wsdl;
  std::string wsml;
  std::string progid;
  std::string user_param;
  long can_reuse_object = 0;
  std::string status_file;
};

struct HostConfig {
  std::string path;
  int status_interval = 5;  // seconds between status file writes
  // Where the running host listens for operator commands ([host] socket);
  // DefaultHostSocket() when not given.
  std::string socket_path;
  // HOST:PORT of the HTTP listener for /metrics and /health ([host]
  // metrics); empty: none.
  std::string metrics_address;
  std::vector<MonitorConfig> monitors;
};

// The configuration path: --config FILE from `args` (from index 1), else
// $KRSOAP_HOME/host.conf. False (with *error set) on a usage mistake.
bool ConfigPathFromArgs(const std::vector<std::string>& args, std::string* path, std::string* error);

// $KRSOAP_HOME/run/host.sock: the host's socket when [host] names none.
std::string DefaultHostSocket();

// The longest socket path the system accepts (sun_path less its terminator).
constexpr size_t kMaxSocketPath = 107;

// Splits "HOST:PORT" ("[v6]:PORT" for an IPv6 address) into its parts;
// false when it is not of that form or the port is not 1-65535.
bool ParseListenAddress(const std::string& text, std::string* host, int* port);

// Reads and checks the file. On failure returns false and fills *errors.
bool LoadHostConfig(const std::string& path, HostConfig* config, std::vector<std::string>* errors);

}  // namespace krsoap::tool
