// SoapReader through COM activation on real envelopes: RPC responses,
// faults (including what the serializer writes), header and body entries,
// sources of every kind, and documents that are no envelopes.
#include <cstdio>

#include "tests/soap_serializer/soap_test_util.h"

namespace krsoap::test {
namespace {

constexpr char kResponse[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\r\n"
    "  <soap:Header><t:Trace xmlns:t=\"urn:trace\">abc</t:Trace></soap:Header>\r\n"
    "  <soap:Body>\r\n"
    "    <m:AddResponse xmlns:m=\"urn:calc\"><Result xsi:type=\"xsd:double\">5</Result>"
    "<Extra>x</Extra></m:AddResponse>\r\n"
    "  </soap:Body>\r\n"
    "</soap:Envelope>\r\n";

constexpr char kFault[] =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
    "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>Division by zero</faultstring>"
    "<detail><e>b = 0</e></detail></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>";

class ReaderTest : public SoapTest {
 protected:
  void SetUp() override {
    SoapTest::SetUp();
    ASSERT_EQ(S_OK, NewReader(&reader_));
  }
  HRESULT LoadText(const std::string& text, VARIANT_BOOL* ok = nullptr) {
    Bstr b(text);
    VARIANT_BOOL local = VARIANT_FALSE;
    return reader_->loadXML(b.get(), ok ? ok : &local);
  }
  Ptr<ISoapReader> reader_;
};

TEST_F(ReaderTest, RpcResponsePartsFromAStream) {
  MemoryStream* s = MemoryStream::Create(kResponse);
  Bstr action("urn:calc#Add");
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(S_OK, reader_->Load(Unknown(s), action.get(), &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  EXPECT_EQ("", s->Content());  // read out
  s->Release();

  Ptr<IXMLDOMElement> e;
  ASSERT_EQ(S_OK, reader_->get_RpcResult(e.Out()));
  EXPECT_EQ("5", TextOf(e.get()));
  ASSERT_EQ(S_OK, reader_->get_RpcStruct(e.Out()));
  Bstr name;
  e->get_nodeName(name.Out());
  EXPECT_EQ("m:AddResponse", name.Utf8());
  Bstr extra("Extra"), trace("Trace"), trace_ns("urn:trace"), wrong_ns("urn:nope");
  ASSERT_EQ(S_OK, reader_->RpcParameter(extra.get(), nullptr, e.Out()));
  EXPECT_EQ("x", TextOf(e.get()));
  ASSERT_EQ(S_OK, reader_->HeaderEntry(trace.get(), trace_ns.get(), e.Out()));
  EXPECT_EQ("abc", TextOf(e.get()));
  EXPECT_EQ(S_FALSE, reader_->HeaderEntry(trace.get(), wrong_ns.get(), e.Out()));
  EXPECT_FALSE(e);
  EXPECT_EQ(S_FALSE, reader_->get_Fault(e.Out()));
  EXPECT_EQ(S_FALSE, reader_->get_FaultString(e.Out()));
  ASSERT_EQ(S_OK, reader_->get_Body(e.Out()));
  ASSERT_EQ(S_OK, reader_->get_Envelope(e.Out()));
  Bstr got;
  ASSERT_EQ(S_OK, reader_->get_soapAction(got.Out()));
  EXPECT_EQ("urn:calc#Add", got.Utf8());
  Ptr<IXMLDOMDocument> dom;
  ASSERT_EQ(S_OK, reader_->get_Dom(dom.Out()));
}

TEST_F(ReaderTest, FaultFieldsFromTextAndFromTheSerializer) {
  ASSERT_EQ(S_OK, LoadText(kFault));
  Ptr<IXMLDOMElement> e;
  ASSERT_EQ(S_OK, reader_->get_Fault(e.Out()));
  ASSERT_EQ(S_OK, reader_->get_FaultCode(e.Out()));
  EXPECT_EQ("SOAP-ENV:Server", TextOf(e.get()));
  ASSERT_EQ(S_OK, reader_->get_FaultString(e.Out()));
  EXPECT_EQ("Division by zero", TextOf(e.get()));
  ASSERT_EQ(S_OK, reader_->get_Detail(e.Out()));
  EXPECT_EQ("b = 0", TextOf(e.get()));
  EXPECT_EQ(S_FALSE, reader_->get_FaultActor(e.Out()));
  EXPECT_EQ(S_FALSE, reader_->get_Header(e.Out()));

  // What the serializer writes, read from a byte array.
  Ptr<ISoapSerializer> ser;
  ASSERT_EQ(S_OK, NewSerializer(&ser));
  MemoryStream* out = MemoryStream::Create();
  ASSERT_EQ(S_OK, ser->Init(Unknown(out)));
  Bstr code("Client"), text("bad <input> & more"), empty("");
  ser->startEnvelope(nullptr, nullptr, nullptr);
  ser->startBody(nullptr);
  ser->startFault(code.get(), text.get(), empty.get(), empty.get());
  ser->endFault();
  ser->endBody();
  ser->endEnvelope();
  ByteArray bytes(out->Content());
  out->Release();
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(S_OK, reader_->Load(bytes.get(), nullptr, &ok));
  ASSERT_EQ(S_OK, reader_->get_FaultCode(e.Out()));
  EXPECT_EQ("SOAP-ENV:Client", TextOf(e.get()));
  ASSERT_EQ(S_OK, reader_->get_FaultString(e.Out()));
  EXPECT_EQ("bad <input> & more", TextOf(e.get()));
}

TEST_F(ReaderTest, WhatIsNoEnvelopeIsNotLoaded) {
  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(S_FALSE, LoadText("<Envelope/>", &ok));  // no SOAP namespace
  EXPECT_EQ(VARIANT_FALSE, ok);
  EXPECT_EQ(S_FALSE, LoadText("<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"/>", &ok));
  EXPECT_EQ(S_FALSE, LoadText("<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">", &ok));
  EXPECT_EQ(S_FALSE, LoadText("", &ok));
  Ptr<IXMLDOMElement> e;
  EXPECT_EQ(S_FALSE, reader_->get_Envelope(e.Out()));
  EXPECT_EQ(S_FALSE, reader_->get_RpcResult(e.Out()));
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  EXPECT_EQ(E_INVALIDARG, reader_->Load(v, nullptr, &ok));
  // Text given to Load as a string is the envelope itself, not a file name.
  Bstr text(kFault);
  v.vt = VT_BSTR;
  v.bstrVal = text.get();
  EXPECT_EQ(S_OK, reader_->Load(v, nullptr, &ok));
  // Also by reference: a path is text like any other, the file is not read.
  std::string path = home_.path() + "/envelope.xml";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_TRUE(f);
  std::fputs(kFault, f);
  std::fclose(f);
  Bstr name(path);
  BSTR by_ref = name.get();
  v.vt = VT_BYREF | VT_BSTR;
  v.pbstrVal = &by_ref;
  EXPECT_EQ(S_FALSE, reader_->Load(v, nullptr, &ok));
  EXPECT_EQ(VARIANT_FALSE, ok);
  // An envelope with an empty body has no RPC parts.
  ASSERT_EQ(S_OK, LoadText("<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body/>"
                           "</s:Envelope>"));
  EXPECT_EQ(S_FALSE, reader_->get_RpcStruct(e.Out()));
  Bstr any("x");
  EXPECT_EQ(S_FALSE, reader_->RpcParameter(any.get(), nullptr, e.Out()));
  EXPECT_EQ(E_INVALIDARG, reader_->BodyEntry(nullptr, nullptr, e.Out()));
}

}  // namespace
}  // namespace krsoap::test
