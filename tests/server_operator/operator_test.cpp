// Operator control of a running host, all as real processes: "krsoap serve"
// as a child serving queues with the test trigger class, and "krsoap status"
// and "krsoap monitor" reaching its monitors through proxies over the host's
// socket: the status of the workers, stopping and starting a monitor,
// CanReuseObject, unknown names, a second host on the same socket, a host
// that was killed, and the permissions of the socket and its directory.
// The COM headers before <fcntl.h>, which defines LOCK_WRITE as a macro.
#include "halvex.h"
#include "platform/com/bstr.h"
#include "platform/com/rpc/rpc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/server_monitor/monitor_test_util.h"

namespace krsoap::test {
namespace {

class OperatorTest : public MonitorEnvironment {
 protected:
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    MonitorEnvironment::TearDown();
  }
  // Not the default file ($KRSOAP_HOME/host.conf), so that commands run
  // without --config meet no configuration.
  std::string Config() const { return Path("operator.conf"); }
  // One monitor on `queue` with the test trigger (its user parameter `extra`
  // added); `host` is the [host] section's body.
  void WriteConfig(const std::string& host = "status_interval = 3600\n", const std::string& queue = "REQ",
                   const std::string& extra = "") {
    std::ofstream out(Config(), std::ios::binary);
    out << "[host]\n" << host << "\n[monitor calc]\nqueue_manager = " << kQm << "\nqueue = " << queue
        << "\nprogid = " << kTriggerProgId << "\nuser_param = log=" << LogFile() << extra
        << "\ncan_reuse_object = 1\nstatus_file = " << Path("calc.status") << "\n";
  }
  pid_t Spawn(const std::string& err) {
    pid_t pid = ::fork();
    if (pid == 0) {
      int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 2);
      std::string tool = BinDir() + "/krsoap";
      ::execl(tool.c_str(), tool.c_str(), "serve", "--config", Config().c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  }
  // Starts the host and waits until it listens.
  void StartHost() {
    ::unlink(Path("serve.err").c_str());  // a former host's "listening on" must not count
    pid_ = Spawn(Path("serve.err"));
    ASSERT_GT(pid_, 0);
    ASSERT_TRUE(WaitFor([&] { return Errors().find("listening on") != std::string::npos; })) << Errors();
  }
  int WaitHost() {
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 120)) return -2;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Errors() const { return ReadFile(Path("serve.err")); }
  size_t Count(const std::string& prefix) const { return LogLines(prefix).size(); }
  // Requests are put and counted by other processes: this process keeps the
  // queue definitions of the first data root it used, and every test has
  // its own.
  void PutRequest(const std::string& body) {
    const std::string file = Path("body." + std::to_string(++puts_));
    std::ofstream(file, std::ios::binary) << body;
    std::string out;
    ASSERT_EQ(0, Tool(std::string("qm put ") + kQm + " REQ --type request --format KRSTR --file " + file, &out))
        << out;
  }
  long QueueDepth() const {
    std::string out;
    if (Tool(std::string("qm queues ") + kQm, &out) != 0) return -1;
    std::istringstream in(out);
    std::string name, type;
    long depth = -1;
    while (in >> name) {
      if (name == "REQ" && (in >> type >> depth)) return depth;
      in.ignore(4096, '\n');
    }
    return -1;
  }
  int Krsoap(const std::string& args, std::string* out) const {
    return Tool(args + " --config " + Config(), out);
  }

