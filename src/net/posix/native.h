// The part of the socket layer that POSIX does its own way. net.cc includes it, and it alone.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace eventid::net {
namespace native {

using socklen = socklen_t;
using pollfd_t = pollfd;
inline constexpr int kSendFlags = MSG_NOSIGNAL;

inline int sock(Handle h) {
  return static_cast<int>(h);
}

inline Handle accept(Handle listener, sockaddr_in* peer) {
  socklen_t len = sizeof *peer;
  return ::accept4(sock(listener), reinterpret_cast<sockaddr*>(peer), &len, SOCK_CLOEXEC);
}

inline std::string resolver_error_text(int rc) {
  return rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
}

inline int poll(pollfd* fds, std::size_t count, int timeout_ms) {
  return ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
}

// Linux hands a queued connection's network errors to accept(): they are that client's.
inline constexpr int kClientAcceptErrors[] = {
    ECONNABORTED, ECONNRESET, EINTR,  EAGAIN,       EPROTO,     EPERM,       ENETDOWN,
    ENOPROTOOPT,  EHOSTDOWN,  ENONET, EHOSTUNREACH, EOPNOTSUPP, ENETUNREACH, ETIMEDOUT};
inline constexpr int kResourceErrors[] = {EMFILE, ENFILE, ENOBUFS, ENOMEM};
inline constexpr int kPeerGoneErrors[] = {ECONNRESET, EPIPE};
inline constexpr int kWouldBlockErrors[] = {EAGAIN, EWOULDBLOCK, EINPROGRESS};
// Here reuse only skips TIME_WAIT: POSIX never lets two live listeners share a port this way.
inline constexpr int kListenerAddressOption = SO_REUSEADDR;

}  // namespace native

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

void Socket::close() {
  if (valid()) ::close(native::sock(std::exchange(handle_, kInvalidHandle)));
}

int last_error() {
  return errno;
}

std::string error_text(int err) {
  return std::strerror(err);
}

// Sockets are never handed on to programs that the process starts.
Socket open_tcp4() {
  return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

bool set_recv_timeout(const Socket& s, int milliseconds) {
  const timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return setsockopt(native::sock(s.get()), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool set_nonblocking(const Socket& s, bool on) {
  const int flags = fcntl(native::sock(s.get()), F_GETFL);
  return flags >= 0 &&
         fcntl(native::sock(s.get()), F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

// The kernel cuts the queue to its own limit (net.core.somaxconn on Linux).
int longest_backlog() {
  return INT_MAX;
}

}  // namespace eventid::net
