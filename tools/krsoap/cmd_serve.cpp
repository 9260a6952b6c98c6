// "krsoap serve": the service host. Runs in the foreground as a service
// manager expects: reads the host configuration, creates, initialises and
// starts one KRSoapMonitor per [monitor] section, writes each monitor's
// status file every few seconds, and on SIGTERM or SIGINT stops every monitor
// and exits (0 when all stopped, 1 otherwise; a second signal exits at once).
//
// The host also listens on a socket (ObjectServer, [host] socket, default
// $KRSOAP_HOME/run/host.sock) and publishes each monitor under its section
// name, so that krsoap status and krsoap monitor reach the running monitors
// through proxies. One host per socket: a second is refused before it starts
// anything.
#include <CLI/CLI.hpp>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "common/queue/krqueue.h"
#include "halvex.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/rpc/rpc.h"
#include "platform/com/typelib.h"
#include "platform/com/unknown_impl.h"
#include "server/monitor_host.h"
#include "server/monitor_metrics.h"
#include "tools/krsoap/command.h"
#include "tools/krsoap/host_client.h"
#include "tools/krsoap/host_config.h"
#include "tools/krsoap/host_metrics.h"
#include "tools/krsoap/host_service.h"
#include "tools/krsoap/monitor_check.h"

namespace krsoap::tool {
namespace {

constexpr char kAbout[] =
    "Runs the monitors that FILE declares, in the foreground, until SIGTERM\n"
    "or SIGINT, and publishes them on the socket of [host] socket (default\n"
    "$KRSOAP_HOME/run/host.sock) for krsoap status and krsoap monitor; one\n"
    "host per socket. Before starting, each monitor's queue must open and its\n"
    "progid name a registered class. See docs/server.md for the file's form.\n"
    "Under a service manager it reports readiness once every monitor serves\n"
    "(sd_notify); [host] metrics = HOST:PORT serves /metrics and /health\n"
    "(docs/operators.md).\n"
    "Exit status: 0 every monitor stopped, 1 another host runs on the socket\n"
    "or a monitor cannot serve, failed to start or to stop, 2 bad usage or\n"
    "configuration.\n";

// The face of a monitor that the host uses and publishes. The monitor's own
// methods expect their caller to serialise Start, Stop and Init, and the
// CanReuseObject property is a plain field; once operators reach a monitor
// from other processes, their calls arrive on the object server's threads
// while the host writes status files from its own. One lock per monitor
// puts every call, the host's and the operators', in a single file.
//
// It also answers one dispatch member of its own, MonitorState (a read-only
// string, kMonitorStateDispid): "running", "stopped by the operator", "ended:
// CAUSE" or "stopping (...)". The monitor's thread state comes from its
// in-process IKRSoapMonitorHost, which operators cannot reach themselves;
// whether a stop was the operator's only the host knows.
class SerialMonitor final : public com::UnknownImpl<SerialMonitor, IKRSoapMonitor, IID_IDispatch, IID_IKRSoapMonitor> {
 public:
  SerialMonitor(IKRSoapMonitor* inner, IKRSoapMonitorHost* host, IKRSoapMonitorMetrics* metrics,
                const MonitorConfig* config)
      : inner_(inner), host_(host), metrics_(metrics), config_(config) {
    inner_->AddRef();
    host_->AddRef();
    metrics_->AddRef();
  }
  SerialMonitor(const SerialMonitor&) = delete;
  SerialMonitor& operator=(const SerialMonitor&) = delete;

  // The monitor's state in words (see above).
  std::string State() {
    std::lock_guard<std::mutex> lock(mu_);
    LONG state = kMonitorIdle, reason = 0;
    BSTR cause = nullptr;
    if (FAILED(host_->GetThreadState(&state, &reason, &cause))) return "unknown";
    std::string text = com::BstrToUtf8(cause);
    SysFreeString(cause);
    switch (state) {
      case kMonitorRunning: return "running";
      case kMonitorEnded: return "ended: " + text;
      case kMonitorStopping: return "stopping (a stop timed out; its thread is still ending)";
      default: return stopped_by_operator_ ? "stopped by the operator" : "not started";
    }
  }

