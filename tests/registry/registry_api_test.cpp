// Tests of the Win32 registry calls against a real store in a throwaway data
// root: value round trips, the Windows buffer rules, names, keys, access
// rights, handles and limits.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/test_home.h"

namespace {

using krsoap::test::ScopedHome;

// Opens or creates a key and closes it at scope end.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (h_) RegCloseKey(h_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() { return &h_; }
  HKEY get() const { return h_; }
  HKEY release() {
    HKEY h = h_;
    h_ = nullptr;
    return h;
  }

 private:
  HKEY h_ = nullptr;
};

LONG Create(HKEY root, const char16_t* path, Key* key, REGSAM sam = KEY_ALL_ACCESS, DWORD* disp = nullptr) {
  return RegCreateKeyExW(root, path, 0, nullptr, 0, sam, nullptr, key->out(), disp);
}

std::string Bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

std::string Utf16Bytes(std::u16string_view s, bool terminator = true) {
  std::string out(reinterpret_cast<const char*>(s.data()), s.size() * 2);
  if (terminator) out.append(2, '\0');
  return out;
}

// Reads a value whole through the W call.
LONG ReadW(HKEY key, const char16_t* name, DWORD* type, std::string* data) {
  DWORD cb = 0;
  LONG r = RegQueryValueExW(key, name, nullptr, type, nullptr, &cb);
  if (r) return r;
  data->assign(cb, '\0');
  r = RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<LPBYTE>(data->data()), &cb);
  data->resize(cb);
  return r;
}

LONG ReadA(HKEY key, const char* name, DWORD* type, std::string* data) {
  DWORD cb = 0;
  LONG r = RegQueryValueExA(key, name, nullptr, type, nullptr, &cb);
  if (r) return r;
  data->assign(cb, '\0');
  r = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<LPBYTE>(data->data()), &cb);
  data->resize(cb);
  return r;
}

TEST(RegistryValues, EveryTypeRoundTripsThroughWideAndNarrowCalls) {
  ScopedHome home;
  Key k;
  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\Test", &k));

  const std::u16string sz = u"D:\\work \u00e9\u4e2d";
  const std::string sz_bytes = Utf16Bytes(sz);
  const std::string multi = Utf16Bytes(std::u16string(u"one\0two\0\0", 9), false);
  const DWORD dword = 0x01020304;
  const std::string bin("\x00\x01\xfe\xff", 4);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"sz", 0, REG_SZ, reinterpret_cast<const BYTE*>(sz_bytes.data()),
                                          static_cast<DWORD>(sz_bytes.size())));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"expand", 0, REG_EXPAND_SZ,
                                          reinterpret_cast<const BYTE*>(sz_bytes.data()),
                                          static_cast<DWORD>(sz_bytes.size())));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"multi", 0, REG_MULTI_SZ,
                                          reinterpret_cast<const BYTE*>(multi.data()), static_cast<DWORD>(multi.size())));
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExW(k.get(), u"dword", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), sizeof dword));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"bin", 0, REG_BINARY,
                                          reinterpret_cast<const BYTE*>(bin.data()), static_cast<DWORD>(bin.size())));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"empty", 0, REG_BINARY, nullptr, 0));

  DWORD type = 0;
  std::string data;
  ASSERT_EQ(ERROR_SUCCESS, ReadW(k.get(), u"sz", &type, &data));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(sz_bytes, data);
  ASSERT_EQ(ERROR_SUCCESS, ReadW(k.get(), u"expand", &type, &data));
  EXPECT_EQ(REG_EXPAND_SZ, type);
  ASSERT_EQ(ERROR_SUCCESS, ReadW(k.get(), u"multi", &type, &data));
  EXPECT_EQ(REG_MULTI_SZ, type);
  EXPECT_EQ(multi, data);
  ASSERT_EQ(ERROR_SUCCESS, ReadW(k.get(), u"dword", &type, &data));
  EXPECT_EQ(REG_DWORD, type);
  EXPECT_EQ(Bytes(&dword, 4), data);
  ASSERT_EQ(ERROR_SUCCESS, ReadW(k.get(), u"bin", &type, &data));
  EXPECT_EQ(bin, data);
  ASSERT_EQ(ERROR_SUCCESS, ReadW(k.get(), u"empty", &type, &data));
  EXPECT_EQ(REG_BINARY, type);
  EXPECT_TRUE(data.empty());

  // The narrow calls see strings in UTF-8 and everything else unchanged.
  ASSERT_EQ(ERROR_SUCCESS, ReadA(k.get(), "sz", &type, &data));
  EXPECT_EQ(std::string("D:\\work \xc3\xa9\xe4\xb8\xad", 13) + '\0', data);
  ASSERT_EQ(ERROR_SUCCESS, ReadA(k.get(), "multi", &type, &data));
  EXPECT_EQ(std::string("one\0two\0\0", 9), data);
  ASSERT_EQ(ERROR_SUCCESS, ReadA(k.get(), "dword", &type, &data));
  EXPECT_EQ(Bytes(&dword, 4), data);

  // And what the narrow calls write, the wide calls read as UTF-16.
  const char narrow[] = "caf\xc3\xa9";
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExA(k.get(), "fromA", 0, REG_SZ, reinterpret_cast<const BYTE*>(narrow), sizeof narrow));
  ASSERT_EQ(ERROR_SUCCESS, ReadW(k.get(), u"fromA", &type, &data));
  EXPECT_EQ(Utf16Bytes(u"caf\u00e9"), data);
  const char bin_a[] = "\xff\x00\xc3";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k.get(), "binA", 0, REG_BINARY, reinterpret_cast<const BYTE*>(bin_a), 3));
  ASSERT_EQ(ERROR_SUCCESS, ReadW(k.get(), u"binA", &type, &data));
  EXPECT_EQ(std::string(bin_a, 3), data);
}

