// client_core_bench: the pieces of one call through corvel's queue
// connector, each beside its floor.
//
//   (a) KRStream, made through COM: a 2 kB Write and the Read that drains it
//   (b) one exchange on a connected KRServerConnector (request written into
//       its stream, EndMessage, reply read back) against an echo responder
//       process, beside a bare KRPUT + KRGET round trip of the same bytes
//       through the same responder from plain queue calls with a temporary
//       dynamic reply queue
//   (c) the first exchange of a new connector: create, EndPointURL, connect,
//       open the request queue and a temporary dynamic reply queue, exchange
//   (d) the XML DOM work EndMessage does to patch the request: DOMDocument
//       load from the stream and save back into it, 2 kB envelope
//
// The echo responder is a separate process: it takes each request off the
// request queue and puts it back, unchanged, on the request's reply-to queue
// with the request's message id as correlation id. Runs in a throwaway data
// root with tracing off; prints its figures with the goals beside them.
//
//   client_core_bench [--seconds S]    (S: time per timed figure, default 1)
//
// The round trips depend on where the scheduler puts the two processes: on a
// virtual machine whose other CPU is idle, each wake-up across CPUs can cost
// tens of microseconds. "taskset -c 0 client_core_bench" (the responder
// inherits the CPU) gives the figures without that.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/support/process_load.h"
#include "common/queue/krqueue.h"
#include "corvel.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/com.h"
#include "platform/com/stream.h"
#include "soaptoolkit.h"
#include "tests/support/calculator_home.h"
#include "xmldom.h"

namespace {

using krsoap::bench::LoadAverage;
using krsoap::bench::NowNs;

constexpr const char* kQm = "CORE.QM";
constexpr const char* kEchoQueue = "ECHO.REQUEST";
constexpr const char* kModelQueue = "SYSTEM.DEFAULT.MODEL.QUEUE";
constexpr const char16_t* kEndPoint = u"krs:ECHO.REQUEST@";
constexpr size_t kEnvelopeBytes = 2048;
constexpr ULONG kBufferBytes = 4096;
constexpr int kWarmup = 20;          // first-exchange loops
constexpr size_t kMinSamples = 50;   // however slow the machine

using Clock = std::chrono::steady_clock;


// A SOAP envelope of exactly `bytes` bytes without a Header, as the toolkit
// writes a request.
std::string Envelope(size_t bytes) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">"
      "<SOAP-ENV:Body><m:Echo xmlns:m=\"urn:krsoap-bench\">";
  const std::string tail = "</m:Echo></SOAP-ENV:Body></SOAP-ENV:Envelope>";
  std::string body;
  for (int i = 0;; ++i) {
    const std::string item = "<m:item" + std::to_string(i) + " xsi:type=\"xsd:string\">value " + std::to_string(i) +
                             "</m:item" + std::to_string(i) + ">";
    if (head.size() + body.size() + item.size() + tail.size() > bytes) break;
    body += item;
  }
  const size_t pad = bytes - head.size() - body.size() - tail.size();
  if (pad >= 16) body += "<m:pad>" + std::string(pad - 15, 'x') + "</m:pad>";
  std::string text = head + body + tail;
  while (text.size() < bytes) text.insert(text.size() - tail.size(), " ");
  return text;
}

// A name field without its trailing blanks and zeros.
std::string FieldName(const KRCHAR* field, size_t width) {
  size_t n = ::strnlen(field, width);
  while (n > 0 && field[n - 1] == ' ') --n;
  return std::string(field, n);
}

void SetField(KRCHAR* field, size_t width, const std::string& name) {
  std::memset(field, 0, width);
  std::memcpy(field, name.data(), std::min(name.size(), width));
}

// ---- The echo responder (a child process) ------------------------------------------

