// Failure lines on standard error, limited in rate (see journal.h).
#include "server/journal.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "server/settings.h"

namespace krsoap::halvex {
namespace {

std::mutex g_mu;
// Guarded by g_mu.
std::chrono::steady_clock::time_point g_window_start;
bool g_window_open = false;
unsigned long g_written = 0;     // lines of the current interval
unsigned long g_suppressed = 0;  // lines dropped in it
DWORD g_interval = 60;
DWORD g_limit = 10;

// A fixed buffer rather than a std::string: this module is loaded at run
// time, so its thread-locals live in blocks the loader frees when a thread's
// stack is reused, and a destructor running at thread exit would touch one of
// them after the thread is gone as far as the race detector can tell. The
// text ends up in a line of at most 1,024 bytes anyway.
struct FailureText {
  size_t length;
  char text[1024];
};
thread_local FailureText t_request_failure{};

// One write(2) per line, so lines of different threads never interleave.
void WriteLine(const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(2, line.data() + done, line.size() - done);
    if (n <= 0) return;  // standard error closed or full: nothing more to do
    done += static_cast<size_t>(n);
  }
}

// "NAME: ", or "halvex: " for a monitor without a name.
std::string Prefix(const char* name) { return std::string(name && *name ? name : "halvex") + ": "; }

std::string Format(const char* name, const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  return Prefix(name) + text + "\n";
}

}  // namespace

void JournalFailure(const char* name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = Format(name, format, args);
  va_end(args);
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_window_open || now - g_window_start >= std::chrono::seconds(g_interval)) {
    if (g_suppressed > 0) WriteLine("halvex: " + std::to_string(g_suppressed) + " failure lines were suppressed\n");
    g_window_open = true;
    g_window_start = now;
    g_written = 0;
    g_suppressed = 0;
    // The limits are read as an interval begins.
    g_interval = FailureIntervalSeconds();
    g_limit = FailureLinesPerInterval();
  }
  if (g_written < g_limit) {
    ++g_written;
    WriteLine(line);
  } else if (g_suppressed++ == 0) {
    WriteLine(Prefix(name) + "more failures; the next ones are suppressed for up to " +
              std::to_string(g_interval) + " s\n");
  }
}

void JournalAlways(const char* name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = Format(name, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(g_mu);
  WriteLine(line);
}

void SetRequestFailureText(std::string text) {
  const size_t length = std::min(text.size(), sizeof t_request_failure.text);
  std::memcpy(t_request_failure.text, text.data(), length);
  t_request_failure.length = length;
}

std::string TakeRequestFailureText() {
  std::string text(t_request_failure.text, t_request_failure.length);
  t_request_failure.length = 0;
  return text;
}

}  // namespace krsoap::halvex
