// Locating and creating the data root (see data_root.h).
#include "platform/files/data_root.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace krsoap::platform {

namespace {
std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : std::string();
}

void StripTrailingSlashes(std::string& p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
}
}  // namespace

std::string DataRoot() {
  std::string root = Env("KRSOAP_HOME");
  if (root.empty()) {
    std::string xdg = Env("XDG_DATA_HOME");
    if (!xdg.empty()) {
      root = xdg + "/krsoap";
    } else {
      std::string home = Env("HOME");
      root = (home.empty() ? std::string("/tmp") : home) + "/.local/share/krsoap";
    }
  }
  StripTrailingSlashes(root);
  return root;
}

int MakePrivateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) return 0;
  if (errno != EEXIST) return errno;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;  // a symbolic link or a file: refuse
  return 0;
}

int EnsureDataRoot(std::string* problem) {
  std::string root = DataRoot();
  std::string why;
  // Nothing is created below a directory someone else could change, and what
  // was there already (or appeared meanwhile) is judged again afterwards.
  int trust = CheckDirectoryTrust(root, &why);
  // Create each missing component; only the last one is ours to restrict.
  for (size_t pos = 1; trust == 0 && pos <= root.size(); ++pos) {
    if (pos != root.size() && root[pos] != '/') continue;
    std::string part = root.substr(0, pos);
    bool last = pos == root.size();
    if (::mkdir(part.c_str(), last ? 0700 : 0755) != 0 && errno != EEXIST) return errno;
  }
  if (trust == 0) {
    struct stat st;
    if (::lstat(root.c_str(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) return ENOTDIR;
    trust = CheckDirectoryTrust(root, &why);
    if (trust == 0 && (st.st_mode & 0077) != 0 && st.st_uid == ::geteuid()) {
      if (::chmod(root.c_str(), 0700) != 0) return errno;
    }
  }
  if (trust != 0 && problem) *problem = why;
  return trust;
}

namespace {

std::string ModeText(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

std::string OwnerText(uid_t uid) {
  std::string text = "uid " + std::to_string(uid);
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[1024];
  if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found) text += " (" + std::string(found->pw_name) + ")";
  return text;
}

// Judges one existing directory (or link) on the way. `is_root` is true for
// the data root itself, which nobody but its owner may write to, sticky or
// not: what others may create in it is what the product would read.
int JudgeEntry(const std::string& path, const struct stat& st, bool is_root, std::string* problem) {
  const uid_t me = ::geteuid();
  if (st.st_uid != me && st.st_uid != 0) {
    *problem = path + " is owned by " + OwnerText(st.st_uid) + ", not by " +
               (me == 0 ? std::string("root") : "this user (" + OwnerText(me) + ") or root");
    return EPERM;
  }
  if (S_ISLNK(st.st_mode)) return 0;  // its own mode means nothing; where it leads is judged too
  if (!S_ISDIR(st.st_mode)) {
    *problem = path + " is not a directory";
    return EPERM;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return 0;
  if (!is_root && st.st_uid == 0 && (st.st_mode & S_ISVTX)) return 0;
  *problem = path + " is writable by " + ((st.st_mode & S_IWOTH) ? "others" : "its group") + " (mode " +
             ModeText(st.st_mode) + ")";
  return EPERM;
}

std::string Parent(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// Walks from `path` up to "/". Components that do not exist are passed over
// (only below the first one that does). Reports the deepest existing one.
int WalkUp(const std::string& path, bool first_is_root, std::string* deepest, std::string* problem) {
  std::string p = path;
  bool root_pending = first_is_root;
  bool found = false;
  for (;;) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) {
      if (errno != ENOENT || found) {
        *problem = "cannot examine " + p + ": " + std::strerror(errno);
        return EACCES;
      }
      root_pending = false;  // the data root does not exist yet
    } else {
      if (!found && deepest) *deepest = p;
      found = true;
      if (int e = JudgeEntry(p, st, root_pending, problem)) return e;
      root_pending = false;
    }
    if (p == "/") return 0;
    p = Parent(p);
  }
}

}  // namespace

int CheckDirectoryTrust(const std::string& dir, std::string* problem) {
  std::string path = dir;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) {
      *problem = std::string("cannot find the current directory: ") + std::strerror(errno);
      return EACCES;
    }
    path = std::string(cwd) + (path.empty() ? "" : "/" + path);
  }
  StripTrailingSlashes(path);
  // The path as written: every directory and link on it.
  std::string deepest;
  if (int e = WalkUp(path, true, &deepest, problem)) return e;
  // And where it leads, when links are on the way.
  char real[PATH_MAX];
  if (deepest.empty() || !::realpath(deepest.c_str(), real)) return 0;
  if (deepest == real) return 0;
  return WalkUp(real, deepest == path, nullptr, problem);
}

std::string MapWindowsPath(const std::string& path) {
  std::string rest = path;
  std::string out;
  if (rest.size() >= 3 && (rest[0] == 'C' || rest[0] == 'c') && rest[1] == ':' &&
      (rest[2] == '\\' || rest[2] == '/')) {
    out = DataRoot() + "/";
    rest = rest.substr(3);
  }
  for (char c : rest) out.push_back(c == '\\' ? '/' : c);
  return out;
}

}  // namespace krsoap::platform
