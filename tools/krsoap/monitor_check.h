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

}  // namespace krsoap::tool
