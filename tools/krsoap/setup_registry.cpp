// Setup step: the registry values a fresh installation needs, and the
// directory the trace files go to.
//
// WorkPath always names the current data root; soapTrace is created (off)
// only when missing, so an operator's setting survives a re-run of setup.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/files/data_root.h"
#include "platform/registry/reg_text.h"
#include "platform/registry/registry.h"
#include "tools/krsoap/command.h"

namespace krsoap::tool {
namespace {

int SetupRegistry() {
  const std::string root = platform::DataRoot();
  const std::string errors = root + "/Errors";
  if (::mkdir(errors.c_str(), 0700) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "krsoap setup: cannot create %s: %s\n", errors.c_str(), std::strerror(errno));
    return 1;
  }
  struct stat st;
  if (::lstat(errors.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "krsoap setup: %s is not a directory\n", errors.c_str());
    return 1;
  }

  HKEY key = nullptr;
  LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\Korrin\\CurrentVersion", 0, nullptr, 0,
                           KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (r) {
    std::fprintf(stderr, "krsoap setup: cannot create the WorkPath key (error %d)\n", r);
    return 1;
  }
  std::string path = platform::regtext::Utf8ToUtf16Bytes(root);
  path.append(2, '\0');
  r = RegSetValueExW(key, u"WorkPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.data()),
                     static_cast<DWORD>(path.size()));
  RegCloseKey(key);
  if (r) {
    std::fprintf(stderr, "krsoap setup: cannot set WorkPath (error %d)\n", r);
    return 1;
  }

  r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr);
  if (r) {
    std::fprintf(stderr, "krsoap setup: cannot create the soapTrace key (error %d)\n", r);
    return 1;
  }
  r = RegQueryValueExW(key, u"soapTrace", nullptr, nullptr, nullptr, nullptr);
  if (r == ERROR_FILE_NOT_FOUND) {
    const DWORD off = 0;
    r = RegSetValueExW(key, u"soapTrace", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), sizeof off);
  }
  RegCloseKey(key);
  if (r) {
    std::fprintf(stderr, "krsoap setup: cannot set soapTrace (error %d)\n", r);
    return 1;
  }
  return 0;
}

}  // namespace

KRSOAP_SETUP_STEP(SetupStep{10, "registry: WorkPath, soapTrace and the Errors directory", SetupRegistry});

}  // namespace krsoap::tool
