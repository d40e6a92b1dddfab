// The status listener: GET or HEAD of /metrics (Prometheus) and /status (JSON), one request a
// connection. It has a thread of its own, so that it never delays an ID client, and it opens
// at start-up, so that a relay still waiting for its upstream can be seen.
#pragma once

#include <cstdint>
#include <memory>

#include "net/net.h"
#include "status/report.h"

namespace eventid {

// Connections served at once; more wait in the listen queue.
inline constexpr int kMostStatusClients = 16;
// A connection is dropped this long after it came, unless answered and gone by then.
inline constexpr std::int64_t kStatusTimeoutUs = 10000000;

// The listener at where, after "Status on ADDR:PORT" with the port really taken. After a
// failure, written as "main() status STEP failed: TEXT", an invalid socket.
net::Socket open_status_listener(const net::Endpoint& where);

// The answer to one request head, or to a head that never ended within kMostRequestHead.
std::string status_answer(std::string_view head, const StatusSources& sources);

class StatusServer {
 public:
  StatusServer(const net::Socket& listener, StatusSources sources);
  ~StatusServer();
  // Serves until stop() (or the listener fails).
  void run();
  // From any thread: stop() ends run() soon; wake() makes it read the clock again.
  void stop();
  void wake();

 private:
  class Loop;
  std::unique_ptr<Loop> loop_;
};

}  // namespace eventid
