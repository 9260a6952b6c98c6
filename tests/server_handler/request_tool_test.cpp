// "krsoap qm request" as a separate process, answered by a KRSoapHandler in
// this process: the request arrives as the client connector sends it, and
// the tool prints the correlated reply.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/server_handler/handler_test_util.h"

namespace krsoap::test {
namespace {

// Runs a shell command, returning its exit status and standard output.
int RunShell(const std::string& command, std::string* out) {
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(HandlerTest, RequestToolSendsLikeTheClientAndPrintsTheCorrelatedReply) {
  const std::string request = Envelope("urn:tool#Op");
  const std::string file = home_.path() + "/request.xml";
  std::ofstream(file, std::ios::binary) << request;
  std::string out;
  int status = -1;
  std::thread requester([&] {
    status = RunShell(BinDir() + "/krsoap qm request " + qm_ + " REQUEST --wait 20000 < " + file, &out);
  });
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  EXPECT_EQ("urn:tool#Op", Action(h.get()));  // waits for the tool's put
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  EXPECT_EQ(request, ReadAll(s.get()));
  EXPECT_EQ(S_OK, WriteText(s.get(), Response("tool")));
  requester.join();
  EXPECT_EQ(0, status);
  EXPECT_EQ(Response("tool") + "\n", out);

  // No answer within the wait: exit status 1, reason 2033 on standard error.
  std::string none;
  EXPECT_EQ(1, RunShell(BinDir() + "/krsoap qm request " + qm_ + " REQUEST --wait 50 < " + file + " 2>&1", &none));
  EXPECT_NE(std::string::npos, none.find("2033")) << none;
  EXPECT_EQ(2, RunShell(BinDir() + "/krsoap qm request " + qm_ + " 2>/dev/null", &none));
}

// An empty envelope is refused (exit status 2) and nothing is put: the
// handler's first request is the next one. A reply that is a SOAP fault is
// printed like any reply, with exit status 1.
TEST_F(HandlerTest, RequestToolRefusesAnEmptyEnvelopeAndFailsOnAFault) {
  const std::string tool = BinDir() + "/krsoap qm request " + qm_ + " REQUEST --wait 20000";
  std::string none;
  EXPECT_EQ(2, RunShell("printf ' \\n' | " + tool + " 2>/dev/null", &none));
  EXPECT_EQ("", none);

  const std::string file = home_.path() + "/request.xml";
  std::ofstream(file, std::ios::binary) << Envelope("urn:tool#Fault");
  const std::string fault =
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>\n"
      "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>no</faultstring></SOAP-ENV:Fault>"
      "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  std::string out;
  int status = -1;
  std::thread requester([&] { status = RunShell(tool + " < " + file, &out); });
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  EXPECT_EQ("urn:tool#Fault", Action(h.get()));
  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  EXPECT_EQ(S_OK, WriteText(s.get(), fault));
  requester.join();
  EXPECT_EQ(1, status);
  EXPECT_EQ(fault + "\n", out);
}

}  // namespace
}  // namespace krsoap::test
