// Shared pieces of the cross-process tests: a throwaway data root with
// halvex (and the probe module) registered, and a host child process
// (com_rpc_host) serving real objects on a socket under the data root.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "tests/support/test_home.h"

namespace krsoap::test {

// A child process running com_rpc_host.
class HostProcess {
 public:
  HostProcess() = default;
  ~HostProcess() { Kill(); }
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Starts the host publishing `objects` ("name=ProgID") at `socket` and
  // waits (bounded) for it to say it is ready. Returns what it printed.
  bool Start(const std::string& socket, const std::vector<std::string>& objects, std::string* said = nullptr);
  // Starts it as a client blocked in a probe's Block(ms) call.
  bool StartBlockedClient(const std::string& socket, const std::string& name, int ms);
  // Closes its input (it closes its server and exits) and waits for it.
  int Stop();
  // SIGKILL and reap.
  void Kill();
  pid_t pid() const { return pid_; }

 private:
  bool Run(const std::vector<std::string>& args, std::string* said);
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};

// Calls an entry point of a module by name (loading it through dlopen).
HRESULT CallModuleEntry(const std::string& module, const char* entry);

// Polls `done` until it holds or `seconds` pass.
bool WaitUntil(const std::function<bool()>& done, int seconds = 60);

class RpcEnvironment : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string Socket() const { return home_.path() + "/run/host.sock"; }
  const std::string& home() const { return home_.path(); }
  static std::string Halvex() { return LibDir() + "/libhalvex.so"; }
  static std::string Probe() { return LibDir() + "/libkrtestrpc.so"; }

 private:
  ScopedHome home_;
};

}  // namespace krsoap::test
