// Small helpers of the packaging tests: whole-file reads and writes, file
// copies, and running the krsoap tool with its arguments passed as they are
// (no shell), optionally as another user.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace krsoap::test {

std::string ReadBytes(const std::string& path);
bool WriteBytes(const std::string& path, const std::string& bytes);
bool CopyFile(const std::string& from, const std::string& to);

// Runs build/bin/krsoap with `args`; returns its exit status (-1 when it did
// not exit normally), standard output and error together in *out. A nonzero
// uid (when we are root) runs it as that user.
int RunTool(const std::vector<std::string>& args, std::string* out, uid_t uid = 0, gid_t gid = 0);

}  // namespace krsoap::test
