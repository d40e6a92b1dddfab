// What every delivery listener (the ID port, the push listener) says of its clients, the same
// way: "Connected to NAME" once a client's host name has come or its wait is over, and
// "Connection dropped", each followed by " (ADDR:PORT)" where many clients are served at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "delivery/client_names.h"
#include "delivery/server.h"
#include "loop/event_loop.h"
#include "net/net.h"

namespace eventid {

// Why a client is dropped: each is counted on its own.
enum class DropReason { kIdle, kGone, kFailed };

// What follows a client's messages: " (ADDR:PORT)" when many are served at once, else nothing.
// A Unix-domain client is named by the socket it came by, and by its process where the system
// tells it: " (unix:PATH, pid N)", so that many clients of one socket can be told apart.
std::string client_label(const net::Socket& s, const net::Endpoint& peer, int places);

// A send failure is reported ("WHO send failed: TEXT") unless the client reset or closed the
// connection under it.
DropReason send_failed(const char* who, int err);

// "Connection dropped" with the client's label, counted by why.
void say_dropped(const std::string& label, DropReason why, ServerCounters& counters);

// Clients waiting for their greeting, named by slot: each is greeted ("Connected to NAME" said,
// then on_greeted) at once when its host's name is known, else once the name comes or its wait
// is over, in the loop and in the order they came. The loop outlives it.
class Greeter {
 public:
  using Greeted = std::function<void(std::size_t slot)>;
  Greeter(EventLoop& loop, ClientNames::Lookup lookup, Greeted on_greeted);

  void arrive(std::size_t slot, const net::Endpoint& peer, const std::string& label);
  // A client gone before its greeting.
  void forget(std::size_t slot);
  // After every turn of the loop: takes up the answers that lookups have left, and sets the
  // deadline of the first client still waiting.
  void after_turn();

 private:
  struct Waiting {
    std::size_t slot;
    net::Endpoint peer;
    std::string label;
    std::int64_t deadline_us;
  };
  void greet(const Waiting& w, const std::string& name);

  EventLoop& loop_;
  Greeted on_greeted_;
  ClientNames names_;
  EventLoop::Timer due_;
  std::deque<Waiting> waiting_;
};

}  // namespace eventid
