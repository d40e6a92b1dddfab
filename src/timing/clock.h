// The relay's clock. It never steps: samples and estimates only ever use differences between
// readings, so a monotonic clock gives the same figures as the wall clock would, except that
// a step of the wall clock (a time daemon, an operator, a resume) cannot shift the estimates.
#pragma once

#include "timing/context.h"

// The current reading, cut to whole milliseconds: tv_usec is always a multiple of 1000.
void read_clock(time_value_t* tp);

// Microseconds of a reading, with the 64-bit arithmetic wrapping instead of overflowing.
inline std::int64_t to_microseconds(const time_value_t& t) {
  return static_cast<std::int64_t>(
      static_cast<std::uint64_t>(t.tv_sec) * 1000000u +
      static_cast<std::uint64_t>(static_cast<std::int64_t>(t.tv_usec)));
}
