// RequestCounters: what a server counts about the requests it serves, for
// the operators' metrics: requests run, requests that failed (not served or
// reply not delivered), replies that were SOAP faults, requests in flight,
// and a histogram of how long each took. halvex keeps one per monitor (its
// workers count into it); krsoap serve-http keeps one for its HTTP requests.
//
// Counting is on every request's path, so it is relaxed atomics only: no
// lock, no allocation. A reader takes a Snapshot at any time; its fields are
// each exact but not taken at one instant, which is all a scrape needs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace krsoap::halvex {

// Upper bounds of the latency histogram's buckets, in seconds (the last,
// +Inf, is implied). From a fast in-process call to a slow service.
inline constexpr double kLatencyBounds[] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                            0.025,  0.05,    0.1,    0.25,  0.5,    1,     2.5,
                                            5,      10};
inline constexpr size_t kLatencyBuckets = sizeof kLatencyBounds / sizeof kLatencyBounds[0] + 1;

// A copy of the counters; `buckets` are per bucket (not cumulative), the
// last one above every bound.
struct RequestCountersSnapshot {
  uint64_t requests = 0;
  uint64_t failures = 0;
  uint64_t faults = 0;
  int64_t in_flight = 0;
  uint64_t buckets[kLatencyBuckets] = {};
  uint64_t duration_us = 0;  // sum of the requests' durations, microseconds
};

struct RequestCounters {
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> failures{0};
  std::atomic<uint64_t> faults{0};
  std::atomic<int64_t> in_flight{0};
  std::atomic<uint64_t> buckets[kLatencyBuckets] = {};
  std::atomic<uint64_t> duration_us{0};

  void Begin() { in_flight.fetch_add(1, std::memory_order_relaxed); }

  // One request ended after `seconds`; `failed`: not served or its reply not
  // delivered; `fault`: the reply was a SOAP fault.
  void End(double seconds, bool failed, bool fault) {
    size_t i = 0;
    while (i < kLatencyBuckets - 1 && seconds > kLatencyBounds[i]) ++i;
    buckets[i].fetch_add(1, std::memory_order_relaxed);
    duration_us.fetch_add(static_cast<uint64_t>(seconds * 1e6 + 0.5), std::memory_order_relaxed);
    if (failed) failures.fetch_add(1, std::memory_order_relaxed);
    if (fault) faults.fetch_add(1, std::memory_order_relaxed);
    requests.fetch_add(1, std::memory_order_relaxed);
    in_flight.fetch_sub(1, std::memory_order_relaxed);
  }

  RequestCountersSnapshot Snapshot() const {
    RequestCountersSnapshot s;
    s.requests = requests.load(std::memory_order_relaxed);
    s.failures = failures.load(std::memory_order_relaxed);
    s.faults = faults.load(std::memory_order_relaxed);
    s.in_flight = in_flight.load(std::memory_order_relaxed);
    for (size_t i = 0; i < kLatencyBuckets; ++i) s.buckets[i] = buckets[i].load(std::memory_order_relaxed);
    s.duration_us = duration_us.load(std::memory_order_relaxed);
    return s;
  }
};

// Whether a SOAP reply is a fault: the first element inside Body is Fault
// (in any prefix). Looks at the envelope's text only as far as that element.
inline bool IsFaultReply(std::string_view reply) {
  size_t body = std::string_view::npos;
  for (size_t at = reply.find("Body"); at != std::string_view::npos; at = reply.find("Body", at + 4)) {
    // "<Body" or "<prefix:Body", followed by '>' or a blank: the start tag.
    if (at == 0 || (reply[at - 1] != '<' && reply[at - 1] != ':')) continue;
    if (at + 4 >= reply.size() || (reply[at + 4] != '>' && reply[at + 4] != ' ' && reply[at + 4] != '\t' &&
                                   reply[at + 4] != '\r' && reply[at + 4] != '\n'))
      continue;
    size_t open = reply.rfind('<', at);
    if (open == std::string_view::npos || reply.substr(open + 1, 1) == "/") continue;
    body = reply.find('>', at);
    break;
  }
  if (body == std::string_view::npos) return false;
  size_t child = reply.find_first_not_of(" \t\r\n", body + 1);
  if (child == std::string_view::npos || reply[child] != '<') return false;
  size_t end = reply.find_first_of(" \t\r\n/>", child + 1);
  if (end == std::string_view::npos) return false;
  std::string_view name = reply.substr(child + 1, end - child - 1);
  size_t colon = name.find(':');
  if (colon != std::string_view::npos) name.remove_prefix(colon + 1);
  return name == "Fault";
}

// Seconds since `start` on the monotonic clock.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace krsoap::halvex
