#include "delivery/conversation.h"

#include <algorithm>
#include <optional>

#include "console/console.h"

namespace eventid {

std::string client_label(const net::Socket& s, const net::Endpoint& peer, int places) {
  if (places <= 1) return "";
  std::string label = std::string(" (").append(net::endpoint_text(peer));
  if (peer.family == net::Family::kUnix) {
    if (const long process = net::peer_process(s))
      label.append(", pid ").append(std::to_string(process));
  }
  return label.append(")");
}

DropReason send_failed(const char* who, int err) {
  if (net::is_peer_gone(err)) return DropReason::kGone;
  report_error((std::string(who) + " send failed: %s\r\n").c_str(), err);
  return DropReason::kFailed;
}

void say_dropped(const std::string& label, DropReason why, ServerCounters& counters) {
  console_out("Connection dropped%s\r\n", label.c_str());
  ++(why == DropReason::kIdle   ? counters.dropped_idle
     : why == DropReason::kGone ? counters.dropped_gone
                                : counters.dropped_failed);
}

Greeter::Greeter(EventLoop& loop, ClientNames::Lookup lookup, Greeted on_greeted)
    : loop_(loop),
      on_greeted_(std::move(on_greeted)),
      // The lookups' threads may outlast the loop: they read a clock of their own.
      names_(std::move(lookup), loop.clock(), [&loop] { loop.wake(); }),
      due_(loop, [] {}) {}

void Greeter::arrive(std::size_t slot, const net::Endpoint& peer, const std::string& label) {
  Waiting w{slot, peer, label, loop_.now() + ClientNames::kFirstWaitUs};
  if (std::optional<std::string> name = names_.settled_name(peer)) {
    greet(w, *name);
  } else {
    waiting_.push_back(std::move(w));
  }
}

void Greeter::forget(std::size_t slot) {
  std::erase_if(waiting_, [slot](const Waiting& w) { return w.slot == slot; });
}

// An answer that a lookup has left is taken up at once; the deadline follows the clients.
void Greeter::after_turn() {
  if (!waiting_.empty()) {
    const std::int64_t now = loop_.now();
    // Greeting may not change the queue under the scan: the greeted are taken out first.
    std::deque<std::pair<Waiting, std::string>> ready;
    std::erase_if(waiting_, [&](Waiting& w) {
      std::optional<std::string> name = names_.answer(w.peer);
      if (!name && now < w.deadline_us) return false;
      ready.emplace_back(std::move(w), name.value_or(net::host_text(w.peer)));
      return true;
    });
    for (const auto& [w, name] : ready) greet(w, name);
  }
  if (waiting_.empty()) {
    due_.disarm();
  } else {
    due_.arm(waiting_.front().deadline_us);
  }
}

void Greeter::greet(const Waiting& w, const std::string& name) {
  console_out("Connected to %s%s\r\n", name.c_str(), w.label.c_str());
  on_greeted_(w.slot);
}

}  // namespace eventid
