// KRSoapHandler through COM activation over a real queue manager: taking a
// request, serving it through Read and Stat, gathering the response through
// Write and putting it, correlated, on the reply-to queue; the SOAP-action
// extraction; size limits, bad input and failures on either side.
#include <cstdlib>

#include "platform/registry/registry.h"
#include "server/action_text.h"
#include "tests/server_handler/handler_test_util.h"
#include "xmldom.h"

namespace krsoap::test {
namespace {

TEST_F(HandlerTest, RequestIsServedAndTheReplyLandsCorrelatedOnTheReplyToQueue) {
  const std::string request = Envelope("urn:example#Op");
  const std::string msg_id = PutRequest(request);
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  EXPECT_EQ("urn:example#Op", Action(h.get()));
  Bstr text;
  ASSERT_EQ(S_OK, h->get_SoapRequest(text.Out()));
  EXPECT_EQ(request, text.Utf8());
  EXPECT_EQ(0, ErrorCode(h.get()));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REQUEST").reason);  // one destructive get

  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  STATSTG st{};
  ASSERT_EQ(S_OK, s->Stat(&st, STATFLAG_NONAME));
  EXPECT_EQ(static_cast<DWORD>(STGTY_STREAM), st.type);
  EXPECT_EQ(request.size(), st.cbSize.QuadPart);
  // A count of 0 serves nothing and keeps the request.
  ULONG n = 99;
  char byte = 0;
  EXPECT_EQ(S_OK, s->Read(&byte, 0, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(request, ReadAll(s.get(), 7));
  EXPECT_EQ(S_FALSE, s->Read(&byte, 1, &n));
  EXPECT_EQ(0u, n);

  // The end tag split over two writes: put once, whole, after the second.
  const std::string response = Response();
  const size_t cut = response.size() - 8;
  EXPECT_EQ(S_OK, WriteText(s.get(), response.substr(0, cut)));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);
  EXPECT_EQ(S_OK, WriteText(s.get(), response.substr(cut)));
  Message reply = Take("REPLY");
  ASSERT_EQ(KRRC_NONE, reply.reason);
  EXPECT_EQ(response, reply.body);
  EXPECT_EQ(msg_id, CorrelOf(reply));
  EXPECT_EQ(KRMT_DATAGRAM, reply.md.MsgType);
  EXPECT_EQ(0, std::memcmp(reply.md.Format, KRFMT_NONE, KR_FORMAT_LENGTH));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);  // put once

  Bstr got;
  ASSERT_EQ(S_OK, h->get_SoapResponse(got.Out()));
  EXPECT_EQ(response, got.Utf8());
  ASSERT_EQ(S_OK, h->get_SoapRequest(got.Out()));
  EXPECT_EQ(request, got.Utf8());  // kept until the next request is taken
}

TEST_F(HandlerTest, BytesAfterTheEndTagArePartOfTheReply) {
  const std::string msg_id = PutRequest(Envelope("urn:a"));
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  Action(h.get());
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  ReadAll(s.get());
  const std::string response = Response() + "\r\n<!-- tail -->";
  EXPECT_EQ(S_OK, WriteText(s.get(), response));
  Message reply = Take("REPLY", msg_id);
  ASSERT_EQ(KRRC_NONE, reply.reason);
  EXPECT_EQ(response, reply.body);
}

TEST_F(HandlerTest, AResponseThatNeverCompletesIsNotPutAndDoesNotLeakIntoTheNextReply) {
  PutRequest(Envelope("urn:first"));
  const std::string second_id = PutRequest(Envelope("urn:second"));
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  EXPECT_EQ("urn:first", Action(h.get()));
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  ReadAll(s.get());
  EXPECT_EQ(S_OK, WriteText(s.get(), "<SOAP-ENV:Envelope><SOAP-ENV:Body>never ends"));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);
  Bstr got;
  ASSERT_EQ(S_OK, h->get_SoapResponse(got.Out()));
  EXPECT_EQ("", got.Utf8());

