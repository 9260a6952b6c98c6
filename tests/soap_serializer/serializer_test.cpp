// SoapSerializer through COM activation: exact output of faults and RPC
// messages, namespaces and prefixes, escaping, when bytes reach the stream,
// misuse, late-bound calls, and several serializers at once.
#include <cstring>
#include <thread>

#include "tests/soap_serializer/soap_test_util.h"

namespace krsoap::test {
namespace {

constexpr char kFaultText[] =
    "The SOAP Address URL supplied is not a valid KR or HTTP URL. The valid format for an KR URL is "
    "krs:queue@queuemanager";

class SerializerTest : public SoapTest {
 protected:
  void SetUp() override {
    SoapTest::SetUp();
    ASSERT_EQ(S_OK, NewSerializer(&ser_));
    stream_ = MemoryStream::Create();
    ASSERT_EQ(S_OK, ser_->Init(Unknown(stream_)));
  }
  void TearDown() override {
    ser_.Reset();
    if (stream_) stream_->Release();
    SoapTest::TearDown();
  }
  std::string Out() { return stream_->Content(); }

  Ptr<ISoapSerializer> ser_;
  MemoryStream* stream_ = nullptr;
};

TEST_F(SerializerTest, FaultEnvelopeByteForByte) {
  // The calls a connector makes to answer an unusable address.
  Bstr encoding("http://schemas.xmlsoap.org/soap/encoding/"), code("Client"), text(kFaultText), empty("");
  ser_->startEnvelope(nullptr, encoding.get(), nullptr);
  ser_->startBody(nullptr);
  ser_->startFault(code.get(), text.get(), empty.get(), empty.get());
  ser_->endFault();
  ser_->endBody();
  EXPECT_EQ("", Out());  // nothing reaches the stream before the envelope ends
  ASSERT_EQ(S_OK, ser_->endEnvelope());
  EXPECT_EQ(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>"
                        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                        "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                        "<SOAP-ENV:Body><SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode>"
                        "<faultstring>") +
                kFaultText + "</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>",
            Out());
}

TEST_F(SerializerTest, RpcRequestWithNamespacesPrefixesAndAttributes) {
  Bstr enc("http://schemas.xmlsoap.org/soap/encoding/"), utf8("utf-8"), xsi("xsi"),
      xsi_ns("http://www.w3.org/2001/XMLSchema-instance"), xsd("xsd"), xsd_ns("http://www.w3.org/2001/XMLSchema"),
      add("Add"), calc("urn:calc"), m("m"), a("a"), b("b"), type("type"), dbl("xsd:double"), two("2"),
      three("3.5"), empty(""), other("urn:other"), item("item"), dflt("urn:default"), plain("plain");
  ASSERT_EQ(S_OK, ser_->startEnvelope(empty.get(), enc.get(), utf8.get()));
  ASSERT_EQ(S_OK, ser_->SoapNamespace(xsi.get(), xsi_ns.get()));
  ASSERT_EQ(S_OK, ser_->SoapNamespace(xsd.get(), xsd_ns.get()));
  ASSERT_EQ(S_OK, ser_->startBody(nullptr));
  ASSERT_EQ(S_OK, ser_->startElement(add.get(), calc.get(), nullptr, m.get()));
  ASSERT_EQ(S_OK, ser_->startElement(a.get(), nullptr, nullptr, nullptr));
  ASSERT_EQ(S_OK, ser_->SoapAttribute(type.get(), xsi_ns.get(), dbl.get(), nullptr));  // finds xsi
  ASSERT_EQ(S_OK, ser_->writeString(two.get()));
  ASSERT_EQ(S_OK, ser_->endElement());
  ASSERT_EQ(S_OK, ser_->startElement(b.get(), calc.get(), nullptr, nullptr));  // reuses m
  ASSERT_EQ(S_OK, ser_->writeString(three.get()));
  ASSERT_EQ(S_OK, ser_->endElement());
  ASSERT_EQ(S_OK, ser_->startElement(item.get(), other.get(), nullptr, nullptr));  // a new prefix
  ASSERT_EQ(S_OK, ser_->SoapDefaultNamespace(dflt.get()));
  ASSERT_EQ(S_OK, ser_->startElement(plain.get(), dflt.get(), enc.get(), nullptr));  // the default one
  ASSERT_EQ(S_OK, ser_->endElement());
  ASSERT_EQ(S_OK, ser_->endElement());
  Bstr prefix;
  EXPECT_EQ(S_OK, ser_->getPrefixForNamespace(calc.get(), prefix.Out()));
  EXPECT_EQ("m", prefix.Utf8());
  EXPECT_EQ(S_FALSE, ser_->getPrefixForNamespace(other.get(), prefix.Out()));  // out of scope again
  ASSERT_EQ(S_OK, ser_->endElement());
  ASSERT_EQ(S_OK, ser_->endBody());
  ASSERT_EQ(S_OK, ser_->endEnvelope());
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>"
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">"
      "<SOAP-ENV:Body><m:Add xmlns:m=\"urn:calc\"><a xsi:type=\"xsd:double\">2</a><m:b>3.5</m:b>"
      "<ns1:item xmlns:ns1=\"urn:other\" xmlns=\"urn:default\">"
      "<plain SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"></plain></ns1:item>"
      "</m:Add></SOAP-ENV:Body></SOAP-ENV:Envelope>",
      Out());
}

