// Cross-process object calls: a host publishes COM objects by name on an
// owner-only Unix-domain socket (ObjectServer); another process of the same
// user connects to one by name and gets a proxy (ConnectToObject), whose
// calls travel over the socket to the object, in the host's multithreaded
// apartment, through the interpreted proxies and stubs of the interface's
// registered proxy/stub module (platform/com/proxystub.h). The wire format
// is in docs/marshalling.md.
//
// Finding the proxy/stub is Windows' path: HKCR\Interface\{iid}\ProxyStubClsid32
// names the proxy/stub CLSID, whose InprocServer32 module answers
// DllGetClassObject(psclsid, IID_IPSFactoryBuffer). Both processes need the
// interface registered (for halvex's interfaces: `krsoap register libhalvex.so`).
//
// Lifetime: every object reference sent to a peer (the published object a
// client looked up, an interface pointer passed as an argument either way)
// keeps the object alive in the sending process until the receiving process
// releases its last proxy of it, or the connection ends. Proxies of one
// object share one identity (QueryInterface for IUnknown gives the same
// pointer); QueryInterface for an interface not yet used asks the peer.
//
// HRESULTs (besides the objects' own):
//   ConnectToObject / ListObjects
//     HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) 0x80070002  no host listens at the path
//                                   (no socket file, or a stale one whose host is gone)
//     E_ACCESSDENIED 0x80070005     the socket may not be reached, or the peer runs as
//                                   another user (either side checks SO_PEERCRED)
//     E_INVALIDARG 0x80070057       a path too long for a socket address; an empty name,
//                                   a name above 1024 bytes
//     CO_E_OBJNOTCONNECTED 0x800401FD  no object is published under the name
//     E_NOINTERFACE 0x80004002      the object does not have the interface
//     REGDB_E_IIDNOTREG 0x80040155  no proxy/stub is registered for the interface (either side)
//   Calls through a proxy
//     RPC_E_DISCONNECTED 0x80010108  the connection is gone: the host exited or was killed
//                                   (before or during the call), the host closed, or the
//                                   peer stopped taking bytes for 30 s
//     RPC_E_INVALID_DATAPACKET 0x80010009  a malformed message (either direction)
//     RPC_E_INVALID_HEADER 0x80010111  a malformed frame header; the connection is dropped
//     RPC_S_PROCNUM_OUT_OF_RANGE 0x800706D1  a method slot the interface does not have
//     CO_E_OBJNOTCONNECTED 0x800401FD  an object id the host does not know (any more)
//     RPC_E_CLIENT_CANTMARSHAL_DATA / RPC_E_SERVER_CANTMARSHAL_DATA  a value that cannot
//                                   travel (see proxystub.h)
//     RPC_X_NULL_REF_POINTER 0x800706F4  a null [out] pointer
//     RPC_E_SERVERCALL_RETRYLATER 0x8001010A  256 requests of the connection already wait
//                                   for a serving thread
//
// Bounded waits: a call waits for its reply as long as the connection
// lives — a call may legitimately run long (a monitor's Stop waits for its
// workers) — and the connection's death is noticed at once: a peer process
// that exits or is killed closes its socket, which ends every waiting call
// with RPC_E_DISCONNECTED and (on the host) releases every object the peer
// held. Not covered: a peer that stays alive but stops answering (stopped
// with SIGSTOP, deadlocked) keeps its callers waiting; writes to it fail
// after 30 s. A proxy kept after its host died fails its calls and is
// released safely.
//
// Threads: each connection has up to 32 threads (started on demand, in the
// multithreaded apartment) that read the socket in turn and serve the
// requests they read — the thread that reads a request hands the reading to
// another and serves it itself — so calls block independently, callbacks
// may nest, and replies are read even when every thread is busy (requests
// then wait in a queue of 256).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/com.h"

namespace krsoap::com::rpc {

class Connection;

// A host's endpoint: listens on a Unix-domain stream socket at `socket_path`. The socket file is created
// owner-only (0600) inside a directory that must be owned by the caller and not reachable by others
// (created 0700 if missing; refused with E_ACCESSDENIED if it is group/other-accessible or owned by
// someone else). Peers whose SO_PEERCRED uid differs from ours are refused. A stale socket file left by
// a dead host is replaced; a live one (connect succeeds) makes Listen fail with
// HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS).
class ObjectServer {
 public:
  static HRESULT Listen(const std::string& socket_path, std::unique_ptr<ObjectServer>* out);
  ~ObjectServer();  // = Close()
  ObjectServer(const ObjectServer&) = delete;
  ObjectServer& operator=(const ObjectServer&) = delete;

  // Publishes `object` under `name` (AddRef'd; released on Revoke/Close). Calls arrive on the server's
  // own threads, which are in the multithreaded apartment. A name already published:
  // HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS); an empty name or one above 1024 bytes: E_INVALIDARG.
  HRESULT Publish(const std::string& name, IUnknown* object);
  // Forgets the name; peers holding proxies keep the object until they release them.
  void Revoke(const std::string& name);
  // Stop accepting, disconnect peers, wait for calls in progress, release every published and exported
  // object, remove the file. Idempotent.
  void Close();

  // The path listened on.
  const std::string& path() const { return path_; }
  // Number of peers connected now (tests and status).
  size_t ConnectionCount();

 private:
  class Directory;
  ObjectServer() = default;
  void AcceptLoop();

  std::string path_;
  std::unique_ptr<Directory> directory_;
  struct Listener;
  std::unique_ptr<Listener> listener_;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::shared_ptr<Connection>> connections_;
  bool closed_ = false;
};

// Client side. Returns a proxy for `iid` on the object published as `name`. The interface must have a
// registered proxy/stub (HKCR\Interface\{iid}\ProxyStubClsid32); the proxy's calls travel over the socket.
// The connection stays open while any proxy from it lives. HRESULTs: see the top of this file.
HRESULT ConnectToObject(const std::string& socket_path, const std::string& name, REFIID iid, void** ppv);
// The published names, in publication order.
HRESULT ListObjects(const std::string& socket_path, std::vector<std::string>* names);

// The host's default socket: $KRSOAP_HOME/run/host.sock (under the data root; run/ is 0700).
std::string DefaultSocketPath();

}  // namespace krsoap::com::rpc