  // The next request starts a response of its own.
  EXPECT_EQ("urn:second", Action(h.get()));
  ReadAll(s.get());
  EXPECT_EQ(S_OK, WriteText(s.get(), Response("second")));
  Message reply = Take("REPLY");
  ASSERT_EQ(KRRC_NONE, reply.reason);
  EXPECT_EQ(Response("second"), reply.body);
  EXPECT_EQ(second_id, CorrelOf(reply));
}

TEST_F(HandlerTest, RequestsOf4096BytesAreTakenWholeAndLongerOnesAreAnsweredWithAFault) {
  auto padded = [](size_t size) {
    const std::string head = "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" + std::string(kEnvNs) +
                             "\"><SOAP-ENV:Header><SOAP-ENV:SoapAction>urn:big</SOAP-ENV:SoapAction>"
                             "</SOAP-ENV:Header><SOAP-ENV:Body><t>";
    const std::string tail = "</t></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
  };
  const std::string exact = padded(4096);
  ASSERT_EQ(4096u, exact.size());
  const std::string over = padded(4097);
  const std::string over_id = PutRequest(over);
  const std::string exact_id = PutRequest(exact);

  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  // The oversized request: not served, taken off, answered with a fault.
  Bstr a;
  ASSERT_EQ(S_OK, h->get_SoapAction(a.Out()));
  EXPECT_EQ("", a.Utf8());
  EXPECT_EQ(KRRC_TRUNCATED_MSG_FAILED, ErrorCode(h.get()));
  Bstr description;
  ASSERT_EQ(S_OK, h->get_ErrorDescription(description.Out()));
  EXPECT_NE(std::string::npos, description.Utf8().find("2080"));
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  char buf[16];
  ULONG n = 1;
  EXPECT_EQ(S_FALSE, s->Read(buf, sizeof buf, &n));
  EXPECT_EQ(0u, n);
  Message fault = Take("REPLY", over_id);
  ASSERT_EQ(KRRC_NONE, fault.reason);
  EXPECT_NE(std::string::npos, fault.body.find("<faultcode>SOAP-ENV:Client</faultcode>"));
  EXPECT_NE(std::string::npos, fault.body.find("4097"));
  // What the SoapServer writes for the request it never got goes nowhere.
  EXPECT_EQ(STG_E_CANTSAVE, WriteText(s.get(), Response("stray")));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);

  // The queue is not blocked: the 4,096-byte request behind it is next.
  EXPECT_EQ("urn:big", Action(h.get()));
  EXPECT_EQ(0, ErrorCode(h.get()));
  EXPECT_EQ(exact, ReadAll(s.get(), 1000));
  EXPECT_EQ(S_OK, WriteText(s.get(), Response()));
  EXPECT_EQ(KRRC_NONE, Take("REPLY", exact_id).reason);
}

TEST_F(HandlerTest, AReusedHandlerServesRequestsInTurnAndNeverCarriesAnActionOver) {
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  const std::string id1 = PutRequest(Envelope("urn:one"));
  const std::string id2 = PutRequest(Envelope(""));  // no SoapAction element
  const std::string id3 = PutRequest(Envelope(""));
  const std::string id4 = PutRequest(Envelope("urn:four"));

  EXPECT_EQ("urn:one", Action(h.get()));
  ReadAll(s.get());
  EXPECT_EQ(S_OK, WriteText(s.get(), Response("1")));

  EXPECT_EQ("", Action(h.get()));  // not urn:one
  ReadAll(s.get());
  EXPECT_EQ(S_OK, WriteText(s.get(), Response("2")));

  // A value put by the caller is what a request without an action gets.
  Bstr put("urn:put");
  ASSERT_EQ(S_OK, h->put_SoapAction(put.get()));
  EXPECT_EQ("urn:put", Action(h.get()));
  ReadAll(s.get());
  EXPECT_EQ(S_OK, WriteText(s.get(), Response("3")));

  // Stat after the request was read takes the next one; SoapAction then
  // makes no further get.
  STATSTG st{};
  ASSERT_EQ(S_OK, s->Stat(&st, STATFLAG_NONAME));
  EXPECT_EQ(Envelope("urn:four").size(), st.cbSize.QuadPart);
  EXPECT_EQ("urn:four", Action(h.get()));
  ReadAll(s.get());
  EXPECT_EQ(S_OK, WriteText(s.get(), Response("4")));

  EXPECT_EQ(Response("1"), Take("REPLY", id1).body);
  EXPECT_EQ(Response("2"), Take("REPLY", id2).body);
  EXPECT_EQ(Response("3"), Take("REPLY", id3).body);
  EXPECT_EQ(Response("4"), Take("REPLY", id4).body);
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);
}

