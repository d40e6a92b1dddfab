// One readiness loop for every server of the relay: the sockets it watches, the listeners it
// accepts from and the deadlines it keeps, all served on the one thread that runs it. What a
// server serves is a handler; each server runs a loop of its own, on a thread of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/net.h"
#include "timing/clock.h"

namespace eventid {

// After descriptors or buffers ran out, accepting is tried again this much later.
inline constexpr std::int64_t kShortagePauseUs = 100000;

// Told what a watched socket was found ready for (net::PollFlags).
class ReadyHandler {
 public:
  virtual void on_ready(unsigned found) = 0;

 protected:
  ~ReadyHandler() = default;
};

// A listener's user: how many clients it takes now, and each one it is given.
class ListenerHandler {
 public:
  // Clients to accept at once now; 0 leaves them waiting in the listen queue.
  virtual std::size_t room() = 0;
  virtual void on_client(net::Socket client, const net::Endpoint& peer) = 0;

 protected:
  ~ListenerHandler() = default;
};

// The next client waiting on a listener; an invalid socket and its error otherwise. Tests hand
// in failures of their own.
using Acceptor =
    std::function<net::Socket(const net::Socket& listener, net::Endpoint* peer, int* error)>;
Acceptor system_acceptor();

// A listener at where, for a server whose messages begin with who ("deliver_id()"). A failure
// is written as "WHO STEP failed: TEXT", then, where name_it says, as "WHO cannot listen on
// ADDRESS" with the relay's own reason where it refused; it gives an invalid socket. A
// Unix-domain listener's socket file is removed as the relay ends, by a signal too.
net::Socket open_listener_for(const std::string& who, const net::Endpoint& where,
                              int socket_mode = net::kDefaultSocketMode, bool name_it = true);

class EventLoop {
 public:
  // who names the loop's user in its messages: "WHO accept failed: TEXT", "WHO poll failed:
  // TEXT". The clock is the one of every deadline.
  EventLoop(std::string who, Clock clock);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Serves until stop() (true), or until a listener or the wait itself fails, which it
  // reports (false). Once stopped, a run that begins later ends as soon as it begins.
  bool run();
  // From any thread.
  void stop();
  // From any thread: the loop reads the clock and its deadlines again (an answer that another
  // thread has left for it).
  void wake();

  std::int64_t now() const { return clock_(); }
  // For what reads the same clock on other threads, and may outlive the loop: a copy of it.
  const Clock& clock() const { return clock_; }

  // A socket watched for what wanted says (kReadable, kWritable, or 0 for nothing yet, a
  // failure still being told). The socket outlives its watch; a handler is never told after
  // its watch has ended, even of events found in the same turn.
  class Watch;
  // A deadline and what runs when it has passed.
  class Timer;

  // Accepts from listener while handler has room, clients that failed in the queue skipped. A
  // shortage of descriptors or buffers pauses it for kShortagePauseUs at a time, written once
  // as it begins and once as it ends; a broken listener ends run(). Both outlive the loop.
  void add_listener(const net::Socket& listener, ListenerHandler& handler,
                    Acceptor accept = system_acceptor());
  // Runs at the end of every turn, after the events found and the deadlines passed: for what
  // a user looks after itself (answers that other threads leave, deadlines to set again).
  void after_each_turn(std::function<void()> hook) { turn_hooks_.push_back(std::move(hook)); }

 private:
  struct Entry;
  struct Listener;
  using Deadlines = std::multimap<std::int64_t, Timer*>;

  std::size_t watch(const net::Socket& s, unsigned wanted, ReadyHandler* handler);
  void change(std::size_t id, unsigned wanted);
  void unwatch(std::size_t id);
  Deadlines::iterator arm(Timer* timer, std::int64_t deadline_us);
  void disarm(Deadlines::iterator place);

  bool turn();
  void watch_listeners();
  std::int64_t timeout_us() const;
  bool dispatch(const net::Poller::Event& event);
  bool accept_from(Listener& listener);
  void run_due_timers();

  const std::string who_;
  const Clock clock_;
  net::Poller poller_;
  std::vector<Entry> entries_;          // the poller's key is the index
  std::vector<std::size_t> free_ids_;   // reused only after the turn that freed them
  std::vector<std::size_t> freed_ids_;  // this turn's
  Deadlines deadlines_;                 // before the listeners, whose timers end with them
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::vector<std::function<void()>> turn_hooks_;
  std::vector<net::Poller::Event> events_;
  std::atomic<bool> stopping_{false};
  int refused_error_ = 0;  // why the poller refused a listener, if it did
};

class EventLoop::Watch {
 public:
  Watch() = default;
  Watch(EventLoop& loop, const net::Socket& s, unsigned wanted, ReadyHandler& handler)
      : loop_(&loop), id_(loop.watch(s, wanted, &handler)), wanted_(wanted) {}
  Watch(Watch&& other) noexcept
      : loop_(std::exchange(other.loop_, nullptr)), id_(other.id_), wanted_(other.wanted_) {}
  Watch& operator=(Watch&& other) noexcept;
  ~Watch() { end(); }

  bool active() const { return loop_ != nullptr; }
  unsigned wanted() const { return wanted_; }
  void want(unsigned wanted);
  // Before the socket closes.
  void end();

 private:
  EventLoop* loop_ = nullptr;
  std::size_t id_ = 0;
  unsigned wanted_ = 0;
};

class EventLoop::Timer {
 public:
  Timer(EventLoop& loop, std::function<void()> on_due) : loop_(loop), on_due_(std::move(on_due)) {}
  ~Timer() { disarm(); }
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Runs on_due once the loop's clock reaches deadline_us; arming again moves it.
  void arm(std::int64_t deadline_us);
  void disarm();
  bool armed() const { return place_.has_value(); }
  std::int64_t deadline_us() const { return (*place_)->first; }

 private:
  friend class EventLoop;
  EventLoop& loop_;
  std::function<void()> on_due_;
  std::optional<Deadlines::iterator> place_;
};

}  // namespace eventid
