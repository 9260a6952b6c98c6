// SoapSerializer: writes a SOAP 1.1 envelope into a stream object, element by
// element, keeping track of the namespace declarations in scope.
//
// Output is UTF-8 with an XML declaration; the envelope prefix is the one
// given to startEnvelope, "SOAP-ENV" when none is. Every element gets an end
// tag of its own (never <x/>), so a reader looking for the literal end tag
// "</SOAP-ENV:Envelope>" finds it. Bytes are handed to the stream's Write at
// endEnvelope, whenever 16 kB have gathered, and when the serializer is
// released.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/server.h"
#include "platform/com/stream.h"
#include "soaptoolkit.h"

namespace krsoap::soap {

inline constexpr char kSoapEnvelopeNs[] = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr char kSoapEncodingNs[] = "http://schemas.xmlsoap.org/soap/encoding/";
inline constexpr char kDefaultEnvelopePrefix[] = "SOAP-ENV";

class CSoapSerializer : public krsoap::com::ObjectRoot,
                        public krsoap::com::DispatchImpl<ISoapSerializer, &LIBID_KRSOAPToolkitLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CSoapSerializer)
    KR_INTERFACE_ENTRY(ISoapSerializer)
    KR_INTERFACE_ENTRY2(IDispatch, ISoapSerializer)
  KR_END_INTERFACE_MAP()

  void FinalRelease();

  HRESULT Init(VARIANT destination) override;
  HRESULT startEnvelope(BSTR prefix, BSTR encoding_style, BSTR xml_encoding) override;
  HRESULT endEnvelope() override;
  HRESULT startHeader(BSTR encoding_style) override;
  HRESULT startHeaderElement(BSTR name, BSTR namespace_uri, LONG must_understand, BSTR actor_uri,
                             BSTR encoding_style, BSTR prefix) override;
  HRESULT endHeaderElement() override;
  HRESULT endHeader() override;
  HRESULT startBody(BSTR encoding_style) override;
  HRESULT endBody() override;
  HRESULT startElement(BSTR name, BSTR namespace_uri, BSTR encoding_style, BSTR prefix) override;
  HRESULT endElement() override;
  HRESULT SoapAttribute(BSTR name, BSTR namespace_uri, BSTR value, BSTR prefix) override;
  HRESULT SoapNamespace(BSTR prefix, BSTR namespace_uri) override;
  HRESULT SoapDefaultNamespace(BSTR namespace_uri) override;
  HRESULT writeString(BSTR text) override;
  HRESULT writeBuffer(LONG length, BYTE* buffer) override;
  HRESULT startFault(BSTR fault_code, BSTR fault_string, BSTR fault_actor, BSTR fault_code_namespace) override;
  HRESULT startFaultDetail(BSTR encoding_style) override;
  HRESULT endFaultDetail() override;
  HRESULT endFault() override;
  HRESULT reset() override;
  HRESULT writeXML(BSTR xml) override;
  HRESULT getPrefixForNamespace(BSTR namespace_uri, BSTR* prefix) override;
  HRESULT get_EncodingStream(IUnknown** stream) override;

 private:
  struct Frame {
    std::string qname;
    std::vector<std::pair<std::string, std::string>> namespaces;  // prefix ("" default) -> URI
    std::vector<std::string> attributes;
  };

  void ClearLocked();
  HRESULT FlushLocked();
  void CloseStartTag();
  void Open(const std::string& qname);
  HRESULT Close(const char* expected_local);  // null: any element
  void Declare(const std::string& prefix, const std::string& uri);
  HRESULT Attribute(const std::string& qname, const std::string& value);
  bool FindPrefix(const std::string& uri, bool allow_default, std::string* prefix) const;
  bool BoundUri(const std::string& prefix, std::string* uri) const;
  std::string NewPrefix() ;
  HRESULT StartElementLocked(const std::string& name, const std::string& uri, const std::string& encoding_style,
                             const std::string& prefix);
  HRESULT TextElement(const std::string& qname, const std::string& text);
  HRESULT EncodingStyle(const std::string& style);

  std::mutex mu_;
  ISequentialStream* stream_ = nullptr;  // one reference
  IUnknown* stream_object_ = nullptr;    // one reference: what Init was given
  std::string out_;
  bool start_tag_open_ = false;
  std::vector<Frame> stack_;
  std::string envelope_prefix_ = kDefaultEnvelopePrefix;
  int generated_prefixes_ = 0;
};

}  // namespace krsoap::soap
