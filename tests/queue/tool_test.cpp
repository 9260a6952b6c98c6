// "krsoap qm" end to end: the tool run as a separate process against a
// throwaway data root, as an administrator would use it.
#include <gtest/gtest.h>

#include <string>

#include "tests/queue/store_list.h"
#include "tests/support/test_home.h"

namespace krsoap::test {
namespace {

std::string Tool() { return BinDir() + "/krsoap"; }

int Qm(const std::vector<std::string>& args, std::string* out = nullptr, const std::string& input = "") {
  std::vector<std::string> argv{Tool(), "qm"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, out, input);
}

TEST(QmTool, AdministersQueueManagersQueuesAndMessages) {
  ScopedHome home;
  std::string out;
  ASSERT_EQ(RunProgram({Tool(), "setup"}, &out), 0) << out;
  ASSERT_EQ(RunProgram({Tool(), "setup"}, &out), 0) << "setup runs again";
  ASSERT_EQ(Qm({"list"}, &out), 0);
  EXPECT_NE(out.find("KRSOAP.QM"), std::string::npos);
  EXPECT_NE(out.find("default"), std::string::npos);

  ASSERT_EQ(Qm({"create", "OTHER.QM"}, &out), 0);
  EXPECT_EQ(Qm({"create", "OTHER.QM"}, &out), 1) << "exists already";
  ASSERT_EQ(Qm({"define", "-", "APP.Q", "--max-depth", "10", "--persistent", "no"}), 0);
  EXPECT_EQ(Qm({"define", "-", "APP.Q"}), 1);
  ASSERT_EQ(Qm({"put", "", "APP.Q", "--type", "request", "--reply-to", "R.Q", "--reply-to-qm", "OTHER.QM",
                "--format", "KRSTR", "--correl-id", "0A0B"},
               &out, "hello body"),
            0);
  ASSERT_EQ(out.size(), 49u) << "a 48-digit message id and a newline";
  const std::string msg_id = out.substr(0, 48);
  ASSERT_EQ(Qm({"define", "-", "BO.Q", "--backout-queue", "APP.Q.DEAD", "--backout-threshold", "3"}), 0);
  EXPECT_EQ(Qm({"define", "-", "BO2.Q", "--backout-queue", "bad name"}), 1);
  ASSERT_EQ(Qm({"queues", "-"}, &out), 0);
  EXPECT_NE(out.find("APP.Q"), std::string::npos);
  EXPECT_NE(out.find("        3 APP.Q.DEAD\n"), std::string::npos) << out;
  EXPECT_NE(out.find("SYSTEM.DEFAULT.MODEL.QUEUE"), std::string::npos);

  ASSERT_EQ(Qm({"get", "-", "APP.Q", "--browse"}, &out), 0);
  EXPECT_NE(out.find("hello body"), std::string::npos);
  EXPECT_EQ(Qm({"get", "-", "APP.Q", "--correl-id", "FF"}, &out), 1) << "no such correlation id";
  ASSERT_EQ(Qm({"get", "-", "APP.Q", "--correl-id", "0A0B"}, &out), 0);
  EXPECT_NE(out.find("MsgId:       " + msg_id), std::string::npos);
  EXPECT_NE(out.find("MsgType:     1 (request)"), std::string::npos);
  EXPECT_NE(out.find("ReplyToQ:    R.Q"), std::string::npos);
  EXPECT_NE(out.find("ReplyToQMgr: OTHER.QM"), std::string::npos);
  EXPECT_NE(out.find("Format:      KRSTR   "), std::string::npos);
  EXPECT_NE(out.find("BackoutCount: 0"), std::string::npos);
  EXPECT_NE(out.find("hello body"), std::string::npos);
  EXPECT_EQ(Qm({"get", "-", "APP.Q", "--wait", "10"}, &out), 1) << "taken";

  // A help flag right after an option is that option's value; elsewhere it
  // asks for the usage.
  ASSERT_EQ(Qm({"put", "-", "APP.Q", "--format", "-h"}, &out, "x"), 0);
  EXPECT_EQ(out.size(), 49u) << out;
  ASSERT_EQ(Qm({"queues", "-", "--help"}, &out), 0);
  EXPECT_EQ(out.find("usage: krsoap qm"), 0u) << out;

  ASSERT_EQ(Qm({"put", "-", "APP.Q"}, &out, "x"), 0);
  ASSERT_EQ(Qm({"clear", "-", "APP.Q"}, &out), 0);
  EXPECT_EQ(Qm({"get", "-", "APP.Q"}, &out), 1);
  ASSERT_EQ(Qm({"undefine", "-", "APP.Q"}, &out), 0);
  EXPECT_EQ(Qm({"put", "-", "APP.Q"}, &out, "x"), 1);

  ASSERT_EQ(Qm({"delete", "OTHER.QM"}, &out), 0);
  ASSERT_EQ(Qm({"list"}, &out), 0);
  EXPECT_EQ(out.find("OTHER.QM"), std::string::npos);
}

TEST(QmTool, NamesOf48BytesWorkAnd49AreRefused) {
  ScopedHome home;
  const std::string n48(48, 'N'), n49(49, 'N');
  std::string out;
  EXPECT_EQ(Qm({"create", n49}, &out), 1);
  ASSERT_EQ(Qm({"create", n48, "--default"}, &out), 0);
  EXPECT_EQ(Qm({"define", n48, std::string(49, 'Q')}, &out), 1);
  ASSERT_EQ(Qm({"define", n48, std::string(48, 'Q')}, &out), 0);
  ASSERT_EQ(Qm({"put", n48, std::string(48, 'Q')}, &out, "b"), 0);
  ASSERT_EQ(Qm({"get", "-", std::string(48, 'Q')}, &out), 0) << "the default is the 48-byte one";
  EXPECT_EQ(Qm({"create", "bad/name"}, &out), 1);
  EXPECT_EQ(Qm({"create", ".."}, &out), 1);
  EXPECT_EQ(Qm({"bogus"}, &out), 2);
  EXPECT_EQ(Qm({"define", "-"}, &out), 2);
}

}  // namespace
}  // namespace krsoap::test
