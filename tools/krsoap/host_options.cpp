// The options of the commands that talk to the running host; see
// host_options.h.
#include "tools/krsoap/host_options.h"

#include <CLI/CLI.hpp>

#include <vector>

namespace krsoap::tool {

void AddHostOptions(CLI::App& app, HostOptions* options, int default_timeout) {
  app.add_option("--config", options->config,
                 "the host configuration, whose [host] socket finds the host (default "
                 "$KRSOAP_HOME/host.conf; without it $KRSOAP_HOME/run/host.sock)")
      ->type_name("FILE");
  app.add_option("--timeout", options->timeout,
                 "give up on a host that does not answer within SECONDS (1-86400, default " +
                     std::to_string(default_timeout) + ")")
      ->type_name("SECONDS");
}

int ResolveHostOptions(const char* command, const HostOptions& options, bool need_config, HostTarget* target,
                       int* timeout) {
  const std::string see_help = std::string("Run 'krsoap ") + command + " --help' for the usage.\n";
  std::vector<std::string> host_args = {command}, timeout_args = {command}, rest;
  if (!options.config.empty()) host_args.insert(host_args.end(), {"--config", options.config});
  if (!options.timeout.empty()) timeout_args.insert(timeout_args.end(), {"--timeout", options.timeout});
  if (!TakeTimeoutOption(command, see_help.c_str(), timeout_args, timeout, &rest)) return 2;
  rest.clear();
  return ResolveHost(command, see_help.c_str(), host_args, 1, need_config, target, &rest);
}

}  // namespace krsoap::tool
