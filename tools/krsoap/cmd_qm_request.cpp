// "krsoap qm request": sends one request envelope over a queue the way the
// client connector does (a request message of format "KRSTR   " naming a
// temporary dynamic reply-to queue made from SYSTEM.DEFAULT.MODEL.QUEUE and
// the reply-to queue manager), waits for the reply whose correlation id is
// the request's message id, and prints it. A reply that is a SOAP fault is
// printed too, with a non-zero exit status, as "krsoap call" does. For
// demonstrations, tests, and operators checking a service. Reached through
// "krsoap qm request".
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/queue/krqueue.h"
#include "platform/queue/queue_api.h"
#include "platform/queue/store.h"
#include "platform/xml/xml_parse.h"
#include "tools/krsoap/command.h"

namespace krsoap::tool {

namespace q = krsoap::queue;

namespace {

constexpr size_t kMaxEnvelope = 4 * 1024 * 1024;
constexpr KRLONG kReplyBuffer = 4 * 1024 * 1024;
constexpr const char* kModelQueue = "SYSTEM.DEFAULT.MODEL.QUEUE";

constexpr char kRequestAbout[] =
    "Puts the envelope read from standard input on QUEUE of QM as a request\n"
    "message (format KRSTR) with a temporary dynamic reply-to queue, waits for\n"
    "the correlated reply and prints it. The request expires after --expiry\n"
    "(default the wait; 0 or a wait of -1: never), so no host serves it once\n"
    "nobody waits. An empty envelope is refused.\n"
    "Exit status: 0 reply printed, 1 the reply is a SOAP fault (printed as any\n"
    "reply) or the request failed (reason printed), 2 bad usage.\n";

int RequestFail(const char* what, KRLONG rc) {
  std::fprintf(stderr, "krsoap qm request: %s: reason %d (%s)\n", what, static_cast<int>(rc), KRReasonText(rc));
  return 1;
}

int RequestUsage(const char* msg) { return UsageError("qm request", msg); }

struct RequestArgs {
  std::string qm, queue, reply_qm, wait, expiry;
  bool has_reply_qm = false;
};

// Pads or cuts `name` to a blank-padded record field of `width` bytes.
void BlankField(const std::string& name, char* field, size_t width) {
  std::memset(field, ' ', width);
  std::memcpy(field, name.data(), std::min(name.size(), width));
}

std::string TrimField(const char* field, size_t width) {
  size_t n = 0;
  while (n < width && field[n] != '\0') ++n;
  while (n > 0 && field[n - 1] == ' ') --n;
  return std::string(field, n);
}

// True when `reply` is a SOAP envelope whose Body holds a Fault (in the
// envelope's namespace, SOAP 1.1 or 1.2 alike).
bool IsFault(const char* reply, size_t length) {
  krsoap::xml::ParseError error;
  bool declaration = false;
  xmlDocPtr doc = krsoap::xml::ParseDocument(reinterpret_cast<const uint8_t*>(reply), length, &error, &declaration);
  if (!doc) return false;
  auto element = [](const xmlNode* n, const char* local, const xmlChar* ns) {
    return n && n->type == XML_ELEMENT_NODE && n->ns && xmlStrEqual(n->name, BAD_CAST local) &&
           (!ns || xmlStrEqual(n->ns->href, ns));
  };
  auto first_element = [](const xmlNode* n) {
    while (n && n->type != XML_ELEMENT_NODE) n = n->next;
    return n;
  };
  bool fault = false;
  const xmlNode* envelope = xmlDocGetRootElement(doc);
  if (element(envelope, "Envelope", nullptr)) {
    const xmlChar* ns = envelope->ns->href;
    for (const xmlNode* c = envelope->children; c; c = c->next) {
      if (element(c, "Body", ns)) {
        fault = element(first_element(c->children), "Fault", ns);
        break;
      }
    }
  }
  xmlFreeDoc(doc);
  return fault;
}

// Everything opened for one request; closed in reverse on destruction.
struct Session {
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRHOBJ request = KRHO_UNUSABLE_HOBJ;
  KRHOBJ reply = KRHO_UNUSABLE_HOBJ;
  bool connected = false;
  ~Session() {
    KRLONG cc = 0, rc = 0;
    if (reply != KRHO_UNUSABLE_HOBJ) q::api::Close(hconn, &reply, KRCO_NONE, &cc, &rc);
    if (request != KRHO_UNUSABLE_HOBJ) q::api::Close(hconn, &request, KRCO_NONE, &cc, &rc);
    if (connected) q::api::Disc(&hconn, &cc, &rc);
  }
};

}  // namespace

namespace {

// A number of milliseconds from `lo` to INT32_MAX, or false.
bool ParseMs(const std::string& text, long lo, KRLONG* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || v < lo || v > INT32_MAX) return false;
  *out = static_cast<KRLONG>(v);
  return true;
}

int RunQmRequest(const RequestArgs& a) {
  std::vector<std::string> positional = {a.qm, a.queue};
  std::string reply_qm = a.reply_qm;
  const bool has_reply_qm = a.has_reply_qm;
  KRLONG wait_ms = 15000;
  KRLONG expiry_ms = -2;  // not given: the wait
  if (!a.wait.empty() && !ParseMs(a.wait, -1, &wait_ms)) return RequestUsage("bad --wait");
  if (!a.expiry.empty() && !ParseMs(a.expiry, 0, &expiry_ms)) return RequestUsage("bad --expiry");
  const std::string qm = positional[0] == "-" ? std::string() : positional[0];
  const std::string& queue = positional[1];
  if (!has_reply_qm) reply_qm = qm;
  if (reply_qm == "-") reply_qm.clear();
  if (qm.size() > KR_Q_MGR_NAME_LENGTH || queue.size() > KR_Q_NAME_LENGTH || reply_qm.size() > KR_Q_MGR_NAME_LENGTH)
    return RequestFail("request", KRRC_NAME_TOO_LONG);

  std::string body;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) {
    body.append(buf, n);
    if (body.size() > kMaxEnvelope) return RequestFail("request", KRRC_MSG_TOO_BIG_FOR_Q);
  }
  if (body.find_first_not_of(" \t\r\n") == std::string::npos)
    return RequestUsage("standard input is empty: give the request envelope there");

