#include <new>

#include "reader.h"

namespace eventid::client {
namespace {

// A heartbeat older than this is a relay that has gone.
constexpr std::int64_t kStaleAfterUs = 3000000;
// How often a source that finds no live relay looks for a new segment.
constexpr std::int64_t kLookEveryUs = 1000000;

// The clock reading as the relay's own clock reads it. A division by a number known only at
// run time costs more than the rest of a reading: the relay's two resolutions are constants.
std::int64_t cut_to(std::int64_t now_us, std::int64_t resolution_us) {
  if (resolution_us == 1) return now_us;
  if (resolution_us == 1000) return now_us - now_us % 1000;
  return now_us - now_us % resolution_us;
}

}  // namespace

SegmentReader::SegmentReader(std::string where) : where_(std::move(where)) {
  looked_us_.store(clock_us(), std::memory_order_relaxed);
  map_new();
}

SegmentReader::~SegmentReader() {
  for (View* v = current_.load(std::memory_order_relaxed); v;) {
    View* before = v->retired_before;
    unmap_segment(v->mapped);
    delete v;
    v = before;
  }
}

int SegmentReader::read(eventid_reading* reading, std::int64_t* resolution_us) {
  const std::int64_t now = clock_us();
  const View* view = current_.load(std::memory_order_acquire);
  int code = view ? read_view(*view, now, reading, resolution_us)
                  : failure_.load(std::memory_order_relaxed);
  if (code != EVENTID_ENORELAY && code != EVENTID_EUNUSABLE) return code;
  const View* found = look_again(now);
  if (found == view) return code;
  return found ? read_view(*found, clock_us(), reading, resolution_us)
               : failure_.load(std::memory_order_relaxed);
}

int SegmentReader::read_view(const View& view, std::int64_t now_us, eventid_reading* reading,
                             std::int64_t* resolution_us) const {
  const auto& layout = *static_cast<const segment::Layout*>(view.mapped.data);
  if (segment::load(layout.closed) != 0) return EVENTID_ENORELAY;
  const auto heartbeat = static_cast<std::int64_t>(segment::load(layout.heartbeat_us));
  if (now_us - heartbeat > kStaleAfterUs) return EVENTID_ENORELAY;
  segment::BasisRecord record;
  if (!segment::read_basis(layout, &record, view.with_bound))
    return EVENTID_ENORELAY;  // died within a write
  if ((record.flags & segment::kPrimed) == 0) return EVENTID_ENOTPRIMED;
  if (record.resolution_us < 1) return EVENTID_EUNUSABLE;
  const std::int64_t resolution = record.resolution_us;
  const std::int64_t at = cut_to(now_us, resolution);
  const Basis basis = segment::from_record(record);
  const Estimate e = estimate(basis, at);
  reading->id = e.id;
  reading->micros = e.micros;
  reading->state = e.state;
  reading->jitter = e.jitter;
  reading->jitter0 = e.jitter0;
  reading->clock_us = at;
  if (basis.bound_known) {
    const Bound bound = bound_at(basis, at);
    set_bound(reading, bound.us,
              (bound.holdover ? EVENTID_HOLDOVER : 0u) |
                  (bound.unsynchronised ? EVENTID_UNSYNCHRONISED : 0u));
  } else {
    set_bound(reading, -1, 0);
  }
  *resolution_us = resolution;
  return 0;
}

// The view to read after the current one failed: a new one where a relay made a new segment,
// else the current one.
const SegmentReader::View* SegmentReader::look_again(std::int64_t now_us) {
  std::int64_t looked = looked_us_.load(std::memory_order_relaxed);
  if (now_us - looked < kLookEveryUs) return current_.load(std::memory_order_acquire);
  std::unique_lock<std::mutex> lock(looking_, std::try_to_lock);
  if (!lock || !looked_us_.compare_exchange_strong(looked, now_us)) {
    return current_.load(std::memory_order_acquire);  // another thread is looking
  }
  const View* view = current_.load(std::memory_order_acquire);
  if (!view || segment_replaced(where_.c_str(), view->mapped)) map_new();
  return current_.load(std::memory_order_acquire);
}

int SegmentReader::map_new() {
  MappedView mapped;
  int code = map_segment(where_.c_str(), &mapped);
  if (code == 0) {
    const auto& layout = *static_cast<const segment::Layout*>(mapped.data);
    if (!segment::header_known(layout, mapped.size) ||
        segment::load(layout.clock) != static_cast<std::uint32_t>(clock_id())) {
      unmap_segment(mapped);
      code = EVENTID_EUNUSABLE;
    }
  }
  View* before = current_.load(std::memory_order_relaxed);
  if (code != 0) {
    // A view that is there stays: it tells closed from stale better than no view can.
    if (!before) failure_.store(code, std::memory_order_relaxed);
    return code;
  }
  const bool with_bound = segment::has_bound(*static_cast<const segment::Layout*>(mapped.data));
  auto* view = new (std::nothrow) View{mapped, with_bound, before};
  if (!view) {
    unmap_segment(mapped);
    return EVENTID_ENOMEM;
  }
  current_.store(view, std::memory_order_release);
  return 0;
}

}  // namespace eventid::client
