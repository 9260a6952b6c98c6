// The queue monitor and worker pool, through the real halvex module loaded
// by the runtime, against the real embedded queue manager, with the test
// trigger class recording its calls: dispatching, block reuse and creation,
// idle expiry, trigger object reuse, several monitors in one process, Stop,
// the status file, failures, and what each of them traces.
#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <set>
#include <string>

#include "halvex.h"
#include "server/monitor_host.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "tests/server_monitor/monitor_test_util.h"

#include <fcntl.h>

namespace krsoap::test {
namespace {

struct Bstr {
  explicit Bstr(const std::string& text) : value(krsoap::com::AllocBstrFromUtf8(text)) {}
  ~Bstr() { SysFreeString(value); }
  operator BSTR() const { return value; }
  BSTR value;
};

// This process's standard error, into a file, while it lives: what the
// module says there for the journal.
class CapturedStderr {
 public:
  explicit CapturedStderr(std::string path) : path_(std::move(path)) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~CapturedStderr() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
  }
  // Lines holding `text`.
  int Count(const std::string& text) const {
    std::istringstream in(ReadFile(path_));
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.find(text) != std::string::npos;
    return n;
  }
  std::string Text() const { return ReadFile(path_); }

 private:
  std::string path_;
  int saved_ = -1;
};

class MonitorTest : public MonitorEnvironment {
 protected:
  IKRSoapMonitor* NewMonitor() {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(u"Halvex.KRSoapMonitor", &clsid), S_OK);
    IKRSoapMonitor* monitor = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IKRSoapMonitor, reinterpret_cast<void**>(&monitor)),
              S_OK);
    return monitor;
  }
  LONG Start(IKRSoapMonitor* monitor, const std::string& queue, const std::string& extra = "",
             const std::string& progid = kTriggerProgId, const std::string& qm = kQm) {
    LONG rc = -1;
    std::string param = "log=" + LogFile() + (extra.empty() ? "" : ";" + extra);
    EXPECT_EQ(monitor->Start(Bstr(qm), Bstr(queue), Bstr(progid), Bstr(param), &rc), S_OK);
    return rc;
  }
  LONG Stop(IKRSoapMonitor* monitor) {
    LONG rc = -1;
    EXPECT_EQ(monitor->Stop(&rc), S_OK);
    return rc;
  }
  LONG Status(IKRSoapMonitor* monitor, const std::string& file, LONG* threads = nullptr) {
    LONG rc = -1, count = -1;
    EXPECT_EQ(monitor->GetMonitorStatus(Bstr(file), &count, &rc), S_OK);
    if (threads) *threads = count;
    return rc;
  }
  size_t Count(const std::string& prefix) const { return LogLines(prefix).size(); }
  // The number of the first trace line holding `text`, or -1.
  int TraceLine(const std::string& text) const {
    std::istringstream in(Trace());
    std::string line;
    for (int n = 0; std::getline(in, line); ++n)
      if (line.find(text) != std::string::npos) return n;
    return -1;
  }
  // Waits until no worker is in a call (as the status file tells).
  bool WaitIdle(IKRSoapMonitor* monitor) {
    return WaitFor([&] {
      Status(monitor, Path("wait.status"));
      std::istringstream in(ReadFile(Path("wait.status")));
      std::string line;
      while (std::getline(in, line))
        if (line.find(',') != std::string::npos && line.substr(line.find(','), 3) == ",1,") return false;
      return true;
    });
  }
  // Thread id of the n-th Execute line of the record.
  std::string ExecuteThread(size_t n) const {
    auto lines = LogLines("execute ");
    if (n >= lines.size()) return "";
    std::istringstream in(lines[n]);
    std::string word, object, thread;
    in >> word >> object >> thread;
    return thread;
  }
};

