// The reply note of monitor_counters.h: one flag per thread, so the handler
// and the worker that called it need no lock.
#include "server/monitor_counters.h"

#include <string_view>

namespace krsoap::halvex {
namespace {
thread_local bool t_reply_was_fault = false;
}  // namespace

void NoteReplyPut(const char* data, size_t length) {
  t_reply_was_fault = IsFaultReply(std::string_view(data, length));
}

bool TakeReplyWasFault() {
  bool fault = t_reply_was_fault;
  t_reply_was_fault = false;
  return fault;
}

}  // namespace krsoap::halvex
