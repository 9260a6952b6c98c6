// Shared setup of the monitor and host tests (see monitor_test_util.h).
#include "tests/server_monitor/monitor_test_util.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/queue/krqueue.h"
#include "platform/com/activation.h"
#include "platform/registry/registry.h"
#include "platform/text/convert.h"

namespace krsoap::test {
namespace {

void SetString(HKEY root, const std::u16string& path, const char16_t* name, const std::u16string& value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(char16_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void SetDword(HKEY root, const std::u16string& path, const char16_t* name, DWORD value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WaitFor(const std::function<bool()>& done, int seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

void MonitorEnvironment::SetUp() {
  // Tracing on, into <home>/Errors.
  ::mkdir(Path("Errors").c_str(), 0700);
  SetString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\Korrin\\CurrentVersion", u"WorkPath",
            krsoap::platform::Utf8ToUtf16(home()));
  SetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap", u"soapTrace", 1);
  ASSERT_EQ(Tool(std::string("qm create ") + kQm + " --default"), 0);
  // Queue definitions are cached by the process that uses them: define them
  // all before this process opens any.
  DefineQueue("REQ");
  DefineQueue("REQ2");
  ASSERT_EQ(Tool("register " + LibDir() + "/libhalvex.so"), 0);
  // The test trigger class, registered as an in-process server.
  const std::u16string clsid = u"{5C1E9F0A-7B2D-4E61-9A3C-2F8D4B6E1A07}";
  const std::u16string module = krsoap::platform::Utf8ToUtf16(LibDir() + "/libkrtesttrigger.so");
  SetString(HKEY_CLASSES_ROOT, u"KRTest.Trigger", nullptr, u"KRTest Trigger");
  SetString(HKEY_CLASSES_ROOT, u"KRTest.Trigger\\CLSID", nullptr, clsid);
  SetString(HKEY_CLASSES_ROOT, u"CLSID\\" + clsid, nullptr, u"KRTest Trigger");
  SetString(HKEY_CLASSES_ROOT, u"CLSID\\" + clsid + u"\\InprocServer32", nullptr, module);
  SetString(HKEY_CLASSES_ROOT, u"CLSID\\" + clsid + u"\\InprocServer32", u"ThreadingModel", u"Free");
  // A registered class whose module is not there: it resolves but cannot be made.
  const std::u16string broken = u"{0D8F3B5E-6A41-4C2D-9E7B-3F1A5C9D2E84}";
  SetString(HKEY_CLASSES_ROOT, u"KRTest.Broken\\CLSID", nullptr, broken);
  SetString(HKEY_CLASSES_ROOT, u"CLSID\\" + broken + u"\\InprocServer32", nullptr, u"/nonexistent/libkrbroken.so");
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
}

void MonitorEnvironment::TearDown() {
  if (HasFailure()) {
    std::printf("---- trace ----\n%s---- trigger record ----\n%s", Trace().c_str(), ReadFile(LogFile()).c_str());
  }
  CoUninitialize();
}

std::string MonitorEnvironment::TraceFile() const {
  char name[32];
  std::snprintf(name, sizeof name, "KRSP%04ld.trc", static_cast<long>(getpid()));
  return Path("Errors/") + name;
}

std::string MonitorEnvironment::Trace() const { return ReadFile(TraceFile()); }

int MonitorEnvironment::TraceCount(const std::string& text) const {
  std::istringstream in(Trace());
  std::string line;
  int count = 0;
  while (std::getline(in, line))
    if (line.find(text) != std::string::npos) ++count;
  return count;
}

std::vector<std::string> MonitorEnvironment::LogLines(const std::string& prefix) const {
  std::istringstream in(ReadFile(LogFile()));
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
  return lines;
}

int MonitorEnvironment::Tool(const std::string& args, std::string* out) const {
  std::string command = BinDir() + "/krsoap " + args + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int status = ::pclose(pipe);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void MonitorEnvironment::DefineQueue(const std::string& queue) const {
  ASSERT_EQ(Tool(std::string("qm define ") + kQm + " " + queue), 0);
}

void MonitorEnvironment::SetServerValue(const char16_t* name, unsigned long value) const {
  SetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap\\Server", name, static_cast<DWORD>(value));
}

void MonitorEnvironment::Put(const std::string& queue, const std::string& body) const {
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRLONG cc = 0, rc = 0;
  KRCONN(kQm, &hconn, &cc, &rc);
  ASSERT_EQ(rc, 0);
  KROD od = KROD_DEFAULT;
  std::strncpy(od.ObjectName, queue.c_str(), sizeof od.ObjectName - 1);
  KRHOBJ hobj = KRHO_UNUSABLE_HOBJ;
  KROPEN(hconn, &od, KROO_OUTPUT, &hobj, &cc, &rc);
  ASSERT_EQ(rc, 0);
  KRMD md = KRMD_DEFAULT;
  md.MsgType = KRMT_REQUEST;
  std::memcpy(md.Format, KRFMT_STRING, 8);
  KRPMO pmo = KRPMO_DEFAULT;
  KRPUT(hconn, hobj, &md, &pmo, static_cast<KRLONG>(body.size()), const_cast<char*>(body.data()), &cc, &rc);
  ASSERT_EQ(rc, 0);
  KRCLOSE(hconn, &hobj, KRCO_NONE, &cc, &rc);
  KRDISC(&hconn, &cc, &rc);
}

long MonitorEnvironment::Depth(const std::string& queue) const {
  // Browse the queue to count what is on it.
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRLONG cc = 0, rc = 0;
  KRCONN(kQm, &hconn, &cc, &rc);
  if (rc) return -1;
  KROD od = KROD_DEFAULT;
  std::strncpy(od.ObjectName, queue.c_str(), sizeof od.ObjectName - 1);
  KRHOBJ hobj = KRHO_UNUSABLE_HOBJ;
  KROPEN(hconn, &od, KROO_BROWSE, &hobj, &cc, &rc);
  long count = 0;
  while (rc == 0) {
    static thread_local char buffer[1 << 16];
    KRMD md = KRMD_DEFAULT;
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_BROWSE_NEXT;
    KRLONG length = 0;
    KRGET(hconn, hobj, &md, &gmo, sizeof buffer, buffer, &length, &cc, &rc);
    if (rc == 0) ++count;
  }
  KRCLOSE(hconn, &hobj, KRCO_NONE, &cc, &rc);
  KRDISC(&hconn, &cc, &rc);
  return count;
}

}  // namespace krsoap::test
