// The estimate of the upstream's current event ID, extrapolated from the samples and the clock.
#pragma once

#include <cstdint>
#include <optional>

#include "timing/basis.h"
#include "timing/ring.h"

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

// The estimate at now_us from a basis: byte for byte the scan's above without a rate, and with
// one the same to within 1 µs (its sum is taken in another order).
Estimate estimate(const Basis& basis, std::int64_t now_us);

}  // namespace eventid
