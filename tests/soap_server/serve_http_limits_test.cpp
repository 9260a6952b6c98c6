// "krsoap serve-http" against hostile clients on loopback: slow and idle
// connections beside ordinary ones, the deadlines that end them, the
// connection limit, the limits on a request's head, framing that two readers
// could take differently, bodies by length and chunked, the listening
// socket's failures, and the address the served WSDL gives.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/soap_server/serve_http_util.h"

namespace krsoap::test {
namespace {

// A raw client connection, for requests no HTTP library would send.
class Raw {
 public:
  explicit Raw(int port, const std::string& host = "127.0.0.1") {
    const bool v6 = host.find(':') != std::string::npos;
    fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (v6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      a->sin_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET, host.c_str(), &a->sin_addr);
      len = sizeof *a;
    }
    if (connect(fd_, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Raw() {
    if (fd_ >= 0) close(fd_);
  }
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;

  bool ok() const { return fd_ >= 0; }

  bool Send(const std::string& data) {
    for (size_t at = 0; at < data.size();) {
      ssize_t n = send(fd_, data.data() + at, data.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }

  // Whether something came (or the server closed) within `ms`.
  bool Readable(int ms) {
    if (!buf_.empty()) return true;
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
  }

  // Everything until the server closes or `ms` pass; *closed says which.
  std::string ReadAll(int ms, bool* closed) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    *closed = false;
    while (!*closed && Fill(MsLeft(until), closed)) {
    }
    std::string all;
    all.swap(buf_);
    return all;
  }

  // One response (its head, and a body of its Content-Length); empty when
  // none came whole within `ms`.
  std::string ReadResponse(int ms) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    bool closed = false;
    while (true) {
      size_t end = buf_.find("\r\n\r\n");
      if (end != std::string::npos) {
        size_t length = 0;
        size_t cl = buf_.find("Content-Length: ");
        if (cl != std::string::npos && cl < end) length = std::strtoul(buf_.c_str() + cl + 16, nullptr, 10);
        if (buf_.compare(0, 12, "HTTP/1.1 100") == 0) length = 0;
        if (buf_.size() >= end + 4 + length) {
          std::string response = buf_.substr(0, end + 4 + length);
          buf_.erase(0, end + 4 + length);
          return response;
        }
      }
      if (closed || !Fill(MsLeft(until), &closed)) return std::string();
    }
  }

 private:
  // Reads once; false when nothing came in time.
  bool Fill(int ms, bool* closed) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      *closed = true;  // end of stream, or reset
      return true;
    }
    buf_.append(buf, static_cast<size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string buf_;
};

int Status(const std::string& response) {
  return response.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(response.c_str() + 9) : 0;
}

// A POST of the given fields (each ending with CRLF) and body.
std::string Post(const std::string& fields, const std::string& body) {
  return "POST /calculator HTTP/1.1\r\nHost: 127.0.0.1\r\nSOAPAction: \"urn:krsoap-calculator#Add\"\r\n" + fields +
         "\r\n" + body;
}
const std::string kAdd = CalcRequest("Add", "<c:a>2</c:a><c:b>3</c:b>");
std::string AddRequest(const std::string& fields = "") {
  return Post("Content-Length: " + std::to_string(kAdd.size()) + "\r\n" + fields, kAdd);
}

// Whether one Add request on a fresh connection is answered within 10 s.
bool Answered(int port) {
  Raw c(port);
  if (!c.ok() || !c.Send(AddRequest("Connection: close\r\n"))) return false;
  std::string r = c.ReadResponse(10000);
  return Status(r) == 200 && ElementText(r, "Result") == "5";
}

// The peak resident size of a process, in kB.
long PeakKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

class ServeHttpLimitsTest : public ServeHttpProcessTest {
 protected:
  // Runs a serve-http that is to fail at start: its exit status and stderr.
  static int Refused(const std::vector<std::string>& extra, std::string* err) {
    pid_t pid;
    int err_fd = -1;
    std::string line = Spawn(extra, &pid, &err_fd);
    int status = 0;
    if (!line.empty()) kill(pid, SIGTERM);  // it started after all
    Reap(pid, 10000, &status);
    char buf[1024];
    for (ssize_t n; (n = read(err_fd, buf, sizeof buf)) > 0;) err->append(buf, static_cast<size_t>(n));
    close(err_fd);
    return line.empty() && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(ServeHttpLimitsTest, SlowAndIdleConnectionsLeaveTheServiceToOthers) {
  // Two workers; far more connections that send nothing, half a head, or
  // stay open after a request. None of them holds a worker.
  const int port = Start({"--threads", "2"});
  std::vector<std::unique_ptr<Raw>> hostile;
  for (int i = 0; i < 48; ++i) {
    hostile.push_back(std::make_unique<Raw>(port));
    ASSERT_TRUE(hostile.back()->ok());
    if (i % 3 == 1) {
      ASSERT_TRUE(hostile.back()->Send("POST /calculator HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "));
    } else if (i % 3 == 2) {
      ASSERT_TRUE(hostile.back()->Send(AddRequest()));
      ASSERT_EQ(200, Status(hostile.back()->ReadResponse(10000)));  // and kept alive
    }
  }
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(Answered(port)) << "request " << i;
}

TEST_F(ServeHttpLimitsTest, PipelinedAndAbandonedRequestsFromManyClients) {
  // Connections handed between the front end and the workers, some with
  // several requests in one write, some dropped half-way through one.
  const int port = Start({"--threads", "3"});
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([&, t] {
      std::minstd_rand random(static_cast<unsigned>(t + 1));
      for (int i = 0; i < 20; ++i) {
        const int requests = 1 + static_cast<int>(random() % 4);
        std::string data;
        for (int r = 0; r < requests; ++r) data += AddRequest();
        Raw conn(port);
        if (random() % 4 == 0) {  // abandoned
          conn.Send(data.substr(0, random() % data.size()));
          continue;
        }
        if (!conn.Send(data)) ++wrong;
        for (int r = 0; r < requests; ++r) {
          std::string response = conn.ReadResponse(10000);
          if (Status(response) != 200 || ElementText(response, "Result") != "5") ++wrong;
        }
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_TRUE(Answered(port));
}

TEST_F(ServeHttpLimitsTest, DeadlinesEndIdleAndSlowConnections) {
  const int port = Start({"--idle-timeout", "1", "--header-timeout", "1", "--body-timeout", "1"});
  bool closed = false;
  {
    Raw silent(port);  // never sends: closed without a word
    EXPECT_EQ("", silent.ReadAll(15000, &closed));
    EXPECT_TRUE(closed);
  }
  {
    Raw kept(port);  // one request, then idle on a kept-alive connection
    ASSERT_TRUE(kept.Send(AddRequest()));
    EXPECT_EQ(200, Status(kept.ReadResponse(10000)));
    EXPECT_EQ("", kept.ReadAll(15000, &closed));
    EXPECT_TRUE(closed);
  }
  {
    // A head trickled a byte at a time never completes before its deadline,
    // however busy the client keeps the connection.
    Raw trickle(port);
    const std::string head = "POST /calculator HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(200, 'x');
    for (size_t i = 0; i < head.size() && !trickle.Readable(100); ++i) {
      if (!trickle.Send(head.substr(i, 1))) break;
    }
    EXPECT_EQ(408, Status(trickle.ReadAll(15000, &closed)));
    EXPECT_TRUE(closed);
  }
  {
    Raw short_body(port);  // a head promising 100 bytes, then 10
    ASSERT_TRUE(short_body.Send(Post("Content-Length: 100\r\n", "0123456789")));
    EXPECT_EQ(408, Status(short_body.ReadAll(15000, &closed)));
    EXPECT_TRUE(closed);
  }
  EXPECT_TRUE(Answered(port));
}

TEST_F(ServeHttpLimitsTest, RefusesConnectionsBeyondTheLimit) {
  const int port = Start({"--max-connections", "3"});
  std::vector<std::unique_ptr<Raw>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(std::make_unique<Raw>(port));
    ASSERT_TRUE(held.back()->Send(AddRequest()));
    ASSERT_EQ(200, Status(held.back()->ReadResponse(10000)));
  }
  Raw extra(port);
  bool closed = false;
  EXPECT_EQ(503, Status(extra.ReadAll(10000, &closed)));
  EXPECT_TRUE(closed);
  // Once one leaves there is room again (the server notices it soon after).
  held.pop_back();
  bool served = false;
  for (int i = 0; i < 100 && !served; ++i) {
    served = Answered(port);
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(served);
}

TEST_F(ServeHttpLimitsTest, HeadLimits) {
  const int port = Start();
  const pid_t pid = pid_;
  const long peak_before = PeakKb(pid);
  bool closed = false;
  {
    // Up to 2,000,000 header lines, sent until the server answers.
    Raw flood(port);
    ASSERT_TRUE(flood.Send("POST /calculator HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    std::string lines;
    for (int i = 0; i < 8192; ++i) lines += "X-Flood: y\r\n";
    for (int sent = 0; sent < 2000000 && !flood.Readable(0); sent += 8192) {
      if (!flood.Send(lines)) break;
    }
    EXPECT_EQ(431, Status(flood.ReadResponse(10000)));
  }
  EXPECT_LT(PeakKb(pid), peak_before + 64 * 1024) << "from " << peak_before << " kB";

  std::string many;
  for (int i = 0; i < 101; ++i) many += "X-Field-" + std::to_string(i) + ": y\r\n";
  struct Case {
    const char* what;
    std::string request;
    int status;
  } cases[] = {
      {"101 fields", AddRequest(many), 431},
      {"a field of 9000 bytes", AddRequest("X-Long: " + std::string(9000, 'y') + "\r\n"), 431},
      {"a target of 9000 bytes", "GET /" + std::string(9000, 'p') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 414},
  };
  for (const Case& c : cases) {
    Raw conn(port);
    ASSERT_TRUE(conn.Send(c.request)) << c.what;
    EXPECT_EQ(c.status, Status(conn.ReadAll(10000, &closed))) << c.what;
    EXPECT_TRUE(closed) << c.what;
  }
  EXPECT_TRUE(Answered(port));
}

TEST_F(ServeHttpLimitsTest, AmbiguousFramingIsRefusedAndCloses) {
  const int port = Start();
  const std::string n = std::to_string(kAdd.size());
  struct Case {
    const char* what;
    std::string request;
    int status;
  } cases[] = {
      {"two lengths that disagree", Post("Content-Length: " + n + "\r\nContent-Length: 5\r\n", kAdd), 400},
      {"a list of lengths that disagree", Post("Content-Length: " + n + ", 5\r\n", kAdd), 400},
      {"a negative length", Post("Content-Length: -1\r\n", kAdd), 400},
      {"a signed length", Post("Content-Length: +" + n + "\r\n", kAdd), 400},
      {"a length and chunked coding", Post("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "0\r\n\r\n"), 400},
      {"an unknown coding", Post("Transfer-Encoding: gzip, chunked\r\n", "0\r\n\r\n"), 501},
      {"a folded field", Post("X-Folded: a\r\n b\r\nContent-Length: " + n + "\r\n", kAdd), 400},
      {"a space before the colon", Post("Content-Length : " + n + "\r\n", kAdd), 400},
      {"lines ended by LF alone", "POST /calculator HTTP/1.1\nHost: 127.0.0.1\nContent-Length: 0\n\n", 400},
      {"two Host fields", Post("Host: other\r\nContent-Length: " + n + "\r\n", kAdd), 400},
  };
  for (const Case& c : cases) {
    // A well-formed request right behind it must not be read as anything.
    Raw conn(port);
    ASSERT_TRUE(conn.Send(c.request + AddRequest())) << c.what;
    bool closed = false;
    std::string all = conn.ReadAll(10000, &closed);
    EXPECT_EQ(c.status, Status(all)) << c.what;
    EXPECT_EQ(std::string::npos, all.find("HTTP/1.1", 1)) << c.what << ": more than one response";
    EXPECT_TRUE(closed) << c.what;
  }

  Raw conn(port);
  // Lengths that agree are one length.
  ASSERT_TRUE(conn.Send(Post("Content-Length: " + n + "\r\nContent-Length: " + n + "\r\n", kAdd)));
  EXPECT_EQ(200, Status(conn.ReadResponse(10000)));
  // A GET's body is read and dropped, whatever it holds: one response.
  const std::string inner = AddRequest();
  ASSERT_TRUE(conn.Send("GET /calculator?wsdl HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                        std::to_string(inner.size()) + "\r\n\r\n" + inner + AddRequest("Connection: close\r\n")));
  bool closed = false;
  std::string rest = conn.ReadAll(10000, &closed);
  EXPECT_EQ(200, Status(rest));
  size_t second = rest.find("HTTP/1.1 ", 1);
  ASSERT_NE(std::string::npos, second);
  EXPECT_EQ("5", ElementText(rest.substr(second), "Result"));
  EXPECT_EQ(std::string::npos, rest.find("HTTP/1.1 ", second + 1)) << "three responses to two requests";
}

TEST_F(ServeHttpLimitsTest, BodiesByLengthAndChunked) {
  const int port = Start();
  bool closed = false;
  {
    Raw conn(port);  // refused on its head alone, the body never sent
    ASSERT_TRUE(conn.Send(Post("Content-Length: 17000000\r\n", "")));
    EXPECT_EQ(413, Status(conn.ReadAll(10000, &closed)));
    EXPECT_TRUE(closed);
  }
  {
    Raw conn(port);  // a chunk beyond 16 MB
    ASSERT_TRUE(conn.Send(Post("Transfer-Encoding: chunked\r\n", "1000001\r\n")));
    EXPECT_EQ(413, Status(conn.ReadAll(10000, &closed)));
    EXPECT_TRUE(closed);
  }
  {
    // Chunks with an extension, and a trailer; then the connection carries on.
    Raw conn(port);
    const std::string a = kAdd.substr(0, 40), b = kAdd.substr(40);
    char sizes[64];
    std::snprintf(sizes, sizeof sizes, "%zx;x=y\r\n", a.size());
    std::string body = sizes + a + "\r\n";
    std::snprintf(sizes, sizeof sizes, "%zX\r\n", b.size());
    body += sizes + b + "\r\n0\r\nX-Trailer: t\r\n\r\n";
    ASSERT_TRUE(conn.Send(Post("Transfer-Encoding: chunked\r\n", body)));
    std::string r = conn.ReadResponse(10000);
    EXPECT_EQ(200, Status(r));
    EXPECT_EQ("5", ElementText(r, "Result"));
    ASSERT_TRUE(conn.Send(AddRequest()));
    EXPECT_EQ(200, Status(conn.ReadResponse(10000)));
  }
  {
    Raw conn(port);  // the body follows "100 Continue"
    ASSERT_TRUE(conn.Send(Post("Content-Length: " + std::to_string(kAdd.size()) + "\r\nExpect: 100-continue\r\n", "")));
    EXPECT_EQ(100, Status(conn.ReadResponse(10000)));
    ASSERT_TRUE(conn.Send(kAdd));
    std::string r = conn.ReadResponse(10000);
    EXPECT_EQ(200, Status(r));
    EXPECT_EQ("5", ElementText(r, "Result"));
  }
}

TEST_F(ServeHttpLimitsTest, ListenFailuresNameTheirCause) {
  const int port = Start();
  std::string err;
  EXPECT_EQ(1, Refused({"--listen", "127.0.0.1:" + std::to_string(port)}, &err)) << err;
  EXPECT_NE(std::string::npos, err.find("cannot listen on 127.0.0.1:" + std::to_string(port) + ": Address already in use"))
      << err;
  EXPECT_TRUE(Answered(port)) << "the first server lost its port";
  err.clear();
  EXPECT_EQ(1, Refused({"--listen", "999.1.1.1:80"}, &err)) << err;
  EXPECT_NE(std::string::npos, err.find("cannot listen on 999.1.1.1:80: not an IPv4 or IPv6 address")) << err;
  err.clear();
  EXPECT_EQ(1, Refused({"--listen", "192.0.2.1:8080"}, &err)) << err;  // an address of no machine here
  EXPECT_NE(std::string::npos, err.find("cannot listen on 192.0.2.1:8080: Cannot assign requested address")) << err;
}

TEST_F(ServeHttpLimitsTest, WsdlGivesTheAddressAsked) {
  std::ifstream in(CalcWsdl(), std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), {});
  const std::string written = "http://127.0.0.1:8080/calculator";
  ASSERT_NE(std::string::npos, file.find("location=\"" + written + "\""));
  auto expected = [&](const std::string& location) {
    std::string text = file;
    text.replace(text.find(written), written.size(), location);
    return text;
  };
  auto wsdl = [](Raw& conn) {
    conn.Send("GET /calculator?wsdl HTTP/1.1\r\nHost: any\r\n\r\n");
    std::string r = conn.ReadResponse(10000);
    return r.substr(std::min(r.size(), r.find("\r\n\r\n") + 4));
  };

  pid_t v6 = -1;
  std::string line = Spawn({"--listen", "[::1]:0"}, &v6);
  int port = 0;
  if (std::sscanf(line.c_str(), "listening on [::1]:%d", &port) == 1) {
    Raw conn(port, "::1");
    EXPECT_EQ(expected("http://[::1]:" + std::to_string(port) + "/calculator"), wsdl(conn));
    kill(v6, SIGTERM);
  }
  int status;
  Reap(v6, 10000, &status);
  if (port == 0) std::printf("no IPv6 loopback here (%s); the IPv6 case is left out\n", line.c_str());

  port = Start({"--public-url", "https://gateway.example/soap?svc=calc&v=1"});
  Raw conn(port);
  EXPECT_EQ(expected("https://gateway.example/soap?svc=calc&amp;v=1"), wsdl(conn));
}

}  // namespace
}  // namespace krsoap::test
