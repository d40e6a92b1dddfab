#include "timing/estimate.h"

#include "timing/clock.h"

namespace {

// a - b in 64 bits. Wraps where the true difference does not fit, which keeps the low 32 bits
// right, and those are all that the jitter figures use.
std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

// |low 32 bits of diff|, taken in 32 bits. Unsigned, so that |INT32_MIN| is 2^31, not UB.
std::uint32_t abs_low32(std::int64_t diff) {
  const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(diff));
  const auto bits = static_cast<std::uint32_t>(low);
  return low < 0 ? 0u - bits : bits;
}

// |d| of a 64-bit two's complement difference, as an unsigned value so that |INT64_MIN| fits.
std::uint64_t magnitude(std::uint64_t d) {
  return static_cast<std::int64_t>(d) < 0 ? 0 - d : d;
}

bool earlier(const time_value_t& a, const time_value_t& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec < b.tv_usec);
}

// now - old in seconds, borrowing a second when the microseconds would go negative.
double age_seconds(const time_value_t& now, const time_value_t& old) {
  std::int64_t usec = now.tv_usec;
  std::int64_t borrow = 0;
  if (now.tv_usec < old.tv_usec) {
    usec += 1000000;
    borrow = 1;
  }
  const std::int64_t sec = wrapping_sub(wrapping_sub(now.tv_sec, old.tv_sec), borrow);
  return static_cast<double>(sec) + static_cast<double>(usec - old.tv_usec) / 1000000.0;
}

// One turn of the 32-bit ID counter: 2^32 IDs of 100000 µs each.
constexpr std::uint64_t kIdTurnUs = (std::uint64_t{1} << 32) * kIdDurationUs;

// A sample's offset as seen from the reference slot's side of a wrap of the ID counter. The
// samples of one ring straddle at most one wrap, so offset + k turns with k in {-1, 0, 1},
// whichever lies nearest the reference's offset, is the offset it would have had without the
// wrap. Where no wrap lies in between, that is the offset itself.
std::int64_t unwrapped_offset(std::int64_t offset, std::int64_t reference) {
  const auto d = static_cast<std::uint64_t>(wrapping_sub(offset, reference));
  const std::uint64_t candidates[] = {d, d + kIdTurnUs, d - kIdTurnUs};
  std::uint64_t nearest = d;
  for (const std::uint64_t c : candidates) {
    if (magnitude(c) < magnitude(nearest)) nearest = c;
  }
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(reference) + nearest);
}

constexpr double kStaleAfterSeconds = 6.0;

char state_letter(int connected, double age) {
  if (connected == 0) return 'D';
  return age > kStaleAfterSeconds ? 'S' : 'O';
}

}  // namespace

ID_t estimate_id(const ID_event_t (&events)[kRingSize], int connected, const time_value_t& now) {
  const ID_event_t& reference = events[kRingSize - 1];
  time_value_t old = reference.t;
  std::int64_t min_offset = reference.offset;
  const std::int64_t offset0 = reference.offset;
  std::int64_t jitter = 0;  // at most 39 × 2^31: no overflow
  // Only the low 32 bits are kept, so the sum may wrap.
  auto jitter0 = static_cast<std::uint64_t>(reference.offset);
  for (int i = kRingSize - 2; i >= 0; --i) {
    const ID_event_t& e = events[i];
    if (e.offset < min_offset) min_offset = e.offset;
    if (earlier(e.t, old)) old = e.t;
    // Only the two spread figures see through a wrap: the minimum above is the estimate's own.
    const std::int64_t offset = unwrapped_offset(e.offset, offset0);
    jitter += abs_low32(wrapping_sub(offset, offset0));
    jitter0 += static_cast<std::uint64_t>(offset / -(kRingSize - 1));
  }
  jitter /= kRingSize;  // the reference slot is the 40th member, at distance 0

  const std::int64_t elapsed = wrapping_sub(to_microseconds(now), min_offset);
  const std::int64_t whole = elapsed / kIdDurationUs;
  ID_t id;
  id.id_iq = static_cast<std::uint32_t>(whole);
  id.id_sub = static_cast<std::uint32_t>(elapsed) -
              static_cast<std::uint32_t>(whole) * static_cast<std::uint32_t>(kIdDurationUs);
  id.state = state_letter(connected, age_seconds(now, old));
  id.jitter = static_cast<std::int32_t>(jitter);
  id.jitter0 = static_cast<std::int32_t>(static_cast<std::uint32_t>(jitter0));
  return id;
}

void calc_id(context_t* ctx, ID_t* return_id) {
  time_value_t now;
  read_clock(&now);
  ring_snapshot_t ring;
  context_snapshot(ctx, &ring);
  *return_id = estimate_id(ring.events, ring.connected, now);
}
