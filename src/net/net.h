// The socket layer: the only code in the relay that knows there is more than one platform.
// Every socket call of the program goes through here (net_posix.cc or net_windows.cc, picked by
// the build). Functions report failure by their result; the caller reads last_error() right
// after and writes its own message, so each failure is reported where it is seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace net {

// Wide enough for a POSIX descriptor and for a Windows SOCKET (whose INVALID_SOCKET is ~0).
using handle_t = std::intptr_t;
inline constexpr handle_t kInvalidHandle = -1;

// Owns one socket and closes it exactly once: on close(), on reassignment or at scope exit.
class Socket {
 public:
  Socket() = default;
  explicit Socket(handle_t handle) : handle_(handle) {}
  Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, kInvalidHandle)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, kInvalidHandle);
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }

  bool valid() const { return handle_ != kInvalidHandle; }
  handle_t get() const { return handle_; }
  void close();

 private:
  handle_t handle_ = kInvalidHandle;
};

// Makes the standard streams safe to write to, before anything else runs. On POSIX, each of
// descriptors 0, 1 and 2 that is closed is opened on the null device, so that no socket takes
// its number and gets the messages meant for it; and SIGPIPE is ignored, so that a reader of
// the output that goes away fails a write instead of ending the process. On Windows, puts
// standard output and error into the mode that keeps "\r\n" byte for byte. False when a
// closed descriptor could not be opened.
bool prepare_standard_streams();

// Keeps the platform's socket library started while it lives (Windows Sockets 2.2; a no-op on
// POSIX).
class Library {
 public:
  Library();
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// An IPv4 socket address, with the resolver's canonical name when it gave one.
struct Endpoint {
  alignas(8) unsigned char addr[16] = {};  // a sockaddr_in
  std::string canonical_name;
};

// The error number of the last failed call on this thread, and its text.
int last_error();
std::string error_text(int err);

Socket open_tcp4();
bool set_recv_timeout(const Socket& s, int milliseconds);
bool set_reuse_address(const Socket& s);
// For a listening socket: lets a restarted server bind at once, and on platforms where reuse
// would let another process share the port, takes the port exclusively instead.
bool set_listener_address_option(const Socket& s);
bool set_no_delay(const Socket& s);
// Makes close() reset the connection instead of ending it in order.
bool set_reset_on_close(const Socket& s);

// Resolves to the first IPv4 stream address. On failure writes the resolver's text to *error.
bool resolve_ipv4(const char* host, const char* service, Endpoint* out, std::string* error);
bool connect_to(const Socket& s, const Endpoint& to);

// Binds to a numeric IPv4 address, or to every local address when address is null.
bool bind_ipv4(const Socket& s, const char* address, std::uint16_t port);
bool listen_on(const Socket& s, int backlog);
// The longest listen queue the platform takes: clients beyond those being served wait there,
// in the order they came, instead of being refused or left to retry their handshake.
int longest_backlog();
// The port a bound socket got (useful after binding port 0), or 0 on failure.
std::uint16_t local_port(const Socket& s);
Socket accept_client(const Socket& listener, Endpoint* peer);

enum class AcceptFailure {
  kClient,     // one queued client failed (aborted, reset, interrupted): accept the next
  kResources,  // descriptors or buffers ran out: report, pause, try again
  kListener,   // the listening socket itself is broken
};
AcceptFailure classify_accept_error(int err);

// The peer's IPv4 address (network order), to tell hosts apart without their ports.
std::uint32_t host_of(const Endpoint& peer);

// The peer's address as text, e.g. "127.0.0.1".
std::string numeric_host(const Endpoint& peer);
// The reverse lookup of the peer's address: true with its host name, false when none is found.
// May wait as long as the name servers take.
bool host_name(const Endpoint& peer, std::string* name);

// One receive call: the count received, 0 when the peer closed, -1 on an error or timeout.
long receive_some(const Socket& s, char* buf, std::size_t size);
// One send call that never raises a signal: the count sent, or -1 on an error.
long send_some(const Socket& s, const char* buf, std::size_t size);
// True when err says the peer reset or closed the connection under a send.
bool is_peer_gone(int err);

// Makes calls on s return at once instead of waiting (on), or wait again (off).
bool set_nonblocking(const Socket& s, bool on);
// True when err says a call on a non-blocking socket would have had to wait (for a connect:
// that it is under way).
bool would_block(int err);

// One socket's part in poll_sockets: what to wait for, and what was found.
enum PollFlags : unsigned {
  kReadable = 1,  // data, a connection to accept, or the peer's close
  kWritable = 2,
  kFailed = 4,  // an error or a hang-up: the next call on the socket says which
};
struct PollEntry {
  handle_t handle = kInvalidHandle;
  unsigned wanted = 0;  // kReadable and/or kWritable
  unsigned found = 0;   // set by poll_sockets
};
// Waits until one of the sockets is ready or timeout_ms passes (-1: no limit). Returns how
// many are ready, 0 on a timeout, -1 on an error. No limit on the count of sockets.
int poll_sockets(PollEntry* entries, std::size_t count, int timeout_ms);

}  // namespace net
