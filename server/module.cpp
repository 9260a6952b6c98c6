// The halvex module: its object map (the classes it can create, in
// registration order) and its four exported entry points.
#include "halvex.h"
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

KR_SERVER_MODULE(kHalvexObjects, &LIBID_HALVEXLib, nullptr)
