// CKRSoapHandler: properties, the get of a request (ReadMessageFromQueue),
// the IStream methods the SoapServer uses (Read, Write, Stat) and the put of
// the reply. The SOAP-action extraction lives in soap_action.cpp.
#include "server/soap_handler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/trace/trace.h"
#include "platform/com/bstr.h"
#include "platform/text/convert.h"
#include "server/monitor_counters.h"
#include "server/pool.h"
#include "server/settings.h"

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
  HRESULT hr = ReturnString(soap_request_, pVal);
  TraceExit(u"get_SoapRequest", 0);
  return hr;
}

HRESULT CKRSoapHandler::get_SoapResponse(BSTR* pVal) {
  TraceEntry(u"get_SoapResponse");
  HRESULT hr = ReturnString(soap_response_, pVal);
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

    const std::string qm = krsoap::platform::Utf16ToUtf8(queue_manager_);
    const std::string queue = krsoap::platform::Utf16ToUtf8(queue_);
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
        std::vector<char> buffer(static_cast<size_t>(kMaxRequestBytes) + 1, 0);
        KRLONG data_length = 0;
        KROPEN(hconn, &od, KROO_INPUT_AS_Q_DEF, &hobj, &cc, &reason);
        if (cc != 0) {
          LogText("Failed to open queue cc %ld rc %ld queue %s", static_cast<long>(cc), static_cast<long>(reason),
                  queue.c_str());
          SetError(reason, ReasonDescription("Open of the request queue", reason));
        } else {
          KRMD md = KRMD_DEFAULT;
          KRGMO gmo = KRGMO_DEFAULT;
          gmo.Options = KRGMO_WAIT | KRGMO_CONVERT;
          gmo.WaitInterval = static_cast<KRLONG>(wait_ms);
          LogText("Getting with wait");
          KRGET(hconn, hobj, &md, &gmo, kMaxRequestBytes, buffer.data(), &data_length, &cc, &reason);
          LogText("cc = %ld rc = %ld messlen = %ld", static_cast<long>(cc), static_cast<long>(reason),
                  static_cast<long>(data_length));
          if (cc != 0) {
            LogText("Failed to get message, cc=%ld rc=%ld", static_cast<long>(cc), static_cast<long>(reason));
            get_reason = reason;
            SetError(reason, ReasonDescription("Get of a request", reason));
            if (reason == KRRC_TRUNCATED_MSG_FAILED && data_length > kMaxRequestBytes) {
              RejectOversizedRequest(hconn, hobj, md, data_length);
            }
          } else {
            taken = true;
            data_length = std::clamp<KRLONG>(data_length, 0, kMaxRequestBytes);
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
          KRCLOSE(hconn, &hobj, KRCO_NONE, &cc, &reason);
          if (reason != 0) {
            LogText("KRCLOSE failed, cc=%ld rc=%ld", static_cast<long>(cc), static_cast<long>(reason));
          }
        }
        KRDISC(&hconn, &cc, &reason);
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
            soap_request_ = krsoap::platform::Utf8ToUtf16(std::string_view(buffer.data(), length));
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

void CKRSoapHandler::RejectOversizedRequest(KRHCONN hconn, KRHOBJ hobj, const KRMD& seen, KRLONG length) {
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
          static_cast<long>(kMaxRequestBytes));
  if (queue[0] == '\0') {
    LogText("Oversized request has no reply-to queue; dropped");
    return;
  }
  char text[96];
  std::snprintf(text, sizeof text, "Request of %ld bytes is longer than the limit of %ld bytes",
                static_cast<long>(got), static_cast<long>(kMaxRequestBytes));
  std::string fault = FaultEnvelope("Client", text);
  PutReply(fault.data(), fault.size(), md, queue, qmgr);
}

// ---------------------------------------------------------------------------
// Putting a reply.

HRESULT CKRSoapHandler::PutReply(const char* data, size_t length, const KRMD& request, const char* queue,
                                 const char* qmgr) {
  const std::string our_qm = krsoap::platform::Utf16ToUtf8(queue_manager_);
  LogText("Our QM: %s\n", our_qm.c_str());
  KRLONG cc = 0;
  KRLONG reason = 0;
  if (!FitsName(our_qm)) {
    LogText("Name too long: queue manager %d bytes, at most %d", static_cast<int>(our_qm.size()), KR_Q_NAME_LENGTH);
    SetError(KRRC_NAME_TOO_LONG, "Queue manager name longer than 48 bytes; reply not sent");
    return STG_E_CANTSAVE;
  }
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRCONN(our_qm.c_str(), &hconn, &cc, &reason);
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
    KRDISC(&hconn, &cc, &reason);
    return STG_E_CANTSAVE;
  }
  KRMD md = KRMD_DEFAULT;
  std::memcpy(md.CorrelId, request.MsgId, KR_CORREL_ID_LENGTH);
  KRPMO pmo = KRPMO_DEFAULT;
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
  KRDISC(&hconn, &cc2, &reason2);
  return hr;
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
      soap_response_ = krsoap::platform::Utf8ToUtf16(std::string_view(p, total));
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
        hr = PutReply(p, total, request_descriptor_, reply_to_queue_, reply_to_qmgr_);
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
