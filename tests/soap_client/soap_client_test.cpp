// The SoapClient and HttpConnector against a real "krsoap serve-http"
// process, against servers that are down, slow or answer garbage, and the
// "krsoap call" command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "soaptoolkit.h"
#include "tests/soap_client/client_test_util.h"
#include "tests/xml/toolkit_test_util.h"

namespace krsoap::test {
namespace {

constexpr HRESULT kSoapFault = static_cast<HRESULT>(0x80041101);
constexpr HRESULT kBadResponse = static_cast<HRESULT>(0x80041102);
constexpr HRESULT kRefused = static_cast<HRESULT>(0x800704C9);
constexpr HRESULT kTimeout = static_cast<HRESULT>(0x800705B4);
constexpr HRESULT kNoEndpoint = static_cast<HRESULT>(0x80041001);

class SoapClientTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    PinModulesWithThreadLocals();
    for (const char* m : {"libkrxml.so", "libkrsoap.so", "libkrcalculator.so"}) {
      ASSERT_EQ(S_OK, RegisterModule(m)) << m;
    }
  }

  // A client for the Calculator, its endpoint moved to `url` (unless empty).
  void NewClient(const std::string& url, Ptr<ISoapClient>* client) {
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SoapClient, nullptr, CLSCTX_ALL, IID_ISoapClient, client->OutVoid()));
    Bstr wsdl(CalcWsdl()), wsml(CalcWsml()), none("");
    ASSERT_EQ(S_OK, (*client)->Init(wsdl.get(), none.get(), none.get(), wsml.get()));
    if (!url.empty()) SetConnector(client->get(), "EndPointURL", Str(url));
  }
  static void SetConnector(ISoapClient* client, const char* name, VARIANT value) {
    Bstr n(name);
    EXPECT_EQ(S_OK, client->put_ConnectorProperty(n.get(), value));
    VariantClear(&value);
  }

};

TEST_F(SoapClientTest, EveryCalculatorOperationThroughServeHttp) {
  CalcServer server;
  ASSERT_TRUE(server.Start());
  Ptr<ISoapClient> client;
  NewClient(server.url(), &client);
  struct Case {
    const char* op;
    double a, b, want;
  } cases[] = {{"Add", 2, 3, 5}, {"Subtract", 2, 3.5, -1.5}, {"Multiply", -4, 2.5, -10}, {"Divide", 7, 2, 3.5}};
  for (const auto& c : cases) {
    CallResult r;
    Call(client.get(), c.op, {Dbl(c.a), Dbl(c.b)}, &r);
    ASSERT_EQ(S_OK, r.hr) << c.op << ": " << r.description;
    ASSERT_EQ(VT_R8, r.value.vt) << c.op;
    EXPECT_DOUBLE_EQ(c.want, r.value.dblVal) << c.op;
  }
  // Strings keep markup characters and non-ASCII text; numbers given as
  // strings are read by the service as its parameter type.
  {
    CallResult r;
    Call(client.get(), "Echo", {Str("a <b> & \"c\" \xC3\xA9\xE2\x82\xAC")}, &r);
    ASSERT_EQ(S_OK, r.hr) << r.description;
    ASSERT_EQ(VT_BSTR, r.value.vt);
    EXPECT_EQ("a <b> & \"c\" \xC3\xA9\xE2\x82\xAC", com::BstrToUtf8(r.value.bstrVal));
  }
  {
    CallResult r;
    Call(client.get(), "concat", {Str("foo"), Str("bar")}, &r);  // names match without case
    ASSERT_EQ(S_OK, r.hr) << r.description;
    EXPECT_EQ("foobar", com::BstrToUtf8(r.value.bstrVal));
  }
  {
    CallResult r;
    Call(client.get(), "Add", {Str("1.25"), Str("2")}, &r);
    ASSERT_EQ(S_OK, r.hr) << r.description;
    EXPECT_DOUBLE_EQ(3.25, r.value.dblVal);
  }
}

