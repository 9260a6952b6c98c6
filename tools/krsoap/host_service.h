// What `krsoap serve` offers a service manager and a metrics scraper besides
// its monitors: readiness and status through the service manager's notify
// socket (sd_notify; nothing happens when the host was not started by one),
// and the optional HTTP listener of [host] metrics, which answers GET
// /metrics (the host's metrics, host_metrics.h) and GET /health.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace krsoap::tool {

// "READY=1" with a STATUS= line, once every monitor serves.
void NotifyReady(const std::string& status);
// "STOPPING=1" with a STATUS= line, when the host begins to stop.
void NotifyStopping(const std::string& status);
// A STATUS= line alone.
void NotifyStatus(const std::string& status);

class MetricsListener {
 public:
  // `metrics` gives the exposition; `health` says whether the host is
  // healthy and puts its words in *text.
  MetricsListener(std::function<std::string()> metrics, std::function<bool(std::string*)> health);
  ~MetricsListener();
  MetricsListener(const MetricsListener&) = delete;
  MetricsListener& operator=(const MetricsListener&) = delete;

  // Binds HOST:PORT and serves on a thread of its own; false (with *why)
  // when the address cannot be bound.
  bool Start(const std::string& address, std::string* why);
  void Stop();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> ended_{false};  // the serving loop has returned
};

}  // namespace krsoap::tool
