// Module loading for activation (see server_loader.h), over the platform's
// LoadLibrary.
#include "platform/com/server_loader.h"

#include "platform/module/module.h"
#include "platform/text/convert.h"
#include "platform/win32/error_codes.h"
#include "platform/win32/last_error.h"

namespace krsoap::com {

void* ServerModule::Symbol(const char* name) const {
  return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}

void ServerModule::Reset() {
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

HRESULT LoadServerModule(const std::u16string& path, ServerModule* out) {
  if (path.empty() || path.find(u'\0') != std::u16string::npos) return CO_E_DLLNOTFOUND;
  HMODULE handle = LoadLibraryW(path.c_str());
  if (!handle) {
    // A missing file (or a missing library it needs) is "not found"; a file
    // that is there but cannot be loaded is an error in the module.
    return GetLastError() == ERROR_MOD_NOT_FOUND ? CO_E_DLLNOTFOUND : CO_E_ERRORINDLL;
  }
  out->Reset();
  out->handle_ = handle;
  return S_OK;
}

std::string ModulePathOf(const void* address) {
  std::string path;
  return platform::ModulePathFromAddress(address, &path) ? path : std::string();
}

}  // namespace krsoap::com
