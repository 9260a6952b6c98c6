// "krsoap serve-http" as a child process of a test: started for the
// Calculator, its first line read, stopped and reaped at the end.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/soap_server/soap_test_util.h"

namespace krsoap::test {

using Clock = std::chrono::steady_clock;

inline int MsLeft(Clock::time_point until) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return ms > 0 ? static_cast<int>(ms) : 0;
}

class ServeHttpProcessTest : public SoapTest {
 protected:
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      EXPECT_TRUE(Reap(pid_, 10000, &status)) << "serve-http did not stop";
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "serve-http did not stop cleanly: " << status;
    }
    SoapTest::TearDown();
  }

  // Waits up to `ms` for a child, killing it after that.
  static bool Reap(pid_t pid, int ms, int* status) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (waitpid(pid, status, WNOHANG) == 0) {
      if (Clock::now() > until) {
        kill(pid, SIGKILL);
        waitpid(pid, status, 0);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  // Runs serve-http for the Calculator with more arguments: the first line
  // it prints on stdout (within 20 s), and its pid. Its stderr is the
  // test's (where a sanitizer reports), or a pipe in *err_fd when asked for.
  static std::string Spawn(const std::vector<std::string>& extra, pid_t* pid, int* err_fd = nullptr) {
    int out[2], err[2] = {-1, -1};
    if (pipe(out) != 0 || (err_fd && pipe(err) != 0)) return "";
    std::vector<std::string> argv = {BinDir() + "/krsoap", "serve-http", "--wsdl", CalcWsdl(), "--wsml", CalcWsml()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    *pid = fork();
    if (*pid == 0) {
      dup2(out[1], 1);
      if (err_fd) dup2(err[1], 2);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    if (err_fd) close(err[1]);
    std::string line;
    auto until = Clock::now() + std::chrono::seconds(20);
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (line.find('\n') == std::string::npos && poll(&p, 1, MsLeft(until)) > 0 && read(out[0], &c, 1) == 1) {
      line += c;
    }
    close(out[0]);
    if (err_fd) *err_fd = err[0];
    return line;
  }

  // Starts the server on a free loopback port; returns the port.
  int Start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--listen", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string line = Spawn(args, &pid_);
    int port = 0;
    EXPECT_EQ(1, std::sscanf(line.c_str(), "listening on 127.0.0.1:%d", &port)) << line;
    return port;
  }

  pid_t pid_ = -1;
};

}  // namespace krsoap::test
