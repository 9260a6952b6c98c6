// The host endpoint (ObjectServer) and the client entry points
// (ConnectToObject, ListObjects) of cross-process object calls (see rpc.h).
#include "platform/com/rpc/rpc.h"

#include <algorithm>

#include "platform/com/rpc/connection.h"
#include "platform/com/rpc/socket.h"
#include "platform/files/data_root.h"

namespace krsoap::com::rpc {
namespace {

constexpr size_t kMaxName = 1024;

bool ValidName(const std::string& name) { return !name.empty() && name.size() <= kMaxName; }

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A connected socket to the host at `path`, checked to be of our user.
HRESULT Dial(const std::string& path, std::shared_ptr<Connection>* out) {
  os::Socket s;
  HRESULT hr = os::ConnectTo(path, &s);
  if (FAILED(hr)) return hr;
  uint32_t uid = 0;
  if (!s.PeerUid(&uid) || uid != os::CurrentUid()) return E_ACCESSDENIED;
  *out = Connection::Start(std::move(s), nullptr, true);
  return S_OK;
}

// Holds a client connection open for the length of an entry point.
struct Use {
  explicit Use(std::shared_ptr<Connection> c) : conn(std::move(c)) { conn->AddUser(); }
  ~Use() { conn->ReleaseUser(); }
  std::shared_ptr<Connection> conn;
};

}  // namespace

class ObjectServer::Directory final : public NameDirectory {
 public:
  ~Directory() override { Clear(); }
  HRESULT Find(const std::string& name, IUnknown** out) override {
    std::lock_guard lock(mu_);
    for (auto& [n, o] : objects_) {
      if (n == name) {
        o->AddRef();
        *out = o;
        return S_OK;
      }
    }
    return CO_E_OBJNOTCONNECTED;
  }
  std::vector<std::string> Names() override {
    std::lock_guard lock(mu_);
    std::vector<std::string> names;
    for (auto& [n, o] : objects_) names.push_back(n);
    return names;
  }
  HRESULT Add(const std::string& name, IUnknown* object) {
    std::lock_guard lock(mu_);
    for (auto& [n, o] : objects_) {
      if (n == name) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    }
    object->AddRef();
    objects_.emplace_back(name, object);
    return S_OK;
  }
  void Remove(const std::string& name) {
    IUnknown* gone = nullptr;
    {
      std::lock_guard lock(mu_);
      for (auto it = objects_.begin(); it != objects_.end(); ++it) {
        if (it->first == name) {
          gone = it->second;
          objects_.erase(it);
          break;
        }
      }
    }
    if (gone) gone->Release();
  }
  void Clear() {
    std::vector<std::pair<std::string, IUnknown*>> gone;
    {
      std::lock_guard lock(mu_);
      gone.swap(objects_);
    }
    for (auto& [n, o] : gone) o->Release();
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<std::string, IUnknown*>> objects_;  // publication order
};

struct ObjectServer::Listener {
  os::Socket socket;
};

HRESULT ObjectServer::Listen(const std::string& socket_path, std::unique_ptr<ObjectServer>* out) {
  if (!out) return E_POINTER;
  out->reset();
  if (socket_path.empty()) return E_INVALIDARG;
  HRESULT hr = os::PreparePrivateDirectory(DirectoryOf(socket_path));
  if (FAILED(hr)) return hr;
  auto listener = std::make_unique<Listener>();
  hr = os::ListenAt(socket_path, &listener->socket);
  if (FAILED(hr)) return hr;  // before the server exists: a refused Listen must not remove a live host's file
  std::unique_ptr<ObjectServer> server(new ObjectServer());
  server->path_ = socket_path;
  server->directory_ = std::make_unique<Directory>();
  server->listener_ = std::move(listener);
  server->acceptor_ = std::thread([s = server.get()] { s->AcceptLoop(); });
  *out = std::move(server);
  return S_OK;
}

ObjectServer::~ObjectServer() { Close(); }

void ObjectServer::AcceptLoop() {
  while (true) {
    os::Socket peer;
    if (!listener_->socket.Accept(&peer)) return;
    uint32_t uid = 0;
    if (!peer.PeerUid(&uid) || uid != os::CurrentUid()) {
      // Tell the stranger why before hanging up (a fault with call id 0).
      wire::Writer w;
      w.U32(static_cast<uint32_t>(E_ACCESSDENIED));
      FrameHeader h;
      h.kind = kFault;
      h.length = static_cast<uint32_t>(w.size());
      uint8_t head[kHeaderSize];
      EncodeHeader(h, head);
      peer.SendAll(head, kHeaderSize, w.buffer().data(), w.size());
      continue;
    }
    std::vector<std::shared_ptr<Connection>> finished;
    std::lock_guard lock(mu_);
    if (closed_) return;
    // Peers that went away are joined here, so the list does not grow.
    auto done = std::stable_partition(connections_.begin(), connections_.end(),
                                      [](const std::shared_ptr<Connection>& c) { return !c->Finished(); });
    finished.assign(done, connections_.end());
    connections_.erase(done, connections_.end());
    connections_.push_back(Connection::Start(std::move(peer), directory_.get(), false));
    for (auto& c : finished) c->Close();  // already finished: only joins its reader
  }
}

HRESULT ObjectServer::Publish(const std::string& name, IUnknown* object) {
  if (!object) return E_POINTER;
  if (!ValidName(name)) return E_INVALIDARG;
  {
    std::lock_guard lock(mu_);
    if (closed_) return E_UNEXPECTED;
  }
  return directory_->Add(name, object);
}

void ObjectServer::Revoke(const std::string& name) { directory_->Remove(name); }

size_t ObjectServer::ConnectionCount() {
  std::lock_guard lock(mu_);
  size_t n = 0;
  for (auto& c : connections_) n += c->Finished() ? 0 : 1;
  return n;
}

void ObjectServer::Close() {
  std::vector<std::shared_ptr<Connection>> connections;
  {
    std::lock_guard lock(mu_);
    if (closed_) return;
    closed_ = true;
    connections.swap(connections_);
  }
  listener_->socket.Shutdown();
  if (acceptor_.joinable()) acceptor_.join();
  for (auto& c : connections) c->Close();
  connections.clear();
  directory_->Clear();
  os::RemoveSocketFile(path_);
}

HRESULT ConnectToObject(const std::string& socket_path, const std::string& name, REFIID iid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!ValidName(name)) return E_INVALIDARG;
  std::shared_ptr<Connection> conn;
  HRESULT hr = Dial(socket_path, &conn);
  if (FAILED(hr)) return hr;
  Use use(conn);
  wire::Writer w;
  w.U32(static_cast<uint32_t>(name.size()));
  w.Bytes(name.data(), name.size());
  FrameHeader h;
  h.flags = kSystem;
  h.slot = kLookup;
  h.iid = iid;
  std::vector<uint8_t> reply;
  hr = conn->Call(h, w.buffer().data(), w.size(), &reply);
  if (FAILED(hr)) return hr;
  wire::Reader r(reply.data(), reply.size());
  uint32_t result = 0;
  uint64_t oid = 0;
  if (!r.U32(&result)) return RPC_E_INVALID_DATAPACKET;
  if (FAILED(static_cast<HRESULT>(result))) return r.Done() ? static_cast<HRESULT>(result) : RPC_E_INVALID_DATAPACKET;
  if (!r.U64(&oid) || !r.Done()) return RPC_E_INVALID_DATAPACKET;
  return conn->Import(oid, iid, ppv);
}

HRESULT ListObjects(const std::string& socket_path, std::vector<std::string>* names) {
  if (!names) return E_POINTER;
  names->clear();
  std::shared_ptr<Connection> conn;
  HRESULT hr = Dial(socket_path, &conn);
  if (FAILED(hr)) return hr;
  Use use(conn);
  FrameHeader h;
  h.flags = kSystem;
  h.slot = kList;
  std::vector<uint8_t> reply;
  hr = conn->Call(h, nullptr, 0, &reply);
  if (FAILED(hr)) return hr;
  wire::Reader r(reply.data(), reply.size());
  uint32_t result = 0, count = 0;
  if (!r.U32(&result) || FAILED(static_cast<HRESULT>(result)) || !r.U32(&count) || count > r.left() / 4)
    return RPC_E_INVALID_DATAPACKET;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t n = 0;
    const uint8_t* text = nullptr;
    if (!r.U32(&n) || n > kMaxName || !(text = r.Take(n))) return RPC_E_INVALID_DATAPACKET;
    names->emplace_back(reinterpret_cast<const char*>(text), n);
  }
  if (!r.Done()) {
    names->clear();
    return RPC_E_INVALID_DATAPACKET;
  }
  return S_OK;
}

std::string DefaultSocketPath() { return platform::DataRoot() + "/run/host.sock"; }

}  // namespace krsoap::com::rpc
