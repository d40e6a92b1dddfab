#include "delivery/client_names.h"

#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace eventid {
namespace {

struct HostEntry {
  bool pending = true;          // its lookup is out
  std::string shown;            // once settled: the name, or the address where there is none
  std::int64_t expires_us = 0;  // once settled
};

}  // namespace

struct ClientNames::State {
  Lookup lookup;
  Clock clock;
  std::mutex mutex;
  std::function<void()> on_answer;                   // cleared when the owner goes
  std::unordered_map<std::string, HostEntry> hosts;  // by the host's address text
  int lookups_out = 0;

  // Frees a place for one more host: the settled entry that would expire first goes.
  void make_room() {
    if (hosts.size() < kMostHosts) return;
    auto oldest = hosts.end();
    for (auto it = hosts.begin(); it != hosts.end(); ++it) {
      if (it->second.pending) continue;
      if (oldest == hosts.end() || it->second.expires_us < oldest->second.expires_us) oldest = it;
    }
    if (oldest != hosts.end()) hosts.erase(oldest);
  }

  void settle(const net::Endpoint& peer, const std::optional<std::string>& name) {
    const auto it = hosts.find(net::host_text(peer));
    if (it == hosts.end() || !it->second.pending) return;
    HostEntry& entry = it->second;
    entry.pending = false;
    const bool fits = name && !name->empty() && name->size() <= kLongestName;
    entry.shown = fits ? *name : it->first;
    entry.expires_us = clock() + (name ? kAnswerKeptUs : kFailureKeptUs);
    if (on_answer) on_answer();
  }

  // Runs on a thread of its own; the state outlives it through the shared pointer.
  static void look_up(const std::shared_ptr<State>& state, net::Endpoint peer) {
    const std::optional<std::string> name = state->lookup(peer);
    std::lock_guard<std::mutex> lock(state->mutex);
    --state->lookups_out;
    state->settle(peer, name);
  }
};

ClientNames::ClientNames(Lookup lookup, Clock clock, std::function<void()> on_answer)
    : state_(std::make_shared<State>()) {
  state_->lookup = std::move(lookup);
  state_->clock = std::move(clock);
  state_->on_answer = std::move(on_answer);
}

ClientNames::~ClientNames() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->on_answer = nullptr;
}

std::optional<std::string> ClientNames::settled_name(const net::Endpoint& peer) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  const std::string host = net::host_text(peer);
  // A Unix-domain client's host is this one: its name is the socket it came by.
  if (peer.family == net::Family::kUnix) return host;
  const auto it = s.hosts.find(host);
  if (it != s.hosts.end()) {
    if (it->second.pending) return host;
    if (s.clock() < it->second.expires_us) return it->second.shown;
    s.hosts.erase(it);
  }
  if (s.lookups_out >= kMostLookups) return host;
  s.make_room();
  s.hosts[host] = HostEntry{};
  try {
    std::thread(State::look_up, state_, peer).detach();
  } catch (const std::system_error&) {
    s.hosts.erase(host);
    return host;
  }
  ++s.lookups_out;
  return std::nullopt;
}

std::optional<std::string> ClientNames::answer(const net::Endpoint& peer) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  const std::string host = net::host_text(peer);
  const auto it = s.hosts.find(host);
  if (it == s.hosts.end()) return host;
  if (it->second.pending) return std::nullopt;
  return it->second.shown;
}

std::optional<std::string> ClientNames::system_lookup(const net::Endpoint& peer) {
  std::string name;
  if (!net::host_name(peer, &name)) return std::nullopt;
  return name;
}

}  // namespace eventid
