// A throwaway data root for one test: creates a fresh directory, points
// KRSOAP_HOME at it, and removes it (and restores the old value) afterwards.
#pragma once

#include <string>

namespace krsoap::test {

class ScopedHome {
 public:
  ScopedHome();
  ~ScopedHome();
  ScopedHome(const ScopedHome&) = delete;
  ScopedHome& operator=(const ScopedHome&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string saved_;
  bool had_saved_ = false;
};

// Removes a directory tree (best effort; used for cleanup).
void RemoveTree(const std::string& path);

// The build's directories, for tests that run the tool or load modules.
std::string BinDir();  // build/bin
std::string LibDir();  // build/lib

}  // namespace krsoap::test
