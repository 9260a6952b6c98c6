// SoapServer through COM activation, over memory streams: every Calculator
// operation (document/literal and rpc/encoded), XSD conversions and
// parameter order through the test component, every kind of fault, hostile
// XML, and many threads on one server.
#include <fstream>
#include <thread>

#include "tests/soap_server/soap_test_util.h"

namespace krsoap::test {
namespace {

class SoapServerTest : public SoapTest {
 protected:
  void SetUp() override {
    SoapTest::SetUp();
    Server(CalcWsdl(), CalcWsml(), &calc_);
  }
  std::string Calc(const std::string& op, const std::string& params, const char* action = "") {
    return Invoke(calc_.get(), CalcRequest(op, params), action);
  }
  Ptr<ISoapServer> calc_;
};

TEST_F(SoapServerTest, EveryCalculatorOperation) {
  struct Case {
    const char* op;
    const char* params;
    const char* result;
  } cases[] = {
      {"Add", "<c:a>2</c:a><c:b>3</c:b>", "5"},
      {"Subtract", "<c:a>2</c:a><c:b>3.5</c:b>", "-1.5"},
      {"Multiply", "<c:a>1.5E3</c:a><c:b>-2</c:b>", "-3000"},
      {"Divide", "<c:a>1</c:a><c:b>4</c:b>", "0.25"},
      {"Add", "<c:a>0.1</c:a><c:b>0.2</c:b>", "0.30000000000000004"},  // round-trips exactly
      {"Multiply", "<c:a>INF</c:a><c:b>2</c:b>", "INF"},
      {"Echo", "<c:text>a &amp; b &lt;c&gt; \xC3\xA9\xE2\x82\xAC</c:text>", "a &amp; b &lt;c&gt; \xC3\xA9\xE2\x82\xAC"},
      {"Concat", "<c:a>foo</c:a><c:b> bar</c:b>", "foo bar"},
      {"Echo", "<c:text></c:text>", ""},
  };
  for (const Case& c : cases) {
    std::string response = Calc(c.op, c.params);
    EXPECT_EQ(c.result, ElementText(response, "Result")) << c.op << ": " << response;
    EXPECT_NE(std::string::npos, response.find(std::string("<m:") + c.op + "Response xmlns:m=\"urn:krsoap-calculator\">"))
        << response;
    EXPECT_TRUE(EndsWithEnvelope(response)) << response;
    EXPECT_EQ(0u, response.find("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?><SOAP-ENV:Envelope"));
  }
}

TEST_F(SoapServerTest, OperationFoundBySoapActionOrByBodyElement) {
  // The SOAPAction header's quotes are not part of the action.
  EXPECT_EQ("5", ElementText(Calc("Add", "<c:a>2</c:a><c:b>3</c:b>", "\"urn:krsoap-calculator#Add\""), "Result"));
  EXPECT_EQ("5", ElementText(Calc("Add", "<c:a>2</c:a><c:b>3</c:b>", "urn:krsoap-calculator#Add"), "Result"));
  // An action nobody has: the Body's element decides.
  EXPECT_EQ("5", ElementText(Calc("Add", "<c:a>2</c:a><c:b>3</c:b>", "urn:other"), "Result"));
  // Parameters in any order and unqualified are read by name.
  EXPECT_EQ("-1", ElementText(Calc("Subtract", "<b>3</b><a>2</a>"), "Result"));
  // An action that names another operation than the Body: the action wins,
  // and the Body does not fit it.
  std::string r = Calc("Add", "<c:a>2</c:a><c:b>3</c:b>", "urn:krsoap-calculator#Echo");
  EXPECT_EQ("SOAP-ENV:Client", FaultCode(r)) << r;
  // The queue transport's action element in the Header is understood.
  std::string with_header =
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header>"
      "<SOAP-ENV:SoapAction SOAP-ENV:mustUnderstand=\"1\">urn:krsoap-calculator#Add</SOAP-ENV:SoapAction>"
      "</SOAP-ENV:Header><SOAP-ENV:Body><Add xmlns=\"urn:krsoap-calculator\"><a>4</a><b>4</b></Add>" +
      std::string(kEnvClose);
  EXPECT_EQ("8", ElementText(Invoke(calc_.get(), with_header), "Result"));
}

TEST_F(SoapServerTest, RpcEncodedCalculator) {
  Ptr<ISoapServer> rpc;
  Server(DataPath("calc_rpc.wsdl"), DataPath("calc_rpc.wsml"), &rpc);
  std::string request = Envelope(
      "<m:Add xmlns:m=\"urn:calc-rpc\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><a xsi:type=\"xsd:double\">2</a><b xsi:type=\"xsd:double\">3</b></m:Add>");
  std::string r = Invoke(rpc.get(), request, "urn:calc-rpc#Add");
  EXPECT_NE(std::string::npos, r.find("<m:AddResponse xmlns:m=\"urn:calc-rpc\"><Result xsi:type=\"xsd:double\">5</Result>"))
      << r;
  EXPECT_NE(std::string::npos, r.find("SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"")) << r;
  r = Invoke(rpc.get(), Envelope("<m:Divide xmlns:m=\"urn:calc-rpc\"><a>1</a><b>0</b></m:Divide>"));
  EXPECT_EQ("SOAP-ENV:Server", FaultCode(r)) << r;
  EXPECT_EQ("Division by zero: the divisor b must not be 0", FaultString(r));
  // Not cachable: a new object each call, same answers.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ("x", ElementText(Invoke(rpc.get(), Envelope("<m:Echo xmlns:m=\"urn:calc-rpc\"><text>x</text></m:Echo>")),
                               "Result"));
  }
}

TEST_F(SoapServerTest, XsdTypesReachTheMethodAsTheirVariants) {
  Ptr<ISoapServer> types;
  Server(DataPath("types.wsdl"), DataPath("types.wsml"), &types);
  auto describe = [&](const std::string& type, const std::string& value) {
    std::string op = "Describe_" + type;
    std::string r = Invoke(types.get(), Envelope("<t:" + op + " xmlns:t=\"urn:types\"><v>" + value + "</v></t:" + op + ">"));
    return r.find("Fault>") != std::string::npos ? FaultCode(r) + " " + FaultString(r) : ElementText(r, "text");
  };
  EXPECT_EQ("vt=8 bstr= x ", describe("string", " x "));
  EXPECT_EQ("vt=11", describe("boolean", " true "));
  EXPECT_EQ("vt=16", describe("byte", "-128"));
  EXPECT_EQ("vt=17", describe("unsignedByte", "255"));
  EXPECT_EQ("vt=2", describe("short", "-32768"));
  EXPECT_EQ("vt=18", describe("unsignedShort", "65535"));
  EXPECT_EQ("vt=3 i4=-7", describe("int", "-7"));
  EXPECT_EQ("vt=19", describe("unsignedInt", "4294967295"));
  EXPECT_EQ("vt=20", describe("long", "-9223372036854775808"));
  EXPECT_EQ("vt=21", describe("unsignedLong", "18446744073709551615"));
  EXPECT_EQ("vt=4", describe("float", "1.5"));
  EXPECT_EQ("vt=5 r8=2.500000", describe("double", "2.5"));
  EXPECT_EQ("vt=14", describe("decimal", "-12345678901234567890.123456789"));
  EXPECT_EQ("vt=7", describe("dateTime", "2024-02-29T12:30:00Z"));
  EXPECT_EQ("vt=7", describe("date", "1899-12-30"));
  // Values that do not convert are the caller's mistake.
  for (auto [type, value] : std::vector<std::pair<std::string, std::string>>{{"boolean", "yes"},
                                                                              {"byte", "128"},
                                                                              {"unsignedByte", "-1"},
                                                                              {"short", "40000"},
                                                                              {"int", "2147483648"},
                                                                              {"int", "1.0"},
                                                                              {"int", "0x10"},
                                                                              {"unsignedLong", "18446744073709551616"},
                                                                              {"double", "abc"},
                                                                              {"double", "1,5"},
                                                                              {"float", "1e39"},
                                                                              {"decimal", "1e5"},
                                                                              {"dateTime", "2023-02-29T00:00:00"},
                                                                              {"dateTime", "2024-01-01"},
                                                                              {"date", "24-01-01"}}) {
    std::string got = describe(type, value);
    EXPECT_EQ(0u, got.find("SOAP-ENV:Client the parameter v")) << type << " " << value << ": " << got;
  }
}

TEST_F(SoapServerTest, CallIndexOrdersArgumentsAndOutParametersComeBack) {
  Ptr<ISoapServer> types;
  Server(DataPath("types.wsdl"), DataPath("types.wsml"), &types);
  // Mix weighs each position: a misplaced argument shows in the sum.
  std::string r = Invoke(types.get(), Envelope("<t:Mix xmlns:t=\"urn:types\"><i>9</i><h>true</h><g>7</g><f>6</f>"
                                               "<e>5</e><d>4</d><c>3</c><b>2</b><a>1</a></t:Mix>"));
  EXPECT_EQ("917654321", ElementText(r, "r")) << r;
  // Divide(a, b, [out] remainder, [out, retval] quotient), called by dispID.
  r = Invoke(types.get(), Envelope("<t:Divide xmlns:t=\"urn:types\"><a>17</a><b>5</b></t:Divide>"));
  EXPECT_EQ("3", ElementText(r, "q")) << r;
  EXPECT_EQ("2", ElementText(r, "rem")) << r;
  // The object's failure code without a description of its own.
  r = Invoke(types.get(), Envelope("<t:Divide xmlns:t=\"urn:types\"><a>17</a><b>0</b></t:Divide>"));
  EXPECT_EQ("SOAP-ENV:Server", FaultCode(r)) << r;
  EXPECT_NE(std::string::npos, r.find("<e:returnCode>0x80020012</e:returnCode>")) << r;
}

TEST_F(SoapServerTest, CallerMistakesAreClientFaults) {
  struct Case {
    std::string request;
    const char* code;
    const char* words;
  } cases[] = {
      {"", "Client", "empty"},
      {"<SOAP-ENV:Envelope", "Client", "not well-formed"},
      {"<a><b></a></b>", "Client", "not well-formed"},
      {"<Envelope><Body/></Envelope>", "Client", "not a SOAP 1.1 Envelope"},
      {"<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body/></e:Envelope>", "VersionMismatch", "SOAP 1.1"},
      {"<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"/>", "Client", "no Body"},
      {Envelope(""), "Client", "empty Body"},
      {CalcRequest("Power", "<c:a>1</c:a>"), "Client", "Power"},
      {CalcRequest("Add", "<c:a>1</c:a>"), "Client", "lacks the parameter b"},
      {CalcRequest("Add", "<c:a>1</c:a><c:b>2</c:b><c:c>3</c:c>"), "Client", "unexpected element c"},
      {CalcRequest("Add", "<c:a>1</c:a><c:a>1</c:a><c:b>2</c:b>"), "Client", "twice"},
      {CalcRequest("Add", "<c:a>one</c:a><c:b>2</c:b>"), "Client", "\"one\" is not a double"},
      {CalcRequest("Add", "<c:a><x>1</x></c:a><c:b>2</c:b>"), "Client", "must hold text"},
      {CalcRequest("Add", "<c:a href=\"#id1\"/><c:b>2</c:b>"), "Client", "multi-reference"},
      {"<!DOCTYPE x [<!ENTITY e \"1\">]>" + CalcRequest("Add", "<c:a>&e;</c:a><c:b>2</c:b>"), "Client",
       "document type declaration"},
      {"<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header>"
       "<h:Tx xmlns:h=\"urn:h\" SOAP-ENV:mustUnderstand=\"1\"/></SOAP-ENV:Header><SOAP-ENV:Body/></SOAP-ENV:Envelope>",
       "MustUnderstand", "Tx"},
  };
  for (const Case& c : cases) {
    HRESULT hr = E_FAIL;
    std::string r = Invoke(calc_.get(), c.request, "", &hr);
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(std::string("SOAP-ENV:") + c.code, FaultCode(r)) << c.request << "\n" << r;
    EXPECT_NE(std::string::npos, FaultString(r).find(c.words)) << c.request << "\n" << r;
    EXPECT_TRUE(EndsWithEnvelope(r)) << r;
  }
}

TEST_F(SoapServerTest, ServerSideFailuresAreServerFaults) {
  std::string r = Calc("Divide", "<c:a>1</c:a><c:b>0</c:b>");
  EXPECT_EQ("SOAP-ENV:Server", FaultCode(r)) << r;
  EXPECT_EQ("Division by zero: the divisor b must not be 0", FaultString(r));
  EXPECT_NE(std::string::npos, r.find("<e:source>Krsoap.Calculator</e:source>")) << r;

  // Never initialised, and initialised with a file that is not there.
  Ptr<ISoapServer> fresh;
  ASSERT_EQ(S_OK, NewServer(&fresh));
  HRESULT hr = E_FAIL;
  r = Invoke(fresh.get(), CalcRequest("Add", "<c:a>1</c:a><c:b>2</c:b>"), "", &hr);
  EXPECT_EQ(S_OK, hr);
  EXPECT_EQ("SOAP-ENV:Server", FaultCode(r));
  EXPECT_NE(std::string::npos, FaultString(r).find("not initialised")) << r;
  Bstr missing(home_.path() + "/missing.wsdl"), wsml(CalcWsml());
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), fresh->Init(missing.get(), wsml.get()));
  r = Invoke(fresh.get(), CalcRequest("Add", "<c:a>1</c:a><c:b>2</c:b>"));
  EXPECT_NE(std::string::npos, FaultString(r).find("missing.wsdl")) << r;
  Bstr wsdl(CalcWsdl()), none("");
  EXPECT_EQ(E_INVALIDARG, fresh->Init(wsdl.get(), none.get()));  // the server needs its mapping

