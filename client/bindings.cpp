// The bindings libraries: loading and releasing them per kind, resolving the
// six entry points, connecting (ConnectToQM) and closing down a connection
// (DisconnectAndClose).
//
// A connector whose library could not be loaded, or that lacks an entry
// point, never calls the library: every queue operation (connect, opens,
// put, get, the closes) returns kBindingsNotLoaded or E_UNEXPECTED, and the
// connector does not count as connected, so no later message reaches a
// missing entry point either.
#include "client/bindings.h"

#include <mutex>
#include <new>
#include <string>

#include "common/trace/trace.h"
#include "platform/module/module.h"
#include "platform/text/convert.h"

namespace krsoap::corvel {

using krsoap::trace::TraceEntry;
using krsoap::trace::TraceExit;
namespace {

using krsoap::platform::Utf16ToUtf8;

struct Kind {
  const char* library;             // Windows module name, mapped by the platform
  const char* connect_entry;       // "KRCONN" or "zrtKRCONN"
  const char* load_failure;        // trace messages
  const char* entry_point_failure;
  bool trace_loading;
  const char16_t* ctor_name;
  const char16_t* dtor_name;
};

constexpr Kind kClientKind = {"krcl32.dll",
                              "KRCONN",
                              "Error: Unable to load client library.",
                              "Error: Unable to retrieve client library ProcAdresses.",
                              false,
                              u"CKRBaseClientConn::ctor",
                              u"CKRBaseClientConn::dtor"};
constexpr Kind kServerKind = {"krm.dll",
                              "zrtKRCONN",
                              "Error: Unable to load server library.",
                              "Error: Unable to retrieve server library ProcAdresses.",
                              true,
                              u"CKRBaseServerConn::ctor",
                              u"CKRBaseServerConn::dtor"};

struct Library {
  std::mutex mu;
  HMODULE handle = nullptr;
  int count = 0;
};

// Each kind's state lives in the module's own static storage and is never
// destroyed, so it outlives every connector, also at exit. Not on the heap:
// the module may be unloaded and loaded again (CoFreeUnusedLibraries), and
// every load would leave the previous load's state behind, unreachable.
template <int kKind>
Library& StateFor() {
  alignas(Library) static unsigned char storage[sizeof(Library)];
  static Library* library = new (storage) Library;
  return *library;
}
Library& ClientLibrary() { return StateFor<0>(); }
Library& ServerLibrary() { return StateFor<1>(); }

// Loads the kind's library when needed and counts the connector; gives the
// handle (nullptr when it could not be loaded).
HMODULE Acquire(const Kind& kind, Library& library) {
  std::lock_guard<std::mutex> lock(library.mu);
  if (!library.handle) {
    if (kind.trace_loading) LogText("Loading library.");
    library.handle = AfxLoadLibrary(kind.library);
  }
  ++library.count;
  return library.handle;
}

void ReleaseOne(Library& library) {
  std::lock_guard<std::mutex> lock(library.mu);
  --library.count;
  if (library.handle && library.count == 0) {
    if (AfxFreeLibrary(library.handle)) LogText("Released library.");
    library.handle = nullptr;
  }
}

BindingsState StateOf(Library& library) {
  std::lock_guard<std::mutex> lock(library.mu);
  return BindingsState{library.handle != nullptr, library.count};
}

template <class Fn>
bool Resolve(HMODULE module, const char* name, Fn* out) {
  *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *out != nullptr;
}

}  // namespace

BindingsState ClientBindingsState() { return StateOf(ClientLibrary()); }
BindingsState ServerBindingsState() { return StateOf(ServerLibrary()); }

// Shared by both constructors: load, count, resolve in the order close,
// connect, disconnect, get, open, put. Gives the exit trace's code.
static long LoadBindings(const Kind& kind, Library& library, KRCLOSE_FN* close, KRCONN_FN* connect,
                         KRDISC_FN* disconnect, KRGET_FN* get, KROPEN_FN* open, KRPUT_FN* put, HRESULT* status) {
  HMODULE module = Acquire(kind, library);
  if (!module) {
    LogText("%s", kind.load_failure);
    *status = kBindingsNotLoaded;
    return 1157;  // ERROR_DLL_NOT_FOUND
  }
  if (!Resolve(module, "KRCLOSE", close) || !Resolve(module, kind.connect_entry, connect) ||
      !Resolve(module, "KRDISC", disconnect) || !Resolve(module, "KRGET", get) || !Resolve(module, "KROPEN", open) ||
      !Resolve(module, "KRPUT", put)) {
    LogText("%s", kind.entry_point_failure);
    *status = E_UNEXPECTED;
    return static_cast<long>(E_UNEXPECTED);
  }
  *status = S_OK;
  return 0;
}

CKRBaseClientConn::CKRBaseClientConn() {
  TraceEntry(kClientKind.ctor_name);
  long code = LoadBindings(kClientKind, ClientLibrary(), &close_, &connect_, &disconnect_, &get_, &open_, &put_,
                           &entry_points_status_);
  TraceExit(kClientKind.ctor_name, code);
}

CKRBaseClientConn::~CKRBaseClientConn() {
  TraceEntry(kClientKind.dtor_name);
  DisconnectAndClose();
  ReleaseOne(ClientLibrary());
  TraceExit(kClientKind.dtor_name, 0);
}

HRESULT CKRBaseClientConn::ConnectToQM() {
  TraceEntry(u"CKRBaseClientConn::ConnectToQM");
  HRESULT hr = ConnectWith(remote_queue_manager_, "Connecting to remote queue manager %s.");
  TraceExit(u"CKRBaseClientConn::ConnectToQM", hr == E_FAIL ? last_error_code_ : (FAILED(hr) ? hr : 0));
  return hr;
}

CKRBaseServerConn::CKRBaseServerConn() {
  TraceEntry(kServerKind.ctor_name);
  long code = LoadBindings(kServerKind, ServerLibrary(), &close_, &connect_, &disconnect_, &get_, &open_, &put_,
                           &entry_points_status_);
  TraceExit(kServerKind.ctor_name, code);
}

CKRBaseServerConn::~CKRBaseServerConn() {
  TraceEntry(kServerKind.dtor_name);
  DisconnectAndClose();
  ReleaseOne(ServerLibrary());
  TraceExit(kServerKind.dtor_name, 0);
}

HRESULT CKRBaseServerConn::ConnectToQM() {
  TraceEntry(u"CKRBaseServerConn::ConnectToQM");
  HRESULT hr = ConnectWith(local_queue_manager_, "Connecting to local queue manager %s.");
  TraceExit(u"CKRBaseServerConn::ConnectToQM", hr == E_FAIL ? last_error_code_ : (FAILED(hr) ? hr : 0));
  return hr;
}

HRESULT CKRBaseConn::ConnectWith(const std::u16string& name, const char* connect_message) {
  const std::string narrow = Utf16ToUtf8(name);
  LogText(connect_message, narrow.c_str());
  HRESULT hr = EntryPointsReady();
  if (FAILED(hr)) {
    // Nothing to call: the connector stays unconnected, and every message
    // answers the same failure.
    LogText("Error: no queue-manager library is available to connect to %s.", narrow.c_str());
    return hr;
  }
  KRLONG cc = KRCC_OK, reason = KRRC_NONE;
  connect_(narrow.c_str(), &connection_, &cc, &reason);
  if (cc == KRCC_FAILED) {
    LogText("Error: KRCONN ended with reason code %ld while connecting to %s.", static_cast<long>(reason),
            narrow.c_str());
    SetLastError(reason);
    hr = E_FAIL;
  }
  connected_ = 1;
  return hr;
}

HRESULT CKRBaseConn::DisconnectAndClose() {
  TraceEntry(u"CKRBaseConn::DisconnectAndClose");
  KRLONG reason = KRRC_NONE;
  HRESULT hr = S_OK;
  if (!http_ && connected_ && SUCCEEDED(EntryPointsReady())) {
    KRLONG cc = KRCC_OK;
    const std::string queue = Utf16ToUtf8(queue_);
    LogText("Closing queue %s.", queue.c_str());
    close_(connection_, &request_queue_, KRCO_NONE, &cc, &reason);
    if (cc == KRCC_FAILED) {
      LogText("Error: KRCLOSE ended with reason code %ld while closing %s", static_cast<long>(reason), queue.c_str());
      SetLastError(reason);
      hr = E_FAIL;
    }
    const std::string reply = Utf16ToUtf8(reply_to_queue_);
    LogText("Closing temporary dynamic reply-to queue %s.", reply.c_str());
    close_(connection_, &reply_to_queue_handle_, KRCO_NONE, &cc, &reason);
    if (cc == KRCC_FAILED) {
      LogText("Error: KRCLOSE ended with reason code %ld while closing temporary queue %s", static_cast<long>(reason),
              reply.c_str());
      SetLastError(reason);
      hr = E_FAIL;
    }
    LogText("Disconnecting from queue manager.");
    disconnect_(&connection_, &cc, &reason);
    if (cc == KRCC_FAILED) {
      LogText("Error: KRDISC ended with reason code %ld while disconnecting from the queue manager.",
              static_cast<long>(reason));
      SetLastError(reason);
      hr = E_FAIL;
    }
    connected_ = 0;
  }
  TraceExit(u"CKRBaseConn::DisconnectAndClose", reason);
  return hr;
}

}  // namespace krsoap::corvel
