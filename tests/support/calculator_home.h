// For standalone programs that drive the example Calculator behind a real
// host (the soak, the end-to-end benchmarks): where the build put the tool
// and the modules, a throwaway data root holding a queue manager, its
// request queue and the registered modules the host needs, and the two
// hosts ("krsoap serve" on a queue, "krsoap serve-http") as child
// processes. Header only, so that programs without the test framework can
// use it.
#pragma once

#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

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

// What a data root holds beyond the Calculator's needs.
struct HomeExtras {
  bool default_qm = false;            // the queue manager is the machine's default (krs:QUEUE@ addresses)
  std::vector<std::string> queues;    // further queues on it
  std::vector<std::string> modules;   // further modules of lib/ to register, e.g. "libcorvel.so"
  std::string store;                  // a postgresql:// connection string; empty: the embedded store
  bool attach = false;                // the store holds the queue manager and its queues already (another
                                      // data root made them): only this root's definition is created
};

// Makes a data root named PREFIX-XXXXXX under $TMPDIR (or /tmp), points
// KRSOAP_HOME at it, creates the queue manager `qm` with the queue `queue`
// (in the store `extras` names; attaching to it defines no queue),
// and registers the DOM, the toolkit, halvex and the Calculator, then what
// `extras` asks for. False when any step fails; *root is set as soon as the
// directory exists.
inline bool MakeCalculatorHome(const BuildDirs& dirs, const std::string& prefix, const std::string& qm,
                               const std::string& queue, std::string* root, const HomeExtras& extras = {}) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (!::mkdtemp(templ.data())) return false;
  *root = templ;
  ::setenv("KRSOAP_HOME", root->c_str(), 1);
  const std::string tool = dirs.bin + "/krsoap";
  const std::string store = extras.store.empty() ? "" : " --store '" + extras.store + "'";
  if (RunQuiet(tool + " qm create " + qm + store + (extras.default_qm ? " --default" : ""))) return false;
  std::vector<std::string> queues = {queue};
  queues.insert(queues.end(), extras.queues.begin(), extras.queues.end());
  for (const std::string& q : queues) {
    if (!extras.attach && RunQuiet(tool + " qm define " + qm + " " + q)) return false;
  }
  std::vector<std::string> modules = {"libkrxml.so", "libhalvex.so", "libkrsoap.so", "libkrcalculator.so"};
  modules.insert(modules.end(), extras.modules.begin(), extras.modules.end());
  for (const std::string& module : modules) {
    if (RunQuiet(tool + " register " + dirs.lib + "/" + module)) return false;
  }
  return true;
}

// Starts "krsoap serve --config `conf`", its error output in `root`/host.log.
// The host's pid, or -1.
inline pid_t StartHost(const BuildDirs& dirs, const std::string& root, const std::string& conf) {
  const std::string tool = dirs.bin + "/krsoap";
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    std::FILE* f = std::freopen((root + "/host.log").c_str(), "a", stderr);
    (void)f;
    ::execl(tool.c_str(), tool.c_str(), "serve", "--config", conf.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

// Starts "krsoap serve" with one monitor, "calculator", hosting the
// Calculator (`wsdl`, `wsml`) on `queue` of `qm` (empty: the default queue
// manager). Its configuration (host.conf), status file and error output
// (host.log) go into `root`. The host's pid, or -1.
inline pid_t StartCalculatorHost(const BuildDirs& dirs, const std::string& root, const std::string& qm,
                                 const std::string& queue, const std::string& wsdl, const std::string& wsml) {
  const std::string conf = root + "/host.conf";
  std::ofstream(conf) << "[monitor calculator]\nqueue_manager = " << qm << "\nqueue = " << queue
                      << "\nwsdl = " << wsdl << "\nwsml = " << wsml << "\ncan_reuse_object = 1\nstatus_file = " << root
                      << "/calc.status\n";
  return StartHost(dirs, root, conf);
}

// Starts "krsoap serve-http" for the Calculator (`wsdl`, `wsml`) on a free
// loopback port, its error output in `root`/http.log. Its pid (-1 when it
// could not be started) and in *port the port it listens on (0 when it
// never said).
inline pid_t StartCalculatorHttpHost(const BuildDirs& dirs, const std::string& root, const std::string& wsdl,
                                     const std::string& wsml, int* port) {
  *port = 0;
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const std::string tool = dirs.bin + "/krsoap";
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    std::FILE* f = std::freopen((root + "/http.log").c_str(), "a", stderr);
    (void)f;
    ::execl(tool.c_str(), tool.c_str(), "serve-http", "--wsdl", wsdl.c_str(), "--wsml", wsml.c_str(), "--listen",
            "127.0.0.1:0", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string line;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(fds[0]);
  const size_t colon = line.rfind(':');
  if (colon != std::string::npos) *port = std::atoi(line.c_str() + colon + 1);
  return pid;
}

}  // namespace krsoap::test
