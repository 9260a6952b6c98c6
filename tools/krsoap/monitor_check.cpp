// The checks before a monitor starts (see monitor_check.h).
#include "tools/krsoap/monitor_check.h"

#include <cstring>
#include <memory>

#include "common/queue/krqueue.h"
#include "platform/com/activation.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/queue_api.h"
#include "platform/queue/store.h"
#include "platform/registry/registry.h"
#include "server/settings.h"
#include "platform/text/convert.h"
#include "tools/krsoap/host_client.h"

namespace krsoap::tool {
namespace {

namespace api = krsoap::queue::api;

std::string QueueManagerText(const std::string& name) {
  return name.empty() ? "the default queue manager" : "queue manager " + name;
}

std::string Reason(KRLONG reason) {
  return "reason " + std::to_string(reason) + " (" + KRReasonText(reason) + ")";
}

// Opens the queue as the monitor thread will: connect, open for browsing.
std::string CheckQueue(const MonitorConfig& m) {
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRLONG cc = 0, reason = 0;
  api::Conn(m.queue_manager.c_str(), &hconn, &cc, &reason);
  if (reason != 0) {
    std::string text = "cannot connect to " + QueueManagerText(m.queue_manager) + ": " + Reason(reason);
    if (reason == KRRC_UNKNOWN_Q_MGR)
      text += m.queue_manager.empty() ? "; make the default one: krsoap setup"
                                      : "; create it: krsoap qm create " + m.queue_manager;
    return text;
  }
  KROD od = KROD_DEFAULT;
  std::memset(od.ObjectName, 0, sizeof od.ObjectName);
  std::memcpy(od.ObjectName, m.queue.data(), std::min(m.queue.size(), sizeof od.ObjectName));
  KRHOBJ hobj = KRHO_UNUSABLE_HOBJ;
  api::Open(hconn, &od, KROO_BROWSE, &hobj, &cc, &reason);
  std::string text;
  if (reason != 0) {
    text = "cannot open queue " + m.queue + " on " + QueueManagerText(m.queue_manager) + " for browsing: " +
           Reason(reason);
    if (reason == KRRC_UNKNOWN_OBJECT_NAME)
      text += "; define it: krsoap qm define " + (m.queue_manager.empty() ? std::string("-") : m.queue_manager) +
              " " + m.queue;
    else if (reason == KRRC_NAME_NOT_VALID || reason == KRRC_NAME_TOO_LONG)
      text += "; queue names are at most 48 bytes of A-Z a-z 0-9 . _ % /";
  } else {
    KRLONG cc2 = 0, reason2 = 0;
    api::Close(hconn, &hobj, KRCO_NONE, &cc2, &reason2);
  }
  KRLONG cc2 = 0, reason2 = 0;
  api::Disc(&hconn, &cc2, &reason2);
  return text;
}

// The ProgID (or braced CLSID) names a class with an in-process server.
std::string CheckProgId(const MonitorConfig& m) {
  if (m.progid.empty()) return "";  // the built-in invoker
  const std::u16string progid = krsoap::platform::Utf8ToUtf16(m.progid);
  CLSID clsid{};
  HRESULT hr = CLSIDFromString(progid.c_str(), &clsid);
  if (SUCCEEDED(hr)) {
    // As activation finds it: the class's in-process server.
    krsoap::com::ClassRegistration registration;
    if (SUCCEEDED(krsoap::com::QueryClassRegistration(clsid, &registration)) &&
        !registration.inproc_server.empty())
      return "";
    hr = REGDB_E_CLASSNOTREG;
  }
  return "progid " + m.progid + " names no registered class: " + DescribeHr(hr) +
         "; register the module that serves it: krsoap register MODULE.so";
}

}  // namespace

std::string PrepareBackoutQueue(const MonitorConfig& m) {
  namespace q = krsoap::queue;
  DWORD unit_of_work = 0;
  if (!krsoap::platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, krsoap::halvex::kServerKey, u"UnitOfWork",
                                           &unit_of_work) ||
      unit_of_work == 0)
    return "";
  q::QmDefinition def;
  std::unique_ptr<q::Store> store;
  q::QueueAttributes request;
  // A queue manager or queue that does not open is CheckQueue's to report.
  if (q::ResolveQm(m.queue_manager, &def) || q::OpenStore(def, false, &store) ||
      store->LookupQueue(m.queue, &request) || !request.backout_queue.empty())
    return "";
  const std::string name = m.queue + ".BACKOUT";
  q::QueueAttributes existing;
  if (name.size() > KR_Q_NAME_LENGTH || store->LookupQueue(name, &existing) == 0) return "";
  q::QueueAttributes backout = request;
  backout.name = name;
  backout.kind = q::QueueKind::kLocal;
  backout.backout_queue.clear();
  backout.backout_threshold = 0;
  backout.get_inhibited = backout.put_inhibited = false;
  return store->DefineQueue(backout, false) == 0 ? name : "";
}

std::vector<std::string> CheckMonitorCanServe(const MonitorConfig& monitor) {
  std::vector<std::string> causes;
  for (std::string cause : {CheckProgId(monitor), CheckQueue(monitor)})
    if (!cause.empty()) causes.push_back(cause);
  return causes;
}

}  // namespace krsoap::tool
