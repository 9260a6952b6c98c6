// CKRSoapHandler: properties, the get of a request (ReadMessageFromQueue),
// the IStream methods the SoapServer uses (Read, Write, Stat) and the put of
// the reply. The SOAP-action extraction lives in soap_action.cpp.
#include "server/soap_handler.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/trace/trace.h"
#include "platform/com/bstr.h"
#include "platform/text/convert.h"
#include "server/journal.h"
#include "server/monitor_counters.h"
#include "server/pool.h"
#include "server/settings.h"
#include "server/sliced_get.h"

namespace krsoap::halvex {
namespace {

using krsoap::trace::kTraceEntry;
using krsoap::trace::kTraceExit;

// A fixed-width name field of a queue-manager record: the name, then zeros to
// the field's end (no terminator when the name fills the field).
void CopyNameField(char* field, const char* name, size_t width) {
  const size_t n = ::strnlen(name, width);
  std::memcpy(field, name, n);
  std::memset(field + n, 0, width - n);
}

using krsoap::trace::TraceEntry;
using krsoap::trace::TraceExit;

std::u16string FromBstr(BSTR b) { return std::u16string(krsoap::com::BstrView(b)); }

HRESULT ReturnString(const std::u16string& value, BSTR* out) {
  if (!out) return E_POINTER;
  *out = krsoap::com::AllocBstr(value);
  return *out || value.empty() ? S_OK : E_OUTOFMEMORY;
}

// Copies a blank- or zero-padded record field into a terminated string
// without its trailing blanks.
void FieldToString(const char* field, size_t width, char* out) {
  size_t n = 0;
  while (n < width && field[n] != '\0') ++n;
  while (n > 0 && field[n - 1] == ' ') --n;
  std::memcpy(out, field, n);
  out[n] = '\0';
}

// A name for a record field; false when it does not fit (the queue manager
// takes no longer names, and cutting one would address another queue).
bool FitsName(const std::string& name) { return name.size() <= KR_Q_NAME_LENGTH; }

// Escapes text for an XML element's content.
std::string XmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      default: out += c;
    }
  }
  return out;
}

// A SOAP 1.1 fault envelope, for requests the handler answers itself.
std::string FaultEnvelope(const char* code, std::string_view text) {
  std::string s =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>"
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
      "<SOAP-ENV:Body><SOAP-ENV:Fault><faultcode>SOAP-ENV:";
  s += code;
  s += "</faultcode><faultstring>";
  s += XmlEscape(text);
  s += "</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body>";
  s += kEnvelopeEndTag;
  return s;
}

// The unit-of-work calls of the queue manager's library, found by name in
// the library that gives this module KRCONN: a library without them serves
// "UnitOfWork" as off (said once) instead of failing to load the module.
struct UnitCalls {
  KRCMIT_FN commit = nullptr;
  KRBACK_FN back_out = nullptr;
  KRINQ_FN inquire = nullptr;
};

const UnitCalls& Units() {
  static const UnitCalls calls = [] {
    UnitCalls c;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&KRCONN), &info) && info.dli_fname) {
      if (void* library = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD)) {
        c.commit = reinterpret_cast<KRCMIT_FN>(::dlsym(library, "KRCMIT"));
        c.back_out = reinterpret_cast<KRBACK_FN>(::dlsym(library, "KRBACK"));
        c.inquire = reinterpret_cast<KRINQ_FN>(::dlsym(library, "KRINQ"));
        ::dlclose(library);  // it stays loaded: this module links it
      }
    }
    if (!c.commit || !c.back_out || !c.inquire) c = UnitCalls{};
    return c;
  }();
  return calls;
}

// "UnitOfWork" as it can be served.
bool UnitOfWorkUsable() {
  if (!UnitOfWorkEnabled()) return false;
  if (Units().commit) return true;
  static std::atomic<bool> said{false};
  if (!said.exchange(true)) {
    JournalAlways("halvex", "UnitOfWork is set, but the queue manager's library has no units of work; "
                            "requests are taken without syncpoint");
  }
  return false;
}

void UnitCommit(KRHCONN hconn, KRLONG* cc, KRLONG* reason) { Units().commit(hconn, cc, reason); }
void UnitBackOut(KRHCONN hconn, KRLONG* cc, KRLONG* reason) { Units().back_out(hconn, cc, reason); }
void UnitInquire(KRHCONN hconn, KRHOBJ hobj, KRLONG count, const KRLONG* selectors, KRLONG int_count, KRLONG* ints,
           KRLONG char_length, KRCHAR* chars, KRLONG* cc, KRLONG* reason) {
  Units().inquire(hconn, hobj, count, selectors, int_count, ints, char_length, chars, cc, reason);
}