  // The class is registered at Init and gone by the call.
  ASSERT_EQ(S_OK, RegisterModule("libkrcalculator.so"));
  Ptr<ISoapServer> other;
  Server(DataPath("calc_rpc.wsdl"), DataPath("calc_rpc.wsml"), &other);
  {
    com::ServerModule module;
    ASSERT_EQ(S_OK, com::LoadServerModule(platform::Utf8ToUtf16(LibDir() + "/libkrcalculator.so"), &module));
    auto unregister = reinterpret_cast<HRESULT (*)()>(module.Symbol("DllUnregisterServer"));
    ASSERT_EQ(S_OK, unregister());
  }
  com::internal::NoteRegistrationChanged();
  r = Invoke(other.get(), Envelope("<m:Echo xmlns:m=\"urn:calc-rpc\"><text>x</text></m:Echo>"));
  EXPECT_EQ("SOAP-ENV:Server", FaultCode(r)) << r;
  EXPECT_NE(std::string::npos, FaultString(r).find("could not be created")) << r;
}

TEST_F(SoapServerTest, StreamArgumentsAreChecked) {
  soap::BufferStream* out = soap::BufferStream::Create();
  VARIANT not_a_stream;
  VariantInit(&not_a_stream);
  not_a_stream.vt = VT_I4;
  EXPECT_EQ(S_OK, calc_->SoapInvoke(not_a_stream, static_cast<IStream*>(out), nullptr));
  EXPECT_EQ("SOAP-ENV:Client", FaultCode(out->Take()));
  VARIANT in = Unknown(static_cast<IStream*>(out));
  EXPECT_EQ(E_INVALIDARG, calc_->SoapInvoke(in, nullptr, nullptr));
  out->Release();
}