TEST_F(SoapClientTest, FaultsAndCallerMistakes) {
  CalcServer server;
  ASSERT_TRUE(server.Start());
  Ptr<ISoapClient> client;
  NewClient(server.url(), &client);
  {
    CallResult r;
    Call(client.get(), "Divide", {Dbl(1), Dbl(0)}, &r);
    ASSERT_EQ(DISP_E_EXCEPTION, r.hr);
    EXPECT_EQ(kSoapFault, r.scode);
    EXPECT_NE(std::string::npos, r.description.find("Division by zero")) << r.description;
    Bstr code, text;
    EXPECT_EQ(S_OK, client->get_faultcode(code.Out()));
    EXPECT_EQ(S_OK, client->get_faultstring(text.Out()));
    EXPECT_NE(std::string::npos, code.Utf8().find("Server")) << code.Utf8();
    EXPECT_EQ(r.description, text.Utf8());
  }
  {
    // A value the service cannot read is the caller's fault.
    CallResult r;
    Call(client.get(), "Add", {Str("two"), Dbl(1)}, &r);
    ASSERT_EQ(DISP_E_EXCEPTION, r.hr);
    EXPECT_EQ(kSoapFault, r.scode);
    Bstr code;
    client->get_faultcode(code.Out());
    EXPECT_NE(std::string::npos, code.Utf8().find("Client")) << code.Utf8();
  }
  {
    // The next good call clears the fault.
    CallResult r;
    Call(client.get(), "Add", {Dbl(1), Dbl(1)}, &r);
    ASSERT_EQ(S_OK, r.hr);
    Bstr text;
    client->get_faultstring(text.Out());
    EXPECT_EQ("", text.Utf8());
  }
  {
    CallResult r;
    Call(client.get(), "Power", {Dbl(1), Dbl(1)}, &r);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, r.hr);
  }
  {
    CallResult r;
    Call(client.get(), "Add", {Dbl(1)}, &r);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, r.hr);
  }
  {
    // The interface's own members still answer through IDispatch.
    Bstr name("faultstring");
    LPOLESTR names[1] = {name.get()};
    DISPID id = 0;
    EXPECT_EQ(S_OK, client->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    EXPECT_GE(id, 0x60020000);
  }
}

TEST_F(SoapClientTest, UnreachableSlowAndGarbageServers) {
  Ptr<ISoapClient> client;
  {
    NewClient("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/calc", &client);
    CallResult r;
    Call(client.get(), "Add", {Dbl(1), Dbl(2)}, &r);
    ASSERT_EQ(DISP_E_EXCEPTION, r.hr);
    EXPECT_EQ(kRefused, r.scode);
    EXPECT_NE(std::string::npos, r.description.find("cannot connect")) << r.description;
  }
  {
    RawListener silent("");  // accepts, reads, never answers
    NewClient(silent.url(), &client);
    SetConnector(client.get(), "Timeout", Str("300"));
    CallResult r;
    Call(client.get(), "Add", {Dbl(1), Dbl(2)}, &r);
    ASSERT_EQ(DISP_E_EXCEPTION, r.hr);
    EXPECT_EQ(kTimeout, r.scode) << r.description;
  }
  {
    RawListener garbage(HttpReply("200 OK", "text/xml", "this is not XML <<<"));
    NewClient(garbage.url(), &client);
    CallResult r;
    Call(client.get(), "Add", {Dbl(1), Dbl(2)}, &r);
    ASSERT_EQ(DISP_E_EXCEPTION, r.hr);
    EXPECT_EQ(kBadResponse, r.scode) << r.description;
  }
  {
    RawListener wrong(HttpReply("200 OK", "text/xml", "<?xml version=\"1.0\"?><html><body/></html>"));
    NewClient(wrong.url(), &client);
    CallResult r;
    Call(client.get(), "Echo", {Str("x")}, &r);
    ASSERT_EQ(DISP_E_EXCEPTION, r.hr);
    EXPECT_EQ(kBadResponse, r.scode) << r.description;
  }
  {
    RawListener broken(HttpReply("500 Internal Server Error", "text/plain", "boom"));
    NewClient(broken.url(), &client);
    CallResult r;
    Call(client.get(), "Add", {Dbl(1), Dbl(2)}, &r);
    ASSERT_EQ(DISP_E_EXCEPTION, r.hr);
    EXPECT_EQ(static_cast<HRESULT>(0x80042000 + 500), r.scode);
    EXPECT_NE(std::string::npos, r.description.find("500")) << r.description;
  }
  {
    // A 500 carrying a SOAP fault is a fault, not a transport failure.
    std::string fault =
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
        "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>out of cheese</faultstring>"
        "</SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    RawListener faulty(HttpReply("500 Internal Server Error", "text/xml; charset=utf-8", fault));
    NewClient(faulty.url(), &client);
    CallResult r;
    Call(client.get(), "Add", {Dbl(1), Dbl(2)}, &r);
    ASSERT_EQ(DISP_E_EXCEPTION, r.hr);
    EXPECT_EQ(kSoapFault, r.scode);
    EXPECT_EQ("out of cheese", r.description);
  }
}

