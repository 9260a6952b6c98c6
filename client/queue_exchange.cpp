// CKRBaseConn's queue exchange: the request queue and the temporary dynamic
// reply-to queue (OpenQueues, OpenNewQueue), the put of the request held in
// the memory stream (PutKRMessage) and the get of the reply correlated with
// it (GetMessage). Every queue-manager call goes through the entry points the
// bindings resolved (bindings.cpp).
//
// Names longer than a record's 48-byte field are refused with reason code
// 2208 (KRRC_NAME_TOO_LONG) rather than cut, since a cut name addresses
// another queue; a request longer than the buffer allows ("MaxMessageLength"
// less one, 4,095 bytes by default) is taken out of the stream and refused
// with 2210 (KRRC_MSG_TOO_BIG_FOR_Q). Both are stored as
// "LastErrorCode" and the operation answers E_FAIL, as for a failed call.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "client/base_conn.h"
#include "common/trace/trace.h"
#include "platform/com/stream.h"
#include "platform/text/convert.h"

namespace krsoap::corvel {

using krsoap::trace::TraceEntry;
using krsoap::trace::TraceExit;
namespace {

using krsoap::platform::Utf16ToUtf8;

constexpr LONG kRequestOpenOptions = KROO_OUTPUT | KROO_FAIL_IF_QUIESCING;        // 0x2010
constexpr LONG kReplyOpenOptions = KROO_INPUT_AS_Q_DEF | KROO_FAIL_IF_QUIESCING;  // 0x2001
constexpr const char* kModelQueue = "SYSTEM.DEFAULT.MODEL.QUEUE";

// A name into a zero-padded record field; false when it does not fit.
bool CopyName(const std::string& name, KRCHAR* field, size_t width) {
  std::memset(field, 0, width);
  if (name.size() > width) return false;
  std::memcpy(field, name.data(), name.size());
  return true;
}

// A name into a blank-padded record field of exactly `width` characters.
bool PadName(const std::string& name, KRCHAR* field, size_t width) {
  std::memset(field, ' ', width);
  if (name.size() > width) return false;
  std::memcpy(field, name.data(), name.size());
  return true;
}

KROD ObjectDescriptor() {
  KROD od;
  std::memset(&od, 0, sizeof od);
  std::memcpy(od.StrucId, KROD_STRUC_ID, 4);
  od.Version = KROD_VERSION_1;
  od.ObjectType = KROT_Q;
  std::memcpy(od.DynamicQName, "TKR.*", 5);
  return od;
}

KRMD MessageDescriptor(KRLONG type, const char* format) {
  KRMD md;
  std::memset(&md, 0, sizeof md);
  std::memcpy(md.StrucId, KRMD_STRUC_ID, 4);
  md.Version = KRMD_VERSION_1;
  md.Report = KRRO_NONE;
  md.MsgType = type;
  md.Expiry = KREI_UNLIMITED;
  md.Feedback = KRFB_NONE;
  md.Encoding = KRENC_NATIVE;
  md.CodedCharSetId = KRCCSI_Q_MGR;
  std::memcpy(md.Format, format, KR_FORMAT_LENGTH);
  md.Priority = KRPRI_PRIORITY_AS_Q_DEF;
  md.Persistence = KRPER_PERSISTENCE_AS_Q_DEF;
  return md;
}

// A zero-terminated copy of a record's name field without trailing blanks
// (a name that fills the field is taken whole).
std::string FieldName(const KRCHAR* field, size_t width) {
  size_t n = ::strnlen(field, width);
  while (n > 0 && field[n - 1] == ' ') --n;
  return std::string(field, n);
}

}  // namespace

HRESULT CKRBaseConn::OpenRequestQueue() {
  const std::string queue = Utf16ToUtf8(queue_);
  LogText("Opening queue %s.", queue.c_str());
  KROD od = ObjectDescriptor();
  KRLONG cc = KRCC_FAILED, reason = KRRC_NAME_TOO_LONG;
  open_options_ = kRequestOpenOptions;
  if (CopyName(queue, od.ObjectName, KR_Q_NAME_LENGTH) &&
      CopyName(Utf16ToUtf8(remote_queue_manager_), od.ObjectQMgrName, KR_Q_MGR_NAME_LENGTH)) {
    open_(connection_, &od, open_options_, &request_queue_, &cc, &reason);
  }
  if (cc != KRCC_FAILED) return S_OK;
  LogText("Error: KROPEN ended with reason code %ld while opening %s.", static_cast<long>(reason), queue.c_str());
  SetLastError(reason);
  return E_FAIL;
}

HRESULT CKRBaseConn::OpenQueues() {
  TraceEntry(u"CKRBaseConn::OpenQueues");
  HRESULT hr = EntryPointsReady();
  if (FAILED(hr)) {
    TraceExit(u"CKRBaseConn::OpenQueues", hr);
    return hr;
  }
  hr = OpenRequestQueue();
  if (FAILED(hr)) {
    TraceExit(u"CKRBaseConn::OpenQueues", hr);
    return hr;
  }
  KRLONG cc = KRCC_FAILED, reason = KRRC_NONE;
  KROD reply = ObjectDescriptor();
  CopyName(kModelQueue, reply.ObjectName, KR_Q_NAME_LENGTH);
  std::memcpy(reply.DynamicQName, "*\0\0\0\0", 5);
  open_options_ = kReplyOpenOptions;
  open_(connection_, &reply, open_options_, &reply_to_queue_handle_, &cc, &reason);
  const std::string reply_name = FieldName(reply.ObjectName, KR_Q_NAME_LENGTH);
  reply_to_queue_ = krsoap::platform::Utf8ToUtf16(reply_name);
  LogText("Opening temporary dynamic reply-to queue %s.", reply_name.c_str());
  if (cc == KRCC_FAILED) {
    LogText("Error: KROPEN ended with reason code %ld while opening %s.", static_cast<long>(reason),
            reply_name.c_str());
    SetLastError(reason);
    hr = E_FAIL;
  }
  TraceExit(u"CKRBaseConn::OpenQueues", hr);
  return hr;
}

HRESULT CKRBaseConn::OpenNewQueue() {
  TraceEntry(u"CKRBaseConn::OpenNewQueue");
  HRESULT hr = EntryPointsReady();
  if (FAILED(hr)) {
    TraceExit(u"CKRBaseConn::OpenNewQueue", hr);
    return hr;
  }
  const std::string queue = Utf16ToUtf8(queue_);
  LogText("Closing queue %s.", queue.c_str());
  KRLONG cc = KRCC_OK, reason = KRRC_NONE;
  close_(connection_, &request_queue_, KRCO_NONE, &cc, &reason);
  if (cc == KRCC_FAILED) {
    LogText("Error: KRCLOSE ended with reason code %ld while closing %s", static_cast<long>(reason), queue.c_str());
    SetLastError(reason);
    hr = E_FAIL;
  }
  if (FAILED(OpenRequestQueue())) hr = E_FAIL;
  TraceExit(u"CKRBaseConn::OpenNewQueue", hr);
  return hr;
}

HRESULT CKRBaseConn::PutKRMessage() {
  TraceEntry(u"CKRBaseConn::PutKRMessage");
  request_put_ = false;
  KRLONG reason = KRRC_NONE;
  ComPtr<IStream> stream;
  HRESULT hr = EntryPointsReady();
  if (SUCCEEDED(hr)) hr = StreamInterface(&stream);
  if (FAILED(hr)) {
    TraceExit(u"CKRBaseConn::PutKRMessage", reason);
    return hr;
  }
  // A one-way request is a datagram: nobody waits for its reply.
  KRMD md = MessageDescriptor(one_way_ ? KRMT_DATAGRAM : KRMT_REQUEST, KRFMT_STRING);
  if (request_expiry_) {
    // In tenths of a second, rounded up: the request lives as long as its
    // client waits for the reply.
    md.Expiry = static_cast<KRLONG>(std::min<DWORD>((reply_wait_ms_ + 99) / 100, 0x7FFFFFFF));
  }
  KRPMO pmo;
  std::memset(&pmo, 0, sizeof pmo);
  std::memcpy(pmo.StrucId, KRPMO_STRUC_ID, 4);
  pmo.Version = KRPMO_VERSION_1;
  pmo.Options = KRPMO_NONE;
  pmo.Timeout = -1;
  const bool names_fit =
      one_way_ ? PadName("", md.ReplyToQ, KR_Q_NAME_LENGTH) && PadName("", md.ReplyToQMgr, KR_Q_MGR_NAME_LENGTH)
               : PadName(Utf16ToUtf8(reply_to_queue_), md.ReplyToQ, KR_Q_NAME_LENGTH) &&
                     PadName(Utf16ToUtf8(local_queue_manager_), md.ReplyToQMgr, KR_Q_MGR_NAME_LENGTH);

  STATSTG status{};
  hr = stream->Stat(&status, STATFLAG_NONAME);
  const ULONG size = status.cbSize.LowPart;
  if (size == 0) {
    TraceExit(u"CKRBaseConn::PutKRMessage", reason);
    return hr;
  }
  const ULONG limit = message_buffer_ - 1;
  char* request = MessageBuffer();
  if (size > limit) {
    // Too long for one message: take it out of the stream all the same, so
    // that the next request does not find it in front of its own bytes.
    Drain(stream.get());
    reason = KRRC_MSG_TOO_BIG_FOR_Q;
  } else {
    ULONG got = 0;
    hr = stream->Read(request, size, &got);
    if (FAILED(hr)) {
      TraceExit(u"CKRBaseConn::PutKRMessage", reason);
      return hr;
    }
    request[size] = '\0';
    LogText("Putting SOAP message: %s", request);
    KRLONG cc = KRCC_FAILED;
    if (names_fit) {
      put_(connection_, request_queue_, &md, &pmo, static_cast<KRLONG>(size), request, &cc, &reason);
    } else {
      reason = KRRC_NAME_TOO_LONG;
    }
    std::memcpy(request_message_id_, md.MsgId, KR_MSG_ID_LENGTH);
  }
  if (reason != KRRC_NONE) {
    LogText("KRPUT ended with reason code %ld while putting to %s", static_cast<long>(reason),
            Utf16ToUtf8(queue_).c_str());
    SetLastError(reason);
    hr = E_FAIL;
  } else {
    request_put_ = true;
  }
  TraceExit(u"CKRBaseConn::PutKRMessage", reason);
  return hr;
}

HRESULT CKRBaseConn::GetMessage() {
  TraceEntry(u"CKRBaseConn::GetMessage");
  HRESULT hr = EntryPointsReady();
  KRLONG reason = KRRC_NONE;
  if (FAILED(hr)) {
    TraceExit(u"CKRBaseConn::GetMessage", reason);
    return hr;
  }
  KRMD md = MessageDescriptor(KRMT_DATAGRAM, KRFMT_NONE);
  std::memcpy(md.CorrelId, request_message_id_, KR_CORREL_ID_LENGTH);
  KRGMO gmo;
  std::memset(&gmo, 0, sizeof gmo);
  std::memcpy(gmo.StrucId, KRGMO_STRUC_ID, 4);
  gmo.Version = KRGMO_VERSION_1;
  gmo.Options = KRGMO_WAIT | KRGMO_CONVERT;
  gmo.WaitInterval = static_cast<KRLONG>(reply_wait_ms_);
  const KRLONG limit = static_cast<KRLONG>(message_buffer_ - 1);
  char* reply = MessageBuffer();
  KRLONG length = 0, cc = KRCC_FAILED;
  get_(connection_, reply_to_queue_handle_, &md, &gmo, limit, reply, &length, &cc, &reason);
  if (reason != KRRC_NONE) {
    SetLastError(reason);
    hr = E_FAIL;
    const std::string reply_name = Utf16ToUtf8(reply_to_queue_);
    if (reason == KRRC_NO_MSG_AVAILABLE) {
      LogText("No messages found in queue %s", reply_name.c_str());
    } else {
      LogText("KRGET ended with reason code %ld while getting from %s", static_cast<long>(reason), reply_name.c_str());
    }
  } else {
    if (length < 0 || length > limit) length = 0;
    reply[length] = '\0';
    LogText("Got message buffer: %s", reply);
    ComPtr<IStream> stream;
    hr = StreamInterface(&stream);
    if (SUCCEEDED(hr)) hr = stream->Write(reply, static_cast<ULONG>(length), nullptr);
  }
  TraceExit(u"CKRBaseConn::GetMessage", reason);
  return hr;
}

}  // namespace krsoap::corvel