TEST_F(SoapServerTest, HostileRequests) {
  std::string deep;
  for (int i = 0; i < 10000; ++i) deep += "<a>";
  std::string r = Invoke(calc_.get(), Envelope(deep));
  EXPECT_EQ("SOAP-ENV:Client", FaultCode(r)) << r.substr(0, 400);

  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\">";
  for (char c = 'b'; c <= 'k'; ++c) {
    std::string refs;
    for (int i = 0; i < 10; ++i) refs += std::string("&") + static_cast<char>(c - 1) + ";";
    laughs += std::string("<!ENTITY ") + c + " \"" + refs + "\">";
  }
  laughs += "]>" + CalcRequest("Echo", "<c:text>&k;</c:text>");
  r = Invoke(calc_.get(), laughs);
  EXPECT_EQ("SOAP-ENV:Client", FaultCode(r));
  EXPECT_LT(r.size(), 2000u);

  std::string secret = home_.path() + "/secret.txt";
  std::ofstream(secret) << "TOP-SECRET-CONTENT";
  r = Invoke(calc_.get(), "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY x SYSTEM \"file://" + secret + "\">]>" +
                              CalcRequest("Echo", "<c:text>&x;</c:text>"));
  EXPECT_EQ("SOAP-ENV:Client", FaultCode(r));
  EXPECT_EQ(std::string::npos, r.find("TOP-SECRET")) << r;

  // Beyond 10 MB: refused without reading on to the end of the stream.
  std::string big = CalcRequest("Echo", "<c:text>" + std::string(11u << 20, 'x') + "</c:text>");
  soap::BufferStream* in = soap::BufferStream::Create(big);
  soap::BufferStream* out = soap::BufferStream::Create();
  VARIANT v = Unknown(static_cast<IStream*>(in));
  EXPECT_EQ(S_OK, calc_->SoapInvoke(v, static_cast<IStream*>(out), nullptr));
  r = out->Take();
  EXPECT_EQ("SOAP-ENV:Client", FaultCode(r));
  EXPECT_NE(std::string::npos, FaultString(r).find("10 MB"));
  EXPECT_GT(in->Unread().size(), 0u);
  in->Release();
  out->Release();

  // Control characters in a result cannot be written as XML 1.0.
  r = Calc("Echo", "<c:text>&#x1;</c:text>");
  EXPECT_NE(std::string::npos, FaultCode(r).find("SOAP-ENV:")) << r;
}

TEST_F(SoapServerTest, ManyThreadsShareOneServer) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; i < 150; ++i) {
        std::string r = Calc("Add", "<c:a>" + std::to_string(t) + "</c:a><c:b>" + std::to_string(i) + "</c:b>");
        if (ElementText(r, "Result") != std::to_string(t + i)) ++wrong;
        r = Calc("Divide", "<c:a>1</c:a><c:b>0</c:b>");
        if (FaultCode(r) != "SOAP-ENV:Server") ++wrong;
      }
      CoUninitialize();
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
}  // namespace krsoap::test
