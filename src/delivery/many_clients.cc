#include "delivery/many_clients.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <queue>
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
constexpr std::uint64_t kListenerKey = ~std::uint64_t{0};

// One conversation. At most one line is ever unsent; while it is, the client's requests are
// not read, so TCP holds back a client that does not read.
struct Client {
  net::Socket socket;
  net::Endpoint peer;
  std::size_t slot = 0;      // its key in the poller
  std::uint64_t serial = 0;  // which of the clients that had this slot
  unsigned registered = 0;   // what the poller waits for on its behalf
  std::string label;         // " (ADDR:PORT)"
  bool greeted = false;      // "Connected to" written and the first line made
  Steady::time_point until;  // before greeted: the name's deadline; after: the idle deadline
  IdLine line{};
  std::size_t sent = 0;  // of line
  bool gone = false;

  bool sending() const { return sent < line.size; }
  unsigned wanted() const { return !greeted ? 0u : sending() ? net::kWritable : net::kReadable; }
};

// Idle deadlines, earliest first; one entry per client. An entry older than its client's
// deadline (the client has asked since) is put back with the new one when it comes up.
struct IdleEntry {
  Steady::time_point deadline;
  std::size_t slot;
  std::uint64_t serial;
  bool operator>(const IdleEntry& other) const { return deadline > other.deadline; }
};
using IdleQueue = std::priority_queue<IdleEntry, std::vector<IdleEntry>, std::greater<>>;

class Loop {
 public:
  Loop(const net::Socket& listener, const ServerConfig& config, const SampleRing& ring,
       const Clock& clock, ClientNames& names)
      : listener_(listener), config_(config), ring_(ring), clock_(clock), names_(names) {}

  void run(std::stop_token stop) {
    if (!poller_.ok() || !poller_.add(listener_, net::kReadable, kListenerKey)) {
      report_error("deliver_id() poll failed: %s\r\n", net::last_error());
      return;
    }
    std::vector<net::Poller::Event> events;
    for (;;) {
      watch_listener();
      poller_.wait(&events, timeout_ms());
      if (stop.stop_requested()) return;
      for (const net::Poller::Event& e : events) {
        if (e.key == kListenerKey) {
          if (!accept_all()) return;
        } else if (Client* c = slots_[e.key].get(); c && !c->gone && c->greeted) {
          c->sending() ? send_rest(*c) : receive(*c);
        }
      }
      look_after_names();
      look_after_idle();
      release_gone();
    }
  }

 private:
  bool full() const { return count_ >= static_cast<std::size_t>(config_.clients); }

  // The listener is waited on while a place is free and no shortage is being waited out.
  void watch_listener() {
    const bool wanted = !full() && Steady::now() >= accept_after_;
    if (wanted == watching_listener_) return;
    poller_.change(listener_, wanted ? net::kReadable : 0u, kListenerKey);
    watching_listener_ = wanted;
  }

  // Until the next name to look for, idle deadline, or end of a pause in accepting.
  int timeout_ms() const {
    const Steady::time_point now = Steady::now();
    std::optional<Steady::time_point> next;
    const auto consider = [&](Steady::time_point t) {
      if (!next || t < *next) next = t;
    };
    if (!full() && accept_after_ > now) consider(accept_after_);
    if (!naming_.empty()) consider(now + kNameLook);
    if (!idle_.empty()) consider(idle_.top().deadline);
    if (!next) return -1;
    const auto wait = std::chrono::ceil<milliseconds>(*next - now);
    return static_cast<int>(std::max<milliseconds::rep>(0, wait.count()));
  }

  // Takes waiting clients while places are free. False when the listener is broken.
  bool accept_all() {
    while (!full()) {
      auto c = std::make_unique<Client>();
      switch (accept_one(listener_, &c->socket, &c->peer)) {
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

  void welcome(std::unique_ptr<Client> c) {
    net::set_no_delay(c->socket);
    net::set_nonblocking(c->socket, true);
    c->label = peer_label(c->peer);
    c->until = Steady::now() + ClientNames::kFirstWait;
    const std::size_t slot = take_slot(std::move(c));
    Client& client = *slots_[slot];
    client.slot = slot;
    client.serial = ++serials_;
    poller_.add(client.socket, 0, slot);
    if (std::optional<std::string> name = names_.settled_name(client.peer)) {
      greet(slot, *name);
    } else {
      naming_.push_back(slot);
    }
  }

  std::size_t take_slot(std::unique_ptr<Client> c) {
    ++count_;
    if (free_.empty()) {
      slots_.push_back(std::move(c));
      return slots_.size() - 1;
    }
    const std::size_t slot = free_.back();
    free_.pop_back();
    slots_[slot] = std::move(c);
    return slot;
  }

  void greet(std::size_t slot, const std::string& name) {
    Client& c = *slots_[slot];
    console_out("Connected to %s%s\r\n", name.c_str(), c.label.c_str());
    c.greeted = true;
    send_fresh_line(c);
    if (config_.idle_timeout_s > 0 && !c.gone) idle_.push({c.until, slot, c.serial});
  }

  // Clients whose name is still out: greeted once it has come, or its wait is over.
  void look_after_names() {
    const Steady::time_point now = Steady::now();
    std::erase_if(naming_, [&](std::size_t slot) {
      std::optional<std::string> name = names_.answer(slots_[slot]->peer);
      if (!name && now < slots_[slot]->until) return false;
      greet(slot, name.value_or(net::address_text(slots_[slot]->peer.address)));
      return true;
    });
  }

  void look_after_idle() {
    const Steady::time_point now = Steady::now();
    while (!idle_.empty() && idle_.top().deadline <= now) {
      const IdleEntry entry = idle_.top();
      idle_.pop();
      Client* c = slots_[entry.slot].get();
      if (!c || c->serial != entry.serial || c->gone) continue;
      if (c->until <= now) {
        drop(*c);
      } else {
        idle_.push({c->until, entry.slot, entry.serial});
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
    } else if (const int err = net::last_error(); !net::would_block(err)) {
      report_send_failure(err);
      drop(c);
      return;
    }
    // Mostly a line goes out whole, and the client is waited on for reading as before.
    if (c.wanted() != c.registered) {
      poller_.change(c.socket, c.wanted(), c.slot);
      c.registered = c.wanted();
    }
  }

  void drop(Client& c) {
    poller_.remove(c.socket);
    c.socket.close();
    c.gone = true;
    gone_.push_back(c.slot);
    console_out("Connection dropped%s\r\n", c.label.c_str());
  }

  // After a round of events: none of them can name a slot that has a new client meanwhile.
  void release_gone() {
    for (const std::size_t slot : gone_) {
      slots_[slot].reset();
      free_.push_back(slot);
      --count_;
    }
    gone_.clear();
  }

  const net::Socket& listener_;
  const ServerConfig& config_;
  const SampleRing& ring_;
  const Clock& clock_;
  ClientNames& names_;
  net::Poller poller_;
  bool watching_listener_ = true;
  Steady::time_point accept_after_{};
  std::vector<std::unique_ptr<Client>> slots_;  // the poller's key is the slot
  std::vector<std::size_t> free_, gone_;
  std::size_t count_ = 0;
  std::uint64_t serials_ = 0;
  std::vector<std::size_t> naming_;  // slots whose name is still out
  IdleQueue idle_;
};

}  // namespace

void serve_many_at_a_time(const net::Socket& listener, const ServerConfig& config,
                          const SampleRing& ring, const Clock& clock, ClientNames& names,
                          std::stop_token stop) {
  net::set_nonblocking(listener, true);
  Loop(listener, config, ring, clock, names).run(stop);
}

}  // namespace eventid