  // Whether the monitor's thread browses its queue, without waiting for the
  // lock (see Metrics).
  bool IsRunning() {
    std::unique_lock<std::mutex> lock(mu_, std::try_to_lock);
    LONG state = kMonitorIdle, reason = 0;
    if (lock.owns_lock() && SUCCEEDED(host_->GetThreadState(&state, &reason, nullptr)))
      running_.store(state == kMonitorRunning, std::memory_order_relaxed);
    return running_.load(std::memory_order_relaxed);
  }

  // Requests run so far.
  uint64_t RequestsRun() {
    KRSoapMonitorMetrics counters;
    return SUCCEEDED(metrics_->GetMetrics(&counters)) ? counters.requests.requests : 0;
  }

  // The monitor's metrics. Taken without waiting for the lock, so that a
  // scrape never waits for a Stop: the counters are atomics, and the thread
  // state, which Start and Stop change, is read when the lock is free and
  // otherwise the last one read is given.
  MonitorMetrics Metrics() {
    MonitorMetrics m;
    m.name = config_->name;
    m.queue_manager = config_->queue_manager;
    m.queue = config_->queue;
    m.running = IsRunning();
    KRSoapMonitorMetrics counters;
    if (SUCCEEDED(metrics_->GetMetrics(&counters))) {
      m.requests = counters.requests;
      m.workers = counters.workers;
      m.busy_workers = counters.busy_workers;
    }
    m.queue_depth = QueueDepth(config_->queue_manager, config_->queue);
    return m;
  }

  // IDispatch: names and type information are the monitor's; Invoke calls
  // this object's methods, so dispatched calls take the lock too.
  HRESULT GetTypeInfoCount(UINT* count) override { return inner_->GetTypeInfoCount(count); }
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return inner_->GetTypeInfo(index, lcid, info);
  }
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    if (count == 1 && names && names[0] && ids &&
        std::u16string_view(names[0]) == kMonitorStateMember) {
      ids[0] = kMonitorStateDispid;
      return S_OK;
    }
    if (count == 1 && names && names[0] && ids && std::u16string_view(names[0]) == kMonitorMetricsMember) {
      ids[0] = kMonitorMetricsDispid;
      return S_OK;
    }
    return inner_->GetIDsOfNames(iid, names, count, lcid, ids);
  }
  HRESULT Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo, UINT* arg_err) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (member == kMonitorStateDispid) {
      if (!(flags & DISPATCH_PROPERTYGET) || (params && params->cArgs != 0)) return DISP_E_MEMBERNOTFOUND;
      if (!result) return S_OK;
      VariantInit(result);
      result->vt = VT_BSTR;
      result->bstrVal = com::AllocBstrFromUtf8(State());
      return result->bstrVal ? S_OK : E_OUTOFMEMORY;
    }
    if (member == kMonitorMetricsDispid) {
      if (!(flags & DISPATCH_PROPERTYGET) || (params && params->cArgs != 0)) return DISP_E_MEMBERNOTFOUND;
      if (!result) return S_OK;
      VariantInit(result);
      result->vt = VT_BSTR;
      result->bstrVal = com::AllocBstrFromUtf8(MetricsToJson(Metrics()).dump());
      return result->bstrVal ? S_OK : E_OUTOFMEMORY;
    }
    ITypeInfo* info = nullptr;
    HRESULT hr = inner_->GetTypeInfo(0, lcid, &info);
    if (FAILED(hr)) return hr;
    hr = info->Invoke(static_cast<IKRSoapMonitor*>(this), member, flags, params, result, excepinfo, arg_err);
    info->Release();
    return hr;
  }

  HRESULT Start(BSTR queue_manager, BSTR queue, BSTR progid, BSTR user_param, LONG* rc) override {
    std::lock_guard<std::mutex> lock(mu_);
    LONG result = -1;
    HRESULT hr = inner_->Start(queue_manager, queue, progid, user_param, &result);
    if (SUCCEEDED(hr) && result == 0) {
      stopped_by_operator_ = false;
      running_.store(true, std::memory_order_relaxed);
    }
    if (rc) *rc = result;
    return hr;
  }
  HRESULT Stop(LONG* rc) override {
    std::lock_guard<std::mutex> lock(mu_);
    LONG state = kMonitorIdle, reason = 0;
    host_->GetThreadState(&state, &reason, nullptr);
    LONG result = -1;
    HRESULT hr = inner_->Stop(&result);
    if (SUCCEEDED(hr) && result == 0 && state == kMonitorRunning) stopped_by_operator_ = true;
    if (SUCCEEDED(hr) && result == 0) running_.store(false, std::memory_order_relaxed);
    if (rc) *rc = result;
    return hr;
  }
  HRESULT Init(BSTR wsdl, BSTR wsml, LONG* rc) override {
    std::lock_guard<std::mutex> lock(mu_);
    return inner_->Init(wsdl, wsml, rc);
  }
  HRESULT GetMonitorStatus(BSTR file, LONG* threads, LONG* rc) override {
    std::lock_guard<std::mutex> lock(mu_);
    return inner_->GetMonitorStatus(file, threads, rc);
  }
  HRESULT get_CanReuseObject(LONG* value) override {
    std::lock_guard<std::mutex> lock(mu_);
    return inner_->get_CanReuseObject(value);
  }
  HRESULT put_CanReuseObject(LONG value) override {
    std::lock_guard<std::mutex> lock(mu_);
    return inner_->put_CanReuseObject(value);
  }

 private:
  friend UnknownImpl;  // deletes it at the last Release
  ~SerialMonitor() {
    metrics_->Release();
    host_->Release();
    inner_->Release();
  }

  static constexpr DISPID kMonitorStateDispid = 1000;
  static constexpr DISPID kMonitorMetricsDispid = 1001;

  std::mutex mu_;
  IKRSoapMonitor* inner_;
  IKRSoapMonitorHost* host_;
  IKRSoapMonitorMetrics* metrics_;
  const MonitorConfig* config_;
  bool stopped_by_operator_ = false;  // guarded by mu_
  // The thread state last read for the metrics, or set by Start and Stop.
  std::atomic<bool> running_{false};
};

