// What the socket layer's shared code (net.cc) needs to know of POSIX sockets, as Linux has
// them; net_posix.cc defines the rest.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <string>

#include "net/net.h"

namespace eventid::net::native {

using socklen = socklen_t;
inline constexpr int kSendFlags = MSG_NOSIGNAL;
inline constexpr int kShutdownSending = SHUT_WR;

inline int sock(Handle h) {
  return static_cast<int>(h);
}

// A blocking receive with a timeout fails with EINTR when the process is stopped and continued
// (job control, a debugger attaching), even with no signal handler: nothing went wrong with it.
inline bool interrupted(int err) {
  return err == EINTR;
}

// accept() and socket(), the new socket never handed on to programs that the process starts.
Handle accept(Handle listener, sockaddr_storage* peer, socklen* size);
Socket open_stream(int family);
// Before a Unix-domain listener binds path: false, with *failure, when it must not be made
// there; a stale socket there removed.
bool make_room_for_socket(const std::string& path, ListenFailure* failure);
// A Unix-domain bind that makes the socket with mode, and with no wider one before.
bool bind_with_mode(const Socket& s, const sockaddr* where, socklen size, int mode);
std::string resolver_error_text(int rc);
// An IPv6 scope as an address shows it after its '%': the interface's name, or its number.
std::string zone_text(std::uint32_t scope);

// Linux hands a queued connection's network errors to accept(): they are that client's.
inline constexpr int kClientAcceptErrors[] = {
    ECONNABORTED, ECONNRESET, EINTR,  EAGAIN,       EPROTO,     EPERM,       ENETDOWN,
    ENOPROTOOPT,  EHOSTDOWN,  ENONET, EHOSTUNREACH, EOPNOTSUPP, ENETUNREACH, ETIMEDOUT};
inline constexpr int kResourceErrors[] = {EMFILE, ENFILE, ENOBUFS, ENOMEM};
inline constexpr int kPeerGoneErrors[] = {ECONNRESET, EPIPE};
inline constexpr int kWouldBlockErrors[] = {EAGAIN, EWOULDBLOCK, EINPROGRESS};
// Here reuse only skips TIME_WAIT: POSIX never lets two live listeners share a port this way.
inline constexpr int kListenerAddressOption = SO_REUSEADDR;

}  // namespace eventid::net::native