TEST_F(HandlerTest, AFailedOpenLeavesTheEmptyRequestStateAndItsResponseGoesNowhere) {
  PutRequest(Envelope("urn:elsewhere"));
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h, "NO.SUCH.QUEUE");
  Bstr put("urn:kept");
  ASSERT_EQ(S_OK, h->put_SoapAction(put.get()));
  EXPECT_EQ("urn:kept", Action(h.get()));
  EXPECT_EQ(KRRC_UNKNOWN_OBJECT_NAME, ErrorCode(h.get()));
  Bstr text;
  ASSERT_EQ(S_OK, h->get_SoapRequest(text.Out()));
  EXPECT_EQ("", text.Utf8());
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  // The empty request: Stat and SoapAction make no further get; the first
  // Read frees it, the next finds nothing.
  STATSTG st{};
  st.cbSize.QuadPart = 77;
  ASSERT_EQ(S_OK, s->Stat(&st, 0));
  EXPECT_EQ(77u, st.cbSize.QuadPart);
  char buf[8];
  ULONG n = 9;
  EXPECT_EQ(S_OK, s->Read(buf, sizeof buf, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(S_FALSE, s->Read(buf, sizeof buf, &n));
  // No request was taken: a complete response has nowhere to go.
  EXPECT_EQ(STG_E_CANTSAVE, WriteText(s.get(), Response()));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);
  EXPECT_EQ(KRRC_NONE, Take("REQUEST").reason);  // untouched
}

TEST_F(HandlerTest, NoRequestWithinTheWaitKeepsTheActionAndSendsNothing) {
  // The wait for a request, shortened through its registry value.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap\\Server", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const DWORD wait_ms = 100;
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExW(key, u"RequestWait", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&wait_ms), sizeof wait_ms));
  RegCloseKey(key);
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  EXPECT_EQ("", Action(h.get()));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, ErrorCode(h.get()));
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  char buf[8];
  ULONG n = 9;
  EXPECT_EQ(S_FALSE, s->Read(buf, sizeof buf, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(STG_E_CANTSAVE, WriteText(s.get(), Response()));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);
}

TEST_F(HandlerTest, ReplyToQueueMissingOrDeletedIsReportedNotPretendedSent) {
  PutRequest(Envelope("urn:a"), "NO.SUCH.REPLY");
  Define("GONE.REPLY");
  PutRequest(Envelope("urn:b"), "GONE.REPLY");
  PutRequest(Envelope("urn:c"), "");  // a datagram without reply-to queue
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));

  EXPECT_EQ("urn:a", Action(h.get()));
  ReadAll(s.get());
  EXPECT_EQ(STG_E_CANTSAVE, WriteText(s.get(), Response()));
  EXPECT_EQ(KRRC_UNKNOWN_OBJECT_NAME, ErrorCode(h.get()));
  Bstr description;
  ASSERT_EQ(S_OK, h->get_ErrorDescription(description.Out()));
  EXPECT_NE(std::string::npos, description.Utf8().find("reply-to queue"));

  EXPECT_EQ("urn:b", Action(h.get()));
  EXPECT_EQ(0, ErrorCode(h.get()));  // a new request starts clean
  Undefine("GONE.REPLY");            // the client gave up meanwhile
  ReadAll(s.get());
  EXPECT_EQ(STG_E_CANTSAVE, WriteText(s.get(), Response()));
  EXPECT_NE(0, ErrorCode(h.get()));

  EXPECT_EQ("urn:c", Action(h.get()));
  ReadAll(s.get());
  EXPECT_EQ(STG_E_CANTSAVE, WriteText(s.get(), Response()));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);
}

TEST_F(HandlerTest, NamesLongerThan48BytesAreRejectedNotCut) {
  const std::string name48(48, 'Q');
  Define(name48);
  PutRequest(Envelope("urn:x"), "REPLY", name48);
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h, name48 + "Z");
  EXPECT_EQ("", Action(h.get()));
  EXPECT_EQ(KRRC_NAME_TOO_LONG, ErrorCode(h.get()));
  EXPECT_EQ(KRRC_NONE, Take(name48).reason);  // the 48-byte queue was not read

  Ptr<IKRSoapHandler> h2;
  ASSERT_EQ(S_OK, NewHandler(&h2));
  Bstr long_qm(std::string(49, 'M'));
  ASSERT_EQ(S_OK, h2->put_QueueManager(long_qm.get()));
  Bstr got;
  ASSERT_EQ(S_OK, h2->get_QueueManager(got.Out()));
  EXPECT_EQ(std::string(49, 'M'), got.Utf8());  // the property keeps what was put
  EXPECT_EQ("", Action(h2.get()));
  EXPECT_EQ(KRRC_NAME_TOO_LONG, ErrorCode(h2.get()));
}

