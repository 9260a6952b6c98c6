// Module resources (see resources.h): lookups in a module's embedded
// resource table.
#include "platform/com/resources.h"

#include "platform/module/module.h"
#include "platform/text/convert.h"

namespace krsoap::com {
namespace {

bool SameType(std::string_view a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return i == a.size() && !b[i];
}

}  // namespace

bool FindResource(const KrResourceTable* table, std::string_view type, uint32_t id, const uint8_t** data,
                  size_t* size) {
  if (!table || table->version != KR_RESOURCE_TABLE_VERSION || !table->entries) return false;
  for (uint32_t i = 0; i < table->count; ++i) {
    const KrResourceEntry& e = table->entries[i];
    if (e.id == id && e.type && SameType(type, e.type)) {
      if (data) *data = e.data;
      if (size) *size = e.size;
      return true;
    }
  }
  return false;
}

const KrResourceTable* ModuleResourceTable(void* module) {
  if (!module) return nullptr;
  auto fn = reinterpret_cast<KrModuleResourcesFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(module), KR_RESOURCE_EXPORT_NAME)));
  return fn ? fn() : nullptr;
}

std::u16string LoadResourceString(const KrResourceTable* table, uint32_t id) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (!FindResource(table, "STRING", id, &data, &size)) return {};
  return platform::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
}

std::map<std::string, std::string> LoadVersionBlock(const KrResourceTable* table) {
  std::map<std::string, std::string> block;
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (!FindResource(table, "VERSION", 1, &data, &size)) return block;
  // Name and value pairs, each zero-terminated.
  std::string_view all(reinterpret_cast<const char*>(data), size);
  while (!all.empty()) {
    size_t a = all.find('\0');
    if (a == std::string_view::npos) break;
    size_t b = all.find('\0', a + 1);
    if (b == std::string_view::npos) break;
    block.emplace(std::string(all.substr(0, a)), std::string(all.substr(a + 1, b - a - 1)));
    all.remove_prefix(b + 1);
  }
  return block;
}

}  // namespace krsoap::com
