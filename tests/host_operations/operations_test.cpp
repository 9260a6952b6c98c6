// The service host as operators run it: the commands of the shipped systemd
// unit (its ExecStartPre and ExecStart) with a notify socket the test owns,
// so readiness and stopping are seen as a service manager sees them; then
// real requests over the queue, and the counters read back through krsoap
// metrics, the [host] metrics listener and krsoap status --json. And
// serve-http's /metrics and /health.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/calculator_home.h"
#include "tests/support/shell.h"

namespace {

using krsoap::test::BuildDirs;
using krsoap::test::Shell;

const std::string kExamples = std::string(KRSOAP_SOURCE_DIR) + "/examples/calculator";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// The value of the unit's "KEY=value" line.
std::string UnitValue(const std::string& unit, const std::string& key) {
  std::istringstream in(unit);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// A free loopback port (free when asked; the host binds it right after).
int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

// The service manager's end of the notify protocol: a datagram socket whose
// path goes to the host in NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~NotifySocket() { ::close(fd_); }
  bool bound() const { return bound_; }
  // Collects messages until one holds `line`, or the host has been silent
  // for a minute; all the messages so far are in received().
  bool WaitFor(const std::string& line) {
    for (;;) {
      if (("\n" + received_ + "\n").find("\n" + line + "\n") != std::string::npos) return true;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 60000) != 1) return false;
      char buffer[4096];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n < 0) return false;
      received_ += std::string(buffer, static_cast<size_t>(n)) + "\n";
    }
  }
  const std::string& received() const { return received_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::string received_;
};

// The number on the exposition's line for `sample` ("name{labels}"), or -1.
double SampleValue(const std::string& text, const std::string& sample) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(sample + " ", 0) == 0) return std::stod(line.substr(sample.size() + 1));
  return -1;
}

// A [monitor NAME] section hosting the Calculator on CALC.REQUEST of `qm`.
std::string CalculatorMonitor(const std::string& name, const std::string& qm, const std::string& status_file) {
  return "[monitor " + name + "]\nqueue_manager = " + qm + "\nqueue = CALC.REQUEST\nwsdl = " + kExamples +
         "/Calculator.wsdl\nwsml = " + kExamples + "/Calculator.wsml\ncan_reuse_object = 1\nstatus_file = " +
         status_file + "\n";
}