TEST_F(HandlerTest, ExtractionMatchesTheRootPrefixOnly) {
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  const std::string ns = kEnvNs;
  // Another prefix bound to the same namespace is not the root's prefix.
  PutRequest("<soap:Envelope xmlns:soap=\"" + ns + "\" xmlns:SOAP-ENV=\"" + ns +
             "\"><soap:Header><SOAP-ENV:SoapAction>urn:other</SOAP-ENV:SoapAction></soap:Header>"
             "<soap:Body/></soap:Envelope>");
  EXPECT_EQ("", Action(h.get()));
  ReadAll(s.get());
  // Under the root's own prefix it is found; the first in document order wins.
  PutRequest(Envelope("urn:first", "soap"));
  EXPECT_EQ("urn:first", Action(h.get()));
  ReadAll(s.get());
  PutRequest("<e:Envelope xmlns:e=\"" + ns + "\"><e:Header><e:SoapAction>urn:1</e:SoapAction>" +
             "<e:SoapAction>urn:2</e:SoapAction></e:Header><e:Body/></e:Envelope>");
  EXPECT_EQ("urn:1", Action(h.get()));
  ReadAll(s.get());
  // A root without a prefix: the tag is SoapAction alone.
  PutRequest("<Envelope xmlns=\"" + ns + "\"><Header><SoapAction>urn:plain</SoapAction></Header></Envelope>");
  EXPECT_EQ("urn:plain", Action(h.get()));
  ReadAll(s.get());
  // Text content of the element, nested markup included.
  PutRequest(Envelope("urn:<![CDATA[a&b]]>#<x>Op</x>"));
  EXPECT_EQ("urn:a&b#Op", Action(h.get()));
  ReadAll(s.get());
}

// The handler reads a plain request's action off its text and any other
// through the DOM: where the text route answers, it must answer as the DOM
// would, and a request the DOM refuses must never be taken by it.
TEST_F(HandlerTest, TheTextRouteFindsTheActionAsTheDomDoes) {
  const std::string ns = kEnvNs;
  const struct {
    std::string text;
    bool plain;  // the text route takes it
  } cases[] = {
      // Line ends, references, nested markup and UTF-8 in the action; two
      // elements of the name.
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<S:Envelope xmlns:S=\"" + ns +
           "\" xmlns:x='urn:x#p'>\r\n<S:Header><S:SoapAction>urn:a&amp;b&#x23;\r\n<x:op k=\"&lt;\">Add</x:op>"
           "&#13;\xc3\xa9\r</S:SoapAction><S:SoapAction>2</S:SoapAction></S:Header><S:Body/></S:Envelope >",
       true},
      {"<Envelope xmlns=\"" + ns + "\"><Body><SOAP-ENV:SoapAction xmlns:SOAP-ENV=\"urn:o\"/></Body></Envelope>\n",
       true},
      {"<p:SoapAction xmlns:p=\"urn:p\"/>", true},
      // Not well-formed, or not namespace-well-formed: both refuse.
      {"<S:Envelope xmlns:S=\"urn:s\"><S:SoapAction>a]]>b</S:SoapAction></S:Envelope>", false},
      {"<S:Envelope xmlns:S=\"urn:s\"><S:SoapAction>&#xFFFE;</S:SoapAction></S:Envelope>", false},
      {"<S:Envelope xmlns:S=\"urn:s\"><u:SoapAction/></S:Envelope>", false},
      {"<S:Envelope xmlns:S=\"urn:s\" xmlns:a=\"urn:x\" xmlns:b=\"urn:x\" a:k=\"1\" b:k=\"2\"/>", false},
      {"<S:Envelope xmlns:S=\"urn:s\" xmlns:p=\"http://h:x/\"/>", false},
      {"<S:Envelope xmlns:S=\"urn:s\"><S:SoapAction>\xed\xa0\x80</S:SoapAction></S:Envelope>", false},
      {"<S:Envelope xmlns:S=\"urn:s\"><S:SoapAction>x</S:SoapAction></S:Envelope><more/>", false},
  };
  for (const auto& c : cases) {
    krsoap::halvex::ActionText text;
    EXPECT_EQ(c.plain, krsoap::halvex::FindActionText(c.text, &text)) << c.text;
    Ptr<IXMLDOMDocument> doc;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument, doc.OutVoid()));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    ByteArray bytes(c.text);
    EXPECT_EQ(c.plain ? S_OK : S_FALSE, doc->load(bytes.get(), &loaded)) << c.text;
    if (!c.plain) continue;
    Bstr tag(text.tag);
    Ptr<IXMLDOMNodeList> list;
    ASSERT_EQ(S_OK, doc->getElementsByTagName(tag.get(), list.Out()));
    LONG count = 0;
    list->get_length(&count);
    EXPECT_EQ(count, text.count) << c.text;
    Ptr<IXMLDOMNode> first;
    if (count > 0 && list->get_item(0, first.Out()) == S_OK) {
      Bstr value;
      first->get_text(value.Out());
      EXPECT_EQ(value.Utf8(), text.text) << c.text;
    }
  }
  krsoap::halvex::ActionText first;
  ASSERT_TRUE(krsoap::halvex::FindActionText(cases[0].text, &first));
  EXPECT_EQ("S:SoapAction", first.tag);
  EXPECT_EQ("urn:a&b#\nAdd\r\xc3\xa9\n", first.text);
}

