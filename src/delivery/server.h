// The delivery server: local clients get the upstream's current event ID from here.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>

#include "delivery/client_names.h"
#include "net/net.h"
#include "timing/clock.h"
#include "timing/ring.h"

namespace eventid {

inline constexpr std::uint16_t kDeliveryPort = 58051;
// What one receive from a client takes; each receive that returns data earns one line.
inline constexpr std::size_t kClientReceiveSize = 100;
inline constexpr int kMostClients = 1024;

struct ServerConfig {
  net::Endpoint local{0, kDeliveryPort};  // address 0: every local address
  bool say_where = false;                 // "Listening on ADDR:PORT" once listening
  int clients = 1;                        // conversations at a time
  int idle_timeout_s = 0;                 // drop a client silent this long; 0: never
};

// A listening socket as config says, with the longest queue the system takes, after writing
// "Waiting for incoming connections..."; an invalid socket after a failure, already reported.
net::Socket open_listener(const ServerConfig& config);

// Serves config.clients conversations at a time: an ID line at once, then one more for every
// receive that returns data. A client's failure only drops that client, and no client can
// hold up another. Returns once the listener has failed (reported), or, for tests, when stop
// is requested and the next client connects.
void serve_clients(const net::Socket& listener, const ServerConfig& config, const SampleRing& ring,
                   const Clock& clock, ClientNames& names, std::stop_token stop = {});

// Listens as config says and serves from a primed ring; on_listening runs once clients can
// connect. Returns only after a failure of the listening socket, which it has reported.
void deliver_id(const ServerConfig& config, const SampleRing& ring, const Clock& clock,
                const std::function<void()>& on_listening);

}  // namespace eventid
