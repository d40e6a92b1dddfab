// Talking to the relay's port, or to any server of the same conversation: one client, a burst
// of clients, and reading ID lines.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "delivery/server.h"
#include "net/net.h"

namespace eventid::test {

// One connection to 127.0.0.1:port, reading with a 3 s timeout.
struct RelayClient {
  explicit RelayClient(std::uint16_t port = kDeliveryPort);
  // One connection to where, in any form ("[::1]:58051", "unix:/run/x.sock").
  explicit RelayClient(const net::Endpoint& where);
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

// A client that, once greeted, sends requests whenever TCP lets it and never reads a line, on
// a thread of its own, for as long as it lives. Its receive buffer is small, so that a server
// soon has lines for it that it cannot send.
class Flooder {
 public:
  explicit Flooder(std::uint16_t port);
  ~Flooder();
  bool greeted() const { return greeted_; }

 private:
  RelayClient client_;
  bool greeted_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One HTTP exchange with 127.0.0.1:port: sends request as it stands, and returns all that comes
// back until the server closes (or 3 s pass without a byte). *closed tells whether it ended in
// an orderly close, rather than a reset or the timeout.
std::string http_exchange(std::uint16_t port, const std::string& request, bool* closed = nullptr);

// How many times what occurs in text.
std::size_t occurrences(const std::string& text, const std::string& what);

// Whether the line has exactly the relay's format.
bool well_formed(const std::string& line);
// "1025.08000 O 25 -15\r\n" as position 1025.08, or -1 if malformed.
double line_position(const std::string& line);
char line_state(const std::string& line);

}  // namespace eventid::test
