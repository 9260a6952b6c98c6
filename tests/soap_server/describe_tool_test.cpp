// "krsoap describe" and the command line every krsoap command shares, run as
// real processes: the example WSDL described from its file and as served by
// "krsoap serve-http" (and called from that URL with "krsoap call"), WSDLs
// that cannot be described, --version, an unknown option and --opt=value.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>

#include "tests/registry/child_process.h"
#include "tests/soap_server/serve_http_util.h"

namespace krsoap::test {
namespace {

class DescribeToolTest : public ServeHttpProcessTest {};

TEST_F(DescribeToolTest, DescribesAFileAndAServedWsdl) {
  ChildResult r = RunKrsoap({"describe", CalcWsdl()});
  ASSERT_EQ(0, r.exit_code) << r.err;
  for (const char* line : {"service Calculator\n", "  port CalculatorPort (document)\n",
                           "    address http://127.0.0.1:8080/calculator\n",
                           "    operation Add (document/literal)\n", "        in   a: xsd:double\n",
                           "             b: xsd:double\n", "        out  Result: xsd:double\n",
                           "    operation Echo (document/literal)\n", "        in   text: xsd:string\n"})
    EXPECT_NE(std::string::npos, r.out.find(line)) << line << " in:\n" << r.out;

  const int port = Start();
  ASSERT_NE(0, port);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/calculator?wsdl";
  r = RunKrsoap({"describe", url});
  ASSERT_EQ(0, r.exit_code) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("    address http://127.0.0.1:" + std::to_string(port) + "/calculator\n"))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("    operation Concat (document/literal)\n")) << r.out;
  // The served WSDL names the server's own address: call reaches it from the
  // URL alone, options given in the --opt=value form.
  r = RunKrsoap({"call", "--wsdl=" + url, "Add", "a=2", "b=3"});
  EXPECT_EQ(0, r.exit_code) << r.err;
  EXPECT_EQ("5\n", r.out);
  r = RunKrsoap({"describe", "http://127.0.0.1:" + std::to_string(port) + "/nothing-here"});
  EXPECT_EQ(1, r.exit_code);
  EXPECT_NE(std::string::npos, r.err.find("the server answered HTTP 404")) << r.err;
}

// Each refusal is one clear line on standard error and exit status 1; usage
// mistakes exit 2.
TEST_F(DescribeToolTest, RefusesWhatIsNotAWsdlAndBadUsage) {
  const std::string not_xml = home_.path() + "/not-xml.wsdl", not_wsdl = home_.path() + "/not-wsdl.xml";
  std::ofstream(not_xml) << "service Calculator, port 8080\n";
  std::ofstream(not_wsdl) << "<definitions xmlns='http://www.w3.org/ns/wsdl'/>\n";  // WSDL 2.0
  struct Case {
    std::string wsdl, says;
  } cases[] = {{home_.path() + "/none.wsdl", "cannot be opened"},
               {not_xml, "not well-formed XML"},
               {not_wsdl, "not wsdl:definitions of WSDL 1.1"},
               {"http://127.0.0.1:1/x.wsdl", "cannot fetch http://127.0.0.1:1/x.wsdl"}};
  for (const Case& c : cases) {
    ChildResult r = RunKrsoap({"describe", c.wsdl});
    EXPECT_EQ(1, r.exit_code) << c.wsdl;
    EXPECT_EQ("", r.out) << c.wsdl;
    EXPECT_NE(std::string::npos, r.err.find(c.says)) << c.wsdl << ": " << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << "said once: " << r.err;
  }

  for (const char* flag : {"--version", "-V"}) {
    ChildResult r = RunKrsoap({flag});
    EXPECT_EQ(0, r.exit_code) << flag;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("krsoap [0-9]+(\\.[0-9]+)+\n"))) << r.out;
  }
  ChildResult r = RunKrsoap({"describe", "--bogus", CalcWsdl()});
  EXPECT_EQ(2, r.exit_code);
  EXPECT_NE(std::string::npos, r.err.find("unexpected argument '--bogus'")) << r.err;
  r = RunKrsoap({"describe"});
  EXPECT_EQ(2, r.exit_code);
  r = RunKrsoap({"--bogus"});
  EXPECT_EQ(2, r.exit_code);
  r = RunKrsoap({"describe", "--help"});
  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ(0u, r.out.find("usage: krsoap describe")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Exit status: 0 done, 1 failed, 2 bad usage")) << r.out;
}

}  // namespace
}  // namespace krsoap::test
