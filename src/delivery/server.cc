#include "delivery/server.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "console/console.h"
#include "delivery/id_line.h"
#include "delivery/idle_order.h"
#include "timing/estimate.h"

namespace eventid {
namespace {

constexpr std::uint64_t kListenerKey = net::kWakeKey - 1;

// One conversation. At most one line is ever unsent; while it is, the client's requests are
// not read, so TCP holds back a client that does not read.
struct Client {
  net::Socket socket;
  net::Endpoint peer;
  std::size_t slot = 0;     // its key in the poller
  bool watched = true;      // registered with the poller
  unsigned registered = 0;  // what the poller waits for on its behalf
  bool greeted = false;     // "Connected to" written and the first line made
  bool gone = false;
  std::string label;                  // " (ADDR:PORT)" when many are served, else empty
  std::int64_t name_deadline_us = 0;  // before greeted
  std::int64_t last_line_us = 0;      // when the latest line was made
  IdleOrder::Place idle_place;        // with an idle timeout
  IdLine line{};
  std::size_t sent = 0;  // of line

  bool sending() const { return sent < line.size; }
  unsigned wanted() const { return sending() ? net::kWritable : net::kReadable; }
};

std::string peer_label(const net::Endpoint& peer) {
  return std::string(" (") + net::address_text(peer.address) + ":" + std::to_string(peer.port) +
         ")";
}

// Why a client is dropped: each is counted on its own.
enum class DropReason { kIdle, kGone, kFailed };

// A send failure is reported unless the client reset or closed the connection under it.
DropReason send_failed(int err) {
  if (net::is_peer_gone(err)) return DropReason::kGone;
  report_error("deliver_id() send failed: %s\r\n", err);
  return DropReason::kFailed;
}

}  // namespace

class Server::Loop {
 public:
  Loop(const net::Socket& listener, const ServerConfig& config, const SampleRing& ring,
       ServerSeam seam)
      : listener_(listener),
        config_(config),
        ring_(ring),
        seam_(std::move(seam)),
        counters_(config.counters ? *config.counters : uncounted_),
        names_(seam_.lookup, seam_.clock, [this] { poller_.wake(); }) {}

  bool run() {
    net::set_nonblocking(listener_, true);
    if (!poller_.ok() || !poller_.add(listener_, net::kReadable, kListenerKey)) {
      report_error("deliver_id() poll failed: %s\r\n", net::last_error());
      return false;
    }
    std::vector<net::Poller::Event> events;
    while (!stopping_) {
      watch_listener();
      poller_.wait(&events, timeout_ms());
      for (const net::Poller::Event& e : events) {
        if (e.key == kListenerKey) {
          if (!accept_all()) return false;
        } else if (Client* c = slots_[e.key].get(); c && !c->gone) {
          on_event(*c, e.found);
        }
      }
      look_after_names();
      look_after_idle();
      release_gone();
    }
    return true;
  }

  void stop() {
    stopping_ = true;
    poller_.wake();
  }
  void wake() { poller_.wake(); }

 private:
  bool full() const { return count_ >= static_cast<std::size_t>(config_.clients); }

  // The listener is waited on while a place is free and no shortage is being waited out.
  void watch_listener() {
    if (accept_after_us_ && seam_.clock() >= *accept_after_us_) accept_after_us_.reset();
    const bool wanted = !full() && !accept_after_us_;
    if (wanted == watching_listener_) return;
    poller_.change(listener_, wanted ? net::kReadable : 0u, kListenerKey);
    watching_listener_ = wanted;
  }

  // Until the earliest deadline: a name's wait, an idle client's, or a shortage's pause.
  int timeout_ms() {
    std::optional<std::int64_t> next;
    const auto consider = [&](std::int64_t t) { next = next ? std::min(*next, t) : t; };
    if (accept_after_us_ && !full()) consider(*accept_after_us_);
    if (!naming_.empty()) consider(slots_[naming_.front()]->name_deadline_us);
    if (!idle_.empty()) consider(slots_[idle_.oldest()]->last_line_us + config_.idle_timeout_us);
    if (!next) return -1;
    const std::int64_t wait_us = std::max<std::int64_t>(0, *next - seam_.clock());
    return static_cast<int>(std::min<std::int64_t>((wait_us + 999) / 1000, 24 * 3600 * 1000));
  }

