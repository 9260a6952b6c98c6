// Shared by the client tests: child processes with captured output
// (serve-http, krsoap call, python3, php), free loopback ports, and a tiny
// TCP listener that misbehaves on purpose (never answers, answers garbage).
#pragma once

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "soaptoolkit.h"
#include "tests/support/test_home.h"
#include "tests/xml/toolkit_test_util.h"

extern char** environ;

namespace krsoap::test {

inline std::string SourcePath(const std::string& rel) { return std::string(KRSOAP_SOURCE_DIR) + "/" + rel; }
inline std::string CalcWsdl() { return SourcePath("examples/calculator/Calculator.wsdl"); }
inline std::string CalcWsml() { return SourcePath("examples/calculator/Calculator.wsml"); }

// A child process whose stdout and stderr are read through pipes.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Stop(); }

  bool Start(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(err, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }

  // Reads stdout until a line arrives (or `ms` pass, or the child exits).
  std::string ReadLine(int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (true) {
      size_t nl = out_.find('\n');
      if (nl != std::string::npos) {
        std::string line = out_.substr(0, nl);
        out_.erase(0, nl + 1);
        return line;
      }
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
      if (left <= 0) return std::string();
      pollfd p{out_fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) continue;
      char buf[512];
      ssize_t n = read(out_fd_, buf, sizeof buf);
      if (n <= 0) return std::string();
      out_.append(buf, static_cast<size_t>(n));
    }
  }

  // Waits for the child to exit, gathering all output; the exit status, or
  // -1 when it had to be killed after `ms`.
  int Wait(int ms, std::string* out, std::string* err) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool out_open = out_fd_ >= 0, err_open = err_fd_ >= 0;
    while (out_open || err_open) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
      if (left <= 0) break;
      pollfd p[2] = {{out_open ? out_fd_ : -1, POLLIN, 0}, {err_open ? err_fd_ : -1, POLLIN, 0}};
      if (poll(p, 2, left) <= 0) continue;
      char buf[4096];
      if (p[0].revents) {
        ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n <= 0) out_open = false; else out_.append(buf, static_cast<size_t>(n));
      }
      if (p[1].revents) {
        ssize_t n = read(err_fd_, buf, sizeof buf);
        if (n <= 0) err_open = false; else err_.append(buf, static_cast<size_t>(n));
      }
    }
    int status = Reap(out_open || err_open);
    if (out) *out = out_;
    if (err) *err = err_;
    return status;
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      Reap(false);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
    out_fd_ = err_fd_ = -1;
  }

 private:
  int Reap(bool kill_first) {
    if (pid_ <= 0) return -1;
    if (kill_first) kill(pid_, SIGKILL);
    int status = 0;
    // A stopped server gets 10 s to leave before it is killed.
    for (int i = 0; i < 1000; ++i) {
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) break;
      if (i == 999) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
      usleep(10000);
    }
    pid_ = -1;
    if (kill_first) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
};

// Keeps the toolkit's modules that have thread-local variables mapped for
// the whole test program. They are otherwise unloaded between tests once
// their objects are gone; LeakSanitizer's exit-time scan then trips over the
// thread's stale dynamic-TLS entry of an unloaded module and crashes.
inline void PinModulesWithThreadLocals() {
  for (const char* m : {"libkrxml.so", "libkrsoap.so", "libkrcalculator.so"}) {
    dlopen((LibDir() + "/" + m).c_str(), RTLD_NOW | RTLD_NODELETE);
  }
}

// "krsoap serve-http" for the Calculator on a free loopback port.
class CalcServer {
 public:
  bool Start() {
    if (!child_.Start({BinDir() + "/krsoap", "serve-http", "--wsdl", CalcWsdl(), "--wsml", CalcWsml(), "--listen",
                       "127.0.0.1:0", "--threads", "4"})) {
      return false;
    }
    std::string line = child_.ReadLine(20000);
    size_t colon = line.rfind(':');
    if (line.rfind("listening on", 0) != 0 || colon == std::string::npos) return false;
    url_ = "http://127.0.0.1:" + line.substr(colon + 1) + "/calculator";
    return true;
  }
  const std::string& url() const { return url_; }