TEST(RegistryValues, ValuesPersistAcrossHandlesAndDefaultValueHasEmptyName) {
  ScopedHome home;
  {
    Key k;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CLASSES_ROOT, u"Halvex.Thing", &k));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueW(HKEY_CLASSES_ROOT, u"Halvex.Thing\\CLSID", REG_SZ, u"{1234}", 0));
    const std::string d = Utf16Bytes(u"Thing Class");
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(k.get(), u"", 0, REG_SZ, reinterpret_cast<const BYTE*>(d.data()), static_cast<DWORD>(d.size())));
  }
  Key k;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Halvex.Thing", 0, KEY_READ, k.out()));
  DWORD type = 0;
  std::string data;
  // NULL and "" both name the default value.
  ASSERT_EQ(ERROR_SUCCESS, ReadW(k.get(), nullptr, &type, &data));
  EXPECT_EQ(Utf16Bytes(u"Thing Class"), data);
  char16_t buf[32];
  LONG cb = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueW(k.get(), u"CLSID", buf, &cb));
  EXPECT_EQ(std::u16string(u"{1234}"), std::u16string(buf));
  EXPECT_EQ(14, cb);
  // A key without a default value reads as the empty string here.
  Key sub;
  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CLASSES_ROOT, u"Halvex.Thing\\Empty", &sub));
  cb = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueW(k.get(), u"Empty", buf, &cb));
  EXPECT_EQ(2, cb);
  EXPECT_EQ(u'\0', buf[0]);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueW(k.get(), u"Missing", buf, &cb));
}

