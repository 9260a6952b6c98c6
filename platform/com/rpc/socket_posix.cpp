// The POSIX implementation of the transport's socket interface (socket.h).
#include "platform/com/rpc/socket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace krsoap::com::rpc::os {
namespace {

// A peer that accepts no bytes for this long counts as gone: it is stopped
// or wedged, and a writer must not hang on it.
constexpr int kSendTimeoutSeconds = 30;

bool MakeAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr->sun_path) || path.find('\0') != std::string::npos) return false;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

void SetSendTimeout(int fd) {
  timeval tv{kSendTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

}  // namespace

Socket::~Socket() {
  if (fd_ >= 0) close(fd_);
}

Socket& Socket::operator=(Socket&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

bool Socket::SendAll(const void* a, size_t na, const void* b, size_t nb) const {
  iovec iov[2] = {{const_cast<void*>(a), na}, {const_cast<void*>(b), nb}};
  int first = 0;
  while (first < 2) {
    if (iov[first].iov_len == 0) {
      ++first;
      continue;
    }
    msghdr msg{};
    msg.msg_iov = &iov[first];
    msg.msg_iovlen = static_cast<size_t>(2 - first);
    ssize_t n = sendmsg(fd_, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;  // EPIPE, ECONNRESET, EAGAIN after the send timeout
    }
    size_t left = static_cast<size_t>(n);
    while (first < 2 && left >= iov[first].iov_len) {
      left -= iov[first].iov_len;
      iov[first].iov_len = 0;
      ++first;
    }
    if (first < 2) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  return true;
}

bool Socket::RecvAll(void* p, size_t n) const {
  auto* at = static_cast<char*>(p);
  while (n > 0) {
    ssize_t got = recv(fd_, at, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool Socket::PeerUid(uint32_t* uid) const {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof(cred)) return false;
  *uid = cred.uid;
  return true;
}

void Socket::Shutdown() const {
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

bool Socket::Accept(Socket* out) const {
  while (true) {
    int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      SetSendTimeout(fd);
      *out = Socket(fd);
      return true;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      // Out of descriptors or memory: let connections end before trying again.
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, 100);
      continue;
    }
    return false;  // EINVAL after Shutdown
  }
}

uint32_t CurrentUid() { return static_cast<uint32_t>(geteuid()); }

HRESULT PreparePrivateDirectory(const std::string& dir) {
  if (dir.empty()) return E_INVALIDARG;
  struct stat st{};
  if (lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) return E_ACCESSDENIED;
    // Create the missing parents (0700 as well), then the directory.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
      if (pos != dir.size() && dir[pos] != '/') continue;
      std::string part = dir.substr(0, pos);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return E_ACCESSDENIED;
    }
    if (lstat(dir.c_str(), &st) != 0) return E_ACCESSDENIED;
  }
  if (!S_ISDIR(st.st_mode)) return HRESULT_FROM_WIN32(267);  // ERROR_DIRECTORY: not a directory
  if (st.st_uid != CurrentUid() || (st.st_mode & 077) != 0) return E_ACCESSDENIED;
  return S_OK;
}

HRESULT ListenAt(const std::string& path, Socket* out) {
  sockaddr_un addr;
  if (!MakeAddress(path, &addr)) return E_INVALIDARG;
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    Socket probe;
    if (SUCCEEDED(ConnectTo(path, &probe))) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    unlink(path.c_str());  // stale: its host is gone
  }
  Socket s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return E_FAIL;
  // The file is made owner-only right after bind. The process umask is not
  // touched (it is process-wide); until the chmod, the 0700 directory the
  // callers put the socket in keeps everyone else out.
  int rc = bind(s.native(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  if (rc != 0) return errno == EADDRINUSE ? HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) : E_ACCESSDENIED;
  if (chmod(path.c_str(), 0600) != 0) {
    unlink(path.c_str());
    return E_ACCESSDENIED;
  }
  if (listen(s.native(), 64) != 0) return E_FAIL;
  *out = std::move(s);
  return S_OK;
}

HRESULT ConnectTo(const std::string& path, Socket* out) {
  sockaddr_un addr;
  if (!MakeAddress(path, &addr)) return E_INVALIDARG;
  Socket s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return E_FAIL;
  int fd = s.native();
  while (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (errno == EINTR) continue;
    if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    if (errno == EACCES || errno == EPERM) return E_ACCESSDENIED;
    return E_FAIL;
  }
  SetSendTimeout(fd);
  *out = std::move(s);
  return S_OK;
}

void RemoveSocketFile(const std::string& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
}

}  // namespace krsoap::com::rpc::os