 private:
  Child child_;
  std::string url_;
};

// A loopback port on which nothing listens (bound, then closed).
inline int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// A listener on a free loopback port that answers every request with a
// fixed reply (after reading the request head and body), or never answers
// when the reply is empty. Records the requests it read.
class RawListener {
 public:
  explicit RawListener(std::string reply) : reply_(std::move(reply)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 16);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~RawListener() {
    stop_ = true;
    thread_.join();
    for (int c : clients_) close(c);
    close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/x"; }
  std::string Requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      clients_.push_back(c);  // kept open until the end: "slow" never closes
      std::string got;
      // Read the head and as much body as Content-Length announces (for at
      // most about 5 s, so a client that stalls cannot hold the test).
      for (int i = 0; i < 100 && !stop_ && !Complete(got); ++i) {
        pollfd q{c, POLLIN, 0};
        if (poll(&q, 1, 50) <= 0) continue;
        char buf[4096];
        ssize_t n = read(c, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        requests_ += got;
      }
      if (!reply_.empty()) {
        ssize_t w = write(c, reply_.data(), reply_.size());
        (void)w;
        shutdown(c, SHUT_WR);
      }
    }
  }

  static bool Complete(const std::string& req) {
    size_t head = req.find("\r\n\r\n");
    if (head == std::string::npos) return false;
    size_t cl = req.find("Content-Length: ");
    size_t want = cl == std::string::npos || cl > head ? 0 : std::strtoul(req.c_str() + cl + 16, nullptr, 10);
    return req.size() >= head + 4 + want;
  }

  std::string reply_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<int> clients_;
  std::mutex mu_;
  std::string requests_;
};

inline std::string HttpReply(const std::string& status, const std::string& type, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// Calls through the SOAP client's IDispatch, as a script would.

inline VARIANT Str(const std::string& s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = com::AllocBstrFromUtf8(s);
  return v;
}
inline VARIANT Dbl(double d) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = d;
  return v;
}

struct CallResult {
  HRESULT hr = E_FAIL;
  HRESULT scode = S_OK;  // the exception's code for DISP_E_EXCEPTION
  std::string description;
  VARIANT value;
  CallResult() { VariantInit(&value); }
  ~CallResult() { VariantClear(&value); }
};

// Calls `op` by name through IDispatch; `args` are consumed.
inline void Call(ISoapClient* client, const char* op, std::vector<VARIANT> args, CallResult* r) {
  Bstr name(op);
  LPOLESTR names[1] = {name.get()};
  DISPID id = 0;
  r->hr = client->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (FAILED(r->hr)) return;
  std::vector<VARIANT> rev(args.rbegin(), args.rend());
  DISPPARAMS params{rev.data(), nullptr, static_cast<UINT>(rev.size()), 0};
  EXCEPINFO ex;
  std::memset(&ex, 0, sizeof ex);
  UINT arg_err = 0;
  r->hr = client->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &r->value, &ex, &arg_err);
  if (r->hr == DISP_E_EXCEPTION) {
    r->scode = ex.scode;
    r->description = ex.bstrDescription ? com::BstrToUtf8(ex.bstrDescription) : "";
  }
  SysFreeString(ex.bstrSource);
  SysFreeString(ex.bstrDescription);
  SysFreeString(ex.bstrHelpFile);
  for (auto& a : args) VariantClear(&a);
}

}  // namespace krsoap::test

// Under LeakSanitizer, the exit-time scan of this test program's thread-local
// roots intermittently crashes the scanner itself on a stale dynamic-TLS slot
// (seen with the toolkit's modules loaded and unloaded between tests, even
// with the pin above). Heap roots are still scanned; only TLS is left out.
extern "C" __attribute__((visibility("default"), used)) inline const char* __lsan_default_options() {
  return "use_tls=0";
}
