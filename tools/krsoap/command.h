// The krsoap tool's subcommand table. Each cmd_*.cpp file defines one
// subcommand and registers it with a static KRSOAP_COMMAND(...) line; main.cpp
// dispatches on the first argument.
#pragma once

#include <string>
#include <vector>

namespace krsoap::tool {

struct Command {
  const char* name;     // "reg", "setup", ...
  const char* summary;  // one line for "krsoap help"
  const char* usage;    // full text for "krsoap NAME --help"
  // Runs the subcommand with its own arguments (argv[0] is the subcommand's
  // name). Returns the process exit code.
  int (*run)(const std::vector<std::string>& args);
  // True when `run` itself answers --help, -h and /? wherever its syntax has
  // an option there, so that one given as an option's value or as an
  // operand stays an argument. Otherwise main.cpp answers them anywhere
  // except right after an option (where they may be its value). Either way
  // "krsoap NAME --help" shows the usage.
  bool parses_help = false;
};

// --help, -h or /?: a request for the usage text.
inline bool IsHelpFlag(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "/?"; }

// Adds a command to the table; used through KRSOAP_COMMAND.
bool RegisterCommand(const Command& command);

// Setup steps: each subsystem adds what "krsoap setup" must do for it. Steps
// run in ascending `order`; each returns 0 on success and prints its own
// errors. They must be idempotent.
struct SetupStep {
  int order;
  const char* what;
  int (*run)();
};
bool RegisterSetupStep(const SetupStep& step);
const std::vector<SetupStep>& SetupSteps();

}  // namespace krsoap::tool

#define KRSOAP_CONCAT_INNER(a, b) a##b
#define KRSOAP_CONCAT(a, b) KRSOAP_CONCAT_INNER(a, b)
#define KRSOAP_COMMAND(...) \
  static const bool KRSOAP_CONCAT(krsoap_command_, __LINE__) = ::krsoap::tool::RegisterCommand(__VA_ARGS__)
#define KRSOAP_SETUP_STEP(...) \
  static const bool KRSOAP_CONCAT(krsoap_setup_step_, __LINE__) = ::krsoap::tool::RegisterSetupStep(__VA_ARGS__)
