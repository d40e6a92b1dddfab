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
int NotifySocket::fill() {
  return 0;
}
std::string NotifySocket::receive_past_filler() {
  return "";
}

}  // namespace eventid::test
