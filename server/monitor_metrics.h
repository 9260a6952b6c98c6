// IKRSoapMonitorMetrics: a monitor's counters for the process that holds it
// (krsoap serve), which turns them into metrics for operators. Like
// IKRSoapMonitorHost it is in-process only: not in the type library, no
// proxy; operators in other processes get the metrics from the host.
#pragma once

#include "platform/com/com.h"
#include "server/request_counters.h"

// {6F4C2E1B-95A3-4D0B-8C7E-2B91D4A07E63}
inline constexpr IID IID_IKRSoapMonitorMetrics = {0x6F4C2E1B, 0x95A3, 0x4D0B, {0x8C, 0x7E, 0x2B, 0x91, 0xD4, 0xA0, 0x7E, 0x63}};

struct KRSoapMonitorMetrics {
  // The monitor's requests since it was made (kept across Stop and Start):
  // every request a worker ran for it, those that failed, those answered
  // with a SOAP fault, those running now, and their durations (from the
  // worker taking the request to the end of its Execute, the reply put).
  krsoap::halvex::RequestCountersSnapshot requests;
  // The process's worker threads (shared by all its monitors), and those in
  // a call now.
  LONG workers = 0;
  LONG busy_workers = 0;
};

struct IKRSoapMonitorMetrics : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetMetrics(KRSoapMonitorMetrics* metrics) = 0;
};
template <>
struct KrIidOf<IKRSoapMonitorMetrics> {
  static constexpr const IID& value = IID_IKRSoapMonitorMetrics;
};
