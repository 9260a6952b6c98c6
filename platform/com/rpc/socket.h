// The transport's narrow view of the operating system: owner-only
// Unix-domain stream sockets. Everything the cross-process object transport
// asks of the OS goes through this interface (one implementation,
// socket_posix.cpp), so the rest of platform/com/rpc is free of system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/com/com.h"

namespace krsoap::com::rpc::os {

// A connected or listening socket; closes on destruction.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket();
  Socket(Socket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Socket& operator=(Socket&& o) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return fd_ >= 0; }
  int native() const { return fd_; }  // for socket_posix.cpp only

  // Sends both pieces whole. False when the peer is gone or a send made no
  // progress for the send timeout (a peer that stopped reading).
  bool SendAll(const void* a, size_t na, const void* b, size_t nb) const;
  // Receives exactly n bytes. False at end of stream, on a reset or after
  // Shutdown.
  bool RecvAll(void* p, size_t n) const;
  // The uid of the peer process (SO_PEERCRED).
  bool PeerUid(uint32_t* uid) const;
  // Ends both directions: a RecvAll or Accept blocked in another thread
  // returns. The descriptor stays open until destruction.
  void Shutdown() const;

  // Accepts one connection; false once the listener is shut down.
  bool Accept(Socket* out) const;

 private:
  int fd_ = -1;
};

uint32_t CurrentUid();

// Makes sure `dir` exists, belongs to the caller and is closed to everyone
// else: created 0700 when missing (with missing parents); E_ACCESSDENIED
// when it is owned by another user or group/other can reach it.
HRESULT PreparePrivateDirectory(const std::string& dir);

// Listens at `path` (mode 0600). A stale socket file whose host is gone is
// replaced; a live one gives HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS); a path
// longer than a socket address holds gives E_INVALIDARG.
HRESULT ListenAt(const std::string& path, Socket* out);

// Connects to `path`: HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when no host
// listens there (no file, or a stale one), E_ACCESSDENIED when the file may
// not be reached.
HRESULT ConnectTo(const std::string& path, Socket* out);

// Removes the socket file at `path` (when it is a socket).
void RemoveSocketFile(const std::string& path);

}  // namespace krsoap::com::rpc::os