TEST(RegistryBuffers, SizeQueriesShortBuffersAndFixedWidthReads) {
  ScopedHome home;
  Key k;
  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap", &k));
  const std::string one = Utf16Bytes(u"1");  // 4 bytes with the terminator
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"soapTrace", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(one.data()), static_cast<DWORD>(one.size())));

  // No buffer: the size, and success.
  DWORD type = 99, cb = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.get(), u"soapTrace", nullptr, &type, nullptr, &cb));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(4u, cb);
  // Neither buffer nor size: an existence test.
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.get(), u"soapTrace", nullptr, nullptr, nullptr, nullptr));
  // A buffer without a size is a bad parameter.
  DWORD word = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegQueryValueExW(k.get(), u"soapTrace", nullptr, nullptr, reinterpret_cast<LPBYTE>(&word), nullptr));

  // A one-character string read as 4 bytes into a number preset to 0: '1'
  // and the terminator, so the number is nonzero.
  word = 0;
  cb = sizeof word;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.get(), u"soapTrace", nullptr, nullptr, reinterpret_cast<LPBYTE>(&word), &cb));
  EXPECT_EQ(0x31u, word);

  // A longer string does not fit: ERROR_MORE_DATA, the size needed, and the
  // buffer left alone.
  const std::string ten = Utf16Bytes(u"10");
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"soapTrace", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(ten.data()), static_cast<DWORD>(ten.size())));
  word = 0;
  cb = sizeof word;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(k.get(), u"soapTrace", nullptr, nullptr, reinterpret_cast<LPBYTE>(&word), &cb));
  EXPECT_EQ(6u, cb);
  EXPECT_EQ(0u, word);

  // A 300-character path read into a 512-byte buffer does not fit either; a
  // 255-character one (512 bytes with the terminator) does exactly.
  const std::u16string long_path(300, u'x');
  const std::string lp = Utf16Bytes(long_path);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"WorkPath", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(lp.data()), static_cast<DWORD>(lp.size())));
  char16_t path[256];
  cb = sizeof path;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(k.get(), u"WorkPath", nullptr, nullptr, reinterpret_cast<LPBYTE>(path), &cb));
  EXPECT_EQ(602u, cb);
  const std::string fit = Utf16Bytes(std::u16string(255, u'y'));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"WorkPath", 0, REG_EXPAND_SZ,
                                          reinterpret_cast<const BYTE*>(fit.data()), static_cast<DWORD>(fit.size())));
  cb = sizeof path;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.get(), u"WorkPath", nullptr, &type, reinterpret_cast<LPBYTE>(path), &cb));
  EXPECT_EQ(512u, cb);
  EXPECT_EQ(REG_EXPAND_SZ, type);
  EXPECT_EQ(std::u16string(255, u'y'), std::u16string(path));

  // A DWORD read into a string buffer gives its 4 raw bytes.
  const DWORD seven = 7;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"WorkPath", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), 4));
  cb = sizeof path;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.get(), u"WorkPath", nullptr, nullptr, reinterpret_cast<LPBYTE>(path), &cb));
  EXPECT_EQ(4u, cb);

  // A string stored without its terminator comes back without one.
  const std::string bare = Utf16Bytes(u"ab", false);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(bare.data()), 4));
  std::string data;
  ASSERT_EQ(ERROR_SUCCESS, ReadW(k.get(), u"bare", &type, &data));
  EXPECT_EQ(bare, data);

  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(k.get(), u"nothing", nullptr, nullptr, nullptr, &cb));
  DWORD reserved = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(k.get(), u"bare", &reserved, nullptr, nullptr, &cb));
}

TEST(RegistryNames, CompareWithoutCaseAndKeepTheirCase) {
  ScopedHome home;
  Key k;
  DWORD disp = 0;
  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"Software\\MixedCase\\\u00c9t\u00e9", &k, KEY_ALL_ACCESS, &disp));
  EXPECT_EQ(REG_CREATED_NEW_KEY, disp);
  Key again;
  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\mixedcase\\\u00e9T\u00c9", &again, KEY_ALL_ACCESS, &disp));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, disp);

  const DWORD one = 1, two = 2;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"ValueName", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4));
  // Setting through another spelling updates the same value, which keeps its
  // first spelling.
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(again.get(), u"VALUENAME", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), 4));
  DWORD got = 0, cb = 4;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k.get(), u"valuename", nullptr, nullptr, reinterpret_cast<LPBYTE>(&got), &cb));
  EXPECT_EQ(2u, got);
  char16_t name[64];
  DWORD cch = 64;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumValueW(k.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::u16string(u"ValueName"), std::u16string(name));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueW(k.get(), 1, name, &cch, nullptr, nullptr, nullptr, nullptr));

  Key sw;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software", 0, KEY_READ, sw.out()));
  cch = 64;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(sw.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::u16string(u"MixedCase"), std::u16string(name));
  EXPECT_EQ(9u, cch);
}

