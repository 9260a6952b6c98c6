// Units of work and the attribute inquiry, on every store of the conformance
// suite (QueueTest): commit and back-out of gets and puts together, a
// disconnect without commit, the SIGKILL of a process in the middle of its
// unit, the limit of a unit, and KRINQ.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/queue/queue_test.h"

namespace krsoap::test {
namespace {

class UnitOfWorkTest : public QueueTest {
 protected:
  KRLONG PutSync(KRHCONN hc, KRHOBJ ho, const std::string& body, KRMD* md_io = nullptr) {
    KRMD md = KRMD_DEFAULT;
    if (md_io) md = *md_io;
    KRPMO pmo = KRPMO_DEFAULT;
    pmo.Options = KRPMO_SYNCPOINT;
    KRLONG cc, rc;
    KRPUT(hc, ho, &md, &pmo, static_cast<KRLONG>(body.size()), const_cast<char*>(body.data()), &cc, &rc);
    return rc;
  }
  KRLONG Commit(KRHCONN hc) {
    KRLONG cc, rc;
    KRCMIT(hc, &cc, &rc);
    EXPECT_EQ(cc, rc ? KRCC_FAILED : KRCC_OK);
    return rc;
  }
  KRLONG Backout(KRHCONN hc) {
    KRLONG cc, rc;
    KRBACK(hc, &cc, &rc);
    return rc;
  }
  // Every body on the queue in get order, by browsing.
  std::string Browse(KRHCONN hc, KRHOBJ browse) {
    std::string all, body;
    for (KRLONG opt = KRGMO_BROWSE_FIRST; Get(hc, browse, &body, nullptr, opt) == KRRC_NONE; opt = KRGMO_BROWSE_NEXT)
      all += body + " ";
    return all;
  }
};

TEST_P(UnitOfWorkTest, CommitAndBackoutTakeGetsAndPutsTogether) {
  Define("IN.Q");
  Define("OUT.Q");
  Define("PIN.Q", 5000, /*persistent=*/true);
  KRHCONN a = Connect(), b = Connect();
  KRHOBJ in = OpenOk(a, "IN.Q", KROO_INPUT_AS_Q_DEF | KROO_OUTPUT);
  KRHOBJ pin = OpenOk(a, "PIN.Q", KROO_INPUT_AS_Q_DEF | KROO_OUTPUT);
  KRHOBJ out = OpenOk(a, "OUT.Q", KROO_OUTPUT);
  KRHOBJ b_in = OpenOk(b, "IN.Q", KROO_INPUT_AS_Q_DEF | KROO_BROWSE);
  KRHOBJ b_pin = OpenOk(b, "PIN.Q", KROO_INPUT_AS_Q_DEF | KROO_BROWSE);
  KRHOBJ b_out = OpenOk(b, "OUT.Q", KROO_INPUT_AS_Q_DEF);
  for (const char* body : {"a", "b", "c"}) ASSERT_EQ(Put(a, in, body), KRRC_NONE);
  ASSERT_EQ(Put(a, pin, "p"), KRRC_NONE);

  // Got and put within a unit: invisible to other getters and browsers.
  std::string body;
  KRMD md = KRMD_DEFAULT;
  ASSERT_EQ(Get(a, in, &body, &md, KRGMO_SYNCPOINT), KRRC_NONE);
  EXPECT_EQ(body, "a");
  EXPECT_EQ(md.BackoutCount, 0);
  ASSERT_EQ(Get(a, pin, &body, nullptr, KRGMO_SYNCPOINT), KRRC_NONE);
  ASSERT_EQ(PutSync(a, out, "reply"), KRRC_NONE);
  EXPECT_EQ(Browse(b, b_in), "b c ");
  EXPECT_EQ(Browse(b, b_pin), "");
  EXPECT_EQ(Get(b, b_out, &body), KRRC_NO_MSG_AVAILABLE);

  // Back-out: the gets return to their places one backout higher, the put
  // is gone.
  ASSERT_EQ(Backout(a), KRRC_NONE);
  EXPECT_EQ(Browse(b, b_in), "a b c ");
  EXPECT_EQ(Get(b, b_out, &body), KRRC_NO_MSG_AVAILABLE);
  md = KRMD_DEFAULT;
  ASSERT_EQ(Get(a, pin, &body, &md, KRGMO_SYNCPOINT), KRRC_NONE);
  EXPECT_EQ(md.BackoutCount, 1);
  md = KRMD_DEFAULT;
  ASSERT_EQ(Get(a, in, &body, &md, KRGMO_SYNCPOINT), KRRC_NONE);
  EXPECT_EQ(body, "a");
  EXPECT_EQ(md.BackoutCount, 1);

  // Commit: both done at once.
  ASSERT_EQ(PutSync(a, out, "reply"), KRRC_NONE);
  ASSERT_EQ(Commit(a), KRRC_NONE);
  EXPECT_EQ(Browse(b, b_in), "b c ");
  EXPECT_EQ(Browse(b, b_pin), "");
  md = KRMD_DEFAULT;
  ASSERT_EQ(Get(b, b_out, &body, &md), KRRC_NONE);
  EXPECT_EQ(body, "reply");
  EXPECT_EQ(md.BackoutCount, 0);

  // A disconnect without commit backs out; with nothing open both calls
  // have nothing to do.
  ASSERT_EQ(Get(a, in, &body, nullptr, KRGMO_SYNCPOINT), KRRC_NONE);
  ASSERT_EQ(PutSync(a, out, "lost"), KRRC_NONE);
  Disc(&a);
  EXPECT_EQ(Browse(b, b_in), "b c ");
  md = KRMD_DEFAULT;
  ASSERT_EQ(Get(b, b_in, &body, &md), KRRC_NONE);
  EXPECT_EQ(md.BackoutCount, 1);
  EXPECT_EQ(Get(b, b_out, &body), KRRC_NO_MSG_AVAILABLE);
  EXPECT_EQ(Commit(b), KRRC_NONE);
  EXPECT_EQ(Backout(b), KRRC_NONE);
  KRLONG cc, rc;
  KRCMIT(a, &cc, &rc);  // a is gone
  EXPECT_EQ(rc, KRRC_HCONN_ERROR);
  EXPECT_EQ(Get(b, b_in, &body, nullptr, KRGMO_SYNCPOINT | KRGMO_BROWSE_FIRST), KRRC_OPTIONS_ERROR);
  EXPECT_EQ(Get(b, b_in, &body, nullptr, KRGMO_SYNCPOINT | KRGMO_NO_SYNCPOINT), KRRC_OPTIONS_ERROR);
  Disc(&b);

  if (GetParam().name == "sqlite") {
    // The backout count of a persistent message is on disk: it survives the
    // loss of the mapped file (what a restart leaves).
    KRHCONN c = Connect();
    KRHOBJ h = OpenOk(c, "PIN.Q", KROO_INPUT_AS_Q_DEF | KROO_OUTPUT);
    ASSERT_EQ(Put(c, h, "q"), KRRC_NONE);
    ASSERT_EQ(Get(c, h, &body, nullptr, KRGMO_SYNCPOINT), KRRC_NONE);
    ASSERT_EQ(Backout(c), KRRC_NONE);
    Disc(&c);
    q::QmDefinition d;
    ASSERT_EQ(q::ResolveQm(qm_, &d), KRRC_NONE);
    ASSERT_EQ(::unlink((platform::DataRoot() + "/qm/" + d.name + "/qm.shm").c_str()), 0);
    std::string printed;
    ASSERT_EQ(RunProgram({Helper(), "backouts", qm_, "PIN.Q"}, &printed), 0);
    EXPECT_EQ(printed, "q 1\n");
  }
}

TEST_P(UnitOfWorkTest, KilledProcessesUnitIsBackedOut) {
  Define("K.Q");
  Define("KP.Q", 5000, /*persistent=*/true);
  Define("KOUT.Q");
  KRHCONN hc = Connect();
  KRHOBJ k = OpenOk(hc, "K.Q", KROO_INPUT_AS_Q_DEF | KROO_OUTPUT | KROO_BROWSE);
  KRHOBJ kp = OpenOk(hc, "KP.Q", KROO_INPUT_AS_Q_DEF | KROO_OUTPUT);
  KRHOBJ kout = OpenOk(hc, "KOUT.Q", KROO_INPUT_AS_Q_DEF);
  ASSERT_EQ(Put(hc, k, "first"), KRRC_NONE);
  ASSERT_EQ(Put(hc, k, "second"), KRRC_NONE);
  ASSERT_EQ(Put(hc, kp, "durable"), KRRC_NONE);

  // A real process gets under syncpoint from both queues, puts within the
  // same unit, and is killed before it commits.
  Child& getter = Start({Helper(), "hold-unit", qm_, "KOUT.Q", "K.Q", "KP.Q"});
  std::string line;
  ASSERT_TRUE(ReadLine(getter, &line));
  EXPECT_EQ(line, "first durable ");
  EXPECT_EQ(Browse(hc, k), "second ");
  ::kill(getter.pid, SIGKILL);
  EXPECT_EQ(Finish(getter), 128 + SIGKILL);

  // Its messages come back in their places, one backout higher, its put
  // never shows; a waiting get notices without another put.
  std::string body;
  KRMD md = KRMD_DEFAULT;
  ASSERT_EQ(Get(hc, kp, &body, &md, KRGMO_WAIT, 10000), KRRC_NONE);
  EXPECT_EQ(body, "durable");
  EXPECT_EQ(md.BackoutCount, 1);
  md = KRMD_DEFAULT;
  ASSERT_EQ(Get(hc, k, &body, &md, KRGMO_WAIT, 10000), KRRC_NONE);
  EXPECT_EQ(body, "first");
  EXPECT_EQ(md.BackoutCount, 1);
  ASSERT_EQ(Get(hc, k, &body), KRRC_NONE);
  EXPECT_EQ(body, "second");
  EXPECT_EQ(Get(hc, kout, &body), KRRC_NO_MSG_AVAILABLE);
  Disc(&hc);
}

TEST_P(UnitOfWorkTest, InquiryAnswersTheQueuesAttributes) {
  q::QueueAttributes a;
  a.name = "INQ.Q";
  a.max_depth = 77;
  a.max_message_length = 1000;
  a.backout_queue = "INQ.BACKOUT";
  a.backout_threshold = 3;
  ASSERT_EQ(StoreOf(qm_)->DefineQueue(a, false), KRRC_NONE);
  q::QueueAttributes looked;
  ASSERT_EQ(StoreOf(qm_)->LookupQueue("INQ.Q", &looked), KRRC_NONE);
  EXPECT_EQ(looked.backout_queue, "INQ.BACKOUT");
  EXPECT_EQ(looked.backout_threshold, 3);

  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "INQ.Q", KROO_INQUIRE | KROO_OUTPUT);
  ASSERT_EQ(Put(hc, ho, "x"), KRRC_NONE);
  ASSERT_EQ(Put(hc, ho, "y"), KRRC_NONE);
  const KRLONG selectors[] = {KRIA_CURRENT_Q_DEPTH, KRCA_Q_NAME,      KRIA_MAX_MSG_LENGTH,
                              KRIA_MAX_Q_DEPTH,     KRIA_BACKOUT_THRESHOLD, KRCA_BACKOUT_REQ_Q_NAME};
  KRLONG ints[4] = {};
  char chars[96];
  KRLONG cc, rc;
  KRINQ(hc, ho, 6, selectors, 4, ints, sizeof chars, chars, &cc, &rc);
  ASSERT_EQ(rc, KRRC_NONE);
  EXPECT_EQ(cc, KRCC_OK);
  EXPECT_EQ(ints[0], 2);
  EXPECT_EQ(ints[1], 1000);
  EXPECT_EQ(ints[2], 77);
  EXPECT_EQ(ints[3], 3);
  EXPECT_EQ(std::string(chars, 48), "INQ.Q" + std::string(43, ' '));
  EXPECT_EQ(std::string(chars + 48, 48), "INQ.BACKOUT" + std::string(37, ' '));

