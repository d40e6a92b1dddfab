// The socket calls that POSIX and Windows Sockets share. What each does its own way is in
// net_posix.cc or net_windows.cc, and what this file must know of it in native.h: the build
// compiles one of them, and puts posix/ or windows/ on the include path.
#include "net/net.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "native.h"  // NOLINT: the platform folder is on the include path

namespace eventid::net {
namespace {

sockaddr_in to_native(const Endpoint& e) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(e.port);
  sin.sin_addr.s_addr = htonl(e.address);
  return sin;
}

Endpoint from_native(const sockaddr_in& sin) {
  return {ntohl(sin.sin_addr.s_addr), ntohs(sin.sin_port)};
}

bool set_option(const Socket& s, int level, int name, const void* value, int size) {
  return setsockopt(native::sock(s.get()), level, name, static_cast<const char*>(value),
                    static_cast<native::socklen>(size)) == 0;
}

bool set_flag(const Socket& s, int level, int name) {
  const int on = 1;
  return set_option(s, level, name, &on, sizeof on);
}

template <std::size_t N>
bool is_one_of(int err, const int (&errors)[N]) {
  return std::find(std::begin(errors), std::end(errors), err) != std::end(errors);
}

}  // namespace

Socket accept_client(const Socket& listener, Endpoint* peer) {
  sockaddr_in sin{};
  Socket client(native::accept(listener.get(), &sin));
  *peer = from_native(sin);
  return client;
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kInvalidHandle);
  }
  return *this;
}

std::string address_text(std::uint32_t address) {
  in_addr in{};
  in.s_addr = htonl(address);
  char text[INET_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET, &in, text, sizeof text) ? text : "";
}

bool parse_address(std::string_view text, std::uint32_t* address) {
  in_addr in{};
  if (inet_pton(AF_INET, std::string(text).c_str(), &in) != 1) return false;
  *address = ntohl(in.s_addr);
  return true;
}

bool set_reuse_address(const Socket& s) {
  return set_flag(s, SOL_SOCKET, SO_REUSEADDR);
}

bool set_listener_address_option(const Socket& s) {
  return set_flag(s, SOL_SOCKET, native::kListenerAddressOption);
}

bool set_no_delay(const Socket& s) {
  return set_flag(s, IPPROTO_TCP, TCP_NODELAY);
}

bool set_reset_on_close(const Socket& s) {
  linger reset{};
  reset.l_onoff = 1;
  reset.l_linger = 0;
  return set_option(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

bool shutdown_sending(const Socket& s) {
  return ::shutdown(native::sock(s.get()), native::kShutdownSending) == 0;
}

bool resolve_ipv4(const char* host, const char* service, Endpoint* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host, service, &hints, &list);
  if (rc != 0) {
    *error = native::resolver_error_text(rc);
    return false;
  }
  *out = from_native(*reinterpret_cast<const sockaddr_in*>(list->ai_addr));
  freeaddrinfo(list);
  return true;
}

bool connect_to(const Socket& s, const Endpoint& to) {
  const sockaddr_in sin = to_native(to);
  return ::connect(native::sock(s.get()), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0;
}

bool bind_to(const Socket& s, const Endpoint& local) {
  const sockaddr_in sin = to_native(local);
  return ::bind(native::sock(s.get()), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0;
}

bool listen_on(const Socket& s, int backlog) {
  return ::listen(native::sock(s.get()), backlog) == 0;
}

bool local_endpoint(const Socket& s, Endpoint* out) {
  sockaddr_in sin{};
  native::socklen len = sizeof sin;
  if (getsockname(native::sock(s.get()), reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    return false;
  }
  *out = from_native(sin);
  return true;
}

AcceptFailure classify_accept_error(int err) {
  if (is_one_of(err, native::kResourceErrors)) return AcceptFailure::kResources;
  if (is_one_of(err, native::kClientAcceptErrors)) return AcceptFailure::kClient;
  return AcceptFailure::kListener;
}

bool host_name(const Endpoint& peer, std::string* name) {
  const sockaddr_in sin = to_native(peer);
  char text[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&sin), sizeof sin, text, sizeof text, nullptr,
                  0, NI_NAMEREQD) != 0) {
    return false;
  }
  *name = text;
  return true;
}

long receive_some(const Socket& s, char* buf, std::size_t size) {
  long n;
  do {
    n = static_cast<long>(::recv(native::sock(s.get()), buf, static_cast<int>(size), 0));
  } while (n < 0 && native::interrupted(last_error()));
  return n;
}

long send_some(const Socket& s, const char* buf, std::size_t size) {
  return static_cast<long>(
      ::send(native::sock(s.get()), buf, static_cast<int>(size), native::kSendFlags));
}

// A peek: Wine, for one, shows a reset to a socket that has not read as a close.
bool peer_finished(const Socket& s) {
  char byte;
  const long n = static_cast<long>(::recv(native::sock(s.get()), &byte, 1, MSG_PEEK));
  return n == 0 || (n < 0 && !would_block(last_error()));
}

bool is_peer_gone(int err) {
  return is_one_of(err, native::kPeerGoneErrors);
}

bool would_block(int err) {
  return is_one_of(err, native::kWouldBlockErrors);
}

Socket open_listener(const Endpoint& where, ListenFailure* failure) {
  Socket s = open_tcp4();
  const char* step = !s.valid()                         ? "socket"
                     : !set_listener_address_option(s)  ? "setsockopt"
                     : !bind_to(s, where)               ? "bind"
                     : !listen_on(s, longest_backlog()) ? "listen"
                                                        : nullptr;
  if (!step) return s;
  *failure = {step, last_error()};
  return Socket();
}

// --- for the push listener ---

bool set_send_buffer(const Socket& s, int bytes) {
  return set_option(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

}  // namespace eventid::net
