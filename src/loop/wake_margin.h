// How long before a deadline a thread must set its timer to be awake by then, learnt from the
// timer's own wake-ups: on a quiet host they come some tens of µs late, in a virtual machine
// whose CPU the host takes away while it sleeps a ms and more now and then. The thread reads
// the clock for the rest, so a wider margin costs CPU, and it only widens where the wake-ups
// have needed it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace eventid {

class WakeMargin {
 public:
  static constexpr std::int64_t kLeastUs = 200;
  static constexpr std::int64_t kMostUs = 1000;  // a ms of the clock read in every 100
  static constexpr std::int64_t kSpareUs = 50;
  static constexpr std::size_t kKept = 100;  // wake-ups, the last ten seconds' at one an ID

  // A wake-up that came late_us after its timer's time.
  void woke_late_by(std::int64_t late_us);
  // The margin now: the second latest of the wake-ups kept (one stall alone does not count)
  // with kSpareUs to spare, from kLeastUs to kMostUs.
  std::int64_t us() const { return margin_us_; }

 private:
  std::array<std::int64_t, kKept> late_us_{};
  std::size_t next_ = 0;
  std::int64_t margin_us_ = kLeastUs;
};

}  // namespace eventid
