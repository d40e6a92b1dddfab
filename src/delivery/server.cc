#include "delivery/server.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "console/console.h"
#include "delivery/client_names.h"
#include "delivery/id_line.h"
#include "net/net.h"
#include "timing/estimate.h"

namespace {

constexpr auto kOutOfResourcesPause = std::chrono::milliseconds(100);

void report(const char* format, int err) {
  console_err(format, net::error_text(err).c_str());
}

net::Socket open_listener() {
  net::Socket s = net::open_tcp4();
  if (!s.valid()) {
    report("deliver_id() socket failed: %s\r\n", net::last_error());
    return s;
  }
  if (!net::set_listener_address_option(s)) {
    report("deliver_id() setsockopt failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  if (!net::bind_ipv4(s, nullptr, kDeliveryPort)) {
    const int err = net::last_error();
    s.close();
    report("deliver_id() bind failed: %s\r\n", err);
    return s;
  }
  // One client is served at a time; the others wait their turn in the listen queue, so it is
  // as long as the system allows: a short one leaves a burst of clients retrying handshakes.
  if (!net::listen_on(s, net::longest_backlog())) {
    report("deliver_id() listen failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  console_out("Waiting for incoming connections...\r\n");
  return s;
}

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
        report("deliver_id() accept failed: %s\r\n", err);
        std::this_thread::sleep_for(kOutOfResourcesPause);
        break;
      case net::AcceptFailure::kListener:
        report("deliver_id() accept failed: %s\r\n", err);
        return false;
    }
  }
}

// Sends a fresh line at once and after every chunk received, until the client goes.
void serve_client(context_t* ctx, net::Socket client) {
  char msg[kLineBufferSize];
  for (;;) {
    ID_t myid;
    calc_id(ctx, &myid);
    make_id_str(msg, sizeof msg, myid);
    if (net::send_some(client, msg, std::strlen(msg)) < 0) {
      const int err = net::last_error();
      client.close();
      if (!net::is_peer_gone(err)) report("deliver_id() send failed: %s\r\n", err);
      break;
    }
    if (net::receive_some(client, msg, sizeof msg) <= 0) break;
  }
  console_out("Connection dropped\r\n");
}

}  // namespace

void deliver_id(context_t* ctx) {
  const net::Socket listener = open_listener();
  if (!listener.valid()) return;
  ClientNames names;
  for (;;) {
    net::Socket client;
    net::Endpoint peer;
    if (!accept_next(listener, &client, &peer)) return;
    // Without it a line sent right after another waits for the client's delayed ACK.
    net::set_no_delay(client);
    console_out("Connected to %s\r\n", names.name_of(peer).c_str());
    serve_client(ctx, std::move(client));
  }
}