struct Running {
  const MonitorConfig* config;
  SerialMonitor* monitor;
  bool status_failed = false;
};

struct Bstr {
  explicit Bstr(const std::string& text) : value(krsoap::com::AllocBstrFromUtf8(text)) {}
  ~Bstr() { SysFreeString(value); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR value;
};

std::mutex g_mu;
std::condition_variable g_cv;
bool g_stop_requested = false;
// The socket this host made (guarded by g_mu): a second signal removes it on
// the way out, but only while it is still this host's file.
std::string g_socket_path;
dev_t g_socket_device = 0;
ino_t g_socket_inode = 0;

void RememberSocket(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  std::lock_guard<std::mutex> lock(g_mu);
  g_socket_path = path;
  g_socket_device = st.st_dev;
  g_socket_inode = st.st_ino;
}

void RemoveOwnSocket() {
  std::lock_guard<std::mutex> lock(g_mu);
  struct stat st {};
  if (!g_socket_path.empty() && ::lstat(g_socket_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
      st.st_dev == g_socket_device && st.st_ino == g_socket_inode)
    ::unlink(g_socket_path.c_str());
}

// Waits for the termination signals (blocked in every other thread).
void SignalWatcher(sigset_t set) {
  int count = 0;
  for (;;) {
    int signal_number = 0;
    if (sigwait(&set, &signal_number) != 0) continue;
    if (++count == 1) {
      std::fprintf(stderr, "krsoap serve: signal %d: stopping the monitors\n", signal_number);
      std::lock_guard<std::mutex> lock(g_mu);
      g_stop_requested = true;
      g_cv.notify_all();
    } else {
      // Exits without stopping anything, but not leaving the socket file.
      RemoveOwnSocket();
      static const char text[] = "krsoap serve: second signal: exiting at once\n";
      ssize_t ignored = ::write(2, text, sizeof text - 1);
      (void)ignored;
      ::_exit(1);
    }
  }
}

void WriteStatus(std::vector<Running>* running) {
  for (Running& r : *running) {
    LONG threads = 0;
    LONG rc = 0;
    Bstr file(r.config->status_file);
    r.monitor->GetMonitorStatus(file.value, &threads, &rc);
    if (rc != 0 && !r.status_failed) {
      std::fprintf(stderr, "krsoap serve: monitor %s: cannot write status file %s (error %ld)\n",
                   r.config->name.c_str(), r.config->status_file.c_str(), static_cast<long>(rc));
    }
    r.status_failed = rc != 0;
  }
}

// Stops every monitor; true when all of them stopped. The stops run at once:
// each waits for its monitor's browse slice and its workers' get slices to
// end, which, one monitor after another, would add up with many monitors.
bool StopAll(std::vector<Running>* running) {
  std::vector<LONG> rcs(running->size(), 0);
  std::vector<std::thread> stoppers;
  for (size_t i = 0; i < running->size(); ++i) {
    SerialMonitor* monitor = (*running)[i].monitor;
    LONG* rc = &rcs[i];
    try {
      stoppers.emplace_back([monitor, rc] { monitor->Stop(rc); });
    } catch (const std::system_error&) {
      monitor->Stop(rc);  // no thread to spare: this one, now
    }
  }
  for (std::thread& t : stoppers) t.join();
  bool all = true;
  for (size_t i = 0; i < running->size(); ++i) {
    const Running& r = (*running)[i];
    const LONG rc = rcs[i];
    if (rc != 0) {
      std::fprintf(stderr, "krsoap serve: monitor %s: did not stop in time (rc %ld)\n", r.config->name.c_str(),
                   static_cast<long>(rc));
      all = false;
    } else {
      std::fprintf(stderr, "krsoap serve: monitor %s: stopped\n", r.config->name.c_str());
    }
  }
  return all;
}

void ReleaseAll(std::vector<Running>* running) {
  for (Running& r : *running) r.monitor->Release();
  running->clear();
}

std::vector<MonitorMetrics> CollectMetrics(const std::vector<Running>& running) {
  std::vector<MonitorMetrics> all;
  for (const Running& r : running) all.push_back(r.monitor->Metrics());
  return all;
}

// Healthy while every monitor serves; the words name those that do not.
bool HostHealth(const std::vector<Running>& running, std::string* text) {
  std::string down;
  for (const Running& r : running) {
    if (!r.monitor->IsRunning()) down += (down.empty() ? "" : ", ") + r.config->name;
  }
  *text = down.empty() ? "ok: " + std::to_string(running.size()) + " monitors serving"
                      : "not serving: " + down + " (krsoap status tells why)";
  return down.empty();
}

// The service manager's STATUS= line: monitors serving, requests so far.
std::string ServingText(const std::vector<Running>& running) {
  uint64_t requests = 0;
  for (const Running& r : running) requests += r.monitor->RequestsRun();
  return "serving " + std::to_string(running.size()) + " monitor" + (running.size() == 1 ? "" : "s") + ", " +
         std::to_string(requests) + " requests so far";
}

int RunServe(const std::vector<std::string>& args) {
  std::string path, usage_error;
  if (!ConfigPathFromArgs(args, &path, &usage_error)) return UsageError("serve", usage_error);
  HostConfig config;
  std::vector<std::string> errors;
  if (!LoadHostConfig(path, &config, &errors)) {
    for (const auto& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
    std::fprintf(stderr, "krsoap serve: configuration not valid; nothing started\n");
    return 2;
  }

  // Every thread started from here on (monitors, workers) inherits the mask,
  // so the signals reach only the watcher.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(SignalWatcher, set).detach();

  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap serve: cannot join the multithreaded apartment (hr 0x%08x)\n",
                 static_cast<unsigned>(hr));
    return 1;
  }
  // Listening comes first: a second host on the same socket must not start
  // monitors on the queues the first one serves. The server's threads are
  // started here, after the signal mask.
  std::unique_ptr<krsoap::com::rpc::ObjectServer> server;
  hr = krsoap::com::rpc::ObjectServer::Listen(config.socket_path, &server);
  if (FAILED(hr)) {
    if (hr == HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS))
      std::fprintf(stderr, "krsoap serve: another host is already running on %s; nothing started\n",
                   config.socket_path.c_str());
    else
      std::fprintf(stderr, "krsoap serve: cannot listen on %s (hr 0x%08x); nothing started\n",
                   config.socket_path.c_str(), static_cast<unsigned>(hr));
    CoUninitialize();
    return 1;
  }
  RememberSocket(config.socket_path);
  // A monitor whose queue does not open or whose class is not registered
  // would start, end at once and serve nothing: refuse before starting any.
  bool can_serve = true;
  for (const MonitorConfig& m : config.monitors) {
    const std::string backout = PrepareBackoutQueue(m);
    if (!backout.empty())
      std::fprintf(stderr, "krsoap serve: monitor %s: defined backout queue %s\n", m.name.c_str(), backout.c_str());
    for (const std::string& cause : CheckMonitorCanServe(m)) {
      std::fprintf(stderr, "krsoap serve: monitor %s: %s\n", m.name.c_str(), cause.c_str());
      can_serve = false;
    }
  }
  if (!can_serve) {
    std::fprintf(stderr, "krsoap serve: nothing started\n");
    server->Close();
    CoUninitialize();
    return 1;
  }
  std::vector<Running> running;
  bool started_all = true;
  for (const MonitorConfig& m : config.monitors) {
    CLSID clsid{};
    IKRSoapMonitor* monitor = nullptr;
    IKRSoapMonitorHost* host = nullptr;
    IKRSoapMonitorMetrics* metrics = nullptr;
    SerialMonitor* serial = nullptr;
    hr = CLSIDFromString(u"Halvex.KRSoapMonitor", &clsid);
    if (SUCCEEDED(hr))
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IKRSoapMonitor, reinterpret_cast<void**>(&monitor));
    if (SUCCEEDED(hr) && monitor)
      hr = monitor->QueryInterface(IID_IKRSoapMonitorHost, reinterpret_cast<void**>(&host));
    if (SUCCEEDED(hr) && host)
      hr = monitor->QueryInterface(IID_IKRSoapMonitorMetrics, reinterpret_cast<void**>(&metrics));
    if (SUCCEEDED(hr) && metrics) {
      // The monitor's own failure lines (its thread, its requests) carry its name.
      Bstr journal("krsoap serve: monitor " + m.name);
      host->put_JournalName(journal.value);
      serial = new SerialMonitor(monitor, host, metrics, &m);
    }
    if (metrics) metrics->Release();
    if (host) host->Release();
    if (monitor) monitor->Release();
    if (!serial) {
      std::fprintf(stderr,
                   "krsoap serve: monitor %s: cannot create Halvex.KRSoapMonitor: %s; is libhalvex.so "
                   "registered (krsoap setup)?\n",
                   m.name.c_str(), DescribeHr(FAILED(hr) ? hr : E_NOINTERFACE).c_str());
      started_all = false;
      break;
    }
    LONG rc = 0;
    Bstr wsdl(m.wsdl), wsml(m.wsml);
    hr = serial->Init(wsdl.value, wsml.value, &rc);
    // Only files that were named are worth a word: a trigger class of its
    // own may need none.
    if (FAILED(hr) && (!m.wsdl.empty() || !m.wsml.empty())) {
      std::fprintf(stderr,
                   "krsoap serve: monitor %s: warning: the WSDL/WSML check failed: %s; the paths are kept and "
                   "handed to the trigger objects\n",
                   m.name.c_str(), DescribeHr(hr).c_str());
    }
    serial->put_CanReuseObject(static_cast<LONG>(m.can_reuse_object));
    Bstr qm(m.queue_manager), queue(m.queue), progid(m.progid), param(m.user_param);
    rc = 0;
    serial->Start(qm.value, queue.value, progid.value, param.value, &rc);
    if (rc != 0) {
      std::fprintf(stderr, "krsoap serve: monitor %s: Start failed: reason %ld (%s)\n", m.name.c_str(),
                   static_cast<long>(rc), KRReasonText(rc));
      serial->Release();
      started_all = false;
      break;
    }
    std::fprintf(stderr, "krsoap serve: monitor %s: serving queue %s on %s\n", m.name.c_str(), m.queue.c_str(),
                 m.queue_manager.empty() ? "the default queue manager" : m.queue_manager.c_str());
    running.push_back(Running{&m, serial});
  }
  for (const Running& r : running) {
    if (!started_all) break;
    hr = server->Publish(r.config->name, static_cast<IKRSoapMonitor*>(r.monitor));
    if (FAILED(hr)) {
      std::fprintf(stderr, "krsoap serve: monitor %s: cannot be published on %s (hr 0x%08x)\n",
                   r.config->name.c_str(), config.socket_path.c_str(), static_cast<unsigned>(hr));
      started_all = false;
    }
  }
  // The metrics listener of [host] metrics, once the monitors serve; an
  // address that cannot be bound is a host that cannot run as configured.
  std::unique_ptr<MetricsListener> metrics_listener;
  if (started_all && !config.metrics_address.empty()) {
    metrics_listener = std::make_unique<MetricsListener>(
        [&running] { return HostMetricsText(CollectMetrics(running)); },
        [&running](std::string* text) { return HostHealth(running, text); });
    std::string why;
    if (!metrics_listener->Start(config.metrics_address, &why)) {
      std::fprintf(stderr, "krsoap serve: metrics: %s; nothing kept running\n", why.c_str());
      metrics_listener.reset();
      started_all = false;
    }
  }
  if (!started_all) {
    // Never run half of the configuration.
    server->Close();
    StopAll(&running);
    ReleaseAll(&running);
    CoUninitialize();
    return 1;
  }

  std::fprintf(stderr, "krsoap serve: listening on %s\n", config.socket_path.c_str());
  if (metrics_listener)
    std::fprintf(stderr, "krsoap serve: metrics on http://%s/metrics\n", config.metrics_address.c_str());
  WriteStatus(&running);
  // A service manager waiting for readiness (Type=notify) learns it now,
  // with every monitor serving and the socket answering.
  NotifyReady(ServingText(running));
  {
    std::unique_lock<std::mutex> lock(g_mu);
    while (!g_stop_requested) {
      if (!g_cv.wait_for(lock, std::chrono::seconds(config.status_interval), [] { return g_stop_requested; })) {
        lock.unlock();
        WriteStatus(&running);
        NotifyStatus(ServingText(running));
        lock.lock();
      }
    }
  }
  NotifyStopping("stopping the monitors");
  if (metrics_listener) metrics_listener->Stop();
  // No operator call may reach a monitor while it is being stopped.
  server->Close();
  bool stopped = StopAll(&running);
  if (stopped) WriteStatus(&running);
  ReleaseAll(&running);
  CoUninitialize();
  std::fprintf(stderr, "krsoap serve: %s\n", stopped ? "all monitors stopped" : "some monitors did not stop");
  if (!stopped) {
    // A monitor that did not stop still runs, in code and on state of its
    // module (the worker list's lock, the trace): ending the usual way would
    // destroy that state under it. End without the static destructors.
    std::fflush(nullptr);
    std::_Exit(1);
  }
  return 0;
}

Runner DefineServe(CLI::App& app) {
  auto config = std::make_shared<std::string>();
  CLI::Option* option =
      app.add_option("--config", *config, "the host configuration (default $KRSOAP_HOME/host.conf)")
          ->type_name("FILE");
  app.footer(kAbout);
  return [config, option] {
    std::vector<std::string> args = {"serve"};
    if (option->count() > 0) args.insert(args.end(), {"--config", *config});
    return RunServe(args);
  };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"serve", "run the monitors of a host configuration (service host)", DefineServe});

}  // namespace krsoap::tool
