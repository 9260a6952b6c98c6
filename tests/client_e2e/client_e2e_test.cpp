// End to end through corvel, the client connectors: the toolkit's SoapClient
// in this process and "krsoap call" processes call the example Calculator
// hosted by real "krsoap serve" processes over the embedded queue manager (and
// a PostgreSQL-backed one when KRSOAP_TEST_PG names a server), and by
// "krsoap serve-http" through the connectors' hand-over to the HttpConnector.
//
// One data root (made by "krsoap setup") and one host on CALC.REQUEST serve
// the whole program: the process keeps the queue managers it opened in its
// pool, so this process must never meet a second data root's KRSOAP.QM.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// The COM headers first: <fcntl.h> defines LOCK_WRITE, a name of IStream's.
#include "soaptoolkit.h"
#include "tests/xml/toolkit_test_util.h"
#include "tests/soap_client/client_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace krsoap::test {
namespace {

constexpr char kServerConnector[] = "KRSoapClient.KRServerConnector";
constexpr char kClientConnector[] = "KRSoapClient.KRClientConnector";
constexpr HRESULT kSoapFault = static_cast<HRESULT>(0x80041101);
constexpr char kText[] = "a <b> & \"c\" \xC3\xA9\xE2\x82\xAC \xE6\x97\xA5\xE6\x9C\xAC";  // é € 日本
constexpr char kUrlFault[] =
    "fault: SOAP-ENV:Client: The SOAP Address URL supplied is not a valid KR or HTTP URL";

std::string QueueWsdl() { return SourcePath("examples/calculator/CalculatorQueue.wsdl"); }
std::string Tool() { return BinDir() + "/krsoap"; }

// Starts a process with stdout and stderr going to the file `log`.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

void KillAndReap(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs "krsoap ARGS..."; its exit status, stdout and stderr.
int Krsoap(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) {
  std::vector<std::string> argv{Tool()};
  argv.insert(argv.end(), args.begin(), args.end());
  Child child;
  if (!child.Start(argv)) return -1;
  return child.Wait(60000, out, err);
}

// "krsoap call" for the Calculator with WSDL `wsdl`, then `args`.
std::vector<std::string> CallArgs(const std::string& wsdl, std::vector<std::string> args) {
  args.insert(args.begin(), {"call", "--wsdl", wsdl, "--wsml", CalcWsml()});
  return args;
}

// A registry value of the data root, put back to `restore` when the guard goes.
class RegValue {
 public:
  RegValue(std::string key, std::string name, int value, int restore)
      : key_(std::move(key)), name_(std::move(name)), restore_(restore) {
    Set(value);
  }
  ~RegValue() { Set(restore_); }

 private:
  void Set(int value) {
    EXPECT_EQ(0, Krsoap({"reg", "add", key_, "/v", name_, "/t", "REG_DWORD", "/d", std::to_string(value), "/f"}));
  }
  std::string key_, name_;
  int restore_;
};

// "krsoap serve" with one monitor of the Calculator on QUEUE of QM, its
// output in HOME/NAME.log. Killed, not stopped, at the end: an orderly stop
// waits out the workers' five-second wait steps, and how a host stops is the
// host tests' subject, not this program's.
class Host {
 public:
  ~Host() { KillAndReap(pid_); }
  bool Start(const std::string& home, const std::string& name, const std::string& qm, const std::string& queue) {
    const std::string base = home + "/" + name;
    ::mkdir((home + "/run").c_str(), 0700);
    std::ofstream(base + ".conf") << "[host]\nsocket = " << home << "/run/" << name << ".sock\n[monitor calc]\n"
                                  << "queue_manager = " << qm << "\nqueue = " << queue << "\nwsdl = " << CalcWsdl()
                                  << "\nwsml = " << CalcWsml() << "\ncan_reuse_object = 1\nstatus_file = " << base
                                  << ".status\n";
    log_ = base + ".log";
    pid_ = Spawn({Tool(), "serve", "--config", base + ".conf"}, log_);
    // It listens on its socket once every monitor has started.
    for (int i = 0; i < 3000 && pid_ > 0; ++i) {
      if (Log().find("listening on") != std::string::npos) return true;
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
      ::usleep(10000);
    }
    return false;
  }
  std::string Log() const { return ReadFile(log_); }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string log_;
};

// "krsoap qm queues" of the default queue manager: type and depth by name.
// Listing also sweeps the temporary queues of creators that have died.
struct QueueRow {
  std::string type;
  long depth = -1;
};
std::map<std::string, QueueRow> Queues() {
  std::string out, line, name;
  EXPECT_EQ(0, Krsoap({"qm", "queues", ""}, &out));
  std::istringstream lines(out);
  std::getline(lines, line);  // the heading
  std::map<std::string, QueueRow> rows;
  while (std::getline(lines, line)) {
    QueueRow row;
    std::istringstream(line) >> name >> row.type >> row.depth;
    rows[name] = row;
  }
  return rows;
}

std::set<std::string> TemporaryQueues() {
  std::set<std::string> names;
  for (const auto& [name, row] : Queues()) {
    if (row.type == "temporary") names.insert(name);
  }
  return names;
}

long Depth(const std::string& queue) { return Queues()[queue].depth; }

// The result of a call that must succeed, as text.
std::string Result(ISoapClient* client, const char* op, std::vector<VARIANT> args) {
  CallResult r;
  Call(client, op, std::move(args), &r);
  EXPECT_EQ(S_OK, r.hr) << op << ": " << r.description;
  if (FAILED(r.hr) || FAILED(VariantChangeType(&r.value, &r.value, 0, VT_BSTR))) return "";
  return com::BstrToUtf8(r.value.bstrVal);
}

class ClientE2ETest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PinModulesWithThreadLocals();
    home_ = new ScopedHome;
    if (Krsoap({"setup"}) != 0) {
      problem_ = "krsoap setup failed";
    } else if (Krsoap({"qm", "define", "", "CALC.REQUEST"}) != 0) {
      problem_ = "cannot define CALC.REQUEST";
    } else {
      host_ = new Host;
      if (!host_->Start(home_->path(), "calc", "", "CALC.REQUEST")) problem_ = "the host did not start: " + host_->Log();
    }
    com::internal::NoteRegistrationChanged();
  }
  static void TearDownTestSuite() {
    delete host_;
    delete home_;
    host_ = nullptr;
    home_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(problem_.empty()) << problem_;
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    CoUninitialize();
  }

