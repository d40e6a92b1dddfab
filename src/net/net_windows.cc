// Windows Sockets 2.2 behind net.h.
#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "net/net.h"

namespace net {
namespace {

SOCKET sock(const Socket& s) {
  return static_cast<SOCKET>(s.get());
}

bool set_int_option(const Socket& s, int level, int name, int value) {
  return setsockopt(sock(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

const sockaddr* as_sockaddr(const Endpoint& e) {
  return reinterpret_cast<const sockaddr*>(e.addr);
}

}  // namespace

void Socket::close() {
  if (handle_ != kInvalidHandle) {
    ::closesocket(static_cast<SOCKET>(std::exchange(handle_, kInvalidHandle)));
  }
}

// Windows sockets are not C runtime descriptors: a missing standard handle is never taken by a
// socket, and writes to it fail harmlessly.
bool prepare_standard_streams() {
  // Text mode would turn every "\r\n" of the messages into "\r\r\n".
  for (FILE* stream : {stdout, stderr}) {
    if (_fileno(stream) >= 0) _setmode(_fileno(stream), _O_BINARY);
  }
  return true;
}

Library::Library() {
  WSADATA data;
  ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  if (ok_ && (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2)) {
    WSACleanup();
    ok_ = false;
  }
}

Library::~Library() {
  if (ok_) WSACleanup();
}

// Socket calls leave errno alone here: their error is WSAGetLastError's.
int last_error() {
  return WSAGetLastError();
}

namespace {

// Where the system has no text for a Windows Sockets error (Wine lacks several), the meaning
// of the ones a relay can meet.
const char* fallback_text(int err) {
  switch (err) {
    case WSAEINTR:
      return "Interrupted function call";
    case WSAEMFILE:
      return "Too many open sockets";
    case WSAEWOULDBLOCK:
      return "Resource temporarily unavailable";
    case WSAEADDRINUSE:
      return "Address already in use";
    case WSAEADDRNOTAVAIL:
      return "Cannot assign requested address";
    case WSAENETDOWN:
      return "Network is down";
    case WSAENETUNREACH:
      return "Network is unreachable";
    case WSAECONNABORTED:
      return "Software caused connection abort";
    case WSAECONNRESET:
      return "Connection reset by peer";
    case WSAENOBUFS:
      return "No buffer space available";
    case WSAETIMEDOUT:
      return "Connection timed out";
    case WSAECONNREFUSED:
      return "Connection refused";
    case WSAEHOSTDOWN:
      return "Host is down";
    case WSAEHOSTUNREACH:
      return "No route to host";
    case WSATYPE_NOT_FOUND:
      return "Service not found";
    case WSAHOST_NOT_FOUND:
      return "Host not found";
    case WSANO_DATA:
      return "No address of the requested type";
    default:
      return nullptr;
  }
}

}  // namespace

std::string error_text(int err) {
  char buf[512];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(err), 0, buf, sizeof buf, nullptr);
  std::string text(buf, n);
  // The system's texts end in ".\r\n"; the messages carry their own line end.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty()) return text;
  if (const char* fallback = fallback_text(err)) return fallback;
  return "Windows error " + std::to_string(err);
}

// Sockets are never handed on to programs that the process starts (accepted ones inherit this).
Socket open_tcp4() {
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  return Socket(s == INVALID_SOCKET ? kInvalidHandle : static_cast<handle_t>(s));
}

// Windows takes the receive timeout as a DWORD of milliseconds, not a timeval.
bool set_recv_timeout(const Socket& s, int milliseconds) {
  const DWORD ms = static_cast<DWORD>(milliseconds);
  return setsockopt(sock(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                    sizeof ms) == 0;
}

bool set_reuse_address(const Socket& s) {
  return set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1);
}

// SO_REUSEADDR on Windows would let another process bind the same port beside the listener and
// take its clients; SO_EXCLUSIVEADDRUSE forbids that.
bool set_listener_address_option(const Socket& s) {
  return set_int_option(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
}

bool set_no_delay(const Socket& s) {
  return set_int_option(s, IPPROTO_TCP, TCP_NODELAY, 1);
}

bool set_reset_on_close(const Socket& s) {
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  return setsockopt(sock(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) ==
         0;
}

bool resolve_ipv4(const char* host, const char* service, Endpoint* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host, service, &hints, &list);
  if (rc != 0) {
    // The codes are Windows Sockets errors; gai_strerror here is not thread-safe.
    *error = error_text(rc);
    return false;
  }
  std::memcpy(out->addr, list->ai_addr, sizeof(sockaddr_in));
  out->canonical_name = list->ai_canonname ? list->ai_canonname : "";
  freeaddrinfo(list);
  return true;
}

bool connect_to(const Socket& s, const Endpoint& to) {
  return ::connect(sock(s), as_sockaddr(to), sizeof(sockaddr_in)) == 0;
}

bool bind_ipv4(const Socket& s, const char* address, std::uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_ANY);
  if (address && inet_pton(AF_INET, address, &sin.sin_addr) != 1) {
    WSASetLastError(WSAEINVAL);
    return false;
  }
  return ::bind(sock(s), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0;
}

bool listen_on(const Socket& s, int backlog) {
  return ::listen(sock(s), backlog) == 0;
}

int longest_backlog() {
  return SOMAXCONN;
}

std::uint16_t local_port(const Socket& s) {
  sockaddr_in sin{};
  int len = sizeof sin;
  if (getsockname(sock(s), reinterpret_cast<sockaddr*>(&sin), &len) != 0) return 0;
  return ntohs(sin.sin_port);
}

Socket accept_client(const Socket& listener, Endpoint* peer) {
  int len = sizeof(sockaddr_in);
  const SOCKET s = ::accept(sock(listener), reinterpret_cast<sockaddr*>(peer->addr), &len);
  return Socket(s == INVALID_SOCKET ? kInvalidHandle : static_cast<handle_t>(s));
}

AcceptFailure classify_accept_error(int err) {
  switch (err) {
    case WSAEMFILE:
    case WSAENOBUFS:
      return AcceptFailure::kResources;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAEINTR:
    case WSAEWOULDBLOCK:
    case WSAETIMEDOUT:
    case WSAENETDOWN:
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
      return AcceptFailure::kClient;
    default:
      return AcceptFailure::kListener;
  }
}

std::uint32_t host_of(const Endpoint& peer) {
  return reinterpret_cast<const sockaddr_in*>(peer.addr)->sin_addr.s_addr;
}

std::string numeric_host(const Endpoint& peer) {
  char text[INET_ADDRSTRLEN] = {};
  const auto* sin = reinterpret_cast<const sockaddr_in*>(peer.addr);
  if (!inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) return "";
  return text;
}

bool host_name(const Endpoint& peer, std::string* name) {
  char text[NI_MAXHOST];
  if (getnameinfo(as_sockaddr(peer), static_cast<int>(sizeof(sockaddr_in)), text, sizeof text,
                  nullptr, 0, NI_NAMEREQD) != 0) {
    return false;
  }
  *name = text;
  return true;
}

long receive_some(const Socket& s, char* buf, std::size_t size) {
  return ::recv(sock(s), buf, static_cast<int>(size), 0);
}

// Windows raises no signal for a send on a broken connection.
long send_some(const Socket& s, const char* buf, std::size_t size) {
  return ::send(sock(s), buf, static_cast<int>(size), 0);
}

bool is_peer_gone(int err) {
  return err == WSAECONNRESET || err == WSAECONNABORTED;
}

bool set_nonblocking(const Socket& s, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(sock(s), FIONBIO, &mode) == 0;
}

bool would_block(int err) {
  return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS;
}

// WSAPoll, unlike select, takes any number of sockets.
int poll_sockets(PollEntry* entries, std::size_t count, int timeout_ms) {
  thread_local std::vector<WSAPOLLFD> fds;
  fds.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned wanted = entries[i].wanted;
    fds[i].fd = static_cast<SOCKET>(entries[i].handle);
    fds[i].events = static_cast<SHORT>(((wanted & kReadable) ? POLLRDNORM : 0) |
                                       ((wanted & kWritable) ? POLLWRNORM : 0));
    fds[i].revents = 0;
  }
  const int ready = WSAPoll(fds.data(), static_cast<ULONG>(count), timeout_ms);
  for (std::size_t i = 0; i < count; ++i) {
    const SHORT got = ready > 0 ? fds[i].revents : 0;
    entries[i].found = ((got & POLLRDNORM) ? kReadable : 0u) |
                       ((got & POLLWRNORM) ? kWritable : 0u) |
                       ((got & (POLLERR | POLLHUP | POLLNVAL)) ? kFailed : 0u);
  }
  return ready == SOCKET_ERROR ? -1 : ready;
}

}  // namespace net
