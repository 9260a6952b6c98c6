// The server's tuning values. Each is a REG_DWORD value under
// HKLM\SOFTWARE\Orvane\KRSoap\Server; a value that is absent, of another
// type, 0 or above its limit gives the product's value. They are asked for
// where they are used and read again whenever the registry has changed since
// (settings.cpp), so a change reaches the next request, worker or release
// without a restart.
#pragma once

#include "platform/win32/types.h"

namespace krsoap::halvex {

inline constexpr const char16_t* kServerKey = u"SOFTWARE\\Orvane\\KRSoap\\Server";

// "RequestWait": how long the handler's get waits for a request, ms (60000).
DWORD RequestWaitMilliseconds();
// "IdleTimeout": seconds a worker waits without a request before it ends
// (180); read when a worker thread starts.
DWORD WorkerIdleTimeoutSeconds();
// "ReleaseLimit": seconds an ending monitor waits for the workers (180);
// read by each release.
DWORD WorkerReleaseLimitSeconds();
// "FailureLines" per "FailureInterval" seconds (10 per 60): how many failure
// lines the module writes to standard error before it suppresses the rest
// of the interval.
DWORD FailureLinesPerInterval();
DWORD FailureIntervalSeconds();
// "MaxMessageLength": the longest request the handler takes, in bytes (4096,
// at most 4 MiB, the queue's default maximum message length); the monitor's
// browse buffer is sized to it when it is set. Read for each get.
inline constexpr DWORD kDefaultMaxMessageBytes = 4096;
DWORD MaxMessageBytes();
// "UnitOfWork": nonzero takes each request under syncpoint and puts its
// reply in the same unit of work, committed once the reply is put (0: off).
bool UnitOfWorkEnabled();
// "BackoutThreshold": a request taken under syncpoint whose backout count
// has reached this many is moved to the backout queue instead of served (3).
DWORD BackoutThreshold();

}  // namespace krsoap::halvex
