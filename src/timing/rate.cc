#include "timing/rate.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "timing/wrap.h"

namespace eventid {
namespace {

constexpr std::int64_t kEmpty = std::numeric_limits<std::int64_t>::min();

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return q * b > a ? q - 1 : q;
}

}  // namespace

RateTracker::RateTracker(int step_run, std::int64_t line_span_us)
    : step_run_(std::clamp(step_run, 1, kStepRun)),
      line_span_us_(std::clamp(line_span_us, kSecondUs, kMinSpanUs)) {}

void RateTracker::add(const Sample& sample, double run_depth_us) {
  const std::int64_t second = floor_div(sample.arrival_us, kSecondUs);
  if (empty_ || second - newest_second_ >= kBuckets) {
    const Point first{sample.arrival_us, sample.offset_us};
    return start(&first, 1);
  }
  if (second <= newest_second_ - kBuckets) return;  // older than anything the history holds
  const Point p{sample.arrival_us, unwrapped_offset(sample.offset_us, lowest_offset_us_)};
  const double above = above_envelope(p);
  if (above < -kStepUs) {
    ++steps_;
    return start(&p, 1);
  }
  if (above > kStepUs) {
    above_[above_count_++] = p;
    if (above_count_ == step_run_) {
      ++steps_;
      start_from_run(run_depth_us);
    }
    return;
  }
  above_count_ = 0;
  if (p.offset_us != sample.offset_us) follow_wrap(wrapping_sub(sample.offset_us, p.offset_us));
  insert({sample.arrival_us, sample.offset_us});
}

bool beyond_bound(double rate_found, bool was_beyond) {
  const double magnitude = std::abs(rate_found);
  return was_beyond ? magnitude >= kMaxRate - kBoundMargin : magnitude > kMaxRate + kBoundMargin;
}

std::optional<double> RateTracker::rate() const {
  const std::optional<double> found = measured_rate();
  if (!found) return std::nullopt;
  return std::clamp(*found, -kMaxRate, kMaxRate);
}

std::optional<double> RateTracker::measured_rate() const {
  if (!found_) return std::nullopt;
  return -slope_;
}

void RateTracker::start(const Point* points, int count) {
  buckets_.fill({kEmpty, {}});
  empty_ = false;
  fitted_ = false;
  found_ = false;
  above_count_ = 0;
  newest_second_ = floor_div(points[0].arrival_us, kSecondUs);
  began_us_ = newest_arrival_us_ = points[0].arrival_us;
  left_out_ = {};
  lowest_offset_us_ = points[0].offset_us;
  for (int i = 0; i < count; ++i) insert(points[i]);
}

// An early sample among the run would be the new envelope, and every early sample after it
// would lie on it rather than below: the hold-out would let them all in from then on. Only the
// kConfirming - 1 lowest can lie deeper than depth_us below the kConfirming-th lowest.
void RateTracker::start_from_run(double depth_us) {
  static_assert(kConfirming - 1 <= std::tuple_size_v<decltype(LeftOutAtStep::arrival_us)>);
  // Below this, fewer than kConfirming samples of the run lie: none in a run shorter than that.
  double floor_us = -kAnyDepth;
  if (step_run_ >= kConfirming) {
    std::array<std::int64_t, kStepRun> offsets{};
    for (int i = 0; i < step_run_; ++i)
      offsets[static_cast<std::size_t>(i)] = above_[static_cast<std::size_t>(i)].offset_us;
    std::nth_element(offsets.begin(), offsets.begin() + kConfirming - 1,
                     offsets.begin() + step_run_);
    floor_us = static_cast<double>(offsets[kConfirming - 1]) - depth_us;
  }
  LeftOutAtStep left_out;
  std::array<Point, kStepRun> kept{};
  int n = 0;
  for (int i = 0; i < step_run_; ++i) {
    if (static_cast<double>(above_[i].offset_us) < floor_us) {
      left_out.arrival_us[static_cast<std::size_t>(left_out.count++)] = above_[i].arrival_us;
    } else {
      kept[static_cast<std::size_t>(n++)] = above_[i];
    }
  }
  start(kept.data(), n);
  left_out_ = left_out;
}

// Keeps each second's smallest offset; any change moves the envelope.
void RateTracker::insert(const Point& p) {
  const std::int64_t second = floor_div(p.arrival_us, kSecondUs);
  Bucket& bucket = buckets_[static_cast<std::size_t>(second & (kBuckets - 1))];
  newest_arrival_us_ = std::max(newest_arrival_us_, p.arrival_us);
  if (bucket.second == second && bucket.lowest.offset_us <= p.offset_us) {
    // The history spans from its first sample to its newest, not between the lowest of its
    // first and newest seconds: where offsets rise, each second's lowest is its first sample,
    // and where they fall its last, and the span would wait up to a second more for either.
    if (!found_ && spans_ten_seconds()) fit();
    return;
  }
  bucket = {second, p};
  newest_second_ = std::max(newest_second_, second);
  fit();
}

