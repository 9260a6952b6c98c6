// Round trips per second of a SoapClient calling the Calculator's Add
// through the HttpConnector (one keep-alive connection) against a
// "krsoap serve-http" process, with the median and 99th percentile of one
// call. Runs in a throwaway data root; prints its figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "soaptoolkit.h"
#include "tests/soap_client/client_test_util.h"
#include "tests/support/register_module.h"

using namespace krsoap;

int main(int argc, char** argv) {
  int calls = argc > 1 ? std::atoi(argv[1]) : 5000;
  test::ScopedHome home;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  for (const char* m : {"libkrxml.so", "libkrsoap.so", "libkrcalculator.so"}) {
    if (!test::RegisterLibModule(m)) {
      std::fprintf(stderr, "cannot register %s\n", m);
      return 1;
    }
  }
  test::CalcServer server;
  if (!server.Start()) {
    std::fprintf(stderr, "serve-http did not start\n");
    return 1;
  }
  {
    ISoapClient* client = nullptr;
    if (FAILED(CoCreateInstance(CLSID_SoapClient, nullptr, CLSCTX_ALL, IID_ISoapClient,
                                reinterpret_cast<void**>(&client)))) {
      return 1;
    }
    BSTR wsdl = com::AllocBstrFromUtf8(test::CalcWsdl()), wsml = com::AllocBstrFromUtf8(test::CalcWsml());
    BSTR empty = com::AllocBstrFromUtf8(""), name = com::AllocBstrFromUtf8("EndPointURL");
    BSTR op = com::AllocBstrFromUtf8("Add");
    if (FAILED(client->Init(wsdl, empty, empty, wsml))) return 1;
    VARIANT url;
    VariantInit(&url);
    url.vt = VT_BSTR;
    url.bstrVal = com::AllocBstrFromUtf8(server.url());
    client->put_ConnectorProperty(name, url);
    VariantClear(&url);
    DISPID id = 0;
    LPOLESTR names[1] = {op};
    client->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    VARIANT args[2];
    for (auto& a : args) {
      VariantInit(&a);
      a.vt = VT_R8;
      a.dblVal = 2;
    }
    DISPPARAMS params{args, nullptr, 2, 0};
    std::vector<double> us;
    us.reserve(calls);
    auto call = [&] {
      VARIANT r;
      VariantInit(&r);
      HRESULT hr = client->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &r, nullptr, nullptr);
      bool ok = SUCCEEDED(hr) && r.vt == VT_R8 && r.dblVal == 4;
      VariantClear(&r);
      return ok;
    };
    for (int i = 0; i < 200; ++i) call();  // warm-up: connection, cached object
    auto start = std::chrono::steady_clock::now();
    int failed = 0;
    for (int i = 0; i < calls; ++i) {
      auto t0 = std::chrono::steady_clock::now();
      if (!call()) ++failed;
      us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::sort(us.begin(), us.end());
    std::printf("SoapClient Add via HttpConnector -> serve-http: %d calls, %.0f round trips/s, p50 %.1f us, "
                "p99 %.1f us, %d failed\n",
                calls, calls / secs, us[us.size() / 2], us[us.size() * 99 / 100], failed);
    client->Release();
    SysFreeString(wsdl);
    SysFreeString(wsml);
    SysFreeString(empty);
    SysFreeString(name);
    SysFreeString(op);
  }
  CoFreeUnusedLibraries();
  CoUninitialize();
  return 0;
}
