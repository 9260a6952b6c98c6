// libkrxml: the XML DOM module. Its one creatable class is DOMDocument; node,
// list and parse-error objects are made by the document.
#include "platform/com/server.h"
#include "platform/xml/dom.h"

KR_BEGIN_OBJECT_MAP(kObjectMap)
  KR_OBJECT_ENTRY(CLSID_DOMDocument, krsoap::xml::CDomDocument, 101)
KR_END_OBJECT_MAP()

KR_SERVER_MODULE(kObjectMap, &LIBID_KRXMLDOMLib, nullptr)
