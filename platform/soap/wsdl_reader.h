// WSDLReader: loads a WSDL file and its mapping file and hands out the
// service, port, operation and part objects describing them (with their
// enumerators). The port's `address` is its soap:address location, the
// operation's `soapAction` its soap:operation soapAction.
//
// Every object made from one Load shares the loaded model (immutable), so
// they stay valid after the reader is released or loads again, and may be
// used from any thread. A part's `comValue` is the only thing that changes;
// it has a lock of its own.
#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/server.h"
#include "platform/soap/wsdl_model.h"
#include "soaptoolkit.h"

namespace krsoap::soap {

class CWSDLReader : public krsoap::com::ObjectRoot, public IWSDLReader {
 public:
  KR_BEGIN_INTERFACE_MAP(CWSDLReader)
    KR_INTERFACE_ENTRY(IWSDLReader)
  KR_END_INTERFACE_MAP()

  HRESULT Load(BSTR wsdl_file, BSTR wsml_file) override;
  HRESULT GetSoapServices(IEnumWSDLService** services) override;
  HRESULT setProperty(BSTR name, VARIANT value) override;
  HRESULT get_errorDescription(BSTR* text) override;

 private:
  std::mutex mu_;
  ModelPtr model_;
  std::string error_;
};

// Objects for one service, port or operation of a loaded model, for code of
// this module that holds a model (the server, the client).
HRESULT MakeServiceEnum(const ModelPtr& model, IEnumWSDLService** out);
HRESULT MakePort(const ModelPtr& model, size_t service, size_t port, IWSDLPort** out);
HRESULT MakeOperation(const ModelPtr& model, size_t service, size_t port, size_t operation, IWSDLOperation** out);

}  // namespace krsoap::soap
