// "krsoap status": asks the running host, over its socket, for the status of
// each monitor it publishes (GetMonitorStatus through the monitor's proxy,
// into a file under the data root that this command reads and removes), and
// shows it as a table per monitor (thread id, in call, calls handled,
// started, last used), or with --json as one JSON document of the same
// facts for programs. When no host answers it says so, shows the status
// files the host last wrote (labelled with their time), and fails.
#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "halvex.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/rpc/rpc.h"
#include "platform/com/variant.h"
#include "platform/files/data_root.h"
#include "tools/krsoap/command.h"
#include "tools/krsoap/host_client.h"
#include "tools/krsoap/host_options.h"

namespace krsoap::tool {
namespace {

constexpr char kAbout[] =
    "Asks the running host for the status of each of its monitors and shows\n"
    "their worker threads. When no host runs, the status files it last wrote\n"
    "are shown, labelled with their time. A monitor busy stopping holds its\n"
    "status back. Each monitor's state is shown: running, stopped by the\n"
    "operator, or ended with its cause. --json prints the same as one JSON\n"
    "document (docs/operators.md).\n"
    "Exit status: 0 shown, 1 no host running, no answer, a monitor could not\n"
    "be asked or has ended, 2 bad usage or configuration.\n";

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, ',')) fields.push_back(field);
  return fields;
}

struct WorkerRow {
  std::string thread_id, in_call, calls_handled, started, last_used;
};

// The status file's lines: thread id, in call, calls handled, started, last
// used. Lines of another form go to *unreadable.
std::vector<WorkerRow> ParseStatus(const std::string& text, std::vector<std::string>* unreadable) {
  std::vector<WorkerRow> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> f = Split(line);
    if (f.size() != 5) {
      unreadable->push_back(line);
      continue;
    }
    rows.push_back({f[0], f[1], f[2], f[3], f[4]});
  }
  return rows;
}

void PrintTable(const std::string& text) {
  std::printf("  %10s  %7s  %13s  %8s  %9s\n", "THREAD ID", "IN CALL", "CALLS HANDLED", "STARTED", "LAST USED");
  std::vector<std::string> unreadable;
  std::vector<WorkerRow> rows = ParseStatus(text, &unreadable);
  for (const WorkerRow& r : rows)
    std::printf("  %10s  %7s  %13s  %8s  %9s\n", r.thread_id.c_str(), r.in_call == "0" ? "no" : "yes",
                r.calls_handled.c_str(), r.started.c_str(), r.last_used.c_str());
  for (const std::string& line : unreadable) std::printf("  (unreadable line: %s)\n", line.c_str());
  if (rows.empty()) std::printf("  (no workers)\n");
}

// A number field of the status file as a JSON number; the text when it is
// not one.
nlohmann::json NumberOrText(const std::string& text) {
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end) return text;
  return value;
}

nlohmann::json WorkersJson(const std::string& text) {
  std::vector<std::string> unreadable;
  nlohmann::json workers = nlohmann::json::array();
  for (const WorkerRow& r : ParseStatus(text, &unreadable)) {
    workers.push_back({{"thread_id", NumberOrText(r.thread_id)},
                       {"in_call", r.in_call != "0"},
                       {"calls_handled", NumberOrText(r.calls_handled)},
                       {"started", r.started},
                       {"last_used", r.last_used}});
  }
  return workers;
}

// A monitor's entry in the JSON form; `m` may be null (a monitor the
// configuration read does not name).
nlohmann::json MonitorJson(const std::string& name, const MonitorConfig* m) {
  nlohmann::json j = {{"name", name}};
  if (m) {
    j["queue_manager"] = m->queue_manager;
    j["queue"] = m->queue;
    j["status_file"] = m->status_file;
  }
  return j;
}