// A hundred announcements after the first: an upstream running fast sends them in a little
// under kMinSpanUs of this clock (1000 ppm: 10 ms under), and its rate would wait one more.
bool RateTracker::spans_ten_seconds() const {
  return newest_arrival_us_ - began_us_ >= kMinSpanUs - kIdDurationUs / 2;
}

// The counter has wrapped: the history moves into the turn of the samples to come, so that it
// follows the counter round any number of wraps.
void RateTracker::follow_wrap(std::int64_t shift_us) {
  for (Bucket& b : buckets_) b.lowest.offset_us = wrapping_add(b.lowest.offset_us, shift_us);
  for (Point& p : above_) p.offset_us = wrapping_add(p.offset_us, shift_us);
  lowest_offset_us_ = wrapping_add(lowest_offset_us_, shift_us);
  anchor_.offset_us = wrapping_add(anchor_.offset_us, shift_us);
}

void RateTracker::fit() {
  std::array<Point, kBuckets> points{};
  int n = 0;
  for (std::int64_t second = newest_second_ - kBuckets + 1; second <= newest_second_; ++second) {
    const Bucket& bucket = buckets_[static_cast<std::size_t>(second & (kBuckets - 1))];
    if (bucket.second == second) points[n++] = bucket.lowest;
  }
  lowest_offset_us_ = points[0].offset_us;
  for (int i = 1; i < n; ++i) lowest_offset_us_ = std::min(lowest_offset_us_, points[i].offset_us);
  // A rate waits for the history's span; the line, for its points' (a rate is found only once
  // they span some 8 s at least).
  found_ = spans_ten_seconds();
  fitted_ = found_ || points[n - 1].arrival_us - points[0].arrival_us >= line_span_us_;
  if (fitted_) fit_line(points.data(), n);
}

// A line's summed height over the points is its height at their mean arrival times their
// number, so of the lines under every point the one closest to them in sum is the highest
// there: the edge of their lower convex hull over the mean arrival. The points come in time
// order, one to a second, so the monotone chain finds the hull in one pass. Coordinates run
// from the first point, where the products below stay exact for any history of real samples.
void RateTracker::fit_line(const Point* points, int n) {
  const auto x = [&](int i) {
    return static_cast<double>(points[i].arrival_us - points[0].arrival_us);
  };
  const auto y = [&](int i) {
    return static_cast<double>(wrapping_sub(points[i].offset_us, points[0].offset_us));
  };
  // Whether a, b, c turn left, so that b lies under the segment from a to c.
  const auto left = [&](int a, int b, int c) {
    return (x(b) - x(a)) * (y(c) - y(a)) - (y(b) - y(a)) * (x(c) - x(a)) > 0;
  };
  std::array<int, kBuckets> hull{};
  int h = 0;
  double sum_x = 0;  // exact: at most 64 whole numbers under 2^26
  for (int i = 0; i < n; ++i) {
    while (h >= 2 && !left(hull[h - 2], hull[h - 1], i)) --h;
    hull[h++] = i;
    sum_x += x(i);
  }
  int k = 0;
  while (k + 2 < h && x(hull[k + 1]) * n < sum_x) ++k;
  anchor_ = points[hull[k]];
  mean_arrival_us_ = points[0].arrival_us + std::llround(sum_x / n);
  slope_ = (y(hull[k + 1]) - y(hull[k])) / (x(hull[k + 1]) - x(hull[k]));
  double height = 0;
  for (int i = 0; i < n; ++i) height += y(i) - y(hull[k]) - slope_ * (x(i) - x(hull[k]));
  mean_height_us_ = height / n;
  uncertainty_ = 2 * mean_height_us_ / x(n - 1);
}

double RateTracker::envelope_doubt_us(std::int64_t arrival_us, double least_uncertainty) const {
  if (!fitted_) return 0;
  const auto from_mean = static_cast<double>(wrapping_sub(arrival_us, mean_arrival_us_));
  return mean_height_us_ + std::max(uncertainty_, least_uncertainty) * std::abs(from_mean);
}

std::optional<double> RateTracker::above_envelope(std::int64_t arrival_us,
                                                  std::int64_t offset_us) const {
  if (empty_) return std::nullopt;
  return above_envelope(Point{arrival_us, unwrapped_offset(offset_us, lowest_offset_us_)});
}

// How far p lies above the envelope, µs; negative below it.
double RateTracker::above_envelope(const Point& p) const {
  if (!fitted_) return static_cast<double>(wrapping_sub(p.offset_us, lowest_offset_us_));
  return static_cast<double>(wrapping_sub(p.offset_us, anchor_.offset_us)) -
         slope_ * static_cast<double>(wrapping_sub(p.arrival_us, anchor_.arrival_us));
}

}  // namespace eventid
