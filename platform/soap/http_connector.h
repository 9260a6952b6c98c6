// HttpConnector: the toolkit's connector for "http:" and "https:" endpoints,
// over libcurl. A caller sets properties, names the endpoint (ConnectWSDL or
// the "EndPointURL" property) and the operation (BeginMessageWSDL or the
// "SoapAction" property), writes the request into OutputStream, calls
// EndMessage, and reads the response from InputStream.
//
// Properties (get and put through `Property`; names compared without case):
//   EndPointURL      string  where requests are posted (ConnectWSDL stores the
//                            port's address here)
//   SoapAction       string  sent as the SOAPAction header, in quotes
//                            (BeginMessageWSDL stores the operation's action)
//   HTTPCharset      string  charset of the Content-Type; empty means UTF-8
//   Timeout          long    milliseconds for the whole exchange (default
//                            30000; 0 or less is taken as the default, so a
//                            call is always bounded)
//   ConnectTimeout   long    milliseconds to establish the connection
//                            (default: Timeout, at most 10000)
//   AuthUser, AuthPassword   HTTP basic credentials, sent with every request
//   ProxyServer, ProxyPort, UseProxy (boolean), ProxyUser, ProxyPassword
//   SSLClientCertificateName path of a PEM client certificate (optional)
//   SSLVerify        boolean server certificate and host name checked
//                            (default true; false relaxes verification)
//   MaxResponseSize  long    largest response body accepted (default 16 MB)
//   ErrorDescription string  (read only) why the last EndMessage failed
//   HTTPStatus       long    (read only) status of the last response
// Any other name is refused with E_INVALIDARG, for reading and writing, as is
// writing a read-only property or a long that is not a number.
//
// EndMessage answers S_OK when a response arrived with a 2xx status, or
// with an error status whose body is a SOAP envelope (a fault the caller
// reads like any response). Otherwise the response is not readable and the
// result is one of the failures below, the reason in "ErrorDescription":
// connection refused, time-out, an error status without a SOAP body, a
// response too large, any other transport failure. The libcurl handle is
// kept between exchanges, so connections stay alive.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/com/server.h"
#include "platform/soap/buffer_stream.h"
#include "soaptoolkit.h"

namespace krsoap::soap {

// Failures of an exchange. An error status without a SOAP body is
// kHttpStatusBase + the status.
inline constexpr HRESULT kConnRefused = static_cast<HRESULT>(0x800704C9);  // from Win32 1225
inline constexpr HRESULT kConnTimeout = static_cast<HRESULT>(0x800705B4);  // from Win32 1460
inline constexpr HRESULT kConnNoEndpoint = static_cast<HRESULT>(0x80041001);
inline constexpr HRESULT kConnTransport = static_cast<HRESULT>(0x80041002);
inline constexpr HRESULT kConnTooLarge = static_cast<HRESULT>(0x80041003);
inline constexpr HRESULT kHttpStatusBase = static_cast<HRESULT>(0x80042000);

class CHttpConnector : public krsoap::com::ObjectRoot,
                       public krsoap::com::DispatchImpl<ISoapConnector, &LIBID_KRSOAPToolkitLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CHttpConnector)
    KR_INTERFACE_ENTRY(ISoapConnector)
    KR_INTERFACE_ENTRY2(IDispatch, ISoapConnector)
  KR_END_INTERFACE_MAP()

  HRESULT FinalConstruct();
  void FinalRelease();

  HRESULT get_InputStream(IUnknown** stream) override;
  HRESULT get_OutputStream(IUnknown** stream) override;
  HRESULT get_Property(BSTR name, VARIANT* value) override;
  HRESULT put_Property(BSTR name, VARIANT value) override;
  HRESULT ConnectWSDL(IWSDLPort* port) override;
  HRESULT reset() override;
  HRESULT BeginMessageWSDL(IWSDLOperation* operation) override;
  HRESULT EndMessage() override;
  HRESULT Connect() override;
  HRESULT BeginMessage() override;

 private:
  HRESULT Fail(HRESULT hr, std::string why);
  std::string Prop(const char* name) const;
  long LongProp(const char* name, long fallback) const;
  bool BoolProp(const char* name, bool fallback) const;

  std::mutex mu_;
  std::map<std::string, std::string> props_;  // lower-case name -> text value
  BufferStream* in_ = nullptr;   // one reference each
  BufferStream* out_ = nullptr;
  void* curl_ = nullptr;         // CURL*, kept for keep-alive
  std::string error_;
  long status_ = 0;
};

}  // namespace krsoap::soap
