// The worker thread pool: the process-wide worker list, AllocCOMThread (hand
// a request to an idle or new worker), COMWorkerThread (create the trigger
// object and call Execute for each request), ReleaseCOMThreads (stop and reap
// the workers) and the status file.
//
// Lock order: global critical section -> a block's gate -> the trace lock.
// Workers never take the global critical section.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "common/trace/trace.h"
#include "halvex.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/sync/critical_section.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "platform/text/convert.h"
#include "platform/win32/handle.h"
#include "server/journal.h"
#include "server/pool.h"
#include "server/settings.h"

// After the COM headers: glibc's <fcntl.h> defines LOCK_WRITE as a macro.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krsoap::halvex {
namespace {

using krsoap::trace::kTraceEntry;
using krsoap::trace::kTraceExit;

// The list head; touched only under the global critical section.
COMThreadBlock* g_thread_list = nullptr;

// The stop event of the block this thread works for (null on other threads),
// and whether the handler's get in the current call was cut short by it.
// Plain values: a thread_local with a destructor is unsafe in a module.
thread_local HANDLE t_stop_event = nullptr;
thread_local bool t_get_cut_by_stop = false;

using krsoap::trace::TraceEntry;
using krsoap::trace::TraceExit;

bool IsSignalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

int64_t WallSeconds() { return static_cast<int64_t>(std::time(nullptr)); }
int64_t TickSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// "%H:%M:%S" in local time.
std::string ClockText(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  localtime_r(&t, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

void CopyRequest(const MonitorControlBlock& from, COMThreadBlock* to) {
  std::memcpy(to->QueueMgr, from.QueueMgr, sizeof to->QueueMgr);
  std::memcpy(to->Queue, from.Queue, sizeof to->Queue);
  std::memcpy(to->WSDL, from.WSDL, sizeof to->WSDL);
  std::memcpy(to->WSML, from.WSML, sizeof to->WSML);
  std::memcpy(to->UserParam, from.UserParam, sizeof to->UserParam);
  std::memcpy(to->ProgID, from.ProgID, sizeof to->ProgID);
  to->CanReuseObject = from.CanReuseObject;
  std::memcpy(to->Journal, from.Journal, sizeof to->Journal);
  if (to->Counters != from.Counters) {
    if (from.Counters) from.Counters->AddRef();
    if (to->Counters) to->Counters->Release();
    to->Counters = from.Counters;
  }
}

void FreeBlock(COMThreadBlock* block) {
  // The worker sets IdleEvent inside the gate and touches nothing after
  // leaving it: taking the gate once makes sure it has let go.
  { std::lock_guard<std::mutex> settle(block->gate); }
  CloseHandle(block->StopEvent);
  CloseHandle(block->IdleEvent);
  CloseHandle(block->WorkEvent);
  if (block->Counters) block->Counters->Release();
  delete block;
}

DWORD COMWorkerThread(void* param);

// The trigger class of a worker: the CLSID and the ProgID it was resolved
// from. An empty ProgID is the built-in invoker, without a lookup.
struct TriggerClass {
  CLSID clsid = CLSID_KRSoapInvoker;
  std::u16string progid;
  bool resolved = false;

  // Resolves the request's ProgID unless it is the one resolved last; false
  // (traced) when it names no class.
  bool Resolve(const COMThreadBlock& request) {
    std::u16string_view wanted(request.ProgID);
    if (resolved && wanted == progid) return true;
    resolved = false;
    progid.assign(wanted);
    clsid = CLSID_KRSoapInvoker;
    if (progid.empty()) return resolved = true;
    HRESULT hr = CLSIDFromString(progid.c_str(), &clsid);
    if (FAILED(hr)) {
      std::string name = krsoap::platform::Utf16ToUtf8(progid);
      LogText("Failed to resolve ProgID of com object %s, hr = %x", name.c_str(), static_cast<unsigned>(hr));
      JournalFailure(request.Journal,
                     "ProgID %s names no registered class (%s); the request stays on the queue and the worker "
                     "ends", name.c_str(), krsoap::com::HResultText(hr).c_str());
      return false;
    }
    return resolved = true;
  }
};

// The request settings a trigger object was made with (a trigger object
// keeps what its first request gave it: the invoker its SoapServer, loaded
// from that WSDL and WSML).
struct TriggerSettings {
  char16_t ProgID[kProgIdField];
  char WSDL[kPathField];
  char WSML[kPathField];
  char UserParam[kPathField];

  void Take(const COMThreadBlock& request) {
    std::memcpy(ProgID, request.ProgID, sizeof ProgID);
    std::memcpy(WSDL, request.WSDL, sizeof WSDL);
    std::memcpy(WSML, request.WSML, sizeof WSML);
    std::memcpy(UserParam, request.UserParam, sizeof UserParam);
  }
  bool Matches(const COMThreadBlock& request) const {
    return std::u16string_view(ProgID) == std::u16string_view(request.ProgID) &&
           std::strncmp(WSDL, request.WSDL, sizeof WSDL) == 0 && std::strncmp(WSML, request.WSML, sizeof WSML) == 0 &&
           std::strncmp(UserParam, request.UserParam, sizeof UserParam) == 0;
  }
};

}  // namespace

bool StopCutsWait() {
  if (t_stop_event == nullptr || !IsSignalled(t_stop_event)) return false;
  t_get_cut_by_stop = true;
  return true;
}

LONG AllocCOMThread(MonitorControlBlock* control, COMThreadBlock** out) {
  TraceEntry(u"AllocCOMThread");
  EnterGCriticalSection();
  *out = nullptr;
  COMThreadBlock* block = nullptr;
  COMThreadBlock* last = nullptr;
  for (COMThreadBlock* b = g_thread_list; b; b = b->next) {
    if (b->InCall.load(std::memory_order_acquire) != 1) {
      block = b;
      break;
    }
    last = b;
  }
  if (block) {
    LogText("Re-using existing block");
  } else {
    LogText("Creating new thread and block");
    block = new (std::nothrow) COMThreadBlock();
    if (block) {
      block->StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      block->IdleEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
      block->WorkEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
      if (!block->StopEvent || !block->IdleEvent || !block->WorkEvent) {
        if (block->StopEvent) CloseHandle(block->StopEvent);
        if (block->IdleEvent) CloseHandle(block->IdleEvent);
        if (block->WorkEvent) CloseHandle(block->WorkEvent);
        delete block;
        block = nullptr;
      }
    }
    if (!block) {
      LogText("Could not allocate a worker block");
    } else if (!g_thread_list) {
      // Linked before its thread is started, as the design orders it; no
      // one else walks the list before the global critical section is left.
      g_thread_list = block;
      LogText("New block is new list head");
    } else {
      last->next = block;
    }
  }
  if (block) {
    std::lock_guard<std::mutex> gate(block->gate);
    block->InCall.store(1, std::memory_order_release);
    CopyRequest(*control, block);
    // The request is signalled before any thread is started: a new thread
    // that took the request and reset WorkEvent must not see it set again
    // afterwards (which would run one request twice).
    SetEvent(block->WorkEvent);
    if (IsSignalled(block->IdleEvent)) {
      // Mark the block as having a live, unstopped thread before the thread
      // exists, so that nobody takes it for idle (and frees it) or finds it
      // stopped in the moment before the thread's first steps.
      ResetEvent(block->StopEvent);
      ResetEvent(block->IdleEvent);
      LockModuleForThread();
      if (!krsoap::platform::StartDetachedThread(&COMWorkerThread, block)) {
        UnlockModuleForThread();
        LogText("Could not start a worker thread");
        block->InCall.store(0, std::memory_order_release);
        ResetEvent(block->WorkEvent);
        SetEvent(block->IdleEvent);
      }
    }
  }
  *out = block;
  LeaveGCriticalSection();
  TraceExit(u"AllocCOMThread", 0);
  return 0;
}

namespace {

DWORD COMWorkerThread(void* param) {
  auto* block = static_cast<COMThreadBlock*>(param);
  TraceEntry(u"COMWorkerThread");
  int64_t now = WallSeconds();
  block->Started.store(now, std::memory_order_relaxed);
  block->LastUsed.store(now, std::memory_order_relaxed);
  block->LastUsedTick.store(TickSeconds(), std::memory_order_relaxed);
  block->ThreadId.store(static_cast<int32_t>(GetCurrentThreadId()), std::memory_order_release);
  // Read outside every lock; only this thread uses it.
  block->IdleTimeout = WorkerIdleTimeoutSeconds();
  t_stop_event = block->StopEvent;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IKRObjectTrigger* trigger = nullptr;
  ResetEvent(block->IdleEvent);

  // The class of the request's ProgID, resolved now for the first request
  // and again only when a request names another ProgID: the workers are
  // shared by every monitor of the process.
  TriggerClass trigger_class;
  bool running = trigger_class.Resolve(*block);
  // What the held trigger object was made with; it serves only requests
  // with the same settings.
  TriggerSettings made_with;
  const HANDLE events[2] = {block->WorkEvent, block->StopEvent};
  for (;;) {
    bool expiring = false;
    while (running) {
      LogText("Waiting for Multiple signals");
      WaitForMultipleObjects(2, events, FALSE, 5000);
      if (IsSignalled(block->StopEvent)) {
        LogText("Signalled to stop");
        break;
      }
      if (!IsSignalled(block->WorkEvent)) {
        int64_t idle = TickSeconds() - block->LastUsedTick.load(std::memory_order_relaxed);
        if (idle < static_cast<int64_t>(block->IdleTimeout)) continue;
        LogText("Thread reached timeout, expiring...");
        expiring = true;
        break;
      }
      block->CallsHandled.fetch_add(1, std::memory_order_relaxed);
      block->InCall.store(1, std::memory_order_release);
      ResetEvent(block->WorkEvent);
      LogText("Signalled to process message");
      block->LastUsed.store(WallSeconds(), std::memory_order_relaxed);
      block->LastUsedTick.store(TickSeconds(), std::memory_order_relaxed);

      if (trigger && !made_with.Matches(*block)) {
        // Kept for another service (another monitor's ProgID, WSDL, WSML or
        // user parameter): it must not answer this request.
        trigger->Release();
        trigger = nullptr;
        LogText("Trigger object made for other settings released");
      }
      if (!trigger) {
        if (!trigger_class.Resolve(*block)) {
          running = false;
          block->InCall.store(0, std::memory_order_release);
          continue;
        }
        HRESULT hr = CoCreateInstance(trigger_class.clsid, nullptr, CLSCTX_ALL, IID_IKRObjectTrigger,
                                      reinterpret_cast<void**>(&trigger));
        if (FAILED(hr)) {
          LogText("Could not create instance of object, hr = %x", static_cast<unsigned>(hr));
          std::string name =
              trigger_class.progid.empty() ? "the built-in invoker" : krsoap::platform::Utf16ToUtf8(trigger_class.progid);
          JournalFailure(block->Journal,
                         "cannot create the trigger object of %s (%s); the request stays on the queue and the "
                         "worker ends",
                         name.c_str(), krsoap::com::HResultText(hr).c_str());
          running = false;
        }
        if (!trigger) {
          block->InCall.store(0, std::memory_order_release);
          continue;
        }
        made_with.Take(*block);
      }
      LONG result = 0;
      BSTR qm = krsoap::com::AllocBstrFromUtf8(block->QueueMgr);
      BSTR queue = krsoap::com::AllocBstrFromUtf8(block->Queue);
      BSTR wsdl = krsoap::com::AllocBstrFromUtf8(block->WSDL);
      BSTR wsml = krsoap::com::AllocBstrFromUtf8(block->WSML);
      BSTR user = krsoap::com::AllocBstrFromUtf8(block->UserParam);
      HRESULT hr;
      TakeRequestFailureText();  // nothing left from an earlier call
      TakeReplyWasFault();
      t_get_cut_by_stop = false;
      // Counted for the monitor's metrics; the block's reference keeps the
      // counters while the call runs.
      MonitorCounters* counters = block->Counters;
      const auto call_start = std::chrono::steady_clock::now();
      if (counters) counters->Begin();
      try {
        hr = trigger->Execute(qm, queue, wsdl, wsml, user, &result);
      } catch (...) {
        // A trigger must not throw across the interface; one that does fails
        // this call and nothing else.
        hr = E_UNEXPECTED;
      }
      if (counters) counters->End(SecondsSince(call_start), FAILED(hr) && !t_get_cut_by_stop, TakeReplyWasFault());
      if (FAILED(hr) && t_get_cut_by_stop) {
        // Stopped while waiting for a request: nothing was taken.
        TakeRequestFailureText();
        LogText("Wait for a request ended by the stop");
      } else if (FAILED(hr)) {
        // A fault the service answers with is a success here; this is a
        // request that was not served or whose reply was not delivered.
        std::string cause = TakeRequestFailureText();
        if (cause.empty()) cause = "the trigger object's Execute failed with " + krsoap::com::HResultText(hr);
        JournalFailure(block->Journal, "a request on queue %s failed: %s", block->Queue, cause.c_str());
      }
      SysFreeString(qm);
      SysFreeString(queue);
      SysFreeString(wsdl);
      SysFreeString(wsml);
      SysFreeString(user);
      if (FAILED(hr)) LogText("Failed to call execute, hr = %x", static_cast<unsigned>(hr));
      LogText("Result from Execute = %ld", static_cast<long>(result));
      if (block->CanReuseObject == 0) {
        trigger->Release();
        trigger = nullptr;
        LogText("Trigger object released");
      }
      block->InCall.store(0, std::memory_order_release);
    }

    if (trigger) {
      trigger->Release();
      trigger = nullptr;
    }
    CoUninitialize();
    std::unique_lock<std::mutex> gate(block->gate);
    if (expiring && IsSignalled(block->WorkEvent) && !IsSignalled(block->StopEvent)) {
      // A request was handed to this block while the thread was winding
      // down; AllocCOMThread saw a live thread and started none, so this
      // thread serves it instead of ending.
      gate.unlock();
      LogText("Request assigned while expiring, thread goes on");
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      continue;
    }
    block->InCall.store(0, std::memory_order_release);
    if (expiring) block->ThreadId.store(0, std::memory_order_release);
    TraceExit(u"COMWorkerThread", 0);
    SetEvent(block->IdleEvent);
    gate.unlock();
    break;
  }
  UnlockModuleForThread();
  return 0;
}

}  // namespace

LONG ReleaseCOMThreads() {
  TraceEntry(u"ReleaseCOMThreads");
  const int64_t limit = WorkerReleaseLimitSeconds();  // a registry read, before the lock
  EnterGCriticalSection();
  const auto start = std::chrono::steady_clock::now();
  bool first = true;
  int active;
  do {
    active = 0;
    int in_calls = 0;
    COMThreadBlock* prev = nullptr;
    COMThreadBlock* b = g_thread_list;
    while (b) {
      COMThreadBlock* next = b->next;
      if (!IsSignalled(b->IdleEvent)) {
        ++active;
        if (b->InCall.load(std::memory_order_acquire) != 0) ++in_calls;
        if (first) SetEvent(b->StopEvent);
        prev = b;
      } else {
        if (prev) {
          prev->next = next;
        } else {
          g_thread_list = next;
        }
        FreeBlock(b);
      }
      b = next;
    }
    LogText("%d active threads, %d in calls", active, in_calls);
    first = false;
    int64_t elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    if (elapsed > limit) {
      LogText("Wait for active threads to finished timed out");
      break;
    }
    Sleep(500);
  } while (active > 0);
  LeaveGCriticalSection();
  TraceExit(u"ReleaseCOMThreads", 0);
  return 0;
}

namespace {

DWORD Win32FromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    default: return ERROR_CANTWRITE;
  }
}

// Builds the new status text in a temporary file beside the target and
// renames it over the target, so a reader never sees a half-written file and
// a symbolic link at the target's name is replaced, never followed.
class StatusFile {
 public:
  explicit StatusFile(std::string path) : path_(std::move(path)) {}
  ~StatusFile() {
    if (fd_ >= 0) {
      ::close(fd_);
      ::unlink(temp_.c_str());
    }
  }
  DWORD Create() {
    if (path_.empty()) return ERROR_PATH_NOT_FOUND;
    if (path_.size() >= 4096) return ERROR_FILENAME_EXCED_RANGE;
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    temp_ = path_ + ".XXXXXX";
    fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);  // 0600, never an existing file
    if (fd_ < 0) return Win32FromErrno(errno);
    return ERROR_SUCCESS;
  }
  void Write(const std::string& text) {
    if (fd_ < 0 || error_) return;
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        error_ = Win32FromErrno(errno);
        return;
      }
      done += static_cast<size_t>(n);
    }
  }
  DWORD Commit() {
    if (fd_ < 0) return ERROR_CANTWRITE;
    DWORD result = error_;
    if (::close(fd_) != 0 && !result) result = ERROR_CANTWRITE;
    fd_ = -1;
    if (!result && ::rename(temp_.c_str(), path_.c_str()) != 0) result = Win32FromErrno(errno);
    if (result) ::unlink(temp_.c_str());
    return result;
  }

 private:
  std::string path_;
  std::string temp_;
  int fd_ = -1;
  DWORD error_ = 0;
};

}  // namespace

