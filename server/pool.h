// The server transport's shared state: the monitor's control block, the
// worker blocks of the process-wide worker list, the global critical section
// that guards that list, and the pool's entry points (AllocCOMThread,
// ReleaseCOMThreads, the status writer). Owned by the monitor (monitor.cpp)
// and the worker pool (worker_pool.cpp).
#pragma once

#include "common/trace/trace.h"

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/com/com.h"
#include "platform/win32/types.h"
#include "server/monitor_counters.h"

namespace krsoap::halvex {

// Field widths of the request settings (terminator included).
inline constexpr size_t kNameField = 49;    // queue manager and queue: 48 bytes
inline constexpr size_t kPathField = 261;   // WSDL, WSML, user parameter: 260 bytes
inline constexpr size_t kProgIdField = 256; // ProgID: 255 UTF-16 units
// The words a monitor's failure lines on standard error begin with.
inline constexpr size_t kJournalField = 160;
// The cause of a monitor thread's end, in words.
inline constexpr size_t kCauseField = 320;

using krsoap::trace::kComponent;

// Written completely by Start before MonitorThread starts, read-only after.
// Shared by the monitor object and its thread: whichever lets go last frees
// it (a Stop that timed out leaves the block to the thread).
struct MonitorControlBlock {
  char QueueMgr[kNameField];
  char Queue[kNameField];
  char WSDL[kPathField];
  char WSML[kPathField];
  char UserParam[kPathField];
  HANDLE StopEvent;
  HANDLE StoppedEvent;
  char16_t ProgID[kProgIdField];
  int32_t CanReuseObject;
  char Journal[kJournalField];
  // Why the thread ended by itself: written by the thread before it sets
  // StoppedEvent, EndReason last (release); 0 when it was asked to stop.
  char EndCause[kCauseField];
  std::atomic<int32_t> EndReason;
  std::atomic<int> refs;
  // The monitor's counters (a reference of the block's own).
  MonitorCounters* Counters;
};
MonitorControlBlock* NewControlBlock();  // zero-filled, one reference
void ReleaseControlBlock(MonitorControlBlock* block);

// One worker. The request fields are written by AllocCOMThread only while
// InCall is not 1 (under the global critical section and the block's mutex)
// and read by the worker after it took WorkEvent; the counters are atomics
// because the worker writes them without the global lock.
struct COMThreadBlock {
  char QueueMgr[kNameField];
  char Queue[kNameField];
  char WSDL[kPathField];
  char WSML[kPathField];
  char UserParam[kPathField];
  HANDLE StopEvent;
  HANDLE IdleEvent;
  HANDLE WorkEvent;
  char16_t ProgID[kProgIdField];
  std::atomic<int64_t> Started;        // wall-clock seconds
  std::atomic<int64_t> LastUsed;       // wall-clock seconds
  std::atomic<int64_t> LastUsedTick;   // monotonic seconds, for the idle time-out
  uint32_t IdleTimeout;                // seconds
  std::atomic<int32_t> CallsHandled;
  std::atomic<int32_t> ThreadId;
  std::atomic<int32_t> InCall;
  int32_t CanReuseObject;
  char Journal[kJournalField];  // copied for each request, like the settings
  // The counters of the monitor whose request the block holds (a reference
  // of the block's own, changed only when a request of another monitor
  // comes).
  MonitorCounters* Counters;
  COMThreadBlock* next;
  // Makes "does a thread run on this block?" and the thread's decision to end
  // one step: AllocCOMThread tests IdleEvent and signals WorkEvent under it,
  // the worker re-tests WorkEvent and sets IdleEvent under it.
  std::mutex gate;
};

// A request got under syncpoint went back to its queue in this process (its
// unit of work was backed out). Each monitor's browse cursor may already be
// past it, so the monitors' next browse starts again from the first message.
void NoteRequestBackedOut();

// True on a worker thread whose monitor has asked it to stop (its block's
// StopEvent is set), false on any other thread. The handler's wait for a
// request asks between slices of the wait, so a stopping monitor's workers
// end within a slice instead of waiting out RequestWait for a request that
// another worker, or another host, took first. A true answer is noted for
// the worker: the call then fails, but no request failed.
bool StopCutsWait();

// The global critical section, entered and left only through these two.
void EnterGCriticalSection();
void LeaveGCriticalSection();

LONG AllocCOMThread(MonitorControlBlock* control, COMThreadBlock** out);
LONG ReleaseCOMThreads();
// Writes the status file and counts the workers; returns 0 or the Win32
// error of the file.
LONG WriteMonitorStatus(const char16_t* filename, LONG* threads);
// The running worker threads, and those in a call; takes the global
// critical section.
void CountWorkers(LONG* threads, LONG* busy);

// Keep the module loaded while one of its threads runs.
void LockModuleForThread();
void UnlockModuleForThread();

}  // namespace krsoap::halvex