TEST_F(MonitorTest, ThreeRequestsAreFoundAndEachExecutedOnceWithTheMonitorsSettings) {
  IKRSoapMonitor* monitor = NewMonitor();
  ASSERT_NE(monitor, nullptr);
  LONG rc = -1;
  // The toolkit's WSDL reader may not be able to load these; Init keeps the
  // paths whatever its check says.
  monitor->Init(Bstr("/srv/a.wsdl"), Bstr("/srv/a.wsml"), &rc);
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(Start(monitor, "REQ"), 0);
  for (int i = 0; i < 3; ++i) Put("REQ", "<request " + std::to_string(i) + "/>");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 3; }));
  EXPECT_TRUE(WaitFor([&] { return TraceCount("> Message Found") == 3; }));
  EXPECT_EQ(TraceCount("> AllocCOMThread rc = 0"), 3);
  for (const auto& line : LogLines("execute "))
    EXPECT_NE(line.find(std::string(" ") + kQm + "|REQ|/srv/a.wsdl|/srv/a.wsml"), std::string::npos) << line;
  for (const auto& line : LogLines("took ")) EXPECT_EQ(line.rfind("took 0 ", 0), 0u) << line;
  EXPECT_EQ(Depth("REQ"), 0);
  EXPECT_EQ(Stop(monitor), 0);
  EXPECT_EQ(TraceCount("Monitor thread stopped OK"), 1);
  EXPECT_EQ(TraceCount("> Failed to create WSDLReader") + TraceCount("> Failed to Load WSDL or WSML"), 1);
  monitor->Release();
}

TEST_F(MonitorTest, BusyWorkerMakesASecondBlockAndAnIdleOneIsReused) {
  IKRSoapMonitor* monitor = NewMonitor();
  ASSERT_EQ(Start(monitor, "REQ", "gate=" + Path("gate")), 0);
  Put("REQ", "first");
  ASSERT_TRUE(WaitFor([&] { return Count("took ") == 1; }));
  EXPECT_EQ(TraceCount("> Creating new thread and block"), 1);
  EXPECT_EQ(TraceCount("> New block is new list head"), 1);
  // The block is in the list before its thread runs.
  EXPECT_LT(TraceLine("> New block is new list head"), TraceLine("KRSoap:Server/COMWorkerThread {"));
  Put("REQ", "second");  // the first worker is still in Execute
  ASSERT_TRUE(WaitFor([&] { return Count("took ") == 2; }));
  EXPECT_EQ(TraceCount("> Creating new thread and block"), 2);
  EXPECT_EQ(TraceCount("> New block is new list head"), 1);
  EXPECT_NE(ExecuteThread(0), ExecuteThread(1));

  LONG threads = -1;
  ASSERT_EQ(Status(monitor, Path("busy.status"), &threads), 0);
  EXPECT_EQ(threads, 2);
  std::string status = ReadFile(Path("busy.status"));
  EXPECT_TRUE(std::regex_match(status, std::regex("(" + std::string("[0-9]+,1,1,[0-9:]{8},[0-9:]{8}\r\n") + "){2}")))
      << status;
  EXPECT_EQ(TraceCount("> 2 active threads, 2 in calls"), 1);

  ASSERT_EQ(::close(::creat(Path("gate").c_str(), 0600)), 0);
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 2; }));
  ASSERT_TRUE(WaitIdle(monitor));
  Put("REQ", "third");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 3; }));
  EXPECT_EQ(TraceCount("> Re-using existing block"), 1);
  EXPECT_EQ(TraceCount("> Creating new thread and block"), 2);
  EXPECT_EQ(ExecuteThread(2), ExecuteThread(0));  // the first block's thread, no new one
  EXPECT_EQ(TraceCount("KRSoap:Server/COMWorkerThread {"), 2);
  EXPECT_EQ(Stop(monitor), 0);
  monitor->Release();
}

