// Interoperability with SOAP stacks written by others: zeep (Python) calling
// "krsoap serve-http", "krsoap call" calling PHP's SoapServer, and requests
// built by zeep served by SoapServer.SoapInvoke over memory streams. Each
// test is skipped, saying which package is missing, when its stack is not
// installed (scripts/install-deps.sh installs them).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/soap/buffer_stream.h"
#include "soaptoolkit.h"
#include "tests/soap_client/client_test_util.h"
#include "tests/xml/toolkit_test_util.h"

namespace krsoap::test {
namespace {

constexpr char kPython[] = "/usr/bin/python3";

std::string DataFile(const std::string& name) { return SourcePath("tests/soap_client/data/" + name); }

// Runs a program to its end; its exit status, output in `out`.
int RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err = nullptr) {
  Child c;
  if (!c.Start(argv)) return -2;
  std::string e;
  int rc = c.Wait(120000, out, &e);
  if (err) *err = e;
  return rc;
}

bool HaveZeep() {
  std::string out;
  return RunProgram({kPython, "-c", "import zeep, lxml"}, &out) == 0;
}
bool HavePhpSoap() {
  std::string out;
  return RunProgram({"php", "-r", "exit(class_exists('SoapServer') ? 0 : 1);"}, &out) == 0;
}

class InteropTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    PinModulesWithThreadLocals();
    for (const char* m : {"libkrxml.so", "libkrsoap.so", "libkrcalculator.so"}) {
      ASSERT_EQ(S_OK, RegisterModule(m)) << m;
    }
  }
};

TEST_F(InteropTest, ZeepCallsServeHttp) {
  if (!HaveZeep()) GTEST_SKIP() << "python3-zeep is not installed (scripts/install-deps.sh installs it)";
  CalcServer server;
  ASSERT_TRUE(server.Start());
  std::string out, err;
  ASSERT_EQ(0, RunProgram({kPython, DataFile("zeep_client.py"), CalcWsdl(), server.url()}, &out, &err)) << err;
  EXPECT_NE(std::string::npos, out.find("Add=5.0\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Subtract=-1.5\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Multiply=-10.0\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Divide=3.5\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Echo=a <b> & \xC3\xA9\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Concat=foobar\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Divide!Division by zero")) << out;
}

TEST_F(InteropTest, ZeepRequestsServedBySoapInvoke) {
  if (!HaveZeep()) GTEST_SKIP() << "python3-zeep is not installed (scripts/install-deps.sh installs it)";
  std::string out, err;
  ASSERT_EQ(0, RunProgram({kPython, DataFile("zeep_messages.py"), CalcWsdl()}, &out, &err)) << err;
  Ptr<ISoapServer> server;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SoapServer, nullptr, CLSCTX_ALL, IID_ISoapServer, server.OutVoid()));
  Bstr wsdl(CalcWsdl()), wsml(CalcWsml());
  ASSERT_EQ(S_OK, server->Init(wsdl.get(), wsml.get()));
  const std::vector<std::pair<std::string, std::string>> want = {
      {"Add", ">5<"}, {"Subtract", ">-1.5<"}, {"Multiply", ">-10<"},
      {"Divide", ">3.5<"}, {"Echo", ">x &amp; y<"}, {"Concat", ">foobar<"}};
  std::istringstream lines(out);
  std::string line;
  size_t seen = 0;
  while (std::getline(lines, line)) {
    size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
    ASSERT_NE(std::string::npos, t2) << line;
    std::string op = line.substr(0, t1), action = line.substr(t1 + 1, t2 - t1 - 1), envelope = line.substr(t2 + 1);
    for (const std::string& act : {action, std::string()}) {  // by SOAP action, and by the Body alone
      soap::BufferStream* in = soap::BufferStream::Create(envelope);
      soap::BufferStream* resp = soap::BufferStream::Create();
      VARIANT v = Unknown(static_cast<IStream*>(in));
      Bstr a(act);
      EXPECT_EQ(S_OK, server->SoapInvoke(v, static_cast<IStream*>(resp), a.get())) << op;
      std::string text = resp->Take();
      in->Release();
      resp->Release();
      EXPECT_EQ(std::string::npos, text.find("Fault")) << op << ": " << text;
      for (const auto& [name, result] : want) {
        if (name == op) {
          EXPECT_NE(std::string::npos, text.find(result)) << op << ": " << text;
        }
      }
    }
    ++seen;
  }
  EXPECT_EQ(want.size(), seen);
}

TEST_F(InteropTest, KrsoapCallCallsPhpSoapServer) {
  if (!HavePhpSoap()) GTEST_SKIP() << "php-cli and php-soap are not installed (scripts/install-deps.sh installs them)";
  int port = ClosedPort();
  setenv("CALC_WSDL", CalcWsdl().c_str(), 1);
  Child php;
  ASSERT_TRUE(php.Start({"php", "-S", "127.0.0.1:" + std::to_string(port), DataFile("calculator.php")}));
  // Wait until it accepts connections.
  bool up = false;
  for (int i = 0; i < 200 && !up; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (!up) usleep(50000);
  }
  ASSERT_TRUE(up) << "php -S did not start";
  std::string url = "EndPointURL=http://127.0.0.1:" + std::to_string(port) + "/calculator";
  auto call = [&](std::vector<std::string> more, std::string* out, std::string* err) {
    std::vector<std::string> a = {BinDir() + "/krsoap", "call", "--wsdl", CalcWsdl(), "--property", url};
    a.insert(a.end(), more.begin(), more.end());
    return RunProgram(a, out, err);
  };
  std::string out, err;
  EXPECT_EQ(0, call({"Add", "a=2", "b=3"}, &out, &err)) << err;
  EXPECT_EQ("5\n", out);
  EXPECT_EQ(0, call({"Subtract", "a=2", "b=3.5"}, &out, &err)) << err;
  EXPECT_EQ("-1.5\n", out);
  EXPECT_EQ(0, call({"Multiply", "a=-4", "b=2.5"}, &out, &err)) << err;
  EXPECT_EQ("-10\n", out);
  EXPECT_EQ(0, call({"Divide", "a=7", "b=2"}, &out, &err)) << err;
  EXPECT_EQ("3.5\n", out);
  EXPECT_EQ(0, call({"Echo", "text=a <b> & \xC3\xA9"}, &out, &err)) << err;
  EXPECT_EQ("a <b> & \xC3\xA9\n", out);
  EXPECT_EQ(0, call({"Concat", "a=foo", "b=bar"}, &out, &err)) << err;
  EXPECT_EQ("foobar\n", out);
  EXPECT_EQ(1, call({"Divide", "a=1", "b=0"}, &out, &err));
  EXPECT_NE(std::string::npos, err.find("fault:")) << err;
  EXPECT_NE(std::string::npos, err.find("Division by zero (php)")) << err;
}

}  // namespace
}  // namespace krsoap::test
