#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "eventid.h"
#include "platform.h"

namespace eventid::client {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;

timespec to_timespec(std::int64_t us) {
  return {static_cast<time_t>(us / kMicrosPerSecond),
          static_cast<long>(us % kMicrosPerSecond * 1000)};
}

// A descriptor closed when it goes out of scope.
struct Descriptor {
  int fd;
  explicit Descriptor(int fd) : fd(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

struct AddressList {
  addrinfo* first = nullptr;
  AddressList() = default;
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;
  ~AddressList() {
    if (first) ::freeaddrinfo(first);
  }
};

// Waits for events on fd until deadline_us: false once it has passed.
bool wait_for(int fd, short events, std::int64_t deadline_us) {
  for (;;) {
    const std::int64_t left = deadline_us - clock_us();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, static_cast<int>((left + 999) / 1000));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// 0 once connected, else a library code.
int connect_by(int fd, const addrinfo& address, std::int64_t deadline_us) {
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS) return EVENTID_ENORELAY;
  if (!wait_for(fd, POLLOUT, deadline_us)) return EVENTID_ENORELAY;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    return EVENTID_ENORELAY;
  }
  return 0;
}

int receive_line(int fd, std::int64_t deadline_us, char* buffer, std::size_t size) {
  std::size_t used = 0;
  while (used + 1 < size) {
    if (!wait_for(fd, POLLIN, deadline_us)) return EVENTID_ENORELAY;
    const ssize_t got = ::recv(fd, buffer + used, size - 1 - used, 0);
    if (got == 0) return EVENTID_ENORELAY;  // closed before a whole line
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return EVENTID_ENORELAY;
    }
    const void* end = std::memchr(buffer + used, '\n', static_cast<std::size_t>(got));
    used += static_cast<std::size_t>(got);
    if (end) {
      buffer[static_cast<const char*>(end) - buffer + 1] = '\0';
      return 0;
    }
  }
  return EVENTID_EUNUSABLE;
}

}  // namespace

std::int64_t clock_us() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * kMicrosPerSecond + t.tv_nsec / 1000;
}

segment::ClockId clock_id() {
  return segment::ClockId::kMonotonic;
}

void sleep_until_us(std::int64_t deadline_us) {
  const timespec until = to_timespec(deadline_us);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

int map_segment(const char* where, MappedView* view) {
  Descriptor file(::open(where, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (file.fd < 0) return errno == ENOENT ? EVENTID_ENORELAY : EVENTID_EIO;
  struct stat about;
  if (::fstat(file.fd, &about) != 0) return EVENTID_EIO;
  // A mapping beyond the file's end faults on the first read: the size is checked first.
  if (!S_ISREG(about.st_mode) || about.st_size < static_cast<off_t>(segment::kMinor0Size)) {
    return EVENTID_EUNUSABLE;
  }
  const auto size = static_cast<std::size_t>(about.st_size);
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd, 0);
  if (data == MAP_FAILED) return EVENTID_EIO;
  *view = {data, size, 0, {static_cast<std::uint64_t>(about.st_dev), about.st_ino}};
  return 0;
}

void unmap_segment(const MappedView& view) {
  ::munmap(const_cast<void*>(view.data), view.size);
}

bool segment_replaced(const char* where, const MappedView& view) {
  struct stat about;
  if (::stat(where, &about) != 0) return false;  // gone: the view is still the best there is
  return static_cast<std::uint64_t>(about.st_dev) != view.identity[0] ||
         about.st_ino != view.identity[1];
}

bool start_sockets() {
  return true;
}
void stop_sockets() {}

int fetch_line(const char* host, const char* port, std::int64_t timeout_us, char* buffer,
               std::size_t size) {
  const std::int64_t deadline = clock_us() + timeout_us;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  AddressList addresses;
  if (::getaddrinfo(host, port, &hints, &addresses.first) != 0) return EVENTID_ENORELAY;
  int code = EVENTID_ENORELAY;
  for (const addrinfo* a = addresses.first; a; a = a->ai_next) {
    Descriptor s(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (s.fd < 0) {
      code = EVENTID_EIO;
      continue;
    }
    code = connect_by(s.fd, *a, deadline);
    if (code == 0) return receive_line(s.fd, deadline, buffer, size);
  }
  return code;
}

}  // namespace eventid::client
