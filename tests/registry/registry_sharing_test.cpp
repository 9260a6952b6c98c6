// The registry store shared by several processes and threads, and the store
// in bad shape: locked by another process, corrupt, read-only, switched to
// another data root.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/registry/child_process.h"
#include "tests/support/test_home.h"

namespace {

using krsoap::test::BinDir;
using krsoap::test::ChildOptions;
using krsoap::test::ReadFile;
using krsoap::test::RunChild;
using krsoap::test::RunningChild;
using krsoap::test::ScopedHome;

std::string Helper() { return BinDir() + "/registry_helper"; }

HKEY CreateKey(const char* path) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  return key;
}

LONG SetDword(HKEY key, const char* name, DWORD v) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
}

LONG GetDword(HKEY key, const char* name, DWORD* v) {
  DWORD cb = 4;
  return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(v), &cb);
}

// A 64-byte value is whole when all its bytes are equal.
bool Whole(HKEY key) {
  unsigned char got[64];
  DWORD cb = sizeof got;
  LONG r = RegQueryValueExA(key, "shared", nullptr, nullptr, got, &cb);
  if (r == ERROR_FILE_NOT_FOUND) return true;
  if (r || cb != 64) return false;
  for (unsigned char b : got) {
    if (b != got[0]) return false;
  }
  return true;
}

TEST(RegistrySharing, WritersInSeveralProcessesLoseNothingAndTearNothing) {
  ScopedHome home;
  HKEY key = CreateKey("Conc");
  std::vector<std::unique_ptr<std::thread>> runners;
  std::vector<int> codes(6, -1);
  std::vector<std::string> outputs(6);
  for (int p = 0; p < 6; ++p) {
    runners.push_back(std::make_unique<std::thread>([&, p] {
      std::vector<std::string> argv = p < 4 ? std::vector<std::string>{Helper(), "write", "p" + std::to_string(p), "500"}
                                            : std::vector<std::string>{Helper(), "blobs", std::to_string(p), "200"};
      auto r = RunChild(argv);
      codes[p] = r.exit_code;
      outputs[p] = r.out + r.err;
    }));
  }
  // Meanwhile this process reads the value the others keep rewriting.
  bool whole = true;
  for (int i = 0; i < 2000 && whole; ++i) whole = Whole(key);
  for (auto& t : runners) t->join();
  EXPECT_TRUE(whole);
  for (int p = 0; p < 6; ++p) EXPECT_EQ(0, codes[p]) << outputs[p];

  DWORD values = 0;
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(2001u, values);
  for (int p = 0; p < 4; ++p) {
    for (int i = 0; i < 500; i += 7) {
      DWORD v = 0xFFFF;
      std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
      ASSERT_EQ(ERROR_SUCCESS, GetDword(key, name.c_str(), &v)) << name;
      EXPECT_EQ(static_cast<DWORD>(i), v);
    }
  }
  EXPECT_TRUE(Whole(key));
  RegCloseKey(key);
}

TEST(RegistrySharing, ManyThreadsReadAndWriteOneProcessStore) {
  ScopedHome home;
  HKEY key = CreateKey("Conc");
  std::atomic<bool> torn{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      // Each writer has its own handle, as separate callers would.
      HKEY mine = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Conc", 0, KEY_ALL_ACCESS, &mine)) {
        ++failures;
        return;
      }
      unsigned char blob[64];
      std::memset(blob, t + 1, sizeof blob);
      for (int i = 0; i < 150; ++i) {
        std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
        if (SetDword(mine, name.c_str(), static_cast<DWORD>(i))) ++failures;
        if (RegSetValueExA(mine, "shared", 0, REG_BINARY, blob, sizeof blob)) ++failures;
      }
      RegCloseKey(mine);
    });
  }
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 400; ++i) {
        if (!Whole(key)) torn = true;
        DWORD v;
        LONG r = GetDword(key, "t0-5", &v);
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) ++failures;
        char name[32];
        DWORD cch = sizeof name;
        r = RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
        // Readers may run before any writer has written its first value.
        if (r != ERROR_SUCCESS && r != ERROR_NO_MORE_ITEMS) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn.load());
  EXPECT_EQ(0, failures.load());
  DWORD values = 0;
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(601u, values);
  RegCloseKey(key);
}