// Requests backed out before (backout count above 0) may be what killed a
// host, and every request in the host's process dies with them. So such a
// request is served alone in its process: it waits until the units of work
// already open here have ended, and no handler of the process takes a
// request while it is served. A request that kills its host then takes only
// itself to its next backout count, and the requests that happened to be in
// flight beside it the first time are answered, never moved aside with it.
struct Quarantine {
  // Held around each get under syncpoint and until the unit it opened is
  // counted: a request taken by another handler while a suspect is served
  // would die with it. Taken with a time limit (GetGate), so that a getter
  // never waits for the gate longer than its own wait for a request. Made of
  // `mu` and `changed` rather than a std::timed_mutex, whose timed lock goes
  // through pthread_mutex_clocklock, a call ThreadSanitizer does not see.
  bool get_gate_held = false;
  std::mutex mu;
  std::condition_variable changed;
  int open_units = 0;      // units of work of ordinary requests
  bool suspect = false;    // a backed-out request is being served
};
Quarantine& TheQuarantine() {
  static Quarantine q;  // the workers, its only users, end before the module goes
  return q;
}

// Before a get: waits (at most `wait_ms`) while a suspect request is served.
void WaitForNoSuspect(DWORD wait_ms) {
  Quarantine& q = TheQuarantine();
  std::unique_lock<std::mutex> lock(q.mu);
  q.changed.wait_for(lock, std::chrono::milliseconds(wait_ms), [&q] { return !q.suspect; });
}

// After a get under syncpoint: an ordinary request counts as open; a suspect
// one waits for the others to end and then holds the process alone.
void EnterUnit(bool suspect) {
  Quarantine& q = TheQuarantine();
  std::unique_lock<std::mutex> lock(q.mu);
  if (!suspect) {
    ++q.open_units;
    return;
  }
  q.changed.wait(lock, [&q] { return !q.suspect; });
  q.suspect = true;
  q.changed.wait(lock, [&q] { return q.open_units == 0; });
}

// The get gate (see Quarantine), released when the object goes.
class GetGate {
 public:
  GetGate() = default;
  GetGate(const GetGate&) = delete;
  GetGate& operator=(const GetGate&) = delete;
  ~GetGate() {
    if (!held_) return;
    Quarantine& q = TheQuarantine();
    {
      std::lock_guard<std::mutex> lock(q.mu);
      q.get_gate_held = false;
    }
    q.changed.notify_all();
  }
  // True once taken; false when another getter held it for all of `wait_ms`.
  bool Take(DWORD wait_ms) {
    Quarantine& q = TheQuarantine();
    std::unique_lock<std::mutex> lock(q.mu);
    if (!q.changed.wait_for(lock, std::chrono::milliseconds(wait_ms), [&q] { return !q.get_gate_held; }))
      return false;
    q.get_gate_held = held_ = true;
    return true;
  }

 private:
  bool held_ = false;
};

void LeaveUnit(bool suspect) {
  Quarantine& q = TheQuarantine();
  {
    std::lock_guard<std::mutex> lock(q.mu);
    if (suspect) {
      q.suspect = false;
    } else {
      --q.open_units;
    }
  }
  q.changed.notify_all();
}

std::string ReasonDescription(const char* call, LONG reason) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s failed: reason %ld (%s)", call, static_cast<long>(reason),
                KRReasonText(reason));
  return buf;
}

}  // namespace

CKRSoapHandler::CKRSoapHandler() {
  TraceEntry(u"CKRSoapHandler::ctor");
  TraceExit(u"CKRSoapHandler::ctor", 0);
}

CKRSoapHandler::~CKRSoapHandler() {
  TraceEntry(u"CKRSoapHandler::dtor");
  if (in_unit_) EndUnit(false);  // a request never answered goes back to its queue
  if (request_memory_) GlobalFree(request_memory_);
  if (response_memory_) GlobalFree(response_memory_);
  if (xml_document_) xml_document_->Release();
  TraceExit(u"CKRSoapHandler::dtor", 0);
}

void CKRSoapHandler::SetError(LONG code, const std::string& description) {
  error_code_ = code;
  error_description_ = krsoap::platform::Utf8ToUtf16(description);
}

void CKRSoapHandler::ClearError() {
  error_code_ = 0;
  error_description_.clear();
}

// ---------------------------------------------------------------------------
// Properties.

HRESULT CKRSoapHandler::get_SoapAction(BSTR* pVal) {
  TraceEntry(u"get_SoapAction");
  if (request_present_ == 0) ReadMessageFromQueue(RequestWaitMilliseconds());
  HRESULT hr = ReturnString(soap_action_, pVal);
  LogText("soapAction = %S", soap_action_.c_str());
  TraceExit(u"get_SoapAction", 0);
  return hr;
}

HRESULT CKRSoapHandler::put_SoapAction(BSTR newVal) {
  TraceEntry(u"put_SoapAction");
  soap_action_ = FromBstr(newVal);
  put_soap_action_ = soap_action_;
  LogText("soapAction = %S", soap_action_.c_str());
  TraceExit(u"put_SoapAction", 0);
  return S_OK;
}

HRESULT CKRSoapHandler::get_ErrorDescription(BSTR* pVal) { return ReturnString(error_description_, pVal); }

