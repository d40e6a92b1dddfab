// The estimate of the upstream's current event ID, extrapolated from the ring and the clock.
#pragma once

#include "timing/context.h"

// The pure core. Rests on the smallest offset in the ring (the sample that travelled fastest);
// slot kRingSize - 1 is the reference for both jitter figures. Defined for any ring contents.
ID_t estimate_id(const ID_event_t (&events)[kRingSize], int connected, const time_value_t& now);

// The estimate for this moment, from a primed context. Changes nothing in ctx.
void calc_id(context_t* ctx, ID_t* return_id);
