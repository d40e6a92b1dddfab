#include "delivery/many_clients.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "console/console.h"
#include "delivery/conversation.h"

namespace eventid {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kOutOfResourcesPause{100};
// How often a client whose name is still being looked up is looked at again.
constexpr milliseconds kNameLook{5};

// One conversation. At most one line is ever unsent; while it is, the client's requests are
// not read, so TCP holds a client that does not read back.
struct Client {
  net::Socket socket;
  net::Endpoint peer;
  std::string label;         // " (ADDR:PORT)"
  bool greeted = false;      // "Connected to" written and the first line made
  Steady::time_point until;  // before greeted: the name's deadline; after: the idle deadline
  IdLine line{};
  std::size_t sent = 0;  // of line
  bool gone = false;

  bool sending() const { return sent < line.size; }
};

class Loop {
 public:
  Loop(const net::Socket& listener, const ServerConfig& config, const SampleRing& ring,
       const Clock& clock, ClientNames& names)
      : listener_(listener), config_(config), ring_(ring), clock_(clock), names_(names) {}

  void run(std::stop_token stop) {
    for (;;) {
      const bool accepting = fill_entries();
      const int ready = net::poll_sockets(entries_.data(), entries_.size(), timeout_ms());
      if (stop.stop_requested()) return;
      if (ready > 0) serve_ready();
      if (ready > 0 && accepting && entries_.back().found != 0 && !accept_all()) return;
      look_after_waiting();
      clients_.erase(
          std::remove_if(clients_.begin(), clients_.end(), [](const Client& c) { return c.gone; }),
          clients_.end());
    }
  }

 private:
  bool listening() const { return clients_.size() < static_cast<std::size_t>(config_.clients); }

  // Entry i for client i, each for what it waits on, then the listener while a place is free
  // and no shortage of descriptors is being waited out. Returns whether the listener is in.
  bool fill_entries() {
    entries_.clear();
    for (const Client& c : clients_) {
      const unsigned wanted = !c.greeted ? 0u : c.sending() ? net::kWritable : net::kReadable;
      entries_.push_back({c.socket.get(), wanted, 0});
    }
    if (!listening() || Steady::now() < accept_after_) return false;
    entries_.push_back({listener_.get(), net::kReadable, 0});
    return true;
  }

  // Until the next name to look for, idle deadline, or end of a pause in accepting.
  int timeout_ms() const {
    const Steady::time_point now = Steady::now();
    std::optional<Steady::time_point> next;
    const auto consider = [&](Steady::time_point t) {
      if (!next || t < *next) next = t;
    };
    if (listening() && accept_after_ > now) consider(accept_after_);
    for (const Client& c : clients_) {
      if (!c.greeted) consider(std::min(c.until, now + kNameLook));
      if (c.greeted && config_.idle_timeout_s > 0) consider(c.until);
    }
    if (!next) return -1;
    const auto wait = std::chrono::ceil<milliseconds>(*next - now);
    return static_cast<int>(std::max<milliseconds::rep>(0, wait.count()));
  }

  // Takes every waiting client while places are free. False when the listener is broken.
  bool accept_all() {
    while (listening()) {
      Client c;
      switch (accept_one(listener_, &c.socket, &c.peer)) {
        case AcceptOutcome::kClient:
          welcome(std::move(c));
          continue;
        case AcceptOutcome::kTryAgain:
          if (net::would_block(net::last_error())) return true;
          continue;
        case AcceptOutcome::kPauseThenTryAgain:
          accept_after_ = Steady::now() + kOutOfResourcesPause;
          return true;
        case AcceptOutcome::kListenerBroken:
          return false;
      }
    }
    return true;
  }

  void welcome(Client c) {
    net::set_no_delay(c.socket);
    net::set_nonblocking(c.socket, true);
    c.label = peer_label(c.peer);
    c.until = Steady::now() + ClientNames::kFirstWait;
    std::optional<std::string> name = names_.settled_name(c.peer);
    clients_.push_back(std::move(c));
    if (name) greet(clients_.back(), *name);
  }

  void greet(Client& c, const std::string& name) {
    console_out("Connected to %s%s\r\n", name.c_str(), c.label.c_str());
    c.greeted = true;
    send_fresh_line(c);
  }

  // Clients whose name is still out, and clients silent for too long.
  void look_after_waiting() {
    const Steady::time_point now = Steady::now();
    for (Client& c : clients_) {
      if (c.gone) continue;
      if (!c.greeted) {
        std::optional<std::string> name = names_.answer(c.peer);
        if (name || now >= c.until) greet(c, name.value_or(net::address_text(c.peer.address)));
      } else if (config_.idle_timeout_s > 0 && now >= c.until) {
        drop(c);
      }
    }
  }

  // Before accept_all: the entries are the clients' of this round.
  void serve_ready() {
    const std::size_t polled = std::min(clients_.size(), entries_.size());
    for (std::size_t i = 0; i < polled; ++i) {
      Client& c = clients_[i];
      const unsigned found = entries_[i].found;
      if (found == 0 || c.gone || !c.greeted) continue;
      if (c.sending()) {
        send_rest(c);
      } else {
        receive(c);
      }
    }
  }

  void receive(Client& c) {
    char request[kClientReceiveSize];
    const long n = net::receive_some(c.socket, request, sizeof request);
    if (n > 0) {
      send_fresh_line(c);
    } else if (n == 0 || !net::would_block(net::last_error())) {
      drop(c);
    }
  }

  // Every estimate is made at the moment its line is.
  void send_fresh_line(Client& c) {
    c.line = fresh_line(ring_, clock_);
    c.sent = 0;
    if (config_.idle_timeout_s > 0) {
      c.until = Steady::now() + std::chrono::seconds(config_.idle_timeout_s);
    }
    send_rest(c);
  }

  void send_rest(Client& c) {
    const long n = net::send_some(c.socket, c.line.text + c.sent, c.line.size - c.sent);
    if (n >= 0) {
      c.sent += static_cast<std::size_t>(n);
      return;
    }
    const int err = net::last_error();
    if (net::would_block(err)) return;
    c.socket.close();
    report_send_failure(err);
    drop(c);
  }

  void drop(Client& c) {
    c.socket.close();
    c.gone = true;
    console_out("Connection dropped%s\r\n", c.label.c_str());
  }

  const net::Socket& listener_;
  const ServerConfig& config_;
  const SampleRing& ring_;
  const Clock& clock_;
  ClientNames& names_;
  std::vector<Client> clients_;
  std::vector<net::PollEntry> entries_;
  Steady::time_point accept_after_{};
};

}  // namespace

void serve_many_at_a_time(const net::Socket& listener, const ServerConfig& config,
                          const SampleRing& ring, const Clock& clock, ClientNames& names,
                          std::stop_token stop) {
  net::set_nonblocking(listener, true);
  Loop(listener, config, ring, clock, names).run(stop);
}

}  // namespace eventid
