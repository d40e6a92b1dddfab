// Sockets on 127.0.0.1 for tests: a listener at a free port, a connected pair, a port where
// nothing listens, and the platform's own texts for the failures that tests provoke.
#pragma once

#include <cstdint>
#include <string>

#include "net/net.h"

namespace eventid::test {

// A listener on 127.0.0.1, at a free port unless told which.
struct LoopbackListener {
  explicit LoopbackListener(std::uint16_t at = 0);
  net::Socket accept() const;
  net::Socket socket;
  std::uint16_t port = 0;
};

// A client connected to 127.0.0.1:port, or an invalid socket.
net::Socket connect_loopback(std::uint16_t port);

// Both ends of one loopback connection.
struct Pair {
  net::Socket client, server;
};
Pair connected_pair();

// A port on 127.0.0.1 where nothing listens.
std::uint16_t closed_port();

// What connecting to a closed port says, and what binding a listener to a port that another
// listener holds says, on this platform.
std::string refused_text();
std::string port_in_use_text();
// The platform's error for a process out of descriptors (or sockets).
int too_many_open_files();
// Makes what a socket can hold unread small: 4 KiB.
void shrink_receive_buffer(const net::Socket& s);

// How long after its ID began a pushed line may come, in IDs, here: 20 ms on Linux; one ID
// under Wine, whose waits are kept to the ms and whose processes now and then stall for tens
// of ms on a loaded machine.
double push_lateness_ids();

// Sends all of text, or fails the test.
void send_all(const net::Socket& s, const std::string& text);

}  // namespace eventid::test
