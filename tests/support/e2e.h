// What the end-to-end tests share: the real relay and the real simulator, on loopback.
#pragma once

#include <cstdint>
#include <memory>
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
  std::uint16_t port = 0;  // 0 if it never came up (the test has failed then)
  // The true upstream position now, in IDs (whole ID and fraction), at the simulator's rate.
  double truth() const;
  // The same from the truth last read, without reading the simulator's output again: around a
  // request being timed, where that read (6 µs, 26 at p99) would widen the window. Not across a
  // jump.
  double truth_as_read() const;
  // Seconds since the simulator started, by its clock (a jump does not move it).
  double elapsed() const;
  // The arguments that make another simulator continue this one's IDs where it stands.
  std::vector<std::string> continuation() const;
  // Everything it has printed so far.
  std::string output() const;

 private:
  bool came_up();
  bool read_truth(const std::string& out) const;
  double truth_at(double now_us) const;
  std::unique_ptr<Process> process_;
  mutable std::mutex mutex;  // truth() may be asked from several threads
  mutable double start = 0;
  mutable double epoch_us = 0;
  mutable int rate_ppm = 0;
};

// Waits until the relay says it is listening (15 s at most). Returns its port: the one that
// "Listening on" names, or, when it is not to name one, 58051; 0 if it never listens.
std::uint16_t listening_port(const Process& relay, bool named = true);

// Waits until the relay has named n addresses in "Listening on ADDRESS" lines (15 s at most),
// and gives them as they are named; fewer if it never does.
std::vector<net::Endpoint> listening_addresses(const Process& relay, std::size_t n);

// Waits until the relay says where its status listener is (15 s at most); 0 if it never does.
std::uint16_t status_port(const Process& relay);

// A metric's value in a Prometheus text body ("NAME{LABELS} VALUE"), or -1 where it is absent.
double metric(const std::string& body, const std::string& series);

struct RelaySetup {
  std::vector<std::string> sim_args = {};
  std::vector<std::string> relay_args = {};  // before the upstream's address
  bool default_port = false;                 // otherwise on 127.0.0.1, at port (0: a free one)
  std::uint16_t port = 0;
  Outputs outputs = {};
  std::vector<std::string> environment = {};
};

// A simulator, and the relay fed by it.
struct RelayRun {
  explicit RelayRun(RelaySetup setup = {});
  // Waits until the relay listens, and learns its port; false if it never does. A relay
  // whose output cannot be read is taken at its word: use serving() instead.
  bool listening();
  // Waits until the relay greets a client on its port.
  bool serving();
  Simulator sim;
  Process relay;
  std::uint16_t port = 0;

 private:
  bool named_;
};

// The arguments that put a relay on 127.0.0.1 at port, or at a free one ("Listening on" names
// it) for 0.
std::vector<std::string> on_a_free_port(std::vector<std::string> args, std::uint16_t port = 0);

}  // namespace eventid::test
