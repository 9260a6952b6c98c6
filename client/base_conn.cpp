// CKRBaseConn: construction and destruction, the HTTP connector, the
// property table, the endpoint address and the ten connector operations the
// toolkit calls (see base_conn.h for where the rest lives).
#include "client/base_conn.h"

#include <strings.h>

#include <string>

#include "common/trace/trace.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/registry/registry.h"
#include "platform/text/convert.h"

namespace krsoap::corvel {

using krsoap::trace::TraceEntry;
using krsoap::trace::TraceExit;
namespace {

using krsoap::platform::Utf16ToUtf8;
using krsoap::platform::Utf8ToUtf16;

std::u16string FromBstr(BSTR b) { return std::u16string(krsoap::com::BstrView(b)); }

// A property value as text for the trace and for storing: the string of a
// VT_BSTR, otherwise the value converted to a string. False when it has none.
bool ValueText(const VARIANT& value, std::u16string* text) {
  if (value.vt == VT_BSTR) {
    *text = FromBstr(value.bstrVal);
    return true;
  }
  if (value.vt == (VT_BYREF | VT_BSTR)) {
    *text = value.pbstrVal ? FromBstr(*value.pbstrVal) : std::u16string();
    return true;
  }
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) {
    text->clear();
    return true;
  }
  VARIANT converted;
  VariantInit(&converted);
  if (FAILED(VariantChangeType(&converted, &value, 0, VT_BSTR))) return false;
  *text = FromBstr(converted.bstrVal);
  VariantClear(&converted);
  return true;
}

// A new BSTR copy of `member` in `result`; E_OUTOFMEMORY when none can be made.
HRESULT ReturnString(const std::u16string& member, VARIANT* result) {
  BSTR copy = krsoap::com::AllocBstr(member);
  if (!copy) return E_OUTOFMEMORY;
  VariantInit(result);
  result->vt = VT_BSTR;
  result->bstrVal = copy;
  return S_OK;
}

bool IsQueueOnly(std::u16string_view name) {
  return name == u"Queue" || name == u"LocalQueueMgr" || name == u"RemoteQueueMgr" || name == u"OneWay";
}

// A property value as a flag: a nonzero number or boolean, or the text
// "true" / "1". False when it is none of these.
bool ValueFlag(const VARIANT& value) {
  VARIANT converted;
  VariantInit(&converted);
  if (FAILED(VariantChangeType(&converted, &value, 0, VT_BOOL))) return false;
  return converted.boolVal != VARIANT_FALSE;
}

}  // namespace

HRESULT CKRBaseConn::StreamInterface(ComPtr<IStream>* out) {
  HRESULT hr = stream_ ? stream_->QueryInterface(IID_IStream, out->OutVoid()) : E_NOINTERFACE;
  if (SUCCEEDED(hr) && !*out) hr = E_NOINTERFACE;
  if (FAILED(hr)) LogText("Could not QI KRStream for IStream: %x", static_cast<unsigned>(hr));
  return hr;
}

void CKRBaseConn::Drain(IStream* stream) {
  char scratch[kDefaultMessageBuffer];
  ULONG got = 0;
  while (stream->Read(scratch, sizeof scratch, &got) == S_OK && got > 0) {
  }
}

DWORD ReplyWaitMilliseconds() {
  DWORD value = 0;
  if (!krsoap::platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, kReplyWaitValue, &value) || value == 0) {
    return kDefaultReplyWaitMs;
  }
  return value > 0x7FFFFFFFu ? 0x7FFFFFFFu : value;  // the queue manager takes a signed wait interval
}

DWORD MessageBufferBytes() {
  DWORD value = 0;
  if (!krsoap::platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, kMaxMessageLengthValue, &value) ||
      value == 0 || value > kLargestMessageBuffer) {
    return kDefaultMessageBuffer;
  }
  return value;
}

bool RequestExpiryEnabled() {
  DWORD value = 0;
  return krsoap::platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kClientKey, kRequestExpiryValue, &value) &&
         value != 0;
}

CKRBaseConn::CKRBaseConn() {
  TraceEntry(u"CKRBaseConn::ctor");
  HRESULT hr = CoCreateInstance(CLSID_KRStream, nullptr, CLSCTX_ALL, IID_IKRStream,
                                reinterpret_cast<void**>(&stream_));
  if (FAILED(hr) || !stream_) {
    LogText("Error: Unable to create KRStream object.");
    stream_ = nullptr;
  }
  reply_wait_ms_ = ReplyWaitMilliseconds();
  message_buffer_ = MessageBufferBytes();
  request_expiry_ = RequestExpiryEnabled();
  TraceExit(u"CKRBaseConn::ctor", hr);
}

