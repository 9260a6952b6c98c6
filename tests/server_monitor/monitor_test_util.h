// Shared setup of the monitor and host tests: a throwaway data root with
// tracing switched on, an embedded queue manager with request queues, the
// halvex module and the test trigger class registered, and small helpers to
// put requests, read the trace and the trigger's record, and wait for a
// condition with a generous bound.
//
// Each case needs a process of its own, as ctest runs them: the trace
// module fixes its file's place at its first call in a process, and the
// worker pool and loaded classes live as long as the process.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_home.h"

namespace krsoap::test {

inline constexpr const char* kQm = "TEST.QM";
inline constexpr const char* kTriggerProgId = "KRTest.Trigger";
// Registered with a module that does not exist.
inline constexpr const char* kBrokenProgId = "KRTest.Broken";

class MonitorEnvironment : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::string& home() const { return home_.path(); }
  std::string Path(const std::string& name) const { return home_.path() + "/" + name; }
  std::string TraceFile() const;
  std::string Trace() const;
  // Lines of the trace that contain `text`.
  int TraceCount(const std::string& text) const;
  std::string LogFile() const { return Path("trigger.log"); }
  std::vector<std::string> LogLines(const std::string& prefix) const;

  // Runs the krsoap tool; returns its exit status, output in *out.
  int Tool(const std::string& args, std::string* out = nullptr) const;
  void DefineQueue(const std::string& queue) const;
  // Sets a REG_DWORD value under HKLM\SOFTWARE\Orvane\KRSoap\Server.
  void SetServerValue(const char16_t* name, unsigned long value) const;
  void Put(const std::string& queue, const std::string& body) const;
  long Depth(const std::string& queue) const;

 private:
  ScopedHome home_;
};

std::string ReadFile(const std::string& path);
// Polls `done` until it holds or `seconds` pass; returns whether it held.
bool WaitFor(const std::function<bool()>& done, int seconds = 60);

}  // namespace krsoap::test
