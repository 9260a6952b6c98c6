// The connection side of "krsoap serve-http": the listening socket, and a
// front end that keeps every connection on one thread (epoll) until a whole
// request has arrived, then hands that request to a worker.
//
// A worker is never tied to a connection: an idle, slow or half-sent request
// costs a file descriptor and a little memory, never a thread. Each wait has
// a deadline (a request to start, its head, its body, the response to be
// taken), and a connection beyond the limit is refused with 503.
//
// The front end is the only reader of a request's framing. It reads the head
// within its limits, decides the body's length or refuses the request (two
// lengths, a negative or malformed one, a length with chunked coding, an
// unknown coding), reads the body, and gives the worker the request in one
// canonical form: the request line, the header fields less Content-Length,
// Transfer-Encoding and Expect, then one Content-Length for the body as read.
// The worker's HTTP layer never sees the connection's bytes, so it cannot
// read into the next request whatever it makes of this one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace krsoap::tool::http {

struct Limits {
  double idle_timeout = 5;     // s a connection may wait for its first or next request to begin
  double header_timeout = 10;  // s from a request's first byte to the end of its head
  double body_timeout = 60;    // s from the end of the head to the end of the body
  double write_timeout = 10;   // s for the client to take a response
  double linger = 2;           // s of input discarded after a refusal, before the close
  size_t max_connections = 512;
  size_t max_fields = 100;            // header fields of one request
  size_t max_head = 64 * 1024;        // bytes of the request line and the fields together
  size_t max_line = 8 * 1024;         // bytes of the request line, or of one field
  size_t max_body = 16u << 20;        // bytes of one body
  size_t body_budget = 256u << 20;    // bytes of bodies held at once, all connections together
};

// A listening TCP socket on host:port (port 0: a free one), without
// SO_REUSEPORT so that a port in use is an error. Returns the descriptor and
// sets *bound_port; or returns -1 and sets *why.
int Listen(const std::string& host, int port, int* bound_port, std::string* why);

// "host:port", the host in brackets when it is an IPv6 address.
std::string HostPort(const std::string& host, int port);

// The numeric address and port of a socket's own end (local) or its peer's.
// An IPv4 address mapped into IPv6 is given as IPv4.
bool SocketAddress(int fd, bool local, std::string* ip, int* port);

// Runs one request on a worker thread: `request` is the whole request in the
// canonical form; the handler puts the whole response into *response and
// returns whether the connection may carry another request. `close` says
// that it will not (the client asked, or the server is stopping).
using Handler = std::function<bool(int fd, const std::string& request, bool close, std::string* response)>;
// Queues a job for a worker thread.
using Post = std::function<void(std::function<void()>)>;

class Front {
 public:
  // Takes ownership of listen_fd.
  Front(int listen_fd, const Limits& limits, Handler handler, Post post);
  ~Front();
  Front(const Front&) = delete;
  Front& operator=(const Front&) = delete;

  // Serves until Stop; returns false (and says why) when it cannot start.
  // Once stopped it closes the listening socket and the connections waiting
  // for a request, lets the requests being served finish (their responses
  // say "Connection: close"), and returns.
  bool Run(std::string* why);
  void Stop();  // from any thread

 private:
  using Clock = std::chrono::steady_clock;
  struct Conn;

  void Accept();
  void OnEvent(Conn* c);
  void Advance(Conn* c);
  void Dispatch(Conn* c);
  void Returned();
  void Respond(Conn* c);
  void AfterResponse(Conn* c);
  void Fail(Conn* c, int status);
  void Linger(Conn* c);
  void Close(Conn* c);
  void Arm(Conn* c, uint32_t events);
  void SetDeadline(Conn* c, double seconds);
  void Expire();
  void Release(Conn* c);
  int WaitMs() const;

  int listen_fd_;
  const Limits limits_;
  Handler handler_;
  Post post_;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> stopping_{false};
  bool draining_ = false;
  std::unordered_map<Conn*, std::unique_ptr<Conn>> conns_;
  size_t busy_ = 0;
  size_t budget_used_ = 0;
  Clock::time_point next_check_ = Clock::time_point::max();
  Clock::time_point accept_paused_until_{};
  bool accept_paused_ = false;

  std::mutex returned_mu_;
  std::vector<Conn*> returned_;
};

}  // namespace krsoap::tool::http