CKRBaseConn::~CKRBaseConn() {
  TraceEntry(u"CKRBaseConn::dtor");
  ULONG count = 0;
  if (stream_) count = stream_->Release();
  stream_ = nullptr;
  if (http_connector_) count = http_connector_->Release();
  http_connector_ = nullptr;
  TraceExit(u"CKRBaseConn::dtor", static_cast<long>(count));
}

HRESULT CKRBaseConn::CreateHttpConnector() {
  TraceEntry(u"CKRBaseConn::CreateHttpConnector");
  HRESULT hr = S_OK;
  if (!http_connector_) {
    LogText("Creating HttpConnector.");
    hr = CoCreateInstance(CLSID_HttpConnector, nullptr, CLSCTX_ALL, IID_ISoapConnector,
                          reinterpret_cast<void**>(&http_connector_));
    if (FAILED(hr) || !http_connector_) {
      LogText("Error: Unable to create HttpConnector.");
      http_connector_ = nullptr;
      if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
      TraceExit(u"CKRBaseConn::CreateHttpConnector", hr);
      return hr;
    }
  }
  LogText("Transferring properties to HttpConnector.");
  const std::pair<const char16_t*, const std::u16string*> transfers[] = {
      {u"EndPointURL", &endpoint_url_}, {u"SoapAction", &soap_action_}, {u"HTTPCharset", &http_charset_}};
  for (const auto& [name, member] : transfers) {
    krsoap::com::BstrPtr name_bstr{std::u16string_view(name)};
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = krsoap::com::AllocBstr(*member);
    if (!name_bstr.get() || !value.bstrVal) {
      hr = E_OUTOFMEMORY;
    } else {
      hr = http_connector_->put_Property(name_bstr.get(), value);  // only the last result counts
    }
    VariantClear(&value);
  }
  if (FAILED(hr)) LogText("Error: Unable to initialise HttpConnector properties.");
  TraceExit(u"CKRBaseConn::CreateHttpConnector", hr);
  return hr;
}

HRESULT CKRBaseConn::get_Property(BSTR name, VARIANT* result) {
  TraceEntry(u"CKRBaseConn::get_Property");
  const std::u16string n = FromBstr(name);
  LogText("Getting property %s.", Utf16ToUtf8(n).c_str());
  HRESULT hr = S_OK;
  if (http_) {
    if (IsQueueOnly(n) || n == u"LastErrorCode") {
      LogText("Cannot delegate get_Property call to HttpConnector (KR specific property).");
    } else {
      LogText("Delegating get_Property call to HttpConnector.");
      hr = http_connector_ ? http_connector_->get_Property(name, result) : E_UNEXPECTED;
    }
  } else if (!result) {
    hr = E_INVALIDARG;
  } else if (n == u"EndPointURL") {
    hr = ReturnString(endpoint_url_, result);
  } else if (n == u"Queue") {
    hr = ReturnString(queue_, result);
  } else if (n == u"LocalQueueMgr") {
    hr = ReturnString(local_queue_manager_, result);
  } else if (n == u"RemoteQueueMgr") {
    hr = ReturnString(remote_queue_manager_, result);
  } else if (n == u"SoapAction") {
    hr = ReturnString(soap_action_, result);
  } else if (n == u"HTTPCharset") {
    hr = ReturnString(http_charset_, result);
  } else if (n == u"LastErrorCode") {
    VariantInit(result);
    result->vt = VT_I4;
    result->lVal = last_error_code_;
  } else if (n == u"OneWay") {
    VariantInit(result);
    result->vt = VT_BOOL;
    result->boolVal = one_way_ ? VARIANT_TRUE : VARIANT_FALSE;
  } else {
    hr = E_INVALIDARG;
  }
  TraceExit(u"CKRBaseConn::get_Property", hr);
  return hr;
}

