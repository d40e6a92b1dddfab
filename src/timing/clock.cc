#include "timing/clock.h"

#include <chrono>

void read_clock(time_value_t* tp) {
  using std::chrono::milliseconds;
  const auto since_epoch = std::chrono::steady_clock::now().time_since_epoch();
  const std::int64_t ms = std::chrono::duration_cast<milliseconds>(since_epoch).count();
  tp->tv_sec = ms / 1000;
  tp->tv_usec = static_cast<std::int32_t>(ms % 1000) * 1000;
}
