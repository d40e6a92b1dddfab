// The socket layer: the only code of the relay that knows there is more than one platform.
// A call reports failure by its result; the caller reads last_error() at once and writes its
// own message, so that a failure is reported where it is seen.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace eventid::net {

// Wide enough for a POSIX descriptor and for a Windows SOCKET (whose INVALID_SOCKET is ~0).
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Owns one socket and closes it exactly once: on close(), on reassignment or at scope exit.
class Socket {
 public:
  Socket() = default;
  explicit Socket(Handle handle) : handle_(handle) {}
  Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, kInvalidHandle)) {}
  Socket& operator=(Socket&& other) noexcept;
  ~Socket() { close(); }

  bool valid() const { return handle_ != kInvalidHandle; }
  Handle get() const { return handle_; }
  void close();

 private:
  Handle handle_ = kInvalidHandle;
};

// Keeps the platform's socket library started while it lives (Windows Sockets 2.2).
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

// Run before anything else. POSIX: each of descriptors 0 to 2 that is closed is opened on the
// null device (else a socket takes its number, and the messages meant for it), and SIGPIPE is
// ignored (a reader that goes away fails a write instead of ending the process). Windows: the
// output streams keep "\r\n" byte for byte. False when a descriptor could not be opened.
bool prepare_standard_streams();

// Raises the soft limit on open descriptors towards needed, as far as the hard limit allows,
// and returns the limit then in force (where there is none, as on Windows: a large number).
int raise_descriptor_limit(int needed);

// Whether a service manager's notification socket (a path, or an abstract name that starts
// with '@') can be sent to; the system's text for why not otherwise (always on Windows).
bool notify_socket_usable(const std::string& socket_name, std::string* why);
// One datagram to it, sent without waiting: false when it cannot go at once (the socket's
// queue is full, say) or at all.
bool notify_service_manager(const std::string& socket_name, const std::string& message);

// The kinds of address a socket may have.
enum class Family : std::uint8_t { kIpv4, kIpv6, kUnix };

// Where a socket is bound or goes: an IPv4 address and port (both in host byte order), an IPv6
// address (in network byte order) and port, or the path of a Unix-domain socket.
struct Endpoint {
  Endpoint() = default;
  Endpoint(std::uint32_t ipv4, std::uint16_t port_number) : address(ipv4), port(port_number) {}

  std::uint32_t address = 0;  // IPv4; 0: every local address, for a listener
  std::uint16_t port = 0;
  Family family = Family::kIpv4;
  std::array<std::uint8_t, 16> address6{};  // IPv6; all zero: every local address
  std::uint32_t scope = 0;  // IPv6: the interface a link-local address is on ("fe80::1%eth0")
  std::string path;         // Unix domain
};
// The longest path a Unix-domain socket takes, on either platform (sun_path less its NUL).
inline constexpr std::size_t kLongestUnixPath = 107;
inline constexpr std::uint32_t kLoopback = 0x7f000001;  // 127.0.0.1
std::string address_text(std::uint32_t address);        // "127.0.0.1"
// The host part as a message shows it ("127.0.0.1", "::1", "unix:/run/x.sock") and the whole
// address as an option takes it ("127.0.0.1:58051", "[::1]:58051", "unix:/run/x.sock").
std::string host_text(const Endpoint& e);
std::string endpoint_text(const Endpoint& e);
// Four decimal numbers from 0 to 255 between dots, as inet_pton reads them: "127.1",
// "0x7f.0.0.1" and names are not addresses.
bool parse_address(std::string_view text, std::uint32_t* address);
// An IPv6 address as inet_pton reads it ("::1", "fe80::1"; no brackets, no zone).
bool parse_address6(std::string_view text, std::array<std::uint8_t, 16>* address);
// An IPv6 literal as a host to connect to, which may name its interface after a '%'
// ("fe80::1%eth0"): the resolver turns the zone into the address's scope.
bool is_ipv6_host(std::string_view host);
// A listening address in one of the forms every listening option takes: "A.B.C.D",
// "A.B.C.D:PORT", "[IPV6]", "[IPV6]:PORT" or "unix:PATH". *has_port tells whether a port was
// given (a Unix-domain path never has one). False for anything else.
bool parse_listen_address(std::string_view text, Endpoint* out, bool* has_port);

// The error of the last failed call on this thread, and the system's text for it.
int last_error();
std::string error_text(int err);

Socket open_tcp4();
Socket open_stream(Family family);
bool set_recv_timeout(const Socket& s, std::int64_t timeout_us);
bool set_reuse_address(const Socket& s);
// For a listener: a restarted server binds at once, and no other process can share the port.
bool set_listener_address_option(const Socket& s);
bool set_no_delay(const Socket& s);
// Calls on a non-blocking socket return at once; would_block() tells why they failed.
bool set_nonblocking(const Socket& s, bool on);
// Ends what this side sends (the peer reads an end of stream); receiving goes on.
bool shutdown_sending(const Socket& s);
// For the tests and the simulator: close() then resets the connection.
bool set_reset_on_close(const Socket& s);

// The first IPv4 stream address of host and service; the resolver's text in *error if none.
bool resolve_ipv4(const char* host, const char* service, Endpoint* out, std::string* error);
// Every stream address of host and service in the resolver's order: IPv6 only, or IPv4 and
// IPv6 both (either_family). The resolver's text in *error if none.
bool resolve_stream(const char* host, const char* service, bool either_family,
                    std::vector<Endpoint>* out, std::string* error);