HRESULT CKRSoapHandler::get_ErrorCode(LONG* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = error_code_;
  return S_OK;
}

HRESULT CKRSoapHandler::get_SoapRequest(BSTR* pVal) {
  TraceEntry(u"get_SoapRequest");
  HRESULT hr = ReturnString(krsoap::platform::Utf8ToUtf16(soap_request_), pVal);
  TraceExit(u"get_SoapRequest", 0);
  return hr;
}

HRESULT CKRSoapHandler::get_SoapResponse(BSTR* pVal) {
  TraceEntry(u"get_SoapResponse");
  HRESULT hr = ReturnString(krsoap::platform::Utf8ToUtf16(soap_response_), pVal);
  TraceExit(u"get_SoapResponse", 0);
  return hr;
}

HRESULT CKRSoapHandler::get_QueueManager(BSTR* pVal) {
  TraceEntry(u"get_QueueManager");
  HRESULT hr = ReturnString(queue_manager_, pVal);
  TraceExit(u"get_QueueManager", 0);
  return hr;
}

HRESULT CKRSoapHandler::put_QueueManager(BSTR newVal) {
  TraceEntry(u"put_QueueManager");
  queue_manager_ = FromBstr(newVal);
  queue_manager_utf8_ = krsoap::platform::Utf16ToUtf8(queue_manager_);
  LogText("Queue Manager set to %S", queue_manager_.c_str());
  TraceExit(u"put_QueueManager", 0);
  return S_OK;
}

HRESULT CKRSoapHandler::get_Queue(BSTR* pVal) {
  TraceEntry(u"get_Queue");
  HRESULT hr = ReturnString(queue_, pVal);
  TraceExit(u"get_Queue", 0);
  return hr;
}

HRESULT CKRSoapHandler::put_Queue(BSTR newVal) {
  TraceEntry(u"put_Queue");
  queue_ = FromBstr(newVal);
  queue_utf8_ = krsoap::platform::Utf16ToUtf8(queue_);
  LogText("Queue set to %S", queue_.c_str());
  TraceExit(u"put_Queue", 0);
  return S_OK;
}

// ---------------------------------------------------------------------------
// Taking a request.

