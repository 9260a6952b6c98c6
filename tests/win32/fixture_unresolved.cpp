// A module that imports a function nobody exports, so that loading it with
// immediate binding fails the way a module with a missing import does.
#include "platform/win32/types.h"

extern "C" int KrFixtureNowhere();

extern "C" KR_EXPORT int KrFixtureCallsNowhere() { return KrFixtureNowhere(); }
