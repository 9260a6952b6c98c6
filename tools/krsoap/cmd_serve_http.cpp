// "krsoap serve-http": serves a WSDL/WSML-described service over HTTP with
// the toolkit's SoapServer, for HTTP clients and as the baseline the queue
// transport is measured against.
//
// Every POST (any path) is one SOAP request: its body goes to SoapInvoke
// through a memory stream, the SOAPAction header as the SOAP action; the
// response is 200, or 500 when it is a SOAP fault. GET with "?wsdl" returns
// the WSDL, its port addresses naming this server; GET /metrics the POSTs'
// counts and durations in the Prometheus text format (krsoap_http_*), GET
// /health "ok". SIGINT or SIGTERM stops the server.
//
// Connections belong to the front end (http_front.h), which reads each
// request whole, within its limits and deadlines, on one thread. A complete
// request goes to a pool of worker threads, each a member of the
// multithreaded apartment (the server creates the service's objects on
// them), where cpp-httplib's request processing routes it and writes the
// response into memory for the front end to send.
#include <CLI/CLI.hpp>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/com.h"
#include "platform/com/hresult.h"
#include "platform/soap/buffer_stream.h"
#include "soaptoolkit.h"
#include "tools/krsoap/command.h"
#include "server/request_counters.h"
#include "tools/krsoap/host_metrics.h"
#include "tools/krsoap/http_front.h"

// After the platform headers: the system headers it brings define macros
// (LOCK_WRITE, NOERROR) that name enumerators and codes there.
#include <httplib.h>