LONG CKRSoapHandler::ReadMessageFromQueue(DWORD wait_ms) {
  TraceEntry(u"ReadMessageFromQueue");
  soap_request_.clear();
  LONG result = 0;
  if (!request_memory_) {
    read_position_ = 0;
    std::memset(&request_descriptor_, 0, sizeof request_descriptor_);
    ClearError();
    // Whatever was owed to the previous request can no longer be correlated
    // with it: an unfinished response of it must not become the head of the
    // next reply, and a response completed from now on belongs to the
    // request taken now, if any.
    reply_pending_ = false;
    DiscardResponse();
    // The previous request's reply was never put: it goes back to its queue
    // (its backout count one higher) rather than staying held.
    if (in_unit_) EndUnit(false);
    const bool unit_of_work = UnitOfWorkUsable();
    const KRLONG max_request = static_cast<KRLONG>(MaxMessageBytes());

    const std::string& qm = queue_manager_utf8_;
    const std::string& queue = queue_utf8_;
    KRLONG cc = 0;
    KRLONG reason = 0;
    if (!FitsName(qm) || !FitsName(queue)) {
      // Checked before anything is opened: a cut name could name another
      // queue manager or queue.
      LogText("Name too long: queue manager %d bytes, queue %d bytes, at most %d", static_cast<int>(qm.size()),
              static_cast<int>(queue.size()), KR_Q_NAME_LENGTH);
      SetError(KRRC_NAME_TOO_LONG, "Queue manager or queue name longer than 48 bytes");
      result = KRRC_NAME_TOO_LONG;
    } else {
      KRHCONN hconn = KRHC_UNUSABLE_HCONN;
      KRCONN(qm.c_str(), &hconn, &cc, &reason);
      if (cc != 0) {
        LogText("Failed to connect to queue manager cc=%d rc=%d %s", cc, reason, qm.c_str());
        LogText("Failed to clean up after read cc=%d rc=%d", cc, reason);
        SetError(reason, ReasonDescription("Connect to the queue manager", reason));
        result = reason;
      } else {
        KROD od = KROD_DEFAULT;
        std::memset(od.ObjectName, 0, sizeof od.ObjectName);
        std::memcpy(od.ObjectName, queue.data(), queue.size());
        KRHOBJ hobj = KRHO_UNUSABLE_HOBJ;
        KRLONG get_reason = 0;
        bool taken = false;
        // Only the bytes a get fills are read, up to the terminator put
        // after them: the buffer is not cleared between requests.
        std::vector<char>& buffer = receive_buffer_;
        if (buffer.size() != static_cast<size_t>(max_request) + 1) buffer.assign(static_cast<size_t>(max_request) + 1, 0);
        KRLONG data_length = 0;
        KROPEN(hconn, &od, KROO_INPUT_AS_Q_DEF, &hobj, &cc, &reason);
        if (cc != 0) {
          LogText("Failed to open queue cc %ld rc %ld queue %s", static_cast<long>(cc), static_cast<long>(reason),
                  queue.c_str());
          SetError(reason, ReasonDescription("Open of the request queue", reason));
        } else {
          KRMD md = KRMD_DEFAULT;
          const DWORD threshold = unit_of_work ? BackoutThreshold() : 0;
          GetGate gate;
          const bool gated = !unit_of_work || gate.Take(wait_ms);
          if (unit_of_work && gated) WaitForNoSuspect(wait_ms);
          if (!gated) {
            // Another handler waited for a request all this time.
            cc = KRCC_FAILED;
            reason = KRRC_NO_MSG_AVAILABLE;
            data_length = 0;
          }
          while (gated) {
            md = KRMD_DEFAULT;
            KRGMO gmo = KRGMO_DEFAULT;
            gmo.Options = KRGMO_WAIT | KRGMO_CONVERT | (unit_of_work ? KRGMO_SYNCPOINT : 0);
            gmo.WaitInterval = static_cast<KRLONG>(wait_ms);
            LogText("Getting with wait");
            // Each slice ends with a look at the worker's stop request: a
            // worker sent for a request that another worker or another host
            // took first would otherwise hold its monitor's Stop for up to
            // the whole RequestWait.
            GetInSlices(hconn, hobj, &md, &gmo, max_request, buffer.data(), &data_length, &cc, &reason,
                        StopCutsWait);
            LogText("cc = %ld rc = %ld messlen = %ld", static_cast<long>(cc), static_cast<long>(reason),
                    static_cast<long>(data_length));
            // A request that has been backed out as often as the threshold
            // (its worker's process died with it, say) is not served again:
            // it is moved aside and the next request is taken instead.
            if (cc != 0 || !unit_of_work || static_cast<DWORD>(md.BackoutCount) < threshold) break;
            if (!MovePoisonRequest(hconn, md, buffer.data(), std::clamp<KRLONG>(data_length, 0, max_request),
                                   threshold)) {
              cc = KRCC_FAILED;
              reason = KRRC_BACKED_OUT;
              break;
            }
            std::memset(buffer.data(), 0, buffer.size());
          }
          if (cc != 0) {
            LogText("Failed to get message, cc=%ld rc=%ld", static_cast<long>(cc), static_cast<long>(reason));
            get_reason = reason;
            SetError(reason, ReasonDescription("Get of a request", reason));
            if (reason == KRRC_TRUNCATED_MSG_FAILED && data_length > max_request) {
              RejectOversizedRequest(hconn, hobj, md, data_length, max_request, unit_of_work);
            }
          } else {
            taken = true;
            data_length = std::clamp<KRLONG>(data_length, 0, max_request);
            buffer[static_cast<size_t>(data_length)] = '\0';
            request_descriptor_ = md;
            FieldToString(md.ReplyToQ, KR_Q_NAME_LENGTH, reply_to_queue_);
            FieldToString(md.ReplyToQMgr, KR_Q_MGR_NAME_LENGTH, reply_to_qmgr_);
            request_present_ = 1;
            reply_pending_ = true;
            // A request without a SoapAction of its own is served under the
            // value a caller put, never under an earlier request's action.
            soap_action_.clear();
            ExtractSoapAction(buffer.data(), std::strlen(buffer.data()));
            if (soap_action_.empty()) soap_action_ = put_soap_action_;
          }
          if (taken && unit_of_work) {
            // The request stays held by this connection until its reply
            // is put and the unit committed (Write) or backed out.
            in_unit_ = true;
            unit_suspect_ = md.BackoutCount > 0;
            EnterUnit(unit_suspect_);
            if (unit_suspect_) {
              LogText("Request backed out %ld times before: served alone", static_cast<long>(md.BackoutCount));
            }
            unit_conn_ = hconn;
            unit_queue_ = hobj;
            hconn = KRHC_UNUSABLE_HCONN;
            reason = 0;
          } else {
            KRCLOSE(hconn, &hobj, KRCO_NONE, &cc, &reason);
            if (reason != 0) {
              LogText("KRCLOSE failed, cc=%ld rc=%ld", static_cast<long>(cc), static_cast<long>(reason));
            }
          }
        }
        if (hconn != KRHC_UNUSABLE_HCONN) KRDISC(&hconn, &cc, &reason);
        if (reason != 0) LogText("KRDISC failed, cc=%ld rc=%ld", static_cast<long>(cc), static_cast<long>(reason));
        if (reason != 0 || get_reason != 0) LogText("Failed to clean up after read cc=%d rc=%d", cc, reason);
        // A message that was taken is kept even when the close or the
        // disconnect after it failed: it has left the queue, and this is
        // the only copy. A failed open with a clean disconnect leaves an
        // empty request (nothing taken, nothing to serve).
        if (taken || (get_reason == 0 && reason == 0)) {
          const size_t length = taken ? std::strlen(buffer.data()) : 0;
          HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, length + 1);
          char* p = block ? static_cast<char*>(GlobalLock(block)) : nullptr;
          if (p) {
            std::memcpy(p, buffer.data(), length);
            GlobalUnlock(block);
            request_memory_ = block;
            soap_request_.assign(buffer.data(), length);
          } else {
            if (block) GlobalFree(block);
            LogText("Failed to allocate request memory of %ld bytes", static_cast<long>(length + 1));
            SetError(static_cast<LONG>(E_OUTOFMEMORY), "No memory for the request");
          }
        }
        result = get_reason != 0 ? get_reason : reason;
      }
    }
  }
  if (request_memory_) {
    stream_status_.type = STGTY_STREAM;
    stream_status_.cbSize.QuadPart = GlobalSize(request_memory_) - 1;
  }
  TraceExit(u"ReadMessageFromQueue", 0);
  return result;
}

