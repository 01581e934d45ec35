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

// The smallest measurement that `percent` percent of them do not exceed
// (nearest rank; 0 for none).
inline double Percentile(std::vector<double> v, int percent) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t rank = (v.size() * static_cast<std::size_t>(percent) + 99) / 100;
  return v[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace ps::bench