  // A SoapClient through the connector `progid`; connector properties given
  // before Init, where an EndPointURL takes the place of the port's address.
  static void NewClient(const char* progid, const std::string& wsdl,
                        const std::vector<std::pair<std::string, std::string>>& properties, Ptr<ISoapClient>* client,
                        const std::string& wsml_path = CalcWsml()) {
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SoapClient, nullptr, CLSCTX_ALL, IID_ISoapClient, client->OutVoid()));
    Bstr connector("ConnectorProgID");
    VARIANT v = Str(progid);
    ASSERT_EQ(S_OK, (*client)->put_ClientProperty(connector.get(), v));
    VariantClear(&v);
    for (const auto& [name, value] : properties) PutProperty(client->get(), name, value);
    Bstr w(wsdl), wsml(wsml_path), none("");
    HRESULT hr = (*client)->Init(w.get(), none.get(), none.get(), wsml.get());
    Bstr why;
    (*client)->get_faultstring(why.Out());
    ASSERT_EQ(S_OK, hr) << why.Utf8();
  }
  static void PutProperty(ISoapClient* client, const std::string& name, const std::string& value) {
    Bstr n(name);
    VARIANT v = Str(value);
    EXPECT_EQ(S_OK, client->put_ConnectorProperty(n.get(), v)) << name;
    VariantClear(&v);
  }

  static ScopedHome* home_;
  static Host* host_;
  static std::string problem_;
};

ScopedHome* ClientE2ETest::home_ = nullptr;
Host* ClientE2ETest::host_ = nullptr;
std::string ClientE2ETest::problem_;

TEST_F(ClientE2ETest, BothConnectorsCallTheHostOverTheQueueOnOneConnection) {
  for (const char* progid : {kServerConnector, kClientConnector}) {
    SCOPED_TRACE(progid);
    Ptr<ISoapClient> client;
    NewClient(progid, QueueWsdl(), {}, &client);
    if (!client) continue;
    EXPECT_EQ("5", Result(client.get(), "Add", {Dbl(2), Dbl(3)}));
    EXPECT_EQ(kText, Result(client.get(), "Echo", {Str(kText)}));
    // The service's fault travels back over the queue as a fault.
    CallResult fault;
    Call(client.get(), "Divide", {Dbl(1), Dbl(0)}, &fault);
    EXPECT_EQ(DISP_E_EXCEPTION, fault.hr);
    EXPECT_EQ(kSoapFault, fault.scode);
    EXPECT_NE(std::string::npos, fault.description.find("Division by zero")) << fault.description;
    EXPECT_EQ("-1.5", Result(client.get(), "Subtract", {Dbl(2), Dbl(3.5)}));
    // Every call used the one connection and its one reply-to queue, which
    // lives exactly as long as the client.
    EXPECT_EQ(1u, TemporaryQueues().size());
    client.Reset();
    EXPECT_TRUE(TemporaryQueues().empty());
  }
}

