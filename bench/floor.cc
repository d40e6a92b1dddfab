// floor: the relay's conversation and nothing else, as a baseline for the benchmarks. It
// listens on 127.0.0.1 with the relay's listen queue, serves one client at a time, greets it with a
// fixed ID line and sends that line again for every chunk (of up to 100 bytes) it receives.
//
//   floor PORT
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/net.h"

namespace net = eventid::net;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: floor PORT\n");
    return 2;
  }
  const net::Library sockets;
  net::Socket listener = net::open_tcp4();
  if (!sockets.ok() || !net::set_listener_address_option(listener) ||
      !net::bind_to(listener, {net::kLoopback, static_cast<std::uint16_t>(std::atoi(argv[1]))}) ||
      !net::listen_on(listener, net::longest_backlog())) {
    std::fprintf(stderr, "floor: cannot listen: %s\n", net::error_text(net::last_error()).c_str());
    return 1;
  }
  static const char line[] = "42.07000 O 12 -3\r\n";
  for (;;) {
    net::Endpoint peer;
    net::Socket client = net::accept_client(listener, &peer);
    if (!client.valid()) continue;
    net::set_no_delay(client);
    char msg[100];
    do {
      if (net::send_some(client, line, sizeof line - 1) < 0) break;
    } while (net::receive_some(client, msg, sizeof msg) > 0);
  }
}
