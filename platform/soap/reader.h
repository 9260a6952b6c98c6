// SoapReader: loads a SOAP 1.1 envelope into a DOM document (the DOMDocument
// class, created through COM) and hands out its parts: envelope, header,
// body, fault and its fields, RPC struct, parameters and result.
//
// Load takes what the document's load takes (a byte array, a stream object)
// or, as a BSTR, the envelope's text. It answers S_OK when an envelope in the
// SOAP 1.1 namespace was loaded, S_FALSE when the text did not parse or is no
// such envelope, and a failure for a source it cannot read. Part getters
// answer S_FALSE with no element when the part is absent.
#pragma once

#include <mutex>
#include <string>

#include "platform/com/server.h"
#include "platform/soap/com_ptr.h"
#include "soaptoolkit.h"

namespace krsoap::soap {

class CSoapReader : public krsoap::com::ObjectRoot,
                    public krsoap::com::DispatchImpl<ISoapReader, &LIBID_KRSOAPToolkitLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CSoapReader)
    KR_INTERFACE_ENTRY(ISoapReader)
    KR_INTERFACE_ENTRY2(IDispatch, ISoapReader)
  KR_END_INTERFACE_MAP()

  HRESULT Load(VARIANT source, BSTR soap_action, VARIANT_BOOL* loaded) override;
  HRESULT loadXML(BSTR xml, VARIANT_BOOL* loaded) override;
  HRESULT get_Dom(IXMLDOMDocument** document) override;
  HRESULT get_Envelope(IXMLDOMElement** element) override;
  HRESULT get_Body(IXMLDOMElement** element) override;
  HRESULT get_Header(IXMLDOMElement** element) override;
  HRESULT get_Fault(IXMLDOMElement** element) override;
  HRESULT get_FaultString(IXMLDOMElement** element) override;
  HRESULT get_FaultCode(IXMLDOMElement** element) override;
  HRESULT get_FaultActor(IXMLDOMElement** element) override;
  HRESULT get_Detail(IXMLDOMElement** element) override;
  HRESULT HeaderEntry(BSTR local_name, BSTR namespace_uri, IXMLDOMElement** element) override;
  HRESULT BodyEntry(BSTR local_name, BSTR namespace_uri, IXMLDOMElement** element) override;
  HRESULT get_RpcStruct(IXMLDOMElement** element) override;
  HRESULT RpcParameter(BSTR local_name, BSTR namespace_uri, IXMLDOMElement** element) override;
  HRESULT get_RpcResult(IXMLDOMElement** element) override;
  HRESULT get_soapAction(BSTR* action) override;

 private:
  HRESULT LoadLocked(VARIANT source, bool text, VARIANT_BOOL* loaded);
  HRESULT EnvelopeLocked(ComPtr<IXMLDOMElement>* out);
  // The first child element of `parent` with `local` name ("" any) in
  // `uri` (null: any namespace; "": none).
  HRESULT Child(const ComPtr<IXMLDOMElement>& parent, const std::string& local, const std::string* uri,
                ComPtr<IXMLDOMElement>* out);
  HRESULT EnvelopePart(const char* local, ComPtr<IXMLDOMElement>* out);
  HRESULT FaultPart(const char* local, IXMLDOMElement** out);

  std::mutex mu_;
  ComPtr<IXMLDOMDocument> dom_;
  std::u16string soap_action_;
};

}  // namespace krsoap::soap