TEST_F(ClientE2ETest, HttpAddressesAreHandedToTheHttpConnector) {
  CalcServer server;
  ASSERT_TRUE(server.Start());
  for (const char* progid : {kServerConnector, kClientConnector}) {
    SCOPED_TRACE(progid);
    Ptr<ISoapClient> client;
    NewClient(progid, CalcWsdl(), {{"EndPointURL", server.url()}}, &client);
    if (!client) continue;
    EXPECT_EQ("5", Result(client.get(), "Add", {Dbl(2), Dbl(3)}));
    // HTTPStatus is the HttpConnector's own property; no queue was opened.
    Bstr status("HTTPStatus");
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(S_OK, client->get_ConnectorProperty(status.get(), &v));
    EXPECT_EQ(S_OK, VariantChangeType(&v, &v, 0, VT_I4));
    EXPECT_EQ(200, v.lVal);
    VariantClear(&v);
    EXPECT_TRUE(TemporaryQueues().empty());
  }
  // The port's own http: address, replaced after Init: the connector is in
  // HTTP mode from the port on and passes the new address along.
  Ptr<ISoapClient> client;
  NewClient(kServerConnector, CalcWsdl(), {}, &client);
  ASSERT_TRUE(client);
  PutProperty(client.get(), "EndPointURL", server.url());
  EXPECT_EQ("-10", Result(client.get(), "Multiply", {Dbl(-4), Dbl(2.5)}));
}

TEST_F(ClientE2ETest, KrsoapCallOverQueueAndHttp) {
  CalcServer server;
  ASSERT_TRUE(server.Start());
  const std::vector<std::vector<std::string>> calls = {
      // The port's krs: address picks the server connector.
      CallArgs(QueueWsdl(), {"Add", "2", "3"}),
      CallArgs(QueueWsdl(), {"--connector", "client", "Add", "a=2", "b=3"}),
      // A queue address in place of an http: port's.
      CallArgs(CalcWsdl(), {"--endpoint", "krs:CALC.REQUEST@", "Add", "2", "3"}),
      CallArgs(CalcWsdl(), {"--connector", "client", "--endpoint", "krs:CALC.REQUEST@", "Add", "2", "3"}),
      // An http: address through a queue connector.
      CallArgs(CalcWsdl(), {"--connector", "server", "--endpoint", server.url(), "Add", "2", "3"}),
      CallArgs(CalcWsdl(), {"--connector", "client", "--endpoint", server.url(), "Add", "2", "3"}),
  };
  for (const auto& args : calls) {
    std::string out, err;
    EXPECT_EQ(0, Krsoap(args, &out, &err)) << err;
    EXPECT_EQ("5\n", out) << testing::PrintToString(args);
  }
}

TEST_F(ClientE2ETest, KrsoapCallFailuresNameTheirReason) {
  // A short wait for replies that will not come (0 is the default again).
  RegValue wait("HKLM\\SOFTWARE\\Orvane\\KRSoap\\Client", "ReplyWait", 300, 0);
  ASSERT_EQ(0, Krsoap({"qm", "define", "", "IDLE.REQUEST"}));
  for (const char* connector : {"server", "client"}) {
    SCOPED_TRACE(connector);
    std::string out, err;
    auto call = [&](const std::string& endpoint) {
      return Krsoap(CallArgs(CalcWsdl(), {"--connector", connector, "--endpoint", endpoint, "Add", "2", "3"}), &out,
                    &err);
    };
    // No host serves the queue: the wait for the reply runs out.
    EXPECT_EQ(1, call("krs:IDLE.REQUEST@"));
    EXPECT_EQ("", out);
    EXPECT_NE(std::string::npos, err.find("reason code 2033")) << err;
    // No such request queue.
    EXPECT_EQ(1, call("krs:NO.SUCH.QUEUE@"));
    EXPECT_NE(std::string::npos, err.find("reason code 2204")) << err;
    // Neither krs: nor http: the connector answers with a Client fault of its own.
    EXPECT_EQ(1, call("garbage"));
    EXPECT_NE(std::string::npos, err.find(kUrlFault)) << err;
  }
  // Both unanswered requests wait on the queue; their clients are gone, and
  // so are their reply-to queues.
  EXPECT_EQ(2, Depth("IDLE.REQUEST"));
  EXPECT_TRUE(TemporaryQueues().empty());
}

