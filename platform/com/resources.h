// Module resources: the registry scripts, type library, string table and
// version block that a module carries inside its own file.
//
// The build turns a module's resource list into a generated source of byte
// arrays (krcomgen res) whose one exported function, KrModuleResources,
// returns the table below. Code outside the module finds the table through
// the loaded module; code inside it may call KrModuleResources directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/win32/types.h"

#define KR_RESOURCE_TABLE_VERSION 1u
#define KR_RESOURCE_EXPORT_NAME "KrModuleResources"

extern "C" {
struct KrResourceEntry {
  const char* type;  // "REGISTRY", "TYPELIB", "STRING", "VERSION"
  uint32_t id;
  const unsigned char* data;  // followed by a zero byte not counted in size
  size_t size;
};
struct KrResourceTable {
  uint32_t version;
  uint32_t count;
  const KrResourceEntry* entries;
};
typedef const KrResourceTable* (*KrModuleResourcesFn)();
}

namespace krsoap::com {

// Finds a resource by type (compared without regard to case) and id.
// Returns false when the table has none.
bool FindResource(const KrResourceTable* table, std::string_view type, uint32_t id, const uint8_t** data,
                  size_t* size);

// The resource table of a loaded module (a handle from LoadLibrary), or
// nullptr when the module carries none.
const KrResourceTable* ModuleResourceTable(void* module);

// A string table entry as UTF-16; empty when missing.
std::u16string LoadResourceString(const KrResourceTable* table, uint32_t id);

// The version block (name -> value, such as "FileVersion" -> "1.0.0.1").
std::map<std::string, std::string> LoadVersionBlock(const KrResourceTable* table);

}  // namespace krsoap::com
