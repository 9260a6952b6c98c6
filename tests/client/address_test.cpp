// The connectors' properties and endpoint addresses through ISoapConnector:
// krs: addresses split into queue and queue manager, the permanent HTTP mode
// and its queue-only properties, and the fault every message gets once the
// address was unusable.
#include <sys/stat.h>

#include "tests/client/client_test_util.h"

namespace krsoap::test {
namespace {

constexpr char kUrlFault[] =
    "The SOAP Address URL supplied is not a valid KR or HTTP URL. The valid format for an KR URL is "
    "krs:queue@queuemanager";

using AddressTest = ClientTest;

TEST_F(AddressTest, KrsAddressesSplitAtTheFirstColonAndTheFirstAt) {
  struct Case {
    const char* url;
    const char* queue;
    const char* qmgr;
  } cases[] = {
      {"KRS:Q1@QM1", "Q1", "QM1"},      {"krs:Q1", "default", ""}, {"krs:@QM1", "", "QM1"},
      {"krs:A@B@C", "A", "B@C"},        {"krs:Q:1@QM", "Q:1", "QM"}, {"kRs:Q1@", "Q1", ""},
  };
  for (const CLSID* clsid : {&CLSID_KRServerConnector, &CLSID_KRClientConnector}) {
    for (const Case& c : cases) {
      Ptr<ISoapConnector> con(Connector(c.url, *clsid));
      ASSERT_TRUE(con);
      EXPECT_EQ(c.queue, Get(con.get(), "Queue")) << c.url;
      EXPECT_EQ(c.qmgr, Get(con.get(), "RemoteQueueMgr")) << c.url;
      EXPECT_EQ(c.url, Get(con.get(), "EndPointURL"));
    }
  }
  Ptr<ISoapConnector> con(Connector("krs:Q1@QM1"));
  // A queue manager given before a krs: address without '@' is reset.
  EXPECT_EQ(S_OK, Put(con.get(), "RemoteQueueMgr", "QM9"));
  EXPECT_EQ(S_OK, Put(con.get(), "EndPointURL", "krs:Q5"));
  EXPECT_EQ("", Get(con.get(), "RemoteQueueMgr"));
  // Names are case-sensitive; LastErrorCode is a read-only VT_I4.
  EXPECT_EQ(E_INVALIDARG, Put(con.get(), "queue", "Q7"));
  EXPECT_EQ("<" + std::to_string(E_INVALIDARG) + ">", Get(con.get(), "queue"));
  EXPECT_EQ("<" + std::to_string(E_INVALIDARG) + ">", Get(con.get(), "NoSuchProperty"));
  EXPECT_EQ("default", Get(con.get(), "Queue"));
  EXPECT_EQ("0", Get(con.get(), "LastErrorCode"));
  EXPECT_EQ(E_INVALIDARG, Put(con.get(), "LastErrorCode", "5"));
  EXPECT_EQ(0, LastError(con.get()));
}

TEST_F(AddressTest, AnHttpAddressHandsAllButTheQueuePropertiesToTheHttpConnector) {
  Ptr<ISoapConnector> con(Connector("HTTP://127.0.0.1:9/calc"));
  ASSERT_TRUE(con);
  // Queue-only properties: read answers S_OK and leaves the VARIANT alone,
  // write stores nothing anywhere.
  for (const char* name : {"Queue", "LocalQueueMgr", "RemoteQueueMgr", "LastErrorCode"}) {
    Bstr n(name);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I2;
    v.iVal = 777;
    EXPECT_EQ(S_OK, con->get_Property(n.get(), &v)) << name;
    EXPECT_EQ(VT_I2, v.vt) << name;
    EXPECT_EQ(777, v.iVal) << name;
  }
  EXPECT_EQ(S_OK, Put(con.get(), "Queue", "Q9"));
  // Any other name goes to the HTTP connector, which ignores case and
  // refuses names it does not know ("queue" is not one of the queue-only names).
  EXPECT_EQ("<" + std::to_string(E_INVALIDARG) + ">", Get(con.get(), "queue"));
  EXPECT_EQ("HTTP://127.0.0.1:9/calc", Get(con.get(), "EndPointURL"));
  EXPECT_EQ("HTTP://127.0.0.1:9/calc", Get(con.get(), "endpointurl"));
  // The mode is for good: a krs: address is now just the HTTP connector's.
  EXPECT_EQ(S_OK, Put(con.get(), "EndPointURL", "krs:Q1@QM1"));
  EXPECT_EQ("krs:Q1@QM1", Get(con.get(), "endpointurl"));
  Ptr<IUnknown> in;
  ASSERT_EQ(S_OK, con->get_InputStream(in.Out()));
  Ptr<IKRStream> own;
  EXPECT_EQ(E_NOINTERFACE, in.As(&own)) << "the stream is the HTTP connector's";
}

// The fault in the input stream: faultcode and faultstring.
std::pair<std::string, std::string> FaultOf(const std::string& xml) {
  Ptr<ISoapReader> reader;
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_SoapReader, nullptr, CLSCTX_ALL, IID_ISoapReader, reader.OutVoid()));
  Bstr text(xml);
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (!reader || FAILED(reader->loadXML(text.get(), &ok)) || !ok) return {"<not loaded>", xml};
  Ptr<IXMLDOMElement> code, string;
  Bstr c, s;
  if (SUCCEEDED(reader->get_FaultCode(code.Out())) && code) code->get_text(c.Out());
  if (SUCCEEDED(reader->get_FaultString(string.Out())) && string) string->get_text(s.Out());
  return {c.Utf8(), s.Utf8()};
}

