// WSDLReader through COM activation: the example Calculator's description,
// an rpc/encoded description, the fixed slots callers use, and files that
// are missing, malformed, hostile or inconsistent.
#include <fstream>

#include "tests/soap_server/soap_test_util.h"

namespace krsoap::test {
namespace {

class WsdlReaderTest : public SoapTest {
 protected:
  HRESULT Load(const std::string& wsdl, const std::string& wsml, std::string* why = nullptr) {
    if (!reader_) {
      HRESULT hr = CoCreateInstance(CLSID_WSDLReader, nullptr, CLSCTX_ALL, IID_IWSDLReader, reader_.OutVoid());
      if (FAILED(hr)) return hr;
    }
    Bstr w(wsdl), m(wsml);
    HRESULT hr = reader_->Load(w.get(), m.get());
    Bstr text;
    EXPECT_EQ(S_OK, reader_->get_errorDescription(text.Out()));
    if (why) *why = text.Utf8();
    return hr;
  }
  std::string Write(const std::string& name, const std::string& content) {
    std::string path = home_.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  void FirstPort(Ptr<IWSDLPort>* port) {
    Ptr<IEnumWSDLService> services;
    ASSERT_EQ(S_OK, reader_->GetSoapServices(services.Out()));
    Ptr<IWSDLService> service;
    LONG fetched = 0;
    ASSERT_EQ(S_OK, services->Next(1, service.Out(), &fetched));
    Ptr<IEnumWSDLPorts> ports;
    ASSERT_EQ(S_OK, service->GetSoapPorts(ports.Out()));
    ASSERT_EQ(S_OK, ports->Next(1, port->Out(), &fetched));
  }
  static std::string Str(HRESULT (IWSDLOperation::*get)(BSTR*), IWSDLOperation* op) {
    Bstr b;
    EXPECT_EQ(S_OK, (op->*get)(b.Out()));
    return b.Utf8();
  }

  Ptr<IWSDLReader> reader_;
};

TEST_F(WsdlReaderTest, CalculatorServicePortAndOperations) {
  ASSERT_EQ(S_OK, Load(CalcWsdl(), CalcWsml()));
  Ptr<IEnumWSDLService> services;
  ASSERT_EQ(S_OK, reader_->GetSoapServices(services.Out()));
  LONG count = 0;
  ASSERT_EQ(S_OK, services->Size(&count));
  EXPECT_EQ(1, count);
  Ptr<IWSDLService> service;
  Bstr name("Calculator");
  ASSERT_EQ(S_OK, services->Find(name.get(), service.Out()));
  Bstr doc;
  ASSERT_EQ(S_OK, service->get_documentation(doc.Out()));
  EXPECT_EQ("The krsoap example Calculator.", doc.Utf8());

  Ptr<IWSDLPort> port;
  FirstPort(&port);
  Bstr port_name, address, style, transport;
  ASSERT_EQ(S_OK, port->get_name(port_name.Out()));
  ASSERT_EQ(S_OK, port->get_address(address.Out()));
  ASSERT_EQ(S_OK, port->get_bindStyle(style.Out()));
  ASSERT_EQ(S_OK, port->get_transport(transport.Out()));
  EXPECT_EQ("CalculatorPort", port_name.Utf8());
  EXPECT_EQ("http://127.0.0.1:8080/calculator", address.Utf8());
  EXPECT_EQ("document", style.Utf8());
  EXPECT_EQ("http://schemas.xmlsoap.org/soap/http", transport.Utf8());

  Ptr<IEnumWSDLOperations> ops;
  ASSERT_EQ(S_OK, port->GetSoapOperations(ops.Out()));
  ASSERT_EQ(S_OK, ops->Size(&count));
  EXPECT_EQ(6, count);
  // Next with room for more than there are: S_FALSE and the count.
  IWSDLOperation* all[8] = {};
  LONG fetched = 0;
  EXPECT_EQ(S_FALSE, ops->Next(8, all, &fetched));
  ASSERT_EQ(6, fetched);
  const char* names[] = {"Add", "Subtract", "Multiply", "Divide", "Echo", "Concat"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(names[i], Str(&IWSDLOperation::get_name, all[i]));
    EXPECT_EQ(std::string("urn:krsoap-calculator#") + names[i], Str(&IWSDLOperation::get_soapAction, all[i]));
    EXPECT_EQ("Krsoap.Calculator", Str(&IWSDLOperation::get_objectProgID, all[i]));
    EXPECT_EQ(names[i], Str(&IWSDLOperation::get_objectMethod, all[i]));
    EXPECT_EQ("document", Str(&IWSDLOperation::get_style, all[i]));
    EXPECT_EQ("literal", Str(&IWSDLOperation::get_use, all[i]));
    LONG dispid = 0;
    EXPECT_EQ(S_OK, all[i]->get_dispID(&dispid));
    EXPECT_EQ(i + 1, dispid);
    all[i]->Release();
  }
  EXPECT_EQ(S_FALSE, ops->Next(1, all, &fetched));
  EXPECT_EQ(0, fetched);
  EXPECT_EQ(S_OK, ops->Reset());
  Ptr<IEnumWSDLOperations> clone;
  ASSERT_EQ(S_OK, ops->Skip(3));
  ASSERT_EQ(S_OK, ops->Clone(clone.Out()));
  Ptr<IWSDLOperation> divide;
  ASSERT_EQ(S_OK, clone->Next(1, divide.Out(), &fetched));
  EXPECT_EQ("Divide", Str(&IWSDLOperation::get_name, divide.get()));
  EXPECT_EQ("Returns a / b; fails when b is 0.", Str(&IWSDLOperation::get_documentation, divide.get()));

  // Parts: the wrapper's children in, Result out, with their call indexes.
  Ptr<IEnumSoapMappers> in, out;
  ASSERT_EQ(S_OK, divide->GetOperationParts(in.Out(), out.Out()));
  ASSERT_EQ(S_OK, in->Size(&count));
  EXPECT_EQ(2, count);
  Ptr<ISoapMapper> b;
  Bstr bname("b");
  ASSERT_EQ(S_OK, in->Find(bname.get(), b.Out()));
  LONG index = 0;
  Bstr type, ns;
  EXPECT_EQ(S_OK, b->get_callIndex(&index));
  EXPECT_EQ(2, index);
  EXPECT_EQ(S_OK, b->get_elementType(type.Out()));
  EXPECT_EQ("double", type.Utf8());
  EXPECT_EQ(S_OK, b->get_xmlNameSpace(ns.Out()));
  EXPECT_EQ("urn:krsoap-calculator", ns.Utf8());
  Ptr<ISoapMapper> result;
  ASSERT_EQ(S_OK, out->Next(1, result.Out(), &fetched));
  EXPECT_EQ(S_OK, result->get_callIndex(&index));
  EXPECT_EQ(-1, index);
  VARIANT_BOOL input = VARIANT_TRUE;
  EXPECT_EQ(S_OK, result->get_isInput(&input));
  EXPECT_EQ(VARIANT_FALSE, input);
  Bstr missing("nothing");
  Ptr<ISoapMapper> none;
  EXPECT_EQ(S_FALSE, in->Find(missing.get(), none.Out()));
  EXPECT_FALSE(none);
}

// Connectors read the address through the port's fifth vtable slot and the
// SOAP action through the operation's sixth: call them by slot, as a caller
// compiled against the published layout does.
TEST_F(WsdlReaderTest, AddressAndSoapActionSitInTheirFixedSlots) {
  ASSERT_EQ(S_OK, Load(CalcWsdl(), ""));
  Ptr<IWSDLPort> port;
  FirstPort(&port);
  using Getter = HRESULT (*)(void*, BSTR*);
  Bstr address;
  Getter get_address = reinterpret_cast<Getter>((*reinterpret_cast<void***>(port.get()))[4]);
  ASSERT_EQ(S_OK, get_address(port.get(), address.Out()));
  EXPECT_EQ("http://127.0.0.1:8080/calculator", address.Utf8());

  Ptr<IEnumWSDLOperations> ops;
  ASSERT_EQ(S_OK, port->GetSoapOperations(ops.Out()));
  Ptr<IWSDLOperation> op;
  ASSERT_EQ(S_OK, ops->Next(1, op.Out(), nullptr));
  Bstr action;
  Getter get_action = reinterpret_cast<Getter>((*reinterpret_cast<void***>(op.get()))[5]);
  ASSERT_EQ(S_OK, get_action(op.get(), action.Out()));
  EXPECT_EQ("urn:krsoap-calculator#Add", action.Utf8());
  // Without a mapping file the operation names no object.
  EXPECT_EQ("", Str(&IWSDLOperation::get_objectProgID, op.get()));
  LONG dispid = 0;
  EXPECT_EQ(S_OK, op->get_dispID(&dispid));
  EXPECT_EQ(-1, dispid);
}

TEST_F(WsdlReaderTest, RpcEncodedDescription) {
  ASSERT_EQ(S_OK, Load(DataPath("calc_rpc.wsdl"), DataPath("calc_rpc.wsml")));
  Ptr<IWSDLPort> port;
  FirstPort(&port);
  Bstr address, style;
  ASSERT_EQ(S_OK, port->get_address(address.Out()));
  EXPECT_EQ("krs:CALC.REQUEST@", address.Utf8());
  ASSERT_EQ(S_OK, port->get_bindStyle(style.Out()));
  EXPECT_EQ("rpc", style.Utf8());
  Ptr<IEnumWSDLOperations> ops;
  ASSERT_EQ(S_OK, port->GetSoapOperations(ops.Out()));
  Ptr<IWSDLOperation> op;
  Bstr name("Echo");
  ASSERT_EQ(S_OK, ops->Find(name.get(), op.Out()));
  EXPECT_EQ("rpc", Str(&IWSDLOperation::get_style, op.get()));
  EXPECT_EQ("encoded", Str(&IWSDLOperation::get_use, op.get()));
  EXPECT_EQ("urn:calc-rpc", Str(&IWSDLOperation::get_bodyNamespace, op.get()));
  Ptr<IEnumSoapMappers> in, out;
  ASSERT_EQ(S_OK, op->GetOperationParts(in.Out(), out.Out()));
  Ptr<ISoapMapper> text;
  ASSERT_EQ(S_OK, in->Next(1, text.Out(), nullptr));
  Bstr part, type;
  EXPECT_EQ(S_OK, text->get_partName(part.Out()));
  EXPECT_EQ(S_OK, text->get_elementType(type.Out()));
  EXPECT_EQ("text", part.Utf8());
  EXPECT_EQ("string", type.Utf8());
  // comValue keeps what was put, as a copy.
  Bstr value("hello");
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = value.get();
  ASSERT_EQ(S_OK, text->put_comValue(v));
  VARIANT back;
  ASSERT_EQ(S_OK, text->get_comValue(&back));
  ASSERT_EQ(VT_BSTR, back.vt);
  EXPECT_EQ("hello", com::BstrToUtf8(back.bstrVal));
  VariantClear(&back);
}

TEST_F(WsdlReaderTest, ObjectsOutliveTheirReaderAndItsNextLoad) {
  ASSERT_EQ(S_OK, Load(CalcWsdl(), CalcWsml()));
  Ptr<IWSDLPort> port;
  FirstPort(&port);
  ASSERT_EQ(S_OK, Load(DataPath("calc_rpc.wsdl"), ""));
  reader_.Reset();
  Bstr address;
  ASSERT_EQ(S_OK, port->get_address(address.Out()));
  EXPECT_EQ("http://127.0.0.1:8080/calculator", address.Utf8());
}

TEST_F(WsdlReaderTest, FailuresHaveAnHresultAndAReadableDescription) {
  std::string why;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Load(home_.path() + "/none.wsdl", "", &why));
  EXPECT_NE(std::string::npos, why.find("none.wsdl")) << why;
  Ptr<IEnumWSDLService> services;
  EXPECT_EQ(E_UNEXPECTED, reader_->GetSoapServices(services.Out()));

  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Load(CalcWsdl(), home_.path() + "/none.wsml", &why));
  EXPECT_NE(std::string::npos, why.find("none.wsml")) << why;