TEST_F(SoapClientTest, ConnectorSendsActionCharsetAndCredentials) {
  std::string reply =
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
      "<m:AddResponse xmlns:m=\"urn:krsoap-calculator\"><m:Result>42</m:Result></m:AddResponse>"
      "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  RawListener recorder(HttpReply("200 OK", "text/xml", reply));
  Ptr<ISoapClient> client;
  NewClient(recorder.url(), &client);
  SetConnector(client.get(), "HTTPCharset", Str("utf-8"));
  SetConnector(client.get(), "AuthUser", Str("alice"));
  SetConnector(client.get(), "AuthPassword", Str("secret"));
  CallResult r;
  Call(client.get(), "Add", {Dbl(40), Dbl(2)}, &r);
  ASSERT_EQ(S_OK, r.hr) << r.description;
  EXPECT_DOUBLE_EQ(42, r.value.dblVal);
  std::string req = recorder.Requests();
  EXPECT_NE(std::string::npos, req.find("POST /x ")) << req;
  EXPECT_NE(std::string::npos, req.find("SOAPAction: \"urn:krsoap-calculator#Add\"")) << req;
  EXPECT_NE(std::string::npos, req.find("Content-Type: text/xml; charset=utf-8")) << req;
  EXPECT_NE(std::string::npos, req.find("Authorization: Basic YWxpY2U6c2VjcmV0")) << req;
  EXPECT_NE(std::string::npos, req.find("<SOAP-ENV:Envelope")) << req;
  EXPECT_NE(std::string::npos, req.find(">40<")) << req;

  // Reading back what was set; the connector's own records are read only.
  Bstr name("EndPointURL"), status("HTTPStatus");
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(S_OK, client->get_ConnectorProperty(name.get(), &v));
  EXPECT_EQ(recorder.url(), com::BstrToUtf8(v.bstrVal));
  VariantClear(&v);
  ASSERT_EQ(S_OK, client->get_ConnectorProperty(status.get(), &v));
  EXPECT_EQ(200, v.lVal);
  VARIANT bad = Str("7");
  EXPECT_EQ(E_INVALIDARG, client->put_ConnectorProperty(status.get(), bad));
  VariantClear(&bad);
  Bstr timeout("Timeout");
  bad = Str("soon");
  EXPECT_EQ(E_INVALIDARG, client->put_ConnectorProperty(timeout.get(), bad));
  VariantClear(&bad);
}

