// POSIX sockets behind net.h.
#include "net/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <vector>

namespace net {
namespace {

int fd(const Socket& s) {
  return static_cast<int>(s.get());
}

bool set_int_option(const Socket& s, int level, int name, int value) {
  return setsockopt(fd(s), level, name, &value, sizeof value) == 0;
}

sockaddr_in* as_sockaddr_in(Endpoint& e) {
  return reinterpret_cast<sockaddr_in*>(e.addr);
}
const sockaddr* as_sockaddr(const Endpoint& e) {
  return reinterpret_cast<const sockaddr*>(e.addr);
}

}  // namespace

void Socket::close() {
  if (handle_ != kInvalidHandle) ::close(static_cast<int>(std::exchange(handle_, kInvalidHandle)));
}

bool prepare_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) {  // the lowest free number: the one that was closed
      if (opened >= 0) ::close(opened);
      return false;
    }
  }
  return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

Library::Library() : ok_(true) {}
Library::~Library() = default;

int last_error() {
  return errno;
}

std::string error_text(int err) {
  return std::strerror(err);
}

// Sockets are never handed on to programs that the process starts.
#ifdef SOCK_CLOEXEC
constexpr int kSocketFlags = SOCK_CLOEXEC;
#else
constexpr int kSocketFlags = 0;
#endif

Socket open_tcp4() {
  return Socket(::socket(AF_INET, SOCK_STREAM | kSocketFlags, 0));
}

bool set_recv_timeout(const Socket& s, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  return setsockopt(fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool set_reuse_address(const Socket& s) {
  return set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1);
}

// Here reuse only skips TIME_WAIT: POSIX never lets two live listeners share a port this way.
bool set_listener_address_option(const Socket& s) {
  return set_reuse_address(s);
}

bool set_no_delay(const Socket& s) {
  return set_int_option(s, IPPROTO_TCP, TCP_NODELAY, 1);
}

bool set_reset_on_close(const Socket& s) {
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  return setsockopt(fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0;
}

bool resolve_ipv4(const char* host, const char* service, Endpoint* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host, service, &hints, &list);
  if (rc != 0) {
    *error = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return false;
  }
  std::memcpy(out->addr, list->ai_addr, sizeof(sockaddr_in));
  out->canonical_name = list->ai_canonname ? list->ai_canonname : "";
  freeaddrinfo(list);
  return true;
}

bool connect_to(const Socket& s, const Endpoint& to) {
  return ::connect(fd(s), as_sockaddr(to), sizeof(sockaddr_in)) == 0;
}

bool bind_ipv4(const Socket& s, const char* address, std::uint16_t port) {
  Endpoint e;
  sockaddr_in* sin = as_sockaddr_in(e);
  sin->sin_family = AF_INET;
  sin->sin_port = htons(port);
  sin->sin_addr.s_addr = htonl(INADDR_ANY);
  if (address && inet_pton(AF_INET, address, &sin->sin_addr) != 1) {
    errno = EINVAL;
    return false;
  }
  return ::bind(fd(s), as_sockaddr(e), sizeof(sockaddr_in)) == 0;
}

bool listen_on(const Socket& s, int backlog) {
  return ::listen(fd(s), backlog) == 0;
}

// The kernel cuts the queue to its own limit (net.core.somaxconn on Linux).
int longest_backlog() {
  return INT_MAX;
}

std::uint16_t local_port(const Socket& s) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  if (getsockname(fd(s), reinterpret_cast<sockaddr*>(&sin), &len) != 0) return 0;
  return ntohs(sin.sin_port);
}

Socket accept_client(const Socket& listener, Endpoint* peer) {
  socklen_t len = sizeof(sockaddr_in);
  auto* addr = reinterpret_cast<sockaddr*>(peer->addr);
#ifdef SOCK_CLOEXEC
  return Socket(::accept4(fd(listener), addr, &len, SOCK_CLOEXEC));
#else
  return Socket(::accept(fd(listener), addr, &len));
#endif
}

AcceptFailure classify_accept_error(int err) {
  switch (err) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return AcceptFailure::kResources;
    // Linux hands pending network errors of the queued connection to accept(): they belong
    // to that client, not to the listener.
    case ECONNABORTED:
    case ECONNRESET:
    case EINTR:
    case EAGAIN:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
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
  if (getnameinfo(as_sockaddr(peer), static_cast<socklen_t>(sizeof(sockaddr_in)), text, sizeof text,
                  nullptr, 0, NI_NAMEREQD) != 0) {
    return false;
  }
  *name = text;
  return true;
}

long receive_some(const Socket& s, char* buf, std::size_t size) {
  return static_cast<long>(::recv(fd(s), buf, size, MSG_NOSIGNAL));
}

long send_some(const Socket& s, const char* buf, std::size_t size) {
  return static_cast<long>(::send(fd(s), buf, size, MSG_NOSIGNAL));
}

bool is_peer_gone(int err) {
  return err == ECONNRESET || err == EPIPE;
}

bool set_nonblocking(const Socket& s, bool on) {
  const int flags = fcntl(fd(s), F_GETFL);
  if (flags < 0) return false;
  return fcntl(fd(s), F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

bool would_block(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS;
}

int poll_sockets(PollEntry* entries, std::size_t count, int timeout_ms) {
  thread_local std::vector<pollfd> fds;
  fds.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned wanted = entries[i].wanted;
    fds[i] = {static_cast<int>(entries[i].handle),
              static_cast<short>(((wanted & kReadable) ? POLLIN : 0) |
                                 ((wanted & kWritable) ? POLLOUT : 0)),
              0};
  }
  const int ready = ::poll(fds.data(), static_cast<nfds_t>(count), timeout_ms);
  for (std::size_t i = 0; i < count; ++i) {
    const short got = ready > 0 ? fds[i].revents : 0;
    entries[i].found = ((got & POLLIN) ? kReadable : 0u) | ((got & POLLOUT) ? kWritable : 0u) |
                       ((got & (POLLERR | POLLHUP | POLLNVAL)) ? kFailed : 0u);
  }
  return ready;
}

}  // namespace net
