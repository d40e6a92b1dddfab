// The simulator's truth at any clock reading, for the benchmarks (Linux only): the terms of its
// truth line, and the system clock against the monotonic one that the relay and libeventid read.
#pragma once

#include <time.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/e2e.h"

// The truth: ID start began at unix time epoch_us, and the IDs run fast by rate_ppm.
struct Truth {
  std::int64_t start = 0, epoch_us = 0;
  int rate_ppm = 0;

  // The true position (whole IDs and fraction) at unix time unix_ns.
  double position(std::int64_t unix_ns) const {
    const double since_us = static_cast<double>(unix_ns - epoch_us * 1000) / 1e3;
    return static_cast<double>(start) + since_us * (1e6 + rate_ppm) / 1e11;
  }

  // The unix time (µs) at which ID id began: the first whole µs at which the simulator counts
  // it, and so the earliest it announces it.
  std::int64_t began_us(std::uint32_t id) const {
    const auto n = static_cast<std::int64_t>(id - static_cast<std::uint32_t>(start));
    const std::int64_t per = 1000000 + rate_ppm;
    return epoch_us + (n * 100000000000 + per - 1) / per;
  }
};

// The simulator's truth as its continuation names it: --start S --epoch-us E --rate-ppm R.
inline Truth truth_of(const eventid::test::Simulator& sim) {
  const std::vector<std::string> a = sim.continuation();
  return {std::stoll(a[1]), std::stoll(a[3]), std::stoi(a[5])};
}

inline std::int64_t clock_ns(clockid_t id) {
  timespec t;
  clock_gettime(id, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The system clock less the monotonic one, in ns: the monotonic clock read between two reads
// of the system clock, in the narrowest of three tries (a try that lost the CPU in between
// would be off by as long as it lost it).
inline std::int64_t unix_less_monotonic_ns() {
  std::int64_t narrowest = std::numeric_limits<std::int64_t>::max(), offset = 0;
  for (int i = 0; i < 3; ++i) {
    const std::int64_t before = clock_ns(CLOCK_REALTIME);
    const std::int64_t mono = clock_ns(CLOCK_MONOTONIC);
    const std::int64_t after = clock_ns(CLOCK_REALTIME);
    if (after - before < narrowest) {
      narrowest = after - before;
      offset = before + (after - before) / 2 - mono;
    }
  }
  return offset;
}
