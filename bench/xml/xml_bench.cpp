// Prints the cost of DOMDocument.load of a 2 kB envelope (goal: at most
// 10 µs), from a byte array and from a stream, and of load followed by the
// prefix:SoapAction search and its text, through real COM activation of
// libkrxml registered in a throwaway data root.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/com.h"
#include "platform/com/server_loader.h"
#include "platform/com/stream.h"
#include "platform/text/convert.h"
#include "platform/xml/xml_parse.h"
#include "tests/support/test_home.h"
#include "xmldom.h"

namespace {

std::string Envelope() {
  std::string body;
  int i = 0;
  while (body.size() < 1700) {
    body += "<item" + std::to_string(i) + " xsi:type=\"xsd:string\">value number " + std::to_string(i) + "</item" +
            std::to_string(i) + ">";
    ++i;
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">"
         "<SOAP-ENV:Header><SOAP-ENV:SoapAction>urn:calc#Add</SOAP-ENV:SoapAction></SOAP-ENV:Header>"
         "<SOAP-ENV:Body><m:Add xmlns:m=\"urn:calc\">" +
         body + "</m:Add></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

// A stream over fixed bytes that can be rewound: reads consume.
class BytesStream final : public IStream {
 public:
  explicit BytesStream(const std::string& d) : data_(d) {}
  void Rewind() { pos_ = 0; }
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IStream) || IsEqualIID(iid, IID_ISequentialStream)) {
      *ppv = static_cast<IStream*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT Read(void* pv, ULONG cb, ULONG* read) override {
    size_t n = std::min<size_t>(cb, data_.size() - pos_);
    std::memcpy(pv, data_.data() + pos_, n);
    pos_ += n;
    *read = static_cast<ULONG>(n);
    return n < cb ? S_FALSE : S_OK;
  }
  HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT Clone(IStream**) override { return E_NOTIMPL; }

 private:
  std::string data_;
  size_t pos_ = 0;
};

double ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// Wall time and this thread's CPU time per call (the CPU figure is the one
// that holds on a machine shared with other work), median and best of five
// rounds.
template <class F>
void Measure(const char* what, int iterations, F&& f) {
  std::vector<double> wall, cpu;
  for (int round = 0; round < 5; ++round) {
    auto start = std::chrono::steady_clock::now();
    double cpu_start = ThreadCpuNs();
    for (int i = 0; i < iterations; ++i) f();
    cpu.push_back((ThreadCpuNs() - cpu_start) / iterations / 1000.0);
    auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    wall.push_back(ns / iterations / 1000.0);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("%-50s wall median %7.2f us best %7.2f | cpu median %7.2f us best %7.2f\n", what, wall[2], wall[0],
              cpu[2], cpu[0]);
}

}  // namespace

int main() {
  krsoap::test::ScopedHome home;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    krsoap::com::ServerModule module;
    std::string path = krsoap::test::LibDir() + "/libkrxml.so";
    if (FAILED(krsoap::com::LoadServerModule(krsoap::platform::Utf8ToUtf16(path), &module))) {
      std::fprintf(stderr, "cannot load %s\n", path.c_str());
      return 1;
    }
    auto reg = reinterpret_cast<HRESULT (*)()>(module.Symbol("DllRegisterServer"));
    if (!reg || FAILED(reg())) {
      std::fprintf(stderr, "cannot register %s\n", path.c_str());
      return 1;
    }
  }
  IXMLDOMDocument* doc = nullptr;
  if (FAILED(CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument,
                              reinterpret_cast<void**>(&doc)))) {
    std::fprintf(stderr, "cannot create DOMDocument\n");
    return 1;
  }
  const std::string text = Envelope();
  std::printf("envelope: %zu bytes; goal for a load: <= 10 us\n", text.size());

  VARIANT bytes;
  VariantInit(&bytes);
  bytes.vt = VT_ARRAY | VT_UI1;
  bytes.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(text.size()));
  void* data = nullptr;
  SafeArrayAccessData(bytes.parray, &data);
  std::memcpy(data, text.data(), text.size());
  SafeArrayUnaccessData(bytes.parray);

  // The floor: libxml2 parsing the same bytes with our settings, no COM.
  Measure("parse only (libxml2, safe settings, no DOM object)", 20000, [&] {
    krsoap::xml::ParseError error;
    bool decl = false;
    xmlFreeDoc(krsoap::xml::ParseDocument(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &error, &decl));
  });

  VARIANT_BOOL ok = VARIANT_FALSE;
  Measure("load from a byte array", 20000, [&] { doc->load(bytes, &ok); });
  if (ok != VARIANT_TRUE) {
    std::fprintf(stderr, "the envelope did not load\n");
    return 1;
  }

  BytesStream stream(text);
  VARIANT from_stream;
  VariantInit(&from_stream);
  from_stream.vt = VT_UNKNOWN;
  from_stream.punkVal = &stream;
  Measure("load from a stream", 20000, [&] {
    stream.Rewind();
    doc->load(from_stream, &ok);
  });

  BSTR tag = SysAllocString(u"SOAP-ENV:SoapAction");
  Measure("load + getElementsByTagName + text of the first", 20000, [&] {
    doc->load(bytes, &ok);
    IXMLDOMNodeList* list = nullptr;
    doc->getElementsByTagName(tag, &list);
    IXMLDOMNode* first = nullptr;
    list->nextNode(&first);
    BSTR value = nullptr;
    first->get_text(&value);
    SysFreeString(value);
    first->Release();
    list->Release();
  });
  SysFreeString(tag);
  VariantClear(&bytes);
  doc->Release();
  CoUninitialize();
  return 0;
}
