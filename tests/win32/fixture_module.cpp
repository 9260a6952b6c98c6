// A small module for the loading tests: exports a function, a data item and
// a load counter set by its constructor.
#include "platform/win32/types.h"

extern "C" {
KR_EXPORT int KrFixtureLoads = 0;
KR_EXPORT int KrFixtureAnswer() { return 42; }
}

namespace {
struct CountLoads {
  CountLoads() { ++KrFixtureLoads; }
} count_loads;
}  // namespace
