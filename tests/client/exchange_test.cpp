// The queue exchange of a connector against the embedded queue manager, with
// the test playing the service: the request as put (SoapAction patched in,
// the record's fields), the correlated reply, the size limits, late replies,
// failed queue calls, and both bindings kinds with their library lifetime.
#include <regex>

#include "platform/module/module.h"
#include "tests/client/client_test_util.h"

namespace krsoap::test {
namespace {

using ExchangeTest = ClientTest;

const std::string kNs = "=\"http://schemas.xmlsoap.org/soap/envelope/\"";

bool Has(const std::string& text, const std::string& pattern) { return std::regex_search(text, std::regex(pattern)); }

TEST_F(ExchangeTest, TheRequestGoesOutWithItsSoapActionAndTheCorrelatedReplyComesBack) {
  Ptr<ISoapConnector> con(Connector());
  ASSERT_TRUE(con);
  ASSERT_EQ(S_OK, Put(con.get(), "SoapAction", "urn:calc#Add"));
  const std::string requests[] = {
      Envelope("SOAP-ENV", "<x:Other xmlns:x=\"urn:x\"/>"), Envelope("s", nullptr), Envelope("s", ""),
      // A Header under another prefix is not the Envelope's.
      "<s:Envelope xmlns:s" + kNs + " xmlns:e" + kNs + "><e:Header><e:Old/></e:Header><s:Body/></s:Envelope>"};
  Responder service(qm_, "REQUEST", {"<r0/>", "<r1/>", "<r2/>", "<r3/>"});
  for (int i = 0; i < 4; ++i) {
    if (i == 2) {
      ASSERT_EQ(S_OK, Put(con.get(), "SoapAction", ""));
    }
    EXPECT_EQ(S_OK, Send(con.get(), requests[i])) << i;
    EXPECT_EQ("<r" + std::to_string(i) + "/>", Received(con.get()));
  }
  const std::vector<Served>& served = service.Join();
  ASSERT_EQ(4u, served.size());
  EXPECT_TRUE(Has(served[0].body, "<SOAP-ENV:Header><x:Other xmlns:x=\"urn:x\"/><SOAP-ENV:SoapAction>urn:calc#Add"
                                  "</SOAP-ENV:SoapAction></SOAP-ENV:Header><SOAP-ENV:Body>"))
      << served[0].body;
  EXPECT_TRUE(Has(served[1].body, "<s:Envelope xmlns:s" + kNs +
                                      "><s:Header><s:SoapAction>urn:calc#Add</s:SoapAction></s:Header><s:Body>"))
      << served[1].body;
  EXPECT_TRUE(Has(served[2].body, "<s:Header><s:SoapAction/></s:Header><s:Body>")) << served[2].body;
  // A second Header, with the Envelope's own prefix (the one the service
  // searches by), goes first.
  EXPECT_TRUE(Has(served[3].body, "><s:Header><s:SoapAction/></s:Header><e:Header><e:Old/></e:Header>"
                                  "<s:Body/></s:Envelope>\\s*$"))
      << served[3].body;
  for (const Served& s : served) {
    EXPECT_EQ(KRRC_NONE, s.reason);
    EXPECT_EQ(KRFMT_STRING, std::string(s.md.Format, KR_FORMAT_LENGTH));
    EXPECT_EQ(KRMT_REQUEST, s.md.MsgType);
    // One temporary dynamic reply-to queue for every exchange, blank-padded.
    EXPECT_EQ(Field(served[0].md.ReplyToQ), Field(s.md.ReplyToQ));
    EXPECT_TRUE(std::regex_match(Field(s.md.ReplyToQ), std::regex("KR\\.TEMP\\.\\w+ +"))) << Field(s.md.ReplyToQ);
    EXPECT_EQ(qm_ + std::string(48 - qm_.size(), ' '), Field(s.md.ReplyToQMgr));
  }
  EXPECT_NE(0, std::memcmp(served[0].md.MsgId, served[1].md.MsgId, KR_MSG_ID_LENGTH));
  EXPECT_EQ(0, LastError(con.get()));
}

// The patched request is a wire format: byte for byte what the XML DOM writes
// back, whether the request is patched as text (the plain form serialisers
// write: declaration, entities, empty elements, an empty-element Header) or
// goes through the DOM (a comment).
TEST_F(ExchangeTest, ThePatchedRequestIsWhatTheDomWritesBack) {
  Ptr<ISoapConnector> con(Connector());
  ASSERT_TRUE(con);
  ASSERT_EQ(S_OK, Put(con.get(), "SoapAction", "urn:m#Op"));
  const std::string env = "<s:Envelope xmlns:s" + kNs + ">";
  const std::string action = "<s:Header><s:SoapAction>urn:m#Op</s:SoapAction></s:Header>";
  const std::string body = "<s:Body><m:Op xmlns:m=\"urn:m\" m:x=\"a&amp;b\"><m:v>1 &lt; 2</m:v><m:e></m:e></m:Op></s:Body>";
  const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>";
  const std::pair<std::string, std::string> cases[] = {
      {decl + env + body + "</s:Envelope>",
       decl + "\n" + env + action +
           "<s:Body><m:Op xmlns:m=\"urn:m\" m:x=\"a&amp;b\"><m:v>1 &lt; 2</m:v><m:e/></m:Op></s:Body></s:Envelope>\n"},
      {env + "<s:Header/><s:Body/></s:Envelope>", env + action + "<s:Body/></s:Envelope>\n"},
      {env + "<!-- c --><s:Body></s:Body></s:Envelope>", env + action + "<!-- c --><s:Body/></s:Envelope>\n"}};
  Responder service(qm_, "REQUEST", {"<r/>", "<r/>", "<r/>"});
  for (const auto& c : cases) {
    EXPECT_EQ(S_OK, Send(con.get(), c.first));
    EXPECT_EQ("<r/>", Received(con.get()));
  }
  const std::vector<Served>& served = service.Join();
  ASSERT_EQ(3u, served.size());
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(cases[i].second, served[i].body) << i;
}

TEST_F(ExchangeTest, WhatIsNoEnvelopeIsNeitherSentNorAwaited) {
  Ptr<ISoapConnector> con(Connector());
  ASSERT_TRUE(con);
  KRMD first;
  {
    Responder service(qm_, "REQUEST", {"<r1/>"});
    ASSERT_EQ(S_OK, Send(con.get(), Envelope("s", "")));
    EXPECT_EQ("<r1/>", Received(con.get()));
    first = service.Join().at(0).md;
  }
  // A second answer to the first request waits on the reply-to queue: a
  // connector that waited for a reply again would take it.
  ASSERT_EQ(KRRC_NONE, Answer(qm_, first, "<again/>"));
  for (const std::string& bad : {std::string(), std::string("not <xml"), std::string("<a:Root xmlns:a=\"urn:a\"/>"),
                                 "<s:Envelope xmlns:s" + kNs + "/>", "<s:Envelope xmlns:s" + kNs + "></s:Envelope>"}) {
    EXPECT_EQ(E_INVALIDARG, Send(con.get(), bad)) << bad;
    EXPECT_EQ("", Received(con.get())) << bad;
    EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, TakeMessage(qm_, "REQUEST").reason) << bad;
  }
  Responder service(qm_, "REQUEST", {"<r2/>"});
  EXPECT_EQ(S_OK, Send(con.get(), Envelope("s", "")));
  EXPECT_EQ("<r2/>", Received(con.get()));
}

TEST_F(ExchangeTest, RequestsAndRepliesOfUpTo4095BytesTravelWhole) {
  Ptr<ISoapConnector> con(Connector());
  ASSERT_TRUE(con);
  auto request = [](size_t pad) { return Envelope("s", "", "<m:P xmlns:m=\"urn:m\">" + std::string(pad, 'p') + "</m:P>"); };
  // The patched length of a request with one byte of padding tells how much
  // padding makes 4,095 bytes.
  size_t pad = 0;
  {
    Responder service(qm_, "REQUEST", {"<ok/>"});
    ASSERT_EQ(S_OK, Send(con.get(), request(1)));
    EXPECT_EQ("<ok/>", Received(con.get()));
    pad = 4095 - service.Join().at(0).body.size() + 1;
  }
  const std::string reply4095(4095, 'r'), reply4096(4096, 'R');
  Responder service(qm_, "REQUEST", {reply4095, reply4096});
  EXPECT_EQ(S_OK, Send(con.get(), request(pad)));
  EXPECT_EQ(reply4095, Received(con.get()));
  // One byte more is refused before the put and taken out of the stream.
  EXPECT_EQ(E_FAIL, Send(con.get(), request(pad + 1)));
  EXPECT_EQ(KRRC_MSG_TOO_BIG_FOR_Q, LastError(con.get()));
  EXPECT_EQ("", Received(con.get()));
  // A reply of 4,096 bytes does not fit: the get's reason, nothing received.
  EXPECT_EQ(E_FAIL, Send(con.get(), request(1)));
  EXPECT_EQ(KRRC_TRUNCATED_MSG_FAILED, LastError(con.get()));
  EXPECT_EQ("", Received(con.get()));
  const std::vector<Served>& served = service.Join();
  ASSERT_EQ(2u, served.size());
  EXPECT_EQ(4095u, served[0].body.size());
  EXPECT_EQ(std::string::npos, served[1].body.find("pp")) << "the refused request went out";
}

TEST_F(ExchangeTest, ALateReplyStaysBehindAndANewQueueTakesTheNextRequest) {
  SetReplyWait(300);
  Ptr<ISoapConnector> con(Connector());
  ASSERT_TRUE(con);
  EXPECT_EQ(E_FAIL, Send(con.get(), Envelope("s", "", "<one/>")));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, LastError(con.get()));
  Served one = TakeMessage(qm_, "REQUEST");
  ASSERT_EQ(KRRC_NONE, one.reason);
  ASSERT_EQ(KRRC_NONE, Answer(qm_, one.md, "<late/>"));
  {
    Responder service(qm_, "REQUEST", {"<two/>"});
    EXPECT_EQ(S_OK, Send(con.get(), Envelope("s", "", "<two/>")));
    EXPECT_EQ("<two/>", Received(con.get()));
    EXPECT_EQ(Field(one.md.ReplyToQ), Field(service.Join().at(0).md.ReplyToQ));
  }
  // "Queue" changed after the first exchange: the next request goes there.
  ASSERT_EQ(S_OK, Put(con.get(), "Queue", "Q2"));
  Responder service(qm_, "Q2", {"<three/>"});
  EXPECT_EQ(S_OK, Send(con.get(), Envelope("s", "", "<three/>")));
  EXPECT_EQ("<three/>", Received(con.get()));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, TakeMessage(qm_, "REQUEST").reason);
}