TEST_F(SoapClientTest, HttpConnectorByItself) {
  Ptr<ISoapConnector> conn;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_HttpConnector, nullptr, CLSCTX_ALL, IID_ISoapConnector, conn.OutVoid()));
  // Its IDispatch part comes from the type library.
  Bstr end("EndMessage");
  LPOLESTR names[1] = {end.get()};
  DISPID id = 0;
  EXPECT_EQ(S_OK, conn->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
  EXPECT_EQ(7, id);
  // A name it does not know is refused, not stored and ignored.
  Bstr misspelt("EndPointURI");
  VARIANT v = Str("http://127.0.0.1/");
  EXPECT_EQ(E_INVALIDARG, conn->put_Property(misspelt.get(), v));
  EXPECT_EQ(E_INVALIDARG, conn->get_Property(misspelt.get(), &v));
  VariantClear(&v);
  // No endpoint, or one that is not HTTP: a failure with its reason.
  EXPECT_EQ(kNoEndpoint, conn->EndMessage());
  Bstr url("EndPointURL"), why("ErrorDescription");
  v = Str("file:///etc/passwd");
  ASSERT_EQ(S_OK, conn->put_Property(url.get(), v));
  VariantClear(&v);
  EXPECT_EQ(kNoEndpoint, conn->EndMessage());
  ASSERT_EQ(S_OK, conn->get_Property(why.get(), &v));
  EXPECT_NE(std::string::npos, com::BstrToUtf8(v.bstrVal).find("not an http")) << com::BstrToUtf8(v.bstrVal);
  VariantClear(&v);

  // A raw exchange with serve-http: what is written is posted, the answer
  // is read back.
  CalcServer server;
  ASSERT_TRUE(server.Start());
  v = Str(server.url());
  ASSERT_EQ(S_OK, conn->put_Property(url.get(), v));
  VariantClear(&v);
  ASSERT_EQ(S_OK, conn->BeginMessage());
  Ptr<IUnknown> out, in;
  ASSERT_EQ(S_OK, conn->get_OutputStream(out.Out()));
  Ptr<IStream> out_stream;
  ASSERT_EQ(S_OK, out.As(&out_stream));
  std::string req =
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
      "<c:Concat xmlns:c=\"urn:krsoap-calculator\"><c:a>x</c:a><c:b>y</c:b></c:Concat>"
      "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  ULONG written = 0;
  ASSERT_EQ(S_OK, out_stream->Write(req.data(), static_cast<ULONG>(req.size()), &written));
  ASSERT_EQ(S_OK, conn->EndMessage());
  ASSERT_EQ(S_OK, conn->get_InputStream(in.Out()));
  Ptr<IStream> in_stream;
  ASSERT_EQ(S_OK, in.As(&in_stream));
  std::string resp;
  char buf[512];
  ULONG got = 0;
  while (SUCCEEDED(in_stream->Read(buf, sizeof buf, &got)) && got) resp.append(buf, got);
  EXPECT_NE(std::string::npos, resp.find(">xy<")) << resp;
  EXPECT_NE(std::string::npos, resp.find("</SOAP-ENV:Envelope>")) << resp;
}

TEST_F(SoapClientTest, ConnectorProgIdPicksTheConnector) {
  CalcServer server;  // outlives the client's keep-alive connection
  ASSERT_TRUE(server.Start());
  Ptr<ISoapClient> client;
  NewClient("", &client);
  Bstr prog("ConnectorProgID");
  VARIANT v = Str("No.Such.Connector");
  EXPECT_TRUE(FAILED(client->put_ClientProperty(prog.get(), v)));
  VariantClear(&v);
  // The registered HTTP connector by ProgID; properties set before the
  // switch are carried over.
  SetConnector(client.get(), "EndPointURL", Str(server.url()));
  v = Str("Krsoap.HttpConnector");
  ASSERT_EQ(S_OK, client->put_ClientProperty(prog.get(), v));
  VariantClear(&v);
  CallResult r;
  Call(client.get(), "Multiply", {Dbl(6), Dbl(7)}, &r);
  ASSERT_EQ(S_OK, r.hr) << r.description;
  EXPECT_DOUBLE_EQ(42, r.value.dblVal);
}

