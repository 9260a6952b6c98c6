// CKRBaseConn: the object behind every corvel connector. It holds the
// connector's properties, its queue-manager connection and queue handles,
// its memory stream and, for "http:" endpoints, the toolkit's HttpConnector
// it hands its work to. Abstract: CKRBaseClientConn and CKRBaseServerConn
// (bindings.h) add the bindings library and the connect step.
//
// The operations live in one file per concern:
//   base_conn.cpp       construction, the HTTP connector, the property table,
//                       the endpoint address and the ten connector operations
//   queue_exchange.cpp  opening the queues, the put of a request, the get of
//                       its reply
//   soap_patch.cpp      the SoapAction element, the invalid-address fault
//   bindings.cpp        the bindings libraries, connect, disconnect
//
// A connector is apartment-threaded: one thread at a time calls it, so it
// takes no locks of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/queue/krqueue.h"
#include "corvel.h"
#include "platform/com/com.h"
#include "platform/com/stream.h"
#include "platform/soap/com_ptr.h"
#include "soaptoolkit.h"

namespace krsoap::corvel {

using krsoap::soap::ComPtr;

// Where the client's registry values live (HKEY_LOCAL_MACHINE).
inline constexpr const char16_t* kClientKey = u"SOFTWARE\\Orvane\\KRSoap\\Client";
// "ReplyWait" (REG_DWORD, milliseconds): how long a connector waits for the
// reply to a request. 15,000 when the value is absent or 0.
inline constexpr const char16_t* kReplyWaitValue = u"ReplyWait";
inline constexpr DWORD kDefaultReplyWaitMs = 15000;
DWORD ReplyWaitMilliseconds();

// "MaxMessageLength" (REG_DWORD, bytes): the size of a connector's request
// and reply buffers, each with room for a terminating zero, so a request or
// a reply carries at most one byte less. 4,096 when absent, 0 or above
// 4 MiB (the queue's default maximum message length). Read when a connector
// is made.
inline constexpr const char16_t* kMaxMessageLengthValue = u"MaxMessageLength";
inline constexpr DWORD kDefaultMessageBuffer = 4096;
inline constexpr DWORD kLargestMessageBuffer = 4u * 1024 * 1024;
DWORD MessageBufferBytes();
// "RequestExpiry" (REG_DWORD): nonzero gives each request an expiry equal
// to the reply wait, so a request whose client has stopped waiting is never
// served (the host gives the reply the same expiry). 0 when absent: requests
// never expire. Read when a connector is made.
inline constexpr const char16_t* kRequestExpiryValue = u"RequestExpiry";
bool RequestExpiryEnabled();

// Why a connector's queue operations cannot run when its bindings library
// could not be loaded (ERROR_DLL_NOT_FOUND as an HRESULT).
inline constexpr HRESULT kBindingsNotLoaded = static_cast<HRESULT>(0x80070485);

class CKRBaseConn {
 public:
  CKRBaseConn();
  CKRBaseConn(const CKRBaseConn&) = delete;
  CKRBaseConn& operator=(const CKRBaseConn&) = delete;

  // The operations, in the order of the object's virtual table.
  virtual ~CKRBaseConn();
  virtual HRESULT reset();
  virtual HRESULT PatchSoap();
  virtual HRESULT ParseEndPointURL();
  virtual HRESULT WriteSoapUrlError();
  virtual HRESULT OpenNewQueue();
  virtual HRESULT GetMessage();
  virtual HRESULT get_Property(BSTR name, VARIANT* value);
  virtual HRESULT put_Property(BSTR name, VARIANT value);
  virtual HRESULT get_OutputStream(IUnknown** stream);
  virtual HRESULT get_InputStream(IUnknown** stream);
  virtual HRESULT EndMessage();
  virtual HRESULT ConnectToQM() = 0;
  virtual HRESULT OpenQueues();
  virtual HRESULT PutKRMessage();
  virtual HRESULT DisconnectAndClose();
  virtual HRESULT CreateHttpConnector();
  virtual HRESULT ConnectWSDL(IWSDLPort* port);
  virtual HRESULT Connect();
  virtual HRESULT BeginMessageWSDL(IWSDLOperation* operation);
  virtual HRESULT BeginMessage();