  EXPECT_TRUE(FAILED(Load(Write("bad.wsdl", "<definitions><unclosed></definitions>"), "", &why)));
  EXPECT_NE(std::string::npos, why.find("not well-formed")) << why;

  EXPECT_TRUE(FAILED(Load(Write("other.wsdl", "<root/>"), "", &why)));
  EXPECT_NE(std::string::npos, why.find("wsdl:definitions")) << why;

  EXPECT_TRUE(FAILED(Load(home_.path(), "", &why)));  // a directory
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(E_INVALIDARG, Load("", "", &why));

  // A good load clears the description.
  EXPECT_EQ(S_OK, Load(CalcWsdl(), CalcWsml(), &why));
  EXPECT_EQ("", why);
}

TEST_F(WsdlReaderTest, MappingThatNamesWhatDoesNotExistIsRefused) {
  std::string wsml;
  {
    std::ifstream in(CalcWsml());
    wsml.assign(std::istreambuf_iterator<char>(in), {});
  }
  auto variant = [&](const std::string& from, const std::string& to) {
    std::string s = wsml;
    size_t at = s.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    s.replace(at, from.size(), to);
    return Write("variant.wsml", s);
  };
  std::string why;
  EXPECT_TRUE(FAILED(Load(CalcWsdl(), variant("PROGID=\"Krsoap.Calculator\"", "PROGID=\"Krsoap.NoSuchClass\""), &why)));
  EXPECT_NE(std::string::npos, why.find("Krsoap.NoSuchClass")) << why;
  EXPECT_TRUE(FAILED(Load(CalcWsdl(), variant("operation name=\"Add\"", "operation name=\"Power\""), &why)));
  EXPECT_NE(std::string::npos, why.find("Power")) << why;
  EXPECT_TRUE(FAILED(Load(CalcWsdl(), variant("uses=\"CalcObj\"", "uses=\"Other\""), &why)));
  EXPECT_NE(std::string::npos, why.find("Other")) << why;
  EXPECT_TRUE(FAILED(Load(CalcWsdl(), variant("elementName=\"a\"", "elementName=\"x\""), &why)));
  EXPECT_NE(std::string::npos, why.find("\"x\"")) << why;
  EXPECT_TRUE(FAILED(Load(CalcWsdl(), variant("callIndex=\"1\"", "callIndex=\"100000\""), &why)));
  EXPECT_NE(std::string::npos, why.find("callIndex")) << why;
  EXPECT_TRUE(FAILED(Load(CalcWsdl(), variant("<service name=\"Calculator\">", "<service name=\"Other\">"), &why)));
  EXPECT_TRUE(FAILED(Load(CalcWsdl(), Write("x.wsml", "<servicemapping><service"), &why)));
}

TEST_F(WsdlReaderTest, HostileDescriptionsNeitherCrashNorReadFiles) {
  std::string secret = Write("secret.txt", "TOP-SECRET-CONTENT");
  std::string why;
  // An external entity in the service's documentation.
  std::string xxe = "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY x SYSTEM \"file://" + secret +
                    "\">]><definitions xmlns=\"http://schemas.xmlsoap.org/wsdl/\" "
                    "xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\"><service name=\"S\">"
                    "<documentation>&x;</documentation></service></definitions>";
  HRESULT hr = Load(Write("xxe.wsdl", xxe), "", &why);
  if (SUCCEEDED(hr)) {
    Ptr<IEnumWSDLService> services;
    ASSERT_EQ(S_OK, reader_->GetSoapServices(services.Out()));
    Ptr<IWSDLService> s;
    ASSERT_EQ(S_OK, services->Next(1, s.Out(), nullptr));
    Bstr doc;
    ASSERT_EQ(S_OK, s->get_documentation(doc.Out()));
    EXPECT_EQ(std::string::npos, doc.Utf8().find("TOP-SECRET")) << doc.Utf8();
  }
  EXPECT_EQ(std::string::npos, why.find("TOP-SECRET"));

  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\">";
  for (char c = 'b'; c <= 'k'; ++c) {
    std::string refs;
    for (int i = 0; i < 10; ++i) refs += std::string("&") + static_cast<char>(c - 1) + ";";
    laughs += std::string("<!ENTITY ") + c + " \"" + refs + "\">";
  }
  laughs += "]><definitions xmlns=\"http://schemas.xmlsoap.org/wsdl/\"><service name=\"S\"><documentation>&k;"
            "</documentation></service></definitions>";
  hr = Load(Write("laughs.wsdl", laughs), "", &why);  // refused, or read without expanding a billion a's
  (void)hr;

  std::string deep = "<definitions xmlns=\"http://schemas.xmlsoap.org/wsdl/\">";
  for (int i = 0; i < 10000; ++i) deep += "<documentation>";
  EXPECT_TRUE(FAILED(Load(Write("deep.wsdl", deep), "", &why)));

  // A schema type that contains itself.
  std::string loop =
      "<definitions xmlns=\"http://schemas.xmlsoap.org/wsdl/\" xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\" "
      "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" xmlns:t=\"urn:t\" targetNamespace=\"urn:t\"><types>"
      "<xs:schema targetNamespace=\"urn:t\"><xs:element name=\"E\"><xs:complexType><xs:sequence>"
      "<xs:element ref=\"t:E\"/></xs:sequence></xs:complexType></xs:element></xs:schema></types>"
      "<message name=\"M\"><part name=\"p\" element=\"t:E\"/></message>"
      "<portType name=\"PT\"><operation name=\"O\"><input message=\"t:M\"/><output message=\"t:M\"/></operation></portType>"
      "<binding name=\"B\" type=\"t:PT\"><soap:binding style=\"document\"/><operation name=\"O\"/></binding>"
      "<service name=\"S\"><port name=\"P\" binding=\"t:B\"><soap:address location=\"x\"/></port></service>"
      "</definitions>";
  hr = Load(Write("loop.wsdl", loop), "", &why);
  EXPECT_TRUE(SUCCEEDED(hr) || !why.empty());
}

}  // namespace
}  // namespace krsoap::test
