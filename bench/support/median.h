// Medians of a benchmark's figures, shared by the benchmarks that compare
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

// Of several rounds' figures, the round whose `rate` is the median (of an
// even count, the upper of the middle two); a default one for none.
template <class T>
T MedianBy(std::vector<T> rounds, double T::*rate) {
  if (rounds.empty()) return T{};
  std::sort(rounds.begin(), rounds.end(), [rate](const T& a, const T& b) { return a.*rate < b.*rate; });
  return rounds[rounds.size() / 2];
}

}  // namespace krsoap::bench