void CKRSoapHandler::RejectOversizedRequest(KRHCONN hconn, KRHOBJ hobj, const KRMD& seen, KRLONG length,
                                            KRLONG limit, bool in_unit) {
  // Take exactly the message that was seen, by its message id; another
  // handler may have taken it meanwhile, which is fine.
  std::vector<char> whole;
  try {
    whole.resize(static_cast<size_t>(length));
  } catch (...) {
    LogText("Oversized request of %ld bytes left on the queue: no memory", static_cast<long>(length));
    return;
  }
  KRMD md = KRMD_DEFAULT;
  std::memcpy(md.MsgId, seen.MsgId, KR_MSG_ID_LENGTH);
  KRGMO gmo = KRGMO_DEFAULT;
  if (in_unit) gmo.Options |= KRGMO_SYNCPOINT;
  KRLONG got = 0;
  KRLONG cc = 0;
  KRLONG reason = 0;
  KRGET(hconn, hobj, &md, &gmo, length, whole.data(), &got, &cc, &reason);
  if (cc != 0) {
    LogText("Oversized request not taken, cc=%ld rc=%ld", static_cast<long>(cc), static_cast<long>(reason));
    return;
  }
  char queue[KR_Q_NAME_LENGTH + 1];
  char qmgr[KR_Q_MGR_NAME_LENGTH + 1];
  FieldToString(md.ReplyToQ, KR_Q_NAME_LENGTH, queue);
  FieldToString(md.ReplyToQMgr, KR_Q_MGR_NAME_LENGTH, qmgr);
  LogText("Request of %ld bytes taken off the queue: longer than %ld bytes", static_cast<long>(got),
          static_cast<long>(limit));
  if (queue[0] == '\0') {
    LogText("Oversized request has no reply-to queue; dropped");
  } else {
    char text[96];
    std::snprintf(text, sizeof text, "Request of %ld bytes is longer than the limit of %ld bytes",
                  static_cast<long>(got), static_cast<long>(limit));
    std::string fault = FaultEnvelope("Client", text);
    PutReply(fault.data(), fault.size(), md, queue, qmgr, in_unit ? hconn : KRHC_UNUSABLE_HCONN);
  }
  if (in_unit) {
    UnitCommit(hconn, &cc, &reason);
    if (cc != 0) LogText("Commit of the oversized request failed, cc=%ld rc=%ld", static_cast<long>(cc),
                         static_cast<long>(reason));
  }
}

// ---------------------------------------------------------------------------
// Putting a reply.

