// The status listener: GET or HEAD of /metrics (Prometheus) and /status (JSON), one request a
// connection. It has a loop and a thread of its own, so that it never delays an ID client, and
// it opens at start-up, so that a relay still waiting for its upstream can be seen.
//
// Any local process can connect to it, so no connection may keep monitoring from it: a head
// must come whole within kStatusHeadTimeoutUs, and when every place is taken a newcomer takes
// the place of one that is draining, or else of the one that has waited longest for its head.
#pragma once

#include <cstdint>
#include <memory>

#include "loop/event_loop.h"
#include "net/net.h"
#include "status/report.h"

namespace eventid {

// Connections served at once, on the one thread; more wait in the listen queue.
inline constexpr int kMostStatusClients = 64;
// Descriptors that the status listener may hold: its places, the listener, and a newcomer
// while the place it takes is given up.
inline constexpr int kStatusDescriptors = kMostStatusClients + 2;
// A connection whose request head has not come whole this long after it came is dropped.
inline constexpr std::int64_t kStatusHeadTimeoutUs = 2000000;
// One that does not take its answer this long after it came is dropped.
inline constexpr std::int64_t kStatusTimeoutUs = 10000000;
// After its answer, what a client still sends is read, up to these, before the connection
// closes: closed with unread data, it would be reset, and a reset can destroy the answer
// before the client has read it.
inline constexpr std::int64_t kStatusDrainUs = 1000000;
inline constexpr std::size_t kMostStatusDrain = 65536;

// The listener at where, after "Status on ADDRESS" with the port really taken. After a
// failure, written as "main() status STEP failed: TEXT" and the address, an invalid socket.
net::Socket open_status_listener(const net::Endpoint& where,
                                 int socket_mode = net::kDefaultSocketMode);

// The answer to one request head, or to a head that never ended within kMostRequestHead.
std::string status_answer(std::string_view head, const StatusSources& sources);

// Serves the status listener in loop, whose clock is the sources' own.
class StatusServer {
 public:
  StatusServer(EventLoop& loop, const net::Socket& listener, StatusSources sources,
               Acceptor accept = system_acceptor());
  ~StatusServer();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// The status listener's thread: serves until its listener or its wait fails, which it reports.
void serve_status(const net::Socket& listener, const StatusSources& sources);

}  // namespace eventid
