// Entry and exit trace lines of corvel's operations: "KRSoap:Server/<name>"
// and "KRSoap:Server/<name> rc = <rc>", the component name both krsoap
// modules write under.
#pragma once

#include "common/trace/trace.h"

namespace krsoap::corvel {

inline constexpr const char16_t* kComponent = u"KRSoap:Server";

inline void TraceEntry(const char16_t* name) { Logerror(krsoap::trace::kTraceEntry, u"%s/%s", kComponent, name); }
inline void TraceExit(const char16_t* name, long rc) {
  Logerror(krsoap::trace::kTraceExit, u"%s/%s rc = %ld", kComponent, name, rc);
}

}  // namespace krsoap::corvel
