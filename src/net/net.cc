// The socket calls that POSIX and Windows Sockets share. What each does its own way is in
// net_posix.cc or net_windows.cc, and what this file must know of it in native.h: the build
// compiles one of them, and puts posix/ or windows/ on the include path.
#include "net/net.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include "native.h"  // NOLINT: the platform folder is on the include path

namespace eventid::net {
namespace {

Endpoint from_native(const sockaddr* sa, native::socklen size) {
  Endpoint e;
  if (sa->sa_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(sa);
    e.family = Family::kIpv6;
    std::memcpy(e.address6.data(), &sin6->sin6_addr, e.address6.size());
    e.port = ntohs(sin6->sin6_port);
    e.scope = sin6->sin6_scope_id;
  } else if (sa->sa_family == AF_UNIX) {
    const auto* sun = reinterpret_cast<const sockaddr_un*>(sa);
    const std::size_t offset = offsetof(sockaddr_un, sun_path);
    const std::size_t length = size > static_cast<native::socklen>(offset) ? size - offset : 0;
    e.family = Family::kUnix;
    e.path.assign(sun->sun_path, strnlen(sun->sun_path, std::min(length, sizeof sun->sun_path)));
  } else {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(sa);
    e.address = ntohl(sin->sin_addr.s_addr);
    e.port = ntohs(sin->sin_port);
  }
  return e;
}

// What an Endpoint is in the system's terms.
struct NativeAddress {
  sockaddr_storage storage{};
  native::socklen size = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

NativeAddress to_native(const Endpoint& e) {
  NativeAddress n;
  if (e.family == Family::kIpv6) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&n.storage);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(e.port);
    std::memcpy(&sin6->sin6_addr, e.address6.data(), e.address6.size());
    sin6->sin6_scope_id = e.scope;
    n.size = sizeof *sin6;
  } else if (e.family == Family::kUnix) {
    auto* sun = reinterpret_cast<sockaddr_un*>(&n.storage);
    sun->sun_family = AF_UNIX;
    const std::size_t length = std::min(e.path.size(), sizeof sun->sun_path - 1);
    std::memcpy(sun->sun_path, e.path.data(), length);
    n.size = static_cast<native::socklen>(offsetof(sockaddr_un, sun_path) + length + 1);
  } else {
    auto* sin = reinterpret_cast<sockaddr_in*>(&n.storage);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(e.port);
    sin->sin_addr.s_addr = htonl(e.address);
    n.size = sizeof *sin;
  }
  return n;
}

int native_family(Family family) {
  return family == Family::kIpv6 ? AF_INET6 : family == Family::kUnix ? AF_UNIX : AF_INET;
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
  sockaddr_storage from{};
  native::socklen size = sizeof from;
  Socket client(native::accept(listener.get(), &from, &size));
  *peer = from_native(reinterpret_cast<const sockaddr*>(&from), size);
  return client;
}

Socket open_stream(Family family) {
  return native::open_stream(native_family(family));
}

Socket open_tcp4() {
  return open_stream(Family::kIpv4);
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

bool parse_address6(std::string_view text, std::array<std::uint8_t, 16>* address) {
  in6_addr in{};
  if (inet_pton(AF_INET6, std::string(text).c_str(), &in) != 1) return false;
  std::memcpy(address->data(), &in, address->size());
  return true;
}

bool is_ipv6_host(std::string_view host) {
  const std::size_t zone = host.find('%');
  if (zone != std::string_view::npos && zone + 1 == host.size()) return false;
  std::array<std::uint8_t, 16> address;
  return parse_address6(host.substr(0, zone), &address);
}

namespace {

// Decimal digits only, as a port number: no sign, no space, no prefix.
bool parse_port(std::string_view text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

bool parse_listen_address(std::string_view text, Endpoint* out, bool* has_port) {
  Endpoint e;
  constexpr std::string_view kUnixPrefix = "unix:";
  if (text.substr(0, kUnixPrefix.size()) == kUnixPrefix) {
    const std::string_view path = text.substr(kUnixPrefix.size());
    if (path.empty() || path.size() > kLongestUnixPath ||
        path.find('\0') != std::string_view::npos) {
      return false;
    }
    e.family = Family::kUnix;
    e.path = std::string(path);
    *out = std::move(e);
    *has_port = false;
    return true;
  }
  std::string_view rest;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos ||
        !parse_address6(text.substr(1, close - 1), &e.address6)) {
      return false;
    }
    e.family = Family::kIpv6;
    rest = text.substr(close + 1);
  } else {
    const std::size_t colon = text.find(':');
    if (!parse_address(text.substr(0, colon), &e.address)) return false;
    if (colon != std::string_view::npos) rest = text.substr(colon);
  }
  if (!rest.empty() && (rest[0] != ':' || !parse_port(rest.substr(1), &e.port))) return false;
  *out = std::move(e);
  *has_port = !rest.empty();
  return true;
}

std::string host_text(const Endpoint& e) {
  if (e.family == Family::kUnix) return "unix:" + e.path;
  if (e.family == Family::kIpv4) return address_text(e.address);
  in6_addr in{};
  std::memcpy(&in, e.address6.data(), e.address6.size());
  char text[INET6_ADDRSTRLEN] = {};
  if (!inet_ntop(AF_INET6, &in, text, sizeof text)) return "";
  // A link-local address is ambiguous without the interface it is on.
  return e.scope == 0 ? text : std::string(text) + "%" + native::zone_text(e.scope);
}

std::string endpoint_text(const Endpoint& e) {
  if (e.family == Family::kUnix) return host_text(e);
  // Appended, not added: g++ 12 warns falsely (-Wrestrict) of a literal + a temporary.
  std::string text;
  if (e.family == Family::kIpv6) {
    text.append("[").append(host_text(e)).append("]");
  } else {
    text = host_text(e);
  }
  return text.append(":").append(std::to_string(e.port));
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
  *out = from_native(list->ai_addr, static_cast<native::socklen>(list->ai_addrlen));
  freeaddrinfo(list);
  return true;
}

bool resolve_stream(const char* host, const char* service, bool either_family,
                    std::vector<Endpoint>* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = either_family ? AF_UNSPEC : AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host, service, &hints, &list);
  if (rc != 0) {
    *error = native::resolver_error_text(rc);
    return false;
  }
  out->clear();
  for (const addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_family == AF_INET || a->ai_family == AF_INET6) {
      out->push_back(from_native(a->ai_addr, static_cast<native::socklen>(a->ai_addrlen)));
    }
  }
  freeaddrinfo(list);
  return true;
}

