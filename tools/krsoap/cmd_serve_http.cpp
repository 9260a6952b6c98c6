// "krsoap serve-http": serves a WSDL/WSML-described service over HTTP with
// the toolkit's SoapServer, for HTTP clients and as the baseline the queue
// transport is measured against.
//
// Every POST (any path) is one SOAP request: its body goes to SoapInvoke
// through a memory stream, the SOAPAction header as the SOAP action; the
// response is 200, or 500 when it is a SOAP fault. GET with "?wsdl" returns
// the WSDL file. Connections are kept alive; requests run on a pool of
// worker threads, each a member of the multithreaded apartment (the server
// creates the service's objects on them). SIGINT or SIGTERM stops the
// server.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/com.h"
#include "platform/com/hresult.h"
#include "platform/soap/buffer_stream.h"
#include "soaptoolkit.h"
#include "tools/krsoap/command.h"

// After the platform headers: the system headers it brings define macros
// (LOCK_WRITE, NOERROR) that name enumerators and codes there.
#include <httplib.h>

namespace krsoap::tool {
namespace {

constexpr char kUsage[] =
    "usage: krsoap serve-http --wsdl FILE --wsml FILE [--listen ADDR:PORT] [--threads N]\n\n"
    "Serves the operations of the WSDL file, mapped to objects by the WSML file,\n"
    "over HTTP: POST a SOAP 1.1 request (SOAPAction header optional), get the\n"
    "response (500 for a SOAP fault); GET ...?wsdl returns the WSDL.\n"
    "  --listen ADDR:PORT  address to listen on (default 127.0.0.1:8080; port 0\n"
    "                      picks a free one)\n"
    "  --threads N         worker threads, the most connections served at once\n"
    "                      (default 32)\n"
    "Prints \"listening on ADDR:PORT\" once ready; stops on SIGINT or SIGTERM.\n"
    "The service's classes and the toolkit must be registered (krsoap setup).\n";

// Worker threads in the multithreaded apartment. httplib hands each
// accepted connection to one task, which serves it until it closes.
class ApartmentPool final : public httplib::TaskQueue {
 public:
  explicit ApartmentPool(size_t threads) {
    for (size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
  }
  ~ApartmentPool() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      tasks_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) return;
      stopping_ = true;
    }
    cv_.notify_all();
    for (auto& t : workers_) t.join();
  }

 private:
  void Work() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    while (true) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) break;  // stopping, and nothing left
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
    CoUninitialize();
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

struct Options {
  std::string wsdl, wsml, host = "127.0.0.1";
  int port = 8080;
  size_t threads = 32;
};

bool ParseArgs(const std::vector<std::string>& args, Options* o) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "krsoap serve-http: %s needs a value\n", a.c_str());
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--wsdl") {
      if (!value(&o->wsdl)) return false;
    } else if (a == "--wsml") {
      if (!value(&o->wsml)) return false;
    } else if (a == "--listen") {
      if (!value(&v)) return false;
      size_t colon = v.rfind(':');
      char* end = nullptr;
      long port = colon == std::string::npos ? -1 : std::strtol(v.c_str() + colon + 1, &end, 10);
      if (colon == std::string::npos || colon == 0 || !end || *end || port < 0 || port > 65535) {
        std::fprintf(stderr, "krsoap serve-http: --listen wants ADDR:PORT, not '%s'\n", v.c_str());
        return false;
      }
      o->host = v.substr(0, colon);
      if (o->host.size() > 2 && o->host.front() == '[' && o->host.back() == ']') {
        o->host = o->host.substr(1, o->host.size() - 2);
      }
      o->port = static_cast<int>(port);
    } else if (a == "--threads") {
      if (!value(&v)) return false;
      char* end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (!end || *end || n < 1 || n > 1024) {
        std::fprintf(stderr, "krsoap serve-http: --threads wants 1 to 1024, not '%s'\n", v.c_str());
        return false;
      }
      o->threads = static_cast<size_t>(n);
    } else {
      std::fprintf(stderr, "krsoap serve-http: unexpected argument '%s'\n%s", a.c_str(), kUsage);
      return false;
    }
  }
  if (o->wsdl.empty() || o->wsml.empty()) {
    std::fprintf(stderr, "krsoap serve-http: --wsdl and --wsml are required\n%s", kUsage);
    return false;
  }
  return true;
}

std::string Describe(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  return std::string(code) + " (" + com::HResultMessage(hr) + ")";
}

