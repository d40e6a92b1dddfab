// The shared-memory segment in which the relay publishes its estimate's basis, and how it is
// written and read. One writer (the relay) and any number of readers, each in a process of its
// own: the layout holds no pointers, names its version and size, and every field is read and
// written as an atomic, so that a reader in another language (Python's mmap) can follow it.
//
// A write of the basis is made under a sequence counter: odd while the write is under way, and
// moved on once it is done. A reader copies the basis out between two readings of the counter
// and keeps the copy only when both are the same even number: it never takes a basis that is
// half written, and it never waits on the writer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>

#include "timing/basis.h"

namespace eventid::segment {

inline constexpr std::uint32_t kMagic = 0x52444945;  // "EIDR" in memory order, little-endian
// A reader refuses another major version; a minor version adds fields at the end of the basis,
// which older readers ignore.
inline constexpr std::uint16_t kMajor = 1;
inline constexpr std::uint16_t kMinor = 1;

// The clock that the basis, the heartbeat and a reader's own readings are on.
enum class ClockId : std::uint32_t {
  kMonotonic = 1,           // Linux CLOCK_MONOTONIC, in µs
  kPerformanceCounter = 2,  // Windows QueryPerformanceCounter, in µs
};

// The basis as it lies in the segment: fixed-width fields at fixed offsets.
struct BasisRecord {
  std::uint32_t flags;  // kPrimed | kConnected
  std::int32_t jitter;
  std::int32_t jitter0;
  std::uint32_t reserved0;
  std::int64_t lowest_offset_us;
  double rate;
  double carried_us;
  std::int64_t anchor_us;
  std::int64_t oldest_arrival_us;
  std::int64_t resolution_us;  // of the relay's clock: 1000, or 1 with --resolution us
  // Minor version 1: the error bound's terms (bound.h), valid with kBoundKnown.
  std::int64_t rest_arrival_us;
  std::int64_t newest_arrival_us;
  double bound_fixed_us;
  double bound_growth;
};
inline constexpr std::uint32_t kPrimed = 1, kConnected = 2, kBoundKnown = 4;

struct Layout {
  // The header: written once, before the segment can be found.
  std::uint32_t magic;
  std::uint16_t major;
  std::uint16_t minor;
  std::uint32_t size;   // of the layout, in bytes: a reader maps at least this much
  std::uint32_t clock;  // ClockId
  std::uint8_t header_rest[48];
  // The relay's life, outside the sequence counter and on a cache line of its own.
  std::uint64_t heartbeat_us;  // the writer's clock, at least once a second
  std::uint32_t closed;        // 1 once the relay has ended
  std::uint8_t life_rest[52];
  // The basis, under the counter.
  std::uint64_t sequence;
  std::uint64_t reserved1;
  BasisRecord basis;
};
static_assert(std::is_standard_layout_v<Layout> && std::is_trivially_copyable_v<Layout>);
static_assert(offsetof(Layout, heartbeat_us) == 64 && offsetof(Layout, sequence) == 128);
static_assert(offsetof(Layout, basis) == 144 && sizeof(BasisRecord) == 96);
static_assert(sizeof(Layout) == 240);
// The layout of minor version 0, which ended after resolution_us: a reader takes a segment
// that large, and its bound only from minor version 1 on.
inline constexpr std::size_t kMinor0Size = offsetof(Layout, basis) + 64;

BasisRecord to_record(const Basis& basis, std::int64_t resolution_us);

// Loads and stores of a field in memory that another process shares. Each store releases and
// each load acquires, which orders them against the counter without a fence (free on x86, and
// what ThreadSanitizer follows): no store of a write goes before the counter turns odd, and no
// load of a read comes after the counter is read again.
template <typename T>
T load(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}
template <typename T>
void store(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// The one writer's side.
void write_header(Layout& layout, ClockId clock);
void write_basis(Layout& layout, const BasisRecord& basis);
void beat(Layout& layout, std::int64_t now_us);
void mark_closed(Layout& layout);

// A reader's side: false while the header is not one it knows.
bool header_known(const Layout& layout, std::size_t mapped_size);
// Whether a known header's segment holds the bound's terms.
bool has_bound(const Layout& layout);
// The basis of one whole write, trying again while a write is under way: at once a few times,
// then giving the processor up between tries, since a writer that the scheduler stopped within
// its write holds every reader up until it runs again. False when none came whole in
// kReadTries (a writer that died within a write leaves the counter odd for good).
inline constexpr int kSpinTries = 64;
inline constexpr int kReadTries = 1 << 22;

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
template <typename To, typename From, typename Each>
void bound_fields(To& to, From& from, Each&& each) {
  each(to.rest_arrival_us, from.rest_arrival_us);
  each(to.newest_arrival_us, from.newest_arrival_us);
  each(to.bound_fixed_us, from.bound_fixed_us);
  each(to.bound_growth, from.bound_growth);
}

// Inline, as the rest of a reader's path is: a reading copies the basis once, into registers,
// never through a record in memory whose parts the next copy would wait for. *basis may hold
// a torn copy when it returns false.
inline bool read_basis(const Layout& layout, BasisRecord* basis, bool with_bound) {
  for (int tries = 0; tries < kReadTries; ++tries) {
    if (tries >= kSpinTries) std::this_thread::yield();
    const std::uint64_t before = load(layout.sequence);
    if (before & 1) continue;
    // Straight into *basis, field by field: a copy of a whole record would be stored in
    // pieces and loaded back in others, and wait for them.
    const auto copy = [](auto& to, const auto& from) { to = load(from); };
    field_by_field(*basis, layout.basis, copy);
    if (with_bound) {
      bound_fields(*basis, layout.basis, copy);
    } else {
      basis->flags &= ~kBoundKnown;
      bound_fields(*basis, *basis, [](auto& to, const auto&) { to = {}; });
    }
    if (std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(layout.sequence))
            .load(std::memory_order_relaxed) == before) {
      return true;
    }
  }
  return false;
}

inline Basis from_record(const BasisRecord& r) {
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
  b.bound_known = (r.flags & kBoundKnown) != 0;
  if (b.bound_known) {
    b.rest_arrival_us = r.rest_arrival_us;
    b.newest_arrival_us = r.newest_arrival_us;
    b.bound_fixed_us = r.bound_fixed_us;
    b.bound_growth = r.bound_growth;
  }
  return b;
}

}  // namespace eventid::segment
