// The host endpoint as a stranger sees it: owner-only directory and socket,
// peers of another user refused, a live host not displaced and a stale
// socket file replaced, and forged or broken frames sent over a raw socket
// answered with clear HRESULTs while the host keeps serving.
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "halvex.h"
#include "platform/com/activation.h"
#include "platform/com/proxystub.h"
#include "platform/com/rpc/frame.h"
#include "platform/com/rpc/rpc.h"
#include "platform/com/rpc/socket.h"
#include "probe.h"
#include "tests/com_rpc/rpc_test_util.h"

namespace krsoap::test {
namespace {

namespace rpc = krsoap::com::rpc;
using krsoap::com::wire::Reader;
using krsoap::com::wire::Writer;

ULONG Refs(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

mode_t Mode(const std::string& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

int RawConnect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{30, 0};  // a broken host must fail the test, not hang it
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  return fd;
}

bool ReadAll(int fd, void* p, size_t n) {
  auto* at = static_cast<char*>(p);
  while (n) {
    ssize_t got = read(fd, at, n);
    if (got <= 0) return false;
    at += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// One frame as a raw peer sends it.
struct Frame {
  rpc::FrameHeader header;
  std::vector<uint8_t> body;
};

bool SendFrame(int fd, rpc::FrameHeader h, const std::vector<uint8_t>& body) {
  h.length = static_cast<uint32_t>(body.size());
  uint8_t head[rpc::kHeaderSize];
  rpc::EncodeHeader(h, head);
  std::vector<uint8_t> all(head, head + rpc::kHeaderSize);
  all.insert(all.end(), body.begin(), body.end());
  return write(fd, all.data(), all.size()) == static_cast<ssize_t>(all.size());
}

bool ReadFrame(int fd, Frame* f) {
  uint8_t head[rpc::kHeaderSize];
  if (!ReadAll(fd, head, sizeof head)) return false;
  if (FAILED(rpc::DecodeHeader(head, sizeof head, &f->header))) return false;
  f->body.resize(f->header.length);
  return f->body.empty() || ReadAll(fd, f->body.data(), f->body.size());
}

HRESULT FaultOf(const Frame& f) {
  Reader r(f.body.data(), f.body.size());
  uint32_t hr = 0;
  return f.header.kind == rpc::kFault && r.U32(&hr) && r.Done() ? static_cast<HRESULT>(hr) : S_OK;
}

class Endpoint : public RpcEnvironment {
 protected:
  void SetUp() override {
    RpcEnvironment::SetUp();
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromString(u"Halvex.KRSoapMonitor", &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&monitor_)), S_OK);
    ASSERT_EQ(rpc::ObjectServer::Listen(Socket(), &server_), S_OK);
    ASSERT_EQ(server_->Publish("monitor", monitor_), S_OK);
  }
  void TearDown() override {
    if (server_) server_->Close();
    server_.reset();
    if (monitor_) monitor_->Release();
    RpcEnvironment::TearDown();
  }
  // Looks the monitor up over a raw socket; gives its object id.
  uint64_t Lookup(int fd) {
    Writer w;
    w.U32(7);
    w.Bytes("monitor", 7);
    rpc::FrameHeader h;
    h.kind = rpc::kRequest;
    h.flags = rpc::kSystem;
    h.slot = rpc::kLookup;
    h.call_id = 1;
    h.iid = IID_IKRSoapMonitor;
    EXPECT_TRUE(SendFrame(fd, h, w.buffer()));
    Frame f;
    EXPECT_TRUE(ReadFrame(fd, &f));
    Reader r(f.body.data(), f.body.size());
    uint32_t hr = 1;
    uint64_t oid = 0;
    EXPECT_TRUE(r.U32(&hr) && r.U64(&oid) && r.Done());
    EXPECT_EQ(hr, 0u);
    return oid;
  }
  // A call on the monitor over the raw socket; its reply frame.
  Frame Call(int fd, uint64_t oid, uint16_t slot, const std::vector<uint8_t>& body, const IID& iid = IID_IKRSoapMonitor) {
    rpc::FrameHeader h;
    h.kind = rpc::kRequest;
    h.slot = slot;
    h.call_id = ++call_;
    h.object_id = oid;
    h.iid = iid;
    EXPECT_TRUE(SendFrame(fd, h, body));
    Frame f;
    EXPECT_TRUE(ReadFrame(fd, &f));
    EXPECT_EQ(f.header.call_id, h.call_id);
    return f;
  }

  IUnknown* monitor_ = nullptr;
  std::unique_ptr<rpc::ObjectServer> server_;
  uint64_t call_ = 100;
};

TEST_F(Endpoint, DirectoryAndSocketAreOwnerOnly) {
  EXPECT_EQ(Mode(home() + "/run"), 0700u);
  EXPECT_EQ(Mode(Socket()), 0600u);
  // A directory others can reach is refused, as is one of another owner.
  const std::string open_dir = home() + "/open";
  ASSERT_EQ(mkdir(open_dir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(open_dir.c_str(), 0755), 0);
  std::unique_ptr<rpc::ObjectServer> other;
  EXPECT_EQ(rpc::ObjectServer::Listen(open_dir + "/host.sock", &other), E_ACCESSDENIED);
  EXPECT_EQ(rpc::ObjectServer::Listen("/tmp/host.sock", &other), E_ACCESSDENIED);
}

TEST_F(Endpoint, ALiveHostKeepsItsPathAndAStaleFileIsReplaced) {
  std::unique_ptr<rpc::ObjectServer> second;
  EXPECT_EQ(rpc::ObjectServer::Listen(Socket(), &second), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  std::vector<std::string> names;
  EXPECT_EQ(rpc::ListObjects(Socket(), &names), S_OK);
  EXPECT_EQ(names, std::vector<std::string>{"monitor"});
  EXPECT_EQ(server_->Publish("monitor", monitor_), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  server_->Close();
  EXPECT_EQ(Mode(Socket()), 0u) << "Close removes the socket file";
  EXPECT_EQ(rpc::ListObjects(Socket(), &names), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  // A socket file left by a host that died without cleaning up.
  {
    krsoap::com::rpc::os::Socket dead;
    ASSERT_EQ(krsoap::com::rpc::os::ListenAt(Socket(), &dead), S_OK);
  }
  ASSERT_NE(Mode(Socket()), 0u);
  EXPECT_EQ(rpc::ListObjects(Socket(), &names), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(rpc::ObjectServer::Listen(Socket(), &second), S_OK);
  EXPECT_EQ(rpc::ListObjects(Socket(), &names), S_OK);
  EXPECT_TRUE(names.empty());
}

TEST_F(Endpoint, AnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a peer as another user";
  // Open the way on purpose (as a careless admin might), so that only the
  // peer-credential check stands between the stranger and the host.
  ASSERT_EQ(chmod((home()).c_str(), 0755), 0);
  ASSERT_EQ(chmod((home() + "/run").c_str(), 0755), 0);
  ASSERT_EQ(chmod(Socket().c_str(), 0666), 0);
  passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string path = Socket();
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(10);
    int fd = RawConnect(path);
    if (fd < 0) _exit(11);
    // Whatever it sends, the host answers "access denied" and hangs up.
    uint8_t head[rpc::kHeaderSize + 4];
    if (!ReadAll(fd, head, sizeof head)) _exit(12);
    rpc::FrameHeader h;
    if (FAILED(rpc::DecodeHeader(head, rpc::kHeaderSize, &h)) || h.kind != rpc::kFault || h.call_id != 0) _exit(13);
    uint32_t hr = head[48] | head[49] << 8 | head[50] << 16 | static_cast<uint32_t>(head[51]) << 24;
    if (hr != static_cast<uint32_t>(E_ACCESSDENIED)) _exit(14);
    char more;
    if (read(fd, &more, 1) != 0) _exit(15);
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The host serves its own user as before.
  std::vector<std::string> names;
  EXPECT_EQ(rpc::ListObjects(Socket(), &names), S_OK);
}

TEST_F(Endpoint, ForgedRequestsGetClearErrorsAndTheConnectionLives) {
  int fd = RawConnect(Socket());
  ASSERT_GE(fd, 0);
  const uint64_t oid = Lookup(fd);
  // The monitor's vtable: Start 7, Stop 8, Init 9, GetMonitorStatus 10,
  // get_CanReuseObject 11, put_CanReuseObject 12.
  EXPECT_EQ(FaultOf(Call(fd, oid + 1000, 11, {})), CO_E_OBJNOTCONNECTED);
  EXPECT_EQ(FaultOf(Call(fd, oid, 11, {}, IID_IKRSoapHandler)), E_NOINTERFACE);
  EXPECT_EQ(FaultOf(Call(fd, oid, 13, {})), RPC_S_PROCNUM_OUT_OF_RANGE);
  EXPECT_EQ(FaultOf(Call(fd, oid, 2, {})), RPC_S_PROCNUM_OUT_OF_RANGE);
  EXPECT_EQ(FaultOf(Call(fd, oid, 11, {0})), RPC_E_INVALID_DATAPACKET) << "a byte too many";
  auto put = [](uint16_t tag, std::vector<uint8_t> value) {
    Writer w;
    w.U16(tag);
    w.Bytes(value.data(), value.size());
    return w.buffer();
  };
  EXPECT_EQ(FaultOf(Call(fd, oid, 12, put(VT_BSTR, {1, 0, 0, 0}))), RPC_E_INVALID_DATAPACKET) << "wrong type tag";
  EXPECT_EQ(FaultOf(Call(fd, oid, 12, put(VT_I4, {1, 0}))), RPC_E_INVALID_DATAPACKET) << "truncated value";
  // Init(BSTR, BSTR): lengths past the end, odd lengths, a lone surrogate.
  auto init = [](std::vector<uint8_t> first) {
    Writer w;
    w.U16(VT_BSTR);
    w.Bytes(first.data(), first.size());
    w.U16(VT_BSTR);
    w.U32(0xFFFFFFFF);
    return w.buffer();
  };
  EXPECT_EQ(FaultOf(Call(fd, oid, 9, init({0xF0, 0xFF, 0xFF, 0x7F, 'a', 0}))), RPC_E_INVALID_DATAPACKET);
  EXPECT_EQ(FaultOf(Call(fd, oid, 9, init({3, 0, 0, 0, 'a', 0, 'b'}))), RPC_E_INVALID_DATAPACKET);
  EXPECT_EQ(FaultOf(Call(fd, oid, 9, init({2, 0, 0, 0, 0x00, 0xDC}))), RPC_E_INVALID_DATAPACKET);
  // Forged system operations.
  {
    rpc::FrameHeader h;
    h.kind = rpc::kRequest;
    h.flags = rpc::kSystem;
    h.slot = 77;
    h.call_id = 5000;
    ASSERT_TRUE(SendFrame(fd, h, {}));
    Frame f;
    ASSERT_TRUE(ReadFrame(fd, &f));
    EXPECT_EQ(FaultOf(f), RPC_S_PROCNUM_OUT_OF_RANGE);
    h.slot = rpc::kLookup;
    h.call_id = 5001;
    ASSERT_TRUE(SendFrame(fd, h, {0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(ReadFrame(fd, &f));
    EXPECT_EQ(FaultOf(f), RPC_E_INVALID_DATAPACKET);
  }
  // After all that, a well-formed call works on the same connection.
  Frame ok = Call(fd, oid, 11, {});
  ASSERT_EQ(ok.header.kind, rpc::kReply);
  Reader r(ok.body.data(), ok.body.size());
  uint32_t hr = 1, value = 0;
  uint16_t tag = 0;
  EXPECT_TRUE(r.U32(&hr) && r.U16(&tag) && r.U32(&value) && r.Done());
  EXPECT_EQ(hr, 0u);
  EXPECT_EQ(tag, VT_I4);
  close(fd);
}

TEST_F(Endpoint, BrokenFramesEndOnlyTheirConnection) {
  // Another magic: the host says why and hangs up.
  int fd = RawConnect(Socket());
  ASSERT_GE(fd, 0);
  uint8_t junk[rpc::kHeaderSize] = {'G', 'E', 'T', ' ', '/'};
  ASSERT_EQ(write(fd, junk, sizeof junk), static_cast<ssize_t>(sizeof junk));
  Frame f;
  ASSERT_TRUE(ReadFrame(fd, &f));
  EXPECT_EQ(f.header.call_id, 0u);
  EXPECT_EQ(FaultOf(f), RPC_E_INVALID_HEADER);
  char c;
  EXPECT_EQ(read(fd, &c, 1), 0);
  close(fd);
  // A length above the maximum.
  fd = RawConnect(Socket());
  rpc::FrameHeader h;
  h.kind = rpc::kRequest;
  h.length = static_cast<uint32_t>(krsoap::com::wire::kMaxMessage + 1);
  uint8_t head[rpc::kHeaderSize];
  rpc::EncodeHeader(h, head);
  ASSERT_EQ(write(fd, head, sizeof head), static_cast<ssize_t>(sizeof head));
  ASSERT_TRUE(ReadFrame(fd, &f));
  EXPECT_EQ(FaultOf(f), RPC_E_INVALID_HEADER);
  close(fd);
  // A reply nobody asked for.
  fd = RawConnect(Socket());
  h = rpc::FrameHeader{};
  h.kind = rpc::kReply;
  h.call_id = 12345;
  ASSERT_TRUE(SendFrame(fd, h, {0, 0, 0, 0}));
  ASSERT_TRUE(ReadFrame(fd, &f));
  EXPECT_EQ(FaultOf(f), RPC_E_INVALID_DATAPACKET);
  close(fd);
  // A peer that vanishes halfway through a frame.
  fd = RawConnect(Socket());
  ASSERT_EQ(write(fd, head, 20), 20);
  close(fd);
  // The host still serves.
  IKRSoapMonitor* monitor = nullptr;
  ASSERT_EQ(rpc::ConnectToObject(Socket(), "monitor", IID_IKRSoapMonitor, reinterpret_cast<void**>(&monitor)), S_OK);
  LONG v = -1;
  EXPECT_EQ(monitor->get_CanReuseObject(&v), S_OK);
  monitor->Release();
  EXPECT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 0; }));
}

TEST_F(Endpoint, AClientThatDiesMidCallLeavesTheHostServingAndReleasesItsObjects) {
  // A probe of this process, published here; a client process calls it and
  // is killed while the call runs.
  IUnknown* probe = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_RpcProbe, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&probe)), S_OK);
  ASSERT_EQ(server_->Publish("probe", probe), S_OK);
  const ULONG published = Refs(probe);
  const std::string mark = home() + "/probe-blocked";
  HostProcess client;
  ASSERT_TRUE(client.StartBlockedClient(Socket(), "probe", 1500));
  ASSERT_TRUE(WaitUntil([&] { return access(mark.c_str(), F_OK) == 0; }));
  EXPECT_GT(Refs(probe), published) << "exported to the client";
  client.Kill();
  // The call finishes in the host; then the connection ends and the export goes.
  EXPECT_TRUE(WaitUntil([&] { return server_->ConnectionCount() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return Refs(probe) == published; })) << Refs(probe);
  std::vector<std::string> names;
  EXPECT_EQ(rpc::ListObjects(Socket(), &names), S_OK);
  EXPECT_EQ(names, (std::vector<std::string>{"monitor", "probe"}));
  probe->Release();
}

}  // namespace
}  // namespace krsoap::test
