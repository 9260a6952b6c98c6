// Loading the module file of an in-process server for activation, type
// libraries and the registration tools, with the HRESULTs Windows gives:
// CO_E_DLLNOTFOUND when the file is not there, CO_E_ERRORINDLL when it is not
// a loadable module.
#pragma once

#include <string>
#include <utility>

#include "platform/com/hresult.h"

namespace krsoap::com {

// One reference to a loaded module; unloads (drops the reference) on
// destruction. Move-only.
class ServerModule {
 public:
  ServerModule() = default;
  ServerModule(const ServerModule&) = delete;
  ServerModule& operator=(const ServerModule&) = delete;
  ServerModule(ServerModule&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  ServerModule& operator=(ServerModule&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  ~ServerModule() { Reset(); }

  bool loaded() const { return handle_ != nullptr; }
  void* handle() const { return handle_; }
  // An exported function or object, or nullptr.
  void* Symbol(const char* name) const;
  void Reset();

 private:
  friend HRESULT LoadServerModule(const std::u16string& path, ServerModule* out);
  void* handle_ = nullptr;
};

// Loads the module at `path` (a full path, or a bare file name searched as
// the loader searches).
HRESULT LoadServerModule(const std::u16string& path, ServerModule* out);

// The full path of the module that contains `address` (an exported
// function's address, say); empty when unknown.
std::string ModulePathOf(const void* address);

}  // namespace krsoap::com
