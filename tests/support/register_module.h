// Registers a module of the build's lib/ in the current data root by calling
// its DllRegisterServer in this process (the caller has joined an
// apartment). For the benchmarks that set up their own data root.
#pragma once

#include <string>

#include "platform/com/activation.h"
#include "platform/com/server_loader.h"
#include "platform/text/convert.h"
#include "tests/support/test_home.h"

namespace krsoap::test {

inline bool RegisterLibModule(const std::string& file) {
  com::ServerModule module;
  if (FAILED(com::LoadServerModule(platform::Utf8ToUtf16(LibDir() + "/" + file), &module))) return false;
  auto fn = reinterpret_cast<HRESULT (*)()>(module.Symbol("DllRegisterServer"));
  return fn && SUCCEEDED(fn());
}

}  // namespace krsoap::test
