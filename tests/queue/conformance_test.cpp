// The queue manager's conformance suite: the six calls as the server transport
// and the client connector use them, run once per store (store_list.cpp), with
// real processes (queue_helper, krsoap) where the behaviour crosses processes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <algorithm>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/queue/krqueue.h"
#include "platform/files/data_root.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/store.h"
#include "tests/queue/store_list.h"
#include "tests/queue/queue_test.h"
#include "tests/support/test_home.h"

namespace krsoap::test {
namespace {

TEST(QueueRecords, FieldsAreInOrderWithTheirWidths) {
  EXPECT_EQ(offsetof(KROD, ObjectName), 12u);
  EXPECT_EQ(offsetof(KROD, ObjectQMgrName), 60u);
  EXPECT_EQ(offsetof(KROD, DynamicQName), 108u);
  EXPECT_EQ(sizeof(KROD), 168u);
  EXPECT_EQ(offsetof(KRMD, Format), 32u);
  EXPECT_EQ(offsetof(KRMD, MsgId), 48u);
  EXPECT_EQ(offsetof(KRMD, CorrelId), 72u);
  EXPECT_EQ(offsetof(KRMD, ReplyToQ), 100u);
  EXPECT_EQ(offsetof(KRMD, ReplyToQMgr), 148u);
  EXPECT_EQ(offsetof(KRMD, UserIdentifier), 196u);
  EXPECT_EQ(sizeof(KRMD), 324u);
  EXPECT_EQ(offsetof(KRGMO, ResolvedQName), 24u);
  EXPECT_EQ(offsetof(KRPMO, ResolvedQMgrName), 80u);
  KRMD md = KRMD_DEFAULT;
  EXPECT_EQ(0, std::memcmp(md.StrucId, "MD  ", 4));
  EXPECT_EQ(md.MsgType, KRMT_DATAGRAM);
  EXPECT_EQ(md.Expiry, -1);
  EXPECT_EQ(md.Encoding, 546);
  EXPECT_EQ(0, std::memcmp(md.Format, "        ", 8));
  EXPECT_EQ(md.Priority, -1);
  EXPECT_EQ(md.Persistence, 2);
  KROD od = KROD_DEFAULT;
  EXPECT_EQ(FieldStr(od.DynamicQName, 48), "TKR.*");
  // Every reason code has its own text.
  std::set<std::string> texts;
  for (KRLONG rc : {KRRC_NONE, KRRC_NO_MSG_AVAILABLE, KRRC_TRUNCATED_MSG_FAILED, KRRC_HCONN_ERROR,
                    KRRC_HOBJ_ERROR, KRRC_UNKNOWN_OBJECT_NAME, KRRC_UNKNOWN_Q_MGR, KRRC_NAME_TOO_LONG})
    texts.insert(KRReasonText(rc));
  EXPECT_EQ(texts.size(), 8u);
}

TEST_P(QueueTest, ConnectsByNameOrDefaultAndRefusesUnknownAndLongNames) {
  KRHCONN hc = Connect("");
  Disc(&hc);
  EXPECT_EQ(hc, KRHC_UNUSABLE_HCONN);
  KRLONG cc, rc;
  KRCONN(nullptr, &hc, &cc, &rc);
  EXPECT_EQ(rc, KRRC_NONE);
  Disc(&hc);
  hc = Connect(qm_ + "   ");  // trailing blanks of a fixed field
  Disc(&hc);

  KRCONN("NO.SUCH.QM", &hc, &cc, &rc);
  EXPECT_EQ(rc, KRRC_UNKNOWN_Q_MGR);
  EXPECT_EQ(cc, KRCC_FAILED);
  KRCONN("bad name", &hc, &cc, &rc);
  EXPECT_EQ(rc, KRRC_NAME_NOT_VALID);

  // Unique like qm_: the process keeps the queue managers it used in its
  // pool, and the other store's run of this case must not meet this one.
  const std::string n48 = qm_ + std::string(48 - qm_.size(), 'L');
  const std::string n49 = n48 + "X";
  ASSERT_EQ(n48.size(), 48u);
  ASSERT_EQ(q::CreateQm(n48, GetParam().store, false), KRRC_NONE);
  extra_qms_.push_back(n48);
  EXPECT_EQ(q::CreateQm(n49, GetParam().store, false), KRRC_NAME_TOO_LONG);
  hc = Connect(n48);
  KRCONN(n49.c_str(), &hc, &cc, &rc);
  EXPECT_EQ(rc, KRRC_NAME_TOO_LONG);

  // 48-byte queue names work; 49 bytes cannot be expressed in the field and
  // are refused by the definition.
  const std::string q48(48, 'Q');
  q::QueueAttributes a;
  a.name = q48;
  auto store = StoreOf(n48);
  ASSERT_EQ(store->DefineQueue(a, false), KRRC_NONE);
  a.name = q48 + "Q";
  EXPECT_EQ(q::CheckQueueName(a.name), KRRC_NAME_TOO_LONG);
  KRHCONN h48 = Connect(n48);
  KRHOBJ ho = OpenOk(h48, q48, KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  ASSERT_EQ(Put(h48, ho, "x"), KRRC_NONE);
  std::string body;
  ASSERT_EQ(Get(h48, ho, &body), KRRC_NONE);
  EXPECT_EQ(body, "x");
  Disc(&h48);

  KRCONN("", nullptr, &cc, &rc);
  EXPECT_EQ(rc, KRRC_HANDLE_NOT_AVAILABLE);
  KRCONN("", &hc, nullptr, nullptr);  // nowhere to report: no crash
}

TEST_P(QueueTest, ClosedForgedAndForeignHandlesGiveReasonCodes) {
  Define("H.Q");
  KRHCONN hc = Connect();
  KRHCONN other = Connect();
  KRHOBJ ho = OpenOk(hc, "H.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  KRMD md = KRMD_DEFAULT;
  KRPMO pmo = KRPMO_DEFAULT;
  KRLONG cc, rc;
  char byte = 'x';
  for (KRHCONN forged : {0, -1, 12345, 0x7FFFFFFF, hc + 0x10000}) {
    KRPUT(forged, ho, &md, &pmo, 1, &byte, &cc, &rc);
    EXPECT_EQ(rc, KRRC_HCONN_ERROR) << forged;
    EXPECT_EQ(cc, KRCC_FAILED);
  }
  for (KRHOBJ forged : {0, -1, 777, ho + 0x10000, ho + 1}) {
    KRPUT(hc, forged, &md, &pmo, 1, &byte, &cc, &rc);
    EXPECT_EQ(rc, KRRC_HOBJ_ERROR) << forged;
  }
  // An object handle used with another connection.
  KRPUT(other, ho, &md, &pmo, 1, &byte, &cc, &rc);
  EXPECT_EQ(rc, KRRC_HOBJ_ERROR);
  KRHOBJ copy = ho;
  Close(hc, &ho);
  EXPECT_EQ(ho, KRHO_UNUSABLE_HOBJ);
  KRPUT(hc, copy, &md, &pmo, 1, &byte, &cc, &rc);
  EXPECT_EQ(rc, KRRC_HOBJ_ERROR);
  KRCLOSE(hc, &copy, KRCO_NONE, &cc, &rc);
  EXPECT_EQ(rc, KRRC_HOBJ_ERROR);
  // A disconnect closes the connection's objects.
  KRHOBJ ho2 = OpenOk(hc, "H.Q", KROO_OUTPUT);
  KRHCONN hc_copy = hc;
  Disc(&hc);
  KRPUT(hc_copy, ho2, &md, &pmo, 1, &byte, &cc, &rc);
  EXPECT_EQ(rc, KRRC_HCONN_ERROR);
  KRDISC(&hc_copy, &cc, &rc);
  EXPECT_EQ(rc, KRRC_HCONN_ERROR);
  KROD od = KROD_DEFAULT;
  KRHOBJ h;
  KROPEN(hc_copy, &od, KROO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, KRRC_HCONN_ERROR);
  Disc(&other);
}

TEST_P(QueueTest, PutAssignsUniqueIdsAndTheDescriptorComesBackWhole) {
  Define("D.Q");
  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "D.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  KRMD md = KRMD_DEFAULT;
  md.MsgType = KRMT_REQUEST;
  std::memcpy(md.Format, KRFMT_STRING, 8);
  SetField(md.ReplyToQ, 48, "REPLY.Q");
  SetField(md.ReplyToQMgr, 48, "OTHER.QM");
  std::memset(md.CorrelId, 0xAB, sizeof md.CorrelId);
  md.CodedCharSetId = 1208;
  ASSERT_EQ(Put(hc, ho, "<a/>", &md), KRRC_NONE);
  KRBYTE zero[24] = {};
  EXPECT_NE(0, std::memcmp(md.MsgId, zero, 24)) << "message id written back";
  KRMD md2 = KRMD_DEFAULT;
  ASSERT_EQ(Put(hc, ho, "second", &md2), KRRC_NONE);
  EXPECT_NE(0, std::memcmp(md.MsgId, md2.MsgId, 24));
  // A message id given by the putter is kept.
  KRMD md3 = KRMD_DEFAULT;
  std::memset(md3.MsgId, 0x11, 24);
  ASSERT_EQ(Put(hc, ho, "third", &md3), KRRC_NONE);
  EXPECT_EQ(md3.MsgId[0], 0x11);

  KRMD got = KRMD_DEFAULT;
  std::string body;
  ASSERT_EQ(Get(hc, ho, &body, &got), KRRC_NONE);
  EXPECT_EQ(body, "<a/>");
  EXPECT_EQ(got.MsgType, KRMT_REQUEST);
  EXPECT_EQ(0, std::memcmp(got.Format, "KRSTR   ", 8));
  EXPECT_EQ(FieldStr(got.ReplyToQ, 48), "REPLY.Q");
  EXPECT_EQ(FieldStr(got.ReplyToQMgr, 48), "OTHER.QM");
  EXPECT_EQ(0, std::memcmp(got.MsgId, md.MsgId, 24));
  EXPECT_EQ(0, std::memcmp(got.CorrelId, md.CorrelId, 24));
  EXPECT_EQ(got.CodedCharSetId, 1208);
  EXPECT_EQ(got.Encoding, 546);
  EXPECT_EQ(got.Priority, 0) << "queue default resolved";
  EXPECT_EQ(got.Persistence, KRPER_NOT_PERSISTENT) << "queue default resolved";
  EXPECT_EQ(got.Expiry, -1);
  ASSERT_EQ(Get(hc, ho, &body), KRRC_NONE);
  EXPECT_EQ(body, "second");
  Disc(&hc);
}

TEST_P(QueueTest, PriorityOrderThenFirstInFirstOut) {
  Define("P.Q");
  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "P.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  const std::vector<std::pair<int, std::string>> puts = {{0, "a0"}, {5, "b5"}, {0, "c0"}, {9, "d9"}, {5, "e5"}};
  for (auto& [p, b] : puts) {
    KRMD md = KRMD_DEFAULT;
    md.Priority = p;
    ASSERT_EQ(Put(hc, ho, b, &md), KRRC_NONE);
  }
  std::vector<std::string> order;
  std::string body;
  while (Get(hc, ho, &body) == KRRC_NONE) order.push_back(body);
  EXPECT_EQ(order, (std::vector<std::string>{"d9", "b5", "e5", "a0", "c0"}));
  Disc(&hc);
}

TEST_P(QueueTest, SelectsByMessageIdAndCorrelationId) {
  Define("S.Q");
  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "S.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  std::vector<KRMD> mds(4, KRMD KRMD_DEFAULT);
  for (int i = 0; i < 4; ++i) {
    std::memset(mds[i].CorrelId, 'a' + i, 24);
    ASSERT_EQ(Put(hc, ho, "m" + std::to_string(i), &mds[i]), KRRC_NONE);
  }
  KRMD sel = KRMD_DEFAULT;
  std::memcpy(sel.CorrelId, mds[2].CorrelId, 24);
  std::string body;
  ASSERT_EQ(Get(hc, ho, &body, &sel), KRRC_NONE);
  EXPECT_EQ(body, "m2");
  sel = KRMD_DEFAULT;
  std::memcpy(sel.CorrelId, mds[2].CorrelId, 24);
  EXPECT_EQ(Get(hc, ho, &body, &sel), KRRC_NO_MSG_AVAILABLE) << "taken once";
  sel = KRMD_DEFAULT;
  std::memcpy(sel.MsgId, mds[3].MsgId, 24);
  ASSERT_EQ(Get(hc, ho, &body, &sel), KRRC_NONE);
  EXPECT_EQ(body, "m3");
  // Both ids must match when both are given.
  sel = KRMD_DEFAULT;
  std::memcpy(sel.MsgId, mds[0].MsgId, 24);
  std::memcpy(sel.CorrelId, mds[1].CorrelId, 24);
  EXPECT_EQ(Get(hc, ho, &body, &sel), KRRC_NO_MSG_AVAILABLE);
  ASSERT_EQ(Get(hc, ho, &body), KRRC_NONE);
  EXPECT_EQ(body, "m0");
  Disc(&hc);
}

TEST_P(QueueTest, MessageLongerThanTheBufferFailsWith2080AndStays) {
  Define("T.Q");
  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "T.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF | KROO_BROWSE);
  const std::string big(4097, 'z');
  ASSERT_EQ(Put(hc, ho, big), KRRC_NONE);
  KRMD md = KRMD_DEFAULT;
  KRGMO gmo = KRGMO_DEFAULT;
  std::vector<char> buf(4097 + 16, '#');
  KRLONG len = 0, cc, rc;
  KRGET(hc, ho, &md, &gmo, 4096, buf.data(), &len, &cc, &rc);
  EXPECT_EQ(rc, KRRC_TRUNCATED_MSG_FAILED);
  EXPECT_EQ(cc, KRCC_FAILED);
  EXPECT_EQ(len, 4097) << "the full length is reported";
  EXPECT_EQ(buf[4096], '#') << "nothing written past the buffer";
  // Browsing with a short buffer neither takes it nor moves the cursor.
  gmo.Options = KRGMO_BROWSE_FIRST;
  KRGET(hc, ho, &md, &gmo, 10, buf.data(), &len, &cc, &rc);
  EXPECT_EQ(rc, KRRC_TRUNCATED_MSG_FAILED);
  std::string body;
  ASSERT_EQ(Get(hc, ho, &body, nullptr, 0, 0, 4097), KRRC_NONE);
  EXPECT_EQ(body, big);
  // Zero-length messages and buffers.
  ASSERT_EQ(Put(hc, ho, ""), KRRC_NONE);
  md = KRMD_DEFAULT;
  gmo = KRGMO_DEFAULT;
  KRGET(hc, ho, &md, &gmo, 0, nullptr, &len, &cc, &rc);
  EXPECT_EQ(rc, KRRC_NONE);
  EXPECT_EQ(len, 0);
  Disc(&hc);
}

TEST_P(QueueTest, BadRecordsLengthsBuffersAndOptionsGiveReasonCodes) {
  Define("B.Q");
  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "B.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  KRLONG cc, rc, len;
  char buf[16] = {};
  KRMD md = KRMD_DEFAULT;
  KRPMO pmo = KRPMO_DEFAULT;
  KRGMO gmo = KRGMO_DEFAULT;
  KRPUT(hc, ho, &md, &pmo, -1, buf, &cc, &rc);
  EXPECT_EQ(rc, KRRC_BUFFER_LENGTH_ERROR);
  KRPUT(hc, ho, &md, &pmo, 10, nullptr, &cc, &rc);
  EXPECT_EQ(rc, KRRC_BUFFER_ERROR);
  // A huge length is refused before the (small) buffer is read.
  KRPUT(hc, ho, &md, &pmo, 0x7FFFFFFF, buf, &cc, &rc);
  EXPECT_EQ(rc, KRRC_MSG_TOO_BIG_FOR_Q);
  KRPUT(hc, ho, nullptr, &pmo, 1, buf, &cc, &rc);
  EXPECT_EQ(rc, KRRC_MD_ERROR);
  KRMD bad = md;
  std::memcpy(bad.StrucId, "XX  ", 4);
  KRPUT(hc, ho, &bad, &pmo, 1, buf, &cc, &rc);
  EXPECT_EQ(rc, KRRC_MD_ERROR);
  KRPUT(hc, ho, &md, nullptr, 1, buf, &cc, &rc);
  EXPECT_EQ(rc, KRRC_PMO_ERROR);
  bad = md;
  bad.Priority = 10;
  KRPUT(hc, ho, &bad, &pmo, 1, buf, &cc, &rc);
  EXPECT_EQ(rc, KRRC_PRIORITY_ERROR);
  bad = md;
  bad.Persistence = 3;
  KRPUT(hc, ho, &bad, &pmo, 1, buf, &cc, &rc);
  EXPECT_EQ(rc, KRRC_PERSISTENCE_ERROR);
  bad = md;
  bad.Expiry = 0;
  KRPUT(hc, ho, &bad, &pmo, 1, buf, &cc, &rc);
  EXPECT_EQ(rc, KRRC_EXPIRY_ERROR);
  KRPMO badp = pmo;
  badp.Options = 0x40000000;
  KRPUT(hc, ho, &md, &badp, 1, buf, &cc, &rc);
  EXPECT_EQ(rc, KRRC_OPTIONS_ERROR);

  KRGET(hc, ho, &md, &gmo, -5, buf, &len, &cc, &rc);
  EXPECT_EQ(rc, KRRC_BUFFER_LENGTH_ERROR);
  KRGET(hc, ho, &md, &gmo, 16, nullptr, &len, &cc, &rc);
  EXPECT_EQ(rc, KRRC_BUFFER_ERROR);
  KRGET(hc, ho, &md, &gmo, 16, buf, nullptr, &cc, &rc);
  EXPECT_EQ(rc, KRRC_DATA_LENGTH_ERROR);
  KRGET(hc, ho, &md, nullptr, 16, buf, &len, &cc, &rc);
  EXPECT_EQ(rc, KRRC_GMO_ERROR);
  KRGMO badg = gmo;
  badg.Options = KRGMO_BROWSE_FIRST | KRGMO_BROWSE_NEXT;
  KRGET(hc, ho, &md, &badg, 16, buf, &len, &cc, &rc);
  EXPECT_EQ(rc, KRRC_OPTIONS_ERROR);
  badg = gmo;
  badg.Options = KRGMO_WAIT;
  badg.WaitInterval = -7;
  KRGET(hc, ho, &md, &badg, 16, buf, &len, &cc, &rc);
  EXPECT_EQ(rc, KRRC_WAIT_INTERVAL_ERROR);

  // Open: records, options, names.
  KROD od = KROD_DEFAULT;
  SetField(od.ObjectName, 48, "B.Q");
  KRHOBJ h;
  KROPEN(hc, &od, KROO_INPUT_AS_Q_DEF | KROO_INPUT_SHARED, &h, &cc, &rc);
  EXPECT_EQ(rc, KRRC_OPTIONS_ERROR);
  KROPEN(hc, &od, 0, &h, &cc, &rc);
  EXPECT_EQ(rc, KRRC_OPTIONS_ERROR);
  KROPEN(hc, &od, 0x00100000, &h, &cc, &rc);
  EXPECT_EQ(rc, KRRC_OPTIONS_ERROR);
  KROPEN(hc, nullptr, KROO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, KRRC_OD_ERROR);
  KROPEN(hc, &od, KROO_OUTPUT, nullptr, &cc, &rc);
  EXPECT_EQ(rc, KRRC_HANDLE_NOT_AVAILABLE);
  KROD bod = od;
  bod.ObjectType = 5;
  KROPEN(hc, &bod, KROO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, KRRC_OBJECT_TYPE_ERROR);
  bod = od;
  SetField(bod.ObjectName, 48, "NO.SUCH.QUEUE");
  KROPEN(hc, &bod, KROO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, KRRC_UNKNOWN_OBJECT_NAME);
  std::memset(bod.ObjectName, 'A', 48);  // full field, no terminator
  KROPEN(hc, &bod, KROO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, KRRC_UNKNOWN_OBJECT_NAME);
  SetField(bod.ObjectName, 48, "bad name");
  KROPEN(hc, &bod, KROO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, KRRC_NAME_NOT_VALID);
  // Close options other than none.
  KRCLOSE(hc, &ho, 4, &cc, &rc);
  EXPECT_EQ(rc, KRRC_OPTIONS_ERROR);
  Disc(&hc);
}

TEST_P(QueueTest, HandlesOnlyDoWhatTheyWereOpenedFor) {
  Define("O.Q");
  KRHCONN hc = Connect();
  KRHOBJ out = OpenOk(hc, "O.Q", KROO_OUTPUT);
  KRHOBJ in = OpenOk(hc, "O.Q", KROO_INPUT_AS_Q_DEF);
  KRHOBJ browse = OpenOk(hc, "O.Q", KROO_BROWSE);
  ASSERT_EQ(Put(hc, out, "x"), KRRC_NONE);
  EXPECT_EQ(Put(hc, in, "x"), KRRC_NOT_OPEN_FOR_OUTPUT);
  std::string body;
  EXPECT_EQ(Get(hc, out, &body), KRRC_NOT_OPEN_FOR_INPUT);
  EXPECT_EQ(Get(hc, browse, &body), KRRC_NOT_OPEN_FOR_INPUT);
  EXPECT_EQ(Get(hc, in, &body, nullptr, KRGMO_BROWSE_FIRST), KRRC_NOT_OPEN_FOR_BROWSE);
  EXPECT_EQ(Get(hc, browse, &body, nullptr, KRGMO_BROWSE_FIRST), KRRC_NONE);
  EXPECT_EQ(Get(hc, in, &body), KRRC_NONE);
  // The model queue holds no messages of its own.
  KRHOBJ model = 0;
  KROD od = KROD_DEFAULT;
  SetField(od.ObjectName, 48, q::kModelQueueName);
  ASSERT_EQ(Open(hc, "", KROO_OUTPUT, &model, &od), KRRC_NONE);
  EXPECT_NE(FieldStr(od.ObjectName, 48), q::kModelQueueName) << "a dynamic queue was made instead";
  Disc(&hc);
}

TEST_P(QueueTest, ExpiredMessagesAreNeverReturned) {
  Define("E.Q");
  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "E.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  KRMD md = KRMD_DEFAULT;
  md.Expiry = 1;  // a tenth of a second
  ASSERT_EQ(Put(hc, ho, "short-lived", &md), KRRC_NONE);
  md = KRMD_DEFAULT;
  md.Expiry = 36000;
  ASSERT_EQ(Put(hc, ho, "long-lived", &md), KRRC_NONE);
  ::usleep(300 * 1000);
  std::string body;
  KRMD got = KRMD_DEFAULT;
  ASSERT_EQ(Get(hc, ho, &body, &got), KRRC_NONE);
  EXPECT_EQ(body, "long-lived");
  EXPECT_GT(got.Expiry, 0);
  EXPECT_LE(got.Expiry, 36000);
  EXPECT_EQ(Get(hc, ho, &body), KRRC_NO_MSG_AVAILABLE);
  Disc(&hc);
}

TEST_P(QueueTest, QueueAttributesLimitPutsAndGets) {
  Define("L.Q", /*max_depth=*/2, false, /*max_length=*/8);
  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "L.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  EXPECT_EQ(Put(hc, ho, "123456789"), KRRC_MSG_TOO_BIG_FOR_Q);
  EXPECT_EQ(Put(hc, ho, "1"), KRRC_NONE);
  EXPECT_EQ(Put(hc, ho, "2"), KRRC_NONE);
  EXPECT_EQ(Put(hc, ho, "3"), KRRC_Q_FULL);
  auto store = StoreOf(qm_);
  q::QueueAttributes a;
  ASSERT_EQ(store->LookupQueue("L.Q", &a), KRRC_NONE);
  a.put_inhibited = a.get_inhibited = true;
  ASSERT_EQ(store->DefineQueue(a, true), KRRC_NONE);
  std::string body;
  EXPECT_EQ(Put(hc, ho, "4"), KRRC_PUT_INHIBITED);
  EXPECT_EQ(Get(hc, ho, &body), KRRC_GET_INHIBITED);
  EXPECT_EQ(store->DeleteQueue("L.Q"), KRRC_OBJECT_IN_USE);
  Disc(&hc);
  EXPECT_EQ(store->DeleteQueue("L.Q"), KRRC_NONE);
  EXPECT_EQ(store->LookupQueue("L.Q", nullptr), KRRC_UNKNOWN_OBJECT_NAME);
}

TEST_P(QueueTest, BrowseVisitsEveryMessageOnceWhileOthersTakeMessages) {
  Define("BR.Q", 20000);
  KRHCONN hc = Connect();
  KRHOBJ out = OpenOk(hc, "BR.Q", KROO_OUTPUT);
  constexpr int kCount = 300;
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(Put(hc, out, "m" + std::to_string(i)), KRRC_NONE);
  KRHOBJ br = OpenOk(hc, "BR.Q", KROO_BROWSE);
  // Another process takes messages while we browse.
  Child& taker = Start({Helper(), "get", qm_, "BR.Q", "0"});
  std::vector<std::string> seen;
  std::string body;
  KRLONG opts = KRGMO_BROWSE_FIRST;
  while (Get(hc, br, &body, nullptr, opts) == KRRC_NONE) {
    seen.push_back(body);
    opts = KRGMO_BROWSE_NEXT;
  }
  std::string taken = ReadAll(taker);
  EXPECT_EQ(Finish(taker), 0);
  std::set<std::string> unique(seen.begin(), seen.end());
  EXPECT_EQ(unique.size(), seen.size()) << "no message browsed twice";
  // Browse order is put order.
  int last = -1;
  for (auto& s : seen) {
    int n = std::stoi(s.substr(1));
    EXPECT_GT(n, last);
    last = n;
  }
  // Whatever the taker did not take, the browser saw.
  std::set<std::string> took;
  std::istringstream in(taken);
  for (std::string line; std::getline(in, line);) took.insert(line);
  for (int i = 0; i < kCount; ++i) {
    std::string m = "m" + std::to_string(i);
    EXPECT_TRUE(took.count(m) || unique.count(m)) << m << " neither taken nor browsed";
  }
  Disc(&hc);
}

TEST_P(QueueTest, BrowseWithWaitReturnsTheNextMessagePastTheCursor) {
  Define("BW.Q");
  KRHCONN hc = Connect();
  KRHOBJ out = OpenOk(hc, "BW.Q", KROO_OUTPUT);
  KRHOBJ br = OpenOk(hc, "BW.Q", KROO_BROWSE);
  ASSERT_EQ(Put(hc, out, "first"), KRRC_NONE);
  std::string body;
  ASSERT_EQ(Get(hc, br, &body, nullptr, KRGMO_BROWSE_FIRST | KRGMO_WAIT, 1000), KRRC_NONE);
  EXPECT_EQ(body, "first");
  EXPECT_EQ(Get(hc, br, &body, nullptr, KRGMO_BROWSE_NEXT), KRRC_NO_MSG_AVAILABLE);
  Child& putter = Start({Helper(), "put", qm_, "BW.Q", "second"});
  ASSERT_EQ(Get(hc, br, &body, nullptr, KRGMO_BROWSE_NEXT | KRGMO_WAIT, 60000), KRRC_NONE);
  EXPECT_EQ(body, "second");
  EXPECT_EQ(Finish(putter), 0);
  Disc(&hc);
}

TEST_P(QueueTest, WaitingGetReturnsTheMessagePutByAnotherProcess) {
  Define("W.Q");
  KRHCONN hc = Connect();
  KRHOBJ in = OpenOk(hc, "W.Q", KROO_INPUT_AS_Q_DEF);
  std::string body;
  std::thread putter([&] {
    ::usleep(50 * 1000);
    std::string out;
    RunProgram({Helper(), "put", qm_, "W.Q", "wake-up"}, &out);
  });
  KRLONG rc = Get(hc, in, &body, nullptr, KRGMO_WAIT, 60000);
  putter.join();
  ASSERT_EQ(rc, KRRC_NONE);
  EXPECT_EQ(body, "wake-up");
  Disc(&hc);
}

TEST_P(QueueTest, CorrelatedWaitTakesOnlyItsReply) {
  Define("C.Q");
  KRHCONN hc = Connect();
  KRHOBJ out = OpenOk(hc, "C.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  KRBYTE want[24];
  std::memset(want, 0x5A, sizeof want);
  Child& waiter = Start({Helper(), "getcorrel", qm_, "C.Q", Hex(want, 24), "60000"});
  KRMD other = KRMD_DEFAULT;
  std::memset(other.CorrelId, 0x01, 24);
  ASSERT_EQ(Put(hc, out, "not-yours", &other), KRRC_NONE);
  KRMD mine = KRMD_DEFAULT;
  std::memcpy(mine.CorrelId, want, 24);
  ASSERT_EQ(Put(hc, out, "yours", &mine), KRRC_NONE);
  std::string line;
  ASSERT_TRUE(ReadLine(waiter, &line));
  EXPECT_EQ(line, "yours");
  EXPECT_EQ(Finish(waiter), 0);
  std::string body;
  ASSERT_EQ(Get(hc, out, &body), KRRC_NONE);
  EXPECT_EQ(body, "not-yours") << "the other message stays";
  Disc(&hc);
}

TEST_P(QueueTest, RequestAndCorrelatedReplyBetweenProcesses) {
  Define("REQ.Q");
  Child& server = Start({Helper(), "reply", qm_, "REQ.Q", "3000"});
  KRHCONN hc = Connect();
  KRHOBJ req = OpenOk(hc, "REQ.Q", KROO_OUTPUT | KROO_FAIL_IF_QUIESCING);
  KROD od = KROD_DEFAULT;
  SetField(od.ObjectName, 48, q::kModelQueueName);
  SetField(od.DynamicQName, 48, "*");
  KRHOBJ reply = 0;
  ASSERT_EQ(Open(hc, "", KROO_INPUT_AS_Q_DEF | KROO_FAIL_IF_QUIESCING, &reply, &od), KRRC_NONE);
  const std::string reply_q = FieldStr(od.ObjectName, 48);
  for (int i = 0; i < 5; ++i) {
    KRMD md = KRMD_DEFAULT;
    md.MsgType = KRMT_REQUEST;
    std::memcpy(md.Format, KRFMT_STRING, 8);
    std::memset(md.ReplyToQ, ' ', 48);
    std::memcpy(md.ReplyToQ, reply_q.data(), reply_q.size());
    std::memset(md.ReplyToQMgr, ' ', 48);  // blank: the connected queue manager
    ASSERT_EQ(Put(hc, req, "request " + std::to_string(i), &md), KRRC_NONE);
    KRMD r = KRMD_DEFAULT;
    std::memcpy(r.CorrelId, md.MsgId, 24);
    std::string body;
    ASSERT_EQ(Get(hc, reply, &body, &r, KRGMO_WAIT | KRGMO_CONVERT, 60000, 4095), KRRC_NONE);
    EXPECT_EQ(body, "request " + std::to_string(i));
  }
  Disc(&hc);
  EXPECT_EQ(Finish(server), 0);
}

TEST_P(QueueTest, DynamicQueuesHaveGeneratedNamesAndGoOnClose) {
  KRHCONN hc = Connect();
  std::set<std::string> names;
  std::vector<KRHOBJ> handles;
  for (const char* pattern : {"TKR.*", "TKR.*", "*", "MY.REPLY.*"}) {
    KROD od = KROD_DEFAULT;
    SetField(od.ObjectName, 48, q::kModelQueueName);
    SetField(od.DynamicQName, 48, pattern);
    KRHOBJ h = 0;
    ASSERT_EQ(Open(hc, "", KROO_INPUT_AS_Q_DEF, &h, &od), KRRC_NONE);
    std::string name = FieldStr(od.ObjectName, 48);
    std::string prefix = std::string(pattern).substr(0, std::strlen(pattern) - 1);
    EXPECT_EQ(name.rfind(prefix, 0), 0u) << name;
    EXPECT_GT(name.size(), prefix.size());
    names.insert(name);
    handles.push_back(h);
  }
  EXPECT_EQ(names.size(), 4u);
  // Usable at once by other handles, non-persistent only.
  const std::string name = *names.begin();
  KRHOBJ out = OpenOk(hc, name, KROO_OUTPUT);
  EXPECT_EQ(Put(hc, out, "x"), KRRC_NONE);
  KRMD md = KRMD_DEFAULT;
  md.Persistence = KRPER_PERSISTENT;
  EXPECT_EQ(Put(hc, out, "x", &md), KRRC_PERSISTENT_NOT_ALLOWED);
  Close(hc, &out);
  for (auto& h : handles) Close(hc, &h);
  for (auto& n : names) {
    KRHOBJ h;
    EXPECT_EQ(Open(hc, n, KROO_OUTPUT, &h), KRRC_UNKNOWN_OBJECT_NAME) << n;
  }
  // A bad pattern.
  KROD od = KROD_DEFAULT;
  SetField(od.ObjectName, 48, q::kModelQueueName);
  SetField(od.DynamicQName, 48, "A*B");
  KRHOBJ h;
  EXPECT_EQ(Open(hc, "", KROO_INPUT_AS_Q_DEF, &h, &od), KRRC_DYNAMIC_Q_NAME_ERROR);
  Disc(&hc);
}

TEST_P(QueueTest, DynamicQueueGoesWhenItsCreatorDies) {
  // Killed with SIGKILL: no chance to clean up.
  Child& holder = Start({Helper(), "hold-dynamic", qm_, "TKR.*"});
  std::string name;
  ASSERT_TRUE(ReadLine(holder, &name));
  KRHCONN hc = Connect();
  KRHOBJ h;
  ASSERT_EQ(Open(hc, name, KROO_OUTPUT, &h), KRRC_NONE);
  ASSERT_EQ(Put(hc, h, "left behind"), KRRC_NONE);
  Close(hc, &h);
  ::kill(holder.pid, SIGKILL);
  EXPECT_EQ(Finish(holder), 128 + SIGKILL);
  EXPECT_EQ(Open(hc, name, KROO_OUTPUT, &h), KRRC_UNKNOWN_OBJECT_NAME);
  std::vector<q::QueueInfo> list;
  ASSERT_EQ(StoreOf(qm_)->ListQueues(&list), KRRC_NONE);
  for (auto& i : list) EXPECT_NE(i.attributes.name, name);

  // A creator that exits without closing.
  Child& quitter = Start({Helper(), "hold-dynamic", qm_, "*"});
  ASSERT_TRUE(ReadLine(quitter, &name));
  EXPECT_EQ(Finish(quitter), 0);  // stdin closed: exits without closing
  EXPECT_EQ(Open(hc, name, KROO_OUTPUT, &h), KRRC_UNKNOWN_OBJECT_NAME);

  // One that closes.
  Child& closer = Start({Helper(), "hold-dynamic", qm_, "TKR.*"});
  ASSERT_TRUE(ReadLine(closer, &name));
  ASSERT_EQ(::write(closer.in, "close\n", 6), 6);
  EXPECT_EQ(Finish(closer), 0);
  EXPECT_EQ(Open(hc, name, KROO_OUTPUT, &h), KRRC_UNKNOWN_OBJECT_NAME);
  Disc(&hc);
}

TEST_P(QueueTest, CompetingConsumersTakeEachMessageExactlyOnce) {
  constexpr int kMessages = 10000;
  constexpr int kConsumers = 4;
  Define("CC.Q", kMessages + 10);
  std::vector<Child*> consumers;
  for (int i = 0; i < kConsumers; ++i) consumers.push_back(&Start({Helper(), "get", qm_, "CC.Q", "3000"}));
  // Two producers: this process and a helper.
  Child& producer = Start({Helper(), "put", qm_, "CC.Q", "p", std::to_string(kMessages / 2)});
  KRHCONN hc = Connect();
  KRHOBJ out = OpenOk(hc, "CC.Q", KROO_OUTPUT);
  for (int i = 0; i < kMessages / 2; ++i) ASSERT_EQ(Put(hc, out, "t" + std::to_string(i)), KRRC_NONE);
  EXPECT_EQ(Finish(producer), 0);
  std::map<std::string, int> count;
  for (Child* c : consumers) {
    std::istringstream in(ReadAll(*c));
    for (std::string line; std::getline(in, line);) count[line]++;
    EXPECT_EQ(Finish(*c), 0);
  }
  EXPECT_EQ(count.size(), static_cast<size_t>(kMessages));
  for (auto& [m, n] : count) EXPECT_EQ(n, 1) << m;
  std::string body;
  KRHOBJ in = OpenOk(hc, "CC.Q", KROO_INPUT_AS_Q_DEF);
  EXPECT_EQ(Get(hc, in, &body), KRRC_NO_MSG_AVAILABLE);
  Disc(&hc);
}

TEST_P(QueueTest, PersistentMessagesFromManyProcessesAreTakenExactlyOnce) {
  // Puts and gets from several processes share database commits; each
  // message must still be stored once and taken once.
  constexpr int kProducers = 4, kEach = 150, kConsumers = 3;
  Define("PCC.Q", 10000, /*persistent=*/true);
  std::vector<Child*> consumers;
  for (int i = 0; i < kConsumers; ++i) consumers.push_back(&Start({Helper(), "get", qm_, "PCC.Q", "3000"}));
  std::vector<Child*> producers;
  for (int i = 0; i < kProducers; ++i)
    producers.push_back(&Start({Helper(), "put", qm_, "PCC.Q", "p" + std::to_string(i) + "-", std::to_string(kEach)}));
  for (Child* p : producers) EXPECT_EQ(Finish(*p), 0);
  std::map<std::string, int> count;
  for (Child* c : consumers) {
    std::istringstream in(ReadAll(*c));
    for (std::string line; std::getline(in, line);) count[line]++;
    EXPECT_EQ(Finish(*c), 0);
  }
  EXPECT_EQ(count.size(), static_cast<size_t>(kProducers * kEach));
  for (auto& [m, n] : count) EXPECT_EQ(n, 1) << m;
  std::string out;
  ASSERT_EQ(RunProgram({Helper(), "get", qm_, "PCC.Q", "0"}, &out), 0);
  EXPECT_EQ(out, "");
  if (GetParam().name == "sqlite") {
    // Nothing is left in the database either: losing the mapped file (as a
    // machine restart does) brings nothing back.
    q::QmDefinition d;
    ASSERT_EQ(q::ResolveQm(qm_, &d), KRRC_NONE);
    ASSERT_EQ(::unlink((platform::DataRoot() + "/qm/" + d.name + "/qm.shm").c_str()), 0);
    ASSERT_EQ(RunProgram({Helper(), "get", qm_, "PCC.Q", "0"}, &out), 0);
    EXPECT_EQ(out, "");
  }
}

TEST_P(QueueTest, AcknowledgedPersistentWorkSurvivesTheKillOfEveryProcess) {
  // Producers and consumers commit at the same time, sharing flushes; each
  // prints a body the moment its put or get has returned. All are killed at
  // once and the queue manager is opened again (for the embedded store
  // from its database alone, as after a machine restart): every
  // acknowledged put is still there unless a consumer took it, and no
  // acknowledged get comes back. A consumer killed between the return of
  // its get and its print loses that one message, as it would anywhere.
  constexpr int kProducers = 4, kConsumers = 2, kAcked = 40;
  Define("KILL.Q", 30000, /*persistent=*/true);
  std::vector<Child*> producers, consumers;
  for (int i = 0; i < kConsumers; ++i) consumers.push_back(&Start({Helper(), "get", qm_, "KILL.Q", "10000", "acked"}));
  for (int i = 0; i < kProducers; ++i)
    producers.push_back(
        &Start({Helper(), "put", qm_, "KILL.Q", "k" + std::to_string(i) + "-", "100000", "acked"}));
  std::set<std::string> put, got;
  for (Child* p : producers) {
    std::string line;
    for (int n = 0; n < kAcked && ReadLine(*p, &line); ++n) put.insert(line);
  }
  for (Child* c : producers) ::kill(c->pid, SIGKILL);
  for (Child* c : consumers) ::kill(c->pid, SIGKILL);
  for (Child* c : producers) {
    std::istringstream in(ReadAll(*c));
    for (std::string line; std::getline(in, line);) put.insert(line);
    Finish(*c);
  }
  size_t got_lines = 0;
  for (Child* c : consumers) {
    std::istringstream in(ReadAll(*c));
    for (std::string line; std::getline(in, line); ++got_lines) got.insert(line);
    Finish(*c);
  }
  EXPECT_EQ(got.size(), got_lines) << "a message was taken twice";
  ASSERT_GE(put.size(), static_cast<size_t>(kProducers * kAcked));
  if (GetParam().name == "sqlite") {
    q::QmDefinition d;
    ASSERT_EQ(q::ResolveQm(qm_, &d), KRRC_NONE);
    ASSERT_EQ(::unlink((platform::DataRoot() + "/qm/" + d.name + "/qm.shm").c_str()), 0);
  }
  std::string out;
  ASSERT_EQ(RunProgram({Helper(), "get", qm_, "KILL.Q", "0"}, &out), 0);
  std::set<std::string> left;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    EXPECT_TRUE(left.insert(line).second) << line << " is on the queue twice";
    EXPECT_EQ(got.count(line), 0u) << line << " came back after its get returned";
  }
  int lost = 0;
  for (const std::string& m : put) lost += !left.count(m) && !got.count(m);
  EXPECT_LE(lost, kConsumers) << "acknowledged puts lost";
}

TEST_P(QueueTest, ProcessKilledWhileWaitingLosesNothing) {
  Define("K.Q");
  KRBYTE none[24];
  std::memset(none, 0x77, 24);
  Child& waiter = Start({Helper(), "getcorrel", qm_, "K.Q", Hex(none, 24), "-1"});
  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "K.Q", KROO_OUTPUT | KROO_INPUT_AS_Q_DEF);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(Put(hc, ho, std::to_string(i)), KRRC_NONE);
  ::kill(waiter.pid, SIGKILL);
  Finish(waiter);
  for (int i = 0; i < 50; ++i) {
    std::string body;
    ASSERT_EQ(Get(hc, ho, &body), KRRC_NONE);
    EXPECT_EQ(body, std::to_string(i));
  }
  Disc(&hc);
}

TEST_P(QueueTest, PersistentMessagesSurviveARestart) {
  Define("PERS.Q", 5000, /*persistent=*/true);
  std::string out;
  ASSERT_EQ(RunProgram({Helper(), "put", qm_, "PERS.Q", "durable", "20"}, &out), 0);
  // Non-persistent ones on the same queue, put explicitly.
  KRHCONN hc = Connect();
  KRHOBJ ho = OpenOk(hc, "PERS.Q", KROO_OUTPUT);
  KRMD md = KRMD_DEFAULT;
  md.Persistence = KRPER_NOT_PERSISTENT;
  ASSERT_EQ(Put(hc, ho, "fleeting", &md), KRRC_NONE);
  Disc(&hc);
  // Every process has closed; a new one takes them all, in order.
  ASSERT_EQ(RunProgram({Helper(), "get", qm_, "PERS.Q", "0"}, &out), 0);
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "durable" + std::to_string(i) + "\n";
  EXPECT_EQ(out, expected + "fleeting\n");

  if (GetParam().name == "sqlite") {
    // A machine restart loses the shared memory: persistent messages only.
    ASSERT_EQ(RunProgram({Helper(), "put", qm_, "PERS.Q", "again", "3"}, &out), 0);
    hc = Connect();
    ho = OpenOk(hc, "PERS.Q", KROO_OUTPUT);
    ASSERT_EQ(Put(hc, ho, "fleeting", &md), KRRC_NONE);
    Disc(&hc);
    q::QmDefinition d;
    ASSERT_EQ(q::ResolveQm(qm_, &d), KRRC_NONE);
    // What a reboot leaves: the database only.
    ASSERT_EQ(::unlink((platform::DataRoot() + "/qm/" + d.name + "/qm.shm").c_str()), 0);
    ASSERT_EQ(RunProgram({Helper(), "get", qm_, "PERS.Q", "0"}, &out), 0);
    EXPECT_EQ(out, "again0\nagain1\nagain2\n");
  }
}

TEST_P(QueueTest, MissingOrCorruptStoreMakesTheQueueManagerUnavailable) {
  if (GetParam().name != "sqlite") GTEST_SKIP() << "embedded store files only";
  const std::string broken = UniqueQmName(), missing = UniqueQmName();
  ASSERT_EQ(q::CreateQm(broken, "sqlite", false), KRRC_NONE);
  ASSERT_EQ(q::CreateQm(missing, "sqlite", false), KRRC_NONE);
  extra_qms_.push_back(broken);
  extra_qms_.push_back(missing);
  const std::string root = platform::DataRoot() + "/qm/";
  {
    FILE* f = std::fopen((root + broken + "/qm.db").c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::string junk(8192, '\x5a');
    std::fwrite(junk.data(), 1, junk.size(), f);
    std::fclose(f);
    ::unlink((root + broken + "/qm.db-wal").c_str());
    ::unlink((root + broken + "/qm.db-shm").c_str());
  }
  ASSERT_EQ(::unlink((root + missing + "/qm.db").c_str()), 0);
  for (const std::string& name : {broken, missing}) {
    KRHCONN hc = 0;
    KRLONG cc, rc;
    KRCONN(name.c_str(), &hc, &cc, &rc);
    EXPECT_EQ(rc, KRRC_Q_MGR_NOT_AVAILABLE) << name;
    EXPECT_EQ(cc, KRCC_FAILED);
  }
}

TEST_P(QueueTest, ObjectQueueManagerNameDeliversToThatQueueManager) {
  const std::string other = UniqueQmName();
  ASSERT_EQ(q::CreateQm(other, GetParam().store, false), KRRC_NONE);
  extra_qms_.push_back(other);
  q::QueueAttributes a;
  a.name = "THERE.Q";
  ASSERT_EQ(StoreOf(other)->DefineQueue(a, false), KRRC_NONE);
  KRHCONN hc = Connect();
  KROD od = KROD_DEFAULT;
  SetField(od.ObjectName, 48, "THERE.Q");
  SetField(od.ObjectQMgrName, 48, other);
  KRHOBJ h = 0;
  ASSERT_EQ(Open(hc, "", KROO_OUTPUT, &h, &od), KRRC_NONE);
  ASSERT_EQ(Put(hc, h, "routed"), KRRC_NONE);
  SetField(od.ObjectQMgrName, 48, "NOT.KNOWN.QM");
  EXPECT_EQ(Open(hc, "", KROO_OUTPUT, &h, &od), KRRC_UNKNOWN_REMOTE_Q_MGR);
  Disc(&hc);
  std::string out;
  ASSERT_EQ(RunProgram({Helper(), "get", other, "THERE.Q", "0"}, &out), 0);
  EXPECT_EQ(out, "routed\n");
}

TEST_P(QueueTest, ThreadsSharingHandlesNeitherLoseNorDuplicate) {
  Define("TH.Q", 20000);
  KRHCONN hc = Connect();
  KRHOBJ out = OpenOk(hc, "TH.Q", KROO_OUTPUT);
  KRHOBJ in = OpenOk(hc, "TH.Q", KROO_INPUT_AS_Q_DEF);
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> threads;
  std::mutex mu;
  std::multiset<std::string> got;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string b = std::to_string(t) + ":" + std::to_string(i);
        KRMD md = KRMD_DEFAULT;
        KRPMO pmo = KRPMO_DEFAULT;
        KRLONG cc, rc;
        KRPUT(hc, out, &md, &pmo, static_cast<KRLONG>(b.size()), b.data(), &cc, &rc);
        EXPECT_EQ(rc, KRRC_NONE);
      }
    });
    threads.emplace_back([&] {
      for (;;) {
        KRMD md = KRMD_DEFAULT;
        KRGMO gmo = KRGMO_DEFAULT;
        gmo.Options = KRGMO_WAIT;
        gmo.WaitInterval = 2000;
        char buf[64];
        KRLONG len, cc, rc;
        KRGET(hc, in, &md, &gmo, sizeof buf, buf, &len, &cc, &rc);
        if (rc) break;
        std::lock_guard<std::mutex> lock(mu);
        got.insert(std::string(buf, static_cast<size_t>(len)));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(got.size(), static_cast<size_t>(kThreads * kEach));
  std::set<std::string> unique(got.begin(), got.end());
  EXPECT_EQ(unique.size(), got.size());
  Disc(&hc);
}

TEST_P(QueueTest, BothBindingLibrariesReachTheSameQueueManager) {
  Define("LIB.Q");
  void* krcl = ::dlopen((LibDir() + "/libkrcl.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(krcl, nullptr) << ::dlerror();
  auto conn = reinterpret_cast<KRCONN_FN>(::dlsym(krcl, "KRCONN"));
  auto open = reinterpret_cast<KROPEN_FN>(::dlsym(krcl, "KROPEN"));
  auto get = reinterpret_cast<KRGET_FN>(::dlsym(krcl, "KRGET"));
  auto disc = reinterpret_cast<KRDISC_FN>(::dlsym(krcl, "KRDISC"));
  ASSERT_TRUE(conn && open && get && disc && ::dlsym(krcl, "KRPUT") && ::dlsym(krcl, "KRCLOSE"));
  EXPECT_EQ(::dlsym(krcl, "zrtKRCONN"), nullptr) << "server-bindings entry only in libkrm";
  void* krm = ::dlopen((LibDir() + "/libkrm.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(krm, nullptr);
  EXPECT_NE(::dlsym(krm, "zrtKRCONN"), nullptr);

  KRHCONN hc = Connect();  // libkrm
  KRHOBJ out = OpenOk(hc, "LIB.Q", KROO_OUTPUT);
  ASSERT_EQ(Put(hc, out, "across"), KRRC_NONE);
  KRHCONN hc2 = 0;
  KRLONG cc, rc;
  conn(qm_.c_str(), &hc2, &cc, &rc);
  ASSERT_EQ(rc, KRRC_NONE);
  KROD od = KROD_DEFAULT;
  SetField(od.ObjectName, 48, "LIB.Q");
  KRHOBJ in;
  open(hc2, &od, KROO_INPUT_AS_Q_DEF, &in, &cc, &rc);
  ASSERT_EQ(rc, KRRC_NONE);
  KRMD md = KRMD_DEFAULT;
  KRGMO gmo = KRGMO_DEFAULT;
  char buf[32];
  KRLONG len = 0;
  get(hc2, in, &md, &gmo, sizeof buf, buf, &len, &cc, &rc);
  ASSERT_EQ(rc, KRRC_NONE);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), "across");
  // Handles of one library mean nothing to the other.
  get(hc, out, &md, &gmo, sizeof buf, buf, &len, &cc, &rc);
  EXPECT_NE(rc, KRRC_NONE);
  disc(&hc2, &cc, &rc);
  EXPECT_EQ(rc, KRRC_NONE);
  Disc(&hc);
  // Both libraries stay loaded for the life of the process (their pools hold
  // connections), so they are not closed here.
}

INSTANTIATE_TEST_SUITE_P(Stores, QueueTest, ::testing::ValuesIn(QueueStores()),
                         [](const ::testing::TestParamInfo<StoreParam>& info) { return info.param.name; });

}  // namespace
}  // namespace krsoap::test