TEST_F(ClientE2ETest, ClientAndHostOverAPostgresQueueManager) {
  const char* conninfo = std::getenv("KRSOAP_TEST_PG");
  if (!conninfo || !*conninfo) GTEST_SKIP() << "KRSOAP_TEST_PG not set: no PostgreSQL server to test against";
  // A name no other run uses: the database is shared.
  const std::string qm =
      "E2E.CLIENT." + std::to_string(::getpid()) + "." + std::to_string(std::time(nullptr) % 100000);
  ASSERT_EQ(0, Krsoap({"qm", "create", qm, "--store", conninfo}));
  struct Drop {
    std::string qm;
    ~Drop() { Krsoap({"qm", "delete", qm}); }
  } drop{qm};  // after the host below is gone
  ASSERT_EQ(0, Krsoap({"qm", "define", qm, "CALC.REQUEST"}));
  Host host;
  ASSERT_TRUE(host.Start(home_->path(), "pg", qm, "CALC.REQUEST")) << host.Log();
  const std::string address = "krs:CALC.REQUEST@" + qm;
  const std::vector<std::vector<std::string>> calls = {
      // Server bindings connected to the queue manager, also the reply-to one.
      CallArgs(CalcWsdl(), {"--endpoint", address, "--property", "LocalQueueMgr=" + qm, "Add", "2", "3"}),
      // Client bindings connect to the queue manager the address names.
      CallArgs(CalcWsdl(), {"--connector", "client", "--endpoint", address, "Add", "2", "3"}),
  };
  for (const auto& args : calls) {
    std::string out, err;
    EXPECT_EQ(0, Krsoap(args, &out, &err)) << err;
    EXPECT_EQ("5\n", out);
  }
}

TEST_F(ClientE2ETest, AKilledClientLosesItsReplyQueueAndTheHostGoesOn) {
  ASSERT_EQ(0, Krsoap({"qm", "define", "", "LATE.REQUEST"}));
  // A client puts its request and waits for a host that is not there yet.
  std::vector<std::string> argv{Tool()};
  for (auto& a : CallArgs(CalcWsdl(), {"--endpoint", "krs:LATE.REQUEST@", "Add", "2", "3"})) argv.push_back(a);
  pid_t client = Spawn(argv, home_->path() + "/client.log");
  ASSERT_GT(client, 0);
  std::string reply_queue;
  for (int i = 0; i < 1000 && reply_queue.empty(); ++i) {
    std::set<std::string> temporary = TemporaryQueues();
    if (temporary.size() == 1 && Depth("LATE.REQUEST") == 1) {
      reply_queue = *temporary.begin();
    } else {
      ::usleep(10000);
    }
  }
  KillAndReap(client);
  ASSERT_FALSE(reply_queue.empty()) << ReadFile(home_->path() + "/client.log");
  // Killed mid-exchange: its temporary reply-to queue went with it.
  EXPECT_EQ(0u, TemporaryQueues().count(reply_queue));

  // A host that takes the orphaned request cannot deliver its reply, and
  // serves the next client all the same.
  RegValue trace("HKLM\\SOFTWARE\\Orvane\\KRSoap", "soapTrace", 1, 0);
  Host host;
  ASSERT_TRUE(host.Start(home_->path(), "late", "", "LATE.REQUEST")) << host.Log();
  std::string out, err;
  EXPECT_EQ(0, Krsoap(CallArgs(CalcWsdl(), {"--endpoint", "krs:LATE.REQUEST@", "Add", "4", "5"}), &out, &err)) << err;
  EXPECT_EQ("9\n", out);
  char name[64];
  std::snprintf(name, sizeof name, "/Errors/KRSP%04ld.trc", static_cast<long>(host.pid()));
  const std::string trace_file = home_->path() + name;
  bool failed_open = false;
  for (int i = 0; i < 500 && !failed_open; ++i) {
    std::istringstream lines(ReadFile(trace_file));
    std::string line;
    while (std::getline(lines, line) && !failed_open) {
      // The open of the reply-to queue: "unknown queue".
      failed_open = line.find("Failed to open queue") != std::string::npos &&
                    line.find("rc 2204") != std::string::npos && line.find(reply_queue) != std::string::npos;
    }
    if (!failed_open) ::usleep(10000);
  }
  EXPECT_TRUE(failed_open) << "no failed open of " << reply_queue << " in " << trace_file;
  EXPECT_EQ(0, Depth("LATE.REQUEST"));
}

