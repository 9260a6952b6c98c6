// A connection between two processes (see connection.h): framing on the
// socket, calls and replies, the serving threads, exported objects and
// their stubs, imported objects and their proxy managers, and the channels
// the interpreted proxies and stubs talk through.
#include "platform/com/rpc/connection.h"

#include <algorithm>
#include <cstdlib>

#include "platform/com/activation.h"
#include "platform/com/unknown_impl.h"

namespace krsoap::com::rpc {
namespace {

// Serving threads per connection: enough for calls that block (a monitor's
// Stop waits for its workers) and for calls nested through callbacks.
constexpr size_t kMaxWorkers = 32;
// Requests waiting for a serving thread; beyond this a peer is told to retry
// rather than let it grow this process's memory without bound.
constexpr size_t kMaxQueued = 256;

thread_local const Connection* tls_connection = nullptr;

void StoreIid(RPCOLEMESSAGE* msg, REFIID iid) { std::memcpy(&msg->reserved2[0], &iid, sizeof(GUID)); }
GUID LoadIid(const RPCOLEMESSAGE* msg) {
  GUID g;
  std::memcpy(&g, &msg->reserved2[0], sizeof(GUID));
  return g;
}
static_assert(sizeof(void*) * 2 >= sizeof(GUID), "the IID rides in the message's reserved words");

// The channel of one side of a connection: buffers are plain heap blocks;
// object references go to the connection. `oid` is the peer object a proxy
// manager's calls go to (0 for the channel stubs reply through).
class Channel final : public UnknownImpl<Channel, IKrObjectChannel, IID_IRpcChannelBuffer, IID_IKrObjectChannel> {
 public:
  Channel(std::weak_ptr<Connection> conn, uint64_t oid) : conn_(std::move(conn)), oid_(oid) {}


  HRESULT GetBuffer(RPCOLEMESSAGE* msg, REFIID iid) override {
    if (!msg) return E_INVALIDARG;
    if (msg->cbBuffer > wire::kMaxMessage) return RPC_E_OUT_OF_RESOURCES;
    void* p = std::malloc(msg->cbBuffer ? msg->cbBuffer : 1);
    if (!p) return E_OUTOFMEMORY;
    msg->Buffer = p;
    msg->reserved1 = p;  // ours to free
    StoreIid(msg, iid);
    return S_OK;
  }
  HRESULT SendReceive(RPCOLEMESSAGE* msg, ULONG* status) override {
    if (status) *status = 0;
    if (!msg || msg->reserved1 != msg->Buffer || oid_ == 0) return E_INVALIDARG;
    auto conn = conn_.lock();
    if (!conn) return RPC_E_DISCONNECTED;
    FrameHeader h;
    h.kind = kRequest;
    h.slot = static_cast<uint16_t>(msg->iMethod);
    h.object_id = oid_;
    h.iid = LoadIid(msg);
    std::vector<uint8_t> reply;
    HRESULT hr = conn->Call(h, static_cast<const uint8_t*>(msg->Buffer), msg->cbBuffer, &reply);
    if (FAILED(hr)) {
      if (status) *status = static_cast<ULONG>(hr);
      return hr;
    }
    void* p = std::malloc(reply.empty() ? 1 : reply.size());
    if (!p) return E_OUTOFMEMORY;
    if (!reply.empty()) std::memcpy(p, reply.data(), reply.size());
    std::free(msg->reserved1);
    msg->Buffer = msg->reserved1 = p;
    msg->cbBuffer = static_cast<ULONG>(reply.size());
    return S_OK;
  }
  HRESULT FreeBuffer(RPCOLEMESSAGE* msg) override {
    if (!msg) return E_INVALIDARG;
    std::free(msg->reserved1);
    msg->reserved1 = nullptr;
    msg->Buffer = nullptr;
    return S_OK;
  }
  HRESULT GetDestCtx(DWORD* ctx, void** pv) override {
    if (ctx) *ctx = 2;  // MSHCTX_LOCAL: another process on this machine
    if (pv) *pv = nullptr;
    return S_OK;
  }
  HRESULT IsConnected() override {
    auto conn = conn_.lock();
    return conn && !conn->Dead() ? S_OK : S_FALSE;
  }
  HRESULT ExportObject(IUnknown* object, REFIID iid, uint64_t* oid) override {
    auto conn = conn_.lock();
    if (!conn) return RPC_E_DISCONNECTED;
    return conn->Export(object, iid, oid);
  }
  HRESULT ImportObject(uint64_t oid, REFIID iid, void** ppv) override {
    auto conn = conn_.lock();
    if (!conn) return RPC_E_DISCONNECTED;
    return conn->Import(oid, iid, ppv);
  }