TEST(RegistrySharing, AReaderSeesWritesOfOtherProcessesAtOnce) {
  ScopedHome home;
  HKEY key = CreateKey("Conc");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "x-2", 99));
  DWORD v = 0;
  // Read twice: the second read may come from this process's cache.
  ASSERT_EQ(ERROR_SUCCESS, GetDword(key, "x-2", &v));
  ASSERT_EQ(ERROR_SUCCESS, GetDword(key, "x-2", &v));
  EXPECT_EQ(99u, v);
  ASSERT_EQ(0, RunChild({Helper(), "write", "x", "3"}).exit_code);
  ASSERT_EQ(ERROR_SUCCESS, GetDword(key, "x-2", &v));
  EXPECT_EQ(2u, v);
  // And a deletion elsewhere is seen too.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "x-1"));
  EXPECT_EQ("error 2\n", RunChild({Helper(), "get", "x-1"}).out);
  EXPECT_EQ("0\n", RunChild({Helper(), "get", "x-0"}).out);
  RegCloseKey(key);
}

TEST(RegistryStoreFaults, AStoreLockedByAnotherProcessGivesBusyNotAHang) {
  ScopedHome home;
  HKEY key = CreateKey("Conc");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "before", 1));
  setenv("KRSOAP_REGISTRY_BUSY_MS", "200", 1);
  {
    RunningChild holder({Helper(), "hold-lock", home.path() + "/registry.db", "1500"});
    ASSERT_EQ("locked", holder.ReadLine());
    EXPECT_EQ(ERROR_BUSY, SetDword(key, "during", 2));
    HKEY other = nullptr;
    EXPECT_EQ(ERROR_BUSY,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Conc\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr));
    // Readers are not held up by a writer.
    DWORD v = 0;
    EXPECT_EQ(ERROR_SUCCESS, GetDword(key, "before", &v));
    EXPECT_EQ(1u, v);
    EXPECT_EQ(0, holder.Wait());
  }
  unsetenv("KRSOAP_REGISTRY_BUSY_MS");
  EXPECT_EQ(ERROR_SUCCESS, SetDword(key, "after", 3));
  DWORD v = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetDword(key, "during", &v));
  RegCloseKey(key);
}

TEST(RegistryStoreFaults, ACorruptStoreIsReportedAndLeftAlone) {
  for (int variant = 0; variant < 3; ++variant) {
    ScopedHome home;
    std::string garbage(8192, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    if (variant == 2) {
      // Emptied after it was written (the stamp tells): not a fresh store
      // to start over in.
      garbage.clear();
      std::ofstream(home.path() + "/registry.stamp", std::ios::binary) << std::string(4096, '\0');
    }
    if (variant == 1) {
      // A valid header over pages that are not.
      const char kMagic[] = "SQLite format 3";
      std::memcpy(garbage.data(), kMagic, sizeof kMagic);
      garbage[16] = 0x10;  // page size 4096
      garbage[17] = 0x00;
      garbage[18] = garbage[19] = 1;
      garbage[21] = 64;
      garbage[22] = 32;
      garbage[23] = 32;
    }
    const std::string db = home.path() + "/registry.db";
    {
      std::ofstream out(db, std::ios::binary);
      out << garbage;
    }
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_REGISTRY_CORRUPT, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key)) << variant;
    EXPECT_EQ(ERROR_REGISTRY_CORRUPT,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        << variant;
    DWORD v = 1;
    EXPECT_EQ(ERROR_REGISTRY_CORRUPT, SetDword(HKEY_LOCAL_MACHINE, "x", v)) << variant;
    EXPECT_EQ(garbage, ReadFile(db)) << variant;
    // Another process meets the same answer, without a crash.
    auto r = RunChild({Helper(), "probe"});
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("read=1015 value=0 write=1015 create=1015\n", r.out);
    EXPECT_EQ(garbage, ReadFile(db)) << variant;
  }
}

