// A tiny loadable module with its own copy of the trace facility, for the
// tests that load two modules into one process (built twice, as
// libtrace_probe_a.so and libtrace_probe_b.so).
#include "common/trace/trace.h"
#include "platform/win32/types.h"

extern "C" {

// kind 0 goes through LogText, entry and exit through Logerror (with the
// narrow text passed as "%S", the wide format's narrow string).
KR_EXPORT void ProbeTrace(int kind, const char* text) {
  if (kind == krsoap::trace::kTraceText) {
    LogText("%s", text);
  } else {
    Logerror(kind, u"%S", text);
  }
}

KR_EXPORT void ProbeReset() { krsoap::trace::ResetForTesting(); }

KR_EXPORT LONG ProbeDepth() { return krsoap::trace::CurrentDepth(); }

}
