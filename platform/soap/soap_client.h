// SoapClient: calls the operations of one port of a WSDL file through a
// connector. Init loads the WSDL (and the optional WSML), picks the service
// and port (the first ones when the names are empty), creates the connector
// (client property "ConnectorProgID", default the HttpConnector) and hands
// it the port (ConnectWSDL). Connector properties set through
// "ConnectorProperty" go straight to the connector and are replayed when a
// new ConnectorProgID replaces it.
//
// An operation is called through IDispatch by name: GetIDsOfNames answers
// the interface's own members from the type library and the port's
// operation names after them (DISPIDs 1..n, one per operation in WSDL
// order). Invoke takes the input parameters by position, runs
// BeginMessageWSDL, serialises the request into the connector's output
// stream, EndMessage, reads the response from its input stream and returns
// the output value converted from its XSD type. A SOAP fault is returned as
// DISP_E_EXCEPTION with the fault string as the exception's description,
// and faultcode/faultstring/faultactor/detail keep it until the next call; a
// transport failure returns the connector's HRESULT with its description
// (faultstring holds it too, faultcode "SOAP-ENV:Client").
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/server.h"
#include "platform/soap/com_ptr.h"
#include "platform/soap/wsdl_model.h"
#include "soaptoolkit.h"

namespace krsoap::soap {

// A call answered with a SOAP fault (C++ callers see it from CallOperation).
inline constexpr HRESULT kClientSoapFault = static_cast<HRESULT>(0x80041101);

class CSoapClient : public krsoap::com::ObjectRoot,
                    public krsoap::com::DispatchImpl<ISoapClient, &LIBID_KRSOAPToolkitLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CSoapClient)
    KR_INTERFACE_ENTRY(ISoapClient)
    KR_INTERFACE_ENTRY2(IDispatch, ISoapClient)
  KR_END_INTERFACE_MAP()

  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  HRESULT Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo, UINT* arg_err) override;

  HRESULT Init(BSTR wsdl_file, BSTR service_name, BSTR port_name, BSTR wsml_file) override;
  HRESULT get_faultcode(BSTR* code) override;
  HRESULT get_faultstring(BSTR* text) override;
  HRESULT get_faultactor(BSTR* actor) override;
  HRESULT get_detail(BSTR* detail) override;
  HRESULT get_ClientProperty(BSTR name, VARIANT* value) override;
  HRESULT put_ClientProperty(BSTR name, VARIANT value) override;
  HRESULT get_ConnectorProperty(BSTR name, VARIANT* value) override;
  HRESULT put_ConnectorProperty(BSTR name, VARIANT value) override;

  // Calls operation number `index` with `args` in parameter order.
  // S_OK with `result` set; kClientSoapFault for a fault; another failure
  // from the connector or for a response that cannot be read.
  HRESULT CallOperation(size_t index, const VARIANT* args, size_t count, VARIANT* result);

  void FinalRelease();

 private:
  struct Fault {
    std::string code, string, actor, detail;
  };
  HRESULT MakeConnectorLocked(const std::string& prog_id);
  HRESULT SetFaultLocked(std::string code, std::string text, HRESULT hr);

  std::mutex mu_;
  ModelPtr model_;
  size_t service_ = 0, port_ = 0;
  ComPtr<IWSDLPort> port_object_;
  ComPtr<ISoapConnector> connector_;
  std::string connector_prog_id_;
  std::vector<std::pair<std::u16string, VARIANT>> connector_props_;  // owned VARIANTs
  Fault fault_;
  std::string error_;  // why Init failed
};

}  // namespace krsoap::soap
