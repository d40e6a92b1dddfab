#include "delivery/server.h"

#include <chrono>
#include <thread>

#include "console/console.h"
#include "delivery/id_line.h"
#include "timing/estimate.h"

namespace eventid {
namespace {

constexpr auto kOutOfResourcesPause = std::chrono::milliseconds(100);

// Waits for the next client. A failure that belongs to one queued client, or a shortage that
// passes, is not the listener's: only a broken listener returns false.
bool accept_next(const net::Socket& listener, net::Socket* client, net::Endpoint* peer) {
  for (;;) {
    *client = net::accept_client(listener, peer);
    if (client->valid()) return true;
    const int err = net::last_error();
    switch (net::classify_accept_error(err)) {
      case net::AcceptFailure::kClient:
        break;
      case net::AcceptFailure::kResources:
        report_error("deliver_id() accept failed: %s\r\n", err);
        std::this_thread::sleep_for(kOutOfResourcesPause);
        break;
      case net::AcceptFailure::kListener:
        report_error("deliver_id() accept failed: %s\r\n", err);
        return false;
    }
  }
}

// Sends a fresh line at once and after every receive that returns data, until the client goes.
void serve_client(net::Socket client, const SampleRing& ring, const Clock& clock) {
  for (;;) {
    const IdLine line = format_id_line(estimate_now(ring, clock));
    if (net::send_some(client, line.text, line.size) < 0) {
      const int err = net::last_error();
      client.close();
      if (!net::is_peer_gone(err)) report_error("deliver_id() send failed: %s\r\n", err);
      break;
    }
    char request[kClientReceiveSize];
    if (net::receive_some(client, request, sizeof request) <= 0) break;
  }
  console_out("Connection dropped\r\n");
}

}  // namespace

net::Socket open_listener(const net::Endpoint& local) {
  net::Socket s = net::open_tcp4();
  if (!s.valid()) {
    report_error("deliver_id() socket failed: %s\r\n", net::last_error());
    return s;
  }
  if (!net::set_listener_address_option(s)) {
    report_error("deliver_id() setsockopt failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  if (!net::bind_to(s, local)) {
    const int err = net::last_error();
    s.close();
    report_error("deliver_id() bind failed: %s\r\n", err);
    return s;
  }
  // One client is served at a time; the others wait their turn in the listen queue, so it is
  // as long as the system allows: a short one leaves a burst of clients retrying handshakes.
  if (!net::listen_on(s, net::longest_backlog())) {
    report_error("deliver_id() listen failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  console_out("Waiting for incoming connections...\r\n");
  return s;
}

void serve_clients(const net::Socket& listener, const SampleRing& ring, const Clock& clock,
                   ClientNames& names, std::stop_token stop) {
  for (;;) {
    net::Socket client;
    net::Endpoint peer;
    if (!accept_next(listener, &client, &peer) || stop.stop_requested()) return;
    // Without it a line sent right after another waits for the client's delayed ACK.
    net::set_no_delay(client);
    console_out("Connected to %s\r\n", names.name_of(peer).c_str());
    serve_client(std::move(client), ring, clock);
  }
}

void deliver_id(const SampleRing& ring, const Clock& clock) {
  const net::Socket listener = open_listener({0, kDeliveryPort});
  if (!listener.valid()) return;
  ClientNames names;
  serve_clients(listener, ring, clock, names);
}

}  // namespace eventid