 private:
  std::weak_ptr<Connection> conn_;
  uint64_t oid_;
};

}  // namespace

// The identity of a peer object in this process: its IUnknown, the
// interface proxies made for it (aggregated into it) and the references
// the peer sent for it, given back when the manager goes.
class ProxyManager final : public IUnknown {
 public:
  ProxyManager(std::shared_ptr<Connection> conn, uint64_t oid) : conn_(std::move(conn)), oid_(oid) {
    channel_ = new Channel(conn_, oid_);
    conn_->AddUser();
  }

  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    {
      std::lock_guard lock(mu_);
      for (auto& p : proxies_) {
        if (IsEqualIID(p.iid, iid)) {
          AddRef();
          *ppv = p.itf;
          return S_OK;
        }
      }
    }
    if (!KnownRemote(iid)) {
      // Ask the peer whether the object has the interface (it makes a stub).
      FrameHeader h;
      h.kind = kRequest;
      h.flags = kSystem;
      h.slot = kRemQueryInterface;
      h.object_id = oid_;
      h.iid = iid;
      std::vector<uint8_t> reply;
      HRESULT hr = conn_->Call(h, nullptr, 0, &reply);
      if (FAILED(hr)) return hr;
      wire::Reader r(reply.data(), reply.size());
      uint32_t result = 0;
      if (!r.U32(&result) || !r.Done()) return RPC_E_INVALID_DATAPACKET;
      if (FAILED(static_cast<HRESULT>(result))) return static_cast<HRESULT>(result);
      NoteRemote(iid);
    }
    return MakeProxy(iid, ppv);
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    ULONG n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) Destroy();
    return n;
  }
  // An AddRef that fails on a manager already on its way out.
  bool TryAddRef() {
    ULONG n = refs_.load(std::memory_order_relaxed);
    while (n != 0) {
      if (refs_.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) return true;
    }
    return false;
  }
  void AddReceived() { received_.fetch_add(1, std::memory_order_relaxed); }
  void NoteRemote(REFIID iid) {
    std::lock_guard lock(mu_);
    if (std::find(remote_.begin(), remote_.end(), iid) == remote_.end()) remote_.push_back(iid);
  }

 private:
  struct Proxy {
    GUID iid;
    IRpcProxyBuffer* buffer;
    void* itf;
  };

  bool KnownRemote(REFIID iid) {
    std::lock_guard lock(mu_);
    return std::find(remote_.begin(), remote_.end(), iid) != remote_.end();
  }

  HRESULT MakeProxy(REFIID iid, void** ppv) {
    IPSFactoryBuffer* factory = nullptr;
    HRESULT hr = GetPSFactoryBuffer(iid, &factory);
    if (FAILED(hr)) return hr;
    IRpcProxyBuffer* buffer = nullptr;
    void* itf = nullptr;
    hr = factory->CreateProxy(this, iid, &buffer, &itf);  // itf holds one reference on this manager
    factory->Release();
    if (FAILED(hr)) return hr;
    buffer->Connect(channel_);
    {
      std::lock_guard lock(mu_);
      for (auto& p : proxies_) {
        if (IsEqualIID(p.iid, iid)) {  // another thread made it first
          AddRef();
          *ppv = p.itf;
          itf = nullptr;
          break;
        }
      }
      if (itf) {
        proxies_.push_back(Proxy{iid, buffer, itf});
        *ppv = itf;
        return S_OK;
      }
    }
    buffer->Disconnect();
    buffer->Release();
    Release();  // the reference CreateProxy gave for the discarded proxy
    return S_OK;
  }

  void Destroy() {
    std::vector<Proxy> proxies;
    {
      std::lock_guard lock(mu_);
      proxies.swap(proxies_);
    }
    for (auto& p : proxies) {
      p.buffer->Disconnect();
      p.buffer->Release();
    }
    channel_->Release();
    std::shared_ptr<Connection> conn = std::move(conn_);
    conn->ForgetImport(oid_, this, received_.load(std::memory_order_relaxed));
    delete this;
    conn->ReleaseUser();
  }

  std::atomic<ULONG> refs_{1};
  std::atomic<uint32_t> received_{1};
  std::shared_ptr<Connection> conn_;
  uint64_t oid_;
  Channel* channel_;
  std::mutex mu_;
  std::vector<Proxy> proxies_;
  std::vector<GUID> remote_;
};