 protected:
  // Connect through the entry point the derived class resolved; `name` is
  // the queue manager to connect to. Shared by both bindings kinds.
  HRESULT ConnectWith(const std::u16string& name, const char* connect_message);
  // Opens the request queue (named by the "Queue" and "RemoteQueueMgr"
  // properties) for output into the request queue handle; E_FAIL, traced and
  // with its reason code kept, when the open fails.
  HRESULT OpenRequestQueue();
  // The memory stream's IStream; the query's failure, traced as "Could not
  // QI KRStream for IStream", when there is none.
  HRESULT StreamInterface(ComPtr<IStream>* out);
  // Reads whatever `stream` holds and throws it away, however long it is.
  static void Drain(IStream* stream);
  // buffer_, message_buffer_ bytes, made on first use.
  char* MessageBuffer() {
    if (buffer_.size() != message_buffer_) buffer_.assign(message_buffer_, '\0');
    return buffer_.data();
  }
  // get_InputStream and get_OutputStream.
  HRESULT GetStream(bool input, IUnknown** stream);
  // Stores `value` (a string the caller keeps) through put_Property.
  HRESULT PutStringProperty(const char16_t* name, BSTR value);
  // S_OK when every entry point was resolved, otherwise why not.
  HRESULT EntryPointsReady() const { return entry_points_status_; }
  // Stores a failed call's reason code as "LastErrorCode".
  void SetLastError(KRLONG reason) { last_error_code_ = reason; }

  std::u16string local_queue_manager_;
  std::u16string remote_queue_manager_;
  std::u16string queue_;
  std::u16string reply_to_queue_;
  std::u16string soap_action_;
  std::u16string endpoint_url_;
  std::u16string http_charset_;
  uint8_t connected_ = 0;
  uint8_t http_ = 0;
  uint8_t invalid_url_ = 0;
  LONG last_error_code_ = 0;
  KRHCONN connection_ = 0;
  KRHOBJ request_queue_ = 0;
  KRHOBJ reply_to_queue_handle_ = 0;
  LONG open_options_ = 0;
  KRBYTE request_message_id_[KR_MSG_ID_LENGTH] = {};
  IKRStream* stream_ = nullptr;
  ISoapConnector* http_connector_ = nullptr;
  KRCLOSE_FN close_ = nullptr;
  KRCONN_FN connect_ = nullptr;
  KRDISC_FN disconnect_ = nullptr;
  KRGET_FN get_ = nullptr;
  KROPEN_FN open_ = nullptr;
  KRPUT_FN put_ = nullptr;

  // Set by the derived constructor: S_OK once all six entry points are
  // resolved, kBindingsNotLoaded or E_UNEXPECTED otherwise. No queue call is
  // made while it is not S_OK.
  HRESULT entry_points_status_ = E_UNEXPECTED;
  // True when the last PutKRMessage put a request: only then is a reply
  // awaited (otherwise the get would wait for an earlier request's reply).
  bool request_put_ = false;
  DWORD reply_wait_ms_ = kDefaultReplyWaitMs;
  // The request and reply buffer size ("MaxMessageLength"); a request or a
  // reply carries at most one byte less.
  DWORD message_buffer_ = kDefaultMessageBuffer;
  // The one buffer the request is read into and the reply got into (never
  // both at once), message_buffer_ bytes once first used.
  std::vector<char> buffer_;
  // "RequestExpiry": requests expire when their reply wait is over.
  bool request_expiry_ = false;
  // Property "OneWay", set by the SOAP client for an operation without an
  // output message, for the next EndMessage only: the request goes as a
  // datagram without a reply-to queue and no reply is awaited.
  bool one_way_ = false;
};

}  // namespace krsoap::corvel