HRESULT CKRSoapHandler::PutReply(const char* data, size_t length, const KRMD& request, const char* queue,
                                 const char* qmgr, KRHCONN unit) {
  const std::string& our_qm = queue_manager_utf8_;
  LogText("Our QM: %s\n", our_qm.c_str());
  KRLONG cc = 0;
  KRLONG reason = 0;
  const bool in_unit = unit != KRHC_UNUSABLE_HCONN;
  if (in_unit && length > static_cast<size_t>(0x7FFFFFFF)) return STG_E_CANTSAVE;
  if (!in_unit && !FitsName(our_qm)) {
    LogText("Name too long: queue manager %d bytes, at most %d", static_cast<int>(our_qm.size()), KR_Q_NAME_LENGTH);
    SetError(KRRC_NAME_TOO_LONG, "Queue manager name longer than 48 bytes; reply not sent");
    return STG_E_CANTSAVE;
  }
  KRHCONN hconn = unit;
  if (!in_unit) KRCONN(our_qm.c_str(), &hconn, &cc, &reason);
  if (cc != 0) {
    LogText("Failed to connect to queue manager cc=%d rc=%d %s", cc, reason, our_qm.c_str());
    SetError(reason, ReasonDescription("Connect for the reply", reason));
    return STG_E_CANTSAVE;
  }
  KROD od = KROD_DEFAULT;
  CopyNameField(od.ObjectName, queue, KR_Q_NAME_LENGTH);
  CopyNameField(od.ObjectQMgrName, qmgr, KR_Q_MGR_NAME_LENGTH);
  KRHOBJ hobj = KRHO_UNUSABLE_HOBJ;
  KROPEN(hconn, &od, KROO_OUTPUT, &hobj, &cc, &reason);
  if (cc != 0) {
    LogText("Failed to open queue cc %ld rc %ld queue %s", static_cast<long>(cc), static_cast<long>(reason), queue);
    SetError(reason, ReasonDescription("Open of the reply-to queue", reason));
    if (!in_unit) KRDISC(&hconn, &cc, &reason);
    return STG_E_CANTSAVE;
  }
  KRMD md = KRMD_DEFAULT;
  std::memcpy(md.CorrelId, request.MsgId, KR_CORREL_ID_LENGTH);
  // A request that expires gives its reply the same life: once its client
  // has stopped waiting, nobody will take the reply.
  if (request.Expiry > 0) md.Expiry = request.Expiry;
  KRPMO pmo = KRPMO_DEFAULT;
  if (in_unit) pmo.Options = KRPMO_SYNCPOINT;
  HRESULT hr = S_OK;
  KRPUT(hconn, hobj, &md, &pmo, static_cast<KRLONG>(length), const_cast<char*>(data), &cc, &reason);
  if (cc == 0) {
    LogText("Message put successfully");
    NoteReplyPut(data, length);  // for the monitor's fault count
  } else {
    LogText("Failed to put message, cc=%ld rc=%ld", static_cast<long>(cc), static_cast<long>(reason));
    SetError(reason, ReasonDescription("Put of the reply", reason));
    hr = STG_E_CANTSAVE;
  }
  KRLONG cc2 = 0;
  KRLONG reason2 = 0;
  KRCLOSE(hconn, &hobj, KRCO_NONE, &cc2, &reason2);
  if (!in_unit) KRDISC(&hconn, &cc2, &reason2);
  return hr;
}

// ---------------------------------------------------------------------------
// Units of work ("UnitOfWork").

KRLONG CKRSoapHandler::EndUnit(bool commit) {
  KRLONG cc = 0;
  KRLONG reason = 0;
  KRLONG result = 0;
  if (commit) {
    UnitCommit(unit_conn_, &cc, &reason);
    if (cc != 0) {
      // The queue manager backed the unit out instead: the request is on
      // its queue again and the reply was never seen.
      LogText("Commit failed, cc=%ld rc=%ld", static_cast<long>(cc), static_cast<long>(reason));
      SetError(reason, ReasonDescription("Commit of the request and its reply", reason));
      result = reason != 0 ? reason : KRRC_BACKED_OUT;
    } else {
      LogText("Unit of work committed");
    }
  } else {
    UnitBackOut(unit_conn_, &cc, &reason);
    LogText("Unit of work backed out, cc=%ld rc=%ld", static_cast<long>(cc), static_cast<long>(reason));
  }
  KRCLOSE(unit_conn_, &unit_queue_, KRCO_NONE, &cc, &reason);
  KRDISC(&unit_conn_, &cc, &reason);  // without a commit, the queue manager backs out
  unit_conn_ = KRHC_UNUSABLE_HCONN;
  unit_queue_ = KRHO_UNUSABLE_HOBJ;
  in_unit_ = false;
  LeaveUnit(unit_suspect_);
  if (!commit || result != 0) NoteRequestBackedOut();
  return result;
}

HRESULT CKRSoapHandler::Revert() {
  if (in_unit_) {
    LogText("Request not answered; its unit of work is backed out");
    reply_pending_ = false;  // the request is on its queue again
    DiscardResponse();
    EndUnit(false);
  }
  return S_OK;
}

