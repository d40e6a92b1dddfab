#include "timing/ring.h"

#include "timing/estimate.h"
#include "timing/wrap.h"

namespace eventid {

Sample make_sample(std::uint32_t id, std::int64_t arrival_us) {
  return {arrival_us, id, arrival_us - static_cast<std::int64_t>(id) * kIdDurationUs};
}

void SampleRing::prime(const Sample& first, const UpstreamRate& rate,
                       const BasisCompletion& complete) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.fill(first);
  counted_.fill(true);
  next_ = 1;
  connected_ = true;
  rate_ = rate;
  basis_ = make_basis(slots_, counted_, connected_, rate_.in_use);
  if (complete) complete(basis_);
  primed_.store(true, std::memory_order_release);
  basis_changed();
}

void SampleRing::store(const Sample& sample, const UpstreamRate& rate,
                       const BasisCompletion& complete, const Counting& counting) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_[next_] = sample;
  count(next_, counting);
  next_ = (next_ + 1) % kRingSize;
  connected_ = true;
  rate_ = rate;
  basis_ = make_basis(slots_, counted_, connected_, rate_.in_use);
  if (complete) complete(basis_);
  basis_changed();
}

void SampleRing::count(int slot, const Counting& counting) {
  counted_[slot] = counting.sample;
  for (int k = 1; k <= counting.confirmed && k < kRingSize; ++k) {
    counted_[(slot - k + kRingSize) % kRingSize] = true;
  }
  if (!counting.from_us) return;
  for (int i = 0; i < kRingSize; ++i) {
    if (wrapping_sub(slots_[i].arrival_us, *counting.from_us) < 0) counted_[i] = false;
    for (int k = 0; k < counting.left_out.count; ++k) {
      if (slots_[i].arrival_us == counting.left_out.arrival_us[k]) counted_[i] = false;
    }
  }
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

SampleRing::Observation SampleRing::observe(std::function<void(const Basis&)> observer) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {this, observers_.insert(observers_.end(), std::move(observer))};
}

SampleRing::Observation& SampleRing::Observation::operator=(Observation&& other) noexcept {
  if (this != &other) {
    end();
    ring_ = std::exchange(other.ring_, nullptr);
    place_ = other.place_;
  }
  return *this;
}

void SampleRing::Observation::end() {
  if (!ring_) return;
  std::lock_guard<std::mutex> lock(ring_->mutex_);
  ring_->observers_.erase(place_);
  ring_ = nullptr;
}

SampleRing::Snapshot SampleRing::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {slots_, primed_.load(std::memory_order_relaxed), connected_, rate_, basis_};
}

}  // namespace eventid
