#include "upstream/repeat_limit.h"

namespace eventid {
namespace {

std::int64_t second_of(std::int64_t us) {
  const std::int64_t s = us / 1000000;
  return us < 0 && s * 1000000 != us ? s - 1 : s;
}

}  // namespace

bool RepeatLimit::allow(std::int64_t now_us) {
  const std::int64_t second = second_of(now_us);
  if (second != second_) {
    second_ = second;
    written_ = 0;
  }
  if (written_ < kMostPerSecond) {
    ++written_;
    return true;
  }
  ++left_out_;
  return false;
}

std::uint64_t RepeatLimit::left_out_before(std::int64_t now_us) {
  if (left_out_ == 0 || second_of(now_us) == second_) return 0;
  const std::uint64_t told = left_out_;
  left_out_ = 0;
  return told;
}

}  // namespace eventid
