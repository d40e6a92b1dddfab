#include "timing/clock.h"

#include <chrono>
#include <thread>

namespace eventid {

std::int64_t millisecond_clock() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count() * 1000;
}

std::int64_t microsecond_clock() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::microseconds>(since_start).count();
}

std::int64_t unix_time_us() {
  const auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::microseconds>(since_1970).count();
}

void sleep_us(std::int64_t duration_us) {
  std::this_thread::sleep_for(std::chrono::microseconds(duration_us));
}

}  // namespace eventid
