// The krsoap tool's subcommand table. Each cmd_*.cpp file defines one
// subcommand and registers it with a static registration line; main.cpp
// builds the command line from the table and dispatches on it.
//
// A command is registered with KRSOAP_CLI_COMMAND(CliCommand{name, summary,
// define}): `define` declares the command's options, operands and verbs on a
// CLI11 subcommand and returns what runs it. Help, usage errors (exit 2),
// --opt=value forms, bash completion and the man pages all come from that
// one definition. A syntax CLI11 does not read (reg's /v NAME switches) is
// handed on from a CLI11 verb declared with prefix_command().
//
// Exit status of every command: 0 done, 1 failed, 2 bad usage.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace krsoap::tool {

// Exit statuses shared by every command.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// What runs a CLI11-defined command once its command line has been parsed
// into the variables `define` bound. Returns the exit status.
using Runner = std::function<int()>;

struct CliCommand {
  const char* name;     // "call", "qm", ...
  const char* summary;  // one line for "krsoap help" and the subcommand list
  // Declares the options, operands and verbs on `app` (named `name`, with
  // `summary` set; help and the usage line are added by main.cpp) and
  // returns the runner. The prose of the help goes into app.footer().
  Runner (*define)(CLI::App& app);
  // False for commands that read no registry (version, describe): they run
  // even when the data root's store is unusable.
  bool needs_store = true;
};

// For a command with verbs ("qm create", "monitor stop"): adds verb `name`
// under `parent`, for the command to declare the verb's options on.
CLI::App* AddVerb(CLI::App& parent, const char* name, const char* summary);
// Runs whichever verb of `parent` the command line chose, from `runners`
// (one per verb, in the order AddVerb was called).
int RunChosenVerb(const CLI::App& parent, const std::vector<std::pair<CLI::App*, Runner>>& runners);

// Says on standard error what is wrong with the command line of `who`
// ("call", "qm create") and where its usage is; returns kExitUsage.
int UsageError(const std::string& who, const std::string& what);

// The synopsis the help shows for a command whose operands CLI11 does not
// see (a prefix command's free text): "krsoap call --wsdl FILE ...".
void SetUsage(const CLI::App& app, const std::string& synopsis);

// The help text of a command or verb, as --help prints it.
std::string HelpOf(const CLI::App& app);

// --help, -h or /?: a request for the usage text.
inline bool IsHelpFlag(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "/?"; }

// Adds a command to the table; used through KRSOAP_CLI_COMMAND.
bool RegisterCliCommand(const CliCommand& command);

// The product version (the ProductVersion of the modules' version blocks).
const char* ProductVersion();

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
#define KRSOAP_CLI_COMMAND(...) \
  static const bool KRSOAP_CONCAT(krsoap_cli_command_, __LINE__) = ::krsoap::tool::RegisterCliCommand(__VA_ARGS__)
#define KRSOAP_SETUP_STEP(...) \
  static const bool KRSOAP_CONCAT(krsoap_setup_step_, __LINE__) = ::krsoap::tool::RegisterSetupStep(__VA_ARGS__)