  const KRLONG unknown[] = {9999};
  KRINQ(hc, ho, 1, unknown, 4, ints, sizeof chars, chars, &cc, &rc);
  EXPECT_EQ(rc, KRRC_SELECTOR_ERROR);
  KRINQ(hc, ho, 6, selectors, 3, ints, sizeof chars, chars, &cc, &rc);  // one int short
  EXPECT_EQ(rc, KRRC_SELECTOR_ERROR);
  KRINQ(hc, ho, 6, selectors, 4, ints, 95, chars, &cc, &rc);  // one byte short
  EXPECT_EQ(rc, KRRC_SELECTOR_ERROR);
  KRHOBJ out = OpenOk(hc, "INQ.Q", KROO_OUTPUT);
  KRINQ(hc, out, 6, selectors, 4, ints, sizeof chars, chars, &cc, &rc);
  EXPECT_EQ(rc, KRRC_NOT_OPEN_FOR_INQUIRE);
  Disc(&hc);
}

// The limit keeps a unit that is never committed from filling the queue
// manager. (The embedded store only: tens of thousands of round trips to a
// database server would make the case slow without showing more.)
TEST_P(UnitOfWorkTest, AUnitHoldsAtMostItsLimit) {
  if (GetParam().name != "sqlite") GTEST_SKIP() << "embedded store only";
  Define("LIM.Q", 20000);
  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "LIM.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  KRLONG rc = KRRC_NONE;
  int n = 0;
  while (n < 20000 && (rc = PutSync(hc, ho, "m")) == KRRC_NONE) ++n;
  EXPECT_EQ(rc, KRRC_SYNCPOINT_LIMIT_REACHED);
  EXPECT_EQ(n, 10000);
  // A plain put still works; the unit backs out whole.
  ASSERT_EQ(Put(hc, ho, "plain"), KRRC_NONE);
  ASSERT_EQ(Backout(hc), KRRC_NONE);
  std::string body;
  ASSERT_EQ(Get(hc, ho, &body), KRRC_NONE);
  EXPECT_EQ(body, "plain");
  EXPECT_EQ(Get(hc, ho, &body), KRRC_NO_MSG_AVAILABLE);
  Disc(&hc);
}

INSTANTIATE_TEST_SUITE_P(Stores, UnitOfWorkTest, ::testing::ValuesIn(QueueStores()),
                         [](const ::testing::TestParamInfo<StoreParam>& info) { return info.param.name; });

}  // namespace
}  // namespace krsoap::test
