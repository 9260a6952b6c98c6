// The halvex module: its object map (the classes it can create, in
// registration order), its proxy file (the interpreted proxies and stubs of
// its four interfaces, generated from halvex.idl) and its four exported
// entry points, which offer every request to the proxy file first.
#include "halvex.h"
#include "platform/com/proxystub.h"
#include "platform/com/server.h"
#include "server/monitor.h"
#include "server/object_trigger.h"
#include "server/soap_handler.h"
#include "server/soap_invoker.h"

KR_BEGIN_OBJECT_MAP(kHalvexObjects)
  KR_OBJECT_ENTRY(CLSID_KRSoapHandler, krsoap::halvex::CKRSoapHandler, 102)
  KR_OBJECT_ENTRY(CLSID_KRSoapMonitor, krsoap::halvex::CKRSoapMonitor, 103)
  KR_OBJECT_ENTRY(CLSID_KRSoapInvoker, krsoap::halvex::CKRSoapInvoker, 104)
  KR_OBJECT_ENTRY(CLSID_KRObjectTrigger, krsoap::halvex::CKRObjectTrigger, 105)
KR_END_OBJECT_MAP()

// The proxy/stub class is identified by IKRSoapHandler's IID; the proxy file
// lists the interfaces in this order.
KR_PROXY_FILE(kHalvexProxyFile, IID_IKRSoapHandler, &kr_desc_IKRSoapHandler, &kr_desc_IKRSoapMonitor,
              &kr_desc_IKRObjectTrigger, &kr_desc_IKRSoapInvoker)

KR_SERVER_MODULE(kHalvexObjects, &LIBID_HALVEXLib, &kHalvexProxyFile)