int ExitStatus(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HostOperations, HostRunByItsUnitIsReadyAndCountsRequests) {
  BuildDirs dirs;
  ASSERT_TRUE(krsoap::test::FindBuildDirs(&dirs));
  std::string root;
  ASSERT_TRUE(krsoap::test::MakeCalculatorHome(dirs, "hostops", "OPS.QM", "CALC.REQUEST", &root)) << root;
  const std::string tool = dirs.bin + "/krsoap";

  // The unit's own commands, with the build's bin/ for the installed one and
  // the test's configuration; KRSOAP_HOME is the test's data root in place
  // of the unit's StateDirectory.
  const std::string unit = ReadFile(std::string(KRSOAP_SOURCE_DIR) + "/tools/krsoap/systemd/krsoap.service.in");
  EXPECT_EQ(UnitValue(unit, "Type"), "notify");
  EXPECT_EQ(UnitValue(unit, "Environment"), "KRSOAP_HOME=/var/lib/" + UnitValue(unit, "StateDirectory"));
  EXPECT_FALSE(UnitValue(unit, "RuntimeDirectory").empty());
  const std::string conf = root + "/host.conf";
  auto command = [&](const std::string& key) {
    return Replace(Replace(UnitValue(unit, key), "@KRSOAP_BINDIR@", dirs.bin), "/etc/krsoap/host.conf", conf);
  };
  const std::string setup = command("ExecStartPre");
  ASSERT_NE(setup.find("krsoap setup"), std::string::npos) << setup;
  int status = -1;
  Shell(setup + " >/dev/null 2>&1", &status);
  ASSERT_EQ(status, 0) << setup;

  const int port = FreePort();
  std::ofstream(conf) << "[host]\nmetrics = 127.0.0.1:" << port << "\n"
                      << CalculatorMonitor("calculator", "OPS.QM", root + "/calc.status");
  NotifySocket notify(root + "/notify.sock");
  ASSERT_TRUE(notify.bound());
  const std::string serve = command("ExecStart");
  std::fflush(nullptr);
  pid_t host = ::fork();
  if (host == 0) {
    ::setenv("NOTIFY_SOCKET", (root + "/notify.sock").c_str(), 1);
    std::FILE* f = std::freopen((root + "/host.log").c_str(), "a", stderr);
    (void)f;
    ::execl("/bin/sh", "sh", "-c", ("exec " + serve).c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(host, 0);
  ASSERT_TRUE(notify.WaitFor("READY=1")) << notify.received() << ReadFile(root + "/host.log");
  EXPECT_NE(notify.received().find("STATUS=serving 1 monitor, 0 requests so far"), std::string::npos)
      << notify.received();

  // Three sums and a division by zero, which the service answers with a fault.
  for (const char* request : {"add", "add", "add", "divide-by-zero"}) {
    Shell(tool + " qm request OPS.QM CALC.REQUEST < " + kExamples + "/requests/" + request + ".xml >/dev/null",
          &status);
    EXPECT_EQ(status, std::string(request) == "add" ? 0 : 1) << request;
  }
  // A worker counts its request once Execute has returned, just after the
  // reply went out: wait for the last one to be counted.
  const std::string requests = "krsoap_requests_total{monitor=\"calculator\"}";
  std::string text;
  for (int i = 0; i < 600; ++i) {
    text = Shell(tool + " metrics --config " + conf, &status);
    if (status != 0 || SampleValue(text, requests) >= 4) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(status, 0) << text;
  EXPECT_EQ(SampleValue(text, requests), 4) << text;
  EXPECT_EQ(SampleValue(text, "krsoap_faults_total{monitor=\"calculator\"}"), 1) << text;
  EXPECT_EQ(SampleValue(text, "krsoap_request_failures_total{monitor=\"calculator\"}"), 0) << text;
  EXPECT_EQ(SampleValue(text, "krsoap_request_duration_seconds_count{monitor=\"calculator\"}"), 4) << text;
  EXPECT_EQ(SampleValue(text, "krsoap_request_duration_seconds_bucket{monitor=\"calculator\",le=\"+Inf\"}"), 4);
  EXPECT_GT(SampleValue(text, "krsoap_request_duration_seconds_sum{monitor=\"calculator\"}"), 0);
  EXPECT_EQ(SampleValue(text, "krsoap_monitor_up{monitor=\"calculator\"}"), 1);
  EXPECT_EQ(SampleValue(text, "krsoap_queue_depth{monitor=\"calculator\",queue=\"CALC.REQUEST\"}"), 0) << text;
  EXPECT_GE(SampleValue(text, "krsoap_workers"), 1);
  EXPECT_NE(text.find("# TYPE krsoap_request_duration_seconds histogram\n"), std::string::npos);
  EXPECT_NE(text.find("# HELP krsoap_requests_total "), std::string::npos);

  // The same from the host's own listener, and its health.
  httplib::Client http("127.0.0.1", port);
  auto scraped = http.Get("/metrics");
  ASSERT_TRUE(scraped);
  EXPECT_EQ(scraped->status, 200);
  EXPECT_EQ(SampleValue(scraped->body, requests), 4) << scraped->body;
  auto health = http.Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200) << health->body;

  // status --json: what krsoap status prints, as a document.
  text = Shell(tool + " status --json --config " + conf, &status);
  EXPECT_EQ(status, 0) << text;
  nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << text;
  EXPECT_EQ(doc["host_running"], true);
  ASSERT_EQ(doc["monitors"].size(), 1u) << text;
  const nlohmann::json& m = doc["monitors"][0];
  EXPECT_EQ(m["name"], "calculator");
  EXPECT_EQ(m["queue"], "CALC.REQUEST");
  EXPECT_EQ(m["state"], "running");
  EXPECT_EQ(m["can_reuse_object"], 1);
  ASSERT_TRUE(m["workers"].is_array() && !m["workers"].empty()) << text;
  int64_t handled = 0;
  for (const nlohmann::json& w : m["workers"]) handled += w["calls_handled"].get<int64_t>();
  EXPECT_EQ(handled, 4) << text;

  // A stopped monitor: down, unhealthy, and a request waits on its queue.
  Shell(tool + " monitor stop calculator --config " + conf + " >/dev/null 2>&1", &status);
  ASSERT_EQ(status, 0);
  Shell(tool + " qm request OPS.QM CALC.REQUEST --wait 100 < " + kExamples + "/requests/add.xml >/dev/null 2>&1",
        &status);
  text = Shell(tool + " metrics --config " + conf, &status);
  EXPECT_EQ(SampleValue(text, "krsoap_monitor_up{monitor=\"calculator\"}"), 0) << text;
  EXPECT_EQ(SampleValue(text, "krsoap_queue_depth{monitor=\"calculator\",queue=\"CALC.REQUEST\"}"), 1) << text;
  health = http.Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503) << health->body;

  ::kill(host, SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1")) << notify.received();
  EXPECT_EQ(ExitStatus(host), 0) << ReadFile(root + "/host.log");

  // No host: the document says so, with the status file last written.
  text = Shell(tool + " status --json --config " + conf + " 2>/dev/null", &status);
  EXPECT_EQ(status, 1);
  doc = nlohmann::json::parse(text, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << text;
  EXPECT_EQ(doc["host_running"], false);
  ASSERT_EQ(doc["monitors"].size(), 1u) << text;
  EXPECT_TRUE(doc["monitors"][0].contains("last_status_written")) << text;
  krsoap::test::RunQuiet("rm -rf '" + root + "'");
}

// A metrics address that is not HOST:PORT is a configuration mistake (exit
// 2, FILE:LINE); one that cannot be bound stops what had started (exit 1).
TEST(HostOperations, MetricsAddressRefused) {
  BuildDirs dirs;
  ASSERT_TRUE(krsoap::test::FindBuildDirs(&dirs));
  std::string root;
  ASSERT_TRUE(krsoap::test::MakeCalculatorHome(dirs, "hostops-bad", "BAD.QM", "CALC.REQUEST", &root)) << root;
  const std::string conf = root + "/host.conf";
  auto write = [&](const std::string& metrics) {
    std::ofstream(conf) << "[host]\nmetrics = " << metrics << "\n"
                        << CalculatorMonitor("calculator", "BAD.QM", root + "/calc.status");
  };
  const std::string serve = dirs.bin + "/krsoap serve --config " + conf + " 2>&1";
  int status = -1;
  write("9464");
  std::string out = Shell(serve, &status);
  EXPECT_EQ(status, 2) << out;
  EXPECT_NE(out.find(conf + ":2: metrics must be HOST:PORT"), std::string::npos) << out;

  int taken = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len), 0);
  write("127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
  out = Shell(serve, &status);
  ::close(taken);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("krsoap serve: metrics: cannot listen on 127.0.0.1:"), std::string::npos) << out;
  EXPECT_NE(out.find("monitor calculator: stopped"), std::string::npos) << out;
  krsoap::test::RunQuiet("rm -rf '" + root + "'");
}

TEST(HostOperations, ServeHttpAnswersMetricsAndHealth) {
  BuildDirs dirs;
  ASSERT_TRUE(krsoap::test::FindBuildDirs(&dirs));
  std::string root;
  ASSERT_TRUE(krsoap::test::MakeCalculatorHome(dirs, "hostops-http", "HTTP.QM", "UNUSED.REQUEST", &root)) << root;
  int port = 0;
  pid_t server = krsoap::test::StartCalculatorHttpHost(dirs, root, kExamples + "/Calculator.wsdl",
                                                       kExamples + "/Calculator.wsml", &port);
  ASSERT_GT(server, 0);
  ASSERT_GT(port, 0) << ReadFile(root + "/http.log");
  httplib::Client http("127.0.0.1", port);
  auto health = http.Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(health->body, "ok\n");
  for (const char* request : {"add", "divide-by-zero"}) {
    auto reply = http.Post("/", ReadFile(kExamples + "/requests/" + request + ".xml"), "text/xml");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, std::string(request) == "add" ? 200 : 500) << reply->body;
  }
  auto scraped = http.Get("/metrics");
  ASSERT_TRUE(scraped);
  EXPECT_EQ(scraped->status, 200);
  const std::string& text = scraped->body;
  EXPECT_EQ(SampleValue(text, "krsoap_http_requests_total"), 2) << text;
  EXPECT_EQ(SampleValue(text, "krsoap_http_faults_total"), 1) << text;
  EXPECT_EQ(SampleValue(text, "krsoap_http_requests_in_flight"), 0) << text;
  EXPECT_EQ(SampleValue(text, "krsoap_http_request_duration_seconds_bucket{le=\"+Inf\"}"), 2) << text;
  // The WSDL is still what a GET with ?wsdl gives.
  auto wsdl = http.Get("/?wsdl");
  ASSERT_TRUE(wsdl);
  EXPECT_EQ(wsdl->status, 200);
  ::kill(server, SIGTERM);
  EXPECT_EQ(ExitStatus(server), 0);
  krsoap::test::RunQuiet("rm -rf '" + root + "'");
}

