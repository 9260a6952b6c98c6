// The metrics of a service host's monitors, in the form operators scrape
// (the Prometheus text exposition format), and their JSON form between the
// host and `krsoap metrics`: the one place that names the metrics.
//
// Per monitor (label monitor="NAME"): krsoap_monitor_up,
// krsoap_requests_total, krsoap_request_failures_total, krsoap_faults_total,
// krsoap_requests_in_flight, krsoap_queue_depth (label queue too),
// krsoap_request_duration_seconds (a histogram). For the host's process:
// krsoap_workers, krsoap_workers_busy (the worker pool is shared by all the
// monitors of a process). serve-http gives the same request families under
// krsoap_http_ (RequestFamilies).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/request_counters.h"

namespace krsoap::tool {

struct MonitorMetrics {
  std::string name;
  std::string queue_manager;  // empty: the default queue manager
  std::string queue;
  bool running = false;  // the monitor's thread browses its queue
  halvex::RequestCountersSnapshot requests;
  long workers = 0;       // of the process
  long busy_workers = 0;  // of the process
  long long queue_depth = -1;  // -1: could not be read
};

nlohmann::json MetricsToJson(const MonitorMetrics& m);
// False (with *why) when the JSON is not a monitor's metrics.
bool MetricsFromJson(const nlohmann::json& j, MonitorMetrics* m, std::string* why);

// The whole exposition of a host: every family once, with HELP and TYPE,
// one sample per monitor.
std::string HostMetricsText(const std::vector<MonitorMetrics>& monitors);

// The request families (requests, failures, faults, in flight, duration
// histogram) named PREFIX_requests_total etc., one sample per entry, each
// entry's labels ("monitor=\"calc\"", or empty) given as they are written.
std::string RequestFamilies(const std::string& prefix,
                            const std::vector<std::pair<std::string, halvex::RequestCountersSnapshot>>& entries);

// A label value with \, " and newline escaped.
std::string LabelValue(const std::string& text);

// The number of messages on a queue, or -1 when it cannot be read.
long long QueueDepth(const std::string& queue_manager, const std::string& queue);

// The content type of the exposition.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace krsoap::tool
