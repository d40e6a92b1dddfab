// A service manager's notification socket, for tests: a datagram socket of the test's own.
#pragma once

#include <memory>
#include <string>

namespace eventid::test {

class NotifySocket {
 public:
  // Bound to a fresh path, or to a fresh abstract name ("@..."), or not at all where the
  // platform has no such thing.
  explicit NotifySocket(bool abstract = false);
  ~NotifySocket();
  bool open() const;
  const std::string& name() const { return name_; }  // for NOTIFY_SOCKET
  // The next datagram, or "" when none comes within 10 s.
  std::string receive();
  // Fills the socket's queue with datagrams of "filler" until it takes no more, as a service
  // manager that does not read leaves it; returns how many went in.
  int fill();
  // The next datagram that is not filler.
  std::string receive_past_filler();

 private:
  int fd_ = -1;
  std::string name_;
};

}  // namespace eventid::test
