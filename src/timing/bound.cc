#include "timing/bound.h"

#include "timing/estimate.h"
#include "timing/rate.h"

namespace eventid {

double rate_allowance(const RateKnowledge& rate) {
  if (!rate.found || !std::isfinite(*rate.found)) return rate.max_drift;
  const double uncertainty = std::max(rate.uncertainty, kMinRateUncertainty);
  const double magnitude = std::abs(*rate.found);
  if (rate.corrected) return uncertainty + std::max(0.0, magnitude - kMaxRate);
  return magnitude + uncertainty;
}

void NoiseWindow::add(double distance_us) {
  recent_[static_cast<std::size_t>(next_)] = std::abs(distance_us);
  next_ = (next_ + 1) % kSamples;
  noise_us_ = *std::max_element(recent_.begin(), recent_.end());
}

void SilenceRecovery::see(const Basis& before, const Sample& sample) {
  if (before.bound_known && upstream_lost(before, sample.arrival_us)) {
    holdover_ = before;
    samples_left_ = kSamples;
  } else if (samples_left_ > 0) {
    --samples_left_;
  }
}

double SilenceRecovery::extra_us(const Basis& after, std::int64_t now_us) const {
  if (samples_left_ == 0) return 0;
  const std::int64_t held = zero_offset(holdover_, now_us);
  const std::int64_t rests = unwrapped_offset(zero_offset(after, now_us), held);
  const std::int64_t above_lowest = wrapping_sub(rests, held) + bound_at(holdover_, now_us).us;
  return static_cast<double>(std::max<std::int64_t>(0, above_lowest));
}

BoundCheck check_bound(const Basis& before, const Basis& after, const Sample& sample) {
  BoundCheck check;
  if (!before.bound_known) return check;
  check.checked = true;
  const auto allowed = static_cast<double>(bound_at(before, sample.arrival_us).us);
  const std::int64_t rested = zero_offset(before, sample.arrival_us);
  const std::int64_t offset = unwrapped_offset(sample.offset_us, rested);
  const std::int64_t moved_to = unwrapped_offset(zero_offset(after, sample.arrival_us), rested);
  check.moved_back_us = static_cast<double>(wrapping_sub(moved_to, rested));
  check.late_miss = static_cast<double>(wrapping_sub(rested, offset)) > allowed;
  check.early_miss = check.moved_back_us > allowed;
  return check;
}

double below_estimate_us(const Basis& before, const Sample& sample) {
  if (!before.bound_known) return 0;
  const std::int64_t rested = zero_offset(before, sample.arrival_us);
  const std::int64_t offset = unwrapped_offset(sample.offset_us, rested);
  const auto age = static_cast<double>(std::max<std::int64_t>(
      0, std::min(wrapping_sub(sample.arrival_us, before.rest_arrival_us), kIdTurnUs)));
  return static_cast<double>(wrapping_sub(rested, offset)) - age * before.bound_growth;
}

}  // namespace eventid
