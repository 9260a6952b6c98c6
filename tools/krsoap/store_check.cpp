// The check every krsoap command passes before it runs: the data root must be
// one nobody but this user (or root) can change, and the registry in it
// intact. Both are decided in the platform layer, where every registry call
// meets them; the tool only says so once, clearly, instead of letting each
// command misread the failures it would meet ("no such queue manager", an
// empty list, a module that would not register).
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/registry/registry_admin.h"

namespace krsoap::tool {

int CheckStoreBeforeCommand(const std::string& command) {
  // A module's version block is read from the module file alone.
  if (command == "version") return 0;
  std::string problem;
  if (platform::regadmin::CheckRegistryStore(&problem) == ERROR_SUCCESS) return 0;
  std::fprintf(stderr, "krsoap %s: %s; nothing was changed\n", command.c_str(), problem.c_str());
  return 1;
}

}  // namespace krsoap::tool
