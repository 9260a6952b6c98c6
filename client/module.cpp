// The corvel module: its object map (the classes it can create, in
// registration order) and its four exported entry points. corvel carries no
// marshalling code: its objects live in the apartment that made them.
#include "client/connectors.h"
#include "client/kr_stream.h"
#include "corvel.h"
#include "platform/com/server.h"

KR_BEGIN_OBJECT_MAP(kCorvelObjects)
  KR_OBJECT_ENTRY(CLSID_KRServerConnector, krsoap::corvel::CKRServerConnector, 102)
  KR_OBJECT_ENTRY(CLSID_KRClientConnector, krsoap::corvel::CKRClientConnector, 103)
  KR_OBJECT_ENTRY(CLSID_KRStream, krsoap::corvel::CKRStream, 104)
KR_END_OBJECT_MAP()

KR_SERVER_MODULE(kCorvelObjects, &LIBID_CORVELLib, nullptr)