// Answers every request on the echo queue with its own bytes until it gets
// "STOP" (or its parent is gone). The reply-to queue of the latest request
// stays open, since the measured exchanges come from one queue at a time.
int EchoResponder() {
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRLONG cc = 0, rc = 0;
  KRCONN("", &hconn, &cc, &rc);
  if (rc != KRRC_NONE) return 1;
  KROD od = KROD_DEFAULT;
  SetField(od.ObjectName, KR_Q_NAME_LENGTH, kEchoQueue);
  KRHOBJ in = KRHO_UNUSABLE_HOBJ;
  KROPEN(hconn, &od, KROO_INPUT_AS_Q_DEF, &in, &cc, &rc);
  if (rc != KRRC_NONE) return 1;
  std::string current;
  KRHOBJ out = KRHO_UNUSABLE_HOBJ;
  auto open_reply = [&](const std::string& queue, const std::string& qmgr) {
    if (out != KRHO_UNUSABLE_HOBJ) KRCLOSE(hconn, &out, KRCO_NONE, &cc, &rc);
    out = KRHO_UNUSABLE_HOBJ;
    KROD rod = KROD_DEFAULT;
    SetField(rod.ObjectName, KR_Q_NAME_LENGTH, queue);
    SetField(rod.ObjectQMgrName, KR_Q_MGR_NAME_LENGTH, qmgr);
    KROPEN(hconn, &rod, KROO_OUTPUT, &out, &cc, &rc);
    current = rc == KRRC_NONE ? queue : std::string();
  };
  std::vector<char> buffer(1 << 16);
  for (;;) {
    KRMD md = KRMD_DEFAULT;
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_WAIT;
    gmo.WaitInterval = 1000;
    KRLONG length = 0;
    KRGET(hconn, in, &md, &gmo, static_cast<KRLONG>(buffer.size()), buffer.data(), &length, &cc, &rc);
    if (rc == KRRC_NO_MSG_AVAILABLE) {
      if (::getppid() == 1) break;
      continue;
    }
    if (rc != KRRC_NONE) return 1;
    if (length == 4 && std::memcmp(buffer.data(), "STOP", 4) == 0) break;
    const std::string reply_to = FieldName(md.ReplyToQ, KR_Q_NAME_LENGTH);
    const std::string reply_qmgr = FieldName(md.ReplyToQMgr, KR_Q_MGR_NAME_LENGTH);
    if (reply_to != current) open_reply(reply_to, reply_qmgr);
    for (int attempt = 0; attempt < 2; ++attempt) {
      KRMD reply = KRMD_DEFAULT;
      reply.MsgType = KRMT_REPLY;
      std::memcpy(reply.Format, md.Format, KR_FORMAT_LENGTH);
      std::memcpy(reply.CorrelId, md.MsgId, KR_CORREL_ID_LENGTH);
      KRPMO pmo = KRPMO_DEFAULT;
      KRPUT(hconn, out, &reply, &pmo, length, buffer.data(), &cc, &rc);
      if (rc == KRRC_NONE) break;
      open_reply(reply_to, reply_qmgr);  // the queue went and came back under the same name
    }
  }
  KRDISC(&hconn, &cc, &rc);
  return 0;
}

