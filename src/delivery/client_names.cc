#include "delivery/client_names.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace eventid {
namespace {

using time_point = std::chrono::steady_clock::time_point;

struct HostEntry {
  bool pending = true;  // its lookup is out
  std::string shown;    // once settled: the name, or the address where there is none
  time_point expires;   // once settled
};

}  // namespace

struct ClientNames::State {
  Lookup lookup;
  Clock clock;
  std::mutex mutex;
  std::condition_variable settled;
  std::unordered_map<std::uint32_t, HostEntry> hosts;
  int lookups_out = 0;

  bool pending(std::uint32_t host) const {
    const auto it = hosts.find(host);
    return it != hosts.end() && it->second.pending;
  }

  // Frees a place for one more host: the settled entry that would expire first goes.
  void make_room() {
    if (hosts.size() < kMostHosts) return;
    auto oldest = hosts.end();
    for (auto it = hosts.begin(); it != hosts.end(); ++it) {
      if (it->second.pending) continue;
      if (oldest == hosts.end() || it->second.expires < oldest->second.expires) oldest = it;
    }
    if (oldest != hosts.end()) hosts.erase(oldest);
  }

  void settle(const net::Endpoint& peer, const std::optional<std::string>& name) {
    const auto it = hosts.find(peer.address);
    if (it == hosts.end() || !it->second.pending) return;
    HostEntry& entry = it->second;
    entry.pending = false;
    const bool fits = name && !name->empty() && name->size() <= kLongestName;
    entry.shown = fits ? *name : net::address_text(peer.address);
    entry.expires = clock() + (name ? kAnswerKept : kFailureKept);
    settled.notify_all();
  }

  // Runs on a thread of its own; the state outlives it through the shared pointer.
  static void look_up(const std::shared_ptr<State>& state, net::Endpoint peer) {
    const std::optional<std::string> name = state->lookup(peer);
    std::lock_guard<std::mutex> lock(state->mutex);
    --state->lookups_out;
    state->settle(peer, name);
  }
};

ClientNames::ClientNames(Lookup lookup, Clock clock) : state_(std::make_shared<State>()) {
  state_->lookup = std::move(lookup);
  state_->clock = std::move(clock);
}

std::optional<std::string> ClientNames::settled_name(const net::Endpoint& peer) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  const std::uint32_t host = peer.address;
  const auto it = s.hosts.find(host);
  if (it != s.hosts.end()) {
    if (it->second.pending) return net::address_text(peer.address);
    if (s.clock() < it->second.expires) return it->second.shown;
    s.hosts.erase(it);
  }
  if (s.lookups_out >= kMostLookups) return net::address_text(peer.address);
  s.make_room();
  s.hosts[host] = HostEntry{};
  try {
    std::thread(State::look_up, state_, peer).detach();
  } catch (const std::system_error&) {
    s.hosts.erase(host);
    return net::address_text(peer.address);
  }
  ++s.lookups_out;
  return std::nullopt;
}

std::optional<std::string> ClientNames::answer(const net::Endpoint& peer) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto it = s.hosts.find(peer.address);
  if (it == s.hosts.end()) return net::address_text(peer.address);
  if (it->second.pending) return std::nullopt;
  return it->second.shown;
}

std::string ClientNames::name_of(const net::Endpoint& peer, std::chrono::milliseconds wait) {
  if (std::optional<std::string> now = settled_name(peer)) return *now;
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->settled.wait_for(lock, wait, [&] { return !state_->pending(peer.address); });
  }
  return answer(peer).value_or(net::address_text(peer.address));
}

std::optional<std::string> ClientNames::system_lookup(const net::Endpoint& peer) {
  std::string name;
  if (!net::host_name(peer, &name)) return std::nullopt;
  return name;
}

}  // namespace eventid
