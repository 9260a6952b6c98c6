// The emulated registry: the Win32 registry calls over krsoap's own store.
//
// Hives HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER (and the
// other predefined handles, which open as empty hives); keys with default and
// named values of type REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD and
// REG_BINARY. Names compare case-insensitively and keep the case they were
// created with, as on Windows. The calls return Win32 error codes
// (platform/win32/error_codes.h) and never throw. Strings given to the W calls
// are UTF-16; the A calls take UTF-8, the system ANSI code page here.
//
// The store lives under the data root and is shared by every process and
// thread of the machine; every call is atomic with respect to every other.
#pragma once

#include "platform/win32/error_codes.h"
#include "platform/win32/types.h"

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_PERFORMANCE_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000004))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))
#define HKEY_DYN_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000006))

// Access rights.
#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define SYNCHRONIZE 0x00100000u
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x00020019u
#define KEY_EXECUTE 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_ALL_ACCESS 0x000F003Fu

// Value types.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

// RegCreateKeyEx options and dispositions.
#define REG_OPTION_NON_VOLATILE 0x0u
#define REG_OPTION_VOLATILE 0x1u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

// Windows limits: a key name component is at most 255 characters, a value
// name at most 16,383 characters, a full key path at most 512 levels deep.
#define KR_REG_MAX_KEY_NAME 255
#define KR_REG_MAX_VALUE_NAME 16383

// A malformed key path (leading backslash, empty component).
#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161L
#endif

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

extern "C" {
KR_EXPORT LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM sam, PHKEY result);
KR_EXPORT LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM sam, PHKEY result);
KR_EXPORT LONG RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR cls, DWORD options,
                               REGSAM sam, void* security, PHKEY result, LPDWORD disposition);
KR_EXPORT LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR cls, DWORD options,
                               REGSAM sam, void* security, PHKEY result, LPDWORD disposition);
KR_EXPORT LONG RegCloseKey(HKEY key);
KR_EXPORT LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD cb_data);
KR_EXPORT LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD cb_data);
KR_EXPORT LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD cb_data);
KR_EXPORT LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD cb_data);
KR_EXPORT LONG RegDeleteKeyW(HKEY key, LPCWSTR sub_key);
KR_EXPORT LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key);
KR_EXPORT LONG RegDeleteTreeW(HKEY key, LPCWSTR sub_key);
KR_EXPORT LONG RegDeleteTreeA(HKEY key, LPCSTR sub_key);
KR_EXPORT LONG RegDeleteValueW(HKEY key, LPCWSTR name);
KR_EXPORT LONG RegDeleteValueA(HKEY key, LPCSTR name);
KR_EXPORT LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name, LPDWORD reserved,
                             LPWSTR cls, LPDWORD cch_class, FILETIME* last_write);
KR_EXPORT LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD cch_name, LPDWORD reserved,
                             LPSTR cls, LPDWORD cch_class, FILETIME* last_write);
KR_EXPORT LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD cch_name, LPDWORD reserved,
                             LPDWORD type, LPBYTE data, LPDWORD cb_data);
KR_EXPORT LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD cch_name, LPDWORD reserved,
                             LPDWORD type, LPBYTE data, LPDWORD cb_data);
KR_EXPORT LONG RegQueryInfoKeyW(HKEY key, LPWSTR cls, LPDWORD cch_class, LPDWORD reserved,
                                LPDWORD sub_keys, LPDWORD max_sub_key_len, LPDWORD max_class_len,
                                LPDWORD values, LPDWORD max_value_name_len, LPDWORD max_value_len,
                                LPDWORD security_descriptor, FILETIME* last_write);
// Convenience forms of the above (as the SDK's helpers): set and read the
// default value of a subkey, creating the key when setting.
KR_EXPORT LONG RegSetValueW(HKEY key, LPCWSTR sub_key, DWORD type, LPCWSTR data, DWORD cb_data);
KR_EXPORT LONG RegQueryValueW(HKEY key, LPCWSTR sub_key, LPWSTR data, LONG* cb_data);
}

namespace krsoap::platform {
// A REG_DWORD value `name` of key `root`\`sub_key`: true and *value when the
// key opens and the value is there, of that type and 4 bytes; false (and
// *value untouched) otherwise. For tuning values that fall back to a default.
KR_EXPORT bool ReadRegistryDword(HKEY root, LPCWSTR sub_key, LPCWSTR name, DWORD* value);
// The version of the current data root's registry, for values a caller keeps
// instead of reading them again: it differs once any process has committed a
// write to the registry, or the data root has changed. False when there is
// none to give (a write in flight, the read cache switched off, the store
// not usable): values read then are not to be kept.
struct RegistryVersion {
  uint64_t store = 0;
  uint64_t stamp = 0;
  bool operator==(const RegistryVersion& o) const { return store == o.store && stamp == o.stamp; }
};
KR_EXPORT bool CurrentRegistryVersion(RegistryVersion* version) noexcept;
}  // namespace krsoap::platform