// ---------------------------------------------------------------------------

std::shared_ptr<Connection> Connection::Start(os::Socket socket, NameDirectory* names, bool client) {
  std::shared_ptr<Connection> conn(new Connection(std::move(socket), names, client));
  conn->server_channel_ = new Channel(conn, 0);
  std::unique_lock lock(conn->mu_);
  conn->reader_ = std::thread([self = conn] { self->ReaderLoop(); });
  // The reader joins the multithreaded apartment first, so that a caller
  // that never initialised COM can reach proxy/stub modules (implicit MTA).
  conn->state_cv_.wait(lock, [&] { return conn->reader_ready_; });
  return conn;
}

Connection::Connection(os::Socket socket, NameDirectory* names, bool client)
    : socket_(std::move(socket)), names_(names), client_(client) {}

Connection::~Connection() {
  if (reader_.joinable()) {
    if (reader_.get_id() == std::this_thread::get_id()) reader_.detach();
    else reader_.join();
  }
  if (server_channel_) server_channel_->Release();
}

bool Connection::OnOwnThread() const { return tls_connection == this; }

bool Connection::Send(const FrameHeader& h, const uint8_t* body, size_t size) {
  uint8_t head[kHeaderSize];
  FrameHeader copy = h;
  copy.length = static_cast<uint32_t>(size);
  EncodeHeader(copy, head);
  std::lock_guard lock(send_mu_);
  return socket_.SendAll(head, kHeaderSize, body, size);
}

HRESULT Connection::Call(const FrameHeader& request, const uint8_t* body, size_t size, std::vector<uint8_t>* reply) {
  if (size > wire::kMaxMessage) return RPC_E_CLIENT_CANTMARSHAL_DATA;
  Pending pending;
  FrameHeader h = request;
  h.kind = kRequest;
  {
    std::lock_guard lock(mu_);
    if (dead_.load(std::memory_order_relaxed)) return death_;
    h.call_id = next_call_++;
    pending_[h.call_id] = &pending;
  }
  if (!Send(h, body, size)) {
    Die(RPC_E_DISCONNECTED);  // a peer that takes no more bytes is as good as gone
  }
  std::unique_lock lock(mu_);
  pending.cv.wait(lock, [&] { return pending.done; });
  if (FAILED(pending.hr)) return pending.hr;
  *reply = std::move(pending.body);
  return S_OK;
}

void Connection::Post(const FrameHeader& request, const uint8_t* body, size_t size) {
  if (Dead()) return;
  FrameHeader h = request;
  h.kind = kRequest;
  h.flags = static_cast<uint8_t>(h.flags | kOneWay | kSystem);
  if (!Send(h, body, size)) Die(RPC_E_DISCONNECTED);
}

void Connection::Die(HRESULT why) {
  std::lock_guard lock(mu_);
  if (!dead_.load(std::memory_order_relaxed)) {
    death_ = why;
    dead_.store(true, std::memory_order_release);
  }
  for (auto& [id, p] : pending_) {
    p->done = true;
    p->hr = death_;
    p->cv.notify_one();
  }
  pending_.clear();
  socket_.Shutdown();
}

