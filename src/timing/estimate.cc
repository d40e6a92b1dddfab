#include "timing/estimate.h"

#include "timing/wrap.h"

namespace eventid {
namespace {

// The line's fields are 32 bits wide, and rings that a broken upstream (or the fuzzer) makes
// hold offsets whose sums and differences leave 64 bits. The sums below are therefore taken
// in unsigned, wrapping arithmetic (wrap.h): it keeps the low 32 bits exact, and they are all
// that the line shows.

// |low 32 bits of d|, taken in 32 bits. Unsigned, so that |INT32_MIN| is 2^31.
std::uint32_t abs_low32(std::int64_t d) {
  const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(d));
  const auto bits = static_cast<std::uint32_t>(low);
  return low < 0 ? 0u - bits : bits;
}

constexpr std::int64_t kStaleAfterUs = 6000000;

char state_letter(bool connected, std::int64_t age_us) {
  if (!connected) return 'D';
  return age_us > kStaleAfterUs ? 'S' : 'O';
}

}  // namespace

Estimate estimate(const SampleRing::Slots& slots, bool connected, std::int64_t now_us) {
  const Sample& reference = slots[kRingSize - 1];
  std::int64_t oldest_us = reference.arrival_us;
  std::int64_t min_offset = reference.offset_us;
  std::int64_t jitter = 0;  // at most 39 × 2^31: no overflow
  auto jitter0 = static_cast<std::uint64_t>(reference.offset_us);
  for (int i = kRingSize - 2; i >= 0; --i) {
    const Sample& s = slots[i];
    if (s.offset_us < min_offset) min_offset = s.offset_us;
    if (s.arrival_us < oldest_us) oldest_us = s.arrival_us;
    // Only the two spread figures see through a wrap: the minimum above is the estimate's own.
    const std::int64_t offset = unwrapped_offset(s.offset_us, reference.offset_us);
    jitter += abs_low32(wrapping_sub(offset, reference.offset_us));
    jitter0 += static_cast<std::uint64_t>(offset / -(kRingSize - 1));
  }
  jitter /= kRingSize;  // the reference slot is the 40th member, at distance 0

  const std::int64_t elapsed = wrapping_sub(now_us, min_offset);
  const std::int64_t whole = elapsed / kIdDurationUs;
  Estimate e;
  e.id = static_cast<std::uint32_t>(whole);
  e.micros = static_cast<std::uint32_t>(elapsed) -
             static_cast<std::uint32_t>(whole) * static_cast<std::uint32_t>(kIdDurationUs);
  e.state = state_letter(connected, wrapping_sub(now_us, oldest_us));
  e.jitter = static_cast<std::int32_t>(jitter);
  e.jitter0 = static_cast<std::int32_t>(static_cast<std::uint32_t>(jitter0));
  return e;
}

Estimate estimate_now(const SampleRing& ring, const Clock& clock) {
  const std::int64_t now_us = clock();
  const SampleRing::Snapshot snapshot = ring.snapshot();
  return estimate(snapshot.slots, snapshot.connected, now_us);
}

}  // namespace eventid
