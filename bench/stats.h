// The figures the benchmarks take of their measurements.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The value below which a share p (0 to 1) of the values lie; 0 for none.
inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  const auto at = v.begin() + static_cast<std::ptrdiff_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), at, v.end());
  return *at;
}

inline double median(const std::vector<double>& v) {
  return percentile(v, 0.5);
}
