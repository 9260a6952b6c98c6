// A separate process for the registry tests: writes, reads or holds the
// store while the test process does the same, so that the store is shared
// by real processes.
//
//   registry_helper write PREFIX COUNT      values PREFIX-0..COUNT-1 under HKLM\Conc
//   registry_helper blobs ID COUNT          rewrites HKLM\Conc "shared" COUNT times with
//                                           64 bytes of ID, checking every read is whole
//   registry_helper hold-lock FILE MS       holds the store's write lock for MS ms
//   registry_helper probe                   prints "read=<code> write=<code>"
//   registry_helper get NAME                prints the DWORD HKLM\Conc NAME or the error
// Exit code 0 on success; failures are printed.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/registry/registry.h"

namespace {

int Write(const char* prefix, int count) {
  HKEY key = nullptr;
  LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Conc", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (r) {
    std::printf("create failed %d\n", r);
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    std::string name = std::string(prefix) + "-" + std::to_string(i);
    DWORD v = static_cast<DWORD>(i);
    r = RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    if (r) {
      std::printf("set %s failed %d\n", name.c_str(), r);
      return 1;
    }
  }
  RegCloseKey(key);
  return 0;
}

int Blobs(int id, int count) {
  HKEY key = nullptr;
  LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Conc", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (r) return 1;
  unsigned char mine[64];
  std::memset(mine, id, sizeof mine);
  for (int i = 0; i < count; ++i) {
    r = RegSetValueExA(key, "shared", 0, REG_BINARY, mine, sizeof mine);
    if (r) {
      std::printf("set failed %d\n", r);
      return 1;
    }
    unsigned char got[64];
    DWORD cb = sizeof got;
    r = RegQueryValueExA(key, "shared", nullptr, nullptr, got, &cb);
    if (r || cb != 64) {
      std::printf("read failed %d cb=%u\n", r, cb);
      return 1;
    }
    for (unsigned char b : got) {
      if (b != got[0]) {
        std::printf("torn value\n");
        return 1;
      }
    }
  }
  RegCloseKey(key);
  return 0;
}

int HoldLock(const char* file, int ms) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file, &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return 1;
  if (sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE keys SET mtime = mtime WHERE id = 1;", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    std::printf("lock failed: %s\n", sqlite3_errmsg(db));
    return 1;
  }
  std::printf("locked\n");
  std::fflush(stdout);
  ::usleep(static_cast<useconds_t>(ms) * 1000);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return 0;
}

int Probe() {
  HKEY key = nullptr;
  LONG read = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Conc", 0, KEY_READ, &key);
  DWORD v = 0, cb = 4;
  if (!read) read = RegQueryValueExA(key, "probe", nullptr, nullptr, reinterpret_cast<LPBYTE>(&v), &cb);
  if (key) RegCloseKey(key);
  HKEY wkey = nullptr;
  LONG write = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Conc", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &wkey, nullptr);
  if (!write) {
    DWORD one = 1;
    write = RegSetValueExA(wkey, "probe2", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
    RegCloseKey(wkey);
  }
  LONG created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Brand\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &wkey, nullptr);
  if (!created) RegCloseKey(wkey);
  std::printf("read=%d value=%u write=%d create=%d\n", read, v, write, created);
  return 0;
}

int Get(const char* name) {
  HKEY key = nullptr;
  LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Conc", 0, KEY_READ, &key);
  DWORD v = 0, cb = 4;
  if (!r) r = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&v), &cb);
  if (key) RegCloseKey(key);
  if (r) {
    std::printf("error %d\n", r);
  } else {
    std::printf("%u\n", v);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && !std::strcmp(argv[1], "write")) return Write(argv[2], std::atoi(argv[3]));
  if (argc >= 4 && !std::strcmp(argv[1], "blobs")) return Blobs(std::atoi(argv[2]), std::atoi(argv[3]));
  if (argc >= 4 && !std::strcmp(argv[1], "hold-lock")) return HoldLock(argv[2], std::atoi(argv[3]));
  if (argc >= 2 && !std::strcmp(argv[1], "probe")) return Probe();
  if (argc >= 3 && !std::strcmp(argv[1], "get")) return Get(argv[2]);
  std::fprintf(stderr, "usage: registry_helper write|blobs|hold-lock|probe|get ...\n");
  return 2;
}
