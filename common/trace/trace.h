// The trace facility: a diagnostic trace of the module's operations, one text
// file per process, written only when the registry switches tracing on.
//
// This library is linked statically into each module (with hidden symbols),
// so every module keeps its own switch, file name, call depth and lock. Two
// modules in one process append to the same file, each under its own lock;
// the file is held under an exclusive lock while a line is written, so a line
// that meets the other module's write fails like any other file failure.
//
// Calling conventions of the rest of the system:
//   entry:     Logerror(kTraceEntry, u"%s/%s", component, operation);
//   exit:      Logerror(kTraceExit, u"%s/%s rc = %ld", component, operation, (long)rc);
//   free text: LogText("cc=%d rc=%d", cc, rc);
// "%ld" reads a C `long` (64 bits here): pass LONG/HRESULT results cast to
// (long). See platform/text/format.h for the format rules.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/win32/types.h"

struct SYSTEMTIME;

namespace krsoap::trace::internal {

// The module's trace switch: nonzero while tracing may be on. Tested without
// the lock by every call, inline at the call site, so that a call while
// tracing is off costs one load and one branch (not even a call).
__attribute__((visibility("hidden"))) extern std::atomic<int32_t> g_trace_switch;

__attribute__((visibility("hidden"))) void LogerrorSlow(int kind, const char16_t* format, ...);
__attribute__((visibility("hidden"))) void LogTextSlow(const char* format, ...);

}  // namespace krsoap::trace::internal

// Logerror(kind, format, ...): line kinds are free text, entry of an operation
// (" {", depth +1 before the line is written) and exit of an operation (" }",
// depth -1 after the line); any other kind is written as free text. `format`
// is a wide format: "%s" takes a char16_t string, "%S" a narrow one. The
// arguments are passed on as C variadic arguments, so they follow the usual
// promotions. Never fails towards the
// caller; a file failure becomes one line in the error file (the data root's
// error.txt). Preserves errno.
template <typename... Args>
inline void Logerror(int kind, const char16_t* format, Args... args) {
  if (krsoap::trace::internal::g_trace_switch.load(std::memory_order_relaxed) == 0) return;
  krsoap::trace::internal::LogerrorSlow(kind, format, args...);
}

// LogText(format, ...): free text. `format` is narrow ("%s" narrow, "%S"
// wide), expanded into a 10,240-byte buffer (longer text is cut there, before
// any character that does not fit whole), converted to UTF-16 and written as
// a kind-0 line unchanged: a percent sign in the expanded text is written as
// it stands.
template <typename... Args>
inline void LogText(const char* format, Args... args) {
  if (krsoap::trace::internal::g_trace_switch.load(std::memory_order_relaxed) == 0) return;
  krsoap::trace::internal::LogTextSlow(format, args...);
}

namespace krsoap::trace {

inline constexpr int kTraceText = 0;
inline constexpr int kTraceEntry = 1;
inline constexpr int kTraceExit = 2;

// The component name both krsoap modules trace under, and the entry and exit
// lines of an operation: "KRSoap:Server/<name>" and
// "KRSoap:Server/<name> rc = <rc>".
inline constexpr const char16_t* kComponent = u"KRSoap:Server";
inline void TraceEntry(const char16_t* name) { Logerror(kTraceEntry, u"%s/%s", kComponent, name); }
inline void TraceExit(const char16_t* name, long rc) { Logerror(kTraceExit, u"%s/%s rc = %ld", kComponent, name, rc); }

// Size of LogText's expansion buffer, terminator included.
inline constexpr size_t kTextBufferBytes = 10240;

// Builds a line prefix " %6ld %s%-*.*s> ": thread id, the time as
// "dd/mm HH:MM:SS", then the depth as up to 50 dashes padded with blanks to
// `depth` columns, then "> ". Writes at most `capacity` units (terminator
// included); returns the units written.
size_t FormatLinePrefix(char16_t* out, size_t capacity, DWORD thread_id, const SYSTEMTIME& time,
                        LONG depth);

// The trace file name the module settled on at its first call (the real
// path, after mapping), or "" while the registry has not been read yet.
// Copies at most `capacity` bytes, terminator included.
void CurrentTraceFileName(char* out, size_t capacity);

// The module's current call depth.
LONG CurrentDepth();

// Test hook: puts the module's trace state back to "just loaded" (switch on,
// no file name, depth 0), so that a test process can make a fresh first call
// against a new data root and registry. Not for production use: it must not
// race with trace calls on other threads.
void ResetForTesting();

}  // namespace krsoap::trace