TEST_F(MonitorTest, IdleWorkerExpiresLeavesTheStatusFileAndItsBlockGetsANewThread) {
  SetServerValue(u"IdleTimeout", 1);
  IKRSoapMonitor* monitor = NewMonitor();
  // The gate holds the second request in its call while the status is taken:
  // an idle worker would expire again if the machine stalled for a second.
  ASSERT_EQ(Start(monitor, "REQ", "gate=" + Path("gate")), 0);
  ASSERT_EQ(::close(::creat(Path("gate").c_str(), 0600)), 0);
  Put("REQ", "one");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 1; }));
  ASSERT_TRUE(WaitFor([&] { return TraceCount("> Thread reached timeout, expiring...") == 1; }));
  ASSERT_TRUE(WaitFor([&] { return TraceCount("KRSoap:Server/COMWorkerThread rc = 0 }") == 1; }));
  LONG threads = -1;
  ASSERT_EQ(Status(monitor, Path("expired.status"), &threads), 0);
  EXPECT_EQ(threads, 0);
  EXPECT_EQ(ReadFile(Path("expired.status")), "");
  EXPECT_EQ(TraceCount("> 0, 0, 1, "), 1);  // traced with thread id 0, one call handled

  ASSERT_EQ(::unlink(Path("gate").c_str()), 0);
  Put("REQ", "two");
  ASSERT_TRUE(WaitFor([&] { return Count("took ") == 2; }));
  EXPECT_EQ(TraceCount("> Re-using existing block"), 1);
  EXPECT_EQ(TraceCount("KRSoap:Server/COMWorkerThread {"), 2);
  ASSERT_EQ(Status(monitor, Path("again.status")), 0);
  EXPECT_TRUE(std::regex_match(ReadFile(Path("again.status")), std::regex("[1-9][0-9]*,1,2,[0-9:]{8},[0-9:]{8}\r\n")))
      << ReadFile(Path("again.status"));
  ASSERT_EQ(::close(::creat(Path("gate").c_str(), 0600)), 0);
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 2; }));
  EXPECT_EQ(Stop(monitor), 0);
  monitor->Release();
}

TEST_F(MonitorTest, CanReuseObjectDecidesWhetherEachRequestGetsItsOwnTriggerObject) {
  IKRSoapMonitor* monitor = NewMonitor();
  LONG value = -1;
  EXPECT_EQ(monitor->get_CanReuseObject(&value), S_OK);
  EXPECT_EQ(value, 0);
  ASSERT_EQ(Start(monitor, "REQ"), 0);
  for (int i = 0; i < 3; ++i) {
    Put("REQ", "fresh");
    ASSERT_TRUE(WaitFor([&] { return Count("destroy ") == static_cast<size_t>(i + 1); }));
  }
  EXPECT_EQ(Count("create "), 3u);
  EXPECT_EQ(TraceCount("> Trigger object released"), 3);
  EXPECT_EQ(Stop(monitor), 0);

  // Nonzero values all mean "keep"; the value reaches the workers at Start.
  EXPECT_EQ(monitor->put_CanReuseObject(42), S_OK);
  EXPECT_EQ(monitor->get_CanReuseObject(&value), S_OK);
  EXPECT_EQ(value, 42);
  ASSERT_EQ(Start(monitor, "REQ"), 0);
  for (int i = 0; i < 3; ++i) {
    Put("REQ", "kept");
    ASSERT_TRUE(WaitFor([&] { return Count("done ") == static_cast<size_t>(4 + i); }));
    ASSERT_TRUE(WaitIdle(monitor));
  }
  EXPECT_EQ(Count("create "), 4u);
  EXPECT_EQ(Count("destroy "), 3u);
  EXPECT_EQ(TraceCount("> Trigger object released"), 3);
  EXPECT_EQ(Stop(monitor), 0);  // the workers end and release the kept object
  EXPECT_EQ(Count("destroy "), 4u);
  monitor->Release();
}

TEST_F(MonitorTest, TwoMonitorsShareTheWorkersAndOneEndingStopsThemAll) {
  IKRSoapMonitor* first = NewMonitor();
  IKRSoapMonitor* second = NewMonitor();
  ASSERT_EQ(Start(first, "REQ"), 0);
  ASSERT_EQ(Start(second, "REQ2"), 0);
  Put("REQ", "a");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 1; }));
  ASSERT_TRUE(WaitIdle(first));
  Put("REQ2", "b");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 2; }));
  EXPECT_EQ(ExecuteThread(0), ExecuteThread(1));  // one worker served both queues
  EXPECT_NE(LogLines("execute ")[1].find("|REQ2|"), std::string::npos);

  EXPECT_EQ(Stop(first), 0);
  // The first monitor's ending stopped the shared worker too.
  EXPECT_EQ(TraceCount("> Signalled to stop"), 1);
  Put("REQ2", "c");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 3; }));
  EXPECT_NE(ExecuteThread(2), ExecuteThread(0));
  EXPECT_EQ(Depth("REQ"), 0);
  EXPECT_EQ(Depth("REQ2"), 0);
  EXPECT_EQ(Stop(second), 0);
  first->Release();
  second->Release();
}

