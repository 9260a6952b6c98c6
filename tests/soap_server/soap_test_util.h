// Shared by the SOAP server tests: a fixture that registers the toolkit, the
// DOM, the example Calculator and the test component in a throwaway data
// root, and helpers that run SoapInvoke over memory streams and pick the
// interesting parts out of a response.
#pragma once

#include <cctype>
#include <string>

#include "platform/soap/buffer_stream.h"
#include "soaptoolkit.h"
#include "tests/xml/toolkit_test_util.h"

namespace krsoap::test {

inline std::string SourcePath(const std::string& rel) { return std::string(KRSOAP_SOURCE_DIR) + "/" + rel; }
inline std::string CalcWsdl() { return SourcePath("examples/calculator/Calculator.wsdl"); }
inline std::string CalcWsml() { return SourcePath("examples/calculator/Calculator.wsml"); }
inline std::string DataPath(const std::string& name) { return SourcePath("tests/soap_server/data/" + name); }

inline constexpr char kEnvOpen[] =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>";
inline constexpr char kEnvClose[] = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

inline std::string Envelope(const std::string& body) { return kEnvOpen + body + kEnvClose; }

// A document/literal Calculator request.
inline std::string CalcRequest(const std::string& op, const std::string& params) {
  return Envelope("<c:" + op + " xmlns:c=\"urn:krsoap-calculator\">" + params + "</c:" + op + ">");
}

class SoapTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    for (const char* m : {"libkrxml.so", "libkrsoap.so", "libkrcalculator.so", "libkrtestcomp.so"}) {
      ASSERT_EQ(S_OK, RegisterModule(m)) << m;
    }
  }

  static HRESULT NewServer(Ptr<ISoapServer>* out) {
    return CoCreateInstance(CLSID_SoapServer, nullptr, CLSCTX_SERVER, IID_ISoapServer, out->OutVoid());
  }
  // A server initialised with the given files (asserts that Init works).
  static void Server(const std::string& wsdl, const std::string& wsml, Ptr<ISoapServer>* out) {
    ASSERT_EQ(S_OK, NewServer(out));
    Bstr w(wsdl), m(wsml);
    HRESULT hr = (*out)->Init(w.get(), m.get());
    Bstr why;
    (*out)->get_errorDescription(why.Out());
    ASSERT_EQ(S_OK, hr) << why.Utf8();
  }

  // Runs one request through SoapInvoke over memory streams.
  static std::string Invoke(ISoapServer* server, const std::string& request, const char* action = "",
                            HRESULT* result = nullptr) {
    soap::BufferStream* in = soap::BufferStream::Create(request);
    soap::BufferStream* out = soap::BufferStream::Create();
    VARIANT v = Unknown(static_cast<IStream*>(in));
    Bstr a(action);
    HRESULT hr = server->SoapInvoke(v, static_cast<IStream*>(out), a.get());
    if (result) *result = hr;
    EXPECT_EQ(0u, in->Unread().size()) << "the request was not read to its end";
    std::string response = out->Take();
    in->Release();
    out->Release();
    return response;
  }
};

// The text of the first element whose qualified name ends with `name`.
// Scanned by hand rather than with std::regex: several test threads compiling
// patterns at once trip the thread sanitizer over the standard library's
// shared locale cache.
inline std::string ElementText(const std::string& xml, const std::string& name) {
  auto name_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-';
  };
  for (size_t lt = xml.find('<'); lt != std::string::npos; lt = xml.find('<', lt + 1)) {
    size_t start = lt + 1;
    size_t q = start;
    while (q < xml.size() && name_char(xml[q])) ++q;
    if (q > start && q < xml.size() && xml[q] == ':') start = q + 1;  // a prefix
    if (xml.compare(start, name.size(), name) != 0) continue;
    const size_t after = start + name.size();
    if (after >= xml.size()) break;
    if (xml[after] != '>' && !std::isspace(static_cast<unsigned char>(xml[after]))) continue;
    const size_t gt = xml.find('>', after);
    if (gt == std::string::npos) break;
    const size_t end = xml.find('<', gt + 1);
    if (end == std::string::npos) break;
    if (xml.compare(end, 2, "</") != 0) continue;
    return xml.substr(gt + 1, end - gt - 1);
  }
  return "<missing " + name + ">";
}
inline std::string FaultCode(const std::string& xml) { return ElementText(xml, "faultcode"); }
inline std::string FaultString(const std::string& xml) { return ElementText(xml, "faultstring"); }

inline bool EndsWithEnvelope(const std::string& xml) {
  static const std::string end = "</SOAP-ENV:Envelope>";
  return xml.size() >= end.size() && xml.compare(xml.size() - end.size(), end.size(), end) == 0;
}

}  // namespace krsoap::test
