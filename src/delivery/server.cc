#include "delivery/server.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "console/console.h"
#include "delivery/id_line.h"
#include "net/net.h"
#include "timing/estimate.h"

namespace {

// Holds a name of at most 21 characters.
constexpr std::size_t kClientNameSize = 22;
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

// The last client's name. A reverse lookup reads the hosts file, or asks a name server, for
// every connection (11 µs for 127.0.0.1 here, a fifth of a whole connection's cost); clients
// mostly reconnect from the same host, so its name is kept for a few seconds.
struct name_cache_t {
  std::uint32_t host = 0;
  std::chrono::steady_clock::time_point looked_up;
  char name[kClientNameSize] = {};
};
constexpr auto kNameKeptFor = std::chrono::seconds(10);

const char* client_name(name_cache_t& cache, const net::Endpoint& peer) {
  const auto now = std::chrono::steady_clock::now();
  if (cache.name[0] == 0 || cache.host != net::host_of(peer) ||
      now - cache.looked_up > kNameKeptFor) {
    net::peer_name(peer, cache.name, sizeof cache.name);
    cache.host = net::host_of(peer);
    cache.looked_up = now;
  }
  return cache.name;
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
  name_cache_t names;
  for (;;) {
    net::Socket client;
    net::Endpoint peer;
    if (!accept_next(listener, &client, &peer)) return;
    // Without it a line sent right after another waits for the client's delayed ACK.
    net::set_no_delay(client);
    console_out("Connected to %s\r\n", client_name(names, peer));
    serve_client(ctx, std::move(client));
  }
}