TEST(RegistryKeys, DeleteKeyRefusesSubkeysAndDeleteTreeRemovesEverything) {
  ScopedHome home;
  {
    Key a, b;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CLASSES_ROOT, u"CLSID\\{C}\\InprocServer32", &a));
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CLASSES_ROOT, u"CLSID\\{C}\\ProgID", &b));
    const DWORD v = 5;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(a.get(), u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
  }
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{C}"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{C}\\ProgID"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{C}\\ProgID"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, u"CLSID\\{C}"));
  Key gone;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{C}", 0, KEY_READ, gone.out()));
  EXPECT_EQ(nullptr, gone.get());
  Key clsid;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, KEY_READ, clsid.out()));
  DWORD subkeys = 9, values = 9;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(clsid.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                            nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0u, subkeys);
  EXPECT_EQ(0u, values);
  // The hive roots cannot be deleted.
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_CLASSES_ROOT, u""));

  // DeleteTree without a subkey empties the key but keeps it.
  Key t;
  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, u"T\\x\\y", &t));
  Key top;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, u"T", 0, KEY_ALL_ACCESS, top.out()));
  const DWORD v = 1;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(top.get(), u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(top.get(), nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(top.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                            nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0u, subkeys);
  EXPECT_EQ(0u, values);
}

TEST(RegistryKeys, HandleToADeletedKeyReportsKeyDeleted) {
  ScopedHome home;
  Key k;
  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"Doomed", &k));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Doomed"));
  const DWORD v = 1;
  EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExW(k.get(), u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
  DWORD cb = 4;
  EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExW(k.get(), u"v", nullptr, nullptr, nullptr, &cb));
  Key child;
  EXPECT_EQ(ERROR_KEY_DELETED, Create(k.get(), u"child", &child));
  // A new key of the same name is a different key.
  Key fresh;
  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"Doomed", &fresh));
  EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExW(k.get(), u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(k.release()));
}

TEST(RegistryKeys, EnumerationIndexesNamesAndBufferSizes) {
  ScopedHome home;
  Key root;
  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"Enum", &root));
  for (const char16_t* n : {u"beta", u"Alpha", u"gamma-long-name"}) {
    Key c;
    ASSERT_EQ(ERROR_SUCCESS, Create(root.get(), n, &c));
  }
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    char16_t buf[64];
    DWORD cch = 64;
    LONG r = RegEnumKeyExW(root.get(), i, buf, &cch, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, r);
    names.emplace_back(buf, cch);
  }
  EXPECT_EQ((std::vector<std::u16string>{u"Alpha", u"beta", u"gamma-long-name"}), names);
  char16_t small[5];
  DWORD cch = 5;  // "Alpha" needs 6 with the terminator
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(root.get(), 0, small, &cch, nullptr, nullptr, nullptr, nullptr));
  char narrow[16];
  cch = sizeof narrow;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(root.get(), 1, narrow, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_STREQ("beta", narrow);

  const std::string data = Utf16Bytes(u"hello");
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(root.get(), u"first", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()), 12));
  const DWORD v = 3;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(root.get(), u"second", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
  char16_t name[16];
  DWORD cch_name = 16, type = 0, cb = 4;
  BYTE buf[4];
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(root.get(), 0, name, &cch_name, nullptr, &type, buf, &cb));
  EXPECT_EQ(12u, cb);
  cch_name = 16;
  cb = 4;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumValueW(root.get(), 1, name, &cch_name, nullptr, &type, buf, &cb));
  EXPECT_EQ(std::u16string(u"second"), std::u16string(name, cch_name));
  EXPECT_EQ(REG_DWORD, type);
  char nname[16];
  DWORD ncch = sizeof nname;
  char sdata[16];
  cb = sizeof sdata;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(root.get(), 0, nname, &ncch, nullptr, &type, reinterpret_cast<LPBYTE>(sdata), &cb));
  EXPECT_STREQ("first", nname);
  EXPECT_EQ(6u, cb);
  EXPECT_STREQ("hello", sdata);

  DWORD subkeys = 0, max_sub = 0, values = 0, max_name = 0, max_len = 0;
  FILETIME ft{};
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(root.get(), nullptr, nullptr, nullptr, &subkeys, &max_sub, nullptr, &values,
                                            &max_name, &max_len, nullptr, &ft));
  EXPECT_EQ(3u, subkeys);
  EXPECT_EQ(15u, max_sub);
  EXPECT_EQ(2u, values);
  EXPECT_EQ(6u, max_name);
  EXPECT_EQ(12u, max_len);
  EXPECT_NE(0u, ft.dwHighDateTime);
}

