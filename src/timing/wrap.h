// The 32-bit ID counter's wrap, and the wrapping arithmetic that offsets from a broken upstream
// need: the estimate and the rate tracker both see through the one and rely on the other.
#pragma once

#include <cstdint>

#include "timing/ring.h"

namespace eventid {

// One turn of the 32-bit ID counter: 2^32 IDs of 100000 µs each.
inline constexpr std::int64_t kIdTurnUs = (std::int64_t{1} << 32) * kIdDurationUs;

// a - b and a + b in unsigned, wrapping arithmetic: rings that a broken upstream (or the
// fuzzer) makes hold offsets whose sums and differences leave 64 bits.
inline std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
inline std::int64_t wrapping_add(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

// An offset as seen from a reference offset's side of a wrap of the ID counter. Samples a
// minute apart straddle at most one wrap, so offset + k turns with k in {-1, 0, 1}, whichever
// lies nearest the reference, is the offset it would have had without the wrap. Where no wrap
// lies in between, that is the offset itself.
inline std::int64_t unwrapped_offset(std::int64_t offset, std::int64_t reference) {
  const auto magnitude = [](std::uint64_t d) {
    return static_cast<std::int64_t>(d) < 0 ? 0 - d : d;
  };
  const auto turn = static_cast<std::uint64_t>(kIdTurnUs);
  const auto d = static_cast<std::uint64_t>(wrapping_sub(offset, reference));
  std::uint64_t nearest = d;
  for (const std::uint64_t c : {d + turn, d - turn}) {
    if (magnitude(c) < magnitude(nearest)) nearest = c;
  }
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(reference) + nearest);
}

}  // namespace eventid
