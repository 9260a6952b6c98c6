// The two connector classes, KRServerConnector and KRClientConnector: COM
// shells around one piece of connector logic each (CKRBaseServerConn or
// CKRBaseClientConn), made and destroyed with the object. The toolkit calls
// them through ISoapConnector, a second vtable whose ten methods go to the
// logic's operations of the same name unchanged; IDispatch on that vtable is
// served from the toolkit's type library, on the class's own interface from
// corvel's.
#pragma once

#include "client/bindings.h"
#include "corvel.h"
#include "platform/com/server.h"
#include "soaptoolkit.h"

namespace krsoap::corvel {

template <class Itf, class Logic>
class CKRConnector : public krsoap::com::ObjectRoot,
                     public krsoap::com::DispatchImpl<Itf, &LIBID_CORVELLib>,
                     public krsoap::com::DispatchImpl<ISoapConnector, &LIBID_KRSOAPToolkitLib> {
 public:
  HRESULT get_InputStream(IUnknown** stream) override { return logic_.get_InputStream(stream); }
  HRESULT get_OutputStream(IUnknown** stream) override { return logic_.get_OutputStream(stream); }
  HRESULT get_Property(BSTR name, VARIANT* value) override { return logic_.get_Property(name, value); }
  HRESULT put_Property(BSTR name, VARIANT value) override { return logic_.put_Property(name, value); }
  HRESULT ConnectWSDL(IWSDLPort* port) override { return logic_.ConnectWSDL(port); }
  HRESULT reset() override { return logic_.reset(); }
  HRESULT BeginMessageWSDL(IWSDLOperation* operation) override { return logic_.BeginMessageWSDL(operation); }
  HRESULT EndMessage() override { return logic_.EndMessage(); }
  HRESULT Connect() override { return logic_.Connect(); }
  HRESULT BeginMessage() override { return logic_.BeginMessage(); }

 private:
  Logic logic_;
};

class CKRServerConnector : public CKRConnector<IKRServerConnector, CKRBaseServerConn> {
 public:
  KR_BEGIN_INTERFACE_MAP(CKRServerConnector)
    KR_INTERFACE_ENTRY(IKRServerConnector)
    KR_INTERFACE_ENTRY2(IDispatch, IKRServerConnector)
    KR_INTERFACE_ENTRY(ISoapConnector)
  KR_END_INTERFACE_MAP()
};

class CKRClientConnector : public CKRConnector<IKRClientConnector, CKRBaseClientConn> {
 public:
  KR_BEGIN_INTERFACE_MAP(CKRClientConnector)
    KR_INTERFACE_ENTRY(IKRClientConnector)
    KR_INTERFACE_ENTRY2(IDispatch, IKRClientConnector)
    KR_INTERFACE_ENTRY(ISoapConnector)
  KR_END_INTERFACE_MAP()
};

}  // namespace krsoap::corvel
