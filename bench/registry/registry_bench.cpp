// Registry benchmark: reads and writes of one value through the Win32 calls,
// from a process that keeps the key open, over a store in a throwaway data
// root. Prints reads/s (one thread and four), writes/s, and the cost of
// open + read + close. Set KRSOAP_REGISTRY_CACHE=0 to measure the store
// without the per-process read cache.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Runs `op` repeatedly for about `budget` seconds; returns operations/s.
template <typename Op>
double Rate(double budget, Op op) {
  long n = 0;
  auto start = Clock::now();
  double elapsed = 0;
  do {
    for (int i = 0; i < 256; ++i) op();
    n += 256;
    elapsed = Seconds(start);
  } while (elapsed < budget);
  return n / elapsed;
}

}  // namespace

int main() {
  char templ[] = "/tmp/krsoap-bench-XXXXXX";
  if (!mkdtemp(templ)) return 1;
  setenv("KRSOAP_HOME", templ, 1);

  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot create the key\n");
    return 1;
  }
  DWORD value = 1;
  RegSetValueExW(key, u"soapTrace", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);

  std::atomic<long> errors{0};
  auto read_one = [&] {
    DWORD v = 0, cb = 4;
    if (RegQueryValueExW(key, u"soapTrace", nullptr, nullptr, reinterpret_cast<LPBYTE>(&v), &cb) != ERROR_SUCCESS)
      ++errors;
  };
  read_one();
  const double reads = Rate(2.0, read_one);

  std::atomic<long> total{0};
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      long n = 0;
      auto t0 = Clock::now();
      while (Seconds(t0) < 2.0) {
        for (int i = 0; i < 256; ++i) read_one();
        n += 256;
      }
      total += n;
    });
  }
  for (auto& t : threads) t.join();
  const double reads4 = total / Seconds(start);

  DWORD counter = 0;
  const double writes = Rate(2.0, [&] {
    ++counter;
    if (RegSetValueExW(key, u"soapTrace", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&counter), 4) != ERROR_SUCCESS)
      ++errors;
  });

  const double open_read_close = Rate(1.0, [&] {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap", 0, KEY_READ, &k) != ERROR_SUCCESS) {
      ++errors;
      return;
    }
    DWORD v = 0, cb = 4;
    if (RegQueryValueExW(k, u"soapTrace", nullptr, nullptr, reinterpret_cast<LPBYTE>(&v), &cb) != ERROR_SUCCESS)
      ++errors;
    RegCloseKey(k);
  });

  RegCloseKey(key);
  const char* cache = getenv("KRSOAP_REGISTRY_CACHE");
  std::printf("registry benchmark (read cache %s)\n", cache && std::string(cache) == "0" ? "off" : "on");
  std::printf("  reads/s, one value, 1 thread:   %12.0f  (%.2f us/read; goal >= 200000)\n", reads, 1e6 / reads);
  std::printf("  reads/s, one value, 4 threads:  %12.0f\n", reads4);
  std::printf("  writes/s, one value:            %12.0f  (%.1f us/write)\n", writes, 1e6 / writes);
  std::printf("  open+read+close/s:              %12.0f\n", open_read_close);
  std::printf("  errors: %ld\n", errors.load());
  std::error_code ec;
  std::filesystem::remove_all(templ, ec);
  return errors ? 1 : 0;
}
