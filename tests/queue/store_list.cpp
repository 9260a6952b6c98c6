// Stores under test and child-process helpers for the queue suite.
#include "tests/queue/store_list.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace krsoap::test {

std::vector<StoreParam> QueueStores() {
  const char* pg = std::getenv("KRSOAP_TEST_PG");
  return {{"sqlite", "sqlite"}, {"postgresql", pg ? pg : ""}};
}

Child StartChild(const std::vector<std::string>& argv) {
  int in[2], out[2];
  Child c;
  if (::pipe2(in, O_CLOEXEC) != 0) return c;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return c;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  c.pid = pid;
  c.in = in[1];
  c.out = out[0];
  return c;
}

bool ReadLine(Child& c, std::string* line) {
  line->clear();
  char ch;
  for (;;) {
    ssize_t n = ::read(c.out, &ch, 1);
    if (n <= 0) return !line->empty();
    if (ch == '\n') return true;
    line->push_back(ch);
  }
}

std::string ReadAll(Child& c) {
  std::string s;
  char buf[8192];
  ssize_t n;
  while ((n = ::read(c.out, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

int Finish(Child& c) {
  if (c.in >= 0) ::close(c.in);
  if (c.out >= 0) ::close(c.out);
  c.in = c.out = -1;
  int status = 0;
  if (c.pid > 0 && ::waitpid(c.pid, &status, 0) == c.pid) {
    c.pid = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  }
  return -1;
}

int RunProgram(const std::vector<std::string>& argv, std::string* out, const std::string& input) {
  Child c = StartChild(argv);
  if (c.pid < 0) return -1;
  if (!input.empty()) {
    ssize_t w = ::write(c.in, input.data(), input.size());
    (void)w;
  }
  ::close(c.in);
  c.in = -1;
  std::string s = ReadAll(c);
  if (out) *out = s;
  return Finish(c);
}

}  // namespace krsoap::test
