// The relay's own line for each "flags jitter jitter0 lowest_offset_us rate carried_us anchor_us
// oldest_arrival_us resolution_us now_us" on standard input, the doubles in hexadecimal (exact).
#include <cinttypes>
#include <cstdio>

#include "delivery/id_line.h"
#include "publish/segment.h"
#include "timing/estimate.h"

int main() {
  eventid::segment::BasisRecord r{};
  std::int64_t now_us = 0;
  while (std::scanf("%" SCNu32 " %" SCNd32 " %" SCNd32 " %" SCNd64 " %la %la %" SCNd64 " %" SCNd64
                    " %" SCNd64 " %" SCNd64,
                    &r.flags, &r.jitter, &r.jitter0, &r.lowest_offset_us, &r.rate, &r.carried_us,
                    &r.anchor_us, &r.oldest_arrival_us, &r.resolution_us, &now_us) == 10) {
    // The relay's clock reads in whole steps of its resolution.
    const std::int64_t at = now_us / r.resolution_us * r.resolution_us;
    const auto line =
        eventid::format_id_line(eventid::estimate(eventid::segment::from_record(r), at));
    std::fwrite(line.text, 1, line.size, stdout);
  }
  return 0;
}
