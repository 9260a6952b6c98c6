// The server's tuning values from the registry (see settings.h). Each thread
// keeps the values it last read with the registry's version at the time, and
// reads them all again (the key opened once) only when the version has
// moved: a request then costs a version check instead of a key open and a
// value query per setting, and a change still reaches the next use.
#include "server/settings.h"

#include "platform/registry/registry.h"

namespace krsoap::halvex {
namespace {

constexpr DWORD kYearSeconds = 365u * 86400u;

// The settings, in the order of kSettings.
enum Id { kRequestWait, kIdleTimeout, kReleaseLimit, kFailureLines, kFailureInterval, kMaxMessageLength,
          kUnitOfWork, kBackoutThreshold, kCount };

struct Setting {
  const char16_t* name;
  DWORD product_value;
  DWORD limit;
};
constexpr Setting kSettings[kCount] = {
    {u"RequestWait", 60000, 0x7FFFFFFFu},  // the queue manager takes a signed wait interval
    {u"IdleTimeout", 180, kYearSeconds},
    {u"ReleaseLimit", 180, kYearSeconds},
    {u"FailureLines", 10, 1000000},
    {u"FailureInterval", 60, kYearSeconds},
    {u"MaxMessageLength", kDefaultMaxMessageBytes, 4u * 1024 * 1024},
    {u"UnitOfWork", 0, 0xFFFFFFFFu},
    {u"BackoutThreshold", 3, 1000000},
};

// Trivially destructible: the module may be unloaded while threads live on.
struct Snapshot {
  bool valid;
  krsoap::platform::RegistryVersion version;
  DWORD values[kCount];
};
thread_local Snapshot t_snapshot{};

// Every setting, the key opened once: each the product's value unless the
// registry holds one in 1..limit.
void ReadAll(DWORD* values) {
  HKEY key = nullptr;
  const bool open = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServerKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
  for (int i = 0; i < kCount; ++i) {
    const Setting& s = kSettings[i];
    DWORD type = 0, data = 0, size = sizeof data;
    const bool found = open &&
                       RegQueryValueExW(key, s.name, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size) ==
                           ERROR_SUCCESS &&
                       type == REG_DWORD && size == sizeof data;
    values[i] = found && data != 0 && data <= s.limit ? data : s.product_value;
  }
  if (open) RegCloseKey(key);
}

DWORD Value(Id id) {
  Snapshot& snap = t_snapshot;
  krsoap::platform::RegistryVersion before;
  if (!krsoap::platform::CurrentRegistryVersion(&before)) {
    // Nothing may be kept now: read afresh.
    snap.valid = false;
    DWORD values[kCount];
    ReadAll(values);
    return values[id];
  }
  if (!snap.valid || !(snap.version == before)) {
    ReadAll(snap.values);
    // Kept only when no write came in between.
    krsoap::platform::RegistryVersion after;
    snap.valid = krsoap::platform::CurrentRegistryVersion(&after) && after == before;
    snap.version = before;
  }
  return snap.values[id];
}

}  // namespace

DWORD RequestWaitMilliseconds() { return Value(kRequestWait); }
DWORD WorkerIdleTimeoutSeconds() { return Value(kIdleTimeout); }
DWORD WorkerReleaseLimitSeconds() { return Value(kReleaseLimit); }
DWORD FailureLinesPerInterval() { return Value(kFailureLines); }
DWORD FailureIntervalSeconds() { return Value(kFailureInterval); }
DWORD MaxMessageBytes() { return Value(kMaxMessageLength); }
bool UnitOfWorkEnabled() { return Value(kUnitOfWork) != 0; }
DWORD BackoutThreshold() { return Value(kBackoutThreshold); }

}  // namespace krsoap::halvex