namespace krsoap::tool {
namespace {

constexpr char kAbout[] =
    "Serves the operations of the WSDL file, mapped to objects by the WSML file,\n"
    "over HTTP: POST a SOAP 1.1 request (SOAPAction header optional), get the\n"
    "response (500 for a SOAP fault); GET ...?wsdl returns the WSDL, its http:\n"
    "port addresses pointed at the address and port the request came to.\n"
    "GET /metrics gives the requests' counts and durations in the Prometheus\n"
    "text format, GET /health \"ok\" (docs/operators.md).\n"
    "Prints \"listening on ADDR:PORT\" once ready; stops on SIGINT or SIGTERM.\n"
    "The service's classes and the toolkit must be registered (krsoap setup).\n";

// The options, as (name, value name, description); CLI11 collects them and
// ParseArgs below checks their values.
constexpr const char* kOptions[][3] = {
    {"wsdl", "FILE", "the service's WSDL file (required)"},
    {"wsml", "FILE", "the WSML file mapping its operations to objects (required)"},
    {"listen", "ADDR:PORT",
     "address to listen on (default 127.0.0.1:8080; port 0 picks a free one; an IPv6 address in brackets)"},
    {"threads", "N", "worker threads running requests (default 32)"},
    {"public-url", "URL",
     "the port address the served WSDL gives instead (when clients reach the server through another address)"},
    {"max-connections", "N", "open connections at most; more are refused with 503 (default 512)"},
    {"idle-timeout", "S", "seconds a connection may wait for a request to begin (default 5)"},
    {"header-timeout", "S",
     "seconds for a request's head to arrive, from its first byte (default 10); then 408 and the connection "
     "closes"},
    {"body-timeout", "S",
     "seconds for a request's body to arrive, after its head (default 60); then 408 and the connection closes"},
};

// Worker threads in the multithreaded apartment; each job is one request.
class ApartmentPool final {
 public:
  explicit ApartmentPool(size_t threads) {
    for (size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
  }
  ~ApartmentPool() { Shutdown(); }

  void Enqueue(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      tasks_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }
  // Runs what is queued, then ends the threads.
  void Shutdown() {
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

// httplib's request processing, given one request at a time from memory
// instead of a connection of its own.
class RequestProcessor final : public httplib::Server {
 public:
  using httplib::Server::process_request;
};

// One canonical request to read, the response collected to be sent whole.
class RequestStream final : public httplib::Stream {
 public:
  RequestStream(int fd, const std::string& request, std::string* response)
      : fd_(fd), in_(request), out_(response) {}
  RequestStream(int fd, std::string&& request, std::string* response) = delete;  // kept by reference
  bool is_readable() const override { return pos_ < in_.size(); }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override {
    size_t n = std::min(size, in_.size() - pos_);
    std::memcpy(ptr, in_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    out_->append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    http::SocketAddress(fd_, false, &ip, &port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    http::SocketAddress(fd_, true, &ip, &port);
  }
  socket_t socket() const override { return fd_; }

 private:
  int fd_;
  const std::string& in_;
  size_t pos_ = 0;
  std::string* out_;
};

// Where the authority of an http:// or https:// URL begins (the scheme in
// any case); 0 for a URL of another scheme.
size_t HttpAuthorityAt(const std::string& url) {
  std::string lower = url.substr(0, 8);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.rfind("http://", 0) == 0 ? 7 : lower.rfind("https://", 0) == 0 ? 8 : 0;
}

// The WSDL as served. The location of every port address (an element named
// "address" with a "location" attribute: soap:, soap12: or http:address)
// that is an http: or https: URL names this server: the address and port
// the request came to, with the file's path, or the public URL when one is
// given. A location of another scheme (krs:) names another transport and is
// left as it is.
class ServedWsdl {
 public:
  ServedWsdl(std::string text, std::string public_url) : text_(std::move(text)), public_url_(std::move(public_url)) {
    Scan();
  }

  // For a request that came to `authority` ("127.0.0.1:8081", "[::1]:8081").
  std::string For(const std::string& authority) const {
    std::string out;
    size_t at = 0;
    for (const Slot& s : slots_) {
      out.append(text_, at, s.at - at);
      out += public_url_.empty() ? "http://" + authority + s.path : XmlAttr(public_url_);
      at = s.at + s.len;
    }
    out.append(text_, at, std::string::npos);
    return out;
  }

 private:
  struct Slot {
    size_t at, len;    // the attribute's value in the text
    std::string path;  // what follows the URL's authority, as written
  };

  static std::string XmlAttr(const std::string& s) {
    std::string out;
    for (char c : s) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
      }
    }
    return out;
  }

  // Finds the slots: a scan of the markup that skips comments, CDATA
  // sections, processing instructions and declarations, and reads each start
  // tag's attributes with their quotes.
  void Scan() {
    const std::string& t = text_;
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t i = 0;
    while ((i = t.find('<', i)) != std::string::npos) {
      auto skip_to = [&](const char* end) {
        size_t e = t.find(end, i);
        i = e == std::string::npos ? t.size() : e + std::strlen(end);
      };
      if (t.compare(i, 4, "<!--") == 0) {
        skip_to("-->");
        continue;
      }
      if (t.compare(i, 9, "<![CDATA[") == 0) {
        skip_to("]]>");
        continue;
      }
      if (t.compare(i, 2, "<?") == 0) {
        skip_to("?>");
        continue;
      }
      if (t.compare(i, 2, "<!") == 0 || t.compare(i, 2, "</") == 0) {
        skip_to(">");
        continue;
      }
      size_t p = i + 1, name_start = p;
      while (p < t.size() && !space(t[p]) && t[p] != '>' && t[p] != '/') ++p;
      std::string name = t.substr(name_start, p - name_start);
      size_t colon = name.rfind(':');
      const bool address = (colon == std::string::npos ? name : name.substr(colon + 1)) == "address";
      while (p < t.size() && t[p] != '>') {
        if (space(t[p]) || t[p] == '/') {
          ++p;
          continue;
        }
        size_t attr_start = p;
        while (p < t.size() && !space(t[p]) && t[p] != '=' && t[p] != '>') ++p;
        std::string attr = t.substr(attr_start, p - attr_start);
        while (p < t.size() && space(t[p])) ++p;
        if (p >= t.size() || t[p] != '=') continue;
        ++p;
        while (p < t.size() && space(t[p])) ++p;
        if (p >= t.size() || (t[p] != '"' && t[p] != '\'')) continue;
        size_t close = t.find(t[p], p + 1);
        if (close == std::string::npos) return;
        if (address && attr == "location") Consider(p + 1, close - p - 1);
        p = close + 1;
      }
      i = p;
    }
  }

  void Consider(size_t at, size_t len) {
    std::string value = text_.substr(at, len);
    size_t host = HttpAuthorityAt(value);
    if (host == 0) return;
    size_t path = value.find_first_of("/?#", host);
    slots_.push_back({at, len, path == std::string::npos ? "" : value.substr(path)});
  }

  std::string text_;
  std::string public_url_;
  std::vector<Slot> slots_;
};

struct Options {
  std::string wsdl, wsml, host = "127.0.0.1", public_url;
  int port = 8080;
  size_t threads = 32;
  http::Limits limits;
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
    auto count = [&](long lo, long hi, size_t* out) {
      std::string v;
      if (!value(&v)) return false;
      char* end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || !end || *end || n < lo || n > hi) {
        std::fprintf(stderr, "krsoap serve-http: %s wants %ld to %ld, not '%s'\n", a.c_str(), lo, hi, v.c_str());
        return false;
      }
      *out = static_cast<size_t>(n);
      return true;
    };
    auto seconds = [&](double* out) {
      std::string v;
      if (!value(&v)) return false;
      char* end = nullptr;
      double s = std::strtod(v.c_str(), &end);
      if (v.empty() || !end || *end || !(s > 0) || s > 3600) {
        std::fprintf(stderr, "krsoap serve-http: %s wants seconds, more than 0 and at most 3600, not '%s'\n",
                     a.c_str(), v.c_str());
        return false;
      }
      *out = s;
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
      if (colon == std::string::npos || colon == 0 || colon + 1 == v.size() || !end || *end || port < 0 ||
          port > 65535) {
        std::fprintf(stderr, "krsoap serve-http: --listen wants ADDR:PORT, not '%s'\n", v.c_str());
        return false;
      }
      o->host = v.substr(0, colon);
      if (o->host.size() > 2 && o->host.front() == '[' && o->host.back() == ']') {
        o->host = o->host.substr(1, o->host.size() - 2);
      } else if (o->host.find(':') != std::string::npos) {
        std::fprintf(stderr, "krsoap serve-http: --listen wants an IPv6 address in brackets, as [%s]:%ld\n",
                     o->host.c_str(), port);
        return false;
      }
      o->port = static_cast<int>(port);
    } else if (a == "--threads") {
      if (!count(1, 1024, &o->threads)) return false;
    } else if (a == "--max-connections") {
      if (!count(1, 100000, &o->limits.max_connections)) return false;
    } else if (a == "--idle-timeout") {
      if (!seconds(&o->limits.idle_timeout)) return false;
    } else if (a == "--header-timeout") {
      if (!seconds(&o->limits.header_timeout)) return false;
    } else if (a == "--body-timeout") {
      if (!seconds(&o->limits.body_timeout)) return false;
    } else if (a == "--public-url") {
      if (!value(&o->public_url)) return false;
      size_t host = HttpAuthorityAt(o->public_url);
      bool clean = std::none_of(o->public_url.begin(), o->public_url.end(),
                                [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; });
      if (host == 0 || o->public_url.size() == host || !clean) {
        std::fprintf(stderr, "krsoap serve-http: --public-url wants an http:// or https:// URL, not '%s'\n",
                     o->public_url.c_str());
        return false;
      }
    } else {
      std::fprintf(stderr, "krsoap serve-http: unexpected argument '%s'\n", a.c_str());
      return false;
    }
  }
  if (o->wsdl.empty() || o->wsml.empty()) {
    std::fprintf(stderr, "krsoap serve-http: --wsdl and --wsml are required\n");
    return false;
  }
  return true;
}

std::string Describe(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  return std::string(code) + " (" + com::HResultMessage(hr) + ")";
}

// The status of a response collected by a RequestStream ("HTTP/1.1 200 OK").
int StatusOf(const std::string& response) {
  return response.size() >= 12 ? std::atoi(response.c_str() + 9) : 0;
}

// Room for the connections allowed, as far as the hard limit on descriptors goes.
void RaiseDescriptorLimit(size_t connections) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  rlim_t want = static_cast<rlim_t>(connections) + 64;
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < want) {
    rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? want : std::min(want, rl.rlim_max);
    setrlimit(RLIMIT_NOFILE, &rl);
  }
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
  const ServedWsdl served_wsdl(std::move(wsdl_text), opt.public_url);

