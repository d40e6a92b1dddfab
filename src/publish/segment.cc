#include "publish/segment.h"

namespace eventid::segment {

BasisRecord to_record(const Basis& b, std::int64_t resolution_us) {
  BasisRecord r{};
  r.flags =
      (b.primed ? kPrimed : 0) | (b.connected ? kConnected : 0) | (b.bound_known ? kBoundKnown : 0);
  r.jitter = b.jitter;
  r.jitter0 = b.jitter0;
  r.lowest_offset_us = b.lowest_offset_us;
  r.rate = b.rate;
  r.carried_us = b.carried_us;
  r.anchor_us = b.anchor_us;
  r.oldest_arrival_us = b.oldest_arrival_us;
  r.resolution_us = resolution_us;
  r.rest_arrival_us = b.rest_arrival_us;
  r.newest_arrival_us = b.newest_arrival_us;
  r.bound_fixed_us = b.bound_fixed_us;
  r.bound_growth = b.bound_growth;
  return r;
}

void write_header(Layout& layout, ClockId clock) {
  store(layout.magic, kMagic);
  store(layout.major, kMajor);
  store(layout.minor, kMinor);
  store(layout.size, static_cast<std::uint32_t>(sizeof(Layout)));
  store(layout.clock, static_cast<std::uint32_t>(clock));
}

void write_basis(Layout& layout, const BasisRecord& basis) {
  std::atomic_ref<std::uint64_t> counter(layout.sequence);
  const std::uint64_t before = counter.load(std::memory_order_relaxed);
  counter.store(before + 1, std::memory_order_relaxed);  // odd: a write is under way
  const auto copy = [](auto& to, const auto& from) { store(to, from); };
  field_by_field(layout.basis, basis, copy);
  bound_fields(layout.basis, basis, copy);
  counter.store(before + 2, std::memory_order_release);
}

void beat(Layout& layout, std::int64_t now_us) {
  std::atomic_ref<std::uint64_t>(layout.heartbeat_us)
      .store(static_cast<std::uint64_t>(now_us), std::memory_order_release);
}

void mark_closed(Layout& layout) {
  std::atomic_ref<std::uint32_t>(layout.closed).store(1, std::memory_order_release);
}

bool header_known(const Layout& layout, std::size_t mapped_size) {
  return mapped_size >= kMinor0Size && load(layout.magic) == kMagic &&
         load(layout.major) == kMajor && load(layout.size) <= mapped_size &&
         load(layout.size) >= kMinor0Size;
}

bool has_bound(const Layout& layout) {
  return load(layout.minor) >= 1 && load(layout.size) >= sizeof(Layout);
}

}  // namespace eventid::segment
