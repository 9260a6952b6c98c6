// "krsoap serve-http" while slow clients hold connections. Prints the
// Calculator Add requests per second served to 1 and to 8 ordinary
// keep-alive clients, first with no slow connections open, then with 64
// that each trickle a request head, one byte every half second (reopened
// when the server ends them). Loopback only; a throwaway data root where it
// registers the modules it uses.
//
//   serve_http_abuse_bench [SECONDS]   (each figure's measuring time, default 3)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "tests/support/calculator_home.h"
#include "tests/support/register_module.h"
#include "tests/support/test_home.h"

namespace {

using namespace krsoap;
using Clock = std::chrono::steady_clock;

constexpr int kSlow = 64;

const std::string kBody =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
    "<c:Add xmlns:c=\"urn:krsoap-calculator\"><c:a>2</c:a><c:b>3</c:b></c:Add></SOAP-ENV:Body></SOAP-ENV:Envelope>";
const std::string kRequest = "POST /calculator HTTP/1.1\r\nHost: 127.0.0.1\r\nSOAPAction: \"urn:krsoap-calculator#Add\"\r\n"
                             "Content-Type: text/xml\r\nContent-Length: " +
                             std::to_string(kBody.size()) + "\r\n\r\n" + kBody;

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  return fd;
}

// One keep-alive client: requests one after another until `until`; the
// number answered with the result.
long Client(int port, Clock::time_point until) {
  constexpr long kMax = 1000000;  // a bound on the loop whatever the speed
  int fd = Connect(port);
  long served = 0;
  std::string buf;
  char chunk[8192];
  for (long i = 0; i < kMax && fd >= 0 && Clock::now() < until; ++i) {
    if (send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(kRequest.size())) break;
    buf.clear();
    size_t need = std::string::npos;
    while (buf.size() < need) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) break;  // a server that stopped answering ends the client
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buf.append(chunk, static_cast<size_t>(n));
      size_t end = buf.find("\r\n\r\n");
      size_t cl = buf.find("Content-Length: ");
      if (end != std::string::npos && cl != std::string::npos && cl < end) {
        need = end + 4 + std::strtoul(buf.c_str() + cl + 16, nullptr, 10);
      }
    }
    if (buf.size() < need || buf.find("<m:Result>5</m:Result>") == std::string::npos) break;
    ++served;
  }
  if (fd >= 0) close(fd);
  return served;
}

double Measure(int port, int clients, double seconds) {
  auto start = Clock::now();
  auto until = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::atomic<long> total{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) threads.emplace_back([&] { total += Client(port, until); });
  for (auto& t : threads) t.join();
  return total / std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps kSlow connections open, each sending one more byte of a request
// head every half second, until `stop`. Counts the connections the server
// ended (and that were opened again).
class SlowClients {
 public:
  explicit SlowClients(int port) : port_(port) {
    thread_ = std::thread([this] { Run(); });
    while (open_ < kSlow && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~SlowClients() {
    stop_ = true;
    thread_.join();
  }
  int open() const { return open_; }
  long reopened() const { return reopened_; }

 private:
  void Run() {
    const std::string head = "POST /calculator HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    std::vector<int> fds(kSlow, -1);
    constexpr long kMaxRounds = 100000;  // a bound on the loop, at 2 rounds a second
    for (long round = 0; round < kMaxRounds && !stop_; ++round) {
      int open = 0;
      for (int& fd : fds) {
        char scratch[512];
        if (fd >= 0) {
          pollfd p{fd, POLLIN, 0};
          if (poll(&p, 1, 0) > 0) {  // an answer (408) or the end: the server gave up on it
            recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
            close(fd);
            fd = -1;
            ++reopened_;
          }
        }
        if (fd < 0) {
          fd = Connect(port_);
          if (fd >= 0 && send(fd, head.data(), head.size(), MSG_NOSIGNAL) < 0) {
            close(fd);
            fd = -1;
          }
        } else {
          send(fd, "x", 1, MSG_NOSIGNAL);
        }
        if (fd >= 0) ++open;
      }
      open_ = open;
      for (int i = 0; i < 50 && !stop_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int fd : fds) {
      if (fd >= 0) close(fd);
    }
  }

  int port_;
  std::atomic<bool> stop_{false};
  std::atomic<int> open_{0};
  std::atomic<long> reopened_{0};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  if (!(seconds > 0 && seconds <= 600)) {
    std::fprintf(stderr, "usage: serve_http_abuse_bench [SECONDS]   (0 < SECONDS <= 600)\n");
    return 2;
  }
  test::ScopedHome home;
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  for (const char* m : {"libkrxml.so", "libkrsoap.so", "libkrcalculator.so"}) {
    if (!test::RegisterLibModule(m)) {
      std::fprintf(stderr, "cannot register %s\n", m);
      return 1;
    }
  }
  int port = 0;
  test::BuildDirs dirs;
  const std::string calc = std::string(KRSOAP_SOURCE_DIR) + "/examples/calculator/Calculator";
  pid_t pid = test::FindBuildDirs(&dirs)
                  ? test::StartCalculatorHttpHost(dirs, home.path(), calc + ".wsdl", calc + ".wsml", &port)
                  : -1;
  if (pid > 0 && port == 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  if (pid < 0 || port == 0) {
    std::fprintf(stderr, "cannot start krsoap serve-http\n");
    return 1;
  }
  std::printf("krsoap serve-http (32 worker threads), Calculator Add, keep-alive clients, %.0f s each\n", seconds);
  for (int clients : {1, 8}) {
    double quiet = Measure(port, clients, seconds);
    double slowed;
    int open;
    long reopened;
    {
      SlowClients slow(port);
      slowed = Measure(port, clients, seconds);
      open = slow.open();
      reopened = slow.reopened();
    }
    std::printf("%d client%s: %8.0f requests/s with no slow connections, %8.0f requests/s with %d slow ones open"
                " (%ld ended by the server and reopened)\n",
                clients, clients == 1 ? " " : "s", quiet, slowed, open, reopened);
    std::fflush(stdout);
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  CoUninitialize();
  return 0;
}
