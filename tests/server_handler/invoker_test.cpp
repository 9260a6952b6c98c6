// KRSoapInvoker through COM activation: its interfaces, and what Execute
// does when the toolkit's SoapServer cannot be created (nothing is taken off
// the queue, the creation failure is returned, Result stays 0).
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
