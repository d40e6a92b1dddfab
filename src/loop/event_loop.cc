#include "loop/event_loop.h"

#include <algorithm>

#include "console/console.h"
#include "process/exit.h"

namespace eventid {

// A watched socket; a null handler and listener once its watch has ended.
struct EventLoop::Entry {
  const net::Socket* socket = nullptr;
  ReadyHandler* handler = nullptr;
  Listener* listener = nullptr;
};

struct EventLoop::Listener {
  Listener(EventLoop& loop, const net::Socket& s, ListenerHandler& h, Acceptor a)
      : socket(s), handler(h), accept(std::move(a)), resume(loop, [this] { paused = false; }) {}

  const net::Socket& socket;
  ListenerHandler& handler;
  const Acceptor accept;
  std::size_t id = 0;
  bool watching = true;
  bool paused = false;  // while a shortage is waited out
  bool short_of_resources = false;
  Timer resume;
};

Acceptor system_acceptor() {
  return [](const net::Socket& listener, net::Endpoint* peer, int* error) {
    net::Socket s = net::accept_client(listener, peer);
    if (!s.valid()) *error = net::last_error();
    return s;
  };
}

// A Unix-domain listener's file is handed to the closing actions as it is made, so that no
// ending signal in between can leave it behind.
net::Socket open_removed_when_ending(const net::Endpoint& where, net::ListenFailure* failure,
                                     int socket_mode) {
  if (where.family != net::Family::kUnix) return net::open_listener(where, failure, socket_mode);
  const MakingEndingFile making;
  net::Socket s = net::open_listener(where, failure, socket_mode);
  if (s.valid()) {
    remove_when_ending(where.path);
    close_on_ending_signals();
  }
  return s;
}

net::Socket open_listener_for(const std::string& who, const net::Endpoint& where, int socket_mode,
                              bool name_it) {
  net::ListenFailure failure;
  net::Socket s = open_removed_when_ending(where, &failure, socket_mode);
  if (s.valid()) return s;
  report_error((who + " " + failure.step + " failed: %s\r\n").c_str(), failure.error);
  if (!name_it) return s;
  const std::string reason = failure.why.empty() ? "" : " (" + failure.why + ")";
  console_err("%s cannot listen on %s%s\r\n", who.c_str(), net::endpoint_text(where).c_str(),
              reason.c_str());
  return s;
}

EventLoop::EventLoop(std::string who, Clock clock)
    : who_(std::move(who)), clock_(std::move(clock)) {}

EventLoop::~EventLoop() = default;

bool EventLoop::run() {
  if (!poller_.ok() || refused_error_) {
    report_error((who_ + " poll failed: %s\r\n").c_str(),
                 refused_error_ ? refused_error_ : net::last_error());
    return false;
  }
  while (!stopping_) {
    if (!turn()) return false;
  }
  return true;
}

void EventLoop::stop() {
  stopping_ = true;
  poller_.wake();
}

void EventLoop::wake() {
  poller_.wake();
}

void EventLoop::add_listener(const net::Socket& listener, ListenerHandler& handler,
                             Acceptor accept) {
  net::set_nonblocking(listener, true);
  auto& l = *listeners_.emplace_back(
      std::make_unique<Listener>(*this, listener, handler, std::move(accept)));
  l.id = watch(listener, net::kReadable, nullptr);
  entries_[l.id].listener = &l;
  if (!poller_.add(listener, net::kReadable, l.id)) refused_error_ = net::last_error();
}

// One wait and what it found, then the deadlines that have passed meanwhile.
bool EventLoop::turn() {
  watch_listeners();
  if (poller_.wait(&events_, timeout_us()) < 0) {
    report_error((who_ + " poll failed: %s\r\n").c_str(), net::last_error());
    return false;
  }
  for (const net::Poller::Event& e : events_) {
    if (!dispatch(e)) return false;
  }
  run_due_timers();
  for (const auto& hook : turn_hooks_) hook();
  // Only now: none of this turn's events may name an entry that another socket has taken.
  free_ids_.insert(free_ids_.end(), freed_ids_.begin(), freed_ids_.end());
  freed_ids_.clear();
  return true;
}

// A listener is waited on while its user has room and no shortage is being waited out.
void EventLoop::watch_listeners() {
  for (const auto& l : listeners_) {
    const bool wanted = !l->paused && l->handler.room() > 0;
    if (wanted == l->watching) continue;
    change(l->id, wanted ? net::kReadable : 0u);
    l->watching = wanted;
  }
}

std::int64_t EventLoop::timeout_us() const {
  if (deadlines_.empty()) return -1;
  return std::max<std::int64_t>(0, deadlines_.begin()->first - clock_());
}

bool EventLoop::dispatch(const net::Poller::Event& event) {
  const Entry& entry = entries_[event.key];
  if (entry.listener) return accept_from(*entry.listener);
  if (entry.handler) entry.handler->on_ready(event.found);
  return true;
}

// Takes waiting clients while there is room. False when the listener is broken.
bool EventLoop::accept_from(Listener& l) {
  std::size_t room = l.handler.room();
  while (room > 0) {
    net::Endpoint peer;
    int err = 0;
    net::Socket s = l.accept(l.socket, &peer, &err);
    if (s.valid()) {
      if (std::exchange(l.short_of_resources, false))
        console_out("%s accepting again\r\n", who_.c_str());
      l.handler.on_client(std::move(s), peer);
      --room;
      continue;
    }
    switch (net::classify_accept_error(err)) {
      case net::AcceptFailure::kClient:
        if (net::would_block(err)) return true;
        continue;
      case net::AcceptFailure::kResources:
        // A shortage that lasts is written once, not at every retry.
        if (!std::exchange(l.short_of_resources, true)) {
          report_error((who_ + " accept failed: %s\r\n").c_str(), err);
        }
        l.paused = true;
        l.resume.arm(clock_() + kShortagePauseUs);
        return true;
      case net::AcceptFailure::kListener:
        report_error((who_ + " accept failed: %s\r\n").c_str(), err);
        return false;
    }
  }
  return true;
}

// Each timer that is due runs once; one that its user arms again for later waits its turn.
void EventLoop::run_due_timers() {
  if (deadlines_.empty()) return;
  const std::int64_t now = clock_();
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    Timer* timer = deadlines_.begin()->second;
    deadlines_.erase(deadlines_.begin());
    timer->place_.reset();
    const std::function<void()> on_due = timer->on_due_;  // which may end the timer itself
    on_due();
  }
}

