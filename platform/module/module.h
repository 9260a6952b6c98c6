// Run-time module loading: LoadLibrary, GetProcAddress, FreeLibrary and
// module file names, over dlopen/dlsym/dlclose.
//
// Windows module names are mapped to this platform's shared libraries:
// "krm.dll" -> "libkrm.so", "krcl32.dll" -> "libkrcl.so", "halvex.DLL" ->
// "libhalvex.so", "oleaut32.dll" / "ole32.dll" -> the platform runtime
// library itself, any other "name.dll" (or a name without extension) ->
// "libname.so". Names that already are shared-object names are used as
// given. A bare name is looked for first in the directory of the platform
// runtime library (the build's library directory), then through the normal
// dlopen search (RUNPATH, LD_LIBRARY_PATH, system directories).
//
// An HMODULE is the dlopen handle, but every call checks it against the
// table of modules loaded through LoadLibrary: a freed or made-up handle
// fails with ERROR_INVALID_HANDLE instead of reaching dlsym.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/win32/types.h"

typedef intptr_t (*FARPROC)();

extern "C" {
// NULL on failure with ERROR_MOD_NOT_FOUND (no such file, or a library it
// needs is missing), ERROR_BAD_EXE_FORMAT (the file is not a loadable
// library), ERROR_PROC_NOT_FOUND (a symbol it imports is missing) or
// ERROR_INVALID_PARAMETER. The loader's own text is available through
// krsoap::platform::LastModuleErrorText().
KR_EXPORT HMODULE LoadLibraryW(LPCWSTR file_name);
KR_EXPORT HMODULE LoadLibraryA(LPCSTR file_name);
// NULL with ERROR_PROC_NOT_FOUND, or ERROR_INVALID_HANDLE for a module that
// is not loaded. A NULL module means the main program. Lookup by ordinal is
// not supported (ERROR_PROC_NOT_FOUND).
KR_EXPORT FARPROC GetProcAddress(HMODULE module, LPCSTR proc_name);
// Each successful LoadLibrary needs one FreeLibrary; the module is unloaded
// after the last one.
KR_EXPORT BOOL FreeLibrary(HMODULE module);
// The application framework's forms of LoadLibraryA and FreeLibrary: the
// same results, with every load and free of the process serialised under one
// lock, so that code keeping a module handle of its own sees loads and frees
// in one order.
KR_EXPORT HMODULE AfxLoadLibrary(LPCSTR file_name);
KR_EXPORT BOOL AfxFreeLibrary(HMODULE module);
// The full path of a loaded module (NULL: the main program). Returns the
// characters copied without the terminator; when the buffer is too small
// the path is cut (never inside a character), terminated, `size` is
// returned and the last error is ERROR_INSUFFICIENT_BUFFER. 0 on failure.
KR_EXPORT DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);
KR_EXPORT DWORD GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size);
// A module that this process loaded through LoadLibrary, by name (mapped
// as above, compared on the file name), without adding a reference. NULL
// name: the main program. NULL with ERROR_MOD_NOT_FOUND otherwise.
KR_EXPORT HMODULE GetModuleHandleW(LPCWSTR module_name);
KR_EXPORT HMODULE GetModuleHandleA(LPCSTR module_name);
}

namespace krsoap::platform {

// The shared-library file name (or path) that a Windows module name maps to.
std::string MapModuleName(std::string_view windows_name);

// The loader's message for this thread's last failed LoadLibrary or
// GetProcAddress (empty if there was none).
std::string LastModuleErrorText();

// The full path of the module (shared library or main program) whose code
// or data contains `address`. False when no module contains it.
bool ModulePathFromAddress(const void* address, std::string* path);

// The directory that holds the platform runtime library.
std::string LibraryDirectory();

// Holds a module loaded with LoadLibrary and frees it on destruction.
class ScopedModule {
 public:
  ScopedModule() = default;
  explicit ScopedModule(HMODULE module) : module_(module) {}
  ~ScopedModule() { reset(); }
  ScopedModule(ScopedModule&& other) noexcept : module_(other.release()) {}
  ScopedModule& operator=(ScopedModule&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedModule(const ScopedModule&) = delete;
  ScopedModule& operator=(const ScopedModule&) = delete;

  HMODULE get() const { return module_; }
  explicit operator bool() const { return module_ != nullptr; }
  HMODULE release() { return std::exchange(module_, nullptr); }
  void reset(HMODULE module = nullptr) {
    if (module_) FreeLibrary(module_);
    module_ = module;
  }
  // The exported function `name` cast to the caller's function type.
  template <typename Fn>
  Fn Get(const char* name) const {
    // Through the generic function type, which converts to any other.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
  }

 private:
  HMODULE module_ = nullptr;
};

}  // namespace krsoap::platform
