// Locating and creating the data root (see data_root.h).
#include "platform/files/data_root.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

int EnsureDataRoot() {
  std::string root = DataRoot();
  // Create each missing component; only the last one is ours to restrict.
  for (size_t pos = 1; pos <= root.size(); ++pos) {
    if (pos != root.size() && root[pos] != '/') continue;
    std::string part = root.substr(0, pos);
    bool last = pos == root.size();
    if (::mkdir(part.c_str(), last ? 0700 : 0755) != 0 && errno != EEXIST) return errno;
  }
  struct stat st;
  if (::lstat(root.c_str(), &st) != 0) return errno;
  if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) return ENOTDIR;
  if ((st.st_mode & 0077) != 0 && st.st_uid == ::geteuid()) {
    if (::chmod(root.c_str(), 0700) != 0) return errno;
  }
  return 0;
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