  pid_t pid_ = -1;
  int puts_ = 0;
};

// The rows of the worker table that krsoap status printed: thread id, in
// call, calls handled, started, last used.
std::vector<std::vector<std::string>> Rows(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(out);
  std::string line;
  bool table = false;
  while (std::getline(in, line)) {
    if (line.find("THREAD ID") != std::string::npos) {
      table = true;
      continue;
    }
    if (!table || line.rfind("  ", 0) != 0 || line.find('(') != std::string::npos) {
      table = false;
      continue;
    }
    std::istringstream fields(line);
    std::vector<std::string> row;
    std::string f;
    while (fields >> f) row.push_back(f);
    if (row.size() == 5) rows.push_back(row);
  }
  return rows;
}

TEST_F(OperatorTest, StatusAsksTheRunningHostAndShowsTheCallsARequestMade) {
  WriteConfig();
  StartHost();
  PutRequest("one");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 1; }));
  // The host writes its status file only every hour here, so what status
  // shows came from the monitor through its proxy.
  std::string out;
  ASSERT_TRUE(WaitFor([&] {
    Krsoap("status", &out);
    auto rows = Rows(out);
    return rows.size() == 1 && rows[0][1] == "no" && rows[0][2] == "1";
  })) << out;
  EXPECT_NE(std::string::npos, out.find("host on " + home() + "/run/host.sock: 1 monitor\n")) << out;
  EXPECT_NE(std::string::npos,
            out.find("monitor calc: queue REQ on TEST.QM, CanReuseObject 1, 1 worker thread running in the host"))
      << out;
  EXPECT_EQ(0, Krsoap("status", &out)) << out;
  // The scratch files the host wrote for status are gone.
  DIR* run = ::opendir(Path("run").c_str());
  ASSERT_NE(nullptr, run);
  while (dirent* e = ::readdir(run)) EXPECT_EQ(std::string::npos, std::string(e->d_name).find("status")) << e->d_name;
  ::closedir(run);

  // Owner-only: the directory and the socket.
  struct stat st {};
  ASSERT_EQ(0, ::stat(Path("run").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  ASSERT_EQ(0, ::lstat(Path("run/host.sock").c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  // Without --config (default configuration absent) the default socket is used.
  EXPECT_EQ(0, Tool("status", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("monitor calc: queue (not in the configuration read)")) << out;

  ASSERT_EQ(0, ::kill(pid_, SIGTERM));
  EXPECT_EQ(0, WaitHost()) << Errors();
  EXPECT_NE(::access(Path("run/host.sock").c_str(), F_OK), 0);  // removed on close
}

TEST_F(OperatorTest, StopLeavesRequestsQueuedAndStartAnswersThem) {
  ::mkdir(Path("ctl").c_str(), 0700);
  WriteConfig("status_interval = 1\nsocket = " + Path("ctl/h.sock") + "\n");
  StartHost();
  std::string out;
  EXPECT_EQ(0, Krsoap("monitor stop calc", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("monitor calc: Stop rc 0")) << out;
  EXPECT_EQ(0, Krsoap("monitor stop calc", &out)) << out;  // stopping again does nothing
  PutRequest("a");
  PutRequest("b");
  // A round trip to the host after the puts: still nothing taken.
  EXPECT_EQ(0, Krsoap("status", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("host on " + Path("ctl/h.sock"))) << out;
  EXPECT_EQ(0u, Count("done "));
  EXPECT_EQ(2, QueueDepth());

  EXPECT_EQ(0, Krsoap("monitor start calc", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("monitor calc: Start rc 0")) << out;
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 2; }));
  EXPECT_TRUE(WaitFor([&] { return QueueDepth() == 0; }));
  // Starting a running monitor is refused with its rc.
  EXPECT_EQ(1, Krsoap("monitor start calc", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("monitor calc: Start rc 2230")) << out;

  ASSERT_EQ(0, ::kill(pid_, SIGTERM));
  EXPECT_EQ(0, WaitHost()) << Errors();
  EXPECT_NE(std::string::npos, Errors().find("all monitors stopped")) << Errors();
}

TEST_F(OperatorTest, StatusShowsEachMonitorsStateAndAMonitorThatEndedIsSaidOnce) {
  WriteConfig();
  StartHost();
  std::string out;
  EXPECT_EQ(0, Krsoap("status", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("monitor calc: queue REQ on TEST.QM, CanReuseObject 1, 0 worker threads "
                                        "running in the host\n  state: running\n"))
      << out;
  EXPECT_EQ(0, Krsoap("monitor stop calc", &out)) << out;
  EXPECT_EQ(0, Krsoap("status", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("  state: stopped by the operator\n")) << out;

  // The operator's start checks what the host checks at its start: a queue
  // that does not open is refused before the monitor is touched.
  WriteConfig("status_interval = 3600\n", "NO.SUCH.QUEUE");
  EXPECT_EQ(1, Krsoap("monitor start calc", &out)) << out;
  EXPECT_NE(std::string::npos,
            out.find("krsoap monitor: monitor calc: cannot open queue NO.SUCH.QUEUE on queue manager TEST.QM for "
                     "browsing: reason 2204 (unknown queue); define it: krsoap qm define TEST.QM NO.SUCH.QUEUE\n"))
      << out;
  EXPECT_NE(std::string::npos, out.find("monitor calc: not started")) << out;

  // Any other caller of the host's Start (here through a proxy) gets a
  // thread that ends at once: the host says so on standard error, once, and
  // status shows the cause.
  IKRSoapMonitor* monitor = nullptr;
  ASSERT_EQ(S_OK, com::rpc::ConnectToObject(Path("run/host.sock"), "calc", IID_IKRSoapMonitor,
                                            reinterpret_cast<void**>(&monitor)));
  BSTR qm = com::AllocBstrFromUtf8(kQm), queue = com::AllocBstrFromUtf8("NO.SUCH.QUEUE"),
       progid = com::AllocBstrFromUtf8(kTriggerProgId), param = com::AllocBstrFromUtf8("");
  LONG rc = -1;
  EXPECT_EQ(S_OK, monitor->Start(qm, queue, progid, param, &rc));
  EXPECT_EQ(0, rc);
  for (BSTR b : {qm, queue, progid, param}) SysFreeString(b);
  monitor->Release();
  const std::string why = "cannot open queue NO.SUCH.QUEUE on queue manager TEST.QM for browsing: reason 2204 "
                          "(unknown queue)";
  ASSERT_TRUE(WaitFor([&] { return Errors().find("krsoap serve: monitor calc: stopped serving: " + why + "\n") !=
                                   std::string::npos; }))
      << Errors();
  EXPECT_EQ(1, Krsoap("status", &out)) << out;  // a monitor that ended fails the status
  EXPECT_NE(std::string::npos, out.find("  state: ended: " + why + "\n")) << out;

  WriteConfig();
  EXPECT_EQ(0, Krsoap("monitor start calc", &out)) << out;
  EXPECT_EQ(0, Krsoap("status", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("  state: running\n")) << out;
  const std::string err = Errors();
  EXPECT_EQ(err.find("stopped serving"), err.rfind("stopped serving")) << err;  // said once
}

TEST_F(OperatorTest, ASecondSignalExitsAtOnceAndRemovesTheSocket) {
  WriteConfig("status_interval = 3600\n", "REQ", ";gate=" + Path("gate"));
  StartHost();
  PutRequest("held");
  ASSERT_TRUE(WaitFor([&] { return Count("took ") == 1; }));
  // An operator's stop waits for the held worker; the first signal's close
  // of the socket waits for that call.
  pid_t stopper = ::fork();
  ASSERT_GE(stopper, 0);
  if (stopper == 0) {
    std::string out;
    ::_exit(Krsoap("monitor stop calc", &out));
  }
  char trace[32];
  std::snprintf(trace, sizeof trace, "Errors/KRSP%04ld.trc", static_cast<long>(pid_));
  ASSERT_TRUE(WaitFor([&] { return ReadFile(Path(trace)).find("Waiting for Monitor thread to stop") !=
                                   std::string::npos; }));
  ASSERT_EQ(0, ::kill(pid_, SIGTERM));
  ASSERT_TRUE(WaitFor([&] { return Errors().find("stopping the monitors") != std::string::npos; })) << Errors();
  EXPECT_EQ(0, ::access(Path("run/host.sock").c_str(), F_OK));  // still held open by the call
  ASSERT_EQ(0, ::kill(pid_, SIGINT));
  EXPECT_EQ(1, WaitHost()) << Errors();
  EXPECT_NE(std::string::npos, Errors().find("second signal: exiting at once")) << Errors();
  EXPECT_NE(0, ::access(Path("run/host.sock").c_str(), F_OK));
  ::waitpid(stopper, nullptr, 0);
  ASSERT_EQ(::close(::creat(Path("gate").c_str(), 0600)), 0);
  WriteConfig();
  StartHost();
  std::string out;
  EXPECT_EQ(0, Krsoap("status", &out)) << out;
}

TEST_F(OperatorTest, ReuseReachesTheWorkersAtTheNextStart) {
  WriteConfig();
  StartHost();
  PutRequest("kept");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 1; }));
  EXPECT_EQ(0u, Count("destroy "));  // CanReuseObject 1: the worker keeps its object
  std::string out;
  EXPECT_EQ(0, Krsoap("monitor reuse calc 0", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("monitor calc: CanReuseObject 0")) << out;
  EXPECT_EQ(0, Krsoap("status", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("CanReuseObject 0,")) << out;
  EXPECT_EQ(0, Krsoap("monitor stop calc", &out)) << out;
  EXPECT_EQ(1u, Count("destroy "));  // the workers ended with the monitor
  EXPECT_EQ(0, Krsoap("monitor start calc", &out)) << out;
  PutRequest("fresh");
  // CanReuseObject 0: the request's object is released after its call.
  ASSERT_TRUE(WaitFor([&] { return Count("destroy ") == 2; }));
  EXPECT_EQ(2u, Count("create "));
  EXPECT_EQ(0, Krsoap("monitor reuse calc 1", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("monitor calc: CanReuseObject 1")) << out;
  EXPECT_EQ(2, Krsoap("monitor reuse calc 2", &out)) << out;
  EXPECT_EQ(2, Krsoap("monitor reuse calc", &out)) << out;
}

TEST_F(OperatorTest, UnknownNamesAndAbsentHostsAreReportedClearly) {
  WriteConfig();
  std::string out;
  // No host yet.
  EXPECT_EQ(1, Krsoap("status", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("no host is running on " + home() + "/run/host.sock")) << out;
  EXPECT_NE(std::string::npos, out.find("(no status file)")) << out;
  EXPECT_EQ(1, Krsoap("monitor stop calc", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("no host is running")) << out;

  StartHost();
  EXPECT_EQ(2, Krsoap("monitor stop nosuch", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("unknown monitor 'nosuch'")) << out;
  EXPECT_NE(std::string::npos, out.find("declares: calc")) << out;
  // Without a configuration the host's own list is the reference.
  EXPECT_EQ(2, Tool("monitor stop nosuch", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("has no monitor named 'nosuch'; its monitors: calc")) << out;
  // start needs the configuration for the monitor's settings.
  EXPECT_EQ(2, Tool("monitor start calc", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("no host configuration")) << out;
  EXPECT_EQ(2, Krsoap("monitor pause calc", &out)) << out;
  EXPECT_EQ(2, Krsoap("monitor stop", &out)) << out;
  EXPECT_EQ(2, Krsoap("monitor stop calc extra", &out)) << out;
  EXPECT_EQ(2, Krsoap("status --bogus", &out)) << out;
}

TEST_F(OperatorTest, ASecondHostOnTheSameSocketIsRefusedAndStartsNothing) {
  WriteConfig();
  StartHost();
  pid_t second = Spawn(Path("second.err"));
  ASSERT_GT(second, 0);
  int status = 0;
  ASSERT_TRUE(WaitFor([&] { return ::waitpid(second, &status, WNOHANG) == second; }, 120));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));
  const std::string err = ReadFile(Path("second.err"));
  EXPECT_NE(std::string::npos, err.find("another host is already running on " + home() + "/run/host.sock")) << err;
  EXPECT_EQ(std::string::npos, err.find("serving queue")) << err;
  // The first host goes on serving and answering.
  PutRequest("still");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 1; }));
  std::string out;
  EXPECT_EQ(0, Krsoap("status", &out)) << out;
}

TEST_F(OperatorTest, AKilledHostIsReportedNotRunningAndANewOneTakesItsSocket) {
  WriteConfig();
  StartHost();
  ASSERT_TRUE(WaitFor([&] { return ::access(Path("calc.status").c_str(), F_OK) == 0; }));
  ASSERT_EQ(0, ::kill(pid_, SIGKILL));
  EXPECT_EQ(-1, WaitHost());
  // The socket file is left behind; nobody answers on it.
  std::string out;
  EXPECT_EQ(1, Krsoap("status", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("no host is running")) << out;
  EXPECT_NE(std::string::npos, out.find("host not running; last status written at ")) << out;
  EXPECT_EQ(1, Krsoap("monitor stop calc", &out)) << out;
  // A new host replaces the stale socket.
  StartHost();
  EXPECT_EQ(0, Krsoap("status", &out)) << out;
}

TEST_F(OperatorTest, AHostThatDoesNotAnswerIsReportedAfterTheTimeout) {
  WriteConfig();
  StartHost();
  ASSERT_EQ(0, ::kill(pid_, SIGSTOP));
  std::string out;
  EXPECT_EQ(1, Krsoap("status --timeout 1", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("does not answer within 1 s")) << out;
  EXPECT_EQ(1, Krsoap("monitor reuse calc 1 --timeout 1", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("krsoap monitor: the host on " + home() + "/run/host.sock does not answer"))
      << out;
  ASSERT_EQ(0, ::kill(pid_, SIGCONT));
  EXPECT_EQ(0, Krsoap("status", &out)) << out;
  EXPECT_EQ(2, Krsoap("status --timeout 0", &out)) << out;
  EXPECT_EQ(2, Krsoap("status --timeout", &out)) << out;
  EXPECT_EQ(2, Krsoap("monitor stop calc --timeout x", &out)) << out;
}

TEST_F(OperatorTest, SocketSettingMistakesAreReported) {
  struct Case {
    std::string value;
    std::string message;
  } cases[] = {
      {"run/host.sock", ":2: socket must be an absolute path"},
      {"/" + std::string(120, 's'), ":2: socket is 121 bytes, at most 107"},
      {home(), "names a directory"},
  };
  for (const Case& c : cases) {
    WriteConfig("socket = " + c.value + "\n");
    std::string out;
    EXPECT_EQ(2, Tool("serve --config " + Config(), &out));
    EXPECT_NE(std::string::npos, out.find(c.message)) << out;
    EXPECT_EQ(2, Krsoap("status", &out));
  }
}

}  // namespace
}  // namespace krsoap::test
