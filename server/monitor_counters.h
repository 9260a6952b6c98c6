// The counters of one monitor inside halvex, shared by the monitor object,
// its control blocks and the worker blocks that serve its requests (the
// workers belong to the process, so a worker may outlive a monitor's Stop):
// whoever lets go last frees them. Also the note by which the request
// handler tells the worker, on the worker's own thread, that the reply it
// put was a SOAP fault.
#pragma once

#include <atomic>
#include <cstddef>

#include "server/request_counters.h"

namespace krsoap::halvex {

struct MonitorCounters : RequestCounters {
  static MonitorCounters* New() { return new MonitorCounters(); }
  void AddRef() { refs.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 private:
  MonitorCounters() = default;
  std::atomic<int> refs{1};
};

// Called by the handler after it put a reply; the worker takes the note
// after Execute (taking it clears it).
void NoteReplyPut(const char* data, size_t length);
bool TakeReplyWasFault();

}  // namespace krsoap::halvex