void CountWorkers(LONG* threads, LONG* busy) {
  LONG active = 0, in_calls = 0;
  EnterGCriticalSection();
  for (COMThreadBlock* b = g_thread_list; b; b = b->next) {
    if (b->ThreadId.load(std::memory_order_acquire) == 0 || IsSignalled(b->IdleEvent)) continue;
    ++active;
    if (b->InCall.load(std::memory_order_acquire)) ++in_calls;
  }
  LeaveGCriticalSection();
  *threads = active;
  *busy = in_calls;
}

LONG WriteMonitorStatus(const char16_t* filename, LONG* threads) {
  LogText("Thread ID, In Call, Calls Handled, Started, Last Used");
  StatusFile file(krsoap::platform::Utf16ToUtf8(filename ? filename : u""));
  DWORD error = file.Create();
  if (error) {
    std::string name = krsoap::platform::Utf16ToUtf8(filename ? filename : u"");
    LogText("Could not create status file %s, error %lu", name.c_str(), static_cast<unsigned long>(error));
  }
  int active = 0;
  int in_calls = 0;
  for (COMThreadBlock* b = g_thread_list; b; b = b->next) {
    long id = b->ThreadId.load(std::memory_order_acquire);
    int in_call = b->InCall.load(std::memory_order_acquire);
    long calls = b->CallsHandled.load(std::memory_order_relaxed);
    std::string started = ClockText(b->Started.load(std::memory_order_relaxed));
    std::string last_used = ClockText(b->LastUsed.load(std::memory_order_relaxed));
    if (id != 0) {
      if (!IsSignalled(b->IdleEvent)) {
        ++active;
        if (in_call) ++in_calls;
      }
      char line[128];
      std::snprintf(line, sizeof line, "%ld,%d,%ld,%s,%s\r\n", id, in_call, calls, started.c_str(),
                    last_used.c_str());
      file.Write(line);
    }
    LogText("%ld, %d, %ld, %s, %s", id, in_call, calls, started.c_str(), last_used.c_str());
  }
  if (!error) {
    error = file.Commit();
    if (error) {
      std::string name = krsoap::platform::Utf16ToUtf8(filename ? filename : u"");
      LogText("Could not write status file %s, error %lu", name.c_str(), static_cast<unsigned long>(error));
    }
  }
  LogText("%d active threads, %d in calls", active, in_calls);
  if (threads) *threads = active;
  return static_cast<LONG>(error);
}

}  // namespace krsoap::halvex
