// One connection between two processes and everything that lives on it:
// the threads that read it and serve incoming calls in turn (in the
// multithreaded apartment), the calls waiting for their replies, the
// objects this side exported to the peer (stubs, kept alive until the peer
// releases them or disconnects) and the proxy managers of the peer's objects
// imported here. Both ends are the same class: a host's connection and a
// client's connection differ only in who owns them and whether they have a
// name directory to look objects up in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/com/proxystub.h"
#include "platform/com/rpc/frame.h"
#include "platform/com/rpc/socket.h"

namespace krsoap::com::rpc {

class ProxyManager;

// What a host lends its connections: the published objects by name.
class NameDirectory {
 public:
  virtual ~NameDirectory() = default;
  // An AddRef'd object published as `name`; CO_E_OBJNOTCONNECTED if none.
  virtual HRESULT Find(const std::string& name, IUnknown** out) = 0;
  virtual std::vector<std::string> Names() = 0;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Starts serving `socket` (already checked for the peer's uid). `names`
  // (a host's directory; nullptr on a client) must outlive the connection.
  // A client connection closes itself when its last proxy manager goes.
  static std::shared_ptr<Connection> Start(os::Socket socket, NameDirectory* names, bool client);
  ~Connection();

  // A blocking call: sends a request and waits for its reply (or for the
  // connection to die: RPC_E_DISCONNECTED, or the error the peer sent).
  HRESULT Call(const FrameHeader& request, const uint8_t* body, size_t size, std::vector<uint8_t>* reply);
  // A one-way request; failures are ignored.
  void Post(const FrameHeader& request, const uint8_t* body, size_t size);

  // Object references (see IKrObjectChannel).
  HRESULT Export(IUnknown* object, REFIID iid, uint64_t* oid);
  HRESULT Import(uint64_t oid, REFIID iid, void** ppv);
  // A proxy manager going away: forgets it and gives its references back.
  void ForgetImport(uint64_t oid, ProxyManager* manager, uint32_t references);

  // Client connections: the proxy managers using it.
  void AddUser();
  void ReleaseUser();

  // Shuts the connection down, waits for the calls in progress (unless
  // called from one of its own threads) and releases every exported object.
  void Close();
  bool Dead() const { return dead_.load(std::memory_order_acquire); }
  // True once the reader and all serving threads have ended.
  bool Finished();

  // Number of objects currently exported to the peer (tests).
  size_t ExportCount();

 private:
  struct Pending {
    bool done = false;
    HRESULT hr = S_OK;
    std::vector<uint8_t> body;
    std::condition_variable cv;
  };
  struct Incoming {
    FrameHeader header;
    std::vector<uint8_t> body;
  };
  struct Exported {
    IUnknown* identity = nullptr;
    uint32_t references = 0;
    std::vector<std::pair<GUID, IRpcStubBuffer*>> stubs;
  };

  Connection(os::Socket socket, NameDirectory* names, bool client);
  void ReaderLoop();
  void WorkerLoop();
  void ServeLoop();
  bool ReadRequest(Incoming* in, HRESULT* why);
  void Die(HRESULT why);
  void Serve(Incoming& in);
  void ServeSystem(Incoming& in);
  void SendReply(uint64_t call_id, uint8_t kind, const uint8_t* body, size_t size);
  void SendFault(uint64_t call_id, HRESULT hr);
  bool Send(const FrameHeader& h, const uint8_t* body, size_t size);
  HRESULT EnsureStub(uint64_t oid, IUnknown* identity, REFIID iid);
  IRpcStubBuffer* FindStub(uint64_t oid, REFIID iid, HRESULT* why);
  void ReleaseExports();
  bool OnOwnThread() const;

  os::Socket socket_;
  NameDirectory* names_;
  const bool client_;
  IKrObjectChannel* server_channel_ = nullptr;  // the channel stubs reply through

  std::mutex send_mu_;
  std::mutex mu_;  // pending calls, incoming queue, workers, lifecycle
  std::atomic<bool> dead_{false};
  HRESULT death_ = RPC_E_DISCONNECTED;
  uint64_t next_call_ = 1;
  std::unordered_map<uint64_t, Pending*> pending_;
  std::deque<Incoming> queue_;
  std::condition_variable work_cv_;
  std::vector<std::thread> workers_;
  int idle_ = 0;            // threads waiting to read or serve
  bool reading_ = false;    // a thread is reading the socket
  bool stopping_ = false;
  std::thread reader_;
  bool reader_ready_ = false;
  bool finished_ = false;
  bool closed_ = false;
  std::condition_variable state_cv_;
  long users_ = 0;

  std::mutex export_mu_;
  uint64_t next_oid_ = 1;
  std::unordered_map<uint64_t, Exported> exports_;
  std::map<IUnknown*, uint64_t> by_identity_;

  std::mutex import_mu_;
  std::unordered_map<uint64_t, ProxyManager*> imports_;
};

}  // namespace krsoap::com::rpc
