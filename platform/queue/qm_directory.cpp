// Queue manager definitions in the registry (see qm_directory.h).
#include "platform/queue/qm_directory.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "platform/queue/embedded_store.h"
#include "platform/registry/registry.h"

namespace krsoap::queue {
namespace {

constexpr const char* kRoot = "SOFTWARE\\Orvane\\KRSoap\\QueueManagers";

class Key {
 public:
  ~Key() {
    if (h_) RegCloseKey(h_);
  }
  LONG Open(const std::string& path, REGSAM sam) { return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, sam, &h_); }
  LONG Create(const std::string& path) {
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, &h_, nullptr);
  }
  bool ReadString(const char* value, std::string* out) {
    char buf[2048];
    DWORD type = 0, size = sizeof buf - 1;
    if (RegQueryValueExA(h_, value, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    buf[std::min<DWORD>(size, sizeof buf - 1)] = 0;
    *out = buf;
    return true;
  }
  LONG WriteString(const char* value, const std::string& s) {
    return RegSetValueExA(h_, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                          static_cast<DWORD>(s.size() + 1));
  }
  HKEY get() { return h_; }

 private:
  HKEY h_ = nullptr;
};

bool ValidChar(char c, bool slash) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '%' || (slash && c == '/');
}

std::string DefaultName() {
  Key root;
  std::string name;
  if (root.Open(kRoot, KEY_READ) == ERROR_SUCCESS) root.ReadString("Default", &name);
  return name;
}

}  // namespace

int32_t CheckQueueName(std::string_view name) {
  if (name.empty()) return KRRC_NAME_NOT_VALID;
  if (name.size() > KR_Q_NAME_LENGTH) return KRRC_NAME_TOO_LONG;
  for (char c : name)
    if (!ValidChar(c, true)) return KRRC_NAME_NOT_VALID;
  return KRRC_NONE;
}

int32_t CheckQmName(std::string_view name) {
  if (name.empty()) return KRRC_NAME_NOT_VALID;
  if (name.size() > KR_Q_MGR_NAME_LENGTH) return KRRC_NAME_TOO_LONG;
  bool all_dots = true;
  for (char c : name) {
    if (!ValidChar(c, false)) return KRRC_NAME_NOT_VALID;
    all_dots = all_dots && c == '.';
  }
  return all_dots ? KRRC_NAME_NOT_VALID : KRRC_NONE;
}

std::string FieldToName(const char* field, size_t width) {
  size_t n = strnlen(field, width);
  while (n > 0 && field[n - 1] == ' ') --n;
  return std::string(field, n);
}

void NameToField(const std::string& name, char* field, size_t width) {
  std::memset(field, 0, width);
  std::memcpy(field, name.data(), std::min(name.size(), width));
}

std::string IdToHex(const unsigned char* id, size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s(2 * n, '0');
  for (size_t i = 0; i < n; ++i) {
    s[2 * i] = kDigits[id[i] >> 4];
    s[2 * i + 1] = kDigits[id[i] & 0xF];
  }
  return s;
}

bool HexToId(const std::string& text, unsigned char* out, size_t width) {
  if (text.size() % 2 != 0 || text.size() > width * 2) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::memset(out, 0, width);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i / 2] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return true;
}

bool IsPgStore(const std::string& store) {
  return store.rfind("postgresql://", 0) == 0 || store.rfind("postgres://", 0) == 0;
}

int32_t ResolveQm(const std::string& requested, QmDefinition* out) {
  std::string name = requested;
  const std::string def = DefaultName();
  if (name.empty()) name = def;
  if (name.empty()) return KRRC_UNKNOWN_Q_MGR;
  if (int32_t rc = CheckQmName(name)) return rc;
  Key key;
  if (key.Open(std::string(kRoot) + "\\" + name, KEY_READ) != ERROR_SUCCESS) return KRRC_UNKNOWN_Q_MGR;
  QmDefinition d;
  if (!key.ReadString("Store", &d.store)) return KRRC_UNKNOWN_Q_MGR;
  if (!key.ReadString("Name", &d.name) || CheckQmName(d.name) != KRRC_NONE) d.name = name;
  d.is_default = !def.empty() && strcasecmp(def.c_str(), d.name.c_str()) == 0;
  *out = d;
  return KRRC_NONE;
}

int32_t ListQms(std::vector<QmDefinition>* out) {
  out->clear();
  Key root;
  if (root.Open(kRoot, KEY_READ) != ERROR_SUCCESS) return KRRC_NONE;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD len = sizeof name;
    LONG rc = RegEnumKeyExA(root.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    QmDefinition d;
    if (ResolveQm(name, &d) == KRRC_NONE) out->push_back(d);
  }
  return KRRC_NONE;
}

int32_t OpenStore(const QmDefinition& def, bool create, std::unique_ptr<Store>* out) {
  if (IsPgStore(def.store)) return OpenPgStore(def.name, def.store, create, out);
  if (def.store != "sqlite") return KRRC_Q_MGR_NOT_AVAILABLE;
  return OpenEmbeddedStore(def.name, create, out);
}

int32_t CreateQm(const std::string& name, const std::string& store, bool make_default) {
  if (int32_t rc = CheckQmName(name)) return rc;
  if (store != "sqlite" && !IsPgStore(store)) return KRRC_Q_MGR_NOT_AVAILABLE;
  QmDefinition existing;
  if (ResolveQm(name, &existing) == KRRC_NONE) return KRRC_OBJECT_ALREADY_EXISTS;
  QmDefinition d{name, store, make_default};
  std::unique_ptr<Store> s;
  if (int32_t rc = OpenStore(d, true, &s)) return rc;
  s.reset();
  Key key;
  if (key.Create(std::string(kRoot) + "\\" + name) != ERROR_SUCCESS) return KRRC_STORE_ERROR;
  if (key.WriteString("Store", store) != ERROR_SUCCESS || key.WriteString("Name", name) != ERROR_SUCCESS)
    return KRRC_STORE_ERROR;
  if (make_default) {
    Key root;
    if (root.Create(kRoot) != ERROR_SUCCESS || root.WriteString("Default", name) != ERROR_SUCCESS)
      return KRRC_STORE_ERROR;
  }
  return KRRC_NONE;
}

int32_t SetDefaultQm(const std::string& name) {
  QmDefinition d;
  if (name.empty()) return KRRC_NAME_NOT_VALID;
  if (int32_t rc = ResolveQm(name, &d)) return rc;
  Key root;
  if (root.Create(kRoot) != ERROR_SUCCESS || root.WriteString("Default", d.name) != ERROR_SUCCESS)
    return KRRC_STORE_ERROR;
  return KRRC_NONE;
}

int32_t DeleteQm(const std::string& name) {
  QmDefinition d;
  if (int32_t rc = ResolveQm(name, &d)) return rc;
  if (name.empty()) return KRRC_NAME_NOT_VALID;
  int32_t rc = IsPgStore(d.store) ? DestroyPgStore(d.name, d.store) : DestroyEmbeddedStore(d.name);
  if (rc != KRRC_NONE) return rc;
  {
    Key root;
    if (root.Open(kRoot, KEY_ALL_ACCESS) == ERROR_SUCCESS) {
      RegDeleteTreeA(root.get(), d.name.c_str());
      std::string def;
      if (root.ReadString("Default", &def) && strcasecmp(def.c_str(), d.name.c_str()) == 0)
        RegDeleteValueA(root.get(), "Default");
    }
  }
  return KRRC_NONE;
}

}  // namespace krsoap::queue
