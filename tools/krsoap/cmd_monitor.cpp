// "krsoap monitor": operator control of one monitor of the running host,
// through its proxy over the host's socket: stop it, start it again with the
// settings of its [monitor NAME] section, or set CanReuseObject.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/queue/krqueue.h"
#include "halvex.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/rpc/rpc.h"
#include "tools/krsoap/command.h"
#include "tools/krsoap/host_client.h"
#include "tools/krsoap/host_options.h"
#include "tools/krsoap/monitor_check.h"

namespace krsoap::tool {
namespace {

constexpr char kAbout[] =
    "The host is found through FILE's [host] socket (FILE defaults to\n"
    "$KRSOAP_HOME/host.conf). The workers of the host are shared by its\n"
    "monitors and end with it. Prints the monitor's rc. A host that does not\n"
    "answer within SECONDS (default 300: a stop waits for the workers) is\n"
    "reported as such.\n"
    "Exit status: 0 done, 1 the host or the monitor failed (no host running,\n"
    "no answer, rc not 0), 2 bad usage, configuration or name.\n";

struct Bstr {
  explicit Bstr(const std::string& text) : value(com::AllocBstrFromUtf8(text)) {}
  ~Bstr() { SysFreeString(value); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR value;
};

std::string RcText(LONG rc) {
  if (rc == 0) return "done";
  if (rc == 12003) return "the monitor thread did not stop in time";
  if (rc == 2230) return "the monitor is running; stop it first";
  return KRReasonText(rc);
}

int Report(const std::string& name, const char* what, LONG rc) {
  std::printf("monitor %s: %s rc %ld (%s)\n", name.c_str(), what, static_cast<long>(rc), RcText(rc).c_str());
  return rc == 0 ? 0 : 1;
}

int CallFailed(const std::string& name, const char* what, HRESULT hr) {
  std::fprintf(stderr, "krsoap monitor: monitor %s: %s failed: %s\n", name.c_str(), what, DescribeHr(hr).c_str());
  return 1;
}

int Control(const std::string& verb, const std::string& name, LONG reuse, const HostTarget& target) {
  std::vector<std::string> names;
  HRESULT hr = com::rpc::ListObjects(target.socket_path, &names);
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap monitor: no host is running on %s: %s\n", target.socket_path.c_str(),
                 DescribeHr(hr).c_str());
    return 1;
  }
  bool published = false;
  for (const std::string& n : names) published = published || n == name;
  if (!published) {
    std::fprintf(stderr, "krsoap monitor: the host on %s has no monitor named '%s'; its monitors: %s\n",
                 target.socket_path.c_str(), name.c_str(), JoinNames(names).c_str());
    return 2;
  }
  IKRSoapMonitor* monitor = nullptr;
  hr = com::rpc::ConnectToObject(target.socket_path, name, IID_IKRSoapMonitor, reinterpret_cast<void**>(&monitor));
  if (FAILED(hr) || !monitor) return CallFailed(name, "connecting", hr);
  int status = 0;
  LONG rc = 0;
  if (verb == "stop") {
    hr = monitor->Stop(&rc);
    status = FAILED(hr) ? CallFailed(name, "Stop", hr) : Report(name, "Stop", rc);
  } else if (verb == "start") {
    const MonitorConfig& m = *FindMonitor(target.config, name);
    // As the host does at its start: a monitor that cannot serve would start
    // and end at once.
    std::vector<std::string> causes = CheckMonitorCanServe(m);
    for (const std::string& cause : causes)
      std::fprintf(stderr, "krsoap monitor: monitor %s: %s\n", name.c_str(), cause.c_str());
    if (!causes.empty()) {
      std::fprintf(stderr, "krsoap monitor: monitor %s: not started\n", name.c_str());
      monitor->Release();
      return 1;
    }
    Bstr wsdl(m.wsdl), wsml(m.wsml);
    hr = monitor->Init(wsdl.value, wsml.value, &rc);
    if (FAILED(hr) && (HRESULT_FACILITY(hr) == FACILITY_RPC || hr == RPC_E_DISCONNECTED)) {
      status = CallFailed(name, "Init", hr);
    } else {
      if (FAILED(hr) && (!m.wsdl.empty() || !m.wsml.empty())) {
        // As the host does: the paths are kept and handed to the triggers.
        std::fprintf(stderr,
                     "krsoap monitor: monitor %s: warning: the WSDL/WSML check failed: %s; the paths are kept\n",
                     name.c_str(), DescribeHr(hr).c_str());
      }
      Bstr qm(m.queue_manager), queue(m.queue), progid(m.progid), param(m.user_param);
      rc = 0;
      hr = monitor->Start(qm.value, queue.value, progid.value, param.value, &rc);
      status = FAILED(hr) ? CallFailed(name, "Start", hr) : Report(name, "Start", rc);
    }
  } else {
    hr = monitor->put_CanReuseObject(reuse);
    LONG now = 0;
    if (SUCCEEDED(hr)) hr = monitor->get_CanReuseObject(&now);
    if (FAILED(hr)) {
      status = CallFailed(name, "CanReuseObject", hr);
    } else {
      std::printf("monitor %s: CanReuseObject %ld (the workers follow it from the monitor's next start)\n",
                  name.c_str(), static_cast<long>(now));
    }
  }
  monitor->Release();
  return status;
}

struct MonitorArgs {
  std::string name, reuse;
  HostOptions host;
};

int RunMonitor(const std::string& verb, const MonitorArgs& a) {
  HostTarget target;
  int timeout = 300;
  if (int rc = ResolveHostOptions("monitor", a.host, verb == "start", &target, &timeout)) return rc;
  const std::string& name = a.name;
  LONG reuse = 0;
  if (verb == "reuse") {
    if (a.reuse != "0" && a.reuse != "1") {
      std::fprintf(stderr, "krsoap monitor: reuse takes 0 or 1, not '%s'\n", a.reuse.c_str());
      return 2;
    }
    reuse = a.reuse == "1" ? 1 : 0;
  }
  if (target.have_config && !FindMonitor(target.config, name)) {
    std::vector<std::string> known;
    for (const MonitorConfig& m : target.config.monitors) known.push_back(m.name);
    std::fprintf(stderr, "krsoap monitor: unknown monitor '%s'; %s declares: %s\n", name.c_str(),
                 target.config.path.c_str(), JoinNames(known).c_str());
    return 2;
  }
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap monitor: cannot join the multithreaded apartment: %s\n", DescribeHr(hr).c_str());
    return 1;
  }
  int status;
  {
    Watchdog watchdog("monitor", timeout, target.socket_path);
    status = Control(verb, name, reuse, target);
  }
  CoUninitialize();
  return status;
}

