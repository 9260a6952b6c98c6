// Activation: apartments, finding and loading in-process servers, creating
// objects by CLSID, and the CLSID <-> ProgID lookups.
//
// Classes are found as on Windows, under
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, whose default value is the
// full path of the module. Only in-process servers exist here: a class context
// without CLSCTX_INPROC_SERVER finds nothing (REGDB_E_CLASSNOTREG). A module is
// loaded once per process however many threads ask for it at once, asked for
// class objects through its DllGetClassObject, and unloaded only by
// CoFreeUnusedLibraries when its DllCanUnloadNow answers S_OK.
//
// Apartments are bookkeeping per thread: CoInitializeEx records the thread's
// apartment (S_OK the first time, S_FALSE when repeated with the same model,
// RPC_E_CHANGED_MODE for the other model) and CoUninitialize undoes one
// successful call. Creating objects needs an initialised thread, as on
// Windows: a thread that never called CoInitializeEx gets CO_E_NOTINITIALIZED,
// unless some thread of the process has joined the multithreaded apartment,
// in which case it is implicitly a member of it.
//
// A class once found is remembered while its module stays loaded, which makes
// creating further objects cheap; registration changes made through this
// runtime (registrar scripts, type-library registration) forget what was
// remembered. A change made by another process while the module is loaded
// here shows after the module is unloaded.
#pragma once

#include <string>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/win32/types.h"

struct IUnknown;

// CoInitializeEx flags.
#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_DISABLE_OLE1DDE 0x4u
#define COINIT_SPEED_OVER_MEMORY 0x8u

// Class contexts.
#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_INPROC_SERVER16 0x8u
#define CLSCTX_REMOTE_SERVER 0x10u
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// The entry points of an in-process server.
typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID clsid, REFIID iid, LPVOID* ppv);
typedef HRESULT (*LPFNCANUNLOADNOW)();

extern "C" {
// `reserved` must be null. Unknown flag bits give E_INVALIDARG.
KR_EXPORT HRESULT CoInitializeEx(LPVOID reserved, DWORD coinit);
// The single-threaded form.
KR_EXPORT HRESULT CoInitialize(LPVOID reserved);
KR_EXPORT void CoUninitialize();

KR_EXPORT HRESULT CoGetClassObject(REFCLSID clsid, DWORD cls_context, LPVOID server_info, REFIID iid,
                                   LPVOID* ppv);
KR_EXPORT HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD cls_context, REFIID iid,
                                   LPVOID* ppv);
// Asks every loaded server whether it can be unloaded and unloads those that
// agree.
KR_EXPORT void CoFreeUnusedLibraries();
KR_EXPORT void CoFreeUnusedLibrariesEx(DWORD unload_delay, DWORD reserved);

// A braced CLSID, or a ProgID (version-independent ProgIDs follow CurVer).
// Malformed text or an unknown ProgID gives CO_E_CLASSSTRING.
KR_EXPORT HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
KR_EXPORT HRESULT CLSIDFromProgID(LPCOLESTR prog_id, LPCLSID clsid);
// The class's ProgID (HKCR\CLSID\{clsid}\ProgID) in memory from
// CoTaskMemAlloc; REGDB_E_CLASSNOTREG when there is none.
KR_EXPORT HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* prog_id);
}

namespace krsoap::com {

enum class Apartment { kNone, kMultithreaded, kSingleThreaded, kImplicitMultithreaded };

// The calling thread's apartment.
Apartment CurrentApartment();

// What the registry says about a class, for tools and diagnostics.
struct ClassRegistration {
  CLSID clsid{};
  std::u16string description;
  std::u16string prog_id;
  std::u16string version_independent_prog_id;
  std::u16string inproc_server;
  std::u16string threading_model;
  std::u16string type_lib;
};
HRESULT QueryClassRegistration(REFCLSID clsid, ClassRegistration* out);

// Number of in-process servers this process has loaded through activation.
size_t LoadedServerCount();

namespace internal {
// Called after anything changes class registrations; forgets remembered
// class lookups.
void NoteRegistrationChanged();
}  // namespace internal

}  // namespace krsoap::com
