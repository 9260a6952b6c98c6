// The queue conformance suite's fixture, shared by its files: a fresh queue
// manager per case on the store under test, and the calls as the cases use
// them. The suite is instantiated once, in conformance_test.cpp, for every
// store (store_list.cpp); cases in other files join it by using QueueTest.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/queue/krqueue.h"
#include "platform/files/data_root.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/store.h"
#include "tests/queue/store_list.h"
#include "tests/support/test_home.h"

namespace krsoap::test {

namespace q = krsoap::queue;

inline std::string Helper() { return BinDir() + "/queue_helper"; }

inline std::string UniqueQmName() {
  static std::atomic<int> n{0};
  char buf[48];
  std::snprintf(buf, sizeof buf, "QT%X.%d", static_cast<unsigned>(::getpid()), n.fetch_add(1));
  return buf;
}

inline void SetField(char* field, size_t width, const std::string& s) {
  std::memset(field, 0, width);
  std::memcpy(field, s.data(), std::min(s.size(), width));
}

inline std::string FieldStr(const char* p, size_t n) { return q::FieldToName(p, n); }

inline std::string Hex(const KRBYTE* p, size_t n) { return q::IdToHex(p, n); }

class QueueTest : public ::testing::TestWithParam<StoreParam> {
 protected:
  void SetUp() override {
    if (GetParam().store.empty()) GTEST_SKIP() << kNoPgServer;
    qm_ = UniqueQmName();
    ASSERT_EQ(q::CreateQm(qm_, GetParam().store, true), KRRC_NONE);
  }
  void TearDown() override {
    if (qm_.empty()) return;  // skipped: nothing was made
    for (auto& c : children_) {
      if (c.pid > 0) ::kill(c.pid, SIGKILL);
      Finish(c);
    }
    q::DeleteQm(qm_);
    for (auto& n : extra_qms_) q::DeleteQm(n);
  }

  std::unique_ptr<q::Store> StoreOf(const std::string& qm) {
    q::QmDefinition d;
    EXPECT_EQ(q::ResolveQm(qm, &d), KRRC_NONE);
    std::unique_ptr<q::Store> s;
    EXPECT_EQ(q::OpenStore(d, false, &s), KRRC_NONE);
    return s;
  }
  void Define(const std::string& name, int max_depth = 5000, bool persistent = false, int max_length = 4 << 20) {
    q::QueueAttributes a;
    a.name = name;
    a.max_depth = max_depth;
    a.default_persistence = persistent ? KRPER_PERSISTENT : KRPER_NOT_PERSISTENT;
    a.max_message_length = max_length;
    ASSERT_EQ(StoreOf(qm_)->DefineQueue(a, false), KRRC_NONE);
  }

  KRHCONN Connect(const std::string& name) {
    KRHCONN hc = 0;
    KRLONG cc = -1, rc = -1;
    KRCONN(name.c_str(), &hc, &cc, &rc);
    EXPECT_EQ(rc, KRRC_NONE);
    EXPECT_EQ(cc, KRCC_OK);
    return hc;
  }
  KRHCONN Connect() { return Connect(qm_); }

  KRLONG Open(KRHCONN hc, const std::string& queue, KRLONG options, KRHOBJ* ho, KROD* od_io = nullptr) {
    KROD od = KROD_DEFAULT;
    if (od_io) od = *od_io;
    else SetField(od.ObjectName, 48, queue);
    KRLONG cc, rc;
    KROPEN(hc, &od, options, ho, &cc, &rc);
    if (od_io) *od_io = od;
    EXPECT_EQ(cc, rc ? KRCC_FAILED : KRCC_OK);
    return rc;
  }
  KRHOBJ OpenOk(KRHCONN hc, const std::string& queue, KRLONG options) {
    KRHOBJ ho = 0;
    EXPECT_EQ(Open(hc, queue, options, &ho), KRRC_NONE) << queue;
    return ho;
  }

  KRLONG Put(KRHCONN hc, KRHOBJ ho, const std::string& body, KRMD* md_io = nullptr) {
    KRMD md = KRMD_DEFAULT;
    if (md_io) md = *md_io;
    KRPMO pmo = KRPMO_DEFAULT;
    KRLONG cc, rc;
    KRPUT(hc, ho, &md, &pmo, static_cast<KRLONG>(body.size()), const_cast<char*>(body.data()), &cc, &rc);
    if (md_io) *md_io = md;
    return rc;
  }

  KRLONG Get(KRHCONN hc, KRHOBJ ho, std::string* body, KRMD* md_io = nullptr, KRLONG options = 0,
             KRLONG wait = 0, KRLONG buflen = 65536) {
    KRMD md = KRMD_DEFAULT;
    if (md_io) md = *md_io;
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = options;
    gmo.WaitInterval = wait;
    std::vector<char> buf(static_cast<size_t>(std::max(buflen, 1)));
    KRLONG len = -1, cc, rc;
    KRGET(hc, ho, &md, &gmo, buflen, buf.data(), &len, &cc, &rc);
    if (body) body->assign(buf.data(), static_cast<size_t>(std::clamp(len, 0, buflen)));
    if (md_io) *md_io = md;
    if (rc == KRRC_NONE) {
      EXPECT_EQ(cc, KRCC_OK);
    }
    return rc;
  }

  void Close(KRHCONN hc, KRHOBJ* ho) {
    KRLONG cc, rc;
    KRCLOSE(hc, ho, KRCO_NONE, &cc, &rc);
    EXPECT_EQ(rc, KRRC_NONE);
  }
  void Disc(KRHCONN* hc) {
    KRLONG cc, rc;
    KRDISC(hc, &cc, &rc);
    EXPECT_EQ(rc, KRRC_NONE);
  }

  Child& Start(const std::vector<std::string>& argv) {
    children_.push_back(StartChild(argv));
    return children_.back();
  }

  ScopedHome home_;
  std::string qm_;
  std::vector<std::string> extra_qms_;
  std::deque<Child> children_;  // stable references
};

}  // namespace krsoap::test
