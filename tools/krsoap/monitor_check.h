// What the host can tell about a monitor before starting it (krsoap serve at
// start, krsoap monitor start): that its request queue opens with the
// monitor's options (browse, on its queue manager) and that its ProgID names
// a registered class. A monitor that fails either would start, end at once
// and serve nothing.
#pragma once

#include <string>
#include <vector>

#include "tools/krsoap/host_config.h"

namespace krsoap::tool {

// Empty when the monitor can serve; otherwise each cause, with its reason
// code or HRESULT in words and a hint ("define it: krsoap qm define ...").
std::vector<std::string> CheckMonitorCanServe(const MonitorConfig& monitor);

// With UnitOfWork on, a request backed out too often moves to its queue's
// backout queue, or to "<queue>.BACKOUT" when the queue names none; the
// handler can only put there, so the host defines that queue before the
// monitor starts, with the request queue's limits. Returns the name of the
// queue it defined, or "" when there was nothing to do (UnitOfWork off, the
// queue names its own, the queue exists already, or the name would pass 48
// bytes - the handler then says so when it needs the queue).
std::string PrepareBackoutQueue(const MonitorConfig& monitor);

}  // namespace krsoap::tool
