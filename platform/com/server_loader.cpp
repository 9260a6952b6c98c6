// Module loading for activation (see server_loader.h), over the dynamic
// loader.
#include "platform/com/server_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include "platform/text/convert.h"

namespace krsoap::com {

void* ServerModule::Symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

void ServerModule::Reset() {
  if (handle_) ::dlclose(handle_);
  handle_ = nullptr;
}

HRESULT LoadServerModule(const std::u16string& path, ServerModule* out) {
  std::string narrow = platform::Utf16ToUtf8(path);
  if (narrow.empty() || narrow.find('\0') != std::string::npos) return CO_E_DLLNOTFOUND;
  // Tell a missing file from a file that is not a module, as Windows does.
  if (narrow.find('/') != std::string::npos) {
    struct stat st{};
    if (::stat(narrow.c_str(), &st) != 0) return CO_E_DLLNOTFOUND;
    if (!S_ISREG(st.st_mode)) return CO_E_ERRORINDLL;
  }
  void* handle = ::dlopen(narrow.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (narrow.find('/') == std::string::npos) return CO_E_DLLNOTFOUND;
    return CO_E_ERRORINDLL;
  }
  out->Reset();
  out->handle_ = handle;
  return S_OK;
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (!::dladdr(address, &info) || !info.dli_fname) return {};
  return info.dli_fname;
}

}  // namespace krsoap::com
