// Helpers of the packaging tests (see packaging_test_util.h).
#include "tests/server_packaging/packaging_test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/test_home.h"

namespace krsoap::test {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out.flush());
}

bool CopyFile(const std::string& from, const std::string& to) {
  std::string bytes = ReadBytes(from);
  if (bytes.empty() || !WriteBytes(to, bytes)) return false;
  return ::chmod(to.c_str(), 0755) == 0;
}

int RunTool(const std::vector<std::string>& args, std::string* out, uid_t uid, gid_t gid) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return -1;
  const std::string tool = BinDir() + "/krsoap";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(tool.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::dup2(pipe_fds[1], 1);
    ::dup2(pipe_fds[1], 2);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd >= 0) ::dup2(null_fd, 0);
    if (uid != 0 && (::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
    ::execv(tool.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace krsoap::test