// The queue WSDL and the WSML of the Calculator at "krs:EDGE.REQUEST@" with
// Echo made a one-way operation (no output message), written to DIR; the
// WSDL's path (the WSML's ends in .wsml instead).
std::string OneWayEcho(const std::string& dir) {
  std::string w = ReadFile(QueueWsdl());
  auto cut = [&w](const std::string& what, size_t from) {
    const size_t at = w.find(what, from);
    if (at != std::string::npos) w.erase(at, what.size());
  };
  cut("<output message=\"tns:EchoResponse\"/>", 0);
  cut("<output><soap:body use=\"literal\"/></output>", w.find("urn:krsoap-calculator#Echo"));
  const std::string address = "krs:CALC.REQUEST@";
  w.replace(w.rfind(address), address.size(), "krs:EDGE.REQUEST@");  // the port's, not the comment's
  std::string m = ReadFile(CalcWsml());
  const std::string retval = "<parameter callIndex=\"-1\" name=\"retval\" elementName=\"Result\"/>";
  m.erase(m.find(retval, m.find("<operation name=\"Echo\">")), retval.size());
  std::ofstream(dir + "/OneWayEcho.wsml") << m;
  std::ofstream(dir + "/OneWayEcho.wsdl") << w;
  return dir + "/OneWayEcho.wsdl";
}

TEST_F(ClientE2ETest, ExpiredRequestsAreNeverServedOneWayCallsReturnAtOnceLargeMessagesTravel) {
  const std::string client_key = "HKLM\\SOFTWARE\\Orvane\\KRSoap\\Client";
  ASSERT_EQ(0, Krsoap({"qm", "define", "", "EDGE.REQUEST"}));
  const std::string wsdl = OneWayEcho(home_->path());
  const std::string wsml = home_->path() + "/OneWayEcho.wsml";
  {
    // No host yet: the client gives up after its reply wait, and its
    // request expires with it.
    RegValue expiry(client_key, "RequestExpiry", 1, 0);
    RegValue wait(client_key, "ReplyWait", 200, 0);
    Ptr<ISoapClient> client;
    ASSERT_NO_FATAL_FAILURE(NewClient(kServerConnector, wsdl, {}, &client, wsml));
    CallResult stale;
    Call(client.get(), "Add", {Dbl(2), Dbl(3)}, &stale);
    EXPECT_NE(S_OK, stale.hr);
  }
  ::usleep(400000);  // past the request's expiry
  RegValue trace("HKLM\\SOFTWARE\\Orvane\\KRSoap", "soapTrace", 1, 0);
  RegValue server_max("HKLM\\SOFTWARE\\Orvane\\KRSoap\\Server", "MaxMessageLength", 200000, 0);
  RegValue client_max(client_key, "MaxMessageLength", 200000, 0);
  // A one-way call that waited for a reply would outlast the test.
  RegValue wait(client_key, "ReplyWait", 3600000, 0);
  Host host;
  ASSERT_TRUE(host.Start(home_->path(), "edge", "", "EDGE.REQUEST")) << host.Log();
  Ptr<ISoapClient> client;
  ASSERT_NO_FATAL_FAILURE(NewClient(kClientConnector, wsdl, {}, &client, wsml));
  CallResult one_way;
  Call(client.get(), "Echo", {Str("one way")}, &one_way);
  EXPECT_EQ(S_OK, one_way.hr) << one_way.description;
  // 100 kB each way through the same connector, after the one-way call.
  const std::string big = std::string(100 * 1024, 'x') + kText;
  const std::string echoed = Result(client.get(), "Concat", {Str(big), Str("!")});
  EXPECT_TRUE(echoed == big + "!") << echoed.size() << " bytes";

  char name[64];
  std::snprintf(name, sizeof name, "/Errors/KRSP%04ld.trc", static_cast<long>(host.pid()));
  std::string served;
  for (int i = 0; i < 500 && served.find("no reply is put") == std::string::npos; ++i) {
    if (i) ::usleep(10000);
    served = ReadFile(home_->path() + name);
  }
  // The one-way request was served and given no reply; the expired one
  // never reached the service.
  EXPECT_NE(std::string::npos, served.find("soapAction = urn:krsoap-calculator#Echo"));
  EXPECT_NE(std::string::npos, served.find("One-way request (a datagram without reply-to queue): no reply is put"));
  EXPECT_EQ(std::string::npos, served.find("urn:krsoap-calculator#Add"));
  EXPECT_EQ(0, Depth("EDGE.REQUEST"));
  for (const std::string& queue : TemporaryQueues()) EXPECT_EQ(0, Depth(queue)) << queue;
}

}  // namespace
}  // namespace krsoap::test
