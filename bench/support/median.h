// The median of a benchmark's figures, shared by the benchmarks that compare
// stacks or stores over several rounds. Header only.
#pragma once

#include <algorithm>
#include <vector>

namespace krsoap::bench {

// The median of some values (0 for none).
inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace krsoap::bench
