#include "loop/wake_margin.h"

#include <algorithm>

namespace eventid {

void WakeMargin::woke_late_by(std::int64_t late_us) {
  late_us_[next_] = std::max<std::int64_t>(0, late_us);
  next_ = (next_ + 1) % kKept;
  std::int64_t latest = 0, second = 0;
  for (const std::int64_t us : late_us_) {
    second = std::max(second, std::min(latest, us));
    latest = std::max(latest, us);
  }
  margin_us_ = std::clamp(second + kSpareUs, kLeastUs, kMostUs);
}

}  // namespace eventid
