// The push listener (--push): each client gets an ID line at once and then one as each new ID
// begins by the relay's estimate, without asking; what it sends is read and ignored. It has
// places, a loop and a thread of its own, so that it never delays an ID client, and it says
// what the ID port says of its clients ("Connected to NAME", "Connection dropped").
#pragma once

#include <cstdint>
#include <memory>

#include "delivery/server.h"
#include "loop/event_loop.h"
#include "net/net.h"
#include "timing/clock.h"
#include "timing/ring.h"

namespace eventid {

inline constexpr int kDefaultPushClients = 64;
inline constexpr int kMostPushClients = 1024;
// A client is dropped, as an idle one, this long after the first send to it that blocked.
inline constexpr std::int64_t kPushBlockedUs = 1000000;
// What a client may leave unsent before its sends block, asked of the system (Linux doubles
// it): a few hundred lines, so that a client that does not read is seen within seconds and the
// relay holds no queue of lines for it.
inline constexpr int kPushSendBuffer = 4096;
// Descriptors besides its clients': the listener, the loop's own three, the name lookups.
inline constexpr int kPushDescriptors = 8;

struct PushConfig {
  int clients = kDefaultPushClients;  // clients held at once; more wait in the listen queue
  // Under a real-time policy the early wake-up before each boundary widens, up to 1 ms, as the
  // timer's wake-ups have needed lately: no other program takes the CPU while the thread reads
  // the clock. Under the usual one it stays at its least, since a longer wait that reads the
  // clock is more often taken off the CPU, for longer, on a busy host.
  bool real_time = false;
};

// The listener at where, after "Push on ADDRESS" with the port really taken. After a
// failure, written as "main() push STEP failed: TEXT" and the address, an invalid socket.
net::Socket open_push_listener(const net::Endpoint& where,
                               int socket_mode = net::kDefaultSocketMode);

// Pushes to config.clients clients at a time, in loop, from ring: the line of the moment, made
// as each client is sent it, so that its µs field tells how late it went. A client gets at
// most one line per ID and never one for an ID before the last pushed; a line it has not taken
// is never followed by another until it has gone, and kPushBlockedUs after its first send that
// blocked the client is dropped. The lines' clock is the loop's. The listener, the ring and the
// counters outlive the server, and the loop outlives it too.
class PushServer {
 public:
  PushServer(EventLoop& loop, const net::Socket& listener, const PushConfig& config,
             const SampleRing& ring, ServerCounters& counters, ServerSeam seam = {});
  ~PushServer();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// The push listener's thread, once the ring is primed: serves until its listener or its wait
// fails, which it reports.
void push_id(const net::Socket& listener, const PushConfig& config, const SampleRing& ring,
             const Clock& clock, ServerCounters& counters);

}  // namespace eventid
