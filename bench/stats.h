// The figures the benchmarks take of their measurements.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The value below which a share p (0 to 1) of the values lie; 0 for none.
inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

inline double median(const std::vector<double>& v) {
  return percentile(v, 0.5);
}
