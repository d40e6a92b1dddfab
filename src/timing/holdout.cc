#include "timing/holdout.h"

#include <algorithm>
#include <cmath>

#include "timing/rate.h"

namespace eventid {

HoldOut::Verdict HoldOut::judge(const Sample& sample, std::optional<double> height_us) {
  Verdict v;
  if (height_us && *height_us < -depth_us_) {
    if (waiting_count_ + 1 < kConfirming) {
      waiting_[static_cast<std::size_t>(waiting_count_++)] = sample;
      v.counts = false;
      return v;
    }
    // Confirmed: a shift, not one sample. They go in together, the newest last.
    std::copy_n(waiting_.begin(), waiting_count_, v.admitted.begin());
    v.confirmed = waiting_count_;
    v.admitted_count = waiting_count_;
  } else {
    v.held_out = waiting_count_;
    if (height_us) remember(*height_us);
  }
  waiting_count_ = 0;
  v.admitted[static_cast<std::size_t>(v.admitted_count++)] = sample;
  return v;
}

// The noise is the 90th percentile of the heights above the envelope of the last 100 samples
// let in (none that a step puts far off it, nor the few of a shift), at least kMinDepthUs.
// The envelope runs along the fastest samples, so one without delay lies on it; a sample below
// it shows the envelope a little off, by no more than the delays scatter, which is what the
// heights above it measure, or else it came sooner than the path allows. A high quantile rather
// than the largest height, since a stall of the relay or the path delays a few samples by
// milliseconds and would let every early sample in for ten seconds after it. On a quiet path
// the heights are a few µs: kMinDepthUs then keeps the envelope's own error, a line through a
// minute of samples carried to now, from holding good samples back.
void HoldOut::remember(double height_us) {
  if (std::fabs(height_us) > static_cast<double>(RateTracker::kStepUs)) return;
  heights_[static_cast<std::size_t>(next_height_)] = std::fabs(height_us);
  next_height_ = (next_height_ + 1) % kNoiseSamples;
  heights_count_ = std::min(heights_count_ + 1, kNoiseSamples);
  std::array<double, kNoiseSamples> sorted = heights_;
  const auto end = sorted.begin() + heights_count_;
  const auto at = sorted.begin() + (heights_count_ - 1) * 9 / 10;
  std::nth_element(sorted.begin(), at, end);
  depth_us_ = std::max(kMinDepthUs, *at);
}

}  // namespace eventid
