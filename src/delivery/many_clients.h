// Many conversations at a time, on one thread: a readiness loop over the listener and every
// client's socket, none of them ever blocking.
#pragma once

#include <stop_token>

#include "delivery/server.h"

namespace eventid {

void serve_many_at_a_time(const net::Socket& listener, const ServerConfig& config,
                          const SampleRing& ring, const Clock& clock, ClientNames& names,
                          std::stop_token stop);

}  // namespace eventid
