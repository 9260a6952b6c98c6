// KRSoapInvoker through COM activation: its interfaces, and what Execute
// does when the toolkit's SoapServer cannot be created (nothing is taken off
// the queue, the creation failure is returned, Result stays 0).
#include <vector>

#include "tests/server_handler/handler_test_util.h"

namespace krsoap::test {
namespace {

using InvokerTest = HandlerTest;

TEST_F(InvokerTest, AnswersTheTriggerContractBesidesItsOwnInterface) {
  Ptr<IKRSoapInvoker> inv;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRSoapInvoker, nullptr, CLSCTX_ALL, IID_IKRSoapInvoker, inv.OutVoid()));
  Ptr<IKRObjectTrigger> trigger;
  ASSERT_EQ(S_OK, inv.As(&trigger));
  Ptr<IDispatch> d;
  ASSERT_EQ(S_OK, inv.As(&d));
  Ptr<IStream> s;
  EXPECT_EQ(E_NOINTERFACE, inv.As(&s));
  Ptr<IUnknown> u1, u2;
  ASSERT_EQ(S_OK, inv.As(&u1));
  ASSERT_EQ(S_OK, trigger.As(&u2));
  EXPECT_EQ(u1.get(), u2.get());
  // Created by ProgID too.
  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"Halvex.KRSoapInvoker", &clsid));
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_KRSoapInvoker));
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"Halvex.KRSoapHandler.1", &clsid));
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_KRSoapHandler));
}

TEST_F(InvokerTest, WithoutASoapServerNothingIsTakenAndTheFailureIsReturned) {
  // This fixture does not register the toolkit module.
  const std::string id = PutRequest(Envelope("urn:x"));
  Ptr<IKRObjectTrigger> trigger;
  ASSERT_EQ(S_OK,
            CoCreateInstance(CLSID_KRSoapInvoker, nullptr, CLSCTX_ALL, IID_IKRObjectTrigger, trigger.OutVoid()));
  Bstr qm(qm_), q("REQUEST"), wsdl("/nonexistent.wsdl"), wsml("/nonexistent.wsml"), param("");
  for (int i = 0; i < 2; ++i) {
    LONG result = 77;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, trigger->Execute(qm.get(), q.get(), wsdl.get(), wsml.get(), param.get(), &result));
    EXPECT_EQ(0, result);
  }
  Message m = Take("REQUEST");
  ASSERT_EQ(KRRC_NONE, m.reason);
  EXPECT_EQ(id, std::string(reinterpret_cast<const char*>(m.md.MsgId), KR_MSG_ID_LENGTH));
}

}  // namespace
}  // namespace krsoap::test

namespace krsoap::test {
namespace {

// The invoker over the toolkit's SoapServer and the example Calculator.
class InvokerCalculatorTest : public HandlerTest {
 protected:
  void SetUp() override {
    HandlerTest::SetUp();
    ASSERT_EQ(S_OK, RegisterModule("libkrsoap.so"));
    ASSERT_EQ(S_OK, RegisterModule("libkrcalculator.so"));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRSoapInvoker, nullptr, CLSCTX_ALL, IID_IKRObjectTrigger,
                                     trigger_.OutVoid()));
  }
  HRESULT Execute(const std::string& wsdl = kWsdl, const std::string& wsml = kWsml) {
    Bstr qm(qm_), q("REQUEST"), d(wsdl), m(wsml), param("");
    LONG result = 77;
    HRESULT hr = trigger_->Execute(qm.get(), q.get(), d.get(), m.get(), param.get(), &result);
    EXPECT_EQ(0, result);
    return hr;
  }
  static std::string Calc(const std::string& op, const std::string& args, bool with_action = true) {
    return Envelope(with_action ? "urn:krsoap-calculator#" + op : "", "SOAP-ENV",
                    "<c:" + op + " xmlns:c=\"urn:krsoap-calculator\">" + args + "</c:" + op + ">");
  }
  static std::string ResultOf(const std::string& reply) {
    size_t b = reply.find("Result>");
    if (b == std::string::npos) return "(none)";
    b += 7;
    size_t e = reply.find('<', b);
    return reply.substr(b, e - b);
  }
  static constexpr const char* kWsdl = KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsdl";
  static constexpr const char* kWsml = KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsml";
  Ptr<IKRObjectTrigger> trigger_;
};

TEST_F(InvokerCalculatorTest, AReusedInvokerAnswersEveryRequestWithItsOwnResult) {
  std::vector<std::string> ids;
  for (int i = 0; i < 5; ++i) {
    ids.push_back(PutRequest(Calc("Add", "<c:a>" + std::to_string(i) + "</c:a><c:b>1000</c:b>")));
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(S_OK, Execute(i == 0 ? kWsdl : "/ignored/after/the/first.wsdl"));
  for (int i = 0; i < 5; ++i) {
    Message m = Take("REPLY", ids[static_cast<size_t>(i)]);
    ASSERT_EQ(KRRC_NONE, m.reason) << i;
    EXPECT_EQ(std::to_string(1000 + i), ResultOf(m.body)) << m.body;
    EXPECT_EQ(KRMT_DATAGRAM, m.md.MsgType);
  }
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);
}

TEST_F(InvokerCalculatorTest, BadRequestsAreAnsweredWithFaultsAndTheInvokerKeepsServing) {
  const std::string binary("\x01\x02\x03\xff", 4);
  const std::string cases[] = {"not xml at all", "", binary, Calc("Frobnicate", "<c:a>1</c:a>"),
                               Calc("Divide", "<c:a>1</c:a><c:b>zero</c:b>"),
                               Calc("Add", "<c:a>1</c:a><c:b>2</c:b>", false)};
  std::vector<std::string> ids;
  for (const std::string& c : cases) ids.push_back(PutRequest(c));
  const std::string good = PutRequest(Calc("Multiply", "<c:a>6</c:a><c:b>7</c:b>"));
  for (size_t i = 0; i <= ids.size(); ++i) Execute();
  for (size_t i = 0; i + 1 < ids.size(); ++i) {
    Message m = Take("REPLY", ids[i]);
    ASSERT_EQ(KRRC_NONE, m.reason) << i;
    EXPECT_NE(std::string::npos, m.body.find("Fault>")) << i << ": " << m.body;
  }
  // Without a SoapAction the toolkit finds the operation from the body.
  Message no_action = Take("REPLY", ids.back());
  ASSERT_EQ(KRRC_NONE, no_action.reason);
  EXPECT_TRUE(no_action.body.find("Fault>") != std::string::npos || ResultOf(no_action.body) == "3")
      << no_action.body;
  EXPECT_EQ("42", ResultOf(Take("REPLY", good).body));
}

TEST_F(InvokerCalculatorTest, AMissingWsdlStillTakesTheRequestAndAnswersIt) {
  const std::string id = PutRequest(Calc("Add", "<c:a>1</c:a><c:b>2</c:b>"));
  Execute("/no/such/Calculator.wsdl", "/no/such/Calculator.wsml");
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REQUEST").reason);
  Message m = Take("REPLY", id);
  ASSERT_EQ(KRRC_NONE, m.reason);
  EXPECT_NE(std::string::npos, m.body.find("Fault>")) << m.body;
}

}  // namespace
}  // namespace krsoap::test
