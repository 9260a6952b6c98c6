// SoapServer: answers SOAP 1.1 requests for the operations that a WSDL file
// describes and a mapping file ties to COM objects.
//
// SoapInvoke reads the whole request from the input stream (Stat, then Read
// until a read gives no bytes, at most 10 MB), finds the operation by the
// SOAP action (quotes removed; several operations sharing one action are
// told apart by the Body's first element) or else by the Body's first
// element, converts the parameter elements from their XSD types to
// VARIANTs, creates the object by ProgID (or takes the one kept for a
// cachable object), calls the method through IDispatch and writes the
// response through the output stream's Write. The envelope prefix is always
// "SOAP-ENV", so the response ends with the literal "</SOAP-ENV:Envelope>".
//
// Every failure is answered with a SOAP 1.1 fault written the same way:
// SOAP-ENV:Client for what the caller got wrong (not well-formed, not a SOAP
// 1.1 envelope, unknown operation, missing, extra or unconvertible
// parameters), SOAP-ENV:VersionMismatch for another envelope version,
// SOAP-ENV:MustUnderstand for a mandatory header it does not know,
// SOAP-ENV:Server for everything else (uninitialised server, the object
// cannot be created, the object's own error, whose description becomes the
// fault string). SoapInvoke returns S_OK when the response or fault was
// written whole; a failure HRESULT only when nothing could be written (no
// output stream, or its Write failed).
//
// Objects are safe to use from several threads at once: Init swaps an
// immutable state, and cached objects are shared by every call.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/com/server.h"
#include "platform/soap/wsdl_model.h"
#include "soaptoolkit.h"

namespace krsoap::soap {

struct ServerState;

class CSoapServer : public krsoap::com::ObjectRoot,
                    public krsoap::com::DispatchImpl<ISoapServer, &LIBID_KRSOAPToolkitLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CSoapServer)
    KR_INTERFACE_ENTRY(ISoapServer)
    KR_INTERFACE_ENTRY2(IDispatch, ISoapServer)
  KR_END_INTERFACE_MAP()

  HRESULT Init(BSTR wsdl_file, BSTR wsml_file) override;
  HRESULT SoapInvoke(VARIANT request, IUnknown* response_stream, BSTR soap_action) override;
  HRESULT get_errorDescription(BSTR* text) override;

 private:
  std::shared_ptr<ServerState> State();

  std::mutex mu_;
  std::shared_ptr<ServerState> state_;
  std::string error_ = "Init has not been called";
};

}  // namespace krsoap::soap
