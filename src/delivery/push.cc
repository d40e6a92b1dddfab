#include "delivery/push.h"

#include <cmath>
#include <string>
#include <vector>

#include "console/console.h"
#include "delivery/client_slots.h"
#include "delivery/conversation.h"
#include "delivery/id_line.h"
#include "delivery/idle_order.h"
#include "loop/precise_timers.h"
#include "loop/wake_margin.h"
#include "timing/estimate.h"

namespace eventid {
namespace {

// The loop's timer wakes it a margin before a boundary, and the rest is waited out by reading
// the clock: a timer's wake-up comes a few hundred µs late now and then (p99 263 µs on an idle
// VM here), a read of the clock does not. At most kMostClockReads reads (a few ms), for a clock
// that does not move (a test's).
constexpr int kMostClockReads = 1000000;

// What one receive from a push client takes: all it sends is thrown away.
constexpr std::size_t kIgnoredReceiveSize = 4096;

// How far ID a lies after ID b, across a wrap of the counter too.
std::int32_t ids_after(std::uint32_t a, std::uint32_t b) {
  return static_cast<std::int32_t>(a - b);
}

// The first µs of the relay's clock at which the estimate from basis has reached ID target.
std::int64_t when_id_begins(const Basis& basis, std::int64_t now, std::uint32_t target) {
  const auto reached = [&](std::int64_t t) {
    return ids_after(estimate(basis, t).id, target) >= 0;
  };
  const Estimate e = estimate(basis, now);
  const double ahead_us = static_cast<double>(ids_after(target, e.id)) * kIdDurationUs - e.micros;
  // The upstream's IDs run (1 + rate) times as fast as the relay's clock.
  std::int64_t t = now + static_cast<std::int64_t>(std::ceil(ahead_us / (1 + basis.rate)));
  // Rounded at a rate, the guess may lie a µs off: the estimate itself decides.
  for (int i = 0; i < 4 && !reached(t); ++i) ++t;
  for (int i = 0; i < 4 && reached(t - 1); ++i) --t;
  return t;
}

}  // namespace

class PushServer::Impl final : public ListenerHandler {
 public:
  Impl(EventLoop& loop, const net::Socket& listener, const PushConfig& config,
       const SampleRing& ring, ServerCounters& counters, ServerSeam seam)
      : loop_(loop),
        config_(config),
        ring_(ring),
        counters_(counters),
        greeter_(loop, std::move(seam.lookup), [this](std::size_t slot) { greet(slots_[slot]); }),
        // Both only end the loop's wait: what is due is looked at after every turn.
        boundary_(loop, [] {}),
        blocked_due_(loop, [] {}),
        // A new sample may move the boundary either way: the wake-up moves with it.
        observation_(ring.observe([&loop](const Basis&) { loop.wake(); })) {
    loop_.add_listener(listener, *this, std::move(seam.accept));
    loop_.after_each_turn([this] { after_turn(); });
  }

  std::size_t room() override { return slots_.room(static_cast<std::size_t>(config_.clients)); }

  void on_client(net::Socket socket, const net::Endpoint& from) override {
    // Lines 100 ms apart still go at once, not after the client's delayed ACK.
    if (from.family != net::Family::kUnix) net::set_no_delay(socket);
    net::set_send_buffer(socket, kPushSendBuffer);
    net::set_nonblocking(socket, true);
    net::Endpoint peer = from;
    // A local client has no address of its own: it is named by the socket it came by.
    if (from.family == net::Family::kUnix) net::local_endpoint(socket, &peer);
    Client& c = slots_.take(*this);
    c.socket = std::move(socket);
    c.label = client_label(c.socket, peer, config_.clients);
    // Not waited on for anything yet, but a reset before the greeting still shows.
    c.watch = EventLoop::Watch(loop_, c.socket, 0, c);
    greeter_.arrive(c.slot, peer, c.label);
  }

 private:
  // One client. At most one line is ever unsent; while it is, the boundaries pass it by.
  struct Client final : ReadyHandler {
    Client(Impl& server, std::size_t slot) : server(server), slot(slot) {}
    void on_ready(unsigned found) override { server.on_event(*this, found); }