TEST_F(SerializerTest, HeaderEntriesAndAnEnvelopePrefixOfOurOwn) {
  Bstr soap("soap"), action("Action"), ns("urn:h"), actor("urn:next"), code("Server"), text("boom"),
      code_ns("urn:codes"), detail_text("d");
  ASSERT_EQ(S_OK, ser_->startEnvelope(soap.get(), nullptr, nullptr));
  ASSERT_EQ(S_OK, ser_->startHeader(nullptr));
  ASSERT_EQ(S_OK, ser_->startHeaderElement(action.get(), ns.get(), 1, actor.get(), nullptr, nullptr));
  ASSERT_EQ(S_OK, ser_->endHeaderElement());
  ASSERT_EQ(S_OK, ser_->endHeader());
  ASSERT_EQ(S_OK, ser_->startBody(nullptr));
  ASSERT_EQ(S_OK, ser_->startFault(code.get(), text.get(), actor.get(), code_ns.get()));
  ASSERT_EQ(S_OK, ser_->startFaultDetail(nullptr));
  ASSERT_EQ(S_OK, ser_->writeString(detail_text.get()));
  ASSERT_EQ(S_OK, ser_->endFaultDetail());
  ASSERT_EQ(S_OK, ser_->endFault());
  ASSERT_EQ(S_OK, ser_->endBody());
  ASSERT_EQ(S_OK, ser_->endEnvelope());
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>"
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Header>"
      "<ns1:Action xmlns:ns1=\"urn:h\" soap:mustUnderstand=\"1\" soap:actor=\"urn:next\"></ns1:Action>"
      "</soap:Header><soap:Body><soap:Fault><faultcode xmlns:ns2=\"urn:codes\">ns2:Server</faultcode>"
      "<faultstring>boom</faultstring><faultactor>urn:next</faultactor><detail>d</detail></soap:Fault>"
      "</soap:Body></soap:Envelope>",
      Out());
}

TEST_F(SerializerTest, TextAndAttributesAreEscaped) {
  Bstr e("e"), attr("note"), value("say \"hi\" & <bye>\n"), text("a<b&c>d\r\n]]>");
  ASSERT_EQ(S_OK, ser_->startElement(e.get(), nullptr, nullptr, nullptr));
  ASSERT_EQ(S_OK, ser_->SoapAttribute(attr.get(), nullptr, value.get(), nullptr));
  ASSERT_EQ(S_OK, ser_->writeString(text.get()));
  ASSERT_EQ(S_OK, ser_->endElement());
  ser_.Reset();  // what is left is written when the serializer goes
  EXPECT_EQ("<e note=\"say &quot;hi&quot; &amp; &lt;bye&gt;&#xA;\">a&lt;b&amp;c&gt;d&#xD;\n]]&gt;</e>", Out());
}

