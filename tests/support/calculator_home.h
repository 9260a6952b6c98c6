// For standalone programs that drive the example Calculator behind a real
// host (the soak, the end-to-end benchmark): where the build put the tool
// and the modules, and a throwaway data root holding a queue manager, its
// request queue and the registered modules the host needs. Header only, so
// that programs without the test framework can use it.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace krsoap::test {

// The build's bin/ (this program's own directory) and lib/ beside it.
struct BuildDirs {
  std::string bin;
  std::string lib;
};

inline bool FindBuildDirs(BuildDirs* dirs) {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return false;
  std::string self(path, static_cast<size_t>(n));
  dirs->bin = self.substr(0, self.rfind('/'));
  dirs->lib = dirs->bin.substr(0, dirs->bin.rfind('/')) + "/lib";
  return true;
}

// Runs a shell command with its output discarded; its exit status.
inline int RunQuiet(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

// Makes a data root named PREFIX-XXXXXX under $TMPDIR (or /tmp), points
// KRSOAP_HOME at it, creates the queue manager `qm` with the queue `queue`,
// and registers the DOM, the toolkit, halvex and the Calculator. False when
// any step fails; *root is set as soon as the directory exists.
inline bool MakeCalculatorHome(const BuildDirs& dirs, const std::string& prefix, const std::string& qm,
                               const std::string& queue, std::string* root) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (!::mkdtemp(templ.data())) return false;
  *root = templ;
  ::setenv("KRSOAP_HOME", root->c_str(), 1);
  const std::string tool = dirs.bin + "/krsoap";
  if (RunQuiet(tool + " qm create " + qm) || RunQuiet(tool + " qm define " + qm + " " + queue)) return false;
  for (const char* module : {"libkrxml.so", "libhalvex.so", "libkrsoap.so", "libkrcalculator.so"}) {
    if (RunQuiet(tool + " register " + dirs.lib + "/" + module)) return false;
  }
  return true;
}

}  // namespace krsoap::test
