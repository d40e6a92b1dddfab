// The socket layer's Windows side: Windows Sockets 2.2, WSAPoll.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "native.h"  // NOLINT: the platform folder is on the include path

namespace eventid::net {
namespace {

// What the errors that Wine has no text for mean.
const char* fallback_text(int err) {
  switch (err) {
    case WSAEADDRINUSE:
      return "Address already in use";
    case WSAEAFNOSUPPORT:
      return "Address family not supported by protocol";
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

}  // namespace

Handle native::accept(Handle listener, sockaddr_storage* peer, socklen* size) {
  return static_cast<Handle>(::accept(sock(listener), reinterpret_cast<sockaddr*>(peer), size));
}

// The interface's number: its name would take the IP Helper library in for one message.
std::string native::zone_text(std::uint32_t scope) {
  return std::to_string(scope);
}

// The resolver's codes are Windows Sockets errors (and gai_strerror here is not thread-safe).
std::string native::resolver_error_text(int rc) {
  return error_text(rc);
}

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
bool notify_socket_usable(const std::string&, std::string* why) {
  *why = "not on Windows";
  return false;
}

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
  if (const char* fallback = fallback_text(err)) return fallback;
  return "Windows error " + std::to_string(err);
}

// Sockets are never handed on to programs that the process starts (accepted ones inherit it).
Socket native::open_stream(int family) {
  return Socket(static_cast<Handle>(WSASocketW(family, SOCK_STREAM, 0, nullptr, 0,
                                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT)));
}

// A socket file here cannot be told from a stale one without connecting; what is there fails
// the bind instead (WSAEADDRINUSE), and is left as it is.
bool native::make_room_for_socket(const std::string&, ListenFailure*) {
  return true;
}

UnixPathLock::UnixPathLock(const std::string&) {}
UnixPathLock::~UnixPathLock() = default;

long peer_process(const Socket&) {
  return 0;
}

bool native::bind_with_mode(const Socket& s, const sockaddr* where, socklen size, int) {
  return ::bind(sock(s.get()), where, size) == 0;
}

// Windows takes the receive timeout as a DWORD of milliseconds, not a timeval.
bool set_recv_timeout(const Socket& s, std::int64_t timeout_us) {
  const DWORD ms = static_cast<DWORD>(timeout_us / 1000);
  return setsockopt(native::sock(s.get()), SOL_SOCKET, SO_RCVTIMEO,
                    reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

// Winsock stamps datagrams only (SIO_TIMESTAMPING), never a stream's data.
bool enable_receive_stamps(const Socket&) {
  WSASetLastError(WSAEOPNOTSUPP);
  return false;
}

long receive_stamped(const Socket& s, char* buf, std::size_t size, std::int64_t* age_us) {
  *age_us = -1;
  return receive_some(s, buf, size);
}

bool set_nonblocking(const Socket& s, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(native::sock(s.get()), FIONBIO, &mode) == 0;
}

int longest_backlog() {
  return SOMAXCONN;
}

namespace {

SHORT poll_events(unsigned wanted) {
  return static_cast<SHORT>(((wanted & kReadable) ? POLLRDNORM : 0) |
                            ((wanted & kWritable) ? POLLWRNORM : 0));
}

// WSAPoll waits on sockets only: a wake is a datagram that a loopback socket sends itself.
Socket open_wake_socket() {
  Socket s(static_cast<Handle>(
      WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT)));
  Endpoint self{kLoopback, 0};
  if (!s.valid() || !bind_to(s, self) || !local_endpoint(s, &self) || !connect_to(s, self) ||
      !set_nonblocking(s, true)) {
    return Socket();
  }
  return s;
}

}  // namespace

constexpr std::uint64_t kWakeKey = kFirstPollerKey;

// WSAPoll, which unlike select takes any number of sockets, over a table of them all; the
// wake socket is the table's first entry.
struct Poller::Impl {
  Socket wake = open_wake_socket();
  std::vector<WSAPOLLFD> fds;
  std::vector<std::uint64_t> keys;
};

Poller::Poller() : impl_(new Impl) {
  if (ok()) add(impl_->wake, kReadable, kWakeKey);
}

Poller::~Poller() {
  delete impl_;
}

bool Poller::ok() const {
  return impl_->wake.valid();
}

bool Poller::add(const Socket& s, unsigned wanted, std::uint64_t key) {
  impl_->fds.push_back({native::sock(s.get()), poll_events(wanted), 0});
  impl_->keys.push_back(key);
  return true;
}

bool Poller::change(const Socket& s, unsigned wanted, std::uint64_t key) {
  for (std::size_t i = 0; i < impl_->fds.size(); ++i) {
    if (impl_->fds[i].fd != native::sock(s.get())) continue;
    impl_->fds[i].events = poll_events(wanted);
    impl_->keys[i] = key;
    return true;
  }
  return false;
}

void Poller::remove(const Socket& s) {
  for (std::size_t i = 0; i < impl_->fds.size(); ++i) {
    if (impl_->fds[i].fd != native::sock(s.get())) continue;
    impl_->fds[i] = impl_->fds.back();
    impl_->keys[i] = impl_->keys.back();
    impl_->fds.pop_back();
    impl_->keys.pop_back();
    return;
  }
}

void Poller::wake() {
  send_some(impl_->wake, "", 1);
}

int Poller::wait(std::vector<Event>* events, std::int64_t timeout_us) {
  events->clear();
  // WSAPoll counts in ms: rounded up, so that a deadline never passes unnoticed.
  const int timeout_ms =
      timeout_us < 0 ? -1
                     : static_cast<int>(std::min<std::int64_t>((timeout_us + 999) / 1000, INT_MAX));
  const int n = WSAPoll(impl_->fds.data(), static_cast<ULONG>(impl_->fds.size()), timeout_ms);
  if (n == SOCKET_ERROR) return -1;
  for (std::size_t i = 0; i < impl_->fds.size() && n > 0; ++i) {
    const SHORT got = impl_->fds[i].revents;
    if (got == 0) continue;
    if (impl_->keys[i] == kWakeKey) {
      char drained[64];
      while (receive_some(impl_->wake, drained, sizeof drained) > 0) {
      }
      continue;
    }
    events->push_back(
        {impl_->keys[i], ((got & POLLRDNORM) ? kReadable : 0u) |
                             ((got & POLLWRNORM) ? kWritable : 0u) |
                             ((got & (POLLERR | POLLHUP | POLLNVAL)) ? kFailed : 0u)});
  }
  return static_cast<int>(events->size());
}

}  // namespace eventid::net
