// With --track-rate, a sample that lies far below the rate tracker's envelope is held out of
// the estimate until the samples after it confirm it. Delay only makes samples late, so the
// estimate trusts the smallest offset; but one announcement sent early, or a clock read wrongly
// once, lies below every other, and for the 4 s it stays in the ring the estimate would rest
// on it (and the tracker's envelope would bend round it for a minute). A real shift of the
// path or of the upstream's IDs is confirmed by the samples that follow: they lie that low too.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "timing/rate.h"
#include "timing/ring.h"

namespace eventid {

// Single-threaded, beside the rate tracker: its owner hands it every sample in arrival order,
// with the sample's height above the envelope just before the tracker sees it. No allocation.
class HoldOut {
 public:
  // Samples in a row that far below: the first and the two after it. Waiting for more would
  // keep a real shift out of the estimate longer; for fewer, two early samples in a row would
  // pass.
  static constexpr int kConfirming = RateTracker::kConfirming;
  // The least depth below the envelope that holds a sample back, µs.
  static constexpr double kMinDepthUs = 200;
  // Depths below the envelope remembered for the noise: ten seconds of samples.
  static constexpr int kNoiseSamples = 100;

  struct Verdict {
    bool counts = true;  // the sample counts for the estimate now
    int confirmed = 0;   // samples held back just before it that count now, with it
    int held_out = 0;    // samples held back just before it that the estimate never counts
    // What the rate tracker is to take, in arrival order: the sample, after those it confirms.
    std::array<Sample, kConfirming> admitted{};
    int admitted_count = 0;
  };

  // height_us: how far the sample lies above the envelope (below: negative), none before the
  // tracker's first sample.
  Verdict judge(const Sample& sample, std::optional<double> height_us);
  // How far below the envelope a sample must lie to be held back, µs.
  double depth_us() const { return depth_us_; }

 private:
  void remember(double height_us);

  std::array<Sample, kConfirming - 1> waiting_{};  // held back, in arrival order
  int waiting_count_ = 0;
  std::array<double, kNoiseSamples> depths_{};  // 0 for a sample on or above the envelope
  int next_depth_ = 0;
  double depth_us_ = kMinDepthUs;
};

}  // namespace eventid
