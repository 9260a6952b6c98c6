// The stub decoder's fuzz target, run briefly as part of the suite: the seed
// corpus (well-formed calls of every probe method, as real proxies send
// them) must be accepted, and a few thousand deterministic mutations of it
// — every truncation, a flipped bit in every byte, forged lengths and counts
// at every position, and seeded random edits — must be refused or served
// without a crash, an over-read or a leak (the sanitizer builds check those).
// KRSOAP_STUB_CORPUS=DIR writes the seeds there for long libFuzzer runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "tests/com_rpc/fuzz/stub_fuzz.h"

namespace krsoap::test {
namespace {

using fuzz::RunFrame;

TEST(StubFuzzCorpus, SeedsAreServedAndMutationsNeverCrash) {
  const auto seeds = fuzz::SeedFrames();
  ASSERT_GE(seeds.size(), 30u);
  if (const char* dir = std::getenv("KRSOAP_STUB_CORPUS")) {
    mkdir(dir, 0700);
    for (size_t i = 0; i < seeds.size(); ++i) {
      std::string path = std::string(dir) + "/seed-" + std::to_string(i);
      if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(seeds[i].data(), 1, seeds[i].size(), f);
        std::fclose(f);
      }
    }
  }
  for (const auto& s : seeds) EXPECT_EQ(RunFrame(s.data(), s.size()), S_OK);

  size_t runs = 0, refused = 0;
  auto run = [&](const std::vector<uint8_t>& m) {
    ++runs;
    if (FAILED(RunFrame(m.data(), m.size()))) ++refused;
  };
  std::mt19937 rng(20261208);
  for (const auto& s : seeds) {
    for (size_t n = 0; n < s.size(); ++n) run(std::vector<uint8_t>(s.begin(), s.begin() + n));
    for (size_t i = 0; i < s.size(); ++i) {
      auto m = s;
      m[i] ^= static_cast<uint8_t>(1u << (i % 8));
      run(m);
    }
    // Lengths and counts forged at every position of the body (the frame
    // length itself kept consistent, so that the body decoder sees them).
    for (size_t i = 48; i + 4 <= s.size(); ++i) {
      for (uint32_t forged : {0xFFFFFFFFu, 0x7FFFFFFFu, static_cast<uint32_t>(s.size()), 1u}) {
        auto m = s;
        std::memcpy(&m[i], &forged, 4);
        run(m);
      }
    }
    for (int k = 0; k < 40; ++k) {
      auto m = s;
      const int edits = 1 + static_cast<int>(rng() % 4);
      for (int e = 0; e < edits; ++e) {
        const size_t at = m.size() > 48 ? 48 + rng() % (m.size() - 48) : 0;
        switch (rng() % 3) {
          case 0: m[at] = static_cast<uint8_t>(rng()); break;
          case 1: m.insert(m.begin() + static_cast<long>(at), static_cast<uint8_t>(rng())); break;
          default: m.erase(m.begin() + static_cast<long>(at)); break;
        }
      }
      // Keep the frame length right for half of them, so they reach the body decoder.
      if (k % 2 == 0 && m.size() >= 48) {
        const uint32_t body = static_cast<uint32_t>(m.size() - 48);
        std::memcpy(&m[4], &body, 4);
      }
      run(m);
    }
  }
  EXPECT_GT(runs, 3000u);
  EXPECT_GT(refused, runs / 2) << "most mutations must be refused";
  std::printf("stub fuzz corpus: %zu seeds, %zu mutations, %zu refused\n", seeds.size(), runs, refused);
}

}  // namespace
}  // namespace krsoap::test
