// "krsoap trace": writes lines through the trace facility, so an operator can
// check that tracing is switched on and where the file lands. With --demo it
// traces a small nested operation (entry, free text, nested entry and exit,
// exit), the shape every operation of the system leaves in the file.
#include <cstdio>
#include <string>
#include <vector>

#include "common/trace/trace.h"
#include "platform/sync/thread.h"
#include "tools/krsoap/command.h"

namespace krsoap::tool {
namespace {

int RunTrace(const std::vector<std::string>& args) {
  bool demo = false;
  std::vector<std::string> texts;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--demo") {
      demo = true;
    } else {
      texts.push_back(args[i]);
    }
  }
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

}  // namespace

KRSOAP_COMMAND(Command{"trace", "write lines through the trace facility",
                       "usage: krsoap trace [--demo] [TEXT...]\n\n"
                       "Writes each TEXT as a free-text trace line; --demo also traces a small\n"
                       "nested operation. Prints the trace file's name, or that tracing is off.\n"
                       "Tracing follows HKLM\\SOFTWARE\\Orvane\\KRSoap soapTrace; the file is\n"
                       "<WorkPath>/Errors/KRSP<pid>.trc.\n",
                       RunTrace});

}  // namespace krsoap::tool