TEST_F(ExchangeTest, FailedQueueCallsAnswerEFailWithTheirReasonCode) {
  const std::string n48(48, 'N');
  struct Case {
    std::string url;
    const CLSID* clsid;
    const char* local_qm;  // for the server connector, in place of this test's
    LONG reason;
  } cases[] = {
      {"krs:REQUEST@", &CLSID_KRServerConnector, "NO.SUCH.QM", KRRC_UNKNOWN_Q_MGR},
      {"krs:REQUEST@NO.SUCH.QM", &CLSID_KRClientConnector, nullptr, KRRC_UNKNOWN_Q_MGR},
      {"krs:MISSING@", &CLSID_KRServerConnector, nullptr, KRRC_UNKNOWN_OBJECT_NAME},
      {"krs:" + n48 + "N@", &CLSID_KRServerConnector, nullptr, KRRC_NAME_TOO_LONG},
      {"krs:REQUEST@" + n48 + "N", &CLSID_KRServerConnector, nullptr, KRRC_NAME_TOO_LONG},
      {"krs:" + n48 + "@", &CLSID_KRServerConnector, nullptr, KRRC_UNKNOWN_OBJECT_NAME},  // fits, not cut
  };
  for (const Case& c : cases) {
    Ptr<ISoapConnector> con(Connector(c.url, *c.clsid));
    ASSERT_TRUE(con);
    if (c.local_qm) {
      ASSERT_EQ(S_OK, Put(con.get(), "LocalQueueMgr", c.local_qm));
    }
    EXPECT_EQ(E_FAIL, Send(con.get(), Envelope("s", ""))) << c.url;
    EXPECT_EQ(c.reason, LastError(con.get())) << c.url;
    // The next message fails on the handles the first left behind, without
    // waiting for a reply to a request that never went out.
    EXPECT_EQ(E_FAIL, Send(con.get(), Envelope("s", ""))) << c.url;
    EXPECT_EQ("", Received(con.get()));
  }
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, TakeMessage(qm_, "REQUEST").reason);
}

