// What the end-to-end tests share: the real relay and the real simulator, on loopback.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "support/clients.h"
#include "support/eventually.h"
#include "support/process.h"

namespace eventid::test {

// The simulator on a free loopback port, and the truth it announces.
class Simulator {
 public:
  explicit Simulator(std::vector<std::string> args = {});
  Process process;
  std::uint16_t port = 0;
  // The true upstream position now, in IDs (whole ID and fraction).
  double truth() const;
  // Seconds since the simulator started, by its clock (a jump does not move it).
  double elapsed() const;
  // The arguments that make another simulator continue this one's IDs where it stands.
  std::vector<std::string> continuation() const;

 private:
  bool read_truth(const std::string& out) const;
  mutable std::mutex mutex;  // truth() may be asked from several threads
  mutable double start = 0;
  mutable double epoch_us = 0;
};

// Waits until the relay says it is listening.
bool relay_listening(const Process& relay);

// A simulator, and the relay fed by it: relay_args come before the upstream's address.
struct RelayRun {
  explicit RelayRun(std::vector<std::string> sim_args = {},
                    std::vector<std::string> relay_args = {}, Outputs outputs = {});
  Simulator sim;
  Process relay;
};

}  // namespace eventid::test
