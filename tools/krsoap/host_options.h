// The command-line options shared by the commands that talk to the running
// host (status, metrics, monitor): --config FILE and --timeout SECONDS,
// declared once for CLI11 and resolved through host_client.h.
#pragma once

#include <string>

#include "tools/krsoap/host_client.h"

namespace CLI {
class App;
}

namespace krsoap::tool {

struct HostOptions {
  std::string config;   // empty: $KRSOAP_HOME/host.conf when it exists
  std::string timeout;  // empty: the command's default
};

// Declares --config and --timeout on `app`, bound to *options.
void AddHostOptions(CLI::App& app, HostOptions* options, int default_timeout);

// Finds the host and the timeout as ResolveHost and TakeTimeoutOption do.
// 0, or the exit status (2) after the message.
int ResolveHostOptions(const char* command, const HostOptions& options, bool need_config, HostTarget* target,
                       int* timeout);

}  // namespace krsoap::tool
