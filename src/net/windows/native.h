// The part of the socket layer that Windows Sockets 2.2 do their own way. net.cc includes it,
// and it alone.
#pragma once

#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace eventid::net {
namespace native {

using socklen = int;
using pollfd_t = WSAPOLLFD;
// Windows raises no signal for a send on a broken connection.
inline constexpr int kSendFlags = 0;

inline SOCKET sock(Handle h) {
  return static_cast<SOCKET>(h);
}

inline Handle accept(Handle listener, sockaddr_in* peer) {
  int len = sizeof *peer;
  return static_cast<Handle>(::accept(sock(listener), reinterpret_cast<sockaddr*>(peer), &len));
}

// The resolver's codes are Windows Sockets errors (and gai_strerror here is not thread-safe).
inline std::string resolver_error_text(int rc) {
  return error_text(rc);
}

// WSAPoll, unlike select, takes any number of sockets.
inline int poll(WSAPOLLFD* fds, std::size_t count, int timeout_ms) {
  const int ready = WSAPoll(fds, static_cast<ULONG>(count), timeout_ms);
  return ready == SOCKET_ERROR ? -1 : ready;
}

inline constexpr int kClientAcceptErrors[] = {WSAECONNRESET,   WSAECONNABORTED, WSAEINTR,
                                              WSAEWOULDBLOCK,  WSAETIMEDOUT,    WSAENETDOWN,
                                              WSAEHOSTUNREACH, WSAENETUNREACH};
inline constexpr int kResourceErrors[] = {WSAEMFILE, WSAENOBUFS};
inline constexpr int kPeerGoneErrors[] = {WSAECONNRESET, WSAECONNABORTED};
inline constexpr int kWouldBlockErrors[] = {WSAEWOULDBLOCK, WSAEINPROGRESS};
// SO_REUSEADDR here would let another process bind the listener's port and take its clients.
inline constexpr int kListenerAddressOption = SO_EXCLUSIVEADDRUSE;

// What the errors that Wine has no text for mean.
inline const char* fallback_text(int err) {
  switch (err) {
    case WSAEADDRINUSE:
      return "Address already in use";
    case WSAETIMEDOUT:
      return "Connection timed out";
    case WSAEHOSTUNREACH:
      return "No route to host";
    case WSATYPE_NOT_FOUND:
      return "Service not found";
    default:
      return nullptr;
  }
}

}  // namespace native

// Windows sockets are not C runtime descriptors: no socket can take a standard stream's place,
// and a write to a missing one fails harmlessly. Text mode would turn "\r\n" into "\r\r\n".
bool prepare_standard_streams() {
  for (FILE* stream : {stdout, stderr}) {
    if (_fileno(stream) >= 0) _setmode(_fileno(stream), _O_BINARY);
  }
  return true;
}

// Windows puts no such limit on sockets.
int raise_descriptor_limit(int) {
  return INT_MAX;
}

// Service managers of this kind are for POSIX systems.
bool notify_service_manager(const std::string&, const std::string&) {
  return false;
}

Library::Library() {
  WSADATA data;
  ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  if (ok_ && data.wVersion != MAKEWORD(2, 2)) {
    WSACleanup();
    ok_ = false;
  }
}
Library::~Library() {
  if (ok_) WSACleanup();
}

void Socket::close() {
  if (valid()) ::closesocket(native::sock(std::exchange(handle_, kInvalidHandle)));
}

// Socket calls leave errno alone here: their error is WSAGetLastError's.
int last_error() {
  return WSAGetLastError();
}

std::string error_text(int err) {
  char buf[512];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(err), 0, buf, sizeof buf, nullptr);
  std::string text(buf, n);
  // The system's texts end in ".\r\n"; the messages carry their own line end.
  while (!text.empty() && std::strchr(" \r\n", text.back())) text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty()) return text;
  if (const char* fallback = native::fallback_text(err)) return fallback;
  return "Windows error " + std::to_string(err);
}

// Sockets are never handed on to programs that the process starts (accepted ones inherit it).
Socket open_tcp4() {
  return Socket(static_cast<Handle>(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT)));
}

// Windows takes the receive timeout as a DWORD of milliseconds, not a timeval.
bool set_recv_timeout(const Socket& s, int milliseconds) {
  const DWORD ms = static_cast<DWORD>(milliseconds);
  return setsockopt(native::sock(s.get()), SOL_SOCKET, SO_RCVTIMEO,
                    reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

bool set_nonblocking(const Socket& s, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(native::sock(s.get()), FIONBIO, &mode) == 0;
}

int longest_backlog() {
  return SOMAXCONN;
}

}  // namespace eventid::net
