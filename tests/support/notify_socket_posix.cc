#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "support/notify_socket.h"

namespace eventid::test {

NotifySocket::NotifySocket(bool abstract) {
  char dir[] = "/tmp/eventid-notify-XXXXXX";
  if (!mkdtemp(dir)) return;
  // Appended piece by piece: g++ 12's -Wrestrict misreads "@" + std::string(...) at -O3.
  name_ = abstract ? "@" : dir;
  name_.append(abstract ? dir + 5 : "/notify");
  if (abstract) rmdir(dir);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, name_.data(), name_.size());
  if (abstract) addr.sun_path[0] = '\0';
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const timeval wait{10, 0};
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
    name_.clear();
  }
}

NotifySocket::~NotifySocket() {
  if (fd_ >= 0) ::close(fd_);
  if (!name_.empty() && name_[0] == '/') {
    unlink(name_.c_str());
    rmdir(name_.substr(0, name_.rfind('/')).c_str());
  }
}

bool NotifySocket::open() const {
  return !name_.empty();
}

std::string NotifySocket::receive() {
  char buf[512];
  const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
}

int NotifySocket::fill() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, name_.data(), name_.size());
  if (name_[0] == '@') addr.sun_path[0] = '\0';
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
  const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int sent = 0;
  while (::sendto(s, "filler", 6, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr), len) == 6) {
    ++sent;
  }
  ::close(s);
  return sent;
}

std::string NotifySocket::receive_past_filler() {
  for (;;) {
    const std::string got = receive();
    if (got != "filler") return got;
  }
}

}  // namespace eventid::test
