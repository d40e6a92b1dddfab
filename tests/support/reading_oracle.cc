// The relay's own line and bound for each "flags jitter jitter0 lowest_offset_us rate carried_us
// anchor_us oldest_arrival_us resolution_us rest_arrival_us newest_arrival_us bound_fixed_us
// bound_growth now_us" on standard input, the doubles in hexadecimal (exact): the line, then
// "BOUND_US HOLDOVER UNSYNCHRONISED" (-1 0 0 without the bound) on a line of its own.
#include <cinttypes>
#include <cstdio>

#include "delivery/id_line.h"
#include "publish/segment.h"
#include "timing/bound.h"
#include "timing/estimate.h"

int main() {
  eventid::segment::BasisRecord r{};
  std::int64_t now_us = 0;
  while (std::scanf("%" SCNu32 " %" SCNd32 " %" SCNd32 " %" SCNd64 " %la %la %" SCNd64 " %" SCNd64
                    " %" SCNd64 " %" SCNd64 " %" SCNd64 " %la %la %" SCNd64,
                    &r.flags, &r.jitter, &r.jitter0, &r.lowest_offset_us, &r.rate, &r.carried_us,
                    &r.anchor_us, &r.oldest_arrival_us, &r.resolution_us, &r.rest_arrival_us,
                    &r.newest_arrival_us, &r.bound_fixed_us, &r.bound_growth, &now_us) == 14) {
    // The relay's clock reads in whole steps of its resolution.
    const std::int64_t at = now_us / r.resolution_us * r.resolution_us;
    const eventid::Basis basis = eventid::segment::from_record(r);
    const auto line = eventid::format_id_line(eventid::estimate(basis, at));
    std::fwrite(line.text, 1, line.size, stdout);
    eventid::Bound bound{-1, false, false};
    if (basis.bound_known) bound = eventid::bound_at(basis, at);
    std::printf("%" PRId64 " %d %d\n", bound.us, bound.holdover, bound.unsynchronised);
  }
  return 0;
}
