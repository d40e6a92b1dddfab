// The relay's clock. Every time and duration in the relay is a signed 64-bit count of
// microseconds on it. It never steps: samples, estimates and deadlines only use differences
// between readings, so a monotonic clock gives the figures that the wall clock would, except
// that a step of the wall clock (a time daemon, an operator, a resume) cannot shift them.
#pragma once

#include <cstdint>
#include <functional>

namespace eventid {

// A reading of the relay's clock, in microseconds. Tests hand in clocks of their own.
using Clock = std::function<std::int64_t()>;

// The monotonic clock cut to whole milliseconds: every reading is a multiple of 1000 µs.
std::int64_t millisecond_clock();
// The same clock, whole microseconds.
std::int64_t microsecond_clock();

// The calendar's time, in µs since 1970-01-01 00:00:00 UTC: for what the relay tells of itself
// (when it started), never for its samples or deadlines.
std::int64_t unix_time_us();

// Waits for duration_us of the real clock. Tests hand in pauses of their own.
void sleep_us(std::int64_t duration_us);

}  // namespace eventid