TEST_F(SoapClientTest, InitFailures) {
  Ptr<ISoapClient> client;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SoapClient, nullptr, CLSCTX_ALL, IID_ISoapClient, client.OutVoid()));
  Bstr missing(home_.path() + "/none.wsdl"), wsdl(CalcWsdl()), none(""), port("NoSuchPort");
  EXPECT_TRUE(FAILED(client->Init(missing.get(), none.get(), none.get(), none.get())));
  Bstr why;
  client->get_faultstring(why.Out());
  EXPECT_FALSE(why.Utf8().empty());
  EXPECT_TRUE(FAILED(client->Init(wsdl.get(), none.get(), port.get(), none.get())));
  // Calling before a successful Init.
  CallResult r;
  Call(client.get(), "Add", {Dbl(1), Dbl(2)}, &r);
  EXPECT_EQ(DISP_E_UNKNOWNNAME, r.hr);
}

class KrsoapCallTest : public SoapClientTest {
 protected:
  int Run(std::vector<std::string> args, std::string* out, std::string* err) {
    args.insert(args.begin(), {BinDir() + "/krsoap", "call"});
    Child c;
    if (!c.Start(args)) return -2;
    return c.Wait(60000, out, err);
  }
};

TEST_F(KrsoapCallTest, CallsPrintsAndFails) {
  CalcServer server;
  ASSERT_TRUE(server.Start());
  std::vector<std::string> base = {"--wsdl", CalcWsdl(), "--wsml", CalcWsml(), "--property",
                                   "EndPointURL=" + server.url()};
  std::string out, err;
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> a = base;
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  EXPECT_EQ(0, Run(with({"Add", "a=2", "b=3"}), &out, &err)) << err;
  EXPECT_EQ("5\n", out);
  EXPECT_EQ(0, Run(with({"Divide", "b=4", "a=1"}), &out, &err)) << err;  // by name, any order
  EXPECT_EQ("0.25\n", out);
  EXPECT_EQ(0, Run(with({"Concat", "ab", "cd"}), &out, &err)) << err;  // by position
  EXPECT_EQ("abcd\n", out);
  EXPECT_EQ(0, Run(with({"Concat", "-h", "--help"}), &out, &err)) << err;  // values, not requests for help
  EXPECT_EQ("-h--help\n", out);
  EXPECT_EQ(1, Run(with({"Divide", "a=1", "b=0"}), &out, &err));
  EXPECT_NE(std::string::npos, err.find("fault:")) << err;
  EXPECT_NE(std::string::npos, err.find("Division by zero")) << err;
  EXPECT_EQ(2, Run(with({"Power", "a=1"}), &out, &err));
  EXPECT_NE(std::string::npos, err.find("Power")) << err;
  EXPECT_EQ(2, Run(with({"Add", "a=1"}), &out, &err));
  EXPECT_EQ(2, Run(with({"Add", "a=1", "c=2"}), &out, &err));
  std::vector<std::string> down = {"--wsdl", CalcWsdl(), "--property",
                                   "EndPointURL=http://127.0.0.1:" + std::to_string(ClosedPort()) + "/", "Add",
                                   "a=1", "b=2"};
  EXPECT_EQ(1, Run(down, &out, &err));
  EXPECT_NE(std::string::npos, err.find("cannot connect")) << err;
}

// What krsoap call cannot use is refused before anything is sent, with exit
// status 2 and the reason: a connector property the connector does not know
// or cannot take, an operation the port does not have (the ones it has are
// listed), an option whose value is missing. A help flag where a value is
// expected is not a request for help.
TEST_F(KrsoapCallTest, RefusesWhatItCannotUse) {
  std::string out, err;
  const std::string closed = "EndPointURL=http://127.0.0.1:" + std::to_string(ClosedPort()) + "/";
  EXPECT_EQ(2, Run({"--wsdl", CalcWsdl(), "--property", closed, "--property", "Timout=5", "Add", "1", "2"}, &out, &err));
  EXPECT_NE(std::string::npos, err.find("the connector refused the property \"Timout\"")) << err;
  EXPECT_EQ(2, Run({"--wsdl", CalcWsdl(), "--property", "Timeout=soon", "Add", "1", "2"}, &out, &err));
  EXPECT_NE(std::string::npos, err.find("refused the property \"Timeout\"")) << err;
  EXPECT_EQ(std::string::npos, err.find("soon")) << "values stay out of the message: " << err;

  EXPECT_EQ(2, Run({"--wsdl", CalcWsdl(), "Power", "1", "2"}, &out, &err));
  EXPECT_NE(std::string::npos,
            err.find("no operation \"Power\"; its operations: Add, Subtract, Multiply, Divide, Echo, Concat"))
      << err;

  for (const char* help : {"-h", "--help"}) {
    EXPECT_EQ(2, Run({"--wsdl", help}, &out, &err)) << help;
    EXPECT_EQ("", out) << help;
    EXPECT_NE(std::string::npos, err.find("OPERATION is missing")) << err;
  }
  EXPECT_EQ(2, Run({"--wsdl", CalcWsdl(), "--port"}, &out, &err));
  EXPECT_NE(std::string::npos, err.find("--port needs a value")) << err;
  EXPECT_EQ(0, Run({"--wsdl", CalcWsdl(), "-h"}, &out, &err));
  EXPECT_EQ(0u, out.find("usage: krsoap call")) << out;
}