bool CKRSoapHandler::MovePoisonRequest(KRHCONN hconn, const KRMD& request, const char* data, KRLONG length,
                                       DWORD threshold) {
  const std::string& queue = queue_utf8_;
  KRLONG cc = 0;
  KRLONG reason = 0;
  // The request queue's own backout queue when it names one, otherwise
  // "<queue>.BACKOUT".
  std::string backout;
  {
    KROD od = KROD_DEFAULT;
    CopyNameField(od.ObjectName, queue.c_str(), KR_Q_NAME_LENGTH);
    KRHOBJ inquire = KRHO_UNUSABLE_HOBJ;
    KROPEN(hconn, &od, KROO_INQUIRE, &inquire, &cc, &reason);
    if (cc == 0) {
      const KRLONG selector = KRCA_BACKOUT_REQ_Q_NAME;
      char name[KR_Q_NAME_LENGTH + 1] = {};
      UnitInquire(hconn, inquire, 1, &selector, 0, nullptr, KR_Q_NAME_LENGTH, name, &cc, &reason);
      if (cc == 0) {
        char trimmed[KR_Q_NAME_LENGTH + 1];
        FieldToString(name, KR_Q_NAME_LENGTH, trimmed);
        backout = trimmed;
      }
      KRCLOSE(hconn, &inquire, KRCO_NONE, &cc, &reason);
    }
  }
  if (backout.empty()) backout = queue + ".BACKOUT";
  char request_id[2 * KR_MSG_ID_LENGTH + 1];
  for (int i = 0; i < KR_MSG_ID_LENGTH; ++i) {
    std::snprintf(request_id + 2 * i, 3, "%02X", static_cast<unsigned>(request.MsgId[i]));
  }
  bool moved = false;
  KROD od = KROD_DEFAULT;
  KRHOBJ hobj = KRHO_UNUSABLE_HOBJ;
  if (FitsName(backout)) {
    CopyNameField(od.ObjectName, backout.c_str(), KR_Q_NAME_LENGTH);
    KROPEN(hconn, &od, KROO_OUTPUT, &hobj, &cc, &reason);
  } else {
    cc = KRCC_FAILED;
    reason = KRRC_NAME_TOO_LONG;
  }
  if (cc == 0) {
    // The descriptor as it came, message id included, so the request can
    // be recognised and put back by hand.
    KRMD md = request;
    KRPMO pmo = KRPMO_DEFAULT;
    pmo.Options = KRPMO_SYNCPOINT;
    KRPUT(hconn, hobj, &md, &pmo, length, const_cast<char*>(data), &cc, &reason);
    moved = cc == 0;
    KRLONG cc2 = 0, reason2 = 0;
    KRCLOSE(hconn, &hobj, KRCO_NONE, &cc2, &reason2);
  }
  if (!moved) {
    // Nowhere to keep it: the request stays on its queue, whole, for an
    // operator (the line below says why); it is never dropped.
    LogText("Request %s backed out %ld times not moved to backout queue %s, cc=%ld rc=%ld", request_id,
            static_cast<long>(request.BackoutCount), backout.c_str(), static_cast<long>(cc), static_cast<long>(reason));
    JournalFailure("halvex", "request %s on queue %s was backed out %ld times and cannot be moved to %s: %s",
                   request_id, queue.c_str(), static_cast<long>(request.BackoutCount), backout.c_str(),
                   KRReasonText(reason));
    UnitBackOut(hconn, &cc, &reason);
    return false;
  }
  char reply_queue[KR_Q_NAME_LENGTH + 1];
  char reply_qmgr[KR_Q_MGR_NAME_LENGTH + 1];
  FieldToString(request.ReplyToQ, KR_Q_NAME_LENGTH, reply_queue);
  FieldToString(request.ReplyToQMgr, KR_Q_MGR_NAME_LENGTH, reply_qmgr);
  if (reply_queue[0] != '\0') {
    char text[200];
    std::snprintf(text, sizeof text,
                  "The request was backed out %ld times (threshold %lu) and was moved to the backout queue %s; "
                  "it is not served",
                  static_cast<long>(request.BackoutCount), static_cast<unsigned long>(threshold), backout.c_str());
    const std::string fault = FaultEnvelope("Server", text);
    PutReply(fault.data(), fault.size(), request, reply_queue, reply_qmgr, hconn);
  }
  UnitCommit(hconn, &cc, &reason);
  if (cc != 0) {
    LogText("Commit of the move to %s failed, cc=%ld rc=%ld", backout.c_str(), static_cast<long>(cc),
            static_cast<long>(reason));
    return false;
  }
  LogText("Request %s backed out %ld times moved to backout queue %s", request_id,
          static_cast<long>(request.BackoutCount), backout.c_str());
  JournalFailure("halvex", "request %s on queue %s was backed out %ld times; moved to %s", request_id,
                 queue.c_str(), static_cast<long>(request.BackoutCount), backout.c_str());
  return true;
}

// ---------------------------------------------------------------------------
// IStream.

void CKRSoapHandler::ReleaseRequest() {
  LogText("Exhausted buffer, freeing Request global memory");
  GlobalFree(request_memory_);
  request_memory_ = nullptr;
  request_present_ = 0;
}

void CKRSoapHandler::DiscardResponse() {
  if (!response_memory_) return;
  LogText("Discarding an incomplete response of %ld bytes", static_cast<long>(GlobalSize(response_memory_) - 1));
  GlobalFree(response_memory_);
  response_memory_ = nullptr;
}

HRESULT CKRSoapHandler::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  TraceEntry(u"CKRSoapHandler::Read");
  HRESULT hr = S_OK;
  ULONG n = 0;
  if (!request_memory_) {
    LogText("nothing more to read");
    hr = S_FALSE;
  } else if (!pv && cb != 0) {
    hr = STG_E_INVALIDPOINTER;
  } else {
    const size_t length = GlobalSize(request_memory_) - 1;
    if (read_position_ < length) {
      n = static_cast<ULONG>(std::min<size_t>(length - read_position_, cb));
      const char* p = static_cast<const char*>(GlobalLock(request_memory_));
      if (p) {
        LogText("%-*.*s", static_cast<int>(n), static_cast<int>(n), p + read_position_);
        std::memcpy(pv, p + read_position_, n);
        GlobalUnlock(request_memory_);
        read_position_ += n;
        if (read_position_ >= length) ReleaseRequest();
      } else {
        n = 0;
        hr = STG_E_READFAULT;
      }
    } else {
      ReleaseRequest();
    }
  }
  if (pcbRead) *pcbRead = n;
  TraceExit(u"CKRSoapHandler::Read", hr);
  return hr;
}