  Session s;
  KRLONG cc = 0, rc = 0;
  q::api::Conn(qm.c_str(), &s.hconn, &cc, &rc);
  if (cc != 0) return RequestFail("connect", rc);
  s.connected = true;

  KROD od = KROD_DEFAULT;
  std::memset(od.ObjectName, 0, sizeof od.ObjectName);
  std::memcpy(od.ObjectName, queue.data(), queue.size());
  q::api::Open(s.hconn, &od, KROO_OUTPUT | KROO_FAIL_IF_QUIESCING, &s.request, &cc, &rc);
  if (cc != 0) {
    s.request = KRHO_UNUSABLE_HOBJ;
    return RequestFail("open of the request queue", rc);
  }

  KROD rod = KROD_DEFAULT;
  std::memset(rod.ObjectName, 0, sizeof rod.ObjectName);
  std::memcpy(rod.ObjectName, kModelQueue, std::strlen(kModelQueue));
  std::memset(rod.DynamicQName, 0, sizeof rod.DynamicQName);
  rod.DynamicQName[0] = '*';
  q::api::Open(s.hconn, &rod, KROO_INPUT_AS_Q_DEF | KROO_FAIL_IF_QUIESCING, &s.reply, &cc, &rc);
  if (cc != 0) {
    s.reply = KRHO_UNUSABLE_HOBJ;
    return RequestFail("open of the reply-to queue", rc);
  }
  const std::string reply_queue = TrimField(rod.ObjectName, KR_Q_NAME_LENGTH);

  KRMD md = KRMD_DEFAULT;
  md.MsgType = KRMT_REQUEST;
  std::memcpy(md.Format, KRFMT_STRING, KR_FORMAT_LENGTH);
  BlankField(reply_queue, md.ReplyToQ, KR_Q_NAME_LENGTH);
  BlankField(reply_qm, md.ReplyToQMgr, KR_Q_MGR_NAME_LENGTH);
  // In tenths of a second, rounded up.
  const KRLONG expiry = expiry_ms == -2 ? wait_ms : expiry_ms;
  if (expiry > 0) md.Expiry = static_cast<KRLONG>((static_cast<int64_t>(expiry) + 99) / 100);
  KRPMO pmo = KRPMO_DEFAULT;
  q::api::Put(s.hconn, s.request, &md, &pmo, static_cast<KRLONG>(body.size()), body.data(), &cc, &rc);
  if (cc != 0) return RequestFail("put", rc);

  KRMD gmd = KRMD_DEFAULT;
  std::memcpy(gmd.CorrelId, md.MsgId, KR_CORREL_ID_LENGTH);
  KRGMO gmo = KRGMO_DEFAULT;
  gmo.Options = KRGMO_WAIT | KRGMO_CONVERT;
  gmo.WaitInterval = wait_ms;
  std::vector<char> reply(static_cast<size_t>(kReplyBuffer));
  KRLONG length = 0;
  q::api::Get(s.hconn, s.reply, &gmd, &gmo, kReplyBuffer, reply.data(), &length, &cc, &rc);
  if (cc != 0) return RequestFail("get of the reply", rc);
  std::fwrite(reply.data(), 1, static_cast<size_t>(length), stdout);
  if (length > 0 && reply[static_cast<size_t>(length) - 1] != '\n') std::fputc('\n', stdout);
  return IsFault(reply.data(), static_cast<size_t>(length)) ? 1 : 0;
}

}  // namespace

Runner DefineQmRequest(CLI::App& verb) {
  auto a = std::make_shared<RequestArgs>();
  verb.add_option("QM", a->qm, "queue manager name; \"\" or \"-\" is the default one")->required();
  verb.add_option("QUEUE", a->queue, "the request queue")->required();
  CLI::Option* reply_qm =
      verb.add_option("--reply-qm", a->reply_qm, "the reply-to queue manager (default QM)")->type_name("QM");
  verb.add_option("--wait", a->wait, "wait up to MS milliseconds for the reply (default 15000; -1: for ever)")
      ->type_name("MS");
  verb.add_option("--expiry", a->expiry, "the request expires after MS milliseconds")->type_name("MS");
  verb.footer(kRequestAbout);
  return [a, reply_qm] {
    a->has_reply_qm = reply_qm->count() > 0;
    return RunQmRequest(*a);
  };
}

}  // namespace krsoap::tool
