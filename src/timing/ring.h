// The samples of the upstream that the collector thread shares with the serving thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

namespace eventid {

inline constexpr int kRingSize = 40;
// How long one event ID lasts: ten IDs a second.
inline constexpr std::int64_t kIdDurationUs = 100000;

// One upstream announcement.
struct Sample {
  std::int64_t arrival_us;  // when it arrived, on the relay's clock
  std::uint32_t id;         // the event ID it carried
  std::int64_t offset_us;   // arrival minus id × 100000: where ID 0 would have begun
};
Sample make_sample(std::uint32_t id, std::int64_t arrival_us);

// The 40 most recent samples, whether the upstream connection is delivering them, and the
// rate of the upstream's clock where it is tracked (rate.h). The collector thread is the only
// writer; any thread reads a consistent snapshot.
class SampleRing {
 public:
  using Slots = std::array<Sample, kRingSize>;
  struct Snapshot {
    Slots slots;
    bool connected;
    std::optional<double> rate;
  };

  // Fills every slot with the first sample of the run and publishes primed(); the next store
  // goes to slot 1.
  void prime(const Sample& first);
  // Writes the next slot, round the ring.
  void store(const Sample& sample);
  void set_connected(bool connected) { connected_.store(connected, std::memory_order_release); }
  void set_rate(std::optional<double> rate);
  Snapshot snapshot() const;
  // Calls read(slots, connected, rate) with the ring as it stands, held still meanwhile: for
  // a reader that needs no copy.
  template <typename Read>
  auto read_in_place(Read&& read) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return read(slots_, connected_.load(std::memory_order_acquire), rate_);
  }
  // True once prime() has run: from then on every slot holds a real sample.
  bool primed() const { return primed_.load(std::memory_order_acquire); }

 private:
  mutable std::mutex mutex_;  // guards slots_, next_ and rate_
  Slots slots_{};
  int next_ = 0;
  std::optional<double> rate_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> primed_{false};
};

}  // namespace eventid
