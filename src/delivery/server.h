// The delivery server: local clients get the upstream's current event ID from here.
#pragma once

#include <cstdint>
#include <stop_token>

#include "delivery/client_names.h"
#include "net/net.h"
#include "timing/clock.h"
#include "timing/ring.h"

namespace eventid {

inline constexpr std::uint16_t kDeliveryPort = 58051;
// What one receive from a client takes; each receive that returns data earns one line.
inline constexpr std::size_t kClientReceiveSize = 100;

// A listening socket bound to local, with the longest queue the system takes, after writing
// "Waiting for incoming connections..."; an invalid socket after a failure, already reported.
net::Socket open_listener(const net::Endpoint& local);

// Serves one client at a time: an ID line at once, then one more for every receive that
// returns data. A client's failure only drops that client. Returns once the listener has
// failed (reported), or, for tests, when stop is requested and the next client connects.
void serve_clients(const net::Socket& listener, const SampleRing& ring, const Clock& clock,
                   ClientNames& names, std::stop_token stop = {});

// Listens on every local address at kDeliveryPort and serves from a primed ring. Returns only
// after a failure of the listening socket, which it has already reported.
void deliver_id(const SampleRing& ring, const Clock& clock);

}  // namespace eventid