// The first thread of the connection: it serves like the others and, once
// the connection is dead, ends them and releases what the peer held.
void Connection::ReaderLoop() {
  tls_connection = this;
  HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    std::lock_guard lock(mu_);
    reader_ready_ = true;
  }
  state_cv_.notify_all();
  ServeLoop();
  // No thread starts once stopping_ is set; the others finish the calls in
  // progress and leave.
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mu_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  ReleaseExports();
  if (SUCCEEDED(init)) CoUninitialize();
  {
    std::lock_guard lock(mu_);
    finished_ = true;
  }
  state_cv_.notify_all();
  tls_connection = nullptr;
}

void Connection::WorkerLoop() {
  tls_connection = this;
  HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ServeLoop();
  if (SUCCEEDED(init)) CoUninitialize();
  tls_connection = nullptr;
}

// Leader and followers: one thread at a time reads the socket. Replies it
// reads go to their waiting callers and it reads on; a request it reads, it
// serves itself after handing the reading to another thread (an idle one,
// or a new one), so that a call costs this process a single wake-up. At the
// thread limit the reader keeps reading and queues requests for the threads
// that come back, so replies are always read (calls nested through
// callbacks cannot starve).
void Connection::ServeLoop() {
  std::unique_lock lock(mu_);
  while (true) {
    ++idle_;
    work_cv_.wait(lock, [&] { return stopping_ || !queue_.empty() || !reading_; });
    --idle_;
    if (stopping_) return;
    if (!queue_.empty()) {
      Incoming in = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      Serve(in);
      in = Incoming{};
      lock.lock();
      continue;
    }
    reading_ = true;
    lock.unlock();
    Incoming in;
    HRESULT why = S_OK;
    const bool request = ReadRequest(&in, &why);
    lock.lock();
    reading_ = false;
    if (!request) {
      lock.unlock();
      Die(why);
      lock.lock();
      stopping_ = true;
      queue_.clear();
      work_cv_.notify_all();
      return;
    }
    if (idle_ > 0) {
      work_cv_.notify_one();
    } else if (workers_.size() < kMaxWorkers) {
      workers_.emplace_back([this] { WorkerLoop(); });
    } else {
      // Every thread is busy: keep reading, queue the request.
      if (queue_.size() >= kMaxQueued) {
        lock.unlock();
        if (!(in.header.flags & kOneWay)) SendFault(in.header.call_id, RPC_E_SERVERCALL_RETRYLATER);
      } else {
        queue_.push_back(std::move(in));
        lock.unlock();
      }
      lock.lock();
      continue;
    }
    lock.unlock();
    Serve(in);
    in = Incoming{};
    lock.lock();
  }
}

// Reads frames until a request arrives (true) or the connection ends
// (false, with the reason). Replies are handed to their callers on the way.
bool Connection::ReadRequest(Incoming* in, HRESULT* why) {
  *why = RPC_E_DISCONNECTED;
  while (true) {
    uint8_t head[kHeaderSize];
    if (!socket_.RecvAll(head, kHeaderSize)) return false;
    FrameHeader h;
    if (FAILED(DecodeHeader(head, kHeaderSize, &h))) {
      SendFault(0, RPC_E_INVALID_HEADER);
      *why = RPC_E_INVALID_HEADER;
      return false;
    }
    std::vector<uint8_t> body(h.length);
    if (h.length && !socket_.RecvAll(body.data(), h.length)) return false;
    if (h.kind == kRequest) {
      in->header = h;
      in->body = std::move(body);
      return true;
    }
    if (h.call_id == 0) {
      // The peer ends the connection and says why (a fault with call id 0).
      wire::Reader r(body.data(), body.size());
      uint32_t hr = 0;
      *why = h.kind == kFault && r.U32(&hr) && r.Done() && FAILED(static_cast<HRESULT>(hr)) ? static_cast<HRESULT>(hr)
                                                                                         : RPC_E_INVALID_DATAPACKET;
      return false;
    }
    std::unique_lock lock(mu_);
    auto it = pending_.find(h.call_id);
    if (it == pending_.end()) {
      lock.unlock();
      SendFault(0, RPC_E_INVALID_DATAPACKET);  // a reply nobody asked for: the peer is confused
      *why = RPC_E_INVALID_DATAPACKET;
      return false;
    }
    Pending* p = it->second;
    pending_.erase(it);
    if (h.kind == kFault) {
      wire::Reader r(body.data(), body.size());
      uint32_t hr = 0;
      p->hr = r.U32(&hr) && r.Done() && FAILED(static_cast<HRESULT>(hr)) ? static_cast<HRESULT>(hr)
                                                                          : RPC_E_INVALID_DATAPACKET;
    } else {
      p->body = std::move(body);
    }
    p->done = true;
    p->cv.notify_one();
  }
}

