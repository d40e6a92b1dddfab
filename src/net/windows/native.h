// What the socket layer's shared code (net.cc) needs to know of Windows Sockets 2.2;
// net_windows.cc defines the rest.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
// After the two above, which it needs.
#include <afunix.h>

#include <string>

#include "net/net.h"

namespace eventid::net::native {

using socklen = int;
// Windows raises no signal for a send on a broken connection.
inline constexpr int kSendFlags = 0;
inline constexpr int kShutdownSending = SD_SEND;

inline SOCKET sock(Handle h) {
  return static_cast<SOCKET>(h);
}

// No signal interrupts a receive here; WSAEINTR means its socket was closed under it.
inline bool interrupted(int /*err*/) {
  return false;
}

Handle accept(Handle listener, sockaddr_storage* peer, socklen* size);
Socket open_stream(int family);
// Before a Unix-domain listener binds path: false, with *failure, when it must not be made
// there.
bool make_room_for_socket(const std::string& path, ListenFailure* failure);
// A Unix-domain bind; the mode is the directory's ACL's to give here.
bool bind_with_mode(const Socket& s, const sockaddr* where, socklen size, int mode);
std::string resolver_error_text(int rc);
// An IPv6 scope as an address shows it after its '%': the interface's name, or its number.
std::string zone_text(std::uint32_t scope);

// Wine answers WSAENOTCONN for a queued connection that was reset before its accept.
inline constexpr int kClientAcceptErrors[] = {
    WSAECONNRESET,  WSAECONNABORTED, WSAENOTCONN, WSAENETRESET,    WSAEINTR,
    WSAEWOULDBLOCK, WSAETIMEDOUT,    WSAENETDOWN, WSAEHOSTUNREACH, WSAENETUNREACH};
inline constexpr int kResourceErrors[] = {WSAEMFILE, WSAENOBUFS};
inline constexpr int kPeerGoneErrors[] = {WSAECONNRESET, WSAECONNABORTED};
inline constexpr int kWouldBlockErrors[] = {WSAEWOULDBLOCK, WSAEINPROGRESS};
// SO_REUSEADDR here would let another process bind the listener's port and take its clients.
inline constexpr int kListenerAddressOption = SO_EXCLUSIVEADDRUSE;

}  // namespace eventid::net::native
