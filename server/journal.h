// Failures said on standard error, where a service manager's journal keeps
// what a service writes: one line per failure, "NAME: text", NAME being the
// monitor's journal name (IKRSoapMonitorHost). The trace (off by default)
// keeps the detail; these lines are what an operator must learn without it.
//
// A flood must not fill a disk: the process writes at most FailureLines
// lines per FailureInterval seconds (registry, settings.h; 10 per 60). The
// first one over the limit is replaced by "NAME: more failures; the next
// ones are suppressed for up to N s", and the first line of a later
// interval is preceded by "halvex: N failure lines were suppressed".
#pragma once

#include <string>

namespace krsoap::halvex {

void JournalFailure(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Written whatever the limit (and not counted): once-only events such as a
// monitor's thread ending by itself, which a flood of request failures must
// not hide.
void JournalAlways(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The cause of a failed request in words, left by a trigger of this module
// (the invoker: the handler's description of the get or the reply) for the
// worker on the same thread, which says it with the failure. Taking it
// clears it.
void SetRequestFailureText(std::string text);
std::string TakeRequestFailureText();

}  // namespace krsoap::halvex