void StopResponder(pid_t pid) {
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRLONG cc = 0, rc = 0;
  KRCONN("", &hconn, &cc, &rc);
  KROD od = KROD_DEFAULT;
  SetField(od.ObjectName, KR_Q_NAME_LENGTH, kEchoQueue);
  KRHOBJ h = KRHO_UNUSABLE_HOBJ;
  KROPEN(hconn, &od, KROO_OUTPUT, &h, &cc, &rc);
  KRMD md = KRMD_DEFAULT;
  KRPMO pmo = KRPMO_DEFAULT;
  KRPUT(hconn, h, &md, &pmo, 4, const_cast<char*>("STOP"), &cc, &rc);
  KRDISC(&hconn, &cc, &rc);
  for (int i = 0; i < 300; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// ---- Figures -------------------------------------------------------------------

struct Stats {
  double p50_us = 0, p99_us = 0, per_s = 0;
  size_t n = 0;
};

Stats Summarise(std::vector<int64_t> ns, double seconds) {
  Stats s;
  s.n = ns.size();
  if (ns.empty()) return s;
  std::sort(ns.begin(), ns.end());
  s.p50_us = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
  s.p99_us = static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1000.0;
  s.per_s = seconds > 0 ? static_cast<double>(ns.size()) / seconds : 0;
  return s;
}

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

int64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}


// ---- Through COM -----------------------------------------------------------------

template <class T>
struct Ptr {
  T* p = nullptr;
  Ptr() = default;
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  ~Ptr() { Reset(); }
  void Reset() {
    if (p) p->Release();
    p = nullptr;
  }
  void** Void() {
    Reset();
    return reinterpret_cast<void**>(&p);
  }
  T** Out() {
    Reset();
    return &p;
  }
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

VARIANT UnknownArg(IUnknown* unknown) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = unknown;  // borrowed for the call
  return v;
}

HRESULT PutText(ISoapConnector* connector, const char16_t* name, const std::u16string& value) {
  krsoap::com::BstrPtr n{std::u16string_view(name)};
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = krsoap::com::AllocBstr(value);
  HRESULT hr = connector->put_Property(n.get(), v);
  VariantClear(&v);
  return hr;
}

// Drains a stream into `out` (up to kBufferBytes); the byte count.
size_t Drain(IStream* stream, char* out) {
  size_t n = 0;
  for (;;) {
    ULONG got = 0;
    HRESULT hr = stream->Read(out + n, kBufferBytes - static_cast<ULONG>(n), &got);
    n += got;
    if (hr != S_OK || got == 0 || n >= kBufferBytes) return n;
  }
}

// One exchange as the toolkit makes it: the request into OutputStream,
// EndMessage, the reply out of InputStream. The reply's length, 0 on failure.
size_t Exchange(ISoapConnector* connector, const std::string& request, char* reply) {
  {
    Ptr<IUnknown> out;
    Ptr<IStream> stream;
    if (FAILED(connector->get_OutputStream(out.Out())) || !out ||
        FAILED(out->QueryInterface(IID_IStream, stream.Void()))) {
      return 0;
    }
    ULONG written = 0;
    stream->Write(request.data(), static_cast<ULONG>(request.size()), &written);
  }
  if (FAILED(connector->EndMessage())) return 0;
  Ptr<IUnknown> in;
  Ptr<IStream> stream;
  if (FAILED(connector->get_InputStream(in.Out())) || !in || FAILED(in->QueryInterface(IID_IStream, stream.Void()))) {
    return 0;
  }
  return Drain(stream.p, reply);
}

HRESULT NewConnector(Ptr<ISoapConnector>* connector) {
  HRESULT hr = CoCreateInstance(CLSID_KRServerConnector, nullptr, CLSCTX_INPROC_SERVER, IID_ISoapConnector,
                                connector->Void());
  if (SUCCEEDED(hr)) hr = PutText(connector->p, u"EndPointURL", kEndPoint);
  if (SUCCEEDED(hr)) hr = PutText(connector->p, u"SoapAction", u"urn:krsoap-bench#Echo");
  return hr;
}

// ---- Bare queue calls ------------------------------------------------------------

// A requester of its own: connection, request queue, temporary dynamic reply
// queue, as the connector holds them.
struct BareRequester {
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRHOBJ request = KRHO_UNUSABLE_HOBJ;
  KRHOBJ reply = KRHO_UNUSABLE_HOBJ;
  KRCHAR reply_name[KR_Q_NAME_LENGTH];

  bool Open() {
    KRLONG cc = 0, rc = 0;
    KRCONN("", &hconn, &cc, &rc);
    if (rc != KRRC_NONE) return false;
    KROD od = KROD_DEFAULT;
    SetField(od.ObjectName, KR_Q_NAME_LENGTH, kEchoQueue);
    KROPEN(hconn, &od, KROO_OUTPUT | KROO_FAIL_IF_QUIESCING, &request, &cc, &rc);
    if (rc != KRRC_NONE) return false;
    KROD rod = KROD_DEFAULT;
    SetField(rod.ObjectName, KR_Q_NAME_LENGTH, kModelQueue);
    SetField(rod.DynamicQName, KR_Q_NAME_LENGTH, "*");
    KROPEN(hconn, &rod, KROO_INPUT_AS_Q_DEF | KROO_FAIL_IF_QUIESCING, &reply, &cc, &rc);
    if (rc != KRRC_NONE) return false;
    std::memset(reply_name, ' ', sizeof reply_name);
    const std::string name = FieldName(rod.ObjectName, KR_Q_NAME_LENGTH);
    std::memcpy(reply_name, name.data(), name.size());
    return true;
  }
  // The put of `body` and the get of its reply into `out`; the reply's
  // length, 0 on failure.
  size_t RoundTrip(const std::string& body, char* out) {
    KRMD md = KRMD_DEFAULT;
    md.MsgType = KRMT_REQUEST;
    std::memcpy(md.Format, KRFMT_STRING, KR_FORMAT_LENGTH);
    std::memcpy(md.ReplyToQ, reply_name, KR_Q_NAME_LENGTH);
    std::memset(md.ReplyToQMgr, ' ', KR_Q_MGR_NAME_LENGTH);
    KRPMO pmo = KRPMO_DEFAULT;
    KRLONG cc = 0, rc = 0;
    KRPUT(hconn, request, &md, &pmo, static_cast<KRLONG>(body.size()), const_cast<char*>(body.data()), &cc, &rc);
    if (rc != KRRC_NONE) return 0;
    KRMD got = KRMD_DEFAULT;
    std::memcpy(got.CorrelId, md.MsgId, KR_CORREL_ID_LENGTH);
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_WAIT | KRGMO_CONVERT;
    gmo.WaitInterval = 15000;
    KRLONG length = 0;
    KRGET(hconn, reply, &got, &gmo, static_cast<KRLONG>(kBufferBytes - 1), out, &length, &cc, &rc);
    return rc == KRRC_NONE ? static_cast<size_t>(length) : 0;
  }
  void Close() {
    KRLONG cc = 0, rc = 0;
    if (reply != KRHO_UNUSABLE_HOBJ) KRCLOSE(hconn, &reply, KRCO_NONE, &cc, &rc);
    if (request != KRHO_UNUSABLE_HOBJ) KRCLOSE(hconn, &request, KRCO_NONE, &cc, &rc);
    if (hconn != KRHC_UNUSABLE_HCONN) KRDISC(&hconn, &cc, &rc);
    reply = request = KRHO_UNUSABLE_HOBJ;
    hconn = KRHC_UNUSABLE_HCONN;
  }
};

// ---- (a) the stream --------------------------------------------------------------

bool StreamFigures(double seconds) {
  Ptr<IStream> stream;
  HRESULT hr = CoCreateInstance(CLSID_KRStream, nullptr, CLSCTX_INPROC_SERVER, IID_IStream, stream.Void());
  if (FAILED(hr)) {
    std::fprintf(stderr, "client_core_bench: cannot create KRStream (0x%08X)\n", static_cast<unsigned>(hr));
    return false;
  }
  const std::string data(kEnvelopeBytes, 'k');
  char out[kBufferBytes];
  auto pair = [&] {
    ULONG n = 0;
    stream->Write(data.data(), static_cast<ULONG>(data.size()), &n);
    stream->Read(out, kBufferBytes, &n);
    return n;
  };
  for (int i = 0; i < 10000; ++i) pair();
  // Batches of 1,000 pairs, the median batch.
  std::vector<double> per_pair;
  const int64_t until = NowNs() + static_cast<int64_t>(seconds * 0.5e9);
  unsigned long check = 0;
  while (NowNs() < until || per_pair.size() < 5) {
    const int64_t t0 = NowNs();
    for (int i = 0; i < 1000; ++i) check += pair();
    per_pair.push_back(static_cast<double>(NowNs() - t0) / 1000.0 / 1000.0);
  }
  std::sort(per_pair.begin(), per_pair.end());
  // Each half alone: timestamps around every call (adds the clock's own cost).
  std::vector<int64_t> writes, reads;
  for (int i = 0; i < 50000; ++i) {
    ULONG n = 0;
    const int64_t t0 = NowNs();
    stream->Write(data.data(), static_cast<ULONG>(data.size()), &n);
    const int64_t t1 = NowNs();
    stream->Read(out, kBufferBytes, &n);
    const int64_t t2 = NowNs();
    writes.push_back(t1 - t0);
    reads.push_back(t2 - t1);
  }
  const Stats w = Summarise(writes, 0), r = Summarise(reads, 0);
  const double p50 = per_pair[per_pair.size() / 2];
  std::printf("(a) KRStream 2 kB Write + Read (drains, frees)   %7.3f us per pair (best batch %.3f)   goal <= 1 us: %s\n",
              p50, per_pair.front(), Verdict(p50 <= 1.0));
  std::printf("    each alone, timed one by one: Write p50 %.3f us, Read p50 %.3f us   (%lu bytes read per pair)\n",
              w.p50_us, r.p50_us, static_cast<unsigned long>(check / (per_pair.size() * 1000)));
  return true;
}

// ---- (b) exchange on a connected connector beside bare calls -----------------------------

struct ExchangeResult {
  Stats connector, bare;
};

bool ExchangeFigures(ISoapConnector* connector, const std::string& request, double seconds, std::string* patched,
                     ExchangeResult* result) {
  char reply[kBufferBytes];
  for (int i = 0; i < 300; ++i) {
    if (!Exchange(connector, request, reply)) {
      std::fprintf(stderr, "client_core_bench: the connector's exchange failed\n");
      return false;
    }
  }
  const size_t length = Exchange(connector, request, reply);
  *patched = std::string(reply, length);
  if (patched->find("SoapAction>urn:krsoap-bench#Echo<") == std::string::npos) {
    std::fprintf(stderr, "client_core_bench: the echoed request carries no SoapAction element\n");
    return false;
  }
  BareRequester bare;
  if (!bare.Open()) {
    std::fprintf(stderr, "client_core_bench: the bare requester could not open its queues\n");
    return false;
  }
  for (int i = 0; i < 300; ++i) {
    if (bare.RoundTrip(*patched, reply) != patched->size()) {
      std::fprintf(stderr, "client_core_bench: the bare round trip failed\n");
      return false;
    }
  }
  // Alternating slices, so that both sides see the same machine.
  constexpr int kSlices = 8;
  std::vector<int64_t> conn_ns, bare_ns;
  double conn_s = 0, bare_s = 0;
  int64_t cpu_ns[2] = {0, 0};
  for (int slice = 0; slice < kSlices; ++slice) {
    for (int side = 0; side < 2; ++side) {
      const int64_t start = NowNs(), until = start + static_cast<int64_t>(seconds * 1e9 / kSlices);
      const int64_t cpu0 = ThreadCpuNs();
      int64_t t = start;
      while (t < until) {
        const size_t got = side == 0 ? Exchange(connector, request, reply) : bare.RoundTrip(*patched, reply);
        const int64_t t1 = NowNs();
        if (got != patched->size()) {
          std::fprintf(stderr, "client_core_bench: a measured exchange failed\n");
          return false;
        }
        (side == 0 ? conn_ns : bare_ns).push_back(t1 - t);
        t = t1;
      }
      (side == 0 ? conn_s : bare_s) += static_cast<double>(t - start) / 1e9;
      cpu_ns[side] += ThreadCpuNs() - cpu0;
    }
  }
  bare.Close();
  result->connector = Summarise(conn_ns, conn_s);
  result->bare = Summarise(bare_ns, bare_s);
  const double ratio = result->bare.p50_us > 0 ? result->connector.p50_us / result->bare.p50_us : 0;
  std::printf("(b) exchange on a connected connector, %zu-byte request (%zu on the queue) against an echo process\n",
              request.size(), patched->size());
  std::printf("    connector  p50 %7.1f us  p99 %7.1f us  %7.0f exchanges/s\n", result->connector.p50_us,
              result->connector.p99_us, result->connector.per_s);
  std::printf("    bare calls p50 %7.1f us  p99 %7.1f us  %7.0f round trips/s\n", result->bare.p50_us,
              result->bare.p99_us, result->bare.per_s);
  std::printf("    ratio connector/bare p50 %.2f (p99 %.2f, per second %.2f)   goal <= 1.10: %s\n", ratio,
              result->bare.p99_us > 0 ? result->connector.p99_us / result->bare.p99_us : 0,
              result->bare.per_s > 0 ? result->connector.per_s / result->bare.per_s : 0, Verdict(ratio <= 1.10));
  const double conn_cpu = conn_ns.empty() ? 0 : static_cast<double>(cpu_ns[0]) / 1000.0 / conn_ns.size();
  const double bare_cpu = bare_ns.empty() ? 0 : static_cast<double>(cpu_ns[1]) / 1000.0 / bare_ns.size();
  std::printf("    the connector's own share: p50 difference %.1f us per exchange; this thread's CPU per exchange "
              "%.1f us (connector) vs %.1f us (bare)\n",
              result->connector.p50_us - result->bare.p50_us, conn_cpu, bare_cpu);
  return true;
}

// ---- (c) the first exchange of a new connector ---------------------------------------

bool FirstExchangeFigures(const std::string& request, const std::string& patched, double seconds, bool others_alive) {
  char reply[kBufferBytes];
  std::vector<int64_t> first, release;
  int64_t until = 0;
  for (int i = 0; i < kWarmup || ((NowNs() < until || first.size() < kMinSamples) && first.size() < 20000); ++i) {
    if (i == kWarmup) until = NowNs() + static_cast<int64_t>(seconds * 1e9);
    const int64_t t0 = NowNs();
    Ptr<ISoapConnector> connector;
    if (FAILED(NewConnector(&connector)) || Exchange(connector.p, request, reply) != patched.size()) {
      std::fprintf(stderr, "client_core_bench: a new connector's first exchange failed\n");
      return false;
    }
    const int64_t t1 = NowNs();
    connector.Reset();
    const int64_t t2 = NowNs();
    if (i < kWarmup) continue;
    first.push_back(t1 - t0);
    release.push_back(t2 - t1);
  }
  const Stats f = Summarise(first, 0), r = Summarise(release, 0);
  if (others_alive) {
    std::printf("(c) new connector: create + EndPointURL + connect + open queues (temporary reply queue) + exchange,\n"
                "    another connector of the process alive (bindings library stays loaded), %zu samples\n", f.n);
    std::printf("    first exchange p50 %7.1f us  p99 %7.1f us   goal p50 <= 100 us: %s\n", f.p50_us, f.p99_us,
                Verdict(f.p50_us <= 100));
  } else {
    std::printf("    the same with no other connector alive (the bindings library is loaded and freed each time),\n"
                "    %zu samples: first exchange p50 %7.1f us  p99 %7.1f us\n", f.n, f.p50_us, f.p99_us);
  }
  std::printf("    release (closes both queues, disconnects) p50 %7.1f us  p99 %7.1f us\n", r.p50_us, r.p99_us);
  return true;
}

// The same steps in bare queue calls, for scale.
void BareFirstExchangeFigures(const std::string& patched, double seconds) {
  char reply[kBufferBytes];
  std::vector<int64_t> first, release;
  int64_t until = 0;
  for (int i = 0; i < kWarmup || ((NowNs() < until || first.size() < kMinSamples) && first.size() < 20000); ++i) {
    if (i == kWarmup) until = NowNs() + static_cast<int64_t>(seconds * 1e9);
    BareRequester bare;
    const int64_t t0 = NowNs();
    if (!bare.Open() || bare.RoundTrip(patched, reply) != patched.size()) {
      std::fprintf(stderr, "client_core_bench: a bare first exchange failed\n");
      return;
    }
    const int64_t t1 = NowNs();
    bare.Close();
    const int64_t t2 = NowNs();
    if (i < kWarmup) continue;
    first.push_back(t1 - t0);
    release.push_back(t2 - t1);
  }
  const Stats f = Summarise(first, 0), r = Summarise(release, 0);
  std::printf("    bare calls, same steps: connect + 2 opens + round trip p50 %7.1f us, close + close + disconnect "
              "p50 %.1f us\n", f.p50_us, r.p50_us);
}

// ---- (d) the patch's DOM work ----------------------------------------------------------

bool DomFigures(const std::string& request, double seconds) {
  Ptr<IStream> stream;
  if (FAILED(CoCreateInstance(CLSID_KRStream, nullptr, CLSCTX_INPROC_SERVER, IID_IStream, stream.Void()))) return false;
  char out[kBufferBytes];
  ULONG n = 0;
  VARIANT arg = UnknownArg(stream.p);
  // One document, loaded and saved again and again.
  Ptr<IXMLDOMDocument> document;
  if (FAILED(CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                              document.Void()))) {
    std::fprintf(stderr, "client_core_bench: cannot create DOMDocument\n");
    return false;
  }
  // Per iteration: creating the document, load, save, release (the last
  // three also on one kept document), and this thread's CPU time for all.
  std::vector<int64_t> same, fresh, create, load, save, release;
  double cpu_us = 0;
  size_t saved = 0, cpu_count = 0;
  for (int phase = 0; phase < 2; ++phase) {
    std::vector<int64_t>& samples = phase == 0 ? same : fresh;
    int64_t until = 0, cpu0 = 0;
    for (int i = 0; i < 200 || ((NowNs() < until || samples.size() < kMinSamples) && samples.size() < 200000); ++i) {
      if (i == 200) {
        until = NowNs() + static_cast<int64_t>(seconds * 0.5e9);
        cpu0 = ThreadCpuNs();
      }
      stream->Write(request.data(), static_cast<ULONG>(request.size()), &n);
      VARIANT_BOOL loaded = VARIANT_FALSE;
      const int64_t t0 = NowNs();
      int64_t t_created = t0;
      if (phase == 1) {
        CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument, document.Void());
        t_created = NowNs();
      }
      HRESULT hr = document->load(arg, &loaded);
      const int64_t t_loaded = NowNs();
      if (SUCCEEDED(hr) && loaded == VARIANT_TRUE) hr = document->save(arg);
      const int64_t t_saved = NowNs();
      if (phase == 1) document.Reset();
      const int64_t t1 = NowNs();
      if (FAILED(hr) || loaded != VARIANT_TRUE) {
        std::fprintf(stderr, "client_core_bench: DOM load/save failed (0x%08X)\n", static_cast<unsigned>(hr));
        return false;
      }
      saved = Drain(stream.p, out);
      if (i < 200) continue;
      samples.push_back(t1 - t0);
      if (phase == 1) {
        create.push_back(t_created - t0);
        load.push_back(t_loaded - t_created);
        save.push_back(t_saved - t_loaded);
        release.push_back(t1 - t_saved);
      }
    }
    if (phase == 1) {
      cpu_us = static_cast<double>(ThreadCpuNs() - cpu0) / 1000.0 / static_cast<double>(samples.size());
      cpu_count = samples.size();
    }
  }
  const Stats s = Summarise(same, 0), f = Summarise(fresh, 0);
  std::printf("(d) the patch's DOM work on a %zu-byte envelope (%zu bytes saved), DOMDocument through COM\n",
              request.size(), saved);
  std::printf("    new document + load from the stream + save into it + release, as EndMessage does: p50 %6.1f us"
              "  p99 %6.1f us   goal <= 15 us: %s\n", f.p50_us, f.p99_us, Verdict(f.p50_us <= 15));
  std::printf("    parts p50: create %.1f us, load %.1f us, save %.1f us, release %.1f us; thread CPU %.1f us per "
              "iteration (%zu); load + save on one kept document p50 %.1f us\n",
              Summarise(create, 0).p50_us, Summarise(load, 0).p50_us, Summarise(save, 0).p50_us,
              Summarise(release, 0).p50_us, cpu_us, cpu_count, s.p50_us);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 1.0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      seconds = std::clamp(std::atof(argv[++i]), 0.05, 30.0);
    } else {
      std::fprintf(stderr, "usage: client_core_bench [--seconds S]\n");
      return 2;
    }
  }
  krsoap::test::BuildDirs dirs;
  if (!krsoap::test::FindBuildDirs(&dirs)) return 2;
  std::string root;
  krsoap::test::HomeExtras extras;
  extras.default_qm = true;
  extras.modules = {"libcorvel.so"};
  if (!krsoap::test::MakeCalculatorHome(dirs, "krsoap-client-core", kQm, kEchoQueue, &root, extras)) {
    std::fprintf(stderr, "client_core_bench: set-up failed in %s\n", root.c_str());
    if (!root.empty()) std::filesystem::remove_all(root);
    return 2;
  }
  std::fflush(nullptr);
  const pid_t responder = ::fork();
  if (responder == 0) ::_exit(EchoResponder());

  int rc = 0;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    const std::string request = Envelope(kEnvelopeBytes);
    std::printf("client_core_bench: corvel's KRServerConnector on the embedded queue manager, %.1f s per figure, "
                "tracing off\n", seconds);
    std::printf("load average at start: %s\n", LoadAverage().c_str());
    Ptr<ISoapConnector> connector;
    HRESULT hr = NewConnector(&connector);
    std::string patched;
    ExchangeResult exchange;
    if (FAILED(hr)) {
      std::fprintf(stderr, "client_core_bench: cannot create the connector (0x%08X)\n", static_cast<unsigned>(hr));
      rc = 1;
    } else if (!StreamFigures(seconds) || !ExchangeFigures(connector.p, request, seconds * 2, &patched, &exchange) ||
               !FirstExchangeFigures(request, patched, seconds, true)) {
      rc = 1;
    } else {
      BareFirstExchangeFigures(patched, seconds * 0.5);
      connector.Reset();
      if (!FirstExchangeFigures(request, patched, seconds * 0.5, false) || !DomFigures(request, seconds)) rc = 1;
    }
  }
  CoUninitialize();
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  StopResponder(responder);
  std::filesystem::remove_all(root);
  return rc;
}
