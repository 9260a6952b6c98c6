// The host process of the cross-process tests: creates real halvex objects
// (a monitor, a request handler, an invoker and the inert trigger) and, when
// the probe module is registered, a probe object, publishes them on an
// ObjectServer at the socket path it is given, prints "ready" and serves
// until its standard input closes (or it is killed, which some tests do on
// purpose).
//
//   com_rpc_host SOCKET [NAME=PROGID...]
//
// With --block it is a client instead: it connects to the probe published as
// NAME at SOCKET and calls Block(MS) (tests kill it during that call).
//
//   com_rpc_host --block SOCKET NAME MS
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/com/activation.h"
#include "probe.h"
#include "platform/com/rpc/rpc.h"
#include "platform/text/convert.h"

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--block") {
    IRpcProbe* probe = nullptr;
    HRESULT hr = krsoap::com::rpc::ConnectToObject(argv[2], argv[3], IID_IRpcProbe, reinterpret_cast<void**>(&probe));
    if (FAILED(hr)) return 6;
    std::printf("ready\n");
    std::fflush(stdout);
    hr = probe->Block(std::atoi(argv[4]));
    probe->Release();
    return SUCCEEDED(hr) ? 0 : 7;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: com_rpc_host SOCKET [NAME=PROGID...]\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
  std::unique_ptr<krsoap::com::rpc::ObjectServer> server;
  HRESULT hr = krsoap::com::rpc::ObjectServer::Listen(argv[1], &server);
  if (FAILED(hr)) {
    std::printf("listen failed 0x%08X\n", static_cast<unsigned>(hr));
    std::fflush(stdout);
    return 4;
  }
  for (int i = 2; i < argc; ++i) {
    std::string spec = argv[i];
    size_t eq = spec.find('=');
    if (eq == std::string::npos) return 2;
    std::u16string progid = krsoap::platform::Utf8ToUtf16(spec.substr(eq + 1));
    CLSID clsid{};
    IUnknown* object = nullptr;
    hr = CLSIDFromString(progid.c_str(), &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&object));
    if (SUCCEEDED(hr)) hr = server->Publish(spec.substr(0, eq), object);
    if (object) object->Release();
    if (FAILED(hr)) {
      std::printf("publish %s failed 0x%08X\n", spec.c_str(), static_cast<unsigned>(hr));
      std::fflush(stdout);
      return 5;
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char buffer[256];
  while (read(0, buffer, sizeof buffer) > 0) {
  }
  server->Close();
  server.reset();
  CoUninitialize();
  return 0;
}
