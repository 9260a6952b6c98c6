// The server's tuning values from the registry (see settings.h).
#include "server/settings.h"

#include "platform/registry/registry.h"

namespace krsoap::halvex {
namespace {

constexpr DWORD kYearSeconds = 365u * 86400u;

DWORD Setting(const char16_t* name, DWORD product_value, DWORD limit) {
  DWORD result = product_value;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return result;
  DWORD type = 0, value = 0, size = sizeof value;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) == ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof value && value != 0 && value <= limit) {
    result = value;
  }
  RegCloseKey(key);
  return result;
}

}  // namespace

// The queue manager takes a signed wait interval.
DWORD RequestWaitMilliseconds() { return Setting(u"RequestWait", 60000, 0x7FFFFFFFu); }
DWORD WorkerIdleTimeoutSeconds() { return Setting(u"IdleTimeout", 180, kYearSeconds); }
DWORD WorkerReleaseLimitSeconds() { return Setting(u"ReleaseLimit", 180, kYearSeconds); }
DWORD FailureLinesPerInterval() { return Setting(u"FailureLines", 10, 1000000); }
DWORD FailureIntervalSeconds() { return Setting(u"FailureInterval", 60, kYearSeconds); }

}  // namespace krsoap::halvex
