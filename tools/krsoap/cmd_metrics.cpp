// "krsoap metrics": asks the running host, over its socket (as krsoap status
// does), for each monitor's metrics and prints them in the Prometheus text
// format (host_metrics.h), for a scraper that runs commands or for a look
// by hand. The host's own HTTP listener ([host] metrics) serves the same.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "halvex.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/rpc/rpc.h"
#include "platform/com/variant.h"
#include "tools/krsoap/command.h"
#include "tools/krsoap/host_client.h"
#include "tools/krsoap/host_options.h"
#include "tools/krsoap/host_metrics.h"

namespace krsoap::tool {
namespace {

constexpr char kAbout[] =
    "Asks the running host for the metrics of each of its monitors and prints\n"
    "them in the Prometheus text format: requests, failures, SOAP faults,\n"
    "requests in flight, request durations, queue depth, workers. The host is\n"
    "found as krsoap status finds it.\n"
    "Exit status: 0 printed, 1 no host running, no answer or a monitor could\n"
    "not be asked, 2 bad usage or configuration.\n";

// The monitor's metrics through the host's face of it (the dispatch member
// kMonitorMetricsMember, JSON); false with *why when they cannot be had.
bool AskMetrics(IKRSoapMonitor* monitor, MonitorMetrics* m, std::string* why) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(kMonitorMetricsMember)};
  DISPID id = 0;
  HRESULT hr = monitor->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id);
  if (FAILED(hr)) {
    *why = "the host gives no metrics: " + DescribeHr(hr);
    return false;
  }
  DISPPARAMS none{};
  VARIANT result;
  VariantInit(&result);
  hr = monitor->Invoke(id, IID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  if (FAILED(hr) || result.vt != VT_BSTR) {
    VariantClear(&result);
    *why = "the call failed: " + DescribeHr(FAILED(hr) ? hr : DISP_E_TYPEMISMATCH);
    return false;
  }
  std::string text = com::BstrToUtf8(result.bstrVal);
  VariantClear(&result);
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !MetricsFromJson(j, m, why)) {
    if (j.is_discarded()) *why = "not JSON";
    *why = "the host's answer cannot be read: " + *why;
    return false;
  }
  return true;
}

int RunMetrics(const HostOptions& options) {
  HostTarget target;
  int timeout = 60;
  if (int rc = ResolveHostOptions("metrics", options, false, &target, &timeout)) return rc;
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap metrics: cannot join the multithreaded apartment: %s\n", DescribeHr(hr).c_str());
    return 1;
  }
  int rc = 0;
  {
    Watchdog watchdog("metrics", timeout, target.socket_path);
    std::vector<std::string> names;
    hr = com::rpc::ListObjects(target.socket_path, &names);
    if (FAILED(hr)) {
      std::fprintf(stderr, "krsoap metrics: no host is running on %s: %s\n", target.socket_path.c_str(),
                   DescribeHr(hr).c_str());
      rc = 1;
    } else {
      std::vector<MonitorMetrics> all;
      for (const std::string& name : names) {
        IKRSoapMonitor* monitor = nullptr;
        hr = com::rpc::ConnectToObject(target.socket_path, name, IID_IKRSoapMonitor,
                                       reinterpret_cast<void**>(&monitor));
        MonitorMetrics m;
        std::string why;
        if (FAILED(hr) || !monitor) {
          why = "cannot be reached: " + DescribeHr(hr);
        } else {
          AskMetrics(monitor, &m, &why);
          monitor->Release();
        }
        if (!why.empty()) {
          std::fprintf(stderr, "krsoap metrics: monitor %s: %s\n", name.c_str(), why.c_str());
          rc = 1;
          continue;
        }
        all.push_back(std::move(m));
      }
      std::fputs(HostMetricsText(all).c_str(), stdout);
    }
  }
  CoUninitialize();
  return rc;
}

Runner DefineMetrics(CLI::App& app) {
  auto options = std::make_shared<HostOptions>();
  AddHostOptions(app, options.get(), 60);
  app.footer(kAbout);
  return [options] { return RunMetrics(*options); };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"metrics", "print the running host's metrics (Prometheus text format)", DefineMetrics});

}  // namespace krsoap::tool
