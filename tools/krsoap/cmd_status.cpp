// "krsoap status": shows the status files of the monitors a host
// configuration declares, as a table per monitor (thread id, in call, calls
// handled, started, last used).
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/krsoap/command.h"
#include "tools/krsoap/host_config.h"

namespace krsoap::tool {
namespace {

const char* kUsage =
    "usage: krsoap status [--config FILE]\n"
    "\n"
    "Shows the workers listed in the status files of the monitors that FILE\n"
    "(default $KRSOAP_HOME/host.conf) declares, as krsoap serve last wrote\n"
    "them. Exit status: 0 shown, 2 bad usage or configuration.\n";

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, ',')) fields.push_back(field);
  return fields;
}

int RunStatus(const std::vector<std::string>& args) {
  if (args.size() > 1 && (args[1] == "--help" || args[1] == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string path, usage_error;
  if (!ConfigPathFromArgs(args, &path, &usage_error)) {
    std::fprintf(stderr, "krsoap status: %s\n%s", usage_error.c_str(), kUsage);
    return 2;
  }
  HostConfig config;
  std::vector<std::string> errors;
  if (!LoadHostConfig(path, &config, &errors)) {
    for (const auto& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
    return 2;
  }
  for (const MonitorConfig& m : config.monitors) {
    std::printf("monitor %s: queue %s, status file %s\n", m.name.c_str(), m.queue.c_str(), m.status_file.c_str());
    std::ifstream in(m.status_file, std::ios::binary);
    if (!in) {
      std::printf("  (no status file yet)\n");
      continue;
    }
    std::printf("  %10s  %7s  %13s  %8s  %9s\n", "THREAD ID", "IN CALL", "CALLS HANDLED", "STARTED", "LAST USED");
    std::string line;
    int rows = 0;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      std::vector<std::string> f = Split(line);
      if (f.size() != 5) {
        std::printf("  (unreadable line: %s)\n", line.c_str());
        continue;
      }
      std::printf("  %10s  %7s  %13s  %8s  %9s\n", f[0].c_str(), f[1] == "0" ? "no" : "yes", f[2].c_str(),
                  f[3].c_str(), f[4].c_str());
      ++rows;
    }
    if (rows == 0) std::printf("  (no workers)\n");
  }
  return 0;
}

}  // namespace

KRSOAP_COMMAND(Command{"status", "show the workers of the monitors of a host configuration", kUsage, &RunStatus});

}  // namespace krsoap::tool
