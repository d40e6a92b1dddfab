// The rate of the upstream's ID clock against the relay's. The two are never quite equal, and
// while they differ the samples' offsets slide: the smallest offset in the ring is then always
// its oldest or its newest sample, and the estimate leans one way by the rate times the ring's
// span. Knowing the rate, the estimate carries every sample forward to now instead.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>

#include "timing/ring.h"

namespace eventid {

// A rate is a deviation: the upstream's IDs advance (1 + rate) times as fast as the relay's
// clock (+0.0002: 200 ppm fast), so that its samples' offsets slide by -rate µs per µs.
// No clock worth the name lies further off either way: beyond it the estimates are corrected
// at the bound, which always lies nearer the truth than no correction.
inline constexpr double kMaxRate = 1000e-6;
// How far past the bound a rate found must lie to count as beyond it, and how far within it to
// count as within again: the delays' noise about an upstream at the bound flips neither.
inline constexpr double kBoundMargin = 5e-6;

// Whether a rate found counts as beyond ±kMaxRate, given whether the one before it did.
bool beyond_bound(double rate_found, bool was_beyond);

// Measures the rate from the lower envelope of the samples' (arrival, offset) points over the
// last minute: the line under every point that lies closest to them in sum. Delay only makes
// samples late, so that line is where samples without delay would lie, and it slopes by -rate.
//
// The history keeps, for each of the last 64 whole seconds (by arrival), its sample with the
// smallest offset. Until it spans kMinSpanUs, its envelope is its smallest offset, and no rate
// is found; where the envelope must tell an early sample from a late one sooner (--track-rate),
// it is that line from kShortLineSpanUs on, while the rate waits for kMinSpanUs. A step of
// the upstream's IDs (a restart that does not continue them, a jump either way) starts it
// afresh, so that the line never bends round one: a sample more than kStepUs below the
// envelope at once, with that sample alone; a run of samples in a row more than kStepUs above
// it, with those samples. Samples that far above wait outside the history meanwhile, and are
// dropped when a sample near the envelope ends their run: merely late, they say nothing of it.
// Where the tracker is told how deep a sample may lie below the others (the hold-out's depth),
// a run that makes a step is judged among itself as the hold-out judges samples one by one:
// a sample that lies deeper than that below the run's kConfirming-th smallest offset has too
// few others that low to confirm it, an early one, and starts no history.
// The run is kStepRun long by default, as long as the ring, so that the ring holds no sample
// from before the step once it is seen; kShortStepRun, half a second, where the estimate
// leaves the samples from before a step out itself (--track-rate).
// A wrap of the 32-bit ID counter is no step. A silence longer than the history starts it
// afresh too, its buckets having run out.
//
// Single-threaded: its owner hands it every sample in arrival order. No allocation.
class RateTracker {
 public:
  // How far a sample may lie from the envelope before it reveals a step, µs.
  static constexpr std::int64_t kStepUs = 50000;
  // Samples in a row that far above it: by then the ring holds none from before the step.
  static constexpr int kStepRun = kRingSize;
  // Half a second of samples: a few late ones in a row are no step. A path whose delay grows
  // by 50 ms for that long passes for one too, and is followed back when the delay falls again
  // (samples far below the envelope, held out until two more confirm them: holdout.h).
  static constexpr int kShortStepRun = 5;
  // A sample far below the others and the two after it: fewer that low are no shift.
  static constexpr int kConfirming = 3;
  static constexpr double kAnyDepth = std::numeric_limits<double>::infinity();
  // The history's span before a rate is found and, by default, before the envelope is a line.
  static constexpr std::int64_t kMinSpanUs = 10000000;
  // Long enough that the line's slope is off by no more than tens of ppm, short enough that a
  // slow or fast upstream's offsets slide by little more than the delays' noise meanwhile.
  static constexpr std::int64_t kShortLineSpanUs = 2000000;

  // step_run: samples in a row far above the envelope that make a step, 1 to kStepRun;
  // line_span_us: the history's span from which the envelope is a line, 1 s to kMinSpanUs.
  explicit RateTracker(int step_run = kStepRun, std::int64_t line_span_us = kMinSpanUs);
  // run_depth_us: how far below the others a sample of a run that makes a step may lie and
  // still start the history; by default any.
  void add(const Sample& sample, double run_depth_us = kAnyDepth);
  // The rate for the estimate: the rate found, held within ±kMaxRate.
  std::optional<double> rate() const;
  // The rate found, within bounds or not; none until the history spans kMinSpanUs.
  std::optional<double> measured_rate() const;
  // Steps seen so far, each of which started the history afresh.
  int steps() const { return steps_; }
  // The arrival of the history's first sample: after a step, the step's first.
  std::int64_t history_began_us() const { return began_us_; }
  // The arrivals of the samples that the last step's run left out, none after a step of
  // another kind. At most kConfirming - 1 of them.
  const LeftOutAtStep& left_out_at_step() const { return left_out_; }
  // How far the rate found may be off: twice the points' mean height above the line, over the
  // history's span (a line through points that high at either end would slope that much
  // more). Meaningful with a rate found.
  double uncertainty() const { return uncertainty_; }
  // How far the envelope may sit from where the fastest samples lie at arrival_us, µs: the
  // points' mean height, and the slope's uncertainty (at least least_uncertainty) times the
  // distance from the points' mean arrival, where the line's height is best known. A path whose
  // delay drifts for a while draws a line as an upstream's rate does, and the fit's own
  // uncertainty, from the points' heights, does not see it. 0 until the envelope is a line.
  double envelope_doubt_us(std::int64_t arrival_us, double least_uncertainty) const;
  // How far an offset seen at arrival_us lies above the envelope, µs; below it, negative. None
  // before the first sample.
  std::optional<double> above_envelope(std::int64_t arrival_us, std::int64_t offset_us) const;

 private:
  static constexpr int kBuckets = 64;
  static constexpr std::int64_t kSecondUs = 1000000;
  struct Point {
    std::int64_t arrival_us;
    std::int64_t offset_us;  // in the history's turn of the ID counter
  };
  struct Bucket {
    std::int64_t second;  // whole second of the arrival; INT64_MIN for none
    Point lowest;
  };

  void start(const Point* points, int count);
  void start_from_run(double depth_us);
  void insert(const Point& p);
  void follow_wrap(std::int64_t shift_us);
  bool spans_ten_seconds() const;
  void fit();
  void fit_line(const Point* points, int n);
  double above_envelope(const Point& p) const;

  std::array<Bucket, kBuckets> buckets_{};
  std::int64_t newest_second_ = 0;
  std::int64_t newest_arrival_us_ = 0;  // of any sample in the history
  bool empty_ = true;
  std::int64_t lowest_offset_us_ = 0;  // the envelope until a line is fitted
  bool fitted_ = false;                // the envelope is the line through anchor_ at slope_
  bool found_ = false;                 // and the history spans kMinSpanUs: a rate is found
  Point anchor_{};
  std::int64_t mean_arrival_us_ = 0;  // of the points the line is fitted to
  double slope_ = 0;                  // µs of offset per µs of arrival
  double uncertainty_ = 0;
  double mean_height_us_ = 0;
  std::array<Point, kStepRun> above_{};
  int above_count_ = 0;
  LeftOutAtStep left_out_{};
  int step_run_;
  std::int64_t line_span_us_;
  std::int64_t began_us_ = 0;
  int steps_ = 0;
};

}  // namespace eventid
