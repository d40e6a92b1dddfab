// The delivery server: local clients get the upstream's current event ID from here. One
// readiness loop on one thread serves them all, none of its calls ever blocking.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "delivery/client_names.h"
#include "loop/event_loop.h"
#include "net/net.h"
#include "timing/clock.h"
#include "timing/ring.h"

namespace eventid {

inline constexpr std::uint16_t kDeliveryPort = 58051;
// What one receive from a client takes; each receive that returns data earns one line.
inline constexpr std::size_t kClientReceiveSize = 100;
inline constexpr int kMostClients = 1024;
// Addresses that one --listen takes.
inline constexpr std::size_t kMostListeners = 8;

// What the server has done, for whoever watches the relay: written by the serving threads
// alone (the ID port's, and the push listener's with --push), read by any.
struct ServerCounters {
  std::atomic<std::uint64_t> held{0};      // clients held now
  std::atomic<std::uint64_t> accepted{0};  // clients taken from the listen queue
  std::atomic<std::uint64_t> lines{0};     // ID lines made
  // Clients dropped: silent or not reading for the idle timeout; gone (closed or reset by
  // the client, before their greeting too); failed (a send or receive failed otherwise).
  std::atomic<std::uint64_t> dropped_idle{0}, dropped_gone{0}, dropped_failed{0};
};

struct ServerConfig {
  // Each is served alike, its clients counted with the others'. Address 0: every local one.
  std::vector<net::Endpoint> listen{net::Endpoint{0, kDeliveryPort}};
  bool listen_given = false;                  // --listen: a listener that fails is named
  int socket_mode = net::kDefaultSocketMode;  // of a Unix-domain listener's socket
  bool say_where = false;                     // "Listening on ADDRESS" once listening
  int clients = 1;                            // conversations at a time
  std::int64_t idle_timeout_us = 0;           // drop a client silent, or not reading, this long
};

// What the server takes from the world beyond its loop: tests hand in their own.
struct ServerSeam {
  ClientNames::Lookup lookup = ClientNames::system_lookup;  // a client host's name
  Acceptor accept = system_acceptor();
};

// The listening sockets config names, each with the longest queue the system takes, before
// "Waiting for incoming connections..."; none after a failure, already reported.
std::vector<net::Socket> open_listeners(const ServerConfig& config);

// Serves config.clients conversations at a time, in loop: an ID line at once, then one more
// for every receive that returns data, whichever listener they came by. Clients beyond them
// wait in the listen queues. A
// client's failure only drops that client, and no client can hold up another. The lines'
// clock is the loop's. The listeners, the ring and the counters outlive the server, and
// the loop outlives it too.
class Server {
 public:
  Server(EventLoop& loop, const std::vector<net::Socket>& listeners, const ServerConfig& config,
         const SampleRing& ring, ServerCounters& counters, ServerSeam seam = {});
  ~Server();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// How another thread ends deliver_id() (a Windows service being stopped): stop() ends the
// serving loop, which closes the listener and every client as deliver_id() returns. Once
// stopped, a loop that begins later ends as soon as it begins.
class ServingStop {
 public:
  // From any thread. True when a loop was serving: deliver_id() returns soon.
  bool stop();
  // For deliver_id(): the loop about to serve, and null before the loop goes.
  void attach(EventLoop* loop);

 private:
  std::mutex mutex_;
  EventLoop* loop_ = nullptr;
  bool stopped_ = false;
};

// Listens as config says and serves from a primed ring; on_listening runs once clients can
// connect. Returns after a failure of the listening socket, which it has reported, or after
// stop->stop().
void deliver_id(const ServerConfig& config, const SampleRing& ring, const Clock& clock,
                ServerCounters& counters, const std::function<void()>& on_listening,
                ServingStop* stop = nullptr);

}  // namespace eventid