// Which connector krsoap call picks. Only the toolkit is registered here, so
// a queue connector shows up as its ProgID in the "not registered" message,
// and the HTTP connector by its own failures.
TEST_F(KrsoapCallTest, ConnectorFollowsTheAddress) {
  const std::string queue_wsdl = SourcePath("examples/calculator/CalculatorQueue.wsdl");
  const std::string closed = "://127.0.0.1:" + std::to_string(ClosedPort()) + "/";
  std::string out, err;
  auto call = [&](std::vector<std::string> opts) {
    opts.insert(opts.end(), {"Add", "2", "3"});
    return Run(opts, &out, &err);
  };
  // Addresses that are not krs: go to the HTTP connector.
  EXPECT_EQ(1, call({"--wsdl", CalcWsdl(), "--endpoint", "https" + closed}));
  EXPECT_NE(std::string::npos, err.find("cannot connect to https" + closed)) << err;
  EXPECT_EQ(1, call({"--wsdl", CalcWsdl(), "--endpoint", "no-such-scheme"}));
  EXPECT_NE(std::string::npos, err.find("\"no-such-scheme\" is not an http: or https: URL")) << err;
  EXPECT_EQ(1, call({"--wsdl", queue_wsdl, "--endpoint", "http" + closed}));
  EXPECT_NE(std::string::npos, err.find("cannot connect")) << err;
  // --endpoint wins over an EndPointURL property, for the choice and the value.
  EXPECT_EQ(1, call({"--wsdl", CalcWsdl(), "--endpoint", "http" + closed, "--property", "EndPointURL=krs:Q@"}));
  EXPECT_NE(std::string::npos, err.find("cannot connect")) << err;
  EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;

  // krs: addresses (any case), from the port or --endpoint, take the server connector.
  const std::string server_missing = "\"KRSoapClient.KRServerConnector\" is not registered";
  EXPECT_EQ(1, call({"--wsdl", queue_wsdl}));
  EXPECT_NE(std::string::npos, err.find(server_missing)) << err;
  EXPECT_EQ(1, call({"--wsdl", CalcWsdl(), "--endpoint", "KRS:CALC.REQUEST@"}));
  EXPECT_NE(std::string::npos, err.find(server_missing)) << err;

  // --connector overrides the address.
  EXPECT_EQ(1, call({"--wsdl", CalcWsdl(), "--connector", "server"}));
  EXPECT_NE(std::string::npos, err.find(server_missing)) << err;
  EXPECT_EQ(1, call({"--wsdl", queue_wsdl, "--connector", "client"}));
  EXPECT_NE(std::string::npos, err.find("\"KRSoapClient.KRClientConnector\" is not registered")) << err;
  EXPECT_EQ(1, call({"--wsdl", CalcWsdl(), "--connector", "No.Such.Connector"}));
  EXPECT_NE(std::string::npos, err.find("\"No.Such.Connector\" is not registered")) << err;
}

}  // namespace
}  // namespace krsoap::test