HRESULT CKRSoapHandler::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  TraceEntry(u"CKRSoapHandler::Write");
  HRESULT hr = S_OK;
  if (!pv && cb != 0) {
    if (pcbWritten) *pcbWritten = 0;
    TraceExit(u"CKRSoapHandler::Write", STG_E_INVALIDPOINTER);
    return STG_E_INVALIDPOINTER;
  }
  size_t previous = 0;
  if (!response_memory_) {
    response_memory_ = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size_t(cb) + 1);
    soap_response_.clear();
  } else {
    previous = GlobalSize(response_memory_) - 1;
    HGLOBAL grown = nullptr;
    if (previous + cb <= kMaxResponseBytes) {
      grown = GlobalReAlloc(response_memory_, previous + cb + 1, GMEM_MOVEABLE | GMEM_ZEROINIT);
    }
    if (grown) {
      response_memory_ = grown;
    } else {
      GlobalFree(response_memory_);
      response_memory_ = nullptr;
    }
  }
  if (!response_memory_ || previous + cb > kMaxResponseBytes) {
    // Nothing of this response can be sent any more.
    LogText("Response of %ld bytes dropped: too long or no memory", static_cast<long>(previous + cb));
    SetError(static_cast<LONG>(STG_E_MEDIUMFULL), "Response too long or no memory for it; not sent");
    if (response_memory_) GlobalFree(response_memory_);
    response_memory_ = nullptr;
    hr = STG_E_CANTSAVE;
  } else if (char* p = static_cast<char*>(GlobalLock(response_memory_))) {
    if (cb) std::memcpy(p + previous, pv, cb);
    const size_t total = previous + cb;
    // An end tag found now must end beyond what earlier calls searched.
    constexpr size_t kTagLength = sizeof kEnvelopeEndTag - 1;
    const size_t from = previous >= kTagLength ? previous - (kTagLength - 1) : 0;
    const bool complete = std::string_view(p, total).find(kEnvelopeEndTag, from) != std::string_view::npos;
    if (complete) {
      soap_response_.assign(p, total);
      LogText("Reply: %s\n Queue: %s\n QM: %s", p, reply_to_queue_, reply_to_qmgr_);
      if (!reply_pending_) {
        // No request was taken for this response (the get failed or found
        // nothing): there is no reply-to queue and no message id it could
        // be correlated with.
        LogText("No request waiting for this response; not sent");
        SetError(static_cast<LONG>(STG_E_CANTSAVE), "No request waiting for this response; not sent");
        hr = STG_E_CANTSAVE;
      } else {
        reply_pending_ = false;
        if (request_descriptor_.MsgType == KRMT_DATAGRAM && reply_to_queue_[0] == '\0') {
          // A one-way request: its sender waits for nothing, and there is
          // nowhere to put a reply.
          LogText("One-way request (a datagram without reply-to queue): no reply is put");
        } else {
          hr = PutReply(p, total, request_descriptor_, reply_to_queue_, reply_to_qmgr_,
                        in_unit_ ? unit_conn_ : KRHC_UNUSABLE_HCONN);
        }
        // The request has had its answer (or the put was tried: a reply-to
        // queue its client has deleted stays deleted, and serving the
        // request again would do its work twice).
        if (in_unit_ && EndUnit(true) != 0) hr = STG_E_CANTSAVE;
      }
    }
    GlobalUnlock(response_memory_);
    if (complete) {
      LogText("Output message complete, freeing response memory");
      GlobalFree(response_memory_);
      response_memory_ = nullptr;
    }
  } else {
    LogText("Failed to lock response memory");
    DiscardResponse();
    hr = STG_E_CANTSAVE;
  }
  if (FAILED(hr)) LogText("Could not write XML Response");
  if (pcbWritten) *pcbWritten = cb;
  TraceExit(u"CKRSoapHandler::Write", hr);
  return hr;
}

HRESULT CKRSoapHandler::Stat(STATSTG* pstatstg, DWORD) {
  TraceEntry(u"CMSoapRequest::Stat");
  LONG result = 0;
  if (request_present_ == 0) {
    result = ReadMessageFromQueue(RequestWaitMilliseconds());
  } else {
    LogText("Message waiting already");
  }
  if (result == 0 && request_present_ == 1 && pstatstg) {
    pstatstg->type = stream_status_.type;
    pstatstg->cbSize = stream_status_.cbSize;
  }
  TraceExit(u"CMSoapRequest::Stat", S_OK);
  return S_OK;
}

HRESULT CKRSoapHandler::Clone(IStream** ppstm) {
  // The handler is one request's stream; a second stream over it would
  // serve the same bytes twice. Say so rather than succeed with nothing.
  if (!ppstm) return E_POINTER;
  *ppstm = nullptr;
  return E_NOTIMPL;
}

}  // namespace krsoap::halvex