void Connection::SendReply(uint64_t call_id, uint8_t kind, const uint8_t* body, size_t size) {
  FrameHeader h;
  h.kind = kind;
  h.call_id = call_id;
  if (!Send(h, body, size)) Die(RPC_E_DISCONNECTED);
}

void Connection::SendFault(uint64_t call_id, HRESULT hr) {
  wire::Writer w;
  w.U32(static_cast<uint32_t>(hr));
  SendReply(call_id, kFault, w.buffer().data(), w.size());
}

void Connection::Serve(Incoming& in) {
  const FrameHeader& h = in.header;
  if (h.flags & kSystem) {
    ServeSystem(in);
    return;
  }
  HRESULT why = S_OK;
  IRpcStubBuffer* stub = FindStub(h.object_id, h.iid, &why);
  if (!stub) {
    SendFault(h.call_id, why);
    return;
  }
  RPCOLEMESSAGE msg{};
  msg.Buffer = in.body.data();
  msg.cbBuffer = static_cast<ULONG>(in.body.size());
  msg.iMethod = h.slot;
  HRESULT hr = stub->Invoke(&msg, server_channel_);
  stub->Release();
  if (FAILED(hr)) {
    if (msg.reserved1) server_channel_->FreeBuffer(&msg);
    SendFault(h.call_id, hr);
    return;
  }
  if (!msg.reserved1) {  // a stub that answered without a reply buffer
    SendFault(h.call_id, RPC_E_SERVERFAULT);
    return;
  }
  SendReply(h.call_id, kReply, static_cast<const uint8_t*>(msg.Buffer), msg.cbBuffer);
  server_channel_->FreeBuffer(&msg);
}

