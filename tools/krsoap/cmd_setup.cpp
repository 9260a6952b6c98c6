// "krsoap setup": prepares this machine's installation under the data root.
// Creates the data root (owner-only) and runs every registered setup step in
// order; each step is idempotent, so setup may run any number of times.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>

#include "platform/files/data_root.h"
#include "tools/krsoap/command.h"

namespace krsoap::tool {
namespace {

int RunSetup() {
  const std::string root = platform::DataRoot();
  std::string problem;
  if (int err = platform::EnsureDataRoot(&problem)) {
    if (problem.empty()) problem = std::strerror(err);
    std::fprintf(stderr, "krsoap setup: cannot use the data root %s: %s\n", root.c_str(), problem.c_str());
    return 1;
  }
  std::printf("data root: %s\n", root.c_str());
  for (const SetupStep& step : SetupSteps()) {
    if (int rc = step.run()) {
      std::fprintf(stderr, "krsoap setup: %s failed\n", step.what);
      return rc;
    }
    std::printf("ok: %s\n", step.what);
  }
  return 0;
}

Runner DefineSetup(CLI::App& app) {
  app.footer(
      "Creates the data root ($KRSOAP_HOME, or ~/.local/share/krsoap) with\n"
      "owner-only permissions and writes what a fresh installation needs:\n"
      "registry values, the default queue manager, module registrations.\n"
      "Safe to run again. A data root that another user owns, or that a\n"
      "directory on its path lets others change, is refused.\n");
  return RunSetup;
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"setup", "prepare the data root and the registry of this machine", DefineSetup});

}  // namespace krsoap::tool
