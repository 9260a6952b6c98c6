// Throwaway data roots for tests (see test_home.h).
#include "tests/support/test_home.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace krsoap::test {

ScopedHome::ScopedHome() {
  if (const char* old = std::getenv("KRSOAP_HOME")) {
    saved_ = old;
    had_saved_ = true;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/krsoap-test-XXXXXX";
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
  ::setenv("KRSOAP_HOME", path_.c_str(), 1);
}

ScopedHome::~ScopedHome() {
  if (had_saved_) {
    ::setenv("KRSOAP_HOME", saved_.c_str(), 1);
  } else {
    ::unsetenv("KRSOAP_HOME");
  }
  RemoveTree(path_);
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string BinDir() { return KRSOAP_TEST_BIN_DIR; }
std::string LibDir() { return KRSOAP_TEST_LIB_DIR; }

}  // namespace krsoap::test