TEST_F(SerializerTest, MisuseIsRefusedWithClearResults) {
  Ptr<ISoapSerializer> fresh;
  ASSERT_EQ(S_OK, NewSerializer(&fresh));
  EXPECT_EQ(E_UNEXPECTED, fresh->startBody(nullptr));  // no stream yet
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(E_INVALIDARG, fresh->Init(v));
  v.vt = VT_I4;
  EXPECT_EQ(E_INVALIDARG, fresh->Init(v));
  EXPECT_EQ(E_INVALIDARG, fresh->Init(Unknown(ser_.get())));  // not a stream

  Bstr bad_name("a b"), e("e"), ctl("bell\x07"), utf16("UTF-16"), undeclared("q"), x("x"), ns("urn:x"),
      other("urn:y");
  EXPECT_EQ(E_UNEXPECTED, ser_->endElement());
  EXPECT_EQ(E_UNEXPECTED, ser_->writeString(e.get()));  // text outside any element
  EXPECT_EQ(E_INVALIDARG, ser_->startEnvelope(nullptr, nullptr, utf16.get()));
  EXPECT_EQ(E_INVALIDARG, ser_->startElement(bad_name.get(), nullptr, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, ser_->startElement(e.get(), nullptr, nullptr, undeclared.get()));
  ASSERT_EQ(S_OK, ser_->startEnvelope(nullptr, nullptr, nullptr));
  EXPECT_EQ(E_UNEXPECTED, ser_->startEnvelope(nullptr, nullptr, nullptr));
  ASSERT_EQ(S_OK, ser_->startBody(nullptr));
  ASSERT_EQ(S_OK, ser_->startElement(e.get(), nullptr, nullptr, nullptr));
  EXPECT_EQ(S_OK, ser_->SoapNamespace(x.get(), ns.get()));
  EXPECT_EQ(S_OK, ser_->SoapNamespace(x.get(), ns.get()));              // the same again
  EXPECT_EQ(E_INVALIDARG, ser_->SoapNamespace(x.get(), other.get()));   // rebinding on one element
  EXPECT_EQ(S_OK, ser_->SoapAttribute(x.get(), nullptr, e.get(), nullptr));
  EXPECT_EQ(E_INVALIDARG, ser_->SoapAttribute(x.get(), nullptr, e.get(), nullptr));  // twice
  EXPECT_EQ(E_INVALIDARG, ser_->writeString(ctl.get()));
  EXPECT_EQ(E_UNEXPECTED, ser_->endBody());  // the element is still open
  ASSERT_EQ(S_OK, ser_->writeString(e.get()));
  EXPECT_EQ(E_UNEXPECTED, ser_->SoapAttribute(x.get(), nullptr, e.get(), nullptr));  // start tag closed
  ASSERT_EQ(S_OK, ser_->endElement());
  ASSERT_EQ(S_OK, ser_->endBody());
  ASSERT_EQ(S_OK, ser_->endEnvelope());
  // reset forgets everything not yet written; the stream stays.
  std::string before = Out();
  ASSERT_EQ(S_OK, ser_->startElement(e.get(), nullptr, nullptr, nullptr));
  ASSERT_EQ(S_OK, ser_->reset());
  ser_.Reset();
  EXPECT_EQ(before, Out());
}

TEST_F(SerializerTest, LargeOutputReachesTheStreamBeforeTheEnd) {
  Bstr e("e"), chunk(std::string(1000, 'x'));
  ASSERT_EQ(S_OK, ser_->startEnvelope(nullptr, nullptr, nullptr));
  ASSERT_EQ(S_OK, ser_->startBody(nullptr));
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(S_OK, ser_->startElement(e.get(), nullptr, nullptr, nullptr));
    ASSERT_EQ(S_OK, ser_->writeString(chunk.get()));
    ASSERT_EQ(S_OK, ser_->endElement());
  }
  EXPECT_GE(Out().size(), 16u * 1024);
  ASSERT_EQ(S_OK, ser_->endBody());
  ASSERT_EQ(S_OK, ser_->endEnvelope());
  std::string out = Out();
  EXPECT_EQ(out.size() - std::string("</SOAP-ENV:Envelope>").size(), out.find("</SOAP-ENV:Envelope>"));
  // And what was written reads back as an envelope.
  Ptr<ISoapReader> reader;
  ASSERT_EQ(S_OK, NewReader(&reader));
  Bstr text(out);
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(S_OK, reader->loadXML(text.get(), &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
}

TEST_F(SerializerTest, LateBoundCallsUseTheRegisteredTypeLibrary) {
  Ptr<IDispatch> disp;
  ASSERT_EQ(S_OK, ser_.As(&disp));
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"startElement"), const_cast<LPOLESTR>(u"endElement")};
  DISPID ids[2] = {0, 0};
  ASSERT_EQ(S_OK, disp->GetIDsOfNames(IID_NULL, names, 1, 0x409, &ids[0]));
  ASSERT_EQ(S_OK, disp->GetIDsOfNames(IID_NULL, names + 1, 1, 0x409, &ids[1]));
  VARIANT args[4];
  std::memset(args, 0, sizeof args);  // null BSTRs for the three optional strings
  Bstr name("late");
  args[3].vt = VT_BSTR;  // arguments are passed last first
  args[3].bstrVal = name.get();
  args[2].vt = VT_BSTR;
  args[1].vt = VT_BSTR;
  args[0].vt = VT_BSTR;
  DISPPARAMS params{args, nullptr, 4, 0};
  ASSERT_EQ(S_OK, disp->Invoke(ids[0], IID_NULL, 0x409, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(S_OK, disp->Invoke(ids[1], IID_NULL, 0x409, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
  disp.Reset();
  ser_.Reset();
  EXPECT_EQ("<late></late>", Out());
}

TEST_F(SerializerTest, SerializersOnManyThreads) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; i < 100; ++i) {
        Ptr<ISoapSerializer> s;
        if (NewSerializer(&s) != S_OK) continue;
        MemoryStream* out = MemoryStream::Create();
        s->Init(Unknown(out));
        Bstr e("t" + std::to_string(t)), v(std::to_string(i));
        s->startEnvelope(nullptr, nullptr, nullptr);
        s->startBody(nullptr);
        s->startElement(e.get(), nullptr, nullptr, nullptr);
        s->writeString(v.get());
        s->endElement();
        s->endBody();
        s->endEnvelope();
        if (out->Content().find("<" + e.Utf8() + ">" + v.Utf8() + "</") != std::string::npos) ++good;
        out->Release();
      }
      CoUninitialize();
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(400, good.load());
}

}  // namespace
}  // namespace krsoap::test
