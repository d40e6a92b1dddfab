// The estimate of the upstream's current event ID, extrapolated from the samples and the clock.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "timing/basis.h"
#include "timing/ring.h"
#include "timing/wrap.h"

namespace eventid {

struct Estimate {
  std::uint32_t id;      // the current whole event ID
  std::uint32_t micros;  // µs elapsed inside it
  char state;            // 'O' fresh, 'S' stale, 'D' disconnected
  std::int32_t jitter;   // mean distance of the offsets from the reference slot's, µs
  std::int32_t jitter0;  // the reference slot's offset minus the others' each divided by 39, µs
};

// The pure core, defined for any slot contents. Rests on the smallest offset (the sample that
// travelled fastest); the last slot is the reference of both jitter figures.
Estimate estimate(const SampleRing::Slots& slots, bool connected, std::int64_t now_us);

// A rate is the upstream's ID clock against the relay's, as a deviation: its IDs advance
// (1 + rate) times as fast as the relay's clock, so that its samples' offsets slide by -rate
// µs per µs (rate.h measures it).
//
// The smallest of the slots' offsets, each carried forward to now_us at that rate: where
// ID 0 began as the sample that travelled fastest sees it now. Offsets on either side of a wrap
// of the ID counter are compared as those of one counter; the result lies in the turn of the
// smallest raw offset, so that at a rate of 0 it is that offset exactly, wherever no wrap lies
// within the ring (across one, wherever the fastest sample came before it).
std::int64_t carried_min_offset(const SampleRing::Slots& slots, double rate, std::int64_t now_us);

// The estimate with the upstream's rate: the ID and its µs rest on carried_min_offset(), the
// state and both jitter figures are those above. Without a rate, exactly estimate() above.
Estimate estimate(const SampleRing::Slots& slots, bool connected, std::int64_t now_us,
                  std::optional<double> rate);

// The basis of a primed ring's slots.
Basis make_basis(const SampleRing::Slots& slots, bool connected, std::optional<double> rate);
// The same where the smallest offset is that of the counted slots alone (all, if none is):
// the jitter figures and the state are still those of every slot.
Basis make_basis(const SampleRing::Slots& slots, const SampleRing::Counted& counted, bool connected,
                 std::optional<double> rate);

// What every estimate shares, here so that a reading from the basis compiles into its caller:
// it is the client library's whole read path.
namespace estimating {

inline constexpr std::int64_t kStaleAfterUs = 6000000;
// Far enough for any real carry, near enough that rounding it stays within 64 bits.
inline constexpr double kFarUs = 4.0e18;

inline char state_letter(bool connected, std::int64_t age_us) {
  if (!connected) return 'D';
  return age_us > kStaleAfterUs ? 'S' : 'O';
}

// The whole ID and its µs at now_us for an upstream whose ID 0 began at zero_offset_us. The
// line's fields are 32 bits wide: the sum is taken in wrapping arithmetic (wrap.h), which keeps
// the low 32 bits exact, and they are all that the line shows.
inline void place(Estimate& e, std::int64_t now_us, std::int64_t zero_offset_us) {
  const std::int64_t elapsed = wrapping_sub(now_us, zero_offset_us);
  const std::int64_t whole = elapsed / kIdDurationUs;
  e.id = static_cast<std::uint32_t>(whole);
  e.micros = static_cast<std::uint32_t>(elapsed) -
             static_cast<std::uint32_t>(whole) * static_cast<std::uint32_t>(kIdDurationUs);
}

}  // namespace estimating

// The estimate at now_us from a basis: byte for byte the scan's above without a rate, and with
// one the same to within 1 µs (its sum is taken in another order).
// Where ID 0 began by the basis, seen at now_us: the offset that the estimate rests on.
inline std::int64_t zero_offset(const Basis& b, std::int64_t now_us) {
  if (b.rate == 0) return b.lowest_offset_us;
  const double since = static_cast<double>(wrapping_sub(now_us, b.anchor_us));
  const double carried =
      std::clamp(b.carried_us - b.rate * since, -estimating::kFarUs, estimating::kFarUs);
  return wrapping_add(b.lowest_offset_us, std::llround(carried));
}

inline Estimate estimate(const Basis& b, std::int64_t now_us) {
  Estimate e;
  estimating::place(e, now_us, zero_offset(b, now_us));
  e.state = estimating::state_letter(b.connected, wrapping_sub(now_us, b.oldest_arrival_us));
  e.jitter = b.jitter;
  e.jitter0 = b.jitter0;
  return e;
}

}  // namespace eventid