int RunServeHttp(const std::vector<std::string>& args) {
  Options opt;
  if (!ParseArgs(args, &opt)) return 2;
  std::string wsdl_text;
  {
    std::ifstream in(opt.wsdl, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "krsoap serve-http: cannot read %s\n", opt.wsdl.c_str());
      return 1;
    }
    std::ostringstream s;
    s << in.rdbuf();
    wsdl_text = s.str();
  }

  // SIGINT and SIGTERM are taken by one thread with sigwait, so stopping
  // never runs inside a signal handler. Blocked before any thread starts,
  // so every thread inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    std::fprintf(stderr, "krsoap serve-http: cannot join the multithreaded apartment\n");
    return 1;
  }
  ISoapServer* server = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_SoapServer, nullptr, CLSCTX_SERVER, IID_ISoapServer,
                                reinterpret_cast<void**>(&server));
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap serve-http: cannot create the SoapServer: %s; is the toolkit registered (krsoap setup)?\n",
                 Describe(hr).c_str());
    CoUninitialize();
    return 1;
  }
  com::BstrPtr wsdl(com::AllocBstrFromUtf8(opt.wsdl)), wsml(com::AllocBstrFromUtf8(opt.wsml));
  hr = server->Init(wsdl.get(), wsml.get());
  if (FAILED(hr)) {
    com::BstrPtr why;
    server->get_errorDescription(why.Out());
    std::fprintf(stderr, "krsoap serve-http: Init failed: %s: %s\n", Describe(hr).c_str(), why.Utf8().c_str());
    server->Release();
    CoUninitialize();
    return 1;
  }

  httplib::Server http;
  const size_t threads = opt.threads;
  http.new_task_queue = [threads] { return new ApartmentPool(threads); };
  http.set_keep_alive_max_count(100000);
  http.set_keep_alive_timeout(30);
  // Responses go out in more than one write: without this, Nagle's
  // algorithm meets the client's delayed acknowledgement on every request.
  http.set_tcp_nodelay(true);
  http.set_payload_max_length(16u * 1024u * 1024u);  // the server refuses beyond 10 MB with a fault
  http.Post(".*", [server](const httplib::Request& req, httplib::Response& res) {
    soap::BufferStream* in = soap::BufferStream::Create(req.body);
    soap::BufferStream* out = soap::BufferStream::Create();
    if (!in || !out) {
      if (in) in->Release();
      if (out) out->Release();
      res.status = 503;
      return;
    }
    VARIANT request;
    VariantInit(&request);
    request.vt = VT_UNKNOWN;
    request.punkVal = static_cast<IStream*>(in);  // borrowed for the call
    com::BstrPtr action(com::AllocBstrFromUtf8(req.get_header_value("SOAPAction")));
    HRESULT hr = server->SoapInvoke(request, static_cast<IStream*>(out), action.get());
    std::string body = out->Take();
    in->Release();
    out->Release();
    if (FAILED(hr) || body.empty()) {
      res.status = 500;
      res.set_content("SoapInvoke failed: " + Describe(hr) + "\n", "text/plain");
      return;
    }
    // The server writes every fault as Body's first child, with its own
    // prefix: the literal is unambiguous.
    res.status = body.find("<SOAP-ENV:Body><SOAP-ENV:Fault>") != std::string::npos ? 500 : 200;
    res.set_content(std::move(body), "text/xml; charset=utf-8");
  });
  http.Get(".*", [&wsdl_text](const httplib::Request& req, httplib::Response& res) {
    if (req.has_param("wsdl") || req.has_param("WSDL")) {
      res.set_content(wsdl_text, "text/xml; charset=utf-8");
    } else {
      res.status = 404;
      res.set_content("GET ?wsdl for the service description; POST SOAP requests\n", "text/plain");
    }
  });

  int port = opt.port;
  bool bound = port == 0 ? (port = http.bind_to_any_port(opt.host)) > 0 : http.bind_to_port(opt.host, port);
  if (!bound) {
    std::fprintf(stderr, "krsoap serve-http: cannot listen on %s:%d: %s\n", opt.host.c_str(), opt.port,
                 std::strerror(errno));
    server->Release();
    CoUninitialize();
    return 1;
  }
  std::atomic<bool> signalled{false};
  std::thread stopper([&http, &stop_signals, &signalled] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    signalled = true;
    http.stop();
  });
  std::printf("listening on %s:%d\n", opt.host.c_str(), port);
  std::fflush(stdout);
  http.listen_after_bind();
  // Ended without a signal (the socket failed): wake the stopper. The
  // signal stays pending until its sigwait takes it.
  if (!signalled) pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  server->Release();
  CoUninitialize();
  return 0;
}

}  // namespace

KRSOAP_COMMAND(Command{"serve-http", "serve a WSDL/WSML service over HTTP with the SOAP toolkit's server", kUsage,
                       RunServeHttp});

}  // namespace krsoap::tool