TEST_F(MonitorTest, AKeptTriggerObjectServesOnlyRequestsWithTheSettingsItWasMadeWith) {
  IKRSoapMonitor* first = NewMonitor();
  IKRSoapMonitor* second = NewMonitor();
  first->put_CanReuseObject(1);
  second->put_CanReuseObject(1);
  ASSERT_EQ(Start(first, "REQ", "service=a"), 0);
  ASSERT_EQ(Start(second, "REQ2", "service=b"), 0);
  auto serve = [&](IKRSoapMonitor* monitor, const std::string& queue, size_t done) {
    Put(queue, "x");
    ASSERT_TRUE(WaitFor([&] { return Count("done ") == done; }));
    ASSERT_TRUE(WaitIdle(monitor));
  };
  serve(first, "REQ", 1);
  serve(first, "REQ", 2);
  serve(second, "REQ2", 3);  // the same worker, another user parameter
  serve(first, "REQ", 4);
  ASSERT_EQ(ExecuteThread(0), ExecuteThread(3));
  auto execute = LogLines("execute ");
  auto object = [&](size_t n) { return execute[n].substr(0, execute[n].find(' ', 8)); };
  EXPECT_EQ(object(0), object(1));  // kept for the same settings
  EXPECT_NE(object(1), object(2));
  EXPECT_NE(object(2), object(3));
  EXPECT_EQ(Count("create "), 3u);
  EXPECT_EQ(Count("destroy "), 2u);
  EXPECT_EQ(TraceCount("> Trigger object made for other settings released"), 2);

  // Another ProgID: its requests are served by its own class (the inert
  // trigger, which leaves the request queued), not by the kept object's.
  EXPECT_EQ(Stop(second), 0);  // this also ends the shared worker
  ASSERT_EQ(Start(second, "REQ2", "service=a", "Halvex.KRObjectTrigger"), 0);
  serve(first, "REQ", 5);
  Put("REQ2", "for the inert trigger");
  ASSERT_TRUE(WaitFor([&] { return TraceCount("> Result from Execute = 0") == 1; }));
  EXPECT_EQ(Count("execute "), 5u);
  EXPECT_EQ(Depth("REQ2"), 1);
  EXPECT_EQ(Stop(first), 0);
  EXPECT_EQ(Stop(second), 0);
  first->Release();
  second->Release();
}

TEST_F(MonitorTest, StopEndsTheThreadWithinABrowseAndStoppingAgainOrEarlyDoesNothing) {
  IKRSoapMonitor* monitor = NewMonitor();
  EXPECT_EQ(Stop(monitor), 0);  // never started
  EXPECT_EQ(TraceCount("Waiting for Monitor thread"), 0);
  ASSERT_EQ(Start(monitor, "REQ"), 0);
  ASSERT_TRUE(WaitFor([&] { return TraceCount("> Browsing with wait") >= 1; }));
  EXPECT_EQ(Stop(monitor), 0);
  EXPECT_EQ(TraceCount("> Waiting for Monitor thread to stop"), 1);
  EXPECT_EQ(TraceCount("> Monitor thread stopped OK"), 1);
  // The thread traces its exit after StoppedEvent, so maybe after Stop returned.
  EXPECT_TRUE(WaitFor([&] { return TraceCount("KRSoap:Server/MonitorThread rc = 0 }") == 1; }));
  EXPECT_EQ(TraceCount("> 0 active threads, 0 in calls"), 1);
  EXPECT_EQ(Stop(monitor), 0);
  EXPECT_EQ(TraceCount("Waiting for Monitor thread"), 1);
  monitor->Release();
  EXPECT_EQ(TraceCount("KRSoap:Server/~CKRSoapMonitor rc = 0 }"), 1);
}