bool connect_to(const Socket& s, const Endpoint& to);
bool bind_to(const Socket& s, const Endpoint& local);
bool listen_on(const Socket& s, int backlog);
// The longest listen queue the platform takes.
int longest_backlog();

// Held from the look at a Unix-domain listener's path to its listen, on the path's directory:
// a listener being made at the same path meanwhile (another relay starting) waits, and then
// finds a socket that listens, never one that is only bound, which it would take for a stale
// one and remove. Nothing on Windows, where a socket there is never removed.
class UnixPathLock {
 public:
  explicit UnixPathLock(const std::string& path);
  ~UnixPathLock();
  UnixPathLock(const UnixPathLock&) = delete;
  UnixPathLock& operator=(const UnixPathLock&) = delete;

 private:
  int directory_ = -1;
};

// Why a listener could not be opened: the step that failed ("socket", "setsockopt", "bind",
// "listen") and its error, and for what the relay refused on its own, why.
struct ListenFailure {
  const char* step = "";
  int error = 0;
  std::string why;
};
// The mode a Unix-domain listener is made with unless told otherwise: its group may ask.
inline constexpr int kDefaultSocketMode = 0660;
// A stream listener at where, with the longest queue the platform takes: clients that are not
// yet served wait their turn there, and a short queue leaves a burst of them retrying
// handshakes. An invalid socket and *failure otherwise.
// - TCP: with the listener's address option; an IPv6 listener takes IPv6 alone, so that
//   "0.0.0.0" and "[::]" can both be had.
// - Unix domain: made with socket_mode, and never reachable with a wider mode meanwhile. A path
//   that holds a socket nobody listens on is replaced; anything else there is refused, and so
//   is a path in a directory that another user than ours or root may write (POSIX).
Socket open_listener(const Endpoint& where, ListenFailure* failure,
                     int socket_mode = kDefaultSocketMode);
// Where a socket is bound (binding port 0 gets a free one).
bool local_endpoint(const Socket& s, Endpoint* out);
// The process at the other end of a Unix-domain connection, where the system tells it (Linux's
// peer credentials); 0 otherwise.
long peer_process(const Socket& s);
Socket accept_client(const Socket& listener, Endpoint* peer);

enum class AcceptFailure {
  kClient,     // one queued client failed (aborted, reset, interrupted): accept the next
  kResources,  // descriptors or buffers ran out: report, pause, try again
  kListener,   // the listening socket itself is broken
};
AcceptFailure classify_accept_error(int err);

// The peer's host name by reverse lookup; false when it has none. Waits as long as the name
// servers take.
bool host_name(const Endpoint& peer, std::string* name);

// One receive call: the count received, 0 when the peer closed, -1 on an error or timeout.
long receive_some(const Socket& s, char* buf, std::size_t size);
// Asks the system to stamp the data that reaches s with the time it came in; false where it
// cannot (a stream on Windows).
bool enable_receive_stamps(const Socket& s);
// One receive call, as receive_some, that also tells how long ago, in µs of the system's
// clock, the last data it returned came in: -1 where the system gave no stamp.
long receive_stamped(const Socket& s, char* buf, std::size_t size, std::int64_t* age_us);
// One send call that never raises a signal: the count sent, or -1 on an error.
long send_some(const Socket& s, const char* buf, std::size_t size);
// Whether the peer of a non-blocking socket has reset the connection, or closed it with
// nothing left to read: whether there is nothing more to hear from it.
bool peer_finished(const Socket& s);
// Whether err says the peer reset or closed the connection under a send.
bool is_peer_gone(int err);
// Whether err says a call on a non-blocking socket would have had to wait (for a connect: that
// it is under way).
bool would_block(int err);

// What a Poller waits for, and finds. kFailed: an error or a hang-up, which the next call on
// the socket tells. A peer's close is kReadable.
enum PollFlags : unsigned { kReadable = 1, kWritable = 2, kFailed = 4 };

// Keys that the Poller keeps for itself: a caller's keys lie below kFirstPollerKey.
inline constexpr std::uint64_t kFirstPollerKey = ~std::uint64_t{0} - 1;

// The readiness of many sockets, each registered once under a key of the caller's. Waiting
// costs the same however many sockets are idle (epoll on Linux; WSAPoll on Windows, whose cost
// grows with their count). One thread waits; any thread may wake it.
class Poller {
 public:
  struct Event {
    std::uint64_t key;
    unsigned found;
  };
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;
  bool ok() const;
  // wanted: kReadable and/or kWritable, or 0 to wait for neither for now.
  bool add(const Socket& s, unsigned wanted, std::uint64_t key);
  bool change(const Socket& s, unsigned wanted, std::uint64_t key);
  void remove(const Socket& s);  // before the socket closes
  // Ends the current or the next wait early, from any thread.
  void wake();
  // Waits until a socket is ready, timeout_us passes (-1: no limit) or wake() is called. The
  // events replace *events; returns their count (0 after a timeout or a wake), -1 on an error
  // (see last_error(); an interrupted wait is no error, it returns 0). The timeout is kept to
  // the µs on Linux (a timer descriptor), to the ms on Windows (rounded up).
  int wait(std::vector<Event>* events, std::int64_t timeout_us);

 private:
  struct Impl;
  Impl* impl_;
};

// --- for the push listener ---

// What the system may hold unsent for a socket, in bytes (the system may round it up, as Linux
// doubles it): a small one shows soon that a client does not read.
bool set_send_buffer(const Socket& s, int bytes);

}  // namespace eventid::net
