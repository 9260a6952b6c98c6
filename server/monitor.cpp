// The queue monitor: CKRSoapMonitor's methods (Init, Start, Stop,
// GetMonitorStatus, CanReuseObject), its MonitorThread, and the process-wide
// global critical section that guards the worker list.
#include "server/monitor.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/queue/krqueue.h"
#include "common/trace/trace.h"
#include "server/journal.h"
#include "server/settings.h"
#include "server/sliced_get.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/sync/critical_section.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "platform/text/convert.h"
#include "platform/win32/handle.h"
#include "soaptoolkit.h"

namespace krsoap::halvex {
namespace {

using krsoap::trace::kTraceEntry;
using krsoap::trace::kTraceExit;

// Created when the module is loaded, deleted when it is unloaded.
krsoap::platform::CriticalSection g_critical_section;
// Back-outs of requests in this process so far (NoteRequestBackedOut).
std::atomic<uint32_t> g_backouts{0};


// Start's outcome for an argument wider than its control-block field: the
// queue manager's own code for a name that is too long.
constexpr LONG kArgumentTooLong = KRRC_NAME_TOO_LONG;
// Start on a monitor whose thread still runs.
constexpr LONG kAlreadyRunning = KRRC_OBJECT_IN_USE;
constexpr LONG kStopTimedOut = 12003;

using krsoap::trace::TraceEntry;
using krsoap::trace::TraceExit;

bool IsSignalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

std::u16string_view View(BSTR b) { return std::u16string_view(b ? b : u"", krsoap::platform::WideLength(b)); }

// Checks that `text` fits a narrow field of `field` bytes; traces when not.
bool FitsNarrow(const char* what, std::u16string_view text, size_t field) {
  std::string narrow = krsoap::platform::Utf16ToUtf8(text);
  if (narrow.size() < field) return true;
  LogText("Argument too long: %s is %d bytes, at most %d", what, static_cast<int>(narrow.size()),
          static_cast<int>(field - 1));
  return false;
}

// "queue manager TEST.QM" or "the default queue manager".
std::string QueueManagerText(const char* name) {
  return *name ? std::string("queue manager ") + name : std::string("the default queue manager");
}

// Connects to the monitor's queue manager and opens its request queue for
// browsing. On failure nothing stays open, the reason is returned and, when
// `cause` is given, what failed is put in words there.
KRLONG OpenForBrowse(const MonitorControlBlock* control, KRHCONN* hconn, KRHOBJ* hobj,
                     std::string* cause = nullptr) {
  KRLONG cc = 0;
  KRLONG reason = 0;
  *hconn = KRHC_UNUSABLE_HCONN;
  *hobj = KRHO_UNUSABLE_HOBJ;
  char text[kCauseField];
  KRCONN(control->QueueMgr, hconn, &cc, &reason);
  if (reason != 0) {
    LogText("Failed to connect to queue manager cc=%d rc=%d %s", cc, reason, control->QueueMgr);
    std::snprintf(text, sizeof text, "cannot connect to %s: reason %d (%s)",
                  QueueManagerText(control->QueueMgr).c_str(), static_cast<int>(reason), KRReasonText(reason));
    if (cause) *cause = text;
    return reason;
  }
  KROD od = KROD_DEFAULT;
  std::memcpy(od.ObjectName, control->Queue, sizeof od.ObjectName);  // zero-padded field
  KROPEN(*hconn, &od, KROO_BROWSE, hobj, &cc, &reason);
  if (reason != 0) {
    LogText("Failed to open queue cc=%d rc=%d %s", cc, reason, control->Queue);
    std::snprintf(text, sizeof text, "cannot open queue %s on %s for browsing: reason %d (%s)", control->Queue,
                  QueueManagerText(control->QueueMgr).c_str(), static_cast<int>(reason), KRReasonText(reason));
    if (cause) *cause = text;
    KRLONG cc2 = 0;
    KRLONG reason2 = 0;
    KRDISC(hconn, &cc2, &reason2);
    return reason;
  }
  return 0;
}

void CloseBrowse(KRHCONN* hconn, KRHOBJ* hobj) {
  KRLONG cc = 0;
  KRLONG reason = 0;
  if (*hobj != KRHO_UNUSABLE_HOBJ) KRCLOSE(*hconn, hobj, KRCO_NONE, &cc, &reason);
  if (*hconn != KRHC_UNUSABLE_HCONN) KRDISC(hconn, &cc, &reason);
  *hconn = KRHC_UNUSABLE_HCONN;
  *hobj = KRHO_UNUSABLE_HOBJ;
}

DWORD MonitorThread(void* param) {
  auto* control = static_cast<MonitorControlBlock*>(param);
  TraceEntry(u"MonitorThread");
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRHOBJ hobj = KRHO_UNUSABLE_HOBJ;
  KRLONG cc = 0;
  KRLONG reason = 0;
  // A queue that cannot be opened at start ends the thread (the monitor may
  // be started again); one lost later is opened again below.
  std::string cause;
  KRLONG end_reason = OpenForBrowse(control, &hconn, &hobj, &cause);
  if (end_reason == 0) {
    // 2048 bytes, unless "MaxMessageLength" is set: then a request up to
    // that length is seen in one browse instead of two.
    static constexpr KRLONG kDefaultBrowseBuffer = 2048;
    const DWORD max_message = MaxMessageBytes();
    const KRLONG kBrowseBuffer =
        max_message == kDefaultMaxMessageBytes ? kDefaultBrowseBuffer : static_cast<KRLONG>(max_message);
    std::vector<char> browse(static_cast<size_t>(kBrowseBuffer));
    char* buffer = browse.data();
    LONG status = 0;
    uint32_t backouts_seen = g_backouts.load(std::memory_order_acquire);
    bool from_first = false;  // the last browse waited in vain: see below
    while (status == 0) {
      if (WaitForSingleObject(control->StopEvent, 0) != WAIT_TIMEOUT) break;
      if (hobj == KRHO_UNUSABLE_HOBJ) {
        if (OpenForBrowse(control, &hconn, &hobj) != 0) {
          WaitForSingleObject(control->StopEvent, 5000);
          continue;
        }
        LogText("Request queue open again");
        JournalFailure(control->Journal, "queue %s open again; serving", control->Queue);
      }
      // The browsed data is never used; only the designed buffer is cleared.
      if (kBrowseBuffer == kDefaultBrowseBuffer) std::memset(buffer, 0, browse.size());
      KRMD md = KRMD_DEFAULT;
      KRGMO gmo = KRGMO_DEFAULT;
      gmo.Options = KRGMO_WAIT | KRGMO_BROWSE_NEXT;
      // A request may lie behind the cursor: one backed out in this process
      // (the count moved), or one that came back without this process
      // knowing, because a unit of work of another process (on this machine
      // or, over a shared store, on another one) backed out when that
      // process died. For the latter, a browse that waited a whole interval
      // for nothing new sets from_first. Either way, start again from the
      // first message, so such requests are served now (or within an
      // interval) instead of waiting for as many later requests as came
      // back, or for ever when their clients wait for them before putting more.
      const uint32_t backouts = g_backouts.load(std::memory_order_acquire);
      if (from_first || backouts != backouts_seen) {
        backouts_seen = backouts;
        from_first = false;
        gmo.Options = KRGMO_WAIT | KRGMO_BROWSE_FIRST;
      }
      gmo.WaitInterval = 5000;
      KRLONG length = 0;
      LogText("Browsing with wait");
      // In slices, so that Stop is answered within one instead of at the end
      // of the browse interval.
      GetInSlices(hconn, hobj, &md, &gmo, kBrowseBuffer, buffer, &length, &cc, &reason,
                  [&] { return IsSignalled(control->StopEvent); });
      if (reason == KRRC_TRUNCATED_MSG_FAILED && length > kBrowseBuffer) {
        // A request longer than the browse buffer leaves the browse cursor
        // where it was; browse it once more, whole, to move past it, so it
        // gets a worker like any other request instead of stalling the
        // loop on it.
        LogText("KRGET rc = %ld", static_cast<long>(reason));
        char* whole = new (std::nothrow) char[static_cast<size_t>(length)];
        if (whole) {
          KRMD md2 = KRMD_DEFAULT;
          KRGMO gmo2 = KRGMO_DEFAULT;
          gmo2.Options = KRGMO_BROWSE_NEXT;
          KRLONG length2 = 0;
          KRGET(hconn, hobj, &md2, &gmo2, length, whole, &length2, &cc, &reason);
          delete[] whole;
        }
      }
      if (reason != 0) {
        LogText("KRGET rc = %ld", static_cast<long>(reason));
        from_first = reason == KRRC_NO_MSG_AVAILABLE;
        if (reason != KRRC_NO_MSG_AVAILABLE) {
          // A browse that failed at once (queue deleted, queue manager
          // gone or deleted and made again) would fail again at once on
          // this handle for ever: let the handle go, pause for the browse
          // interval instead of spinning (still answering Stop at once),
          // then connect and open the queue afresh, so the monitor serves
          // again once the queue manager is back.
          LogText("Browse failed; closing the request queue, opening it again after the browse interval");
          JournalFailure(control->Journal,
                         "browse of queue %s on %s failed: reason %ld (%s); opening it again every 5 s",
                         control->Queue, QueueManagerText(control->QueueMgr).c_str(), static_cast<long>(reason),
                         KRReasonText(reason));
          CloseBrowse(&hconn, &hobj);
          WaitForSingleObject(control->StopEvent, 5000);
        }
        continue;
      }
      LogText("Message Found");
      COMThreadBlock* block = nullptr;
      status = AllocCOMThread(control, &block);
      LogText("AllocCOMThread rc = %ld", static_cast<long>(status));
    }
    CloseBrowse(&hconn, &hobj);
  } else {
    // Said at once, and whatever the failure lines' limit: the monitor no
    // longer serves. GetThreadState reports the same cause.
    krsoap::platform::CopyToNarrowField(cause, control->EndCause, sizeof control->EndCause);
    control->EndReason.store(end_reason, std::memory_order_release);
    JournalAlways(control->Journal, "stopped serving: %s", cause.c_str());
  }
  ReleaseCOMThreads();
  // The design's order. Safe after StoppedEvent, when Stop may return and
  // the monitor go: this thread keeps its own reference to the block and a
  // module lock, CoUninitialize touches only this thread's apartment count,
  // and the trace state outlives every object of the module.
  SetEvent(control->StoppedEvent);
  CoUninitialize();
  TraceExit(u"MonitorThread", 0);
  // The thread's reference: the block is freed by whichever of the monitor
  // and this thread lets go last.
  ReleaseControlBlock(control);
  UnlockModuleForThread();
  return 0;
}

}  // namespace

void NoteRequestBackedOut() { g_backouts.fetch_add(1, std::memory_order_acq_rel); }

void EnterGCriticalSection() {
  TraceEntry(u"EnterGCriticalSection");
  g_critical_section.Enter();
  TraceExit(u"EnterGCriticalSection", 0);
}

void LeaveGCriticalSection() {
  TraceEntry(u"LeaveGCriticalSection");
  g_critical_section.Leave();
  TraceExit(u"LeaveGCriticalSection", 0);
}

MonitorControlBlock* NewControlBlock() {
  auto* block = new (std::nothrow) MonitorControlBlock();
  if (block) block->refs.store(1, std::memory_order_relaxed);
  return block;
}

void ReleaseControlBlock(MonitorControlBlock* block) {
  if (!block) return;
  if (block->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (block->StopEvent) CloseHandle(block->StopEvent);
  if (block->StoppedEvent) CloseHandle(block->StoppedEvent);
  if (block->Counters) block->Counters->Release();
  delete block;
}

void LockModuleForThread() { krsoap::com::ThisModule().Lock(); }
void UnlockModuleForThread() { krsoap::com::ThisModule().Unlock(); }

CKRSoapMonitor::CKRSoapMonitor() : counters_(MonitorCounters::New()) {}

CKRSoapMonitor::~CKRSoapMonitor() {
  TraceEntry(u"~CKRSoapMonitor");
  if (control_) {
    LONG rc = 0;
    Stop(&rc);
    // A thread that did not stop in time keeps its own reference and frees
    // the block when it ends.
    ReleaseControlBlock(control_);
    control_ = nullptr;
  }
  counters_->Release();
  TraceExit(u"~CKRSoapMonitor", 0);
}

HRESULT CKRSoapMonitor::Init(BSTR wsdlFile, BSTR wsmlFile, LONG* rc) {
  TraceEntry(u"Init");
  wsdl_.assign(View(wsdlFile));
  wsml_.assign(View(wsmlFile));
  LogText("WSDL: %S WSML: %S", wsdl_.c_str(), wsml_.c_str());
  IWSDLReader* reader = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WSDLReader, nullptr, CLSCTX_ALL, IID_IWSDLReader,
                                reinterpret_cast<void**>(&reader));
  if (FAILED(hr)) {
    LogText("Failed to create WSDLReader, hr = %x", static_cast<unsigned>(hr));
  } else {
    hr = reader->Load(wsdlFile, wsmlFile);
    if (FAILED(hr)) LogText("Failed to Load WSDL or WSML file, hr = %x", static_cast<unsigned>(hr));
    reader->Release();
  }
  if (rc) *rc = 0;
  TraceExit(u"Init", 0);  // rc is always 0; the check's outcome is the HRESULT
  return hr;
}

HRESULT CKRSoapMonitor::Start(BSTR QueueMgr, BSTR Queue, BSTR ProgID, BSTR UserParam, LONG* rc) {
  TraceEntry(u"SoapMonitor::Start");
  LONG result = 0;
  user_param_.assign(View(UserParam));
  std::u16string_view progid = View(ProgID);

  if (control_ && !IsSignalled(control_->StoppedEvent)) {
    LogText("Monitor thread still running, Stop it before starting again");
    result = kAlreadyRunning;
  } else if (!FitsNarrow("queue manager name", View(QueueMgr), kNameField) ||
             !FitsNarrow("queue name", View(Queue), kNameField) || !FitsNarrow("WSDL path", wsdl_, kPathField) ||
             !FitsNarrow("WSML path", wsml_, kPathField) || !FitsNarrow("user parameter", user_param_, kPathField)) {
    result = kArgumentTooLong;
  } else if (progid.size() >= kProgIdField) {
    LogText("Argument too long: ProgID is %d characters, at most %d", static_cast<int>(progid.size()),
            static_cast<int>(kProgIdField - 1));
    result = kArgumentTooLong;
  }
  if (result != 0) {
    if (rc) *rc = result;
    TraceExit(u"SoapMonitor::Start", result);
    return S_OK;
  }

  std::string qm_name = krsoap::platform::Utf16ToUtf8(View(QueueMgr));
  KRHCONN hconn = KRHC_UNUSABLE_HCONN;
  KRLONG cc = 0;
  KRLONG reason = 0;
  KRCONN(qm_name.c_str(), &hconn, &cc, &reason);
  result = reason;
  if (reason != 0) {
    LogText("Could not connect to queue manager, rc %d cc %d", reason, cc);
    if (rc) *rc = result;
    TraceExit(u"SoapMonitor::Start", result);
    return S_OK;
  }
  KRDISC(&hconn, &cc, &reason);

  MonitorControlBlock* block = NewControlBlock();
  if (block) {
    block->StoppedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    block->StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  if (!block || !block->StoppedEvent || !block->StopEvent) {
    LogText("Could not allocate the control block");
    ReleaseControlBlock(block);
    result = KRRC_RESOURCE_PROBLEM;
    if (rc) *rc = result;
    TraceExit(u"SoapMonitor::Start", result);
    return S_OK;
  }
  // The earlier block's thread has ended (checked above): let it go.
  ReleaseControlBlock(control_);
  control_ = block;
  using krsoap::platform::CopyToNarrowField;
  using krsoap::platform::WideToNarrowField;
  CopyToNarrowField(qm_name, block->QueueMgr, sizeof block->QueueMgr);
  WideToNarrowField(View(Queue), block->Queue, sizeof block->Queue);
  WideToNarrowField(wsdl_, block->WSDL, sizeof block->WSDL);
  WideToNarrowField(wsml_, block->WSML, sizeof block->WSML);
  WideToNarrowField(user_param_, block->UserParam, sizeof block->UserParam);
  krsoap::platform::CopyToWideField(progid, block->ProgID, kProgIdField);
  block->CanReuseObject = can_reuse_object_;
  counters_->AddRef();
  block->Counters = counters_;
  std::string journal = journal_name_;
  if (journal.empty()) {
    journal = std::string("halvex: queue ") + block->Queue + " on " + QueueManagerText(block->QueueMgr);
  }
  CopyToNarrowField(journal, block->Journal, sizeof block->Journal);

  block->refs.fetch_add(1, std::memory_order_relaxed);  // the thread's reference
  LockModuleForThread();
  if (!krsoap::platform::StartDetachedThread(&MonitorThread, block)) {
    UnlockModuleForThread();
    block->refs.fetch_sub(1, std::memory_order_relaxed);
    LogText("Could not start the monitor thread");
    SetEvent(block->StoppedEvent);
    result = KRRC_RESOURCE_PROBLEM;
  }
  if (rc) *rc = result;
  TraceExit(u"SoapMonitor::Start", result);
  return S_OK;
}

LONG CKRSoapMonitor::StopThread() {
  if (!control_) return 0;
  if (IsSignalled(control_->StoppedEvent)) {
    LogText("Monitor thread already stopped");
    return 0;
  }
  SetEvent(control_->StopEvent);
  LogText("Waiting for Monitor thread to stop");
  DWORD wait = WaitForSingleObject(control_->StoppedEvent, 60000);
  if (wait != WAIT_OBJECT_0) {
    LogText("Wait failed rc %ld, cannot free controlblock", static_cast<long>(wait));
    return kStopTimedOut;
  }
  LogText("Monitor thread stopped OK");
  ReleaseControlBlock(control_);
  control_ = nullptr;
  return 0;
}

HRESULT CKRSoapMonitor::Stop(LONG* rc) {
  TraceEntry(u"SoapMonitor::Stop");
  LONG result = StopThread();
  if (rc) *rc = result;
  TraceExit(u"SoapMonitor::Stop", result);
  return S_OK;
}

HRESULT CKRSoapMonitor::GetMonitorStatus(BSTR Filename, LONG* Threads, LONG* rc) {
  TraceEntry(u"GetMonitorStatus");
  EnterGCriticalSection();
  LONG threads = 0;
  LONG result = WriteMonitorStatus(Filename, &threads);
  LeaveGCriticalSection();
  if (Threads) *Threads = threads;
  if (rc) *rc = result;
  TraceExit(u"GetMonitorStatus", 0);
  return S_OK;
}

HRESULT CKRSoapMonitor::get_CanReuseObject(LONG* value) {
  if (!value) return E_POINTER;
  *value = can_reuse_object_;
  return S_OK;
}

HRESULT CKRSoapMonitor::put_CanReuseObject(LONG value) {
  can_reuse_object_ = value;
  return S_OK;
}

HRESULT CKRSoapMonitor::put_JournalName(BSTR name) {
  journal_name_ = krsoap::platform::Utf16ToUtf8(View(name));
  return S_OK;
}

HRESULT CKRSoapMonitor::GetThreadState(LONG* state, LONG* reason, BSTR* cause) {
  if (!state || !reason) return E_POINTER;
  *state = kMonitorIdle;
  *reason = 0;
  std::string text;
  // A thread that has its cause is ended, even while it still waits for the
  // workers; one that ended without a cause was asked to (a Stop that timed
  // out), and counts as stopped.
  LONG ended = control_ ? control_->EndReason.load(std::memory_order_acquire) : 0;
  if (ended != 0) {
    *state = kMonitorEnded;
    *reason = ended;
    text = control_->EndCause;
  } else if (control_ && !IsSignalled(control_->StoppedEvent)) {
    *state = IsSignalled(control_->StopEvent) ? kMonitorStopping : kMonitorRunning;
  }
  if (cause) {
    *cause = krsoap::com::AllocBstrFromUtf8(text);
    if (!*cause) return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CKRSoapMonitor::GetMetrics(KRSoapMonitorMetrics* metrics) {
  if (!metrics) return E_POINTER;
  metrics->requests = counters_->Snapshot();
  CountWorkers(&metrics->workers, &metrics->busy_workers);
  return S_OK;
}

}  // namespace krsoap::halvex
