#include "timing/estimate.h"

#include <algorithm>
#include <cmath>

#include "timing/wrap.h"

namespace eventid {
using estimating::kFarUs;
using estimating::place;
using estimating::state_letter;

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

// How far an offset lies above the lowest of the ring, both seen in one turn of the counter.
// The wrap is rare: the common case skips unwrapped_offset()'s search.
std::int64_t above_lowest(std::int64_t offset, std::int64_t lowest) {
  const std::int64_t d = wrapping_sub(offset, lowest);
  if (d >= 0 && d < kIdTurnUs / 2) return d;
  return wrapping_sub(unwrapped_offset(offset, lowest), lowest);
}

}  // namespace

namespace {

// The plain estimate, and the smallest offset that it rests on.
Estimate plain_estimate(const SampleRing::Slots& slots, bool connected, std::int64_t now_us,
                        std::int64_t* lowest) {
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

  Estimate e;
  place(e, now_us, min_offset);
  e.state = state_letter(connected, wrapping_sub(now_us, oldest_us));
  e.jitter = static_cast<std::int32_t>(jitter);
  e.jitter0 = static_cast<std::int32_t>(static_cast<std::uint32_t>(jitter0));
  *lowest = min_offset;
  return e;
}

// carried_min_offset() for a ring whose smallest raw offset is known.
std::int64_t carried_from(const SampleRing::Slots& slots, std::int64_t lowest, double rate,
                          std::int64_t now_us) {
  if (!std::isfinite(rate)) rate = 0;
  // Each offset's distance from the lowest, in one counter's turn, carried forward to now.
  double best = kFarUs;
  for (const Sample& s : slots) {
    const auto age = static_cast<double>(wrapping_sub(now_us, s.arrival_us));
    best = std::min(best, static_cast<double>(above_lowest(s.offset_us, lowest)) - rate * age);
  }
  return wrapping_add(lowest, std::llround(std::max(best, -kFarUs)));
}

// The smallest raw offset of the counted slots, of which there is one at least.
std::int64_t counted_lowest(const SampleRing::Slots& slots, const SampleRing::Counted& counted) {
  std::int64_t lowest = INT64_MAX;
  for (int i = 0; i < kRingSize; ++i) {
    if (counted[i]) lowest = std::min(lowest, slots[i].offset_us);
  }
  return lowest;
}

}  // namespace

Estimate estimate(const SampleRing::Slots& slots, bool connected, std::int64_t now_us) {
  std::int64_t lowest;
  return plain_estimate(slots, connected, now_us, &lowest);
}

std::int64_t carried_min_offset(const SampleRing::Slots& slots, double rate, std::int64_t now_us) {
  std::int64_t lowest = slots[0].offset_us;
  for (const Sample& s : slots) lowest = std::min(lowest, s.offset_us);
  return carried_from(slots, lowest, rate, now_us);
}

Estimate estimate(const SampleRing::Slots& slots, bool connected, std::int64_t now_us,
                  std::optional<double> rate) {
  std::int64_t lowest;
  Estimate e = plain_estimate(slots, connected, now_us, &lowest);
  if (rate) place(e, now_us, carried_from(slots, lowest, *rate, now_us));
  return e;
}

Basis make_basis(const SampleRing::Slots& slots, bool connected, std::optional<double> rate) {
  SampleRing::Counted all;
  all.fill(true);
  return make_basis(slots, all, connected, rate);
}

Basis make_basis(const SampleRing::Slots& slots, const SampleRing::Counted& counted, bool connected,
                 std::optional<double> rate) {
  std::int64_t lowest;
  const Estimate plain = plain_estimate(slots, connected, 0, &lowest);
  const bool any = std::find(counted.begin(), counted.end(), true) != counted.end();
  const auto counts = [&](const Sample& s) {
    return !any || counted[static_cast<std::size_t>(&s - slots.data())];
  };
  if (any) lowest = counted_lowest(slots, counted);
  Basis b;
  b.primed = true;
  b.connected = connected;
  b.lowest_offset_us = lowest;
  b.oldest_arrival_us = slots[kRingSize - 1].arrival_us;
  b.newest_arrival_us = b.oldest_arrival_us;
  for (const Sample& s : slots) {
    b.oldest_arrival_us = std::min(b.oldest_arrival_us, s.arrival_us);
    b.newest_arrival_us = std::max(b.newest_arrival_us, s.arrival_us);
  }
  b.jitter = plain.jitter;
  b.jitter0 = plain.jitter0;
  b.rate = rate && std::isfinite(*rate) ? *rate : 0;
  b.anchor_us = slots[kRingSize - 1].arrival_us;
  // The sample the estimate rests on: of those with the smallest (carried) offset, the newest.
  const Sample* rest = nullptr;
  double best = kFarUs;
  for (const Sample& s : slots) {
    if (!counts(s)) continue;
    const auto since = static_cast<double>(wrapping_sub(s.arrival_us, b.anchor_us));
    const double carried = static_cast<double>(above_lowest(s.offset_us, lowest)) + b.rate * since;
    if (!rest || carried < best || (carried == best && s.arrival_us > rest->arrival_us)) {
      best = carried;
      rest = &s;
    }
  }
  if (b.rate != 0) b.carried_us = std::min(best, kFarUs);
  b.rest_arrival_us = rest->arrival_us;
  b.rest_offset_us = rest->offset_us;
  return b;
}

}  // namespace eventid
