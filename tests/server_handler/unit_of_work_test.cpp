// Transactional serving ("UnitOfWork"): a request held by a worker process
// that is killed goes back to its queue and is answered by the next handler;
// one whose worker process dies holding it as often as the backout threshold
// ends on the backout queue, and its client gets a fault that says so. The
// workers here are forked processes running the real handler, killed with
// SIGKILL while they hold the request.
#include <dlfcn.h>
#include <signal.h>

#include "tests/server_handler/handler_test_util.h"

namespace krsoap::test {
namespace {

void SetServerValue(const char16_t* name, DWORD value) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap\\Server", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
  RegCloseKey(key);
}

class UnitOfWorkTest : public HandlerTest {
 protected:
  void SetUp() override {
    HandlerTest::SetUp();
    if (!::dlsym(RTLD_DEFAULT, "KRCMIT")) GTEST_SKIP() << "the queue manager's library has no units of work";
    SetServerValue(u"UnitOfWork", 1);
    SetServerValue(u"RequestWait", 300);
  }

  // A worker process that takes the next request through a handler and is
  // killed while it holds it. False when it took none.
  bool KillWorkerHoldingARequest() {
    int ready[2];
    if (::pipe(ready) != 0) return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(ready[0]);
      IKRSoapHandler* h = nullptr;
      char taken = 'n';
      if (SUCCEEDED(CoCreateInstance(CLSID_KRSoapHandler, nullptr, CLSCTX_ALL, IID_IKRSoapHandler,
                                     reinterpret_cast<void**>(&h)))) {
        Bstr qm(qm_), q(request_q_), action;
        h->put_QueueManager(qm.get());
        h->put_Queue(q.get());
        h->get_SoapAction(action.Out());
        if (!action.Utf8().empty()) taken = 'y';
      }
      if (::write(ready[1], &taken, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char taken = 'n';
    const bool got = ::read(ready[0], &taken, 1) == 1;
    ::close(ready[0]);
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    return got && taken == 'y';
  }

  // Whether a request is on the request queue for getters, waiting up to
  // ten seconds for the queue manager to back out a dead process's unit.
  bool BackOnTheQueue() {
    KRHCONN hc = 0;
    KRLONG cc = 0, rc = 0;
    KRCONN(qm_.c_str(), &hc, &cc, &rc);
    KROD od = KROD_DEFAULT;
    std::memcpy(od.ObjectName, request_q_.data(), request_q_.size());
    KRHOBJ ho = 0;
    KROPEN(hc, &od, KROO_BROWSE, &ho, &cc, &rc);
    KRMD md = KRMD_DEFAULT;
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_BROWSE_FIRST | KRGMO_WAIT;
    gmo.WaitInterval = 10000;
    std::string buffer(1 << 16, '\0');
    KRLONG length = 0;
    KRGET(hc, ho, &md, &gmo, static_cast<KRLONG>(buffer.size()), buffer.data(), &length, &cc, &rc);
    KRLONG cc2 = 0, rc2 = 0;
    KRCLOSE(hc, &ho, KRCO_NONE, &cc2, &rc2);
    KRDISC(&hc, &cc2, &rc2);
    return rc == KRRC_NONE;
  }
};

TEST_F(UnitOfWorkTest, AKilledWorkersRequestIsAnsweredOnceByTheNext) {
  const std::string request = Envelope("urn:held");
  const std::string id = PutRequest(request);
  ASSERT_TRUE(KillWorkerHoldingARequest());
  ASSERT_TRUE(BackOnTheQueue());

  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  EXPECT_EQ("urn:held", Action(h.get()));
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  EXPECT_EQ(request, ReadAll(s.get()));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REQUEST").reason);  // held by this handler's unit
  EXPECT_EQ(S_OK, WriteText(s.get(), Response()));
  Message reply = Take("REPLY");
  ASSERT_EQ(KRRC_NONE, reply.reason);
  EXPECT_EQ(Response(), reply.body);
  EXPECT_EQ(id, CorrelOf(reply));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REQUEST").reason);  // committed with its reply
}

TEST_F(UnitOfWorkTest, ARequestThatKillsItsWorkerThreeTimesEndsOnTheBackoutQueueWithAFault) {
  Define("REQUEST.BACKOUT");
  const std::string poison = Envelope("urn:poison");
  const std::string id = PutRequest(poison);
  const std::string next = Envelope("urn:next");
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(KillWorkerHoldingARequest()) << i;
    ASSERT_TRUE(BackOnTheQueue()) << i;
  }
  const std::string next_id = PutRequest(next);

  // The poison request is moved aside and the handler serves the next one.
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  EXPECT_EQ("urn:next", Action(h.get()));
  Message moved = Take("REQUEST.BACKOUT");
  ASSERT_EQ(KRRC_NONE, moved.reason);
  EXPECT_EQ(poison, moved.body);
  EXPECT_EQ(id, std::string(reinterpret_cast<const char*>(moved.md.MsgId), KR_MSG_ID_LENGTH));
  Message fault = Take("REPLY");
  ASSERT_EQ(KRRC_NONE, fault.reason);
  EXPECT_EQ(id, CorrelOf(fault));
  EXPECT_NE(std::string::npos, fault.body.find("<faultcode>SOAP-ENV:Server</faultcode>")) << fault.body;
  EXPECT_NE(std::string::npos, fault.body.find("moved to the backout queue REQUEST.BACKOUT")) << fault.body;

  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  EXPECT_EQ(next, ReadAll(s.get()));
  EXPECT_EQ(S_OK, WriteText(s.get(), Response()));
  EXPECT_EQ(next_id, CorrelOf(Take("REPLY")));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REQUEST").reason);
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REQUEST.BACKOUT").reason);
}

}  // namespace
}  // namespace krsoap::test
