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

// The noise is how far below the envelope the samples let in have lain: twice the deepest of the
// last 100 (none that a step puts far off it, nor the few of a shift), at least kMinDepthUs.
// The envelope runs along the fastest samples, so a sample below it shows the envelope a little
// off, by as much as the fastest samples scatter about it, or else it came sooner than the path
// allows. The heights above it say nothing of that: a loaded relay or path delays most samples
// by milliseconds while the fastest still come on time, and a bound taken from the delays would
// let every early sample in. On a quiet path the depths are a few µs: kMinDepthUs then keeps
// the envelope's own error, a line through a minute of samples carried to now, from holding
// good samples back.
void HoldOut::remember(double height_us) {
  if (std::fabs(height_us) > static_cast<double>(RateTracker::kStepUs)) return;
  depths_[static_cast<std::size_t>(next_depth_)] = std::max(0.0, -height_us);
  next_depth_ = (next_depth_ + 1) % kNoiseSamples;
  const double deepest = *std::max_element(depths_.begin(), depths_.end());
  depth_us_ = std::max(kMinDepthUs, 2 * deepest);
}

}  // namespace eventid
