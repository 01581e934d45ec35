// Figures shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <vector>

namespace ps::bench {

// The median of some measurements (0 for none).
inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n == 0 ? 0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

}  // namespace ps::bench
