// The metrics of a service host's monitors (see host_metrics.h).
#include "tools/krsoap/host_metrics.h"

#include <cstdio>
#include <cstring>

#include "common/queue/krqueue.h"
#include "platform/queue/queue_api.h"

namespace krsoap::tool {
namespace {

using halvex::kLatencyBounds;
using halvex::kLatencyBuckets;
using halvex::RequestCountersSnapshot;

void Family(std::string* out, const std::string& name, const char* type, const char* help) {
  *out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string* out, const std::string& name, const std::string& labels, const std::string& value) {
  *out += name;
  if (!labels.empty()) *out += "{" + labels + "}";
  *out += " " + value + "\n";
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string Joined(const std::string& a, const std::string& b) { return a.empty() ? b : a + "," + b; }

}  // namespace

std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

nlohmann::json MetricsToJson(const MonitorMetrics& m) {
  nlohmann::json buckets = nlohmann::json::array();
  for (uint64_t b : m.requests.buckets) buckets.push_back(b);
  return {{"name", m.name},
          {"queue_manager", m.queue_manager},
          {"queue", m.queue},
          {"running", m.running},
          {"requests", m.requests.requests},
          {"failures", m.requests.failures},
          {"faults", m.requests.faults},
          {"in_flight", m.requests.in_flight},
          {"duration_buckets", buckets},
          {"duration_us", m.requests.duration_us},
          {"workers", m.workers},
          {"busy_workers", m.busy_workers},
          {"queue_depth", m.queue_depth}};
}

bool MetricsFromJson(const nlohmann::json& j, MonitorMetrics* m, std::string* why) {
  try {
    m->name = j.at("name").get<std::string>();
    m->queue_manager = j.at("queue_manager").get<std::string>();
    m->queue = j.at("queue").get<std::string>();
    m->running = j.at("running").get<bool>();
    m->requests.requests = j.at("requests").get<uint64_t>();
    m->requests.failures = j.at("failures").get<uint64_t>();
    m->requests.faults = j.at("faults").get<uint64_t>();
    m->requests.in_flight = j.at("in_flight").get<int64_t>();
    const nlohmann::json& buckets = j.at("duration_buckets");
    if (!buckets.is_array() || buckets.size() != kLatencyBuckets) {
      *why = "the duration histogram has " + std::to_string(buckets.size()) + " buckets, not " +
             std::to_string(kLatencyBuckets);
      return false;
    }
    for (size_t i = 0; i < kLatencyBuckets; ++i) m->requests.buckets[i] = buckets[i].get<uint64_t>();
    m->requests.duration_us = j.at("duration_us").get<uint64_t>();
    m->workers = j.at("workers").get<long>();
    m->busy_workers = j.at("busy_workers").get<long>();
    m->queue_depth = j.at("queue_depth").get<long long>();
  } catch (const nlohmann::json::exception& e) {
    *why = e.what();
    return false;
  }
  return true;
}

std::string RequestFamilies(const std::string& prefix,
                            const std::vector<std::pair<std::string, RequestCountersSnapshot>>& entries) {
  std::string out;
  const std::string requests = prefix + "_requests_total";
  Family(&out, requests, "counter", "Requests run to their end.");
  for (const auto& [labels, s] : entries) Sample(&out, requests, labels, std::to_string(s.requests));
  const std::string failures = prefix + "_request_failures_total";
  Family(&out, failures, "counter", "Requests that failed: not served, or their reply not delivered.");
  for (const auto& [labels, s] : entries) Sample(&out, failures, labels, std::to_string(s.failures));
  const std::string faults = prefix + "_faults_total";
  Family(&out, faults, "counter", "Requests answered with a SOAP fault.");
  for (const auto& [labels, s] : entries) Sample(&out, faults, labels, std::to_string(s.faults));
  const std::string in_flight = prefix + "_requests_in_flight";
  Family(&out, in_flight, "gauge", "Requests being served now.");
  for (const auto& [labels, s] : entries) Sample(&out, in_flight, labels, std::to_string(s.in_flight));
  const std::string duration = prefix + "_request_duration_seconds";
  Family(&out, duration, "histogram", "How long requests took to serve, reply included.");
  for (const auto& [labels, s] : entries) {
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kLatencyBuckets; ++i) {
      cumulative += s.buckets[i];
      std::string le = i + 1 < kLatencyBuckets ? Number(kLatencyBounds[i]) : "+Inf";
      Sample(&out, duration + "_bucket", Joined(labels, "le=\"" + le + "\""), std::to_string(cumulative));
    }
    Sample(&out, duration + "_sum", labels, Number(static_cast<double>(s.duration_us) / 1e6));
    Sample(&out, duration + "_count", labels, std::to_string(cumulative));
  }
  return out;
}

std::string HostMetricsText(const std::vector<MonitorMetrics>& monitors) {
  std::string out;
  Family(&out, "krsoap_monitor_up", "gauge", "1 while the monitor's thread browses its request queue.");
  for (const MonitorMetrics& m : monitors)
    Sample(&out, "krsoap_monitor_up", "monitor=\"" + LabelValue(m.name) + "\"", m.running ? "1" : "0");
  std::vector<std::pair<std::string, RequestCountersSnapshot>> entries;
  for (const MonitorMetrics& m : monitors) entries.emplace_back("monitor=\"" + LabelValue(m.name) + "\"", m.requests);
  out += RequestFamilies("krsoap", entries);
  Family(&out, "krsoap_queue_depth", "gauge", "Messages on the monitor's request queue.");
  for (const MonitorMetrics& m : monitors) {
    if (m.queue_depth < 0) continue;  // not known: no sample rather than a wrong one
    Sample(&out, "krsoap_queue_depth", "monitor=\"" + LabelValue(m.name) + "\",queue=\"" + LabelValue(m.queue) + "\"",
           std::to_string(m.queue_depth));
  }
  // The pool belongs to the process: one sample, whatever the monitors.
  long workers = monitors.empty() ? 0 : monitors.front().workers;
  long busy = monitors.empty() ? 0 : monitors.front().busy_workers;
  Family(&out, "krsoap_workers", "gauge", "Worker threads of the host (shared by its monitors).");
  Sample(&out, "krsoap_workers", "", std::to_string(workers));
  Family(&out, "krsoap_workers_busy", "gauge", "Worker threads of the host in a call now.");
  Sample(&out, "krsoap_workers_busy", "", std::to_string(busy));
  return out;
}

// Through the queue core the tool is linked with, as the host's other
// queue checks (monitor_check.cpp) are.
long long QueueDepth(const std::string& queue_manager, const std::string& queue) {
  namespace api = krsoap::queue::api;
  if (queue.size() > KR_Q_NAME_LENGTH) return -1;
  KRLONG cc = 0, reason = 0;
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  api::Conn(queue_manager.c_str(), &hconn, &cc, &reason);
  if (cc == KRCC_FAILED) return -1;
  KROD od = KROD_DEFAULT;
  std::memcpy(od.ObjectName, queue.data(), queue.size());  // the rest of the field is zero
  KRHOBJ hobj = KRHO_UNUSABLE_HOBJ;
  long long depth = -1;
  api::Open(hconn, &od, KROO_INQUIRE, &hobj, &cc, &reason);
  if (cc != KRCC_FAILED) {
    const KRLONG selector = KRIA_CURRENT_Q_DEPTH;
    KRLONG value = 0;
    api::Inq(hconn, hobj, 1, &selector, 1, &value, 0, nullptr, &cc, &reason);
    if (cc != KRCC_FAILED) depth = value;
    api::Close(hconn, &hobj, KRCO_NONE, &cc, &reason);
  }
  api::Disc(&hconn, &cc, &reason);
  return depth;
}

}  // namespace krsoap::tool
