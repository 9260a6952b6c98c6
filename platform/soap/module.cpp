// libkrsoap: the SOAP toolkit module. Each class of the toolkit is one entry
// of the object map below, with the id of its registry script in
// krsoap.krres; a new class adds its header, its script and its line here.
#include "platform/com/server.h"
#include "platform/soap/http_connector.h"
#include "platform/soap/reader.h"
#include "platform/soap/serializer.h"
#include "platform/soap/soap_client.h"
#include "platform/soap/soap_server.h"
#include "platform/soap/wsdl_reader.h"

KR_BEGIN_OBJECT_MAP(kObjectMap)
  KR_OBJECT_ENTRY(CLSID_WSDLReader, krsoap::soap::CWSDLReader, 101)
  KR_OBJECT_ENTRY(CLSID_SoapServer, krsoap::soap::CSoapServer, 102)
  KR_OBJECT_ENTRY(CLSID_SoapSerializer, krsoap::soap::CSoapSerializer, 103)
  KR_OBJECT_ENTRY(CLSID_SoapReader, krsoap::soap::CSoapReader, 104)
  KR_OBJECT_ENTRY(CLSID_HttpConnector, krsoap::soap::CHttpConnector, 105)
  KR_OBJECT_ENTRY(CLSID_SoapClient, krsoap::soap::CSoapClient, 106)
KR_END_OBJECT_MAP()

KR_SERVER_MODULE(kObjectMap, &LIBID_KRSOAPToolkitLib, nullptr)
