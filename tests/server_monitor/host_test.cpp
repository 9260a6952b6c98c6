// The service host as an operator runs it: "krsoap serve" started as a
// process with a configuration file, serving a queue with the test trigger,
// "krsoap status" showing its workers, SIGTERM stopping it cleanly; and
// configurations with mistakes, reported with file and line, starting nothing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/server_monitor/monitor_test_util.h"

#include <fcntl.h>

namespace krsoap::test {
namespace {

class HostTest : public MonitorEnvironment {
 protected:
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    MonitorEnvironment::TearDown();
  }
  void WriteConfig(const std::string& text) {
    std::ofstream out(Path("host.conf"), std::ios::binary);
    out << text;
  }
  std::string MonitorSection(const std::string& name, const std::string& queue) {
    return "[monitor " + name + "]\n"
           "queue_manager = " + std::string(kQm) + "   ; the test queue manager\n"
           "queue = " + queue + "\n"
           "progid = " + kTriggerProgId + "\n"
           "user_param = log=" + LogFile() + "\n"
           "can_reuse_object = 1\n"
           "status_file = " + Path(name + ".status") + "\n";
  }
  void StartHost() {
    std::string err = Path("serve.err");
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 2);
      std::string tool = BinDir() + "/krsoap";
      std::string config = Path("host.conf");
      ::execl(tool.c_str(), tool.c_str(), "serve", "--config", config.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  // Waits for the host to end; returns its exit status (-1 on a signal).
  int WaitHost() {
    int status = 0;
    bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 120);
    if (!ended) return -2;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Errors() const { return ReadFile(Path("serve.err")); }

  pid_t pid_ = -1;
};

TEST_F(HostTest, ServesAQueueShowsItsWorkersAndStopsCleanlyOnSigterm) {
  WriteConfig("; two monitors on one host\n[host]\nstatus_interval = 1\n\n" + MonitorSection("calc", "REQ") + "\n" +
              MonitorSection("other", "REQ2"));
  StartHost();
  ASSERT_TRUE(WaitFor([&] { return ::access(Path("calc.status").c_str(), F_OK) == 0; })) << Errors();
  EXPECT_NE(Errors().find("monitor calc: serving queue REQ on TEST.QM"), std::string::npos) << Errors();
  Put("REQ", "one");
  Put("REQ2", "two");
  ASSERT_TRUE(WaitFor([&] { return LogLines("done ").size() == 2; }));
  // The status files are rewritten every second with the workers' counts.
  ASSERT_TRUE(WaitFor([&] { return ReadFile(Path("calc.status")).find(",0,") != std::string::npos; }));
  std::string out;
  ASSERT_EQ(Tool("status --config " + Path("host.conf"), &out), 0) << out;
  EXPECT_NE(out.find("monitor calc: queue REQ"), std::string::npos) << out;
  EXPECT_NE(out.find("monitor other: queue REQ2"), std::string::npos) << out;
  EXPECT_NE(out.find("THREAD ID"), std::string::npos) << out;
  EXPECT_NE(out.find(" no "), std::string::npos) << out;  // a worker not in a call

  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(WaitHost(), 0) << Errors();
  EXPECT_NE(Errors().find("all monitors stopped"), std::string::npos) << Errors();
  EXPECT_EQ(Depth("REQ"), 0);
  EXPECT_EQ(Depth("REQ2"), 0);
}

TEST_F(HostTest, MonitorsThatCannotServeAreNamedWithTheirCausesAndNothingStarts) {
  auto section = [&](const std::string& name, const std::string& qm, const std::string& queue,
                     const std::string& progid) {
    return "[monitor " + name + "]\nqueue_manager = " + qm + "\nqueue = " + queue + "\nprogid = " + progid +
           "\nstatus_file = " + Path(name + ".status") + "\n";
  };
  WriteConfig(MonitorSection("good", "REQ") + section("noqueue", kQm, "NO.SUCH.QUEUE", kTriggerProgId) +
              section("badname", kQm, "NOT VALID!", kTriggerProgId) +
              section("noqm", "NO.SUCH.QM", "REQ", kTriggerProgId) + section("noclass", kQm, "REQ", "No.Such.Class"));
  StartHost();
  EXPECT_EQ(WaitHost(), 1);
  const std::string err = Errors();
  for (const char* line : {
           "krsoap serve: monitor noqueue: cannot open queue NO.SUCH.QUEUE on queue manager TEST.QM for browsing: "
           "reason 2204 (unknown queue); define it: krsoap qm define TEST.QM NO.SUCH.QUEUE\n",
           "krsoap serve: monitor badname: cannot open queue NOT VALID! on queue manager TEST.QM for browsing: "
           "reason 2209 (name not valid)",
           "krsoap serve: monitor noqm: cannot connect to queue manager NO.SUCH.QM: reason 2205 (unknown queue "
           "manager); create it: krsoap qm create NO.SUCH.QM\n",
           "krsoap serve: monitor noclass: progid No.Such.Class names no registered class: 0x800401F3 "
           "(CO_E_CLASSSTRING); register the module that serves it: krsoap register",
           "krsoap serve: nothing started\n"})
    EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
  EXPECT_EQ(err.find("monitor good"), std::string::npos) << err;
  EXPECT_EQ(err.find("WSDL/WSML"), std::string::npos) << err;  // no files named, no warning
  EXPECT_EQ(err.find("serving queue"), std::string::npos) << err;
}

TEST_F(HostTest, ConfigurationMistakesAreReportedWithFileAndLineAndStartNothing) {
  const std::string file = Path("host.conf");
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"[monitor a]\nqueue = REQ\ncolour = blue\nstatus_file = " + Path("a.status") + "\nprogid = X\n",
       file + ":3: unknown key 'colour'"},
      {"\n[monitor a]\nprogid = X\nstatus_file = " + Path("a.status") + "\n", file + ":2: monitor 'a' has no queue"},
      {"[monitor a]\nqueue = " + std::string(49, 'Q') + "\nprogid = X\nstatus_file = " + Path("a.status") + "\n",
       file + ":2: queue is 49 bytes, at most 48"},
      {"[monitor a]\nqueue = REQ\nwsdl = " + Path("missing.wsdl") + "\nwsml = " + Path("missing.wsml") +
           "\nstatus_file = " + Path("a.status") + "\n",
       file + ":3: wsdl file '" + Path("missing.wsdl") + "' does not exist"},
      {"[monitor a]\nqueue = REQ\nprogid = X\nstatus_file = " + Path("no/dir/a.status") + "\n",
       file + ":4: the directory of status_file"},
      {"[monitor a]\nqueue = REQ\nqueue = REQ2\n", file + ":3: 'queue' given twice"},
      {"queue = REQ\n", file + ":1: 'queue' outside a section"},
      {"[monitor a]\nqueue = REQ\nprogid = X\nstatus_file = " + Path("a.status") + "\n[monitor a]\n",
       file + ":5: a second monitor named 'a'"},
      {"[server]\n", file + ":1: unknown section '[server]'"},
      {"[monitor a]\nqueue = REQ\nstatus_file = " + Path("a.status") + "\n",
       file + ":1: monitor 'a' uses the built-in invoker"},
      {"[monitor a]\nqueue = REQ\nprogid = X\ncan_reuse_object = yes\nstatus_file = " + Path("a.status") + "\n",
       file + ":4: can_reuse_object must be a whole number"},
      {"; nothing\n", file + ": no [monitor NAME] section; the host needs at least one"},
      {"", file + ": the file is empty; the host needs at least one [monitor NAME] section"},
  };
  for (const Case& c : cases) {
    WriteConfig(c.text);
    std::string out;
    EXPECT_EQ(Tool("serve --config " + file, &out), 2) << c.text;
    EXPECT_NE(out.find(c.message), std::string::npos) << "expected: " << c.message << "\ngot: " << out;
    EXPECT_NE(out.find("nothing started"), std::string::npos) << out;
    EXPECT_EQ(Tool("status --config " + file, &out), 2) << c.text;
  }
  std::string out;
  EXPECT_EQ(Tool("serve --config " + Path("absent.conf"), &out), 2);
  EXPECT_NE(out.find(Path("absent.conf") + ": cannot read the configuration file: No such file or directory (write "
                     "one, see docs/server.md, or name another with --config FILE)"),
            std::string::npos)
      << out;
  EXPECT_EQ(Tool("serve --config " + home(), &out), 2);
  EXPECT_NE(out.find(home() + ": cannot read the configuration file: it is a directory"), std::string::npos) << out;
  EXPECT_EQ(Tool("serve --config", &out), 2);
  EXPECT_NE(out.find("krsoap serve: --config needs a file name"), std::string::npos) << out;
  EXPECT_EQ(Tool("serve --bogus", &out), 2);
  EXPECT_NE(out.find("unexpected argument '--bogus'"), std::string::npos) << out;
}

}  // namespace
}  // namespace krsoap::test
