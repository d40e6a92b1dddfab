// The names of clients' hosts, for "Connected to NAME". A reverse lookup can take as long as an
// unresponsive name server makes it (4 to 10 s), so lookups run on threads of their own and
// their answers are kept: only a host's first connection waits for its name, and not long.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/net.h"
#include "timing/clock.h"

namespace eventid {

class ClientNames {
 public:
  // A reverse lookup that may take its time: the host's name, or nothing when it has none.
  using Lookup = std::function<std::optional<std::string>(const net::Endpoint& peer)>;

  // A name longer than this is shown as the address.
  static constexpr std::size_t kLongestName = 21;
  // How long a host's first connection waits for its name.
  static constexpr std::int64_t kFirstWaitUs = 100000;
  static constexpr std::int64_t kAnswerKeptUs = 600000000;
  static constexpr std::int64_t kFailureKeptUs = 60000000;
  static constexpr std::size_t kMostHosts = 64;
  static constexpr int kMostLookups = 4;

  // on_answer runs on a lookup's thread whenever an answer has come; never after destruction.
  ClientNames(Lookup lookup, Clock clock, std::function<void()> on_answer);
  ~ClientNames();
  ClientNames(const ClientNames&) = delete;
  ClientNames& operator=(const ClientNames&) = delete;

  // What to show now for a client of host peer: a kept answer, or the numeric address while
  // its lookup is out, after one failed, or when kMostLookups are already out. Nothing when
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