  // Takes waiting clients while places are free. False when the listener is broken.
  bool accept_all() {
    while (!full()) {
      net::Endpoint peer;
      int err = 0;
      net::Socket s = seam_.accept(listener_, &peer, &err);
      if (s.valid()) {
        if (std::exchange(short_of_resources_, false))
          console_out("deliver_id() accepting again\r\n");
        welcome(std::move(s), peer);
        continue;
      }
      switch (net::classify_accept_error(err)) {
        case net::AcceptFailure::kClient:
          if (net::would_block(err)) return true;
          continue;
        case net::AcceptFailure::kResources:
          // A shortage that lasts is written once, not at every retry.
          if (!std::exchange(short_of_resources_, true)) {
            report_error("deliver_id() accept failed: %s\r\n", err);
          }
          accept_after_us_ = seam_.clock() + kShortagePauseUs;
          return true;
        case net::AcceptFailure::kListener:
          report_error("deliver_id() accept failed: %s\r\n", err);
          return false;
      }
    }
    return true;
  }

  void welcome(net::Socket socket, const net::Endpoint& peer) {
    // Without it a line sent right after another waits for the client's delayed ACK.
    net::set_no_delay(socket);
    net::set_nonblocking(socket, true);
    const std::size_t slot = take_slot();
    Client& c = *slots_[slot];
    c.socket = std::move(socket);
    c.peer = peer;
    c.slot = slot;
    if (config_.clients > 1) c.label = peer_label(peer);
    // Not waited on for anything yet, but a reset before the greeting still shows.
    poller_.add(c.socket, 0, slot);
    if (std::optional<std::string> name = names_.settled_name(peer)) {
      greet(c, *name);
    } else {
      c.name_deadline_us = seam_.clock() + ClientNames::kFirstWaitUs;
      naming_.push_back(slot);
    }
  }

  std::size_t take_slot() {
    ++count_;
    ++counters_.accepted;
    ++counters_.held;
    if (free_.empty()) {
      slots_.push_back(std::make_unique<Client>());
      return slots_.size() - 1;
    }
    const std::size_t slot = free_.back();
    free_.pop_back();
    slots_[slot] = std::make_unique<Client>();
    return slot;
  }

  void greet(Client& c, const std::string& name) {
    console_out("Connected to %s%s\r\n", name.c_str(), c.label.c_str());
    c.greeted = true;
    if (!c.watched) {
      poller_.add(c.socket, 0, c.slot);
      c.watched = true;
    }
    send_fresh_line(c);
  }

  void on_event(Client& c, unsigned found) {
    if (c.greeted) {
      c.sending() ? send_rest(c) : receive(c);
    } else if (found & net::kFailed) {
      before_greeting_failed(c);
    }
  }

  // A client that has reset its connection before its greeting, or closed it with nothing to
  // ask, is closed at once, unannounced: its place may be wanted. One that has only shut its
  // sending side after a request (which Windows reports as a hang-up too) stays, unwatched
  // until its greeting, and is answered as any other.
  void before_greeting_failed(Client& c) {
    poller_.remove(c.socket);
    c.watched = false;
    if (!net::peer_finished(c.socket)) return;
    std::erase(naming_, c.slot);
    c.socket.close();
    ++counters_.dropped_gone;
    mark_gone(c);
  }

  // Clients whose name is still out: greeted once it has come, or its wait is over.
  void look_after_names() {
    if (naming_.empty()) return;
    const std::int64_t now = seam_.clock();
    std::erase_if(naming_, [&](std::size_t slot) {
      Client& c = *slots_[slot];
      std::optional<std::string> name = names_.answer(c.peer);
      if (!name && now < c.name_deadline_us) return false;
      greet(c, name.value_or(net::address_text(c.peer.address)));
      return true;
    });
  }

  // Those whose latest line was made an idle timeout ago: silent since, or not reading it.
  void look_after_idle() {
    if (idle_.empty()) return;
    const std::int64_t now = seam_.clock();
    while (!idle_.empty()) {
      Client& c = *slots_[idle_.oldest()];
      if (now < c.last_line_us + config_.idle_timeout_us) break;
      drop(c, DropReason::kIdle);
    }
  }

  void receive(Client& c) {
    char request[kClientReceiveSize];
    const long n = net::receive_some(c.socket, request, sizeof request);
    if (n > 0) {
      send_fresh_line(c);
    } else if (const int err = net::last_error(); n == 0 || net::is_peer_gone(err)) {
      drop(c, DropReason::kGone);
    } else if (!net::would_block(err)) {
      drop(c, DropReason::kFailed);
    }
  }

  // Every estimate is made at the moment its line is.
  void send_fresh_line(Client& c) {
    const std::int64_t now = seam_.clock();
    c.line = format_id_line(estimate(ring_, now));
    ++counters_.lines;
    c.sent = 0;
    c.last_line_us = now;
    if (config_.idle_timeout_us > 0) idle_.touch(c.idle_place, c.slot);
    send_rest(c);
  }

