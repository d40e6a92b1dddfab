#include "publish/segment.h"

#include <thread>

namespace eventid::segment {
namespace {

// Each field of one record with the same field of another. A record in the segment is never
// copied as bytes: each of its fields is read or written as an atomic of its own.
template <typename To, typename From, typename Each>
void field_by_field(To& to, From& from, Each&& each) {
  each(to.flags, from.flags);
  each(to.jitter, from.jitter);
  each(to.jitter0, from.jitter0);
  each(to.reserved0, from.reserved0);
  each(to.lowest_offset_us, from.lowest_offset_us);
  each(to.rate, from.rate);
  each(to.carried_us, from.carried_us);
  each(to.anchor_us, from.anchor_us);
  each(to.oldest_arrival_us, from.oldest_arrival_us);
  each(to.resolution_us, from.resolution_us);
}

std::uint64_t sequence(const Layout& layout, std::memory_order order) {
  return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(layout.sequence)).load(order);
}

}  // namespace

BasisRecord to_record(const Basis& b, std::int64_t resolution_us) {
  BasisRecord r{};
  r.flags = (b.primed ? kPrimed : 0) | (b.connected ? kConnected : 0);
  r.jitter = b.jitter;
  r.jitter0 = b.jitter0;
  r.lowest_offset_us = b.lowest_offset_us;
  r.rate = b.rate;
  r.carried_us = b.carried_us;
  r.anchor_us = b.anchor_us;
  r.oldest_arrival_us = b.oldest_arrival_us;
  r.resolution_us = resolution_us;
  return r;
}

Basis from_record(const BasisRecord& r) {
  Basis b;
  b.primed = (r.flags & kPrimed) != 0;
  b.connected = (r.flags & kConnected) != 0;
  b.lowest_offset_us = r.lowest_offset_us;
  b.rate = r.rate;
  b.carried_us = r.carried_us;
  b.anchor_us = r.anchor_us;
  b.oldest_arrival_us = r.oldest_arrival_us;
  b.jitter = r.jitter;
  b.jitter0 = r.jitter0;
  return b;
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
  field_by_field(layout.basis, basis, [](auto& to, const auto& from) { store(to, from); });
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
  return mapped_size >= offsetof(Layout, basis) + sizeof(BasisRecord) &&
         load(layout.magic) == kMagic && load(layout.major) == kMajor &&
         load(layout.size) <= mapped_size && load(layout.size) >= sizeof(Layout);
}

bool read_basis(const Layout& layout, BasisRecord* basis) {
  for (int tries = 0; tries < kReadTries; ++tries) {
    if (tries >= kSpinTries) std::this_thread::yield();
    const std::uint64_t before = sequence(layout, std::memory_order_acquire);
    if (before & 1) continue;
    BasisRecord copy{};
    field_by_field(copy, layout.basis, [](auto& to, const auto& from) { to = load(from); });
    if (sequence(layout, std::memory_order_relaxed) == before) {
      *basis = copy;
      return true;
    }
  }
  return false;
}

}  // namespace eventid::segment