Runner DefineMonitor(CLI::App& app) {
  struct Verb {
    const char* name;
    const char* summary;
  };
  static const Verb kVerbs[] = {
      {"stop", "stop the monitor; its requests stay on the queue"},
      {"start",
       "start it again: Init with the section's wsdl and wsml, then Start with its queue_manager, queue, progid "
       "and user_param as FILE reads now (start needs the file); refused when the queue does not open or the "
       "progid names no registered class"},
      {"reuse", "set CanReuseObject (0: a new trigger object per request); the monitor's workers follow it from "
                "the monitor's next start"}};
  std::vector<std::pair<CLI::App*, Runner>> runners;
  for (const Verb& v : kVerbs) {
    CLI::App* verb = AddVerb(app, v.name, v.summary);
    auto a = std::make_shared<MonitorArgs>();
    verb->add_option("NAME", a->name, "the monitor, as its [monitor NAME] section names it")->required();
    if (std::string(v.name) == "reuse") verb->add_option("VALUE", a->reuse, "0 or 1")->required();
    AddHostOptions(*verb, &a->host, 300);
    verb->footer(kAbout);
    const std::string name = v.name;
    runners.emplace_back(verb, [name, a] { return RunMonitor(name, *a); });
  }
  app.footer(kAbout);
  return [&app, runners] { return RunChosenVerb(app, runners); };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"monitor", "stop, start or tune a monitor of the running host", DefineMonitor});

}  // namespace krsoap::tool