  void send_rest(Client& c) {
    const long n = net::send_some(c.socket, c.line.text + c.sent, c.line.size - c.sent);
    if (n >= 0) {
      c.sent += static_cast<std::size_t>(n);
    } else if (const int err = net::last_error(); !net::would_block(err)) {
      drop(c, send_failed(err));
      return;
    }
    // Mostly a line goes out whole, and the client is waited on for reading as before.
    if (c.wanted() != c.registered) {
      poller_.change(c.socket, c.wanted(), c.slot);
      c.registered = c.wanted();
    }
  }

  void drop(Client& c, DropReason why) {
    poller_.remove(c.socket);
    c.socket.close();
    console_out("Connection dropped%s\r\n", c.label.c_str());
    ++(why == DropReason::kIdle   ? counters_.dropped_idle
       : why == DropReason::kGone ? counters_.dropped_gone
                                  : counters_.dropped_failed);
    mark_gone(c);
  }

  void mark_gone(Client& c) {
    idle_.forget(c.idle_place);
    c.gone = true;
    gone_.push_back(c.slot);
  }

  // After a round of events: none of them can name a slot that has a new client meanwhile.
  void release_gone() {
    for (const std::size_t slot : gone_) {
      slots_[slot].reset();
      free_.push_back(slot);
      --count_;
      --counters_.held;
    }
    gone_.clear();
  }

  const net::Socket& listener_;
  const ServerConfig config_;
  const SampleRing& ring_;
  const ServerSeam seam_;
  ServerCounters uncounted_;
  ServerCounters& counters_;
  net::Poller poller_;
  ClientNames names_;
  std::atomic<bool> stopping_{false};
  bool watching_listener_ = true;
  bool short_of_resources_ = false;
  std::optional<std::int64_t> accept_after_us_;  // while a shortage is waited out
  std::vector<std::unique_ptr<Client>> slots_;   // the poller's key is the slot
  std::vector<std::size_t> free_, gone_;
  std::size_t count_ = 0;
  std::deque<std::size_t> naming_;  // slots whose name is still out, in the order they came
  IdleOrder idle_;
};

Server::Server(const net::Socket& listener, const ServerConfig& config, const SampleRing& ring,
               ServerSeam seam)
    : loop_(std::make_unique<Loop>(listener, config, ring, std::move(seam))) {}
Server::~Server() = default;

bool Server::run() {
  return loop_->run();
}
void Server::stop() {
  loop_->stop();
}
void Server::wake() {
  loop_->wake();
}

ServerSeam real_server_seam(Clock clock) {
  return {std::move(clock), ClientNames::system_lookup,
          [](const net::Socket& listener, net::Endpoint* peer, int* error) {
            net::Socket s = net::accept_client(listener, peer);
            if (!s.valid()) *error = net::last_error();
            return s;
          }};
}

net::Socket open_listener(const ServerConfig& config) {
  net::Socket s = net::open_tcp4();
  if (!s.valid()) {
    report_error("deliver_id() socket failed: %s\r\n", net::last_error());
    return s;
  }
  if (!net::set_listener_address_option(s)) {
    report_error("deliver_id() setsockopt failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  if (!net::bind_to(s, config.local)) {
    const int err = net::last_error();
    s.close();
    report_error("deliver_id() bind failed: %s\r\n", err);
    return s;
  }
  // The clients that are not being served wait their turn in the listen queue, so it is as
  // long as the system allows: a short one leaves a burst of clients retrying handshakes.
  if (!net::listen_on(s, net::longest_backlog())) {
    report_error("deliver_id() listen failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  console_out("Waiting for incoming connections...\r\n");
  net::Endpoint bound;
  if (config.say_where && net::local_endpoint(s, &bound)) {
    console_out("Listening on %s:%u\r\n", net::address_text(bound.address).c_str(),
                static_cast<unsigned>(bound.port));
  }
  return s;
}

bool ServingStop::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  if (server_) server_->stop();
  return server_ != nullptr;
}

void ServingStop::attach(Server* server) {
  std::lock_guard<std::mutex> lock(mutex_);
  server_ = server;
  if (server_ && stopped_) server_->stop();
}

void deliver_id(const ServerConfig& config, const SampleRing& ring, const Clock& clock,
                const std::function<void()>& on_listening, ServingStop* stop) {
  const net::Socket listener = open_listener(config);
  if (!listener.valid()) return;
  if (on_listening) on_listening();
  Server server(listener, config, ring, real_server_seam(clock));
  if (stop) stop->attach(&server);
  server.run();
  if (stop) stop->attach(nullptr);
}

}  // namespace eventid
