// Starting real child processes from the registry tests: the helper program
// and the krsoap tool, with their output captured, optionally as another
// user (to meet permissions that root would bypass).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace krsoap::test {

struct ChildResult {
  int exit_code = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

struct ChildOptions {
  std::string stdin_text;
  std::vector<std::string> env;  // extra "NAME=value" entries
  uid_t uid = 0;                 // when not 0 (and we are root): run as this user
  gid_t gid = 0;
};

// Runs a program to completion.
ChildResult RunChild(const std::vector<std::string>& argv, const ChildOptions& options = {});

// Runs this build's krsoap tool with `args`, `input` on its standard input.
ChildResult RunKrsoap(std::vector<std::string> args, const std::string& input = "");

// The whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);

// A child left running; its stdout is a pipe read line by line.
class RunningChild {
 public:
  explicit RunningChild(const std::vector<std::string>& argv);
  ~RunningChild();
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;
  // Reads one line of the child's output (without the line end); empty at
  // end of output.
  std::string ReadLine();
  int Wait();

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  bool waited_ = false;
  int status_ = -1;
};

}  // namespace krsoap::test