HRESULT CKRBaseConn::put_Property(BSTR name, VARIANT value) {
  TraceEntry(u"CKRBaseConn::put_Property");
  const std::u16string n = FromBstr(name);
  std::u16string text;
  const bool has_text = ValueText(value, &text);
  LogText("Putting value %s into property %s.", has_text ? Utf16ToUtf8(text).c_str() : "(not a string)",
          Utf16ToUtf8(n).c_str());
  HRESULT hr = S_OK;
  if (http_) {
    if (IsQueueOnly(n)) {
      LogText("Cannot delegate put_Property call to HttpConnector (KR specific property).");
    } else {
      LogText("Delegating put_Property call to HttpConnector.");
      hr = http_connector_ ? http_connector_->put_Property(name, value) : E_UNEXPECTED;
    }
    TraceExit(u"CKRBaseConn::put_Property", hr);
    return hr;
  }
  if (n == u"OneWay") {
    // A flag for the next message, not a string property.
    one_way_ = ValueFlag(value);
    TraceExit(u"CKRBaseConn::put_Property", hr);
    return hr;
  }
  std::u16string* member = nullptr;
  if (n == u"EndPointURL") {
    member = &endpoint_url_;
  } else if (n == u"Queue") {
    member = &queue_;
  } else if (n == u"LocalQueueMgr") {
    member = &local_queue_manager_;
  } else if (n == u"RemoteQueueMgr") {
    member = &remote_queue_manager_;
  } else if (n == u"SoapAction") {
    member = &soap_action_;
  } else if (n == u"HTTPCharset") {
    member = &http_charset_;
  }
  if (!member) {
    hr = E_INVALIDARG;
  } else if (!has_text) {
    hr = DISP_E_TYPEMISMATCH;
  } else {
    *member = std::move(text);
    if (member == &endpoint_url_) {
      hr = ParseEndPointURL();
    } else if (member == &queue_ && request_queue_ != 0) {
      OpenNewQueue();  // a failure shows in the trace and in "LastErrorCode"
    }
  }
  TraceExit(u"CKRBaseConn::put_Property", hr);
  return hr;
}

HRESULT CKRBaseConn::ParseEndPointURL() {
  TraceEntry(u"CKRBaseConn::ParseEndPointURL");
  HRESULT hr = S_OK;
  const std::string url = Utf16ToUtf8(endpoint_url_);
  if (url.size() >= 4 && ::strncasecmp(url.c_str(), "krs:", 4) == 0) {
    LogText("Found KR URL.");
    const size_t colon = url.find(':');
    const size_t at = url.find('@');
    if (at != std::string::npos) {
      const std::string queue = url.substr(colon + 1, at - colon - 1);
      const std::string qmgr = url.substr(at + 1);
      queue_ = Utf8ToUtf16(queue);
      remote_queue_manager_ = Utf8ToUtf16(qmgr);
      LogText("Queue manager: %s - Queue: %s", qmgr.c_str(), queue.c_str());
    } else {
      queue_ = u"default";
      remote_queue_manager_.clear();
      LogText("Error parsing KR URL: %s", url.c_str());
      LogText("Using default queue manager and queue names.");
    }
  } else if (url.size() >= 5 && ::strncasecmp(url.c_str(), "http:", 5) == 0) {
    LogText("Found HTTP URL.");
    http_ = 1;
    hr = CreateHttpConnector();
  } else {
    LogText("Unable to parse URL.");
    invalid_url_ = 1;
  }
  TraceExit(u"CKRBaseConn::ParseEndPointURL", hr);
  return hr;
}

// The two stream getters differ only in their names: both hand out the one
// memory stream, which carries the request in and the reply out.
HRESULT CKRBaseConn::GetStream(bool input, IUnknown** stream) {
  const char16_t* name = input ? u"CKRBaseConn::get_InputStream" : u"CKRBaseConn::get_OutputStream";
  TraceEntry(name);
  HRESULT hr = E_NOINTERFACE;
  if (http_) {
    LogText(input ? "Delegating get_InputStream call to HttpConnector."
                  : "Delegating get_OutputStream call to HttpConnector.");
    if (!http_connector_) {
      hr = E_UNEXPECTED;
    } else {
      hr = input ? http_connector_->get_InputStream(stream) : http_connector_->get_OutputStream(stream);
    }
  } else if (stream && stream_) {
    hr = stream_->QueryInterface(IID_IKRStream, reinterpret_cast<void**>(stream));
  }
  TraceExit(name, hr);
  return hr;
}

HRESULT CKRBaseConn::get_InputStream(IUnknown** stream) { return GetStream(true, stream); }

HRESULT CKRBaseConn::get_OutputStream(IUnknown** stream) { return GetStream(false, stream); }

HRESULT CKRBaseConn::PutStringProperty(const char16_t* name, BSTR value) {
  krsoap::com::BstrPtr name_bstr{std::u16string_view(name)};
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = value;  // borrowed for the call
  return put_Property(name_bstr.get(), v);
}

HRESULT CKRBaseConn::ConnectWSDL(IWSDLPort* port) {
  TraceEntry(u"CKRBaseConn::ConnectWSDL");
  HRESULT hr = S_OK;
  if (port) {
    BSTR address = nullptr;
    HRESULT got = port->get_address(&address);
    if (SUCCEEDED(got) && address) {
      PutStringProperty(u"EndPointURL", address);  // its result is not the call's
      LogText("get_address of Port returned %s.", Utf16ToUtf8(FromBstr(address)).c_str());
    } else {
      LogText("Error: get_address of Port returned %x.", static_cast<unsigned>(got));
      hr = got;
    }
    SysFreeString(address);
  }
  if (http_) {
    LogText("Delegating ConnectWSDL call to HttpConnector.");
    hr = http_connector_ ? http_connector_->ConnectWSDL(port) : E_UNEXPECTED;
  }
  TraceExit(u"CKRBaseConn::ConnectWSDL", hr);
  return hr;
}

