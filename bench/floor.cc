// floor: the relay's conversation and nothing else, as a baseline for the benchmarks. It
// listens on 127.0.0.1 with the relay's listen queue, greets each client with a fixed ID line
// and sends that line again for every receive (of up to 100 bytes) that returns data.
//
//   floor PORT            one client at a time, with blocking calls, as the relay by default
//   floor PORT CLIENTS    up to CLIENTS at once, in one readiness loop, as the relay's
//                         --clients (a line that does not go out at once is dropped: the
//                         benchmarks' clients always read)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "net/net.h"

namespace {

namespace net = eventid::net;

const char kLine[] = "42.07000 O 12 -3\r\n";

void serve_one_at_a_time(const net::Socket& listener) {
  for (;;) {
    net::Endpoint peer;
    net::Socket client = net::accept_client(listener, &peer);
    if (!client.valid()) continue;
    net::set_no_delay(client);
    char msg[100];
    do {
      if (net::send_some(client, kLine, sizeof kLine - 1) < 0) break;
    } while (net::receive_some(client, msg, sizeof msg) > 0);
  }
}

void serve_many_at_a_time(const net::Socket& listener, std::size_t most) {
  constexpr std::uint64_t kListener = net::kFirstPollerKey - 1;
  net::set_nonblocking(listener, true);
  net::Poller poller;
  poller.add(listener, net::kReadable, kListener);
  std::vector<net::Socket> clients(most);  // by slot, which is the poller's key
  std::vector<net::Poller::Event> events;
  std::size_t count = 0;
  bool accepting = true;
  for (;;) {
    if (accepting != (count < most)) {
      accepting = count < most;
      poller.change(listener, accepting ? net::kReadable : 0u, kListener);
    }
    poller.wait(&events, -1);
    for (const net::Poller::Event& e : events) {
      if (e.key != kListener) {
        net::Socket& c = clients[e.key];
        char msg[100];
        const long n = net::receive_some(c, msg, sizeof msg);
        if (n > 0) {
          net::send_some(c, kLine, sizeof kLine - 1);
        } else if (n == 0 || !net::would_block(net::last_error())) {
          poller.remove(c);
          c.close();
          --count;
        }
        continue;
      }
      for (net::Endpoint peer; count < most;) {
        net::Socket client = net::accept_client(listener, &peer);
        if (!client.valid()) break;
        const auto slot = static_cast<std::size_t>(
            std::find_if(clients.begin(), clients.end(), [](auto& s) { return !s.valid(); }) -
            clients.begin());
        net::set_no_delay(client);
        net::set_nonblocking(client, true);
        net::send_some(client, kLine, sizeof kLine - 1);
        poller.add(client, net::kReadable, slot);
        clients[slot] = std::move(client);
        ++count;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: floor PORT [CLIENTS]\n");
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
  const int clients = argc == 3 ? std::atoi(argv[2]) : 1;
  if (clients > 1) {
    net::raise_descriptor_limit(clients + 16);
    serve_many_at_a_time(listener, static_cast<std::size_t>(clients));
  } else {
    serve_one_at_a_time(listener);
  }
}
