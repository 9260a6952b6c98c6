// Child processes for the registry tests (see child_process.h).
#include "tests/registry/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/test_home.h"

extern char** environ;

namespace krsoap::test {
namespace {

std::vector<char*> CStrings(std::vector<std::string>& v) {
  std::vector<char*> out;
  for (std::string& s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::string ReadAll(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

ChildResult RunChild(const std::vector<std::string>& argv_in, const ChildOptions& options) {
  // Output goes through files, so a chatty child never blocks on a pipe.
  char dir_templ[] = "/tmp/krsoap-child-XXXXXX";
  if (!::mkdtemp(dir_templ)) throw std::runtime_error("mkdtemp failed");
  const std::string dir = dir_templ;
  const std::string in_path = dir + "/in", out_path = dir + "/out", err_path = dir + "/err";
  if (FILE* f = std::fopen(in_path.c_str(), "wb")) {
    std::fwrite(options.stdin_text.data(), 1, options.stdin_text.size(), f);
    std::fclose(f);
  }
  int in_fd = ::open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
  int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);

  std::vector<std::string> argv = argv_in;
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const std::string& extra : options.env) env.push_back(extra);
  std::vector<char*> cargv = CStrings(argv), cenv = CStrings(env);

  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    if (options.uid != 0) {
      if (::setgid(options.gid) != 0 || ::setuid(options.uid) != 0) ::_exit(126);
    }
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  ::close(in_fd);
  ::close(out_fd);
  ::close(err_fd);
  ChildResult result;
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = pid > 0 ? ExitCode(status) : -1;
  result.out = ReadAll(out_path);
  result.err = ReadAll(err_path);
  ::unlink(in_path.c_str());
  ::unlink(out_path.c_str());
  ::unlink(err_path.c_str());
  ::rmdir(dir.c_str());
  return result;
}

ChildResult RunKrsoap(std::vector<std::string> args, const std::string& input) {
  args.insert(args.begin(), BinDir() + "/krsoap");
  ChildOptions options;
  options.stdin_text = input;
  return RunChild(args, options);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

RunningChild::RunningChild(const std::vector<std::string>& argv_in) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argv = argv_in;
  std::vector<char*> cargv = CStrings(argv);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(fds[1], 1);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  out_fd_ = fds[0];
}

RunningChild::~RunningChild() {
  Wait();
  if (out_fd_ >= 0) ::close(out_fd_);
}

std::string RunningChild::ReadLine() {
  std::string line;
  char c;
  for (;;) {
    ssize_t n = ::read(out_fd_, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line.push_back(c);
  }
  return line;
}

int RunningChild::Wait() {
  if (!waited_ && pid_ > 0) {
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    waited_ = true;
  }
  return ExitCode(status_);
}

}  // namespace krsoap::test
