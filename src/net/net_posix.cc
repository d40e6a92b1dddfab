// The socket layer's POSIX side, as Linux has it (accept4, MSG_NOSIGNAL, epoll, eventfd).
#include <fcntl.h>
#include <net/if.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <iterator>

#include "native.h"  // NOLINT: the platform folder is on the include path
#include "process/private_path.h"

namespace eventid::net {

Handle native::accept(Handle listener, sockaddr_storage* peer, socklen* size) {
  return ::accept4(sock(listener), reinterpret_cast<sockaddr*>(peer), size, SOCK_CLOEXEC);
}

Socket native::open_stream(int family) {
  return Socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

namespace {

bool refuse(ListenFailure* failure, int error, std::string why) {
  failure->step = "bind";
  failure->error = error;
  failure->why = std::move(why);
  return false;
}

// Whether a program accepts connections at the socket at path.
bool someone_listens(const std::string& path) {
  Endpoint where;
  where.family = Family::kUnix;
  where.path = path;
  const Socket probe = open_stream(Family::kUnix);
  return probe.valid() && (connect_to(probe, where) || errno != ECONNREFUSED);
}

}  // namespace

bool native::make_room_for_socket(const std::string& path, ListenFailure* failure) {
  std::string why;
  if (!unsafe_directory(path, &why).empty()) return refuse(failure, errno, why);
  struct stat about;
  if (::lstat(path.c_str(), &about) != 0) {
    return errno == ENOENT || refuse(failure, errno, path + ": " + std::strerror(errno));
  }
  if (!S_ISSOCK(about.st_mode)) {
    return refuse(failure, EEXIST, path + ": not a socket, and left as it is");
  }
  if (someone_listens(path)) {
    return refuse(failure, EADDRINUSE, path + ": another program listens there");
  }
  if (::unlink(path.c_str()) != 0) {
    return refuse(failure, errno, path + ": the stale socket there cannot be removed");
  }
  return true;
}

UnixPathLock::UnixPathLock(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  directory_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // Without the lock (a directory that cannot be opened), as before: the bind then fails too.
  while (directory_ >= 0 && ::flock(directory_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

UnixPathLock::~UnixPathLock() {
  if (directory_ >= 0) ::close(directory_);
}

long peer_process(const Socket& s) {
#ifdef SO_PEERCRED
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(s.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
    return credentials.pid;
  }
#endif
  return 0;
}

// The socket file is made with no permissions at all, under a umask, and given its mode before
// it listens: no one can connect with a wider mode in between. The umask is the process's: the
// relay makes its listeners before any other thread of it makes files.
bool native::bind_with_mode(const Socket& s, const sockaddr* where, socklen size, int mode) {
  const mode_t before = ::umask(0777);
  const bool bound = ::bind(sock(s.get()), where, size) == 0;
  const int bind_error = errno;
  ::umask(before);
  if (!bound) {
    errno = bind_error;
    return false;
  }
  const auto* path = reinterpret_cast<const sockaddr_un*>(where)->sun_path;
  if (::chmod(path, static_cast<mode_t>(mode)) == 0) return true;
  const int chmod_error = errno;
  ::unlink(path);
  errno = chmod_error;
  return false;
}

std::string native::zone_text(std::uint32_t scope) {
  char name[IF_NAMESIZE] = {};
  return if_indextoname(scope, name) ? name : std::to_string(scope);
}

std::string native::resolver_error_text(int rc) {
  return rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
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

int raise_descriptor_limit(int needed) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const auto wanted = static_cast<rlim_t>(needed);
  if (limit.rlim_cur < wanted && limit.rlim_cur != RLIM_INFINITY) {
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur > static_cast<rlim_t>(INT_MAX) ? INT_MAX : static_cast<int>(limit.rlim_cur);
}

namespace {

// A service manager's socket: a path, or an abstract name that starts with '@'.
bool notify_address(const std::string& name, sockaddr_un* to, socklen_t* len) {
  *to = {};
  to->sun_family = AF_UNIX;
  if (name.empty() || name.size() >= sizeof to->sun_path) return false;
  std::memcpy(to->sun_path, name.data(), name.size());
  if (to->sun_path[0] == '@') to->sun_path[0] = '\0';
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  return true;
}

}  // namespace

bool notify_socket_usable(const std::string& socket_name, std::string* why) {
  sockaddr_un to;
  socklen_t len;
  if (!notify_address(socket_name, &to, &len)) {
    *why = std::strerror(ENAMETOOLONG);
    return false;
  }
  const Socket s(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s.valid() || ::connect(native::sock(s.get()), reinterpret_cast<sockaddr*>(&to), len) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  return true;
}

bool notify_service_manager(const std::string& socket_name, const std::string& message) {
  sockaddr_un to;
  socklen_t len;
  if (!notify_address(socket_name, &to, &len)) return false;
  const Socket s(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return s.valid() && ::sendto(native::sock(s.get()), message.data(), message.size(),
                               MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
                               len) == static_cast<ssize_t>(message.size());
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

bool set_recv_timeout(const Socket& s, std::int64_t timeout_us) {
  const timeval tv{static_cast<time_t>(timeout_us / 1000000),
                   static_cast<suseconds_t>(timeout_us % 1000000)};
  return setsockopt(native::sock(s.get()), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool enable_receive_stamps(const Socket& s) {
  const int on = 1;
  return setsockopt(native::sock(s.get()), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
}

long receive_stamped(const Socket& s, char* buf, std::size_t size, std::int64_t* age_us) {
  *age_us = -1;
  iovec data{buf, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr m{};
  m.msg_iov = &data;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  long n;
  do {
    n = static_cast<long>(::recvmsg(native::sock(s.get()), &m, 0));
  } while (n < 0 && native::interrupted(last_error()));
  if (n <= 0) return n;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);  // the clock the stamps are on
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp;
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    const std::int64_t age_ns =
        (std::int64_t{now.tv_sec} - stamp.tv_sec) * 1000000000 + (now.tv_nsec - stamp.tv_nsec);
    *age_us = (age_ns + 500) / 1000;  // to the nearest µs: the reading it goes with is cut
  }
  return n;
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

namespace {

constexpr std::uint64_t kWakeKey = kFirstPollerKey;
constexpr std::uint64_t kTimerKey = kFirstPollerKey + 1;

bool control(int epoll, int op, int fd, unsigned wanted, std::uint64_t key) {
  epoll_event e{};
  e.events = ((wanted & kReadable) ? EPOLLIN : 0u) | ((wanted & kWritable) ? EPOLLOUT : 0u);
  e.data.u64 = key;
  return epoll_ctl(epoll, op, fd, &e) == 0;
}

std::int64_t monotonic_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

// epoll_wait's own timeout is in ms: a deadline to the µs is a timer descriptor in the set,
// armed at an absolute time. It is set again only when a wait must end sooner than it would:
// one that ends too soon costs a turn of the loop, a setting on every wait a system call.
struct Poller::Impl {
  int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // readable once woken
  int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  bool timer_armed = false;
  std::int64_t timer_due_us = 0;  // while armed, on CLOCK_MONOTONIC
  epoll_event ready[256];

  void arm_timer(std::int64_t timeout_us) {
    const std::int64_t due_us = monotonic_us() + timeout_us;
    if (timer_armed && timer_due_us <= due_us) return;
    itimerspec at{};
    at.it_value = {static_cast<time_t>(due_us / 1000000),
                   static_cast<long>(due_us % 1000000 * 1000)};
    timer_armed = timerfd_settime(timer, TFD_TIMER_ABSTIME, &at, nullptr) == 0;
    timer_due_us = due_us;
  }
};

Poller::Poller() : impl_(new Impl) {
  if (!ok()) return;
  control(impl_->epoll, EPOLL_CTL_ADD, impl_->wake, kReadable, kWakeKey);
  control(impl_->epoll, EPOLL_CTL_ADD, impl_->timer, kReadable, kTimerKey);
}

Poller::~Poller() {
  for (const int fd : {impl_->epoll, impl_->wake, impl_->timer}) {
    if (fd >= 0) ::close(fd);
  }
  delete impl_;
}

bool Poller::ok() const {
  return impl_->epoll >= 0 && impl_->wake >= 0 && impl_->timer >= 0;
}

bool Poller::add(const Socket& s, unsigned wanted, std::uint64_t key) {
  return control(impl_->epoll, EPOLL_CTL_ADD, native::sock(s.get()), wanted, key);
}

bool Poller::change(const Socket& s, unsigned wanted, std::uint64_t key) {
  return control(impl_->epoll, EPOLL_CTL_MOD, native::sock(s.get()), wanted, key);
}

void Poller::remove(const Socket& s) {
  epoll_ctl(impl_->epoll, EPOLL_CTL_DEL, native::sock(s.get()), nullptr);
}

void Poller::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(impl_->wake, &one, sizeof one);
}

int Poller::wait(std::vector<Event>* events, std::int64_t timeout_us) {
  events->clear();
  if (timeout_us > 0) impl_->arm_timer(timeout_us);
  const int n =
      epoll_wait(impl_->epoll, impl_->ready, std::size(impl_->ready), timeout_us == 0 ? 0 : -1);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; ++i) {
    const std::uint32_t got = impl_->ready[i].events;
    const std::uint64_t key = impl_->ready[i].data.u64;
    if (key == kWakeKey || key == kTimerKey) {
      std::uint64_t count;
      [[maybe_unused]] const ssize_t r =
          ::read(key == kWakeKey ? impl_->wake : impl_->timer, &count, sizeof count);
      if (key == kTimerKey) impl_->timer_armed = false;
      continue;
    }
    events->push_back({key, ((got & EPOLLIN) ? kReadable : 0u) |
                                ((got & EPOLLOUT) ? kWritable : 0u) |
                                ((got & (EPOLLERR | EPOLLHUP)) ? kFailed : 0u)});
  }
  return static_cast<int>(events->size());
}

}  // namespace eventid::net
