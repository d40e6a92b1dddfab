// A bound on how often one kind of message is written: an upstream that sends garbage as fast
// as it can would otherwise fill the log with a line for every piece of it.
#pragma once

#include <cstdint>
#include <limits>

namespace eventid {

// At most kMostPerSecond messages within one second of the relay's clock (its whole seconds);
// the rest of that second are left out and counted, to be told once it is over.
class RepeatLimit {
 public:
  static constexpr int kMostPerSecond = 10;

  // Whether a message due now is written; if not, it is counted as left out.
  bool allow(std::int64_t now_us);
  // How many were left out, once the second they were left out in is over (then forgotten);
  // 0 otherwise.
  std::uint64_t left_out_before(std::int64_t now_us);

 private:
  static constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::min();
  std::int64_t second_ = kNone;  // of the latest message
  int written_ = 0;              // in that second
  std::uint64_t left_out_ = 0;   // in that second, not yet told
};

}  // namespace eventid
