// Running a shell command from a test and reading what it printed.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace krsoap::test {

// Runs a shell command; its standard output, and its exit status in *status
// (-1 when it did not exit normally).
inline std::string Shell(const std::string& command, int* status) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = ::pclose(p);
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

}  // namespace krsoap::test