TEST_F(MonitorTest, ReleasingARunningMonitorStopsItsThread) {
  IKRSoapMonitor* monitor = NewMonitor();
  ASSERT_EQ(Start(monitor, "REQ"), 0);
  Put("REQ", "x");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 1; }));
  monitor->Release();
  EXPECT_EQ(TraceCount("> Monitor thread stopped OK"), 1);
  EXPECT_TRUE(WaitFor([&] { return TraceCount("KRSoap:Server/MonitorThread rc = 0 }") == 1; }));
  EXPECT_EQ(TraceCount("KRSoap:Server/COMWorkerThread rc = 0 }"), 1);
}

TEST_F(MonitorTest, StartFailuresAreReportedInRcAndStartNoThread) {
  IKRSoapMonitor* monitor = NewMonitor();
  // A queue manager that does not exist: its reason code, no thread.
  LONG rc = Start(monitor, "REQ", "", kTriggerProgId, "NO.SUCH.QM");
  EXPECT_EQ(rc, 2205);
  EXPECT_EQ(TraceCount("> Could not connect to queue manager, rc 2205 cc 2"), 1);
  EXPECT_EQ(Stop(monitor), 0);
  EXPECT_EQ(TraceCount("MonitorThread {"), 0);

  // Arguments wider than the control block's fields are refused whole.
  EXPECT_EQ(Start(monitor, std::string(49, 'Q')), 2208);
  EXPECT_EQ(Start(monitor, "REQ", "", kTriggerProgId, std::string(49, 'M')), 2208);
  EXPECT_EQ(Start(monitor, "REQ", "", std::string(256, 'P')), 2208);
  EXPECT_EQ(Start(monitor, "REQ", std::string(270, 'u')), 2208);
  // A 48-byte name fits (and names no queue manager).
  EXPECT_EQ(Start(monitor, "REQ", "", kTriggerProgId, std::string(48, 'M')), 2205);
  LONG init_rc = -1;
  monitor->Init(Bstr("/" + std::string(300, 'w')), Bstr("/x.wsml"), &init_rc);
  EXPECT_EQ(Start(monitor, "REQ"), 2208);
  EXPECT_EQ(TraceCount("> Argument too long: WSDL path is 301 bytes, at most 260"), 1);
  EXPECT_EQ(TraceCount("MonitorThread {"), 0);
  monitor->Release();
}

TEST_F(MonitorTest, AMissingQueueEndsTheThreadSaysWhyOnceAndStopThenReportsItAlreadyStopped) {
  CapturedStderr err(Path("stderr.txt"));
  IKRSoapMonitor* monitor = NewMonitor();
  IKRSoapMonitorHost* host = nullptr;
  ASSERT_EQ(monitor->QueryInterface(IID_IKRSoapMonitorHost, reinterpret_cast<void**>(&host)), S_OK);
  auto state = [&](LONG* reason = nullptr, std::string* cause = nullptr) {
    LONG s = -1, r = -1;
    BSTR text = nullptr;
    EXPECT_EQ(host->GetThreadState(&s, &r, &text), S_OK);
    if (reason) *reason = r;
    if (cause) *cause = krsoap::com::BstrToUtf8(text);
    SysFreeString(text);
    return s;
  };
  EXPECT_EQ(state(), kMonitorIdle);
  EXPECT_EQ(host->put_JournalName(Bstr("host: monitor m")), S_OK);
  ASSERT_EQ(Start(monitor, "NO.SUCH.QUEUE"), 0);
  ASSERT_TRUE(WaitFor([&] { return state() == kMonitorEnded; }));
  LONG reason = 0;
  std::string cause;
  state(&reason, &cause);
  EXPECT_EQ(reason, 2204);
  const std::string why = "cannot open queue NO.SUCH.QUEUE on queue manager TEST.QM for browsing: reason 2204 (unknown queue)";
  EXPECT_EQ(cause, why);
  EXPECT_EQ(err.Count("host: monitor m: stopped serving: " + why), 1) << err.Text();
  ASSERT_TRUE(WaitFor([&] { return TraceCount("KRSoap:Server/MonitorThread rc = 0 }") == 1; }));
  EXPECT_EQ(TraceCount("> Failed to open queue cc=2 rc=2204 NO.SUCH.QUEUE"), 1);
  EXPECT_EQ(Stop(monitor), 0);
  EXPECT_EQ(Stop(monitor), 0);
  EXPECT_EQ(TraceCount("> Monitor thread already stopped"), 2);
  EXPECT_EQ(state(), kMonitorEnded);  // the block, and the cause, stay
  // An ended monitor may be started again; a running one may not.
  ASSERT_EQ(Start(monitor, "REQ"), 0);
  EXPECT_EQ(state(&reason, &cause), kMonitorRunning);
  EXPECT_EQ(reason, 0);
  EXPECT_EQ(cause, "");
  EXPECT_EQ(Start(monitor, "REQ"), 2230);
  EXPECT_EQ(TraceCount("> Monitor thread still running"), 1);
  Put("REQ", "served after the restart");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 1; }));
  EXPECT_EQ(Stop(monitor), 0);
  EXPECT_EQ(state(), kMonitorIdle);
  EXPECT_EQ(err.Count("stopped serving"), 1) << err.Text();
  host->Release();
  monitor->Release();
}

