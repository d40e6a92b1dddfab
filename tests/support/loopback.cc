#include "support/loopback.h"

#include <gtest/gtest.h>

namespace eventid::test {

LoopbackListener::LoopbackListener(std::uint16_t at) : socket(net::open_tcp4()) {
  net::Endpoint bound;
  EXPECT_TRUE(net::set_listener_address_option(socket));
  EXPECT_TRUE(net::bind_to(socket, {net::kLoopback, at}));
  EXPECT_TRUE(net::listen_on(socket, 16));
  EXPECT_TRUE(net::local_endpoint(socket, &bound));
  port = bound.port;
}

net::Socket LoopbackListener::accept() const {
  net::Endpoint peer;
  return net::accept_client(socket, &peer);
}

net::Socket connect_loopback(std::uint16_t port) {
  net::Socket s = net::open_tcp4();
  if (!net::connect_to(s, {net::kLoopback, port})) s.close();
  return s;
}

Pair connected_pair() {
  const LoopbackListener listener;
  Pair p;
  p.client = connect_loopback(listener.port);
  p.server = listener.accept();
  EXPECT_TRUE(p.client.valid() && p.server.valid());
  return p;
}

std::uint16_t closed_port() {
  return LoopbackListener().port;  // free once the listener is closed
}

std::string refused_text() {
  const net::Socket s = net::open_tcp4();
  if (net::connect_to(s, {net::kLoopback, closed_port()})) return "(connected)";
  return net::error_text(net::last_error());
}

// As the relay meets it: a plain listener on every address holds the port.
std::string port_in_use_text() {
  const net::Socket holder = net::open_tcp4();
  net::Endpoint held;
  net::bind_to(holder, {0, 0});
  net::listen_on(holder, 1);
  net::local_endpoint(holder, &held);
  const net::Socket second = net::open_tcp4();
  net::set_listener_address_option(second);
  if (net::bind_to(second, {0, held.port})) return "(bound)";
  return net::error_text(net::last_error());
}

void send_all(const net::Socket& s, const std::string& text) {
  EXPECT_EQ(net::send_some(s, text.data(), text.size()), static_cast<long>(text.size()));
}

}  // namespace eventid::test
