// Helpers shared by the COM runtime tests: an owning interface pointer, a
// fixture with a throwaway data root and an initialised apartment, and
// registry reads.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/com/activation.h"
#include "platform/com/com.h"
#include "platform/com/server_loader.h"
#include "platform/registry/registry.h"
#include "platform/text/convert.h"
#include "tests/support/com_ptr.h"
#include "tests/support/test_home.h"

namespace krsoap::test {

inline std::string ComponentPath() { return LibDir() + "/libkrtestcomp.so"; }

// Registry reads under HKEY_CLASSES_ROOT; "" with found=false when missing.
inline bool ReadClassesValue(const std::string& key, const char* name, std::string* out) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return false;
  char buf[4096];
  DWORD size = sizeof buf, type = 0;
  LONG err = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(h);
  if (err != ERROR_SUCCESS) return false;
  *out = std::string(buf, size && buf[size - 1] == '\0' ? size - 1 : size);
  return true;
}

inline std::string ClassesValue(const std::string& key, const char* name = nullptr) {
  std::string v;
  return ReadClassesValue(key, name, &v) ? v : std::string("<missing>");
}

inline bool ClassesKeyExists(const std::string& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

inline void CreateClassesKey(const std::string& key) {
  HKEY h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &h, nullptr));
  RegCloseKey(h);
}

// Each test gets its own registry and a multithreaded apartment.
class ComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    com::internal::NoteRegistrationChanged();  // the registry moved with the data root
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    CoUninitialize();
  }

  // Calls an entry point of the component module, loaded for the call.
  static HRESULT CallComponent(const char* entry) {
    com::ServerModule module;
    HRESULT hr = com::LoadServerModule(platform::Utf8ToUtf16(ComponentPath()), &module);
    if (FAILED(hr)) return hr;
    auto fn = reinterpret_cast<HRESULT (*)()>(module.Symbol(entry));
    return fn ? fn() : E_UNEXPECTED;
  }

  ScopedHome home_;
};

}  // namespace krsoap::test
