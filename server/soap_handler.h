// CKRSoapHandler: the implementation of coclass KRSoapHandler, the server's
// message stream. Reading its SoapAction takes the next request off the
// request queue; the toolkit's SoapServer then reads the request through the
// IStream face and writes its response back through it, and the handler puts
// the complete response on the request's reply-to queue, correlated with the
// request's message id. Owns the request and response memory blocks and the
// XML document used to find the SOAP action (soap_action.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/queue/krqueue.h"
#include "halvex.h"
#include "platform/com/server.h"
#include "platform/com/stream.h"
#include "platform/memory/global_memory.h"
#include "server/action_text.h"
#include "xmldom.h"

namespace krsoap::halvex {

// The largest response it gathers before giving up on it: the queue's
// default maximum message length. A response that grows past it can never
// be put, and keeping it would let one bad service call hold the memory.
inline constexpr size_t kMaxResponseBytes = size_t(4) * 1024 * 1024;
// The end tag that completes a response.
inline constexpr char kEnvelopeEndTag[] = "</SOAP-ENV:Envelope>";

class CKRSoapHandler : public krsoap::com::ObjectRoot,
                       public krsoap::com::DispatchImpl<IKRSoapHandler, &LIBID_HALVEXLib>,
                       public IStream {
 public:
  KR_BEGIN_INTERFACE_MAP(CKRSoapHandler)
    KR_INTERFACE_ENTRY(IKRSoapHandler)
    KR_INTERFACE_ENTRY2(IDispatch, IKRSoapHandler)
    KR_INTERFACE_ENTRY(IStream)
  KR_END_INTERFACE_MAP()

  CKRSoapHandler();
  ~CKRSoapHandler();

  // IKRSoapHandler
  HRESULT get_SoapAction(BSTR* pVal) override;
  HRESULT put_SoapAction(BSTR newVal) override;
  HRESULT get_ErrorDescription(BSTR* pVal) override;
  HRESULT get_ErrorCode(LONG* pVal) override;
  HRESULT get_SoapRequest(BSTR* pVal) override;
  HRESULT get_SoapResponse(BSTR* pVal) override;
  HRESULT get_QueueManager(BSTR* pVal) override;
  HRESULT put_QueueManager(BSTR newVal) override;
  HRESULT get_Queue(BSTR* pVal) override;
  HRESULT put_Queue(BSTR newVal) override;

  // IStream
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return S_OK; }
  HRESULT SetSize(ULARGE_INTEGER) override { return S_OK; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return S_OK; }
  HRESULT Commit(DWORD) override { return S_OK; }
  // Backs out the unit of work of a request whose reply was not put (see
  // "UnitOfWork"); does nothing otherwise.
  HRESULT Revert() override;
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return S_OK; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return S_OK; }
  HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  HRESULT Clone(IStream** ppstm) override;

 private:
  // Takes the next request off the request queue (destructive get, waiting
  // up to `wait_ms`); gives back a reason code.
  LONG ReadMessageFromQueue(DWORD wait_ms);
  // Finds the prefix:SoapAction element of `text` and stores its text as
  // SoapAction (soap_action.cpp).
  LONG ExtractSoapAction(const char* text, size_t length);
  // Creates the handler's XML document when it has none (tracing the
  // creation or its failure); the creation's HRESULT, S_OK when it existed.
  HRESULT EnsureXmlDocument();
  // A request longer than `limit` is taken off the queue by its message id
  // and answered with a fault, so that it neither blocks the queue nor goes
  // unanswered. With `in_unit`, the get and the fault are one unit of work,
  // committed here.
  void RejectOversizedRequest(KRHCONN hconn, KRHOBJ hobj, const KRMD& seen, KRLONG length, KRLONG limit,
                              bool in_unit);
  // Moves a request taken under syncpoint whose backout count has reached
  // the threshold to the backout queue, answers its client with a fault and
  // commits both. False when it could not be moved:
  // the unit is then backed out and the request stays on its queue.
  bool MovePoisonRequest(KRHCONN hconn, const KRMD& md, const char* data, KRLONG length, DWORD threshold);
  // Ends the open unit of work of the current request: commits it or backs
  // it out, closes the request queue and disconnects. The commit's reason
  // code (0 when it held, or when backing out).
  KRLONG EndUnit(bool commit);
  // Puts `length` bytes as the reply to the request whose descriptor is
  // `request` on the reply-to queue `queue` of queue manager `qmgr`: through
  // a connection of its own, or under syncpoint on `unit` when one is given.
  // S_OK when the reply was put, STG_E_CANTSAVE otherwise.
  HRESULT PutReply(const char* data, size_t length, const KRMD& request, const char* queue, const char* qmgr,
                   KRHCONN unit = KRHC_UNUSABLE_HCONN);
  void ReleaseRequest();
  void DiscardResponse();
  void SetError(LONG code, const std::string& description);
  void ClearError();

  HGLOBAL request_memory_ = nullptr;
  HGLOBAL response_memory_ = nullptr;
  uint32_t read_position_ = 0;
  int32_t request_present_ = 0;
  KRMD request_descriptor_{};
  STATSTG stream_status_{};
  char reply_to_queue_[KR_Q_NAME_LENGTH + 1] = {};
  char reply_to_qmgr_[KR_Q_MGR_NAME_LENGTH + 1] = {};
  std::u16string soap_action_;
  std::u16string error_description_;
  LONG error_code_ = 0;
  // The request and the complete response as they came, UTF-8; turned into
  // the SoapRequest and SoapResponse properties only when those are read.
  std::string soap_request_;
  std::string soap_response_;
  std::u16string queue_manager_;
  std::u16string queue_;
  // The names in UTF-8, as the queue calls take them.
  std::string queue_manager_utf8_;
  std::string queue_utf8_;
  // The get's buffer, MaxMessageLength bytes and a terminator; kept from
  // request to request and sized again when the setting changes.
  std::vector<char> receive_buffer_;
  IXMLDOMDocument* xml_document_ = nullptr;
  // The text route's findings, kept to reuse their memory.
  ActionText action_text_;

  // The value a caller last put as SoapAction: what a request without a
  // SoapAction element of its own is served under.
  std::u16string put_soap_action_;
  // True from a successful get until the response to that request has been
  // put (or its put tried): a complete response is sent only while a
  // request is waiting for it, and only to that request's reply-to queue.
  bool reply_pending_ = false;

  // "UnitOfWork": the connection and request queue handle of the request
  // taken under syncpoint, from its get until its unit of work ends (the
  // reply put and committed, or backed out).
  bool in_unit_ = false;
  KRHCONN unit_conn_ = KRHC_UNUSABLE_HCONN;
  KRHOBJ unit_queue_ = KRHO_UNUSABLE_HOBJ;
  // The request had been backed out before: it is served alone in the
  // process (see the quarantine in soap_handler.cpp).
  bool unit_suspect_ = false;
};

}  // namespace krsoap::halvex
