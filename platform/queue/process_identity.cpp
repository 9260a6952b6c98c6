// Process identity and liveness from /proc (see process_identity.h).
#include "platform/queue/process_identity.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace krsoap::queue {
namespace {

// Reads /proc/<pid>/stat; returns false when the process does not exist.
// Fills the state letter and the start time (field 22).
bool ReadStat(int32_t pid, char* state, uint64_t* start_time) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[1024];
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return false;
  buf[n] = 0;
  // The command name (field 2) may hold blanks and parentheses: fields after
  // it start after the last ')'.
  char* p = std::strrchr(buf, ')');
  if (!p || p[1] != ' ') return false;
  p += 2;
  *state = *p;
  // Field 3 is the state; the start time is field 22, 19 fields further.
  int field = 3;
  while (*p && field < 22) {
    if (*p == ' ') ++field;
    ++p;
  }
  if (field != 22) return false;
  *start_time = std::strtoull(p, nullptr, 10);
  return true;
}

std::atomic<int32_t> g_current_pid{0};
std::atomic<int32_t> g_self_pid{0};

void ForgetPidInChild() { g_current_pid.store(0, std::memory_order_relaxed); }
std::atomic<uint64_t> g_self_start{0};

}  // namespace

int32_t CurrentPid() {
  int32_t pid = g_current_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    static std::once_flag registered;
    std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, &ForgetPidInChild); });
    pid = static_cast<int32_t>(::getpid());
    g_current_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

ProcessIdentity SelfIdentity() {
  int32_t pid = CurrentPid();
  if (g_self_pid.load(std::memory_order_acquire) != pid) {
    char state = 0;
    uint64_t start = 0;
    ReadStat(pid, &state, &start);
    g_self_start.store(start, std::memory_order_relaxed);
    g_self_pid.store(pid, std::memory_order_release);
  }
  return ProcessIdentity{pid, g_self_start.load(std::memory_order_relaxed)};
}

bool IsAlive(const ProcessIdentity& who) {
  if (who.pid <= 0) return false;
  char state = 0;
  uint64_t start = 0;
  if (!ReadStat(who.pid, &state, &start)) {
    // No /proc entry: gone, unless /proc hides it from us.
    return ::kill(who.pid, 0) == 0 || errno == EPERM;
  }
  if (state == 'Z' || state == 'X') return false;
  if (who.start_time != 0 && start != who.start_time) return false;  // pid reused
  return true;
}

std::string BootId() {
  int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "unknown-boot";
  char buf[64] = {};
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  std::string id(buf, n > 0 ? static_cast<size_t>(n) : 0);
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id.empty() ? "unknown-boot" : id;
}

}  // namespace krsoap::queue
