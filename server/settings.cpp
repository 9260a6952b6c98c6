// The server's tuning values from the registry (see settings.h).
#include "server/settings.h"

#include "platform/registry/registry.h"

namespace krsoap::halvex {
namespace {

constexpr DWORD kYearSeconds = 365u * 86400u;

// The product's value unless the registry holds one in 1..limit.
DWORD Setting(const char16_t* name, DWORD product_value, DWORD limit) {
  DWORD value = 0;
  if (krsoap::platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kServerKey, name, &value) && value != 0 &&
      value <= limit)
    return value;
  return product_value;
}

}  // namespace

// The queue manager takes a signed wait interval.
DWORD RequestWaitMilliseconds() { return Setting(u"RequestWait", 60000, 0x7FFFFFFFu); }
DWORD WorkerIdleTimeoutSeconds() { return Setting(u"IdleTimeout", 180, kYearSeconds); }
DWORD WorkerReleaseLimitSeconds() { return Setting(u"ReleaseLimit", 180, kYearSeconds); }
DWORD FailureLinesPerInterval() { return Setting(u"FailureLines", 10, 1000000); }
DWORD FailureIntervalSeconds() { return Setting(u"FailureInterval", 60, kYearSeconds); }
DWORD MaxMessageBytes() { return Setting(u"MaxMessageLength", kDefaultMaxMessageBytes, 4u * 1024 * 1024); }
bool UnitOfWorkEnabled() { return Setting(u"UnitOfWork", 0, 0xFFFFFFFFu) != 0; }
DWORD BackoutThreshold() { return Setting(u"BackoutThreshold", 3, 1000000); }

}  // namespace krsoap::halvex