TEST_F(AddressTest, AnUnusableAddressFaultsEveryMessageWithoutAQueueCall) {
  for (const char* url : {"https://host/calc", "", "krs", "ftp:REQUEST@"}) {
    Ptr<ISoapConnector> con(Connector(url));
    ASSERT_TRUE(con);
    // A usable address later does not make the connector usable.
    if (!*url) {
      EXPECT_EQ(S_OK, Put(con.get(), "EndPointURL", "krs:REQUEST@"));
    }
    for (const std::string& request : {Envelope("s", ""), std::string(6000, 'x')}) {
      EXPECT_EQ(S_OK, Send(con.get(), request)) << url;
      const std::string reply = Received(con.get());
      auto [code, text] = FaultOf(reply);
      EXPECT_EQ("SOAP-ENV:Client", code) << url << "\n" << reply;
      EXPECT_EQ(kUrlFault, text) << url;
      EXPECT_EQ(std::string::npos, reply.find("xx")) << "the request is thrown away";
    }
    EXPECT_EQ(0, LastError(con.get()));
  }
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, TakeMessage(qm_, "REQUEST").reason);
}

// The trace of "krsoap call" processes sending through the server connector
// (tracing is read once per module load, so a process of its own shows it).
TEST_F(AddressTest, TheTraceNamesTheQueueAndQueueManagerOrTheFallback) {
  const std::string errors = home_.path() + "/Errors";
  ASSERT_EQ(0, ::mkdir(errors.c_str(), 0700));
  const std::string reg = BinDir() + "/krsoap reg add ";
  int st = -1;
  Shell(reg + "'HKLM\\SOFTWARE\\Orvane\\Korrin\\CurrentVersion' /v WorkPath /t REG_SZ /d " + home_.path() + " /f",
        &st);
  ASSERT_EQ(0, st);
  Shell(reg + "'HKLM\\SOFTWARE\\Orvane\\KRSoap' /v soapTrace /t REG_DWORD /d 1 /f", &st);
  ASSERT_EQ(0, st);
  const std::string call = BinDir() + "/krsoap call --wsdl " KRSOAP_SOURCE_DIR
                           "/examples/calculator/Calculator.wsdl --connector server --endpoint ";
  // Q1 does not exist on QM1 (no such queue manager); "default" is no queue
  // of the default queue manager: each call fails at its open.
  const std::string named = Shell(call + "KRS:Q1@QM1 Add a=1 b=2 2>&1", &st);
  EXPECT_NE(std::string::npos, named.find(std::to_string(KRRC_UNKNOWN_REMOTE_Q_MGR))) << named;
  const std::string fallback = Shell(call + "krs:Q1 Add a=1 b=2 2>&1", &st);
  EXPECT_NE(std::string::npos, fallback.find(std::to_string(KRRC_UNKNOWN_OBJECT_NAME))) << fallback;
  const std::string trace = Shell("cat " + errors + "/*.trc", &st);
  EXPECT_NE(std::string::npos, trace.find("> Queue manager: QM1 - Queue: Q1\r\n")) << trace;
  EXPECT_NE(std::string::npos, trace.find("> Error parsing KR URL: krs:Q1\r\n")) << trace;
  EXPECT_NE(std::string::npos, trace.find("> Using default queue manager and queue names.\r\n")) << trace;
}

}  // namespace
}  // namespace krsoap::test