void Connection::ServeSystem(Incoming& in) {
  const FrameHeader& h = in.header;
  wire::Reader r(in.body.data(), in.body.size());
  wire::Writer w;
  switch (h.slot) {
    case kLookup: {
      uint32_t n = 0;
      const uint8_t* text = nullptr;
      if (!r.U32(&n) || n > 1024 || !(text = r.Take(n)) || !r.Done()) {
        SendFault(h.call_id, RPC_E_INVALID_DATAPACKET);
        return;
      }
      IUnknown* object = nullptr;
      HRESULT hr = names_ ? names_->Find(std::string(reinterpret_cast<const char*>(text), n), &object)
                          : CO_E_OBJNOTCONNECTED;
      uint64_t oid = 0;
      if (SUCCEEDED(hr)) {
        void* itf = nullptr;
        hr = object->QueryInterface(h.iid, &itf);
        if (SUCCEEDED(hr)) {
          hr = Export(static_cast<IUnknown*>(itf), h.iid, &oid);
          static_cast<IUnknown*>(itf)->Release();
        }
        object->Release();
      }
      w.U32(static_cast<uint32_t>(hr));
      if (SUCCEEDED(hr)) w.U64(oid);
      break;
    }
    case kList: {
      if (!r.Done()) {
        SendFault(h.call_id, RPC_E_INVALID_DATAPACKET);
        return;
      }
      std::vector<std::string> names = names_ ? names_->Names() : std::vector<std::string>{};
      w.U32(S_OK);
      w.U32(static_cast<uint32_t>(names.size()));
      for (const auto& n : names) {
        w.U32(static_cast<uint32_t>(n.size()));
        w.Bytes(n.data(), n.size());
      }
      break;
    }
    case kRemQueryInterface: {
      if (!r.Done()) {
        SendFault(h.call_id, RPC_E_INVALID_DATAPACKET);
        return;
      }
      HRESULT hr = CO_E_OBJNOTCONNECTED;
      IUnknown* identity = nullptr;
      {
        std::lock_guard lock(export_mu_);
        auto it = exports_.find(h.object_id);
        if (it != exports_.end()) {
          identity = it->second.identity;
          identity->AddRef();
        }
      }
      if (identity) {
        hr = EnsureStub(h.object_id, identity, h.iid);
        identity->Release();
      }
      w.U32(static_cast<uint32_t>(hr));
      break;
    }
    case kRemRelease: {
      uint32_t count = 0;
      if (!(h.flags & kOneWay) || !r.U32(&count) || !r.Done()) return;  // nothing to answer a forged release with
      Exported gone;
      {
        std::lock_guard lock(export_mu_);
        auto it = exports_.find(h.object_id);
        if (it == exports_.end()) return;
        it->second.references -= std::min(count, it->second.references);
        if (it->second.references) return;
        gone = std::move(it->second);
        by_identity_.erase(gone.identity);
        exports_.erase(it);
      }
      for (auto& [iid, stub] : gone.stubs) stub->Release();
      gone.identity->Release();
      return;
    }
    default:
      if (!(h.flags & kOneWay)) SendFault(h.call_id, RPC_S_PROCNUM_OUT_OF_RANGE);
      return;
  }
  if (h.flags & kOneWay) return;
  SendReply(h.call_id, kReply, w.buffer().data(), w.size());
}

HRESULT Connection::EnsureStub(uint64_t oid, IUnknown* identity, REFIID iid) {
  {
    std::lock_guard lock(export_mu_);
    auto it = exports_.find(oid);
    if (it == exports_.end()) return CO_E_OBJNOTCONNECTED;
    for (auto& s : it->second.stubs) {
      if (IsEqualIID(s.first, iid)) return S_OK;
    }
  }
  // The object must have the interface, and this process a proxy/stub for it.
  void* itf = nullptr;
  HRESULT hr = identity->QueryInterface(iid, &itf);
  if (FAILED(hr)) return hr;
  static_cast<IUnknown*>(itf)->Release();
  IPSFactoryBuffer* factory = nullptr;
  hr = GetPSFactoryBuffer(iid, &factory);
  if (FAILED(hr)) return hr;
  IRpcStubBuffer* stub = nullptr;
  hr = factory->CreateStub(iid, identity, &stub);
  factory->Release();
  if (FAILED(hr)) return hr;
  {
    std::lock_guard lock(export_mu_);
    auto it = exports_.find(oid);
    if (it != exports_.end()) {
      bool present = false;
      for (auto& s : it->second.stubs) present = present || IsEqualIID(s.first, iid);
      if (!present) {
        it->second.stubs.emplace_back(iid, stub);
        return S_OK;
      }
    } else {
      hr = CO_E_OBJNOTCONNECTED;
    }
  }
  stub->Release();
  return hr;
}

