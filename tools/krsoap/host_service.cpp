// The service manager's notifications and the metrics listener of `krsoap
// serve` (see host_service.h).
#include "tools/krsoap/host_service.h"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <httplib.h>

#include "tools/krsoap/host_config.h"
#include "tools/krsoap/host_metrics.h"

namespace krsoap::tool {
namespace {

// STATUS= takes one line.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

}  // namespace

void NotifyReady(const std::string& status) { sd_notify(0, ("READY=1\nSTATUS=" + OneLine(status)).c_str()); }

void NotifyStopping(const std::string& status) {
  sd_notify(0, ("STOPPING=1\nSTATUS=" + OneLine(status)).c_str());
}

void NotifyStatus(const std::string& status) { sd_notify(0, ("STATUS=" + OneLine(status)).c_str()); }

MetricsListener::MetricsListener(std::function<std::string()> metrics, std::function<bool(std::string*)> health)
    : server_(std::make_unique<httplib::Server>()) {
  server_->Get("/metrics", [metrics](const httplib::Request&, httplib::Response& res) {
    res.set_content(metrics(), kMetricsContentType);
  });
  server_->Get("/health", [health](const httplib::Request&, httplib::Response& res) {
    std::string text;
    res.status = health(&text) ? 200 : 503;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
  });
  // Scrapers are few and quick: a small pool, no long keep-alive.
  server_->new_task_queue = [] { return new httplib::ThreadPool(2); };
  server_->set_keep_alive_timeout(5);
}

MetricsListener::~MetricsListener() { Stop(); }

bool MetricsListener::Start(const std::string& address, std::string* why) {
  std::string host;
  int port = 0;
  if (!ParseListenAddress(address, &host, &port)) {
    *why = "'" + address + "' is not HOST:PORT";
    return false;
  }
  errno = 0;
  if (!server_->bind_to_port(host, port)) {
    *why = std::string("cannot listen on ") + address + (errno ? std::string(": ") + std::strerror(errno) : "");
    return false;
  }
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    ended_.store(true);
  });
  return true;
}

void MetricsListener::Stop() {
  if (!thread_.joinable()) return;
  // The server's stop does nothing before its loop has begun: a stop right
  // after the start would leave the thread serving and the join waiting.
  while (!server_->is_running() && !ended_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server_->stop();
  thread_.join();
}

}  // namespace krsoap::tool
