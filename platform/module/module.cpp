// Module loading over the dynamic loader (see module.h).
//
// dlopen and dlclose run the module's constructors and destructors, which
// may load or free other modules; they are therefore called outside the
// table's lock. dlsym runs no module code and is called under it, so a
// FreeLibrary on another thread cannot unload a module in the middle of a
// lookup.
#include "platform/module/module.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <new>
#include <string>
#include <unistd.h>
#include <unordered_map>

#include "platform/text/convert.h"
#include "platform/win32/error_codes.h"
#include "platform/win32/last_error.h"

namespace krsoap::platform {
namespace {

thread_local std::string t_module_error;

struct LoadedModule {
  unsigned loads = 0;
  std::string path;
};

struct ModuleTable {
  std::mutex mutex;
  std::unordered_map<void*, LoadedModule> modules;
};

ModuleTable& Modules() {
  static auto* table = new ModuleTable;  // outlives static destructors
  return *table;
}

void* MainProgram() {
  static void* main_handle = ::dlopen(nullptr, RTLD_NOW);
  return main_handle;
}

std::string ToLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return out;
}

bool EndsWithIgnoreCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && ToLower(s.substr(s.size() - suffix.size())) == suffix;
}

bool IsSharedObjectName(std::string_view file) {
  return EndsWithIgnoreCase(file, ".so") || file.find(".so.") != std::string_view::npos;
}

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, size_t(n));
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return path;
}

// The path the loader recorded for a handle.
std::string PathOfHandle(void* handle) {
  if (handle == MainProgram()) return ExecutablePath();
  struct link_map* map = nullptr;
  if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name) {
    return std::string();
  }
  return Absolute(map->l_name);
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Classifies a dlopen failure for the Win32 error code. A missing file and
// a missing library that the module needs are both "module not found", as
// on Windows; an unresolved import is "procedure not found"; a file that
// exists but is no loadable library (text, a directory, another
// architecture) is a bad executable format.
DWORD LoadErrorCode(const std::string& text, const std::string& path, bool has_directory) {
  if (text.find("undefined symbol") != std::string::npos) return ERROR_PROC_NOT_FOUND;
  if (has_directory && !FileExists(path)) return ERROR_MOD_NOT_FOUND;
  if (text.find("cannot open shared object file: No such file") != std::string::npos) {
    return ERROR_MOD_NOT_FOUND;
  }
  return ERROR_BAD_EXE_FORMAT;
}

HMODULE Load(const std::string& windows_name) {
  t_module_error.clear();
  if (windows_name.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string mapped = MapModuleName(windows_name);
  if (mapped.size() >= PATH_MAX) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  bool has_directory = mapped.find('/') != std::string::npos;
  std::string path = mapped;
  if (!has_directory) {
    std::string local = LibraryDirectory() + "/" + mapped;
    if (FileExists(local)) {
      path = local;
      has_directory = true;
    }
  }
  ::dlerror();
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* text = ::dlerror();
    t_module_error = text ? text : "cannot load " + path;
    SetLastError(LoadErrorCode(t_module_error, path, has_directory));
    return nullptr;
  }
  std::string loaded_path = PathOfHandle(handle);
  try {
    std::lock_guard<std::mutex> lock(Modules().mutex);
    LoadedModule& entry = Modules().modules[handle];
    ++entry.loads;
    if (entry.path.empty()) entry.path = loaded_path;
  } catch (const std::bad_alloc&) {
    ::dlclose(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return handle;
}

// The recorded path of a module, main program included; false if unknown.
bool KnownModulePath(HMODULE module, std::string* path) {
  if (!module || module == MainProgram()) {
    *path = ExecutablePath();
    return !path->empty();
  }
  std::lock_guard<std::mutex> lock(Modules().mutex);
  auto it = Modules().modules.find(module);
  if (it == Modules().modules.end()) return false;
  *path = it->second.path;
  return true;
}

HMODULE FindLoaded(const std::string& windows_name) {
  std::string mapped = MapModuleName(windows_name);
  std::string file = mapped.substr(mapped.rfind('/') + 1);
  bool by_path = mapped.find('/') != std::string::npos;
  std::lock_guard<std::mutex> lock(Modules().mutex);
  for (const auto& [handle, entry] : Modules().modules) {
    if (by_path ? entry.path == Absolute(mapped)
                : entry.path.size() >= file.size() + 1 &&
                      entry.path.compare(entry.path.size() - file.size() - 1, std::string::npos,
                                         "/" + file) == 0) {
      return handle;
    }
  }
  return nullptr;
}

}  // namespace

std::string MapModuleName(std::string_view windows_name) {
  std::string name(windows_name);
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  size_t slash = name.rfind('/');
  std::string directory = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
  std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
  if (file.empty() || IsSharedObjectName(file)) return name;

  std::string stem;
  if (EndsWithIgnoreCase(file, ".dll")) {
    stem = ToLower(file.substr(0, file.size() - 4));
  } else if (file.find('.') == std::string::npos) {
    stem = ToLower(file);  // Windows appends ".dll" to a name without extension
  } else {
    return name;  // some other file: loaded as named
  }
  if (stem == "oleaut32" || stem == "ole32") return directory + "libkrplatform.so";
  if (stem == "krcl32") return directory + "libkrcl.so";
  if (stem.rfind("lib", 0) == 0) return directory + stem + ".so";
  return directory + "lib" + stem + ".so";
}

std::string LastModuleErrorText() { return t_module_error; }

bool ModulePathFromAddress(const void* address, std::string* path) {
  Dl_info info;
  struct link_map* map = nullptr;
  if (!address || !path ||
      ::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
    return false;
  }
  struct link_map* main_map = nullptr;
  if (MainProgram()) ::dlinfo(MainProgram(), RTLD_DI_LINKMAP, &main_map);
  if (!map || map == main_map || !map->l_name || !*map->l_name) {
    *path = ExecutablePath();
  } else {
    *path = Absolute(map->l_name);
  }
  return !path->empty();
}

std::string LibraryDirectory() {
  std::string self;
  if (!ModulePathFromAddress(reinterpret_cast<const void*>(&LibraryDirectory), &self)) return ".";
  size_t slash = self.rfind('/');
  return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}

}  // namespace krsoap::platform

