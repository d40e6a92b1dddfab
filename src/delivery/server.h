// The delivery server: local clients get the upstream's current event ID from here.
#pragma once

#include <cstdint>

#include "timing/context.h"

inline constexpr std::uint16_t kDeliveryPort = 58051;

// Listens on every local address at kDeliveryPort and serves one client at a time: an ID line
// at once, then one more for every chunk the client sends. A client's failure only drops that
// client. Returns only after the listening socket has failed, which it has already reported.
void deliver_id(context_t* ctx);
