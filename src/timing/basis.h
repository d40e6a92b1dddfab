// What an estimate rests on, apart from the clock reading (estimate.h makes and reads it).
#pragma once

#include <cstdint>

namespace eventid {

// Everything that a line needs but the clock reading: made once from the ring at each change
// (a sample, the connection, the rate in use), so that a line costs no scan of the slots, and
// the same for every reader. Plain numbers, no pointers.
struct Basis {
  bool primed = false;
  bool connected = false;
  std::int64_t lowest_offset_us = 0;  // the smallest offset of the ring
  double rate = 0;                    // the rate in use; 0 without
  // The smallest of the offsets, as distances above lowest_offset_us, each carried at the rate
  // to anchor_us: at now_us it is that less rate × (now_us - anchor_us). 0 at a rate of 0.
  double carried_us = 0;
  std::int64_t anchor_us = 0;
  std::int64_t oldest_arrival_us = 0;  // for the state letter
  std::int32_t jitter = 0, jitter0 = 0;
  // What the error bound rests on (bound.h): the sample the estimate rests on, the newest
  // sample's arrival, and the bound's two terms, one fixed and one growing with the age of
  // that sample.
  std::int64_t rest_arrival_us = 0, rest_offset_us = 0;
  std::int64_t newest_arrival_us = 0;
  bool bound_known = false;
  double bound_fixed_us = 0;  // the clock's resolution and the estimate's noise
  double bound_growth = 0;    // the rate allowance: µs of error per µs since rest_arrival_us
};

}  // namespace eventid