    Impl& server;
    const std::size_t slot;
    net::Socket socket;
    EventLoop::Watch watch;             // ends before the socket closes
    bool greeted = false;               // "Connected to" written and the first line made
    std::uint32_t last_id = 0;          // of the last line made
    std::string label;                  // " (ADDR:PORT)" when many are served, else empty
    IdleOrder::Place blocked_place;     // once a send has blocked
    std::int64_t blocked_since_us = 0;  // the first send that blocked
    IdLine line{};
    std::size_t sent = 0;  // of line

    bool sending() const { return sent < line.size; }
    unsigned wanted() const { return net::kReadable | (sending() ? net::kWritable : 0u); }
  };

  // The first greeting starts the count of IDs pushed: an ID that begins after it, before the
  // turn ends, is still pushed.
  void greet(Client& c) {
    c.greeted = true;
    if (!c.watch.active()) c.watch = EventLoop::Watch(loop_, c.socket, 0, c);
    const Basis basis = ring_.basis();
    const std::uint32_t id = send_line(c, basis);
    if (basis.primed && !started_) start_at(id);
  }

  void on_event(Client& c, unsigned found) {
    if (!c.greeted) {
      if (found & net::kFailed) before_greeting_failed(c);
    } else if (!(found & net::kWritable) || !c.sending() || send_rest(c)) {
      if (found & (net::kReadable | net::kFailed)) receive(c);
    }
  }

  // As on the ID port: a client that resets, or closes with nothing sent, before its greeting
  // goes unannounced; one that has only shut its sending side is greeted as any other.
  void before_greeting_failed(Client& c) {
    c.watch.end();
    if (!net::peer_finished(c.socket)) return;
    greeter_.forget(c.slot);
    ++counters_.dropped_gone;
    release(c);
  }

  // What a client sends is read and thrown away; its end, as on the ID port, ends it.
  void receive(Client& c) {
    char ignored[kIgnoredReceiveSize];
    const long n = net::receive_some(c.socket, ignored, sizeof ignored);
    if (n > 0) return;
    if (const int err = net::last_error(); n == 0 || net::is_peer_gone(err)) {
      drop(c, DropReason::kGone);
    } else if (!net::would_block(err)) {
      drop(c, DropReason::kFailed);
    }
  }

  // One basis for all the lines of a turn; each line made at its own moment. The line's ID.
  std::uint32_t send_line(Client& c, const Basis& basis) {
    const Estimate e = estimate(basis, loop_.now());
    c.line = format_id_line(e);
    c.last_id = e.id;
    c.sent = 0;
    ++counters_.lines;
    send_rest(c);
    return e.id;
  }

  // False when the client has been dropped.
  bool send_rest(Client& c) {
    const long n = net::send_some(c.socket, c.line.text + c.sent, c.line.size - c.sent);
    if (n >= 0) {
      c.sent += static_cast<std::size_t>(n);
    } else if (const int err = net::last_error(); !net::would_block(err)) {
      drop(c, send_failed("push_id()", err));
      return false;
    }
    // The first send that blocks starts the client's last second, whatever goes out after it:
    // a client that reads takes each line within ms, and one whose sends block has left some
    // kilobytes unread, while what the system frees after that (it packs lines tighter once
    // they wait) only lets it fall further behind.
    if (c.sending() && !c.blocked_place) {
      c.blocked_since_us = loop_.now();
      blocked_.touch(c.blocked_place, c.slot);
    }
    c.watch.want(c.wanted());
    return true;
  }

  // Drops first: a place freed at a boundary is free for the next client at once.
  void after_turn() {
    greeter_.after_turn();
    look_after_blocked();
    look_after_boundary();
  }

  // Pushes when a new ID has begun, and sets the wake-up for the next one, from the basis as
  // it stands now.
  void look_after_boundary() {
    Basis basis = ring_.basis();
    if (!basis.primed) return boundary_.disarm();
    learn_from_wake_up();
    push_if_begun(basis);
    std::int64_t due = when_id_begins(basis, loop_.now(), last_id_ + 1);
    if (due != waited_for_ && due - loop_.now() <= margin_.us()) {
      waited_for_ = due;
      for (int i = 0; i < kMostClockReads && loop_.now() < due; ++i) {
      }
      basis = ring_.basis();  // a sample may have come meanwhile
      push_if_begun(basis);
      due = when_id_begins(basis, loop_.now(), last_id_ + 1);
    }
    wake_at_ = due == waited_for_ ? -1 : due - margin_.us();
    boundary_.arm(due == waited_for_ ? due : wake_at_);
  }