// Two monitors on one queue (as two hosts on a shared one) both browse every
// request, so one of the two workers sent for it finds it taken and waits for
// the next. SIGTERM still stops the host cleanly: that worker's wait ends
// with the stop instead of running out RequestWait past Stop's own limit.
TEST(HostOperations, TwoMonitorsOnOneQueueStopCleanly) {
  BuildDirs dirs;
  ASSERT_TRUE(krsoap::test::FindBuildDirs(&dirs));
  std::string root;
  ASSERT_TRUE(krsoap::test::MakeCalculatorHome(dirs, "hostops-two", "TWO.QM", "CALC.REQUEST", &root)) << root;
  const std::string conf = root + "/host.conf";
  std::ofstream(conf) << CalculatorMonitor("a", "TWO.QM", root + "/a.status")
                      << CalculatorMonitor("b", "TWO.QM", root + "/b.status");
  const std::string tool = dirs.bin + "/krsoap";
  pid_t host = krsoap::test::StartHost(dirs, root, conf);
  ASSERT_GT(host, 0);
  for (int i = 0; i < 6; ++i) {
    int status = -1;
    std::string reply = Shell(tool + " qm request TWO.QM CALC.REQUEST --wait 15000 < " + kExamples +
                                  "/requests/add.xml 2>&1", &status);
    EXPECT_EQ(status, 0) << reply;
  }
  ::kill(host, SIGTERM);
  EXPECT_EQ(ExitStatus(host), 0) << ReadFile(root + "/host.log");
  const std::string log = ReadFile(root + "/host.log");
  EXPECT_NE(log.find("all monitors stopped"), std::string::npos) << log;
  EXPECT_EQ(log.find("failed"), std::string::npos) << log;
  krsoap::test::RunQuiet("rm -rf '" + root + "'");
}

}  // namespace
