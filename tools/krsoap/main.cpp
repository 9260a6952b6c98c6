// Entry point of the krsoap tool: dispatches "krsoap NAME ..." to the
// subcommand registered under NAME, and answers "help" and "--help".
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/krsoap/command.h"

namespace krsoap::tool {
namespace {
std::map<std::string, Command>& Table() {
  static std::map<std::string, Command> table;
  return table;
}
std::vector<SetupStep>& Steps() {
  static std::vector<SetupStep> steps;
  return steps;
}

void PrintHelp() {
  std::printf("usage: krsoap COMMAND [ARGS...]\n\ncommands:\n");
  std::printf("  %-12s %s\n", "help", "list the commands, or show one command's usage");
  for (const auto& [name, cmd] : Table()) std::printf("  %-12s %s\n", name.c_str(), cmd.summary);
  std::printf("\nEach command takes --help.\n");
}
}  // namespace

bool RegisterCommand(const Command& command) {
  Table()[command.name] = command;
  return true;
}

bool RegisterSetupStep(const SetupStep& step) {
  auto& steps = Steps();
  steps.push_back(step);
  std::stable_sort(steps.begin(), steps.end(),
                   [](const SetupStep& a, const SetupStep& b) { return a.order < b.order; });
  return true;
}

const std::vector<SetupStep>& SetupSteps() { return Steps(); }

int CheckStoreBeforeCommand(const std::string& command);  // store_check.cpp

}  // namespace krsoap::tool

int main(int argc, char** argv) {
  using namespace krsoap::tool;
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help") ||
      !std::strcmp(argv[1], "-h")) {
    if (argc >= 3 && !std::strcmp(argv[1], "help")) {
      auto it = Table().find(argv[2]);
      if (it == Table().end()) {
        std::fprintf(stderr, "krsoap: unknown command '%s'\n", argv[2]);
        return 2;
      }
      std::printf("%s", it->second.usage);
      return 0;
    }
    PrintHelp();
    return argc < 2 ? 2 : 0;
  }
  auto it = Table().find(argv[1]);
  if (it == Table().end()) {
    std::fprintf(stderr, "krsoap: unknown command '%s' (try 'krsoap help')\n", argv[1]);
    return 2;
  }
  std::vector<std::string> args(argv + 1, argv + argc);
  const Command& command = it->second;
  for (size_t i = 1; i < args.size() && (i == 1 || !command.parses_help); ++i) {
    if (!IsHelpFlag(args[i])) continue;
    // Right after an option it may be that option's value ("--config -h"):
    // the command decides.
    const std::string& before = args[i - 1];
    if (i > 1 && before.size() > 1 && before[0] == '-') continue;
    std::printf("%s", command.usage);
    return 0;
  }
  if (int rc = CheckStoreBeforeCommand(command.name)) return rc;
  return command.run(args);
}
