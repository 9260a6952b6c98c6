// CKRSoapInvoker: the implementation of coclass KRSoapInvoker, the trigger a
// worker thread runs for each request. Its Execute joins the toolkit's
// SoapServer (created and initialised once per invoker) and a KRSoapHandler
// (created once per invoker), which takes the request off the queue and
// sends back the response the SoapServer writes. Owns both references.
#pragma once

#include "halvex.h"
#include "platform/com/server.h"
#include "soaptoolkit.h"

namespace krsoap::halvex {

class CKRSoapInvoker : public krsoap::com::ObjectRoot,
                       public krsoap::com::DispatchImpl<IKRSoapInvoker, &LIBID_HALVEXLib>,
                       public krsoap::com::DispatchImpl<IKRObjectTrigger, &LIBID_HALVEXLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CKRSoapInvoker)
    KR_INTERFACE_ENTRY(IKRSoapInvoker)
    KR_INTERFACE_ENTRY2(IDispatch, IKRSoapInvoker)
    KR_INTERFACE_ENTRY(IKRObjectTrigger)
  KR_END_INTERFACE_MAP()

  ~CKRSoapInvoker();

  // IKRObjectTrigger
  HRESULT Execute(BSTR QueueMgr, BSTR Queue, BSTR WSDL, BSTR WSML, BSTR Param, LONG* Result) override;

 private:
  ISoapServer* server_ = nullptr;
  IKRSoapHandler* handler_ = nullptr;
};

}  // namespace krsoap::halvex