HRESULT Connection::Export(IUnknown* object, REFIID iid, uint64_t* oid) {
  if (!object || !oid) return E_INVALIDARG;
  if (Dead()) return RPC_E_DISCONNECTED;
  IUnknown* identity = nullptr;
  HRESULT hr = object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
  if (FAILED(hr)) return hr;
  uint64_t id = 0;
  {
    std::lock_guard lock(export_mu_);
    auto found = by_identity_.find(identity);
    if (found != by_identity_.end()) {
      id = found->second;
      exports_[id].references++;
      identity->Release();  // the table holds its own reference already
      identity = exports_[id].identity;
    } else {
      id = next_oid_++;
      Exported e;
      e.identity = identity;  // the table keeps this reference
      e.references = 1;
      exports_.emplace(id, std::move(e));
      by_identity_[identity] = id;
    }
    identity->AddRef();  // for EnsureStub below
  }
  hr = EnsureStub(id, identity, iid);
  identity->Release();
  if (FAILED(hr)) {
    Exported gone;
    {
      std::lock_guard lock(export_mu_);
      auto it = exports_.find(id);
      if (it == exports_.end() || --it->second.references) return hr;
      gone = std::move(it->second);
      by_identity_.erase(gone.identity);
      exports_.erase(it);
    }
    for (auto& [i, stub] : gone.stubs) stub->Release();
    gone.identity->Release();
    return hr;
  }
  *oid = id;
  return S_OK;
}

IRpcStubBuffer* Connection::FindStub(uint64_t oid, REFIID iid, HRESULT* why) {
  std::lock_guard lock(export_mu_);
  auto it = exports_.find(oid);
  if (it == exports_.end()) {
    *why = CO_E_OBJNOTCONNECTED;
    return nullptr;
  }
  for (auto& [i, stub] : it->second.stubs) {
    if (IsEqualIID(i, iid)) {
      stub->AddRef();
      return stub;
    }
  }
  *why = E_NOINTERFACE;
  return nullptr;
}

void Connection::ReleaseExports() {
  std::unordered_map<uint64_t, Exported> gone;
  {
    std::lock_guard lock(export_mu_);
    gone.swap(exports_);
    by_identity_.clear();
  }
  for (auto& [id, e] : gone) {
    for (auto& [iid, stub] : e.stubs) stub->Release();
    e.identity->Release();
  }
}

size_t Connection::ExportCount() {
  std::lock_guard lock(export_mu_);
  return exports_.size();
}

HRESULT Connection::Import(uint64_t oid, REFIID iid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  ProxyManager* manager = nullptr;
  {
    std::lock_guard lock(import_mu_);
    auto it = imports_.find(oid);
    if (it != imports_.end() && it->second->TryAddRef()) {
      manager = it->second;
      manager->AddReceived();
    } else {
      manager = new ProxyManager(shared_from_this(), oid);
      imports_[oid] = manager;
    }
  }
  manager->NoteRemote(iid);  // the sender made a stub for it
  HRESULT hr = manager->QueryInterface(iid, ppv);
  manager->Release();  // on failure the manager goes and gives the reference back
  return hr;
}

void Connection::ForgetImport(uint64_t oid, ProxyManager* manager, uint32_t references) {
  {
    std::lock_guard lock(import_mu_);
    auto it = imports_.find(oid);
    if (it != imports_.end() && it->second == manager) imports_.erase(it);
  }
  wire::Writer w;
  w.U32(references);
  FrameHeader h;
  h.flags = kSystem | kOneWay;
  h.slot = kRemRelease;
  h.object_id = oid;
  Post(h, w.buffer().data(), w.size());
}

void Connection::AddUser() {
  std::lock_guard lock(mu_);
  ++users_;
}

void Connection::ReleaseUser() {
  bool close = false;
  {
    std::lock_guard lock(mu_);
    close = --users_ == 0 && client_;
  }
  if (close) Close();
}

void Connection::Close() {
  {
    std::lock_guard lock(mu_);
    if (closed_) return;
    closed_ = true;
  }
  socket_.Shutdown();
  if (OnOwnThread()) {
    // Called while serving a call of this very connection: the reader ends
    // once this call returns; it owns itself from here on.
    std::lock_guard lock(mu_);
    if (reader_.joinable()) reader_.detach();
    return;
  }
  std::unique_lock lock(mu_);
  state_cv_.wait(lock, [&] { return finished_; });
  std::thread reader = std::move(reader_);
  lock.unlock();
  if (reader.joinable()) reader.join();
}

bool Connection::Finished() {
  std::lock_guard lock(mu_);
  return finished_;
}

}  // namespace krsoap::com::rpc
