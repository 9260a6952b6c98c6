// A trigger class for the monitor's tests and benchmark: it records every
// creation, Execute and destruction as one line appended to a log file, and
// takes one request off the queue it is given, as a real trigger does.
//
// Its behaviour comes from the monitor's user parameter, "key=value;...":
//   log=PATH   append the record lines to PATH
//   take=0     do not take a message off the queue
//   gate=PATH  before returning, wait (up to 60 s) until PATH exists
//   fail=HEX   return this HRESULT from Execute
//   throw=1    throw a C++ exception out of Execute
//   stamp=1    the request body is the put time (CLOCK_MONOTONIC, ns): keep
//              the time from it to the start of Execute (benchmark)
// The module also exports the number of Execute calls and the kept
// latencies, for the benchmark that loads it in its own process.
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/queue/krqueue.h"
#include "halvex.h"
#include "platform/com/bstr.h"
#include "platform/com/server.h"
#include "platform/sync/thread.h"

// After the COM headers: glibc's <fcntl.h> defines LOCK_WRITE as a macro.
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<long> g_next_object{1};
std::atomic<long> g_executions{0};
std::mutex g_latency_mu;
std::vector<int64_t> g_latencies;

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string Option(const std::string& param, const std::string& key) {
  size_t pos = 0;
  while (pos <= param.size()) {
    size_t end = param.find(';', pos);
    if (end == std::string::npos) end = param.size();
    std::string item = param.substr(pos, end - pos);
    if (item.compare(0, key.size() + 1, key + "=") == 0) return item.substr(key.size() + 1);
    pos = end + 1;
  }
  return "";
}

void Record(const std::string& log, const std::string& line) {
  if (log.empty()) return;
  int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::string text = line + "\n";
  ssize_t ignored = ::write(fd, text.data(), text.size());  // one write: lines never interleave
  (void)ignored;
  ::close(fd);
}

// Takes the next message off the queue; returns its reason code.
long TakeMessage(const std::string& qm, const std::string& queue, long* length, std::string* body = nullptr) {
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRLONG cc = 0, rc = 0;
  KRCONN(qm.c_str(), &hconn, &cc, &rc);
  if (rc) return rc;
  KROD od = KROD_DEFAULT;
  std::strncpy(od.ObjectName, queue.c_str(), sizeof od.ObjectName - 1);
  KRHOBJ hobj = KRHO_UNUSABLE_HOBJ;
  KROPEN(hconn, &od, KROO_INPUT_AS_Q_DEF, &hobj, &cc, &rc);
  if (rc == 0) {
    static thread_local char buffer[1 << 16];
    KRMD md = KRMD_DEFAULT;
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_WAIT;
    gmo.WaitInterval = 5000;
    KRLONG got = 0;
    KRGET(hconn, hobj, &md, &gmo, sizeof buffer, buffer, &got, &cc, &rc);
    *length = got;
    if (body && rc == 0) body->assign(buffer, static_cast<size_t>(got));
    KRLONG cc2, rc2;
    KRCLOSE(hconn, &hobj, KRCO_NONE, &cc2, &rc2);
  }
  KRLONG cc2, rc2;
  KRDISC(&hconn, &cc2, &rc2);
  return rc;
}

class CTestTrigger : public krsoap::com::ObjectRoot, public IKRObjectTrigger {
 public:
  KR_BEGIN_INTERFACE_MAP(CTestTrigger)
    KR_INTERFACE_ENTRY(IKRObjectTrigger)
  KR_END_INTERFACE_MAP()

  ~CTestTrigger() { Record(log_, "destroy " + std::to_string(id_)); }

  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  HRESULT Execute(BSTR QueueMgr, BSTR Queue, BSTR WSDL, BSTR WSML, BSTR Param, LONG* Result) override {
    const int64_t started = MonotonicNs();
    g_executions.fetch_add(1, std::memory_order_relaxed);
    std::string param = krsoap::com::BstrToUtf8(Param);
    std::string qm = krsoap::com::BstrToUtf8(QueueMgr);
    std::string queue = krsoap::com::BstrToUtf8(Queue);
    if (log_.empty()) {
      log_ = Option(param, "log");
      Record(log_, "create " + std::to_string(id_));
    }
    Record(log_, "execute " + std::to_string(id_) + " " + std::to_string(GetCurrentThreadId()) + " " + qm +
                     "|" + queue + "|" + krsoap::com::BstrToUtf8(WSDL) + "|" + krsoap::com::BstrToUtf8(WSML));
    if (Option(param, "take") != "0") {
      long length = 0;
      std::string body;
      long rc = TakeMessage(qm, queue, &length, &body);
      Record(log_, "took " + std::to_string(rc) + " " + std::to_string(length));
      if (rc == 0 && Option(param, "stamp") == "1") {
        int64_t put = std::strtoll(body.c_str(), nullptr, 10);
        std::lock_guard<std::mutex> lock(g_latency_mu);
        g_latencies.push_back(started - put);
      }
    }
    std::string gate = Option(param, "gate");
    if (!gate.empty()) {
      for (int i = 0; i < 6000 && ::access(gate.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Record(log_, "done " + std::to_string(id_));
    if (Result) *Result = 7;
    if (Option(param, "throw") == "1") throw std::runtime_error("trigger failure");
    std::string fail = Option(param, "fail");
    if (!fail.empty()) return static_cast<HRESULT>(std::strtoul(fail.c_str(), nullptr, 16));
    return S_OK;
  }

 private:
  long id_ = g_next_object.fetch_add(1);
  std::string log_;
};

// {5C1E9F0A-7B2D-4E61-9A3C-2F8D4B6E1A07}
constexpr CLSID kClsidTestTrigger = {0x5C1E9F0A, 0x7B2D, 0x4E61, {0x9A, 0x3C, 0x2F, 0x8D, 0x4B, 0x6E, 0x1A, 0x07}};

}  // namespace

KR_BEGIN_OBJECT_MAP(kTriggerObjects)
  KR_OBJECT_ENTRY(kClsidTestTrigger, CTestTrigger, 0)
KR_END_OBJECT_MAP()

KR_SERVER_MODULE(kTriggerObjects, nullptr, nullptr)

extern "C" KR_EXPORT long KrTestTriggerExecutions() { return g_executions.load(); }

// Copies up to `max` kept latencies (ns) into `out`; returns how many.
extern "C" KR_EXPORT int KrTestTriggerLatencies(int64_t* out, int max) {
  std::lock_guard<std::mutex> lock(g_latency_mu);
  int n = 0;
  for (; n < max && n < static_cast<int>(g_latencies.size()); ++n) out[n] = g_latencies[n];
  return n;
}
