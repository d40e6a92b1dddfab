// The platform's own texts for failures that tests provoke, found by provoking them, so that
// byte-exact expectations hold on every platform.
#pragma once

#include <string>

#include "net/net.h"

// A port on 127.0.0.1 where nothing listens.
inline std::uint16_t closed_port() {
  net::Socket s = net::open_tcp4();
  net::bind_ipv4(s, "127.0.0.1", 0);
  return net::local_port(s);
}

inline std::string refused_text() {
  net::Endpoint to;
  std::string error;
  net::resolve_ipv4("127.0.0.1", std::to_string(closed_port()).c_str(), &to, &error);
  net::Socket s = net::open_tcp4();
  if (net::connect_to(s, to)) return "(connected)";
  return net::error_text(net::last_error());
}

// What binding a listener to a port that a plain listener holds says.
inline std::string port_in_use_text() {
  net::Socket holder = net::open_tcp4();
  net::bind_ipv4(holder, nullptr, 0);
  net::listen_on(holder, 1);
  net::Socket second = net::open_tcp4();
  net::set_listener_address_option(second);
  if (net::bind_ipv4(second, nullptr, net::local_port(holder))) return "(bound)";
  return net::error_text(net::last_error());
}