  // A port in use, or an address that is not this machine's, ends the
  // command before anything else starts.
  int port = 0;
  std::string why;
  int listen_fd = http::Listen(opt.host, opt.port, &port, &why);
  if (listen_fd < 0) {
    std::fprintf(stderr, "krsoap serve-http: cannot listen on %s: %s\n", http::HostPort(opt.host, opt.port).c_str(),
                 why.c_str());
    return 1;
  }
  RaiseDescriptorLimit(opt.limits.max_connections);

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
    close(listen_fd);
    return 1;
  }
  ISoapServer* server = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_SoapServer, nullptr, CLSCTX_SERVER, IID_ISoapServer,
                                reinterpret_cast<void**>(&server));
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap serve-http: cannot create the SoapServer: %s; is the toolkit registered (krsoap setup)?\n",
                 Describe(hr).c_str());
    close(listen_fd);
    CoUninitialize();
    return 1;
  }
  com::BstrPtr wsdl(com::AllocBstrFromUtf8(opt.wsdl)), wsml(com::AllocBstrFromUtf8(opt.wsml));
  hr = server->Init(wsdl.get(), wsml.get());
  if (FAILED(hr)) {
    com::BstrPtr why_init;
    server->get_errorDescription(why_init.Out());
    std::fprintf(stderr, "krsoap serve-http: Init failed: %s: %s\n", Describe(hr).c_str(), why_init.Utf8().c_str());
    close(listen_fd);
    server->Release();
    CoUninitialize();
    return 1;
  }

  RequestProcessor http;
  // Only the response headers' "Keep-Alive: timeout=..., max=..." come from
  // these; the front end keeps the time.
  http.set_keep_alive_max_count(100000);
  http.set_keep_alive_timeout(static_cast<time_t>(opt.limits.idle_timeout + 0.999));
  http.set_payload_max_length(opt.limits.max_body);
  // Counted for GET /metrics: every POST, its outcome and its duration.
  halvex::RequestCounters counters;
  http.Post(".*", [server, &counters](const httplib::Request& req, httplib::Response& res) {
    const auto start = std::chrono::steady_clock::now();
    counters.Begin();
    soap::BufferStream* in = soap::BufferStream::Create(req.body);
    soap::BufferStream* out = soap::BufferStream::Create();
    if (!in || !out) {
      if (in) in->Release();
      if (out) out->Release();
      res.status = 503;
      counters.End(halvex::SecondsSince(start), true, false);
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
      counters.End(halvex::SecondsSince(start), true, false);
      return;
    }
    // The server writes every fault as Body's first child, with its own
    // prefix: the literal is unambiguous.
    const bool fault = body.find("<SOAP-ENV:Body><SOAP-ENV:Fault>") != std::string::npos;
    res.status = fault ? 500 : 200;
    res.set_content(std::move(body), "text/xml; charset=utf-8");
    counters.End(halvex::SecondsSince(start), false, fault);
  });
  // For scrapers and load balancers; before the catch-all GET below.
  http.Get("/metrics", [&counters](const httplib::Request&, httplib::Response& res) {
    res.set_content(RequestFamilies("krsoap_http", {{"", counters.Snapshot()}}), kMetricsContentType);
  });
  http.Get("/health", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("ok\n", "text/plain; charset=utf-8");
  });
  http.Get(".*", [&served_wsdl](const httplib::Request& req, httplib::Response& res) {
    if (req.has_param("wsdl") || req.has_param("WSDL")) {
      res.set_content(served_wsdl.For(http::HostPort(req.local_addr, req.local_port)), "text/xml; charset=utf-8");
    } else {
      res.status = 404;
      res.set_content("GET ?wsdl for the service description; POST SOAP requests\n", "text/plain");
    }
  });

  // One request through the HTTP layer before any worker exists: it builds
  // tables it keeps in function-local statics on first use (the request
  // methods it knows, ...). Built here, they are built before the workers
  // start, and no first requests race to build them (the library is not
  // instrumented, so the thread sanitizer could not see its guard).
  {
    const std::string request = "GET /?wsdl HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n";
    std::string response;
    RequestStream warm(-1, request, &response);
    bool closed = false;
    http.process_request(warm, true, closed, nullptr);
  }

  ApartmentPool pool(opt.threads);
  http::Front front(
      listen_fd, opt.limits,
      [&http](int fd, const std::string& request, bool close, std::string* response) {
        RequestStream stream(fd, request, response);
        bool closed = false;
        bool ok = http.process_request(stream, close, closed, nullptr);
        // A request the HTTP layer could not read closes its connection.
        int status = StatusOf(*response);
        return ok && !closed && status != 400 && status != 413 && status != 414 && status != 431;
      },
      [&pool](std::function<void()> job) { pool.Enqueue(std::move(job)); });

  std::atomic<bool> signalled{false};
  std::thread stopper([&front, &stop_signals, &signalled] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    signalled = true;
    front.Stop();
  });
  std::printf("listening on %s\n", http::HostPort(opt.host, port).c_str());
  std::fflush(stdout);
  int rc = 0;
  if (!front.Run(&why)) {
    std::fprintf(stderr, "krsoap serve-http: %s\n", why.c_str());
    rc = 1;
  }
  // Ended without a signal: wake the stopper. The signal stays pending until
  // its sigwait takes it.
  if (!signalled) pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  pool.Shutdown();
  server->Release();
  CoUninitialize();
  return rc;
}

// The options given, handed on in the "--name value" form RunServeHttp
// checks them in.
Runner DefineServeHttp(CLI::App& app) {
  constexpr size_t n = sizeof kOptions / sizeof kOptions[0];
  auto values = std::make_shared<std::vector<std::string>>(n);
  std::vector<CLI::Option*> options;
  for (size_t i = 0; i < n; ++i)
    options.push_back(app.add_option(std::string("--") + kOptions[i][0], (*values)[i], kOptions[i][2])
                          ->type_name(kOptions[i][1]));
  app.footer(kAbout);
  return [values, options] {
    std::vector<std::string> args = {"serve-http"};
    for (size_t i = 0; i < options.size(); ++i)
      if (options[i]->count() > 0) args.insert(args.end(), {std::string("--") + kOptions[i][0], (*values)[i]});
    return RunServeHttp(args);
  };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"serve-http", "serve a WSDL/WSML service over HTTP with the SOAP toolkit's server",
                              DefineServeHttp});

}  // namespace krsoap::tool
