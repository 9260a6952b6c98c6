// "krsoap trace": writes lines through the trace facility, so an operator can
// check that tracing is switched on and where the file lands. With --demo it
// traces a small nested operation (entry, free text, nested entry and exit,
// exit), the shape every operation of the system leaves in the file.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/trace/trace.h"
#include "platform/sync/thread.h"
#include "tools/krsoap/command.h"

namespace krsoap::tool {
namespace {

int RunTrace(bool demo, const std::vector<std::string>& texts) {
  if (!demo && texts.empty()) {
    std::fprintf(stderr, "krsoap trace: give --demo or a text to trace\n");
    return 2;
  }
  if (demo) {
    trace::TraceEntry(u"krsoap::TraceDemo");
    LogText("tracing from process %ld", static_cast<long>(GetCurrentProcessId()));
    trace::TraceEntry(u"krsoap::TraceDemoStep");
    LogText("a free-text line inside a nested operation: 100%% of it");
    trace::TraceExit(u"krsoap::TraceDemoStep", 0);
    trace::TraceExit(u"krsoap::TraceDemo", 0);
  }
  for (const std::string& text : texts) LogText("%s", text.c_str());

  char name[4096];
  trace::CurrentTraceFileName(name, sizeof name);
  if (name[0] == 0) {
    std::printf("tracing is off (HKLM\\SOFTWARE\\Orvane\\KRSoap soapTrace is 0 or missing)\n");
  } else {
    std::printf("trace file: %s\n", name);
  }
  return 0;
}

Runner DefineTrace(CLI::App& app) {
  struct Args {
    bool demo = false;
    std::vector<std::string> texts;
  };
  auto args = std::make_shared<Args>();
  app.add_flag("--demo", args->demo, "also trace a small nested operation");
  app.add_option("TEXT", args->texts, "text to write as a free-text trace line");
  app.footer(
      "Writes each TEXT as a free-text trace line. Prints the trace file's name,\n"
      "or that tracing is off. Tracing follows HKLM\\SOFTWARE\\Orvane\\KRSoap\n"
      "soapTrace; the file is <WorkPath>/Errors/KRSP<pid>.trc.\n");
  return [args] { return RunTrace(args->demo, args->texts); };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"trace", "write lines through the trace facility", DefineTrace});

}  // namespace krsoap::tool
