// Readiness and status in systemd's notify protocol (sd_notify, for Type=notify units):
// datagrams to the socket that NOTIFY_SOCKET names. Without it, nothing is sent. Nothing here
// ever waits on systemd: a datagram that its full socket cannot take now is tried again every
// second, READY=1 until it has gone, and of the statuses only the latest.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "upstream/collector.h"

namespace eventid {

class SystemdNotifier {
 public:
  static constexpr std::int64_t kRetryUs = 1000000;

  // socket_name: NOTIFY_SOCKET's value, found usable, or empty.
  SystemdNotifier(std::string socket_name, const UpstreamAddress& upstream);
  ~SystemdNotifier();
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  // Clients can connect: READY=1, with the upstream's state.
  void ready(bool delivering);
  // The upstream started delivering, or a connection that delivered failed. Sent only once
  // ready, and only when it changes what the status says.
  void upstream(bool delivering);

 private:
  std::string status() const;
  void send(std::string message);
  void retry();

  const std::string socket_name_;
  const std::string upstream_;  // "HOST:SERVICE"
  std::mutex mutex_;
  std::condition_variable wake_;
  bool ready_ = false;
  bool delivering_ = false;
  std::string unsent_;  // what could not go yet
  bool stopping_ = false;
  std::thread retrying_;
};

}  // namespace eventid
