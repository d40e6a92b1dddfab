// The estimate of the upstream's current event ID, extrapolated from the samples and the clock.
#pragma once

#include <cstdint>

#include "timing/clock.h"
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

// The estimate for this moment, from a primed ring.
Estimate estimate_now(const SampleRing& ring, const Clock& clock);

}  // namespace eventid