HRESULT CKRBaseConn::Connect() {
  TraceEntry(u"CKRBaseConn::Connect");
  HRESULT hr;
  if (http_) {
    LogText("Delegating Connect call to HttpConnector.");
    hr = http_connector_ ? http_connector_->Connect() : E_UNEXPECTED;
  } else {
    hr = ConnectWSDL(nullptr);
  }
  TraceExit(u"CKRBaseConn::Connect", hr);
  return hr;
}

HRESULT CKRBaseConn::BeginMessageWSDL(IWSDLOperation* operation) {
  TraceEntry(u"CKRBaseConn::BeginMessageWSDL");
  HRESULT hr = S_OK;
  if (http_) {
    LogText("Delegating BeginMessageWSDL call to HttpConnector.");
    hr = http_connector_ ? http_connector_->BeginMessageWSDL(operation) : E_UNEXPECTED;
  } else if (operation) {
    BSTR action = nullptr;
    hr = operation->get_soapAction(&action);
    if (SUCCEEDED(hr) && action) {
      hr = PutStringProperty(u"SoapAction", action);
      LogText("get_soapAction of Operation returned %s.", Utf16ToUtf8(FromBstr(action)).c_str());
    } else {
      LogText("Error: get_soapAction of Operation returned %x.", static_cast<unsigned>(hr));
    }
    SysFreeString(action);
  }
  TraceExit(u"CKRBaseConn::BeginMessageWSDL", hr);
  return hr;
}

HRESULT CKRBaseConn::BeginMessage() {
  TraceEntry(u"CKRBaseConn::BeginMessage");
  HRESULT hr;
  if (http_) {
    LogText("Delegating BeginMessage call to HttpConnector.");
    hr = http_connector_ ? http_connector_->BeginMessage() : E_UNEXPECTED;
  } else {
    hr = BeginMessageWSDL(nullptr);
  }
  TraceExit(u"CKRBaseConn::BeginMessage", hr);
  return hr;
}

HRESULT CKRBaseConn::reset() {
  TraceEntry(u"CKRBaseConn::reset");
  HRESULT hr = S_OK;
  if (http_) {
    LogText("Delegating reset call to HttpConnector.");
    hr = http_connector_ ? http_connector_->reset() : E_UNEXPECTED;
  }
  TraceExit(u"CKRBaseConn::reset", hr);
  return hr;
}

HRESULT CKRBaseConn::EndMessage() {
  TraceEntry(u"CKRBaseConn::EndMessage");
  HRESULT hr = S_OK;
  if (invalid_url_) {
    LogText("Unable to send message due to invalid URL.");
    hr = WriteSoapUrlError();
  } else if (http_) {
    LogText("Delegating EndMessage call to HttpConnector.");
    hr = http_connector_ ? http_connector_->EndMessage() : E_UNEXPECTED;
  } else {
    if (!connected_) {
      hr = ConnectToQM();
      if (SUCCEEDED(hr)) hr = OpenQueues();
      if (FAILED(hr)) {
        // The request cannot go out: take it out of the stream, so that the
        // next request does not find it in front of its own bytes.
        if (stream_) {
          ComPtr<IStream> stream;
          if (SUCCEEDED(stream_->QueryInterface(IID_IStream, stream.OutVoid())) && stream) Drain(stream.get());
        }
        one_way_ = false;
        TraceExit(u"CKRBaseConn::EndMessage", hr);
        return hr;
      }
    }
    if (SUCCEEDED(hr)) hr = PatchSoap();
    if (SUCCEEDED(hr)) hr = PutKRMessage();
    if (SUCCEEDED(hr)) {
      if (request_put_ && one_way_) {
        // A one-way operation: the put was the whole exchange. No reply
        // will ever come, so waiting for one would only turn a success
        // into a time-out.
        LogText("One-way operation: no reply is awaited.");
      } else if (request_put_) {
        hr = GetMessage();
      } else {
        // Nothing went out (an empty request, or one the patching could not
        // read as a SOAP envelope): there is no reply to wait for, and a get
        // would wait for the previous request's reply instead.
        LogText("No request was sent; no reply is awaited.");
        hr = E_INVALIDARG;
      }
    }
  }
  one_way_ = false;  // it described this message only
  TraceExit(u"CKRBaseConn::EndMessage", hr);
  return hr;
}

}  // namespace krsoap::corvel