TEST_F(MonitorTest, TriggerFailuresAreSaidOnStandardErrorWithinTheLimitAndTheWorkerGoesOn) {
  SetServerValue(u"FailureLines", 3);
  SetServerValue(u"FailureInterval", 3600);
  CapturedStderr err(Path("stderr.txt"));
  IKRSoapMonitor* monitor = NewMonitor();
  monitor->put_CanReuseObject(1);
  ASSERT_EQ(Start(monitor, "REQ", "fail=80004005"), 0);
  Put("REQ", "1");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 1; }));
  ASSERT_TRUE(WaitIdle(monitor));
  Put("REQ", "2");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 2; }));
  ASSERT_TRUE(WaitFor([&] { return TraceCount("> Result from Execute = 7") == 2; }));
  EXPECT_EQ(TraceCount("> Failed to call execute, hr = 80004005"), 2);
  EXPECT_EQ(Count("create "), 1u);  // the kept object survives a failed call
  EXPECT_EQ(Stop(monitor), 0);

  // A trigger that throws fails its call, nothing more.
  ASSERT_EQ(Start(monitor, "REQ", "throw=1"), 0);
  Put("REQ", "3");
  Put("REQ", "4");
  ASSERT_TRUE(WaitFor([&] { return TraceCount("> Failed to call execute, hr = 8000ffff") == 2; }));
  EXPECT_EQ(Stop(monitor), 0);
  monitor->Release();
  // Four failures: three lines, then one saying the rest are suppressed.
  const std::string who = "halvex: queue REQ on queue manager TEST.QM: a request on queue REQ failed: ";
  EXPECT_EQ(err.Count(who + "the trigger object's Execute failed with 0x80004005 (E_FAIL)"), 2) << err.Text();
  EXPECT_EQ(err.Count(who + "the trigger object's Execute failed with 0x8000FFFF (E_UNEXPECTED)"), 1) << err.Text();
  EXPECT_EQ(err.Count("halvex: queue REQ on queue manager TEST.QM: more failures; the next ones are suppressed for "
                      "up to 3600 s"),
            1)
      << err.Text();
  EXPECT_EQ(err.Count(": "), 4) << err.Text();
}

TEST_F(MonitorTest, AClassThatCannotBeFoundOrMadeEndsEachNewWorkerSaysSoAndLeavesTheRequestQueued) {
  CapturedStderr err(Path("stderr.txt"));
  IKRSoapMonitor* monitor = NewMonitor();
  ASSERT_EQ(Start(monitor, "REQ", "", "No.Such.Class"), 0);
  Put("REQ", "unserved");
  ASSERT_TRUE(WaitFor([&] { return TraceCount("KRSoap:Server/COMWorkerThread rc = 0 }") == 1; }));
  EXPECT_EQ(TraceCount("> Failed to resolve ProgID of com object No.Such.Class, hr = 800401f3"), 1);
  Put("REQ", "unserved too");
  ASSERT_TRUE(WaitFor([&] { return TraceCount("KRSoap:Server/COMWorkerThread rc = 0 }") == 2; }));
  EXPECT_EQ(TraceCount("> Re-using existing block"), 1);
  EXPECT_EQ(Depth("REQ"), 2);
  EXPECT_EQ(err.Count("halvex: queue REQ on queue manager TEST.QM: ProgID No.Such.Class names no registered class "
                      "(0x800401F3 (CO_E_CLASSSTRING)); the request stays on the queue"),
            2)
      << err.Text();
  EXPECT_EQ(Stop(monitor), 0);

  // A class that is registered but cannot be made (its module is missing).
  ASSERT_EQ(Start(monitor, "REQ", "", kBrokenProgId), 0);
  // Each request queued meets a worker that cannot make it.
  EXPECT_TRUE(WaitFor([&] { return err.Count("cannot create the trigger object of KRTest.Broken") >= 1; }))
      << err.Text();
  EXPECT_EQ(Depth("REQ"), 2);
  EXPECT_EQ(Stop(monitor), 0);
  monitor->Release();
}

