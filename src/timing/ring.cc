#include "timing/ring.h"

namespace eventid {

Sample make_sample(std::uint32_t id, std::int64_t arrival_us) {
  return {arrival_us, id, arrival_us - static_cast<std::int64_t>(id) * kIdDurationUs};
}

void SampleRing::prime(const Sample& first) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.fill(first);
    next_ = 1;
  }
  primed_.store(true, std::memory_order_release);
}

void SampleRing::store(const Sample& sample) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_[next_] = sample;
  next_ = (next_ + 1) % kRingSize;
}

void SampleRing::set_rate(std::optional<double> rate) {
  std::lock_guard<std::mutex> lock(mutex_);
  rate_ = rate;
}

SampleRing::Snapshot SampleRing::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {slots_, connected_.load(std::memory_order_acquire), rate_};
}

}  // namespace eventid
