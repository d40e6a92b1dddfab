#include "delivery/server.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "console/console.h"
#include "delivery/client_slots.h"
#include "delivery/conversation.h"
#include "delivery/id_line.h"
#include "delivery/idle_order.h"
#include "timing/estimate.h"

namespace eventid {

class Server::Impl final : public ListenerHandler {
 public:
  Impl(EventLoop& loop, const std::vector<net::Socket>& listeners, const ServerConfig& config,
       const SampleRing& ring, ServerCounters& counters, ServerSeam seam)
      : loop_(loop),
        config_(config),
        ring_(ring),
        counters_(counters),
        greeter_(loop, std::move(seam.lookup), [this](std::size_t slot) { greet(slots_[slot]); }),
        idle_due_(loop, [this] { look_after_idle(); }) {
    for (const net::Socket& listener : listeners) loop_.add_listener(listener, *this, seam.accept);
    loop_.after_each_turn([this] { after_turn(); });
  }

  std::size_t room() override { return slots_.room(static_cast<std::size_t>(config_.clients)); }

  void on_client(net::Socket socket, const net::Endpoint& from) override {
    // Without it a line sent right after another waits for the client's delayed ACK.
    if (from.family != net::Family::kUnix) net::set_no_delay(socket);
    net::set_nonblocking(socket, true);
    Client& c = slots_.take(*this);
    c.peer = from;
    // A local client has no address of its own: it is named by the socket it came by.
    if (from.family == net::Family::kUnix) net::local_endpoint(socket, &c.peer);
    c.socket = std::move(socket);
    c.label = client_label(c.socket, c.peer, config_.clients);
    // Not waited on for anything yet, but a reset before the greeting still shows.
    c.watch = EventLoop::Watch(loop_, c.socket, 0, c);
    greeter_.arrive(c.slot, c.peer, c.label);
  }

 private:
  // One conversation. At most one line is ever unsent; while it is, the client's requests are
  // not read, so TCP holds back a client that does not read.
  struct Client final : ReadyHandler {
    explicit Client(Impl& server, std::size_t slot) : server(server), slot(slot) {}
    void on_ready(unsigned found) override { server.on_event(*this, found); }

    Impl& server;
    const std::size_t slot;
    net::Socket socket;
    EventLoop::Watch watch;         // ends before the socket closes
    net::Endpoint peer;             // as the messages name it
    bool greeted = false;           // "Connected to" written and the first line made
    std::string label;              // " (ADDR:PORT)" when many are served, else empty
    std::int64_t last_line_us = 0;  // when the latest line was made
    IdleOrder::Place idle_place;    // with an idle timeout
    IdLine line{};
    std::size_t sent = 0;  // of line

    bool sending() const { return sent < line.size; }
    unsigned wanted() const { return sending() ? net::kWritable : net::kReadable; }
  };

  void greet(Client& c) {
    c.greeted = true;
    if (!c.watch.active()) c.watch = EventLoop::Watch(loop_, c.socket, 0, c);
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
    c.watch.end();
    if (!net::peer_finished(c.socket)) return;
    greeter_.forget(c.slot);
    ++counters_.dropped_gone;
    release(c);
  }

  // Those whose latest line was made an idle timeout ago: silent since, or not reading it.
  void look_after_idle() {
    const std::int64_t now = loop_.now();
    while (!idle_.empty()) {
      Client& c = slots_[idle_.oldest()];
      if (now < c.last_line_us + config_.idle_timeout_us) break;
      drop(c, DropReason::kIdle);
    }
  }

  // The deadlines follow the clients.
  void after_turn() {
    greeter_.after_turn();
    if (idle_.empty()) {
      idle_due_.disarm();
    } else {
      idle_due_.arm(slots_[idle_.oldest()].last_line_us + config_.idle_timeout_us);
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
    const std::int64_t now = loop_.now();
    c.line = format_id_line(estimate(ring_.basis(), now));
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
      return drop(c, send_failed("deliver_id()", err));
    }
    // Mostly a line goes out whole, and the client is waited on for reading as before.
    c.watch.want(c.wanted());
  }

  void drop(Client& c, DropReason why) {
    say_dropped(c.label, why, counters_);
    release(c);
  }

  // The client's watch ends, then its socket closes; the loop tells it nothing more.
  void release(Client& c) {
    idle_.forget(c.idle_place);
    slots_.release(c.slot);
  }

  EventLoop& loop_;
  const ServerConfig config_;
  const SampleRing& ring_;
  ServerCounters& counters_;
  Greeter greeter_;
  EventLoop::Timer idle_due_;
  ClientSlots<Client> slots_{counters_};
  IdleOrder idle_;
};

Server::Server(EventLoop& loop, const std::vector<net::Socket>& listeners,
               const ServerConfig& config, const SampleRing& ring, ServerCounters& counters,
               ServerSeam seam)
    : impl_(std::make_unique<Impl>(loop, listeners, config, ring, counters, std::move(seam))) {}
Server::~Server() = default;

std::vector<net::Socket> open_listeners(const ServerConfig& config) {
  std::vector<net::Socket> listeners;
  for (const net::Endpoint& where : config.listen) {
    listeners.push_back(
        open_listener_for("deliver_id()", where, config.socket_mode, config.listen_given));
    if (!listeners.back().valid()) return {};
  }
  console_out("Waiting for incoming connections...\r\n");
  net::Endpoint bound;
  for (const net::Socket& s : listeners) {
    if (config.say_where && net::local_endpoint(s, &bound)) {
      console_out("Listening on %s\r\n", net::endpoint_text(bound).c_str());
    }
  }
  return listeners;
}

bool ServingStop::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  if (loop_) loop_->stop();
  return loop_ != nullptr;
}

void ServingStop::attach(EventLoop* loop) {
  std::lock_guard<std::mutex> lock(mutex_);
  loop_ = loop;
  if (loop_ && stopped_) loop_->stop();
}

void deliver_id(const ServerConfig& config, const SampleRing& ring, const Clock& clock,
                ServerCounters& counters, const std::function<void()>& on_listening,
                ServingStop* stop) {
  const std::vector<net::Socket> listeners = open_listeners(config);
  if (listeners.empty()) return;
  if (on_listening) on_listening();
  EventLoop loop("deliver_id()", clock);
  const Server server(loop, listeners, config, ring, counters);
  if (stop) stop->attach(&loop);
  loop.run();
  if (stop) stop->attach(nullptr);
}

}  // namespace eventid
