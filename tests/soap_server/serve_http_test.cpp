// "krsoap serve-http" as a real process: a POST answered with the result, a
// fault with 500, the WSDL on GET ?wsdl (its address naming the port it was
// fetched from), keep-alive, and a python3-zeep client that reads the WSDL
// from the server and calls it (skipped where zeep is not installed).
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "tests/soap_server/serve_http_util.h"

// After the platform headers: the system headers it brings define macros
// (LOCK_WRITE, NOERROR) that name enumerators and codes there.
#include <httplib.h>

namespace krsoap::test {
namespace {

class ServeHttpTest : public ServeHttpProcessTest {
 protected:
  void SetUp() override {
    ServeHttpProcessTest::SetUp();
    port_ = Start({"--threads", "8"});
    ASSERT_NE(0, port_) << "serve-http did not start";
  }

  int port_ = 0;
};

TEST_F(ServeHttpTest, AnswersPostsFaultsAndWsdl) {
  httplib::Client client("127.0.0.1", port_);
  client.set_keep_alive(true);
  httplib::Headers headers = {{"SOAPAction", "\"urn:krsoap-calculator#Add\""}};
  for (int i = 0; i < 3; ++i) {  // one kept-alive connection
    auto res = client.Post("/calculator", headers, CalcRequest("Add", "<c:a>2</c:a><c:b>3</c:b>"), "text/xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(200, res->status);
    EXPECT_EQ("5", ElementText(res->body, "Result"));
    EXPECT_EQ("text/xml; charset=utf-8", res->get_header_value("Content-Type"));
  }
  auto fault = client.Post("/calculator", CalcRequest("Divide", "<c:a>1</c:a><c:b>0</c:b>"), "text/xml");
  ASSERT_TRUE(fault);
  EXPECT_EQ(500, fault->status);
  EXPECT_EQ("Division by zero: the divisor b must not be 0", FaultString(fault->body));
  auto garbage = client.Post("/calculator", "not xml", "text/xml");
  ASSERT_TRUE(garbage);
  EXPECT_EQ(500, garbage->status);
  EXPECT_EQ("SOAP-ENV:Client", FaultCode(garbage->body));

  auto wsdl = client.Get("/calculator?wsdl");
  ASSERT_TRUE(wsdl);
  EXPECT_EQ(200, wsdl->status);
  std::ifstream in(CalcWsdl(), std::ios::binary);
  std::string expected((std::istreambuf_iterator<char>(in)), {});
  size_t at = expected.find("127.0.0.1:8080");
  ASSERT_NE(std::string::npos, at);
  expected.replace(at, 14, "127.0.0.1:" + std::to_string(port_));
  EXPECT_EQ(expected, wsdl->body);
  auto other = client.Get("/calculator");
  ASSERT_TRUE(other);
  EXPECT_EQ(404, other->status);
}

TEST_F(ServeHttpTest, ZeepClientInteroperates) {
  // Debian's own interpreter, where the python3-zeep package installs.
  const std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  if (std::system((python + " -c 'import zeep' >/dev/null 2>&1").c_str()) != 0) {
    GTEST_SKIP() << "python3-zeep is not installed";
  }
  // zeep reads the WSDL from the server, which points it at itself.
  const std::string wsdl_url = "http://127.0.0.1:" + std::to_string(port_) + "/calculator?wsdl";
  std::string script = home_.path() + "/client.py";
  std::ofstream(script) << "import sys, zeep\n"
                           "c = zeep.Client(sys.argv[1])\n"
                           "s = c.service\n"
                           "out = [s.Add(a=2, b=3), s.Subtract(a=2, b=3), s.Multiply(a=2, b=3), s.Divide(a=3, b=2),\n"
                           "       s.Echo(text='h\\u00e9 <&>'), s.Concat(a='x', b='y')]\n"
                           "try:\n"
                           "    s.Divide(a=1, b=0)\n"
                           "    out.append('no fault')\n"
                           "except zeep.exceptions.Fault as f:\n"
                           "    out.append(f.message)\n"
                           "print('|'.join(str(o) for o in out))\n";
  std::string output = home_.path() + "/zeep.out";
  std::string cmd = python + " " + script + " '" + wsdl_url + "' > " + output + " 2>&1";
  int rc = std::system(cmd.c_str());
  std::ifstream in(output);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(0, rc) << text;
  EXPECT_EQ("5.0|-1.0|6.0|1.5|h\xC3\xA9 <&>|xy|Division by zero: the divisor b must not be 0\n", text);
}

}  // namespace
}  // namespace krsoap::test
