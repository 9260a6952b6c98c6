// IKRSoapMonitorHost: what the process that made a KRSoapMonitor may ask of
// it besides IKRSoapMonitor, to run it as a service: the name its failure
// lines on standard error begin with, and what became of its thread. The
// type library's interfaces stay as designed; this one is in-process only
// (not in the type library, no proxy), so operators in other processes learn
// a monitor's state from the host that holds it (krsoap serve, krsoap status).
#pragma once

#include "platform/com/com.h"

// {A2C50BC2-639B-41E6-A581-D0E8E83F905E}
inline constexpr IID IID_IKRSoapMonitorHost = {0xA2C50BC2, 0x639B, 0x41E6, {0xA5, 0x81, 0xD0, 0xE8, 0xE8, 0x3F, 0x90, 0x5E}};

// GetThreadState's states.
enum : LONG {
  kMonitorIdle = 0,      // never started, or stopped by Stop
  kMonitorRunning = 1,   // the thread browses the request queue
  kMonitorEnded = 2,     // the thread ended by itself; reason and cause say why
  kMonitorStopping = 3,  // a Stop timed out and the thread is still ending
};

struct IKRSoapMonitorHost : public IUnknown {
  // The words the monitor's failure lines begin with ("krsoap serve: monitor
  // calc"); UTF-8 over 159 bytes is cut at a character. The thread and its
  // workers take them at the next Start, as they take CanReuseObject. Until
  // one is given: "halvex: queue QUEUE on QUEUE MANAGER".
  virtual HRESULT STDMETHODCALLTYPE put_JournalName(BSTR name) = 0;
  // The thread's state (above); for kMonitorEnded the queue manager's reason
  // code and the cause in words, otherwise 0 and an empty string. `cause`
  // may be null.
  virtual HRESULT STDMETHODCALLTYPE GetThreadState(LONG* state, LONG* reason, BSTR* cause) = 0;
};
template <>
struct KrIidOf<IKRSoapMonitorHost> {
  static constexpr const IID& value = IID_IKRSoapMonitorHost;
};
