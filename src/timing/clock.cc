#include "timing/clock.h"

#include <chrono>

namespace eventid {

std::int64_t millisecond_clock() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count() * 1000;
}

std::int64_t microsecond_clock() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::microseconds>(since_start).count();
}

}  // namespace eventid