using namespace krsoap::platform;

extern "C" HMODULE LoadLibraryA(LPCSTR file_name) {
  if (!file_name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    return Load(file_name);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

extern "C" HMODULE LoadLibraryW(LPCWSTR file_name) {
  if (!file_name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    return Load(Utf16ToUtf8(file_name));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

extern "C" FARPROC GetProcAddress(HMODULE module, LPCSTR proc_name) {
  t_module_error.clear();
  // Values below 64K are ordinals on Windows; there are none here.
  if (reinterpret_cast<uintptr_t>(proc_name) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = nullptr;
  {
    std::lock_guard<std::mutex> lock(Modules().mutex);
    void* handle = module ? module : MainProgram();
    if (module && module != MainProgram() &&
        Modules().modules.find(module) == Modules().modules.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    ::dlerror();
    symbol = ::dlsym(handle, proc_name);
    if (!symbol) {
      const char* text = ::dlerror();
      t_module_error = text ? text : std::string("undefined symbol: ") + proc_name;
    }
  }
  if (!symbol) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

extern "C" BOOL FreeLibrary(HMODULE module) {
  {
    std::lock_guard<std::mutex> lock(Modules().mutex);
    auto it = Modules().modules.find(module);
    if (!module || it == Modules().modules.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (--it->second.loads == 0) Modules().modules.erase(it);
  }
  // One dlclose per successful dlopen; the loader unloads after the last.
  if (::dlclose(module) != 0) {
    const char* text = ::dlerror();
    t_module_error = text ? text : "dlclose failed";
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

namespace {

template <typename Char>
DWORD CopyModulePath(HMODULE module, Char* out, DWORD size) {
  std::string path;
  if (!out) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!KnownModulePath(module, &path)) {
    SetLastError(module ? ERROR_INVALID_HANDLE : ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  size_t copied;
  size_t full;
  if constexpr (sizeof(Char) == 1) {
    copied = CopyToNarrowField(path, out, size);
    full = path.size();
  } else {
    std::u16string wide = Utf8ToUtf16(path);
    copied = CopyToWideField(wide, out, size);
    full = wide.size();
  }
  if (copied < full) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  SetLastError(ERROR_SUCCESS);
  return DWORD(copied);
}

HMODULE ModuleHandleByName(const std::string* name) {
  if (!name) return MainProgram();
  HMODULE found = FindLoaded(*name);
  if (!found) SetLastError(ERROR_MOD_NOT_FOUND);
  return found;
}

}  // namespace

extern "C" DWORD GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size) {
  try {
    return CopyModulePath(module, file_name, size);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

extern "C" DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  try {
    return CopyModulePath(module, file_name, size);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

extern "C" HMODULE GetModuleHandleA(LPCSTR module_name) {
  try {
    if (!module_name) return ModuleHandleByName(nullptr);
    std::string name(module_name);
    return ModuleHandleByName(&name);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

extern "C" HMODULE GetModuleHandleW(LPCWSTR module_name) {
  try {
    if (!module_name) return ModuleHandleByName(nullptr);
    std::string name = Utf16ToUtf8(module_name);
    return ModuleHandleByName(&name);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

namespace {
std::mutex& AfxLoaderLock() {
  static std::mutex* lock = new std::mutex;  // usable from destructors at exit
  return *lock;
}
}  // namespace

extern "C" HMODULE AfxLoadLibrary(LPCSTR file_name) {
  std::lock_guard<std::mutex> lock(AfxLoaderLock());
  return LoadLibraryA(file_name);
}

extern "C" BOOL AfxFreeLibrary(HMODULE module) {
  std::lock_guard<std::mutex> lock(AfxLoaderLock());
  return FreeLibrary(module);
}