bool connect_to(const Socket& s, const Endpoint& to) {
  const NativeAddress n = to_native(to);
  return ::connect(native::sock(s.get()), n.get(), n.size) == 0;
}

bool bind_to(const Socket& s, const Endpoint& local) {
  const NativeAddress n = to_native(local);
  return ::bind(native::sock(s.get()), n.get(), n.size) == 0;
}

bool listen_on(const Socket& s, int backlog) {
  return ::listen(native::sock(s.get()), backlog) == 0;
}

bool local_endpoint(const Socket& s, Endpoint* out) {
  sockaddr_storage local{};
  native::socklen len = sizeof local;
  if (getsockname(native::sock(s.get()), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    return false;
  }
  *out = from_native(reinterpret_cast<const sockaddr*>(&local), len);
  return true;
}

AcceptFailure classify_accept_error(int err) {
  if (is_one_of(err, native::kResourceErrors)) return AcceptFailure::kResources;
  if (is_one_of(err, native::kClientAcceptErrors)) return AcceptFailure::kClient;
  return AcceptFailure::kListener;
}

bool host_name(const Endpoint& peer, std::string* name) {
  if (peer.family == Family::kUnix) return false;
  const NativeAddress n = to_native(peer);
  char text[NI_MAXHOST];
  if (getnameinfo(n.get(), n.size, text, sizeof text, nullptr, 0, NI_NAMEREQD) != 0) {
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

namespace {

// The steps of a TCP listener before its bind.
const char* prepare_tcp_listener(const Socket& s, Family family) {
  if (!set_listener_address_option(s)) return "setsockopt";
  if (family == Family::kIpv6 && !set_flag(s, IPPROTO_IPV6, IPV6_V6ONLY)) return "setsockopt";
  return nullptr;
}

}  // namespace

Socket open_listener(const Endpoint& where, ListenFailure* failure, int socket_mode) {
  const bool unix_domain = where.family == Family::kUnix;
  Socket s = open_stream(where.family);
  const char* step = !s.valid()    ? "socket"
                     : unix_domain ? nullptr
                                   : prepare_tcp_listener(s, where.family);
  std::optional<UnixPathLock> lock;
  if (!step && unix_domain) {
    lock.emplace(where.path);
    const NativeAddress n = to_native(where);
    if (!native::make_room_for_socket(where.path, failure)) return Socket();
    step = native::bind_with_mode(s, n.get(), n.size, socket_mode) ? nullptr : "bind";
  } else if (!step) {
    step = bind_to(s, where) ? nullptr : "bind";
  }
  if (!step && !listen_on(s, longest_backlog())) step = "listen";
  if (!step) return s;
  failure->step = step;
  failure->error = last_error();
  return Socket();
}

// --- for the push listener ---

bool set_send_buffer(const Socket& s, int bytes) {
  return set_option(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

}  // namespace eventid::net