TEST_F(HandlerTest, BadRequestsAreStillServedAsTheyCameAndNothingBreaks) {
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  const std::string billion =
      "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
      "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\"><!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">"
      "<!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\"><!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\">]>"
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header>"
      "<SOAP-ENV:SoapAction>&h;</SOAP-ENV:SoapAction></SOAP-ENV:Header></SOAP-ENV:Envelope>";
  const std::string external =
      "<!DOCTYPE x [<!ENTITY s SYSTEM \"file:///etc/passwd\">]><SOAP-ENV:Envelope "
      "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header>"
      "<SOAP-ENV:SoapAction>urn:&s;</SOAP-ENV:SoapAction></SOAP-ENV:Header></SOAP-ENV:Envelope>";
  const std::string binary("\x01\x02\xff\xfe<SOAP-ENV:SoapAction>", 25);
  const std::string cases[] = {"this is not XML", "", binary, billion, external,
                               "<SOAP-ENV:Envelope><SOAP-ENV:SoapAction>undeclared</SOAP-ENV:SoapAction>"};
  for (const std::string& body : cases) {
    const std::string id = PutRequest(body);
    const std::string action = Action(h.get());
    EXPECT_EQ(std::string::npos, action.find("root:")) << body;
    EXPECT_LT(action.size(), 200u) << body;
    EXPECT_EQ(body, ReadAll(s.get(), 64)) << body;
    EXPECT_EQ(S_OK, WriteText(s.get(), Response("fault")));
    EXPECT_EQ(Response("fault"), Take("REPLY", id).body);
  }
  // Data after a zero byte is not part of the request text.
  PutRequest(std::string("<a/>\0tail", 9));
  Action(h.get());
  EXPECT_EQ("<a/>", ReadAll(s.get()));
}

TEST_F(HandlerTest, StreamFaceAnswersOnlyIStreamAndCloneGivesNoStream) {
  Ptr<IKRSoapHandler> h;
  ASSERT_EQ(S_OK, NewHandler(&h));
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  Ptr<ISequentialStream> seq;
  EXPECT_EQ(E_NOINTERFACE, h.As(&seq));
  Ptr<IDispatch> d;
  ASSERT_EQ(S_OK, h.As(&d));
  Ptr<IUnknown> u1, u2;
  ASSERT_EQ(S_OK, h.As(&u1));
  ASSERT_EQ(S_OK, s.As(&u2));
  EXPECT_EQ(u1.get(), u2.get());
  IStream* clone = reinterpret_cast<IStream*>(0x1);
  EXPECT_EQ(E_NOTIMPL, s->Clone(&clone));
  EXPECT_EQ(nullptr, clone);
  EXPECT_EQ(S_OK, s->Commit(0));
  Bstr v;
  ASSERT_EQ(S_OK, h->get_ErrorDescription(v.Out()));
  EXPECT_EQ("", v.Utf8());
  EXPECT_EQ(0, ErrorCode(h.get()));
  // A null put counts as empty.
  ASSERT_EQ(S_OK, h->put_Queue(nullptr));
  ASSERT_EQ(S_OK, h->get_Queue(v.Out()));
  EXPECT_EQ("", v.Utf8());
}

}  // namespace
}  // namespace krsoap::test