// A data root that someone other than its user (or root) could change is
// refused by every registry call of every process: a registry planted there
// names the libraries a root-run host loads. Owners and write bits count for
// the data root and for every directory above it; a root-owned sticky
// directory above it (as /tmp) is fine.
TEST(RegistryStoreFaults, ADataRootOthersCouldChangeIsRefused) {
  ScopedHome home;
  const std::string root = home.path() + "/root";
  ::setenv("KRSOAP_HOME", root.c_str(), 1);
  HKEY key = CreateKey("Conc");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "probe", 42));
  RegCloseKey(key);
  const std::string usable = "read=0 value=42 write=0 create=0\n";
  const std::string refused = "read=5 value=0 write=5 create=5\n";
  ASSERT_EQ(usable, RunChild({Helper(), "probe"}).out);
  const bool as_root = ::geteuid() == 0;  // only root can hand a directory to another user
  struct passwd* nobody = ::getpwnam("nobody");
  const uid_t other = nobody ? nobody->pw_uid : 0;
  const struct {
    const char* what;
    std::string dir;
    mode_t mode;
    uid_t owner;
    const std::string& expect;
  } cases[] = {
      {"world-writable data root", root, 0777, 0, refused},
      {"group-writable data root", root, 0770, 0, refused},
      {"sticky world-writable data root", root, 01777, 0, refused},
      {"data root of another user", root, 0700, other, refused},
      {"world-writable directory above", home.path(), 0777, 0, refused},
      {"group-writable directory above", home.path(), 0770, 0, refused},
      {"directory above of another user", home.path(), 0755, other, refused},
      {"root-owned sticky directory above", home.path(), 01777, 0, as_root ? usable : refused},
  };
  for (const auto& c : cases) {
    if (c.owner && (!as_root || !nobody)) continue;
    ASSERT_EQ(0, ::chmod(c.dir.c_str(), c.mode)) << c.what;
    if (c.owner) ASSERT_EQ(0, ::chown(c.dir.c_str(), c.owner, static_cast<gid_t>(-1))) << c.what;
    auto r = RunChild({Helper(), "probe"});
    if (c.owner) ::chown(c.dir.c_str(), ::geteuid(), static_cast<gid_t>(-1));
    ::chmod(c.dir.c_str(), 0700);
    EXPECT_EQ(c.expect, r.out) << c.what << r.err;
  }
  EXPECT_EQ(usable, RunChild({Helper(), "probe"}).out);
}

TEST(RegistryStoreFaults, AReadOnlyDataRootStillReadsButRefusesWrites) {
  ScopedHome home;
  HKEY key = CreateKey("Conc");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "probe", 42));
  RegCloseKey(key);

  ChildOptions options;
  if (::geteuid() == 0) {
    // Root ignores permissions; meet them as an unprivileged user.
    struct passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nullptr, nobody);
    options.uid = nobody->pw_uid;
    options.gid = nobody->pw_gid;
    for (const char* f : {"", "/registry.db", "/registry.db-wal", "/registry.db-shm", "/registry.stamp"}) {
      std::string p = home.path() + f;
      if (::access(p.c_str(), F_OK) == 0) {
        ASSERT_EQ(0, ::chown(p.c_str(), options.uid, options.gid)) << p;
      }
    }
  }
  for (const char* f : {"/registry.db", "/registry.db-wal", "/registry.db-shm", "/registry.stamp"}) {
    std::string p = home.path() + f;
    if (::access(p.c_str(), F_OK) == 0) ::chmod(p.c_str(), 0400);
  }
  ASSERT_EQ(0, ::chmod(home.path().c_str(), 0500));
  auto r = RunChild({Helper(), "probe"}, options);
  ::chmod(home.path().c_str(), 0700);
  if (options.uid != 0 && (r.exit_code == 126 || r.exit_code == 127)) {
    // The build tree lies where the unprivileged user cannot reach it (a
    // home directory of mode 0700, for instance).
    GTEST_SKIP() << "the helper cannot run as an unprivileged user from this build tree";
  }
  EXPECT_EQ(0, r.exit_code) << r.err;
  EXPECT_EQ("read=0 value=42 write=5 create=5\n", r.out) << r.err;
}

TEST(RegistryStoreFaults, TheStoreFollowsTheDataRoot) {
  ScopedHome first;
  HKEY key = CreateKey("Switch");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "where", 1));
  {
    ScopedHome second;
    HKEY other = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Switch", 0, KEY_READ, &other));
    HKEY created = CreateKey("Switch");
    ASSERT_EQ(ERROR_SUCCESS, SetDword(created, "where", 2));
    RegCloseKey(created);
    // A handle opened before the switch stays with its own store.
    DWORD v = 0;
    ASSERT_EQ(ERROR_SUCCESS, GetDword(key, "where", &v));
    EXPECT_EQ(1u, v);
  }
  HKEY again = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Switch", 0, KEY_READ, &again));
  DWORD v = 0;
  ASSERT_EQ(ERROR_SUCCESS, GetDword(again, "where", &v));
  EXPECT_EQ(1u, v);
  RegCloseKey(again);
  RegCloseKey(key);
}

}  // namespace
