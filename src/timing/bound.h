// How far an estimate may be off, and the check of that against every sample.
//
// The relay only listens, so the path's smallest delay is a constant lag that it cannot see:
// the bound is stated against the upstream as its fastest announcements reach the relay. For
// a reading at now it is the sum of
//   - the clock's resolution;
//   - the estimate's noise: over the last NoiseWindow::kSamples samples, how far the offsets
//     it rested on lay from their lower envelope (rate.h), or a sample lay below it or it
//     moved back beyond what the rate allowance explains (what the checks below see); and how
//     far the envelope itself may lie from the fastest samples (the points' mean height, and
//     the slope's uncertainty times the distance from their mean arrival);
//   - the rate: the age of the sample it rests on, times the rate allowance.
// After the upstream is lost the sample ages and the bound grows at the allowance: holdover,
// until the bound reaches half an ID and the ID itself may be wrong.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>

#include "timing/basis.h"
#include "timing/ring.h"
#include "timing/wrap.h"

namespace eventid {

// A reading is in holdover once the newest sample is older than this, or the upstream is lost.
inline constexpr std::int64_t kHoldoverAfterUs = 500000;
// From this bound on, the reading may name the wrong ID.
inline constexpr std::int64_t kUnsynchronisedUs = kIdDurationUs / 2;
// The least uncertainty granted to a rate found: the fit never knows it better than this.
inline constexpr double kMinRateUncertainty = 1e-6;
// How far apart the two clocks' rates are assumed to lie before a rate is found, by default.
inline constexpr int kDefaultMaxDriftPpm = 100;

struct Bound {
  std::int64_t us = 0;
  bool holdover = false;        // the upstream lost or silent, the bound still under half an ID
  bool unsynchronised = false;  // the bound at half an ID or more
};

// Whether at now_us the upstream is lost, or silent for longer than kHoldoverAfterUs.
inline bool upstream_lost(const Basis& b, std::int64_t now_us) {
  return !b.connected || wrapping_sub(now_us, b.newest_arrival_us) > kHoldoverAfterUs;
}

// The bound at now_us of a basis whose bound_known is set.
inline Bound bound_at(const Basis& b, std::int64_t now_us) {
  const auto age = static_cast<double>(
      std::max<std::int64_t>(0, std::min(wrapping_sub(now_us, b.rest_arrival_us), kIdTurnUs)));
  const double us = std::min(b.bound_fixed_us + age * b.bound_growth, 1e15);
  Bound bound;
  bound.us = static_cast<std::int64_t>(std::ceil(std::max(us, 0.0)));
  bound.unsynchronised = bound.us >= kUnsynchronisedUs;
  bound.holdover = upstream_lost(b, now_us) && !bound.unsynchronised;
  return bound;
}

// What the rate allowance rests on.
struct RateKnowledge {
  std::optional<double> found;  // none before the history spans 10 s, and after a step
  double uncertainty = 0;       // of the rate found, from its fit
  bool corrected = false;       // whether the estimate is corrected for it (--track-rate)
  double max_drift = kDefaultMaxDriftPpm * 1e-6;
};

// µs of error per µs since the sample the estimate rests on. Corrected, the rate's own
// uncertainty and whatever of the rate lies beyond the bound that the correction stops at;
// uncorrected, the whole rate and its uncertainty; with no rate found, the drift assumed.
double rate_allowance(const RateKnowledge& rate);

// The largest of the last kSamples distances of the estimate's offset from the envelope.
class NoiseWindow {
 public:
  static constexpr int kSamples = 100;  // ten seconds of samples
  void add(double distance_us);
  double noise_us() const { return noise_us_; }
  void clear() { *this = NoiseWindow(); }

 private:
  std::array<double, kSamples> recent_{};
  int next_ = 0;
  double noise_us_ = 0;
};

// When the upstream speaks again after a silence, the estimate comes to rest on its first
// samples, and nothing has yet shown how late they came: an upstream that stalled tends to
// send late as it comes back. So for the next kSamples samples the bound reaches down to the
// lowest offset that the holdover's own bound still allowed, which the truth cannot lie below
// unless that bound was missed.
class SilenceRecovery {
 public:
  static constexpr int kSamples = 10;  // a second of samples
  // Before each sample is stored, with the basis it finds.
  void see(const Basis& before, const Sample& sample);
  // What the bound of a basis resting after the silence adds at now_us.
  double extra_us(const Basis& after, std::int64_t now_us) const;

 private:
  Basis holdover_ = {};
  int samples_left_ = 0;
};

// A sample checks the bound given just before it, at its arrival. Its offset more than that
// bound below the offset the estimate rested on shows the estimate late by more than it said;
// an estimate that moves back (its offset rises) by more than that bound, as the sample it
// rested on leaves the ring, shows it was early.
struct BoundCheck {
  bool checked = false;
  bool late_miss = false, early_miss = false;
  double moved_back_us = 0;  // how far the estimate moved back (negative: forward)
};
BoundCheck check_bound(const Basis& before, const Basis& after, const Sample& sample);

// How far a sample lies below the offset the estimate rested on, less what the rate allowance
// explains since the sample it rested on: what the bound's noise must cover for the next
// sample like it not to show the estimate late. Negative for a sample above the estimate.
double below_estimate_us(const Basis& before, const Sample& sample);

}  // namespace eventid
