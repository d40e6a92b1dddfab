// What the end-to-end tests share: the binaries, a simulator run, a relay client.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/server.h"
#include "net/net.h"
#include "support/eventually.h"
#include "support/process.h"

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
  std::string output() const { return process.out(); }

 private:
  bool read_truth(const std::string& out) const;
  mutable std::mutex mutex;  // truth() may be asked from several threads
  mutable double start = 0;
  mutable double epoch_us = 0;
};

// The relay, started against an upstream.
Process start_relay(const std::vector<std::string>& args);
// Waits until the relay says it is listening.
bool relay_listening(const Process& relay);

// One connection to the relay's port (or another server's, for the benchmarks).
struct RelayClient {
  explicit RelayClient(std::uint16_t port = kDeliveryPort);
  bool connected() const { return socket.valid(); }
  // The next line, or "" when none comes within the socket's timeout.
  std::string read_line();
  void send(const std::string& text);
  net::Socket socket;
  std::string pending;
};

// One client of a burst, greeted.
struct Greeting {
  int client;       // its place in the burst: the order of the connects
  double after_us;  // from just before the first connect to the whole greeting
  std::string line;
};
// n clients connect at once to 127.0.0.1:port from one non-blocking loop, and each closes as
// soon as it has read its greeting. Returns the greetings in the order they arrived, as many
// as came within limit.
std::vector<Greeting> greet_burst(std::uint16_t port, int n, std::chrono::milliseconds limit);

// How many times what occurs in text.
std::size_t occurrences(const std::string& text, const std::string& what);

// "1025.08000 O 25 -15\r\n" as position 1025.08, or -1 if malformed.
double line_position(const std::string& line);
char line_state(const std::string& line);
// Whether the line has exactly the relay's format.
bool well_formed(const std::string& line);