  // The first turn from the early wake-up's time on, the timer's or one that came sooner for
  // something else: how late it was.
  void learn_from_wake_up() {
    if (!config_.real_time || wake_at_ < 0 || loop_.now() < wake_at_) return;
    margin_.woke_late_by(loop_.now() - wake_at_);
    wake_at_ = -1;
  }

  void push_if_begun(const Basis& basis) {
    const std::uint32_t id = estimate(basis, loop_.now()).id;
    if (!started_) {
      start_at(id);  // the clients' greetings carry this one
    } else if (begins_new_id(id)) {
      last_id_ = id;
      push_to_all(basis);
    }
  }

  void start_at(std::uint32_t id) {
    last_id_ = id;
    started_ = true;
  }

  // A later ID, or one more than an ID before the last pushed (the upstream's IDs stepped
  // back). Only one ID back is the previous ID again, after a new sample moved its end a few
  // µs later: already pushed, so the next boundary is the one after the last pushed.
  bool begins_new_id(std::uint32_t id) const {
    const std::int32_t after = ids_after(id, last_id_);
    return after > 0 || after < -1;
  }

  // A client greeted after the ID began, before the turn that pushes it (the wake-up came
  // late), has it already.
  void push_to_all(const Basis& basis) {
    slots_.for_each([&](Client& c) {
      if (c.greeted && !c.sending() && c.last_id != last_id_) send_line(c, basis);
    });
  }

  // Those whose first blocked send was kPushBlockedUs ago: not reading.
  void look_after_blocked() {
    const std::int64_t now = loop_.now();
    while (!blocked_.empty()) {
      Client& c = slots_[blocked_.oldest()];
      if (now < c.blocked_since_us + kPushBlockedUs) break;
      drop(c, DropReason::kIdle);
    }
    if (blocked_.empty()) {
      blocked_due_.disarm();
    } else {
      blocked_due_.arm(slots_[blocked_.oldest()].blocked_since_us + kPushBlockedUs);
    }
  }

  void drop(Client& c, DropReason why) {
    say_dropped(c.label, why, counters_);
    release(c);
  }

  // The client's watch ends, then its socket closes; the loop tells it nothing more.
  void release(Client& c) {
    blocked_.forget(c.blocked_place);
    slots_.release(c.slot);
  }

  EventLoop& loop_;
  const PushConfig config_;
  const SampleRing& ring_;
  ServerCounters& counters_;
  Greeter greeter_;
  EventLoop::Timer boundary_, blocked_due_;
  ClientSlots<Client> slots_{counters_};
  IdleOrder blocked_;  // clients whose sends have blocked, the first to block first
  bool started_ = false;
  std::int64_t waited_for_ = -1;  // the boundary last waited out by reading the clock
  std::int64_t wake_at_ = -1;     // the early wake-up's time, until a turn has come by then
  WakeMargin margin_;
  std::uint32_t last_id_ = 0;  // once started: the ID of the latest push, or of the start
  SampleRing::Observation observation_;
};

PushServer::PushServer(EventLoop& loop, const net::Socket& listener, const PushConfig& config,
                       const SampleRing& ring, ServerCounters& counters, ServerSeam seam)
    : impl_(std::make_unique<Impl>(loop, listener, config, ring, counters, std::move(seam))) {}
PushServer::~PushServer() = default;

net::Socket open_push_listener(const net::Endpoint& where, int socket_mode) {
  net::Socket s = open_listener_for("main() push", where, socket_mode);
  net::Endpoint bound;
  if (!s.valid()) return s;
  if (!net::local_endpoint(s, &bound)) {
    report_error("main() push getsockname failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  console_out("Push on %s\r\n", net::endpoint_text(bound).c_str());
  return s;
}

void push_id(const net::Socket& listener, const PushConfig& config, const SampleRing& ring,
             const Clock& clock, ServerCounters& counters) {
  ask_for_precise_timers();
  EventLoop loop("push_id()", clock);
  const PushServer server(loop, listener, config, ring, counters);
  loop.run();
}

}  // namespace eventid
