// CKRSoapMonitor: the implementation of coclass KRSoapMonitor. A host makes
// one per request queue, gives it the service's WSDL and WSML files (Init)
// and starts it on a queue manager and queue (Start); its MonitorThread
// browses the queue and hands each request to the worker pool.
#pragma once

#include <string>

#include "halvex.h"
#include "platform/com/server.h"
#include "server/monitor_host.h"
#include "server/monitor_metrics.h"
#include "server/pool.h"

namespace krsoap::halvex {

class CKRSoapMonitor : public krsoap::com::ObjectRoot,
                       public krsoap::com::DispatchImpl<IKRSoapMonitor, &LIBID_HALVEXLib>,
                       public IKRSoapMonitorHost,
                       public IKRSoapMonitorMetrics {
 public:
  KR_BEGIN_INTERFACE_MAP(CKRSoapMonitor)
    KR_INTERFACE_ENTRY(IKRSoapMonitor)
    KR_INTERFACE_ENTRY2(IDispatch, IKRSoapMonitor)
    KR_INTERFACE_ENTRY(IKRSoapMonitorHost)
    KR_INTERFACE_ENTRY(IKRSoapMonitorMetrics)
  KR_END_INTERFACE_MAP()

  CKRSoapMonitor();
  ~CKRSoapMonitor();

  HRESULT Start(BSTR QueueMgr, BSTR Queue, BSTR ProgID, BSTR UserParam, LONG* rc) override;
  HRESULT Stop(LONG* rc) override;
  HRESULT Init(BSTR wsdlFile, BSTR wsmlFile, LONG* rc) override;
  HRESULT GetMonitorStatus(BSTR Filename, LONG* Threads, LONG* rc) override;
  HRESULT get_CanReuseObject(LONG* value) override;
  HRESULT put_CanReuseObject(LONG value) override;

  // IKRSoapMonitorHost
  HRESULT put_JournalName(BSTR name) override;
  HRESULT GetThreadState(LONG* state, LONG* reason, BSTR* cause) override;

  // IKRSoapMonitorMetrics
  HRESULT GetMetrics(KRSoapMonitorMetrics* metrics) override;

 private:
  LONG StopThread();

  MonitorControlBlock* control_ = nullptr;
  std::u16string wsdl_;
  std::u16string wsml_;
  std::u16string user_param_;
  LONG can_reuse_object_ = 0;
  std::string journal_name_;  // UTF-8; empty: the default name
  // Its requests since the monitor was made; every control block it starts
  // holds a reference, and each worker block one while it serves them.
  MonitorCounters* counters_ = nullptr;
};

}  // namespace krsoap::halvex