TEST_F(MonitorTest, ARequestLongerThanTheBrowseBufferStillGetsAWorker) {
  IKRSoapMonitor* monitor = NewMonitor();
  ASSERT_EQ(Start(monitor, "REQ"), 0);
  Put("REQ", std::string(3000, 'x'));
  Put("REQ", "small");
  ASSERT_TRUE(WaitFor([&] { return Count("done ") == 2; }));
  EXPECT_EQ(TraceCount("> KRGET rc = 2080"), 1);
  EXPECT_EQ(TraceCount("> Message Found"), 2);
  auto took = LogLines("took ");
  ASSERT_EQ(took.size(), 2u);
  // Two workers race for the two messages; each must get one of them whole.
  std::sort(took.begin(), took.end());
  EXPECT_EQ(took[0], "took 0 3000");
  EXPECT_EQ(took[1], "took 0 5");
  EXPECT_EQ(Depth("REQ"), 0);
  EXPECT_EQ(Stop(monitor), 0);
  monitor->Release();
}

TEST_F(MonitorTest, StatusFileWithNoWorkersAndOneThatCannotBeCreated) {
  IKRSoapMonitor* monitor = NewMonitor();
  LONG threads = -1;
  ASSERT_EQ(::close(::creat(Path("old.status").c_str(), 0600)), 0);
  ASSERT_EQ(::truncate(Path("old.status").c_str(), 0), 0);
  EXPECT_EQ(Status(monitor, Path("old.status"), &threads), 0);
  EXPECT_EQ(threads, 0);
  EXPECT_EQ(ReadFile(Path("old.status")), "");
  EXPECT_EQ(TraceCount("> Thread ID, In Call, Calls Handled, Started, Last Used"), 1);
  EXPECT_EQ(TraceCount("> 0 active threads, 0 in calls"), 1);
  struct stat st {};
  ASSERT_EQ(::stat(Path("old.status").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // ERROR_PATH_NOT_FOUND for a directory that does not exist.
  EXPECT_EQ(Status(monitor, Path("no/such/dir/x.status"), &threads), 3);
  EXPECT_EQ(TraceCount("> Could not create status file"), 1);
  monitor->Release();
}

TEST_F(MonitorTest, ClassesAreCreatableByProgIdAndAnswerTheirInterfaces) {
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromString(u"Halvex.KRObjectTrigger", &clsid), S_OK);
  EXPECT_TRUE(IsEqualGUID(clsid, CLSID_KRObjectTrigger));
  IKRObjectTrigger* trigger = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IKRObjectTrigger, reinterpret_cast<void**>(&trigger)),
            S_OK);
  LONG result = 1234;
  EXPECT_EQ(trigger->Execute(Bstr("a"), Bstr("b"), Bstr("c"), Bstr("d"), Bstr("e"), &result), S_OK);
  EXPECT_EQ(result, 1234);
  trigger->Release();

  IKRSoapMonitor* monitor = NewMonitor();
  void* other = nullptr;
  EXPECT_EQ(monitor->QueryInterface(IID_IStream, &other), E_NOINTERFACE);
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(monitor->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  const char16_t* names[] = {u"CanReuseObject"};
  DISPID id = 0;
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names), 1, 0x409, &id), S_OK);
  EXPECT_EQ(id, 5);
  names[0] = u"Start";
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names), 1, 0x409, &id), S_OK);
  EXPECT_EQ(id, 1);
  dispatch->Release();
  monitor->Release();
}

}  // namespace
}  // namespace krsoap::test
