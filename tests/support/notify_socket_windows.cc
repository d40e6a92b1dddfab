#include "support/notify_socket.h"

namespace eventid::test {

// Service managers of this kind are for POSIX systems: the relay sends nothing here.
NotifySocket::NotifySocket(bool) {}
NotifySocket::~NotifySocket() = default;
bool NotifySocket::open() const {
  return false;
}
std::string NotifySocket::receive() {
  return "";
}

}  // namespace eventid::test