std::size_t EventLoop::watch(const net::Socket& s, unsigned wanted, ReadyHandler* handler) {
  std::size_t id = entries_.size();
  if (free_ids_.empty()) {
    entries_.emplace_back();
  } else {
    id = free_ids_.back();
    free_ids_.pop_back();
  }
  entries_[id] = {&s, handler, nullptr};
  if (handler) poller_.add(s, wanted, id);  // a listener's is checked by add_listener()
  return id;
}

void EventLoop::change(std::size_t id, unsigned wanted) {
  poller_.change(*entries_[id].socket, wanted, id);
}

void EventLoop::unwatch(std::size_t id) {
  poller_.remove(*entries_[id].socket);
  entries_[id] = {};
  freed_ids_.push_back(id);
}

EventLoop::Deadlines::iterator EventLoop::arm(Timer* timer, std::int64_t deadline_us) {
  return deadlines_.emplace(deadline_us, timer);
}

void EventLoop::disarm(Deadlines::iterator place) {
  deadlines_.erase(place);
}

EventLoop::Watch& EventLoop::Watch::operator=(Watch&& other) noexcept {
  if (this != &other) {
    end();
    loop_ = std::exchange(other.loop_, nullptr);
    id_ = other.id_;
    wanted_ = other.wanted_;
  }
  return *this;
}

void EventLoop::Watch::want(unsigned wanted) {
  if (!loop_ || wanted == wanted_) return;
  loop_->change(id_, wanted);
  wanted_ = wanted;
}

void EventLoop::Watch::end() {
  if (loop_) std::exchange(loop_, nullptr)->unwatch(id_);
}

void EventLoop::Timer::arm(std::int64_t deadline_us) {
  if (place_ && (*place_)->first == deadline_us) return;
  disarm();
  place_ = loop_.arm(this, deadline_us);
}

void EventLoop::Timer::disarm() {
  if (place_) loop_.disarm(*std::exchange(place_, std::nullopt));
}

}  // namespace eventid