bool ReadWhole(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

std::string QueueText(const MonitorConfig* m) {
  if (!m) return "queue (not in the configuration read)";
  return "queue " + m->queue + " on " + (m->queue_manager.empty() ? "the default queue manager" : m->queue_manager);
}

// No host answered: the files it wrote last, clearly marked as such (in
// the JSON form, into *json's monitors).
void ShowLastStatusFiles(const HostTarget& target, nlohmann::json* json) {
  if (!target.have_config) return;
  for (const MonitorConfig& m : target.config.monitors) {
    struct stat st {};
    std::string text;
    nlohmann::json entry = MonitorJson(m.name, &m);
    if (::stat(m.status_file.c_str(), &st) != 0 || !ReadWhole(m.status_file, &text)) {
      if (json) {
        entry["error"] = "no status file";
        (*json)["monitors"].push_back(entry);
        continue;
      }
      std::printf("monitor %s: %s, status file %s\n  (no status file)\n", m.name.c_str(), QueueText(&m).c_str(),
                  m.status_file.c_str());
      continue;
    }
    char when[64] = "?";
    struct tm tm {};
    if (gmtime_r(&st.st_mtime, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
    if (json) {
      entry["last_status_written"] = when;
      entry["workers"] = WorkersJson(text);
      (*json)["monitors"].push_back(entry);
      continue;
    }
    std::printf("monitor %s: %s, status file %s\n  host not running; last status written at %s\n", m.name.c_str(),
                QueueText(&m).c_str(), m.status_file.c_str(), when);
    PrintTable(text);
  }
}

// The host's word on the monitor's thread: its face of the monitor answers
// the dispatch member MonitorState ("running", "stopped by the operator",
// "ended: CAUSE", ...). "unknown" when it cannot be asked.
std::string MonitorState(IKRSoapMonitor* monitor) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(kMonitorStateMember)};
  DISPID id = 0;
  if (FAILED(monitor->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id))) return "unknown";
  DISPPARAMS none{};
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = monitor->Invoke(id, IID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  std::string text = SUCCEEDED(hr) && result.vt == VT_BSTR ? com::BstrToUtf8(result.bstrVal) : "unknown";
  VariantClear(&result);
  return text;
}

// A file name under the data root for the host to write one status into.
std::string StatusScratchPath(size_t index) {
  std::string run = krsoap::platform::DataRoot() + "/run";
  krsoap::platform::EnsureDataRoot();
  ::mkdir(run.c_str(), 0700);
  return run + "/status." + std::to_string(::getpid()) + "." + std::to_string(index);
}

// Asks the host and prints its answer, as a table or (json) as one JSON
// document. Returns the exit status.
int ShowStatus(const HostTarget& target, int timeout, bool json) {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap status: cannot join the multithreaded apartment: %s\n", DescribeHr(hr).c_str());
    return 1;
  }
  Watchdog watchdog("status", timeout, target.socket_path);
  nlohmann::json doc = {{"socket", target.socket_path}, {"monitors", nlohmann::json::array()}};
  std::vector<std::string> names;
  hr = com::rpc::ListObjects(target.socket_path, &names);
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap status: no host is running on %s: %s\n", target.socket_path.c_str(),
                 DescribeHr(hr).c_str());
    doc["host_running"] = false;
    ShowLastStatusFiles(target, json ? &doc : nullptr);
    if (json) std::printf("%s\n", doc.dump(2).c_str());
    CoUninitialize();
    return 1;
  }
  doc["host_running"] = true;
  if (!json)
    std::printf("host on %s: %zu monitor%s\n", target.socket_path.c_str(), names.size(), names.size() == 1 ? "" : "s");
  int failures = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    const MonitorConfig* m = target.have_config ? FindMonitor(target.config, name) : nullptr;
    nlohmann::json entry = MonitorJson(name, m);
    IKRSoapMonitor* monitor = nullptr;
    hr = com::rpc::ConnectToObject(target.socket_path, name, IID_IKRSoapMonitor, reinterpret_cast<void**>(&monitor));
    if (FAILED(hr) || !monitor) {
      if (json) {
        entry["error"] = "cannot be reached: " + DescribeHr(hr);
        doc["monitors"].push_back(entry);
      } else {
        std::printf("monitor %s: %s\n  (cannot be reached: %s)\n", name.c_str(), QueueText(m).c_str(),
                    DescribeHr(hr).c_str());
      }
      ++failures;
      continue;
    }
    const std::string scratch = StatusScratchPath(i);
    BSTR file = com::AllocBstrFromUtf8(scratch);
    LONG reuse = 0, threads = 0, rc = 0;
    std::string state = MonitorState(monitor);
    HRESULT reuse_hr = monitor->get_CanReuseObject(&reuse);
    hr = monitor->GetMonitorStatus(file, &threads, &rc);
    SysFreeString(file);
    monitor->Release();
    if (FAILED(hr) || FAILED(reuse_hr)) {
      std::string why = DescribeHr(FAILED(hr) ? hr : reuse_hr);
      if (json) {
        entry["error"] = "the call failed: " + why;
        doc["monitors"].push_back(entry);
      } else {
        std::printf("monitor %s: %s\n  (the call failed: %s)\n", name.c_str(), QueueText(m).c_str(), why.c_str());
      }
      ::unlink(scratch.c_str());
      ++failures;
      continue;
    }
    entry["can_reuse_object"] = reuse;
    entry["threads"] = threads;
    entry["state"] = state;
    if (!json) {
      std::printf("monitor %s: %s, CanReuseObject %ld, %ld worker thread%s running in the host\n", name.c_str(),
                  QueueText(m).c_str(), static_cast<long>(reuse), static_cast<long>(threads),
                  threads == 1 ? "" : "s");
      std::printf("  state: %s\n", state.c_str());
    }
    if (state.rfind("ended", 0) == 0) ++failures;  // it serves nothing
    std::string text;
    if (rc != 0) {
      if (json) entry["error"] = "the host could not write the status: error " + std::to_string(rc);
      else std::printf("  (the host could not write the status: error %ld)\n", static_cast<long>(rc));
      ++failures;
    } else if (!ReadWhole(scratch, &text)) {
      if (json) entry["error"] = "the status the host wrote cannot be read: " + scratch;
      else std::printf("  (the status the host wrote cannot be read: %s)\n", scratch.c_str());
      ++failures;
    } else if (json) {
      entry["workers"] = WorkersJson(text);
    } else {
      PrintTable(text);
    }
    ::unlink(scratch.c_str());
    doc["monitors"].push_back(entry);
  }
  if (json) std::printf("%s\n", doc.dump(2).c_str());
  CoUninitialize();
  return failures ? 1 : 0;
}

Runner DefineStatus(CLI::App& app) {
  struct Args {
    HostOptions host;
    bool json = false;
  };
  auto a = std::make_shared<Args>();
  AddHostOptions(app, &a->host, 60);
  app.add_flag("--json", a->json, "print the status as one JSON document");
  app.footer(kAbout);
  return [a] {
    HostTarget target;
    int timeout = 60;
    if (int rc = ResolveHostOptions("status", a->host, false, &target, &timeout)) return rc;
    return ShowStatus(target, timeout, a->json);
  };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"status", "show the workers of the monitors of the running host", DefineStatus});

}  // namespace krsoap::tool
