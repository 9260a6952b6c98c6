// A queue manager that goes away between the get of a request and the put of
// its reply, provoked for real: the handler's own queue manager deleted after
// the get; the reply-to queue manager's files moved away while the invoker
// serves; and the host's queue manager deleted and made again under a running
// "krsoap serve". The failure is reported (an HRESULT, the reason code, the
// trace), never as success; no worker dies; serving resumes once the queue
// manager is back.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/server_handler/handler_test_util.h"

// After the COM headers: glibc's <fcntl.h> defines LOCK_WRITE as a macro.
#include <fcntl.h>

namespace krsoap::test {
namespace {

constexpr const char* kWsdl = KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsdl";
constexpr const char* kWsml = KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsml";

std::string AddRequest(int a, int b) {
  return Envelope("urn:krsoap-calculator#Add", "SOAP-ENV",
                  "<c:Add xmlns:c=\"urn:krsoap-calculator\"><c:a>" + std::to_string(a) + "</c:a><c:b>" +
                      std::to_string(b) + "</c:b></c:Add>");
}

std::string ResultOf(const std::string& reply) {
  size_t b = reply.find("Result>");
  if (b == std::string::npos) return "(none)";
  b += 7;
  return reply.substr(b, reply.find('<', b) - b);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Polls `condition` every 50 ms for up to `seconds`.
template <class F>
bool WaitFor(F condition, int seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

class QmOutageTest : public HandlerTest {
 protected:
  void SetUp() override {
    HandlerTest::SetUp();
    // The toolkit's modules have thread-local variables: kept mapped for the
    // whole program, so that LeakSanitizer's exit-time scan does not trip
    // over the stale dynamic-TLS entry of a module unloaded after a test.
    for (const char* m : {"libkrxml.so", "libkrsoap.so", "libkrcalculator.so"}) {
      ::dlopen((LibDir() + "/" + m).c_str(), RTLD_NOW | RTLD_NODELETE);
    }
  }

  void DefineOn(const std::string& qm, const std::string& queue) {
    q::QmDefinition d;
    ASSERT_EQ(KRRC_NONE, q::ResolveQm(qm, &d));
    std::unique_ptr<q::Store> s;
    ASSERT_EQ(KRRC_NONE, q::OpenStore(d, false, &s));
    q::QueueAttributes a;
    a.name = queue;
    ASSERT_EQ(KRRC_NONE, s->DefineQueue(a, false));
  }
};

// The handler took the request; then its queue manager was deleted. The
// reply cannot be put: Write says so (not S_OK), ErrorCode/ErrorDescription
// name the reply step, and once the queue manager is made again the same
// handler takes and answers the next request.
TEST_F(QmOutageTest, HandlerReportsAReplyItCannotPutAfterItsQueueManagerWasDeleted) {
  Ptr<IKRSoapHandler> h;
  NewBoundHandler(&h);
  PutRequest(Envelope("urn:first"));
  EXPECT_EQ("urn:first", Action(h.get()));  // the get: the request has left the queue
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REQUEST").reason);

  Ptr<IStream> s;
  ASSERT_EQ(S_OK, h.As(&s));
  EXPECT_EQ(Envelope("urn:first"), ReadAll(s.get()));  // as the SoapServer reads it

  ASSERT_EQ(KRRC_NONE, q::DeleteQm(qm_));
  EXPECT_EQ(STG_E_CANTSAVE, WriteText(s.get(), Response("lost")));
  const LONG code = ErrorCode(h.get());
  EXPECT_TRUE(code == KRRC_Q_MGR_NOT_AVAILABLE || code == KRRC_UNKNOWN_Q_MGR) << code;
  Bstr description;
  ASSERT_EQ(S_OK, h->get_ErrorDescription(description.Out()));
  EXPECT_NE(std::string::npos, description.Utf8().find("reply")) << description.Utf8();

  // The queue manager is back (made again under its name, empty).
  ASSERT_EQ(KRRC_NONE, q::CreateQm(qm_, "sqlite", true));
  Define(request_q_);
  Define(reply_q_);
  const std::string id = PutRequest(Envelope("urn:second"));
  EXPECT_EQ("urn:second", Action(h.get()));
  EXPECT_EQ(0, ErrorCode(h.get()));
  EXPECT_EQ(Envelope("urn:second"), ReadAll(s.get()));
  EXPECT_EQ(S_OK, WriteText(s.get(), Response("7")));
  Message reply = Take("REPLY", id);
  ASSERT_EQ(KRRC_NONE, reply.reason);
  EXPECT_NE(std::string::npos, reply.body.find("<Result>7</Result>"));
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REPLY").reason);  // nothing of the first request
}

// The invoker over the Calculator: the reply-to queue manager's files are
// moved away after the request was put, so the reply's open finds the queue
// manager unavailable. Execute returns a failure; the request was taken (not
// served twice); with the files back the same invoker answers the next one.
TEST_F(QmOutageTest, InvokerReturnsAFailureWhenTheReplyToQueueManagerIsUnavailable) {
  ASSERT_EQ(S_OK, RegisterModule("libkrsoap.so"));
  ASSERT_EQ(S_OK, RegisterModule("libkrcalculator.so"));
  const std::string qm2 = qm_ + ".R";
  ASSERT_EQ(KRRC_NONE, q::CreateQm(qm2, "sqlite", true));
  DefineOn(qm2, "REPLY");
  q::QmDefinition d2;
  ASSERT_EQ(KRRC_NONE, q::ResolveQm(qm2, &d2));
  const std::string dir = home_.path() + "/qm/" + d2.name;
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;

  Ptr<IKRObjectTrigger> trigger;
  ASSERT_EQ(S_OK,
            CoCreateInstance(CLSID_KRSoapInvoker, nullptr, CLSCTX_ALL, IID_IKRObjectTrigger, trigger.OutVoid()));
  Bstr qm(qm_), queue("REQUEST"), wsdl(kWsdl), wsml(kWsml), param("");

  const std::string lost = PutRequest(AddRequest(1, 2), "REPLY", "REQUEST", qm2);
  std::filesystem::rename(dir, dir + ".away");
  LONG result = 77;
  const HRESULT hr = trigger->Execute(qm.get(), queue.get(), wsdl.get(), wsml.get(), param.get(), &result);
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_EQ(0, result);
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, Take("REQUEST").reason);

  std::filesystem::rename(dir + ".away", dir);
  const std::string id = PutRequest(AddRequest(40, 2), "REPLY", "REQUEST", qm2);
  EXPECT_EQ(S_OK, trigger->Execute(qm.get(), queue.get(), wsdl.get(), wsml.get(), param.get(), &result));
  Message reply = TakeFrom(qm2, "REPLY", id);
  ASSERT_EQ(KRRC_NONE, reply.reason);
  EXPECT_EQ("42", ResultOf(reply.body)) << reply.body;
  EXPECT_EQ(KRRC_NO_MSG_AVAILABLE, TakeFrom(qm2, "REPLY", lost).reason);
  trigger.Reset();
  q::DeleteQm(qm2);
}

// "krsoap serve" over a queue manager that is deleted and made again while
// the host runs: the monitor's browse fails, the host stays up, and once the
// queue manager and its request queue exist again requests are answered.
class QmOutageHostTest : public QmOutageTest {
 protected:
  void SetUp() override {
    QmOutageTest::SetUp();
    ASSERT_EQ(S_OK, RegisterModule("libkrsoap.so"));
    ASSERT_EQ(S_OK, RegisterModule("libkrcalculator.so"));
    // Tracing on for the host, into <home>/Errors.
    std::filesystem::create_directory(home_.path() + "/Errors");
    int st = -1;
    Shell(BinDir() + "/krsoap reg add \"HKLM\\SOFTWARE\\Orvane\\Korrin\\CurrentVersion\" /v WorkPath /t REG_SZ /d " +
              home_.path() + " 2>&1",
          &st);
    ASSERT_EQ(0, st);
    Shell(BinDir() + "/krsoap reg add \"HKLM\\SOFTWARE\\Orvane\\KRSoap\" /v soapTrace /t REG_DWORD /d 1 2>&1", &st);
    ASSERT_EQ(0, st);
  }
  void TearDown() override {
    if (host_ > 0) {
      ::kill(host_, SIGTERM);
      int st = 0;
      ::waitpid(host_, &st, 0);
    }
    QmOutageTest::TearDown();
  }
  void StartHost() {
    const std::string conf = home_.path() + "/host.conf";
    std::ofstream(conf) << "[monitor calc]\nqueue_manager = " << qm_ << "\nqueue = REQUEST\nwsdl = " << kWsdl
                        << "\nwsml = " << kWsml << "\ncan_reuse_object = 1\nstatus_file = " << home_.path()
                        << "/calc.status\n";
    const std::string tool = BinDir() + "/krsoap";
    const std::string err = ErrorsFile();
    host_ = ::fork();
    if (host_ == 0) {
      int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 2);
      ::execl(tool.c_str(), tool.c_str(), "serve", "--config", conf.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ASSERT_GT(host_, 0);
  }
  bool HostRuns() const { return host_ > 0 && ::waitpid(host_, nullptr, WNOHANG) == 0; }
  // The host's standard error.
  std::string ErrorsFile() const { return home_.path() + "/serve.err"; }
  bool Said(const std::string& text) const { return ReadFile(ErrorsFile()).find(text) != std::string::npos; }
  std::string HostTrace() const {
    char name[32];
    std::snprintf(name, sizeof name, "KRSP%04ld.trc", static_cast<long>(host_));
    return ReadFile(home_.path() + "/Errors/" + name);
  }
  // One "krsoap qm request" process; its printed reply, or "" on failure.
  std::string Request(int a, int b) {
    const std::string file = home_.path() + "/req";
    std::ofstream(file) << AddRequest(a, b);
    int status = -1;
    std::string out = Shell(BinDir() + "/krsoap qm request " + qm_ + " REQUEST --wait 60000 < " + file, &status);
    return status == 0 ? out : "";
  }
  pid_t host_ = -1;
};

TEST_F(QmOutageHostTest, HostServesAgainAfterItsQueueManagerIsDeletedAndMadeAgain) {
  StartHost();
  EXPECT_EQ("5", ResultOf(Request(2, 3)));

  ASSERT_EQ(KRRC_NONE, q::DeleteQm(qm_));
  EXPECT_TRUE(WaitFor([&] { return HostTrace().find("Browse failed") != std::string::npos; }, 30));
  EXPECT_TRUE(HostRuns());
  // Said on standard error too (the trace is off by default).
  EXPECT_TRUE(WaitFor([&] { return Said("krsoap serve: monitor calc: browse of queue REQUEST on queue manager " + qm_ +
                                        " failed: reason "); }, 60))
      << ReadFile(ErrorsFile());

  ASSERT_EQ(KRRC_NONE, q::CreateQm(qm_, "sqlite", true));
  Define(request_q_);
  EXPECT_EQ("11", ResultOf(Request(5, 6)));
  EXPECT_EQ("101", ResultOf(Request(100, 1)));
  EXPECT_TRUE(HostRuns());
  EXPECT_NE(std::string::npos, HostTrace().find("Request queue open again"));
  EXPECT_TRUE(Said("krsoap serve: monitor calc: queue REQUEST open again; serving\n")) << ReadFile(ErrorsFile());
}

TEST_F(QmOutageHostTest, AReplyThatCannotBePutIsSaidOnStandardErrorWithItsCause) {
  StartHost();
  EXPECT_EQ("5", ResultOf(Request(2, 3)));
  PutRequest(AddRequest(1, 1), "NO.SUCH.REPLY");
  EXPECT_TRUE(WaitFor([&] {
    return Said("krsoap serve: monitor calc: a request on queue REQUEST failed: Open of the reply-to queue failed: "
                "reason 2204 (unknown queue)\n");
  }, 60)) << ReadFile(ErrorsFile());
  EXPECT_EQ("3", ResultOf(Request(1, 2)));  // the host goes on serving
}

}  // namespace
}  // namespace krsoap::test
