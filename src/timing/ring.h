// The samples of the upstream that the collector thread shares with the serving thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <utility>

#include "timing/basis.h"

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

// The upstream's clock rate, where the collector tracks it (rate.h).
struct UpstreamRate {
  std::optional<double> found;   // the rate found, within the bound or not
  std::optional<double> in_use;  // the rate that the estimates use
  std::uint64_t steps = 0;       // steps of the upstream's IDs, each of which began it afresh
};

// Samples stored before a sample that the estimate leaves out after all, by arrival: early ones
// among the run of samples that showed a step (rate.h).
struct LeftOutAtStep {
  std::array<std::int64_t, 2> arrival_us{};
  int count = 0;
};

// Which of the ring's samples the estimate's smallest offset counts, as one store changes it.
// All of them, unless the collector holds one out (holdout.h) or a step leaves the older ones
// behind; the jitter figures and the state count every sample all the same.
struct Counting {
  bool sample = true;  // the sample stored
  int confirmed = 0;   // samples stored just before it, held out until now, that count again
  std::optional<std::int64_t> from_us;  // when set, only samples that arrived from then on
  LeftOutAtStep left_out = {};          // and of those, not these
};

// The one view of the upstream that the collector thread shares with the threads that serve:
// the 40 most recent samples, whether the connection is delivering them, and the rate. The
// collector thread is the only writer, each write made under one lock, so that a reader's
// snapshot never pairs one moment's samples with another's connection or rate.
class SampleRing {
 public:
  using Slots = std::array<Sample, kRingSize>;
  using Counted = std::array<bool, kRingSize>;  // by slot: whether the estimate counts it
  struct Snapshot {
    Slots slots;
    bool primed;
    bool connected;
    UpstreamRate rate;
    Basis basis;
  };

  // Completes a basis just made from the slots (its error bound, bound.h), under the lock.
  using BasisCompletion = std::function<void(Basis&)>;
  // Fills every slot with the first sample of the run and publishes primed(); the next store
  // goes to slot 1. Like store(), it writes the rate and marks the upstream connected.
  void prime(const Sample& first, const UpstreamRate& rate = {},
             const BasisCompletion& complete = {});
  // Writes the next slot, round the ring, with the rate measured up to the sample; the
  // upstream is connected. The estimate counts the samples as counting says.
  void store(const Sample& sample, const UpstreamRate& rate = {},
             const BasisCompletion& complete = {}, const Counting& counting = {});
  void set_connected(bool connected);
  Snapshot snapshot() const;
  // The basis of the ring as it stands (estimate.h): what every line is made from.
  Basis basis() const;
  // Told each basis as it is made, under the ring's lock so that the bases come in order. Set
  // before the collector starts.
  void set_observer(std::function<void(const Basis&)> observer) { observer_ = std::move(observer); }
  // One more observer, told as the one above is, from the collector thread, for as long as the
  // Observation lives: a reader that wants to know at once that the estimate has moved (the
  // push listener's thread, woken to move its wake-up). Each is told after set_observer()'s.
  class Observation;
  Observation observe(std::function<void(const Basis&)> observer) const;
  // True once prime() has run: from then on every slot holds a real sample.
  bool primed() const { return primed_.load(std::memory_order_acquire); }

 private:
  mutable std::mutex mutex_;  // guards all but primed_, which is also written under it
  Slots slots_{};
  Counted counted_{};
  int next_ = 0;
  bool connected_ = false;
  UpstreamRate rate_;
  Basis basis_;  // made again at every write
  std::function<void(const Basis&)> observer_;
  using Observers = std::list<std::function<void(const Basis&)>>;
  mutable Observers observers_;  // observe()'s, under the lock
  std::atomic<bool> primed_{false};

  void count(int slot, const Counting& counting);
  void basis_changed() {
    if (observer_) observer_(basis_);
    for (const auto& observer : observers_) observer(basis_);
  }
};

// Ends its observer as it goes: once it has gone, the observer is never told again.
class SampleRing::Observation {
 public:
  Observation() = default;
  Observation(Observation&& other) noexcept
      : ring_(std::exchange(other.ring_, nullptr)), place_(other.place_) {}
  Observation& operator=(Observation&& other) noexcept;
  ~Observation() { end(); }
  void end();

 private:
  friend class SampleRing;
  Observation(const SampleRing* ring, Observers::iterator place) : ring_(ring), place_(place) {}
  const SampleRing* ring_ = nullptr;
  Observers::iterator place_;
};

}  // namespace eventid