TEST(RegistryAccess, RightsOfTheHandleAreEnforced) {
  ScopedHome home;
  {
    Key k;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"Acl\\Sub", &k));
  }
  const DWORD v = 1;
  Key ro;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Acl", 0, KEY_READ, ro.out()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExW(ro.get(), u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueW(ro.get(), u"v"));
  Key newchild;
  EXPECT_EQ(ERROR_ACCESS_DENIED, Create(ro.get(), u"New", &newchild));
  // Opening an existing subkey through a read-only parent is fine.
  Key existing;
  EXPECT_EQ(ERROR_SUCCESS, Create(ro.get(), u"Sub", &existing));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteTreeW(ro.get(), u"Sub"));

  Key wo;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Acl", 0, KEY_SET_VALUE, wo.out()));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(wo.get(), u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
  DWORD cb = 4;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExW(wo.get(), u"v", nullptr, nullptr, nullptr, &cb));
  char16_t name[8];
  DWORD cch = 8;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegEnumKeyExW(wo.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  Key generic;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Acl", 0, 0x80000000u /* GENERIC_READ */, generic.out()));
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(generic.get(), u"v", nullptr, nullptr, nullptr, &cb));
}

TEST(RegistryHandles, ClosedNullAndForgedHandlesAreRejected) {
  ScopedHome home;
  Key k;
  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"H", &k));
  HKEY h = k.release();
  ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(h));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(h));
  DWORD cb = 4;
  const DWORD v = 1;
  for (HKEY bad : {h, static_cast<HKEY>(nullptr), reinterpret_cast<HKEY>(0x1234), reinterpret_cast<HKEY>(&cb)}) {
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(bad, u"v", nullptr, nullptr, nullptr, &cb));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExW(bad, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
    HKEY out = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(bad, u"x", 0, KEY_READ, &out));
    EXPECT_EQ(nullptr, out);
  }
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"H", 0, KEY_READ, nullptr));
}

TEST(RegistryLimits, PathsAndNamesOverTheLimitsAreRefused) {
  ScopedHome home;
  Key k;
  EXPECT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, (std::u16string(255, u'k')).c_str(), &k));
  Key too_long;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, Create(HKEY_LOCAL_MACHINE, (std::u16string(256, u'k')).c_str(), &too_long));
  Key lead, dbl, trail;
  EXPECT_EQ(ERROR_BAD_PATHNAME, Create(HKEY_LOCAL_MACHINE, u"\\Lead", &lead));
  EXPECT_EQ(ERROR_BAD_PATHNAME, Create(HKEY_LOCAL_MACHINE, u"A\\\\B", &dbl));
  EXPECT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"Trail\\", &trail));
  Key opened;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Trail", 0, KEY_READ, opened.out()));

  std::u16string deep;
  for (int i = 0; i < 513; ++i) deep += u"d\\";
  Key too_deep;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, Create(HKEY_LOCAL_MACHINE, deep.c_str(), &too_deep));

  const std::u16string name(16384, u'n');
  const DWORD v = 1;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExW(k.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
  EXPECT_EQ(ERROR_SUCCESS,
            RegSetValueExW(k.get(), name.substr(1).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
  std::string big((1u << 20) + 1, 'b');
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExW(k.get(), u"big", 0, REG_BINARY, reinterpret_cast<const BYTE*>(big.data()),
                                                    static_cast<DWORD>(big.size())));
  big.pop_back();
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), u"big", 0, REG_BINARY, reinterpret_cast<const BYTE*>(big.data()),
                                          static_cast<DWORD>(big.size())));
  EXPECT_EQ(ERROR_NOACCESS, RegSetValueExW(k.get(), u"null", 0, REG_BINARY, nullptr, 4));
}

TEST(RegistryStoreFiles, ReadsOfAMissingStoreCreateNothingAndWritesCreateOwnerOnlyFiles) {
  ScopedHome home;
  const std::string root = home.path() + "/sub/root";
  setenv("KRSOAP_HOME", root.c_str(), 1);
  Key k;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane", 0, KEY_READ, k.out()));
  DWORD cb = 4;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(HKEY_LOCAL_MACHINE, u"x", nullptr, nullptr, nullptr, &cb));
  char16_t name[8];
  DWORD cch = 8;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  struct stat st;
  EXPECT_NE(0, ::stat(root.c_str(), &st));

  ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane", &k));
  ASSERT_EQ(0, ::stat(root.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  ASSERT_EQ(0, ::stat((root + "/registry.db").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

}  // namespace