TEST_F(ExchangeTest, BothBindingsKindsExchangeAndEachLoadsItsLibraryOnce) {
  EXPECT_EQ(nullptr, GetModuleHandleA("krcl32.dll"));
  EXPECT_EQ(nullptr, GetModuleHandleA("krm.dll"));
  Ptr<ISoapConnector> client1(Connector("krs:REQUEST@" + qm_, CLSID_KRClientConnector));
  Ptr<ISoapConnector> client2(Connector("krs:REQUEST@" + qm_, CLSID_KRClientConnector));
  ASSERT_TRUE(client1 && client2);
  const HMODULE client_library = GetModuleHandleA("krcl32.dll");
  EXPECT_NE(nullptr, client_library);
  EXPECT_EQ(nullptr, GetModuleHandleA("krm.dll"));
  Ptr<ISoapConnector> server(Connector());
  ASSERT_TRUE(server);
  EXPECT_NE(nullptr, GetModuleHandleA("krm.dll"));

  Responder service(qm_, "REQUEST", {"<c1/>", "<c2/>", "<s/>"});
  for (auto [con, reply] : {std::pair{client1.get(), "<c1/>"}, {client2.get(), "<c2/>"}, {server.get(), "<s/>"}}) {
    EXPECT_EQ(S_OK, Send(con, Envelope("s", "")));
    EXPECT_EQ(reply, Received(con));
  }
  const std::vector<Served>& served = service.Join();
  ASSERT_EQ(3u, served.size());
  // No local queue manager named: the reply-to queue manager is all blanks.
  EXPECT_EQ(std::string(48, ' '), Field(served[0].md.ReplyToQMgr));
  EXPECT_EQ(qm_, Field(served[2].md.ReplyToQMgr).substr(0, qm_.size()));
  EXPECT_NE(Field(served[0].md.ReplyToQ), Field(served[1].md.ReplyToQ));

  client1.Reset();
  EXPECT_EQ(client_library, GetModuleHandleA("krcl32.dll"));
  client2.Reset();
  EXPECT_EQ(nullptr, GetModuleHandleA("krcl32.dll"));
  EXPECT_NE(nullptr, GetModuleHandleA("krm.dll"));
  server.Reset();
  EXPECT_EQ(nullptr, GetModuleHandleA("krm.dll"));
}

}  // namespace
}  // namespace krsoap::test
