#include "delivery/server.h"

#include <chrono>
#include <thread>

#include "console/console.h"
#include "delivery/conversation.h"
#include "delivery/many_clients.h"
#include "timing/estimate.h"

namespace eventid {
namespace {

constexpr auto kOutOfResourcesPause = std::chrono::milliseconds(100);

// Waits for the next client. Returns false once the listener is broken (reported).
bool accept_next(const net::Socket& listener, net::Socket* client, net::Endpoint* peer) {
  for (;;) {
    switch (accept_one(listener, client, peer)) {
      case AcceptOutcome::kClient:
        return true;
      case AcceptOutcome::kTryAgain:
        break;
      case AcceptOutcome::kPauseThenTryAgain:
        std::this_thread::sleep_for(kOutOfResourcesPause);
        break;
      case AcceptOutcome::kListenerBroken:
        return false;
    }
  }
}

// Sends a fresh line at once and after every receive that returns data, until the client goes
// (or, with an idle timeout, falls silent for that long).
void serve_client(net::Socket client, const SampleRing& ring, const Clock& clock) {
  for (;;) {
    const IdLine line = fresh_line(ring, clock);
    if (net::send_some(client, line.text, line.size) < 0) {
      const int err = net::last_error();
      client.close();
      report_send_failure(err);
      break;
    }
    char request[kClientReceiveSize];
    if (net::receive_some(client, request, sizeof request) <= 0) break;
  }
  console_out("Connection dropped\r\n");
}

// One client at a time, the others waiting in the listen queue: blocking calls, nothing else.
void serve_one_at_a_time(const net::Socket& listener, const ServerConfig& config,
                         const SampleRing& ring, const Clock& clock, ClientNames& names,
                         std::stop_token stop) {
  for (;;) {
    net::Socket client;
    net::Endpoint peer;
    if (!accept_next(listener, &client, &peer) || stop.stop_requested()) return;
    // Without it a line sent right after another waits for the client's delayed ACK.
    net::set_no_delay(client);
    if (config.idle_timeout_s > 0) net::set_recv_timeout(client, config.idle_timeout_s * 1000);
    console_out("Connected to %s\r\n", names.name_of(peer).c_str());
    serve_client(std::move(client), ring, clock);
  }
}

}  // namespace

IdLine fresh_line(const SampleRing& ring, const Clock& clock) {
  return format_id_line(estimate_now(ring, clock));
}

void report_send_failure(int err) {
  if (!net::is_peer_gone(err)) report_error("deliver_id() send failed: %s\r\n", err);
}

AcceptOutcome accept_one(const net::Socket& listener, net::Socket* client, net::Endpoint* peer) {
  *client = net::accept_client(listener, peer);
  if (client->valid()) return AcceptOutcome::kClient;
  const int err = net::last_error();
  switch (net::classify_accept_error(err)) {
    case net::AcceptFailure::kClient:
      return AcceptOutcome::kTryAgain;
    case net::AcceptFailure::kResources:
      report_error("deliver_id() accept failed: %s\r\n", err);
      return AcceptOutcome::kPauseThenTryAgain;
    case net::AcceptFailure::kListener:
      break;
  }
  report_error("deliver_id() accept failed: %s\r\n", err);
  return AcceptOutcome::kListenerBroken;
}

std::string peer_label(const net::Endpoint& peer) {
  return " (" + net::address_text(peer.address) + ":" + std::to_string(peer.port) + ")";
}

net::Socket open_listener(const ServerConfig& config) {
  net::Socket s = net::open_tcp4();
  if (!s.valid()) {
    report_error("deliver_id() socket failed: %s\r\n", net::last_error());
    return s;
  }
  if (!net::set_listener_address_option(s)) {
    report_error("deliver_id() setsockopt failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  if (!net::bind_to(s, config.local)) {
    const int err = net::last_error();
    s.close();
    report_error("deliver_id() bind failed: %s\r\n", err);
    return s;
  }
  // The clients that are not being served wait their turn in the listen queue, so it is as
  // long as the system allows: a short one leaves a burst of clients retrying handshakes.
  if (!net::listen_on(s, net::longest_backlog())) {
    report_error("deliver_id() listen failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  console_out("Waiting for incoming connections...\r\n");
  net::Endpoint bound;
  if (config.say_where && net::local_endpoint(s, &bound)) {
    console_out("Listening on %s:%u\r\n", net::address_text(bound.address).c_str(),
                static_cast<unsigned>(bound.port));
  }
  return s;
}

void serve_clients(const net::Socket& listener, const ServerConfig& config, const SampleRing& ring,
                   const Clock& clock, ClientNames& names, std::stop_token stop) {
  if (config.clients == 1) {
    serve_one_at_a_time(listener, config, ring, clock, names, stop);
  } else {
    serve_many_at_a_time(listener, config, ring, clock, names, stop);
  }
}

void deliver_id(const ServerConfig& config, const SampleRing& ring, const Clock& clock,
                const std::function<void()>& on_listening) {
  const net::Socket listener = open_listener(config);
  if (!listener.valid()) return;
  if (on_listening) on_listening();
  ClientNames names;
  serve_clients(listener, config, ring, clock, names);
}

}  // namespace eventid
