// The names of clients' hosts, for "Connected to NAME". A reverse lookup can take as long as an
// unresponsive name server makes it (4 to 10 s), so lookups run on threads of their own and
// their answers are kept: only a host's first connection waits for its name, and not long.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/net.h"

namespace eventid {

class ClientNames {
 public:
  // A reverse lookup that may take its time: the host's name, or nothing when it has none.
  using Lookup = std::function<std::optional<std::string>(const net::Endpoint& peer)>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // A name longer than this is shown as the address.
  static constexpr std::size_t kLongestName = 21;
  static constexpr std::chrono::milliseconds kFirstWait{100};
  static constexpr std::chrono::minutes kAnswerKept{10};
  static constexpr std::chrono::minutes kFailureKept{1};
  static constexpr std::size_t kMostHosts = 64;
  static constexpr int kMostLookups = 4;

  // The system's resolver and clock, unless a test gives its own.
  explicit ClientNames(Lookup lookup = system_lookup, Clock clock = std::chrono::steady_clock::now);

  // The name to show for a client of host peer: a kept answer at once; for a host not seen
  // before, its lookup's answer if it comes within wait; otherwise the numeric address (while
  // a lookup is out, after one failed, or when kMostLookups are already out).
  std::string name_of(const net::Endpoint& peer, std::chrono::milliseconds wait = kFirstWait);

  // The same in two steps, for a server that cannot wait: what to show now, or nothing when
  // this call has started the host's first lookup ...
  std::optional<std::string> settled_name(const net::Endpoint& peer);
  // ... whose answer this gives once it has come (the numeric address for no name).
  std::optional<std::string> answer(const net::Endpoint& peer);

  static std::optional<std::string> system_lookup(const net::Endpoint& peer);

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with the lookups still out
};

}  // namespace eventid
