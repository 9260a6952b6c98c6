// The connection front end of "krsoap serve-http"; see http_front.h.
#include "tools/krsoap/http_front.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>

namespace krsoap::tool::http {
namespace {

constexpr size_t kReadChunk = 64 * 1024;  // read per readiness event, so that one client cannot hog the loop

const char* Reason(int status) {
  switch (status) {
    case 100: return "Continue";
    case 400: return "Bad Request";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 417: return "Expectation Failed";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

// The whole response to a request the front end refuses; the connection is
// closed after it.
std::string Refusal(int status) {
  std::string text = std::string(Reason(status)) + "\n";
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  if (status == 503) r += "Retry-After: 1\r\n";
  r += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(text.size()) +
       "\r\nConnection: close\r\n\r\n" + text;
  return r;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCopy(std::string s) {
  for (char& c : s) c = Lower(c);
  return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  c = Lower(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool IsTchar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Calls fn for each trimmed element of a comma-separated list.
template <typename Fn>
void ForEachElement(const std::string& list, Fn fn) {
  size_t start = 0;
  while (true) {
    size_t comma = list.find(',', start);
    fn(Trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

// What the head of a request says about its framing.
struct Head {
  std::string canonical;  // request line and kept fields, each ending with CRLF
  bool has_length = false;
  uint64_t length = 0;
  bool chunked = false;
  bool expect_continue = false;
  bool close = false;
  bool http10 = false;
};

// Reads a head (the request line and the fields, each line ending with CRLF,
// without the empty line). Returns 0, or the status to refuse it with.
int ParseHead(const std::string& text, const Limits& limits, Head* head) {
  // CR and LF only as a pair, no NUL: one reading of where a line ends.
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\0') return 400;
    if (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) return 400;
    if (c == '\n' && (i == 0 || text[i - 1] != '\r')) return 400;
  }
  size_t eol = text.find("\r\n");
  std::string line = text.substr(0, eol);
  if (line.size() > limits.max_line) return 414;
  size_t sp1 = line.find(' '), sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp1 == 0 || sp2 == std::string::npos || sp2 == sp1 + 1 || line.find(' ', sp2 + 1) != std::string::npos) {
    return 400;
  }
  for (size_t i = 0; i < sp1; ++i) {
    if (!IsTchar(line[i])) return 400;
  }
  for (size_t i = sp1 + 1; i < sp2; ++i) {
    auto u = static_cast<unsigned char>(line[i]);
    if (u <= 0x20 || u == 0x7f) return 400;
  }
  std::string version = line.substr(sp2 + 1);
  if (version == "HTTP/1.0") {
    head->http10 = true;
  } else if (version != "HTTP/1.1") {
    bool looks = version.size() == 8 && version.compare(0, 5, "HTTP/") == 0 && IsDigit(version[5]) &&
                 version[6] == '.' && IsDigit(version[7]);
    return looks ? 505 : 400;
  }
  head->canonical = line + "\r\n";

  size_t fields = 0, hosts = 0, lengths = 0;
  bool keep_alive = false;
  std::string codings;
  for (size_t at = eol + 2; at < text.size();) {
    size_t end = text.find("\r\n", at);
    line = text.substr(at, end - at);
    at = end + 2;
    if (++fields > limits.max_fields || line.size() > limits.max_line) return 431;
    // A field must start with its name: a leading space or tab is a folded
    // line, which readers take in different ways.
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos) return 400;
    for (size_t i = 0; i < colon; ++i) {
      if (!IsTchar(line[i])) return 400;  // also a space before the colon
    }
    std::string name = line.substr(0, colon), value = Trim(line.substr(colon + 1));
    for (char c : value) {
      auto u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\t') || u == 0x7f) return 400;
    }
    std::string lower = LowerCopy(name);
    if (lower == "content-length") {
      // Repeated or listed lengths must agree, each plain digits (a sign
      // or anything else is no length). One too long to convert is simply
      // too large.
      bool bad = false;
      ForEachElement(value, [&](const std::string& e) {
        if (e.empty() || e.find_first_not_of("0123456789") != std::string::npos) {
          bad = true;
          return;
        }
        size_t first = std::min(e.find_first_not_of('0'), e.size() - 1);
        uint64_t n = e.size() - first > 15 ? std::numeric_limits<uint64_t>::max() : std::stoull(e.substr(first));
        if (lengths++ > 0 && n != head->length) bad = true;
        head->length = n;
      });
      if (bad) return 400;
      head->has_length = true;
      continue;
    }
    if (lower == "transfer-encoding") {
      codings += (codings.empty() ? "" : ",") + value;
      continue;
    }
    if (lower == "expect") {
      if (LowerCopy(value) != "100-continue") return 417;
      head->expect_continue = !head->http10;
      continue;
    }
    if (lower == "host") ++hosts;
    if (lower == "connection") {
      ForEachElement(LowerCopy(value), [&](const std::string& e) {
        if (e == "close") head->close = true;
        if (e == "keep-alive") keep_alive = true;
      });
    }
    head->canonical += name + ": " + value + "\r\n";
  }
  if (hosts > 1 || (hosts == 0 && !head->http10)) return 400;
  if (!codings.empty()) {
    if (head->http10 || head->has_length) return 400;
    if (LowerCopy(Trim(codings)) != "chunked") return 501;
    head->chunked = true;
  }
  if (head->http10 && !keep_alive) head->close = true;
  if (head->length > limits.max_body) return 413;
  return 0;
}

// Reads a chunked body incrementally.
struct Chunks {
  enum State { kSize, kData, kDataEnd, kTrailer, kDone } state = kSize;
  uint64_t left = 0;  // bytes of the current chunk still to come
  size_t pos = 0;     // bytes of the input read so far
  size_t trailer = 0; // bytes of trailer fields (read and dropped)
};

// Decodes what has arrived of a chunked body from `in` onto *body. Returns
// 0 (done when the state is kDone; otherwise more is needed), or a status.
int Decode(const std::string& in, const Limits& limits, Chunks* ch, std::string* body) {
  while (ch->state != Chunks::kDone) {
    switch (ch->state) {
      case Chunks::kSize:
      case Chunks::kTrailer: {
        size_t eol = in.find("\r\n", ch->pos);
        size_t len = (eol == std::string::npos ? in.size() : eol) - ch->pos;
        if (len > limits.max_line) return ch->state == Chunks::kSize ? 400 : 431;
        if (eol == std::string::npos) return 0;
        std::string line = in.substr(ch->pos, len);
        ch->pos = eol + 2;
        if (line.find_first_of("\r\n") != std::string::npos || line.find('\0') != std::string::npos) return 400;
        if (ch->state == Chunks::kTrailer) {
          if (line.empty()) {
            ch->state = Chunks::kDone;
          } else if ((ch->trailer += len + 2) > limits.max_head) {
            return 431;
          }
          break;
        }
        size_t digits = 0;
        uint64_t size = 0;
        for (int v; digits < line.size() && (v = HexValue(line[digits])) >= 0; ++digits) {
          if (digits == 15) return 413;
          size = size * 16 + static_cast<uint64_t>(v);
        }
        if (digits == 0) return 400;
        std::string rest = Trim(line.substr(digits));
        if (!rest.empty() && rest[0] != ';') return 400;  // anything after the size is an extension
        if (size > limits.max_body - body->size()) return 413;
        ch->left = size;
        ch->state = size == 0 ? Chunks::kTrailer : Chunks::kData;
        break;
      }
      case Chunks::kData: {
        size_t take = static_cast<size_t>(std::min<uint64_t>(ch->left, in.size() - ch->pos));
        body->append(in, ch->pos, take);
        ch->pos += take;
        ch->left -= take;
        if (ch->left > 0) return 0;
        ch->state = Chunks::kDataEnd;
        break;
      }
      case Chunks::kDataEnd:
        if (in.size() - ch->pos < 2) return 0;
        if (in.compare(ch->pos, 2, "\r\n") != 0) return 400;
        ch->pos += 2;
        ch->state = Chunks::kSize;
        break;
      case Chunks::kDone:
        break;
    }
  }
  return 0;
}

// Sends what it can without waiting. False when the connection failed.
bool SendSome(int fd, const std::string& out, size_t* pos) {
  while (*pos < out.size()) {
    ssize_t n = send(fd, out.data() + *pos, out.size() - *pos, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      *pos += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
  return true;
}

}  // namespace

struct Front::Conn {
  enum class Phase {
    kIdle,    // waiting for a request to begin
    kHead,    // reading its head
    kBody,    // reading its body
    kBusy,    // with a worker
    kWrite,   // a response waiting for the client to take it
    kLinger,  // closing: the response is out, input is dropped
  };
  int fd = -1;
  Phase phase = Phase::kIdle;
  Clock::time_point deadline = Clock::time_point::max();
  std::string in;      // bytes read and not yet part of a request
  size_t scanned = 0;  // bytes of `in` searched for the head's end
  Head head;
  Chunks chunks;
  std::string body;     // a chunked body, decoded
  std::string request;  // the canonical request, for the worker
  size_t reserved = 0;  // bytes of the body budget held
  std::string out;      // the response
  size_t out_pos = 0;
  bool keep = false;    // whether the connection carries on after `out`
  bool failed = false;  // the worker could not write
  bool armed = false;   // the worker sent all of `out` and armed the connection for the next request
};

std::string HostPort(const std::string& host, int port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool SocketAddress(int fd, bool local, std::string* ip, int* port) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  auto* sa = reinterpret_cast<sockaddr*>(&ss);
  if ((local ? getsockname(fd, sa, &len) : getpeername(fd, sa, &len)) != 0) return false;
  char text[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    *port = ntohs(a->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {
      inet_ntop(AF_INET, &a->sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    }
    *port = ntohs(a->sin6_port);
  } else {
    return false;
  }
  *ip = text;
  return true;
}

int Listen(const std::string& host, int port, int* bound_port, std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  // What looks like an address is taken as one, never looked up as a name.
  const bool numeric = host.find(':') != std::string::npos || host.find_first_not_of("0123456789.") == std::string::npos;
  if (numeric) hints.ai_flags |= AI_NUMERICHOST;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) {
    *why = numeric && rc == EAI_NONAME ? "not an IPv4 or IPv6 address"
           : rc == EAI_SYSTEM          ? std::strerror(errno)
                                       : gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  for (addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) {
    fd = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      if (why->empty()) *why = std::strerror(errno);
      continue;
    }
    // SO_REUSEADDR lets a restart bind past connections in TIME_WAIT; unlike
    // SO_REUSEPORT it never lets a second server share a listening port.
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
      if (why->empty()) *why = std::strerror(errno);
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  if (fd < 0) return -1;
  why->clear();
  std::string ip;
  if (!SocketAddress(fd, true, &ip, bound_port)) *bound_port = port;
  return fd;
}

Front::Front(int listen_fd, const Limits& limits, Handler handler, Post post)
    : listen_fd_(listen_fd),
      limits_(limits),
      handler_(std::move(handler)),
      post_(std::move(post)),
      epoll_fd_(epoll_create1(EPOLL_CLOEXEC)),
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Front::~Front() {
  for (auto& entry : conns_) close(entry.first->fd);
  if (listen_fd_ >= 0) close(listen_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
  if (epoll_fd_ >= 0) close(epoll_fd_);
}

void Front::Stop() {
  stopping_ = true;
  uint64_t one = 1;
  if (wake_fd_ >= 0 && write(wake_fd_, &one, sizeof one) < 0) {
    // The counter is full: a wake-up is pending anyway.
  }
}

bool Front::Run(std::string* why) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &wake_fd_;
  bool ok = epoll_fd_ >= 0 && wake_fd_ >= 0 && epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev) == 0;
  ev.data.ptr = &listen_fd_;
  if (!ok || epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &ev) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  epoll_event events[64];
  while (true) {
    if (stopping_ && !draining_) {
      draining_ = true;
      close(listen_fd_);
      listen_fd_ = -1;
      std::vector<Conn*> idle;
      for (auto& entry : conns_) {
        if (entry.first->phase != Conn::Phase::kBusy) idle.push_back(entry.first);
      }
      for (Conn* c : idle) Close(c);
    }
    if (draining_ && busy_ == 0 &&
        std::none_of(conns_.begin(), conns_.end(),
                     [](const auto& entry) { return entry.first->phase == Conn::Phase::kWrite; })) {
      break;  // what is still lingering has its response
    }
    int n = epoll_wait(epoll_fd_, events, 64, WaitMs());
    if (n < 0) {
      if (errno == EINTR) continue;
      *why = std::strerror(errno);
      return false;
    }
    // First what the workers gave back: a connection a worker armed may
    // have its next request among these events.
    Returned();
    for (int i = 0; i < n; ++i) {
      void* p = events[i].data.ptr;
      if (p == &wake_fd_) {
        uint64_t count;
        while (read(wake_fd_, &count, sizeof count) > 0) {
        }
      } else if (p == &listen_fd_) {
        if (!draining_) Accept();
      } else {
        OnEvent(static_cast<Conn*>(p));
      }
    }
    Expire();
  }
  return true;
}

int Front::WaitMs() const {
  // A worker that arms a connection itself does not wake the loop: while
  // requests are out, it looks for them at least every 100 ms (and starts
  // their idle time then).
  const long long most = busy_ > 0 ? 100 : 60000;
  if (next_check_ == Clock::time_point::max()) return busy_ > 0 ? static_cast<int>(most) : -1;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(next_check_ - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, most));
}

void Front::SetDeadline(Conn* c, double seconds) {
  c->deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  next_check_ = std::min(next_check_, c->deadline);
}

void Front::Arm(Conn* c, uint32_t events) {
  epoll_event ev{};
  ev.events = events | EPOLLONESHOT;
  ev.data.ptr = c;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c->fd, &ev) != 0) epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, c->fd, &ev);
}

void Front::Accept() {
  for (int i = 0; i < 64; ++i) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: stop taking connections for a moment rather
        // than spin on the one that cannot be accepted.
        epoll_event ev{};
        ev.data.ptr = &listen_fd_;
        epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, listen_fd_, &ev);
        accept_paused_ = true;
        accept_paused_until_ = Clock::now() + std::chrono::milliseconds(100);
        next_check_ = std::min(next_check_, accept_paused_until_);
        return;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      continue;  // the connection went away before it was taken
    }
    if (conns_.size() >= limits_.max_connections) {
      std::string refusal = Refusal(503);
      size_t pos = 0;
      SendSome(fd, refusal, &pos);
      close(fd);
      continue;
    }
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    auto conn = std::make_unique<Conn>();
    Conn* c = conn.get();
    c->fd = fd;
    conns_.emplace(c, std::move(conn));
    SetDeadline(c, limits_.idle_timeout);
    Arm(c, EPOLLIN);
  }
}

void Front::OnEvent(Conn* c) {
  switch (c->phase) {
    case Conn::Phase::kWrite:
      Respond(c);
      return;
    case Conn::Phase::kLinger: {
      char scratch[kReadChunk];
      for (int i = 0; i < 4; ++i) {
        ssize_t n = recv(c->fd, scratch, sizeof scratch, 0);
        if (n > 0) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        Close(c);
        return;
      }
      Arm(c, EPOLLIN);
      return;
    }
    case Conn::Phase::kBusy:
      return;
    default:
      if (draining_) {  // no new requests once stopping
        Close(c);
        return;
      }
      break;
  }
  char buf[kReadChunk];
  ssize_t n = recv(c->fd, buf, sizeof buf, 0);
  if (n > 0) c->in.append(buf, static_cast<size_t>(n));
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    Close(c);  // the client left, perhaps half-way through a request: nobody to answer
    return;
  }
  Advance(c);
}

// Moves a connection on with what it has read: to the next phase, to a
// worker, to a refusal, or back to waiting for input.
void Front::Advance(Conn* c) {
  if (c->phase == Conn::Phase::kIdle) {
    if (c->in.empty()) {
      Arm(c, EPOLLIN);
      return;
    }
    c->phase = Conn::Phase::kHead;
    SetDeadline(c, limits_.header_timeout);
  }
  if (c->phase == Conn::Phase::kHead) {
    size_t end = c->in.find("\r\n\r\n", c->scanned > 3 ? c->scanned - 3 : 0);
    // A line ended by LF alone never ends the head: refused as soon as seen.
    for (size_t lf = c->in.find('\n', c->scanned); lf != std::string::npos && lf < end; lf = c->in.find('\n', lf + 1)) {
      if (lf == 0 || c->in[lf - 1] != '\r') return Fail(c, 400);
    }
    if (end == std::string::npos) {
      c->scanned = c->in.size();
      size_t first_line = std::min(c->in.find("\r\n"), c->in.size());
      if (first_line > limits_.max_line) return Fail(c, 414);
      if (c->in.size() > limits_.max_head) return Fail(c, 431);
      Arm(c, EPOLLIN);
      return;
    }
    if (end > limits_.max_head) return Fail(c, 431);
    c->head = Head();
    if (int status = ParseHead(c->in.substr(0, end + 2), limits_, &c->head)) return Fail(c, status);
    c->in.erase(0, end + 4);
    c->scanned = 0;
    if (!c->head.chunked && c->head.length > 0) {
      if (budget_used_ + c->head.length > limits_.body_budget) return Fail(c, 503);
      c->reserved = c->head.length;
      budget_used_ += c->reserved;
    }
    c->chunks = Chunks();
    c->body.clear();
    c->phase = Conn::Phase::kBody;
    SetDeadline(c, limits_.body_timeout);
    bool whole = !c->head.chunked && c->in.size() >= c->head.length;
    if (c->head.expect_continue && !whole && c->in.empty()) {
      std::string go = "HTTP/1.1 100 Continue\r\n\r\n";
      size_t pos = 0;
      SendSome(c->fd, go, &pos);  // a fresh connection's send buffer takes it
    }
  }
  // The body.
  size_t length;
  if (c->head.chunked) {
    if (int status = Decode(c->in, limits_, &c->chunks, &c->body)) return Fail(c, status);
    if (c->body.size() > c->reserved) {
      size_t more = c->body.size() - c->reserved;
      if (budget_used_ + more > limits_.body_budget) return Fail(c, 503);
      budget_used_ += more;
      c->reserved += more;
    }
    if (c->chunks.state != Chunks::kDone) {
      c->in.erase(0, c->chunks.pos);  // decoded: only what is left of the current line stays
      c->chunks.pos = 0;
      Arm(c, EPOLLIN);
      return;
    }
    length = c->body.size();
  } else {
    length = static_cast<size_t>(c->head.length);
    if (c->in.size() < length) {
      Arm(c, EPOLLIN);
      return;
    }
  }
  std::string cl = "Content-Length: " + std::to_string(length) + "\r\n\r\n";
  c->request.clear();
  c->request.reserve(c->head.canonical.size() + cl.size() + length);
  c->request += c->head.canonical;
  c->request += cl;
  if (c->head.chunked) {
    c->request += c->body;
    std::string().swap(c->body);
    c->in.erase(0, c->chunks.pos);
  } else {
    c->request.append(c->in, 0, length);
    c->in.erase(0, length);
  }
  Dispatch(c);
}

void Front::Dispatch(Conn* c) {
  c->phase = Conn::Phase::kBusy;
  c->deadline = Clock::time_point::max();
  ++busy_;
  post_([this, c] {
    std::string response;
    const bool close = c->head.close || stopping_;
    bool keep = handler_(c->fd, c->request, close, &response);
    std::string().swap(c->request);
    c->out = std::move(response);
    c->out_pos = 0;
    c->keep = keep && !close;
    // Most responses fit the socket's buffer: sent here, the loop only
    // handles what a slow reader leaves.
    c->failed = !SendSome(c->fd, c->out, &c->out_pos);
    // The usual case, all sent and nothing more read yet: the connection is
    // armed for its next request here, and the loop hears of it with that
    // request (or within its longest wait) instead of being woken. Armed
    // under the lock, so the loop cannot take the connection back (and
    // perhaps close it) before the arming is done; `c` is not touched after.
    const bool armed = !c->failed && c->keep && c->out_pos == c->out.size() && c->in.empty() && !stopping_;
    c->armed = armed;
    if (armed) std::string().swap(c->out);
    {
      std::lock_guard<std::mutex> lock(returned_mu_);
      returned_.push_back(c);
      if (armed) Arm(c, EPOLLIN);
    }
    if (!armed) {
      uint64_t one = 1;
      if (write(wake_fd_, &one, sizeof one) < 0) {
        // The counter is full: a wake-up is pending anyway.
      }
    }
  });
}

void Front::Returned() {
  std::vector<Conn*> back;
  {
    std::lock_guard<std::mutex> lock(returned_mu_);
    back.swap(returned_);
  }
  for (Conn* c : back) {
    --busy_;
    if (c->armed) {
      // Its next request may be among this round's events: it is not
      // closed here, only made idle (when stopping, the loop closes it on
      // its next event or on leaving).
      c->armed = false;
      Release(c);
      c->out_pos = 0;
      c->phase = Conn::Phase::kIdle;
      SetDeadline(c, limits_.idle_timeout);
      continue;
    }
    if (c->failed) {
      Close(c);
      continue;
    }
    c->phase = Conn::Phase::kWrite;
    SetDeadline(c, limits_.write_timeout);
    Respond(c);
  }
}

// Sends what is left of the response; moves on once all of it is out.
void Front::Respond(Conn* c) {
  if (!SendSome(c->fd, c->out, &c->out_pos)) {
    Close(c);
    return;
  }
  if (c->out_pos < c->out.size()) {
    Arm(c, EPOLLOUT);
    return;
  }
  AfterResponse(c);
}

void Front::AfterResponse(Conn* c) {
  std::string().swap(c->out);
  c->out_pos = 0;
  Release(c);
  if (!c->keep || draining_) {
    Linger(c);
    return;
  }
  c->phase = Conn::Phase::kIdle;
  SetDeadline(c, limits_.idle_timeout);
  Advance(c);  // a pipelined request may be here already
}

void Front::Fail(Conn* c, int status) {
  Release(c);
  std::string().swap(c->in);
  std::string().swap(c->body);
  c->out = Refusal(status);
  c->out_pos = 0;
  c->keep = false;
  c->phase = Conn::Phase::kWrite;
  SetDeadline(c, limits_.write_timeout);
  Respond(c);
}

// Closes the sending side and drops what still comes in for a while: a
// close with unread input would reset the connection, and the client could
// lose the response it has not read yet.
void Front::Linger(Conn* c) {
  shutdown(c->fd, SHUT_WR);
  std::string().swap(c->in);
  c->phase = Conn::Phase::kLinger;
  SetDeadline(c, limits_.linger);
  Arm(c, EPOLLIN);
}

void Front::Release(Conn* c) {
  budget_used_ -= c->reserved;
  c->reserved = 0;
}

void Front::Close(Conn* c) {
  Release(c);
  close(c->fd);
  conns_.erase(c);
}

void Front::Expire() {
  Clock::time_point now = Clock::now();
  if (accept_paused_ && now >= accept_paused_until_ && !draining_) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &listen_fd_;
    epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, listen_fd_, &ev);
    accept_paused_ = false;
  }
  if (now < next_check_) return;
  Clock::time_point next = accept_paused_ ? accept_paused_until_ : Clock::time_point::max();
  std::vector<Conn*> expired;
  for (auto& entry : conns_) {
    Conn* c = entry.first;
    if (c->deadline <= now) {
      expired.push_back(c);
    } else {
      next = std::min(next, c->deadline);
    }
  }
  next_check_ = next;
  for (Conn* c : expired) {
    switch (c->phase) {
      case Conn::Phase::kHead:
        if (!c->in.empty()) {
          Fail(c, 408);
          break;
        }
        [[fallthrough]];
      case Conn::Phase::kIdle:
      case Conn::Phase::kWrite:
      case Conn::Phase::kLinger:
        Close(c);
        break;
      case Conn::Phase::kBody:
        Fail(c, 408);
        break;
      case Conn::Phase::kBusy:
        break;
    }
  }
}

}  // namespace krsoap::tool::http
