// Shared pieces of the cross-process tests (see rpc_test_util.h).
#include "tests/com_rpc/rpc_test_util.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/com/activation.h"

namespace krsoap::test {

bool HostProcess::Start(const std::string& socket, const std::vector<std::string>& objects, std::string* said) {
  std::vector<std::string> args = {socket};
  args.insert(args.end(), objects.begin(), objects.end());
  return Run(args, said);
}

bool HostProcess::StartBlockedClient(const std::string& socket, const std::string& name, int ms) {
  return Run({"--block", socket, name, std::to_string(ms)}, nullptr);
}

bool HostProcess::Run(const std::vector<std::string>& host_args, std::string* said) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
  std::string program = BinDir() + "/com_rpc_host";
  std::vector<std::string> args = {program};
  args.insert(args.end(), host_args.begin(), host_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  in_ = in[1];
  out_ = out[0];
  if (pid_ < 0) return false;
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[256];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  if (said) *said = text;
  return text.rfind("ready\n", 0) == 0;
}

int HostProcess::Stop() {
  if (pid_ <= 0) return -1;
  close(in_);
  in_ = -1;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  close(out_);
  out_ = -1;
  return status;
}

void HostProcess::Kill() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
  in_ = out_ = -1;
}

HRESULT CallModuleEntry(const std::string& module, const char* entry) {
  void* h = dlopen(module.c_str(), RTLD_NOW);
  if (!h) return E_FAIL;
  auto fn = reinterpret_cast<HRESULT (*)()>(dlsym(h, entry));
  HRESULT hr = fn ? fn() : E_FAIL;
  dlclose(h);
  return hr;
}

bool WaitUntil(const std::function<bool()>& done, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void RpcEnvironment::SetUp() {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  ASSERT_EQ(CallModuleEntry(Halvex(), "DllRegisterServer"), S_OK);
  if (access(Probe().c_str(), F_OK) == 0) {
    ASSERT_EQ(CallModuleEntry(Probe(), "DllRegisterServer"), S_OK);
  }
}

void RpcEnvironment::TearDown() { CoUninitialize(); }

}  // namespace krsoap::test
