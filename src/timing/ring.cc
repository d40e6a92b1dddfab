#include "timing/ring.h"

#include "timing/estimate.h"

namespace eventid {

Sample make_sample(std::uint32_t id, std::int64_t arrival_us) {
  return {arrival_us, id, arrival_us - static_cast<std::int64_t>(id) * kIdDurationUs};
}

void SampleRing::prime(const Sample& first, const UpstreamRate& rate,
                       const BasisCompletion& complete) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.fill(first);
  next_ = 1;
  connected_ = true;
  rate_ = rate;
  basis_ = make_basis(slots_, connected_, rate_.in_use);
  if (complete) complete(basis_);
  primed_.store(true, std::memory_order_release);
  basis_changed();
}

void SampleRing::store(const Sample& sample, const UpstreamRate& rate,
                       const BasisCompletion& complete) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_[next_] = sample;
  next_ = (next_ + 1) % kRingSize;
  connected_ = true;
  rate_ = rate;
  basis_ = make_basis(slots_, connected_, rate_.in_use);
  if (complete) complete(basis_);
  basis_changed();
}

void SampleRing::set_connected(bool connected) {
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = connected;
  basis_.connected = connected;
  basis_changed();
}

Basis SampleRing::basis() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return basis_;
}

SampleRing::Snapshot SampleRing::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {slots_, primed_.load(std::memory_order_relaxed), connected_, rate_, basis_};
}

}  // namespace eventid
